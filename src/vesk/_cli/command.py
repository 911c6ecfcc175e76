"""The argument parser, and the outcome mapped to the exit status: 0 success,
1 a file failed, 2 a usage error, 130 and 143 when interrupted or
terminated, 141 when the reader of standard output goes away (a pipe into
`head`). Data goes to standard output, messages to standard error.
"""
from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import threading
import warnings
from typing import Any, List, NoReturn, Optional, Tuple

import vesk

from . import comparing, export_options, listing, pictures, plot_options
from .report import (OutputClosed, OutputFailed, Terminated, data_only_on_stdout, error,
                     library_warnings_ignored, warning)
from .unknown_options import NEGATIVE_VALUE, likely, unknown_options, unrecognized

COMMANDS = [listing.add_ls, listing.add_params, comparing.add_diff, export_options.add_export,
            pictures.add_images, plot_options.add_plot]


def version_text() -> str:
    return "vesk %s" % vesk.__version__


class _Unsized(argparse.HelpFormatter):
    """The formatter argparse checks each argument with as it is added, of a
    set width: argparse's own asks the terminal's, importing shutil, a
    twentieth of the command's start. Help and usage are written by
    argparse's own, put back once the parser is built."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, width=80)


class _Parser(argparse.ArgumentParser):
    def __init__(self, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _Unsized)
        super().__init__(**kwargs)
        self._given: List[str] = []

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        self._given = list(sys.argv[1:] if args is None else args)  # what error() looks at
        return super().parse_known_args(args, namespace)

    def error(self, message: str) -> "NoReturn":
        # A required option "missing" is most often one misspelt: that is told.
        required = "the following arguments are required: "
        if message.startswith(required):
            unknown = unknown_options(self, self._given)
            if unknown:
                # what is missing stays told, unless a misspelling names it
                missing = set(re.split("[/, ]+", message[len(required):]))
                told = unrecognized(self, unknown)
                message = told if any(likely(self, a) in missing for a in unknown) else \
                    "%s; %s" % (told, message)
        super().error(message)


def build_parser() -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = _Parser(
        prog="vesk", description="Inspect VESK spectrometer files and export their data.",
        epilog="Blocks are named as 'vesk ls' prints them (AB/2D/NONE), or by a short form "
               "that names one block of the file (AB). Run 'vesk COMMAND --help' for details.")
    parser.add_argument("--version", action="version", version=version_text())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    parsers: List[argparse.ArgumentParser] = [parser]
    for add in COMMANDS:
        command = add(sub)
        command.add_argument("--version", action="version", version=version_text())
        command.set_defaults(parser=command)  # whose usage a misspelt option shows
        parsers.append(command)
    for p in parsers:
        if p.formatter_class is _Unsized:  # a command's own formatter stays
            p.formatter_class = argparse.HelpFormatter
    return parser


def values_attached(argv: List[str], options: Tuple[str, ...] = ("--at",)) -> List[str]:
    """`--at -5:10` as `--at=-5:10`: what a scientist types for a band below zero."""
    out: List[str] = []
    for i, arg in enumerate(argv):
        if arg == "--":
            return out + argv[i:]
        if out and out[-1] in options and NEGATIVE_VALUE.fullmatch(arg):
            out[-1] += "=" + arg
        else:
            out.append(arg)
    return out


def parse(parser: argparse.ArgumentParser, argv: Optional[List[str]]) -> argparse.Namespace:
    """parse_args, but file names may follow options (`vesk ls a.0 --json b.0`):
    argparse takes only the first run of a list of names."""
    args, extra = parser.parse_known_args(values_attached(
        list(sys.argv[1:] if argv is None else argv)))
    files = getattr(args, "files", None)
    # after "--", names whatever they look like
    options, names = (extra[:extra.index("--")], extra[extra.index("--") + 1:]) \
        if "--" in extra else (extra, [])
    if extra and isinstance(files, list) and not any(e.startswith("-") for e in options):
        files.extend(options + names)
    elif extra:
        told = getattr(args, "parser", parser)
        told.error(unrecognized(told, extra))
    check = getattr(args, "check", None)
    if check is not None:  # what only the whole command line tells (plot's FILE KEY)
        check(args)
    return args


def show_warning(message: "Warning | str", category: "type[Warning]", filename: str,
                 lineno: int, file: object = None, line: Optional[str] = None) -> None:
    warning(str(message))


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status."""
    _standard_descriptors_taken()
    parser = build_parser()
    if not (sys.argv[1:] if argv is None else argv):
        # A first try with no command: what there is to run, rather than
        # only that a COMMAND is required. Still a usage error, for scripts.
        parser.print_help(sys.stderr)
        return 2
    try:
        args = parse(parser, argv)
    except SystemExit as e:  # --help, --version (0) and usage errors (2)
        return e.code if isinstance(e.code, int) else 2
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _terminate)
        if previous is None:  # installed outside Python: the default is what we can restore
            previous = signal.SIG_DFL
    try:
        with warnings.catch_warnings():
            # numpy's warnings on a damaged file's numbers (a NaN axis, say) as
            # one line each, not a source line meant for programmers; what
            # libraries tell programmers about their own future is dropped
            warnings.showwarning = show_warning
            library_warnings_ignored()
            with data_only_on_stdout():
                status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        return _ended("interrupted", 130)
    except Terminated:
        return _ended("terminated", 128 + signal.SIGTERM)
    except OutputClosed:
        # As a command that SIGPIPE ends: status 128 + 13, and nothing more
        # for the interpreter to flush into the closed pipe at exit.
        _drop_output()
        return 141
    except OutputFailed as e:
        _drop_output()
        return _ended("standard output: %s" % (e.error.strerror or e.error), 1)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _standard_descriptors_taken() -> None:
    """Descriptors 0 to 2, closed when the command started (`2>&-`), are
    taken by the null device: the files the command opens would get them,
    and what a library prints to standard error would land in an output.
    Python has already seen them closed (sys.stdout is None), and so the
    command still knows."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)  # the lowest number free: fd
            if null != fd:
                os.dup2(null, fd)
                os.close(null)


def _ended(message: str, status: int) -> int:
    try:
        error(message)
    except OutputClosed:
        pass
    return status


def _drop_output() -> None:
    """What is left in standard output's buffer goes nowhere: flushed at exit
    into what cannot take it, it would end the interpreter with a traceback."""
    if sys.stdout is None:
        return
    try:
        fd = sys.stdout.fileno()
    except (OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)


def _terminate(signum: int, frame: object) -> None:
    # Further SIGTERMs (a batch system may send more than one) must not break
    # off the cleanup that this one starts.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Terminated

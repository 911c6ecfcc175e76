"""Messages on standard error, each naming the file it is about."""
from __future__ import annotations

import contextlib
import errno
import os
import struct
import sys
import threading
import warnings
from typing import Any, Iterator, Optional, TextIO

import vesk
from vesk._text import printable


# What reading or writing one file may raise; anything else is a fault of ours
# and is still reported against the file, with its type, rather than hiding it.
FILE_ERRORS = (vesk.VeskError, OSError, ValueError, KeyError, IndexError, struct.error,
               ImportError)

# Write errors that every further output would meet too: a command stops at
# the first, rather than read every other file to fail it the same way.
NO_ROOM = frozenset(getattr(errno, name) for name in ("ENOSPC", "EDQUOT", "EROFS")
                    if hasattr(errno, name))


def no_room(e: BaseException) -> bool:
    """Whether `e` is an error that every further output would meet (NO_ROOM)."""
    return isinstance(e, OSError) and e.errno in NO_ROOM


def stopped_for_room(why: str, done: str, untried: int) -> None:
    """The last line of a run that `no_room` stopped: `done` what it wrote."""
    note("stopped: %s; %s, %s not tried; once outputs can be written there, run again with "
         "--skip-existing to go on" % (why, done, counted(untried, "file{s}")))


def describe(path: str, exc: BaseException, block: Optional[str] = None) -> str:
    """'path: [block: ]what went wrong', without repeating a path the message holds."""
    if isinstance(exc, OSError) and exc.strerror:
        where = exc.filename if exc.filename is not None else path
        text = "%s: %s" % (where, exc.strerror)
        # an output of the block: which file and block it was for, too
        return text if block is None or str(where) == str(path) else "%s: %s: %s" % (
            path, block, text)
    if isinstance(exc, KeyError) and exc.args and isinstance(exc.args[0], str):
        text = exc.args[0]
    else:
        text = str(exc) or type(exc).__name__
    if not isinstance(exc, FILE_ERRORS):
        text = "%s: %s" % (type(exc).__name__, text)
    if block is not None and block not in text:
        text = "%s: %s" % (block, text)
    return text if str(path) in text else "%s: %s" % (path, text)


class OutputClosed(BaseException):
    """Standard output's reader has gone (a pipe into `head`): the command stops
    quietly. Not an Exception, so that no per-file handler takes it for the
    file's own failure."""


class OutputFailed(BaseException):
    """Standard output cannot take what the command writes (closed, a full
    disk): the command stops and fails, as data lost must not pass for
    success. Not an Exception, for the same reason as OutputClosed."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


# The process's standard output, kept while commands run (its sys.stdout is
# standard error till the last ends): each command writes its data there,
# also one started while another runs in another thread.
_RUNNING_LOCK = threading.Lock()
_running = 0
_data_out: Optional[TextIO] = None


def _stdout() -> "TextIO":
    out = _data_out if _running else sys.stdout
    # None where the command started with descriptor 1 closed (`>&-`): print
    # would drop the data without a word.
    if out is None:
        raise OutputFailed(OSError(errno.EBADF, os.strerror(errno.EBADF)))
    return out


@contextlib.contextmanager
def data_only_on_stdout() -> Iterator[None]:
    """Standard output holds the command's data alone: what a library prints
    there (veskread's note that a derived map takes its underived geometry)
    goes to standard error, not amid JSON lines or a listing."""
    global _running, _data_out
    with _RUNNING_LOCK:
        if not _running:
            _data_out = sys.stdout
            sys.stdout = sys.stderr
        _running += 1
    try:
        yield
    finally:
        with _RUNNING_LOCK:
            _running -= 1
            if not _running:
                sys.stdout = _data_out


class Terminated(BaseException):
    """SIGTERM (kill, a batch system's time limit), raised where the command
    runs: what it was writing is removed and its workers end, as on Ctrl-C."""


def emit(text: str) -> None:
    """One piece of data on standard output, there at once for a pipe."""
    out = _stdout()
    try:
        try:
            print(text, file=out, flush=True)
        except UnicodeEncodeError:
            # A file name's stray bytes, which the output's encoding cannot
            # hold: escaped as \udce9, to be read as the name's bytes.
            encoding = out.encoding or "utf-8"
            print(text.encode(encoding, "backslashreplace").decode(encoding), file=out,
                  flush=True)
    except BrokenPipeError:
        raise OutputClosed from None
    except OSError as e:
        raise OutputFailed(e) from None


def emit_json(value: Any, indent: Optional[int] = 2) -> None:
    """`value` as JSON on standard output, valid whatever the output's
    encoding: where it cannot hold a name's characters, they are given as
    JSON's own escapes (\\u00e9), not as emit's (\\xe9, which no JSON
    reader takes)."""
    from .json_text import dumps  # here: json's import, for the commands' --json alone

    text = dumps(value, indent)
    encoding = _stdout().encoding or "utf-8"
    try:
        text.encode(encoding)
    except UnicodeEncodeError:
        text = dumps(value, indent, ascii_only=True)
    emit(text)


def emit_path(path: str) -> None:
    """A path written, on standard output: for a script, exactly as the file
    system names it (its bytes, whatever they are); on a terminal, with
    control characters escaped."""
    out = _stdout()
    buffer = getattr(out, "buffer", None)
    if buffer is None or out.isatty():
        emit(printable(path))
        return
    try:
        out.flush()
        buffer.write(os.fsencode(path) + b"\n")
        buffer.flush()
    except BrokenPipeError:
        raise OutputClosed from None
    except OSError as e:
        raise OutputFailed(e) from None


def _tell(text: str) -> None:
    if sys.stderr is None:  # `2>&-`; print would write it to standard output
        return
    try:
        try:
            print(text, file=sys.stderr)
        except UnicodeEncodeError:  # a stream stricter than the interpreter's own
            encoding = sys.stderr.encoding or "utf-8"
            print(text.encode(encoding, "backslashreplace").decode(encoding), file=sys.stderr)
    except BrokenPipeError:  # `2>&1 | head`: as standard output's reader going
        raise OutputClosed from None
    except OSError:  # a message that cannot be written cannot say so either
        pass


def error(message: str) -> None:
    _tell("vesk: " + printable(message))


def note(message: str) -> None:
    _tell(printable(message))


def library_warnings_ignored() -> None:
    """Within a warnings.catch_warnings(): drops what libraries tell programmers
    about their own future, which a command's user can do nothing about."""
    for category in (DeprecationWarning, PendingDeprecationWarning, FutureWarning):
        warnings.simplefilter("ignore", category)


def warning(message: str) -> None:
    error("warning: %s" % message)


def counted(n: int, what: str) -> str:
    """'1 file failed', '2 files failed': {s} in `what` takes the plural's s."""
    return "%d %s" % (n, what.format(s="" if n == 1 else "s"))

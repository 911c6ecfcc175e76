"""`vesk plot`'s options. The drawing (`plotting`, with numpy) is imported
when a plot is asked for: every other command builds this parser too."""
from __future__ import annotations

import argparse
import os

from .block_keys import ONE_BLOCK_KEY_HELP, block_key

NEEDS = "vesk plot needs matplotlib: pip install 'veskread[plot]'"
# What every matplotlib writes with its own backends and Pillow (a dependency
# of it); named here so that a wrong suffix is refused before anything is
# read, and without importing matplotlib, which may be missing.
SUFFIXES = ("png", "svg", "pdf", "eps", "ps", "jpg", "jpeg", "tif", "tiff")


def add_plot(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser(
        "plot", help="draw a block, or several files' spectra, to a picture",
        usage="%(prog)s [-h] [--at X] [--force] -o OUT FILE [KEY]\n"
              "       %(prog)s [-h] [--block KEY] [--force] -o OUT FILE|FOLDER ...",
        description="A spectrum is drawn with labelled axes, a wavenumber axis from high "
                    "to low as infrared spectra are read (a Raman spectrum's, and any "
                    "other axis, in the stored direction). A series "
                    "of spectra or traces is drawn as one line each; past 10, coloured by "
                    "time (or trace number) with a colour bar. A map is drawn as a "
                    "picture of the intensity at the x value given with --at, of a band's "
                    "area above a straight baseline between its ends with --at LO:HI "
                    "(a chemical image), or of the intensity integrated over x; a map of "
                    "traces shows the trace named "
                    "(or numbered from 0) by --at, the first by default. A multiregion "
                    "block is drawn so too, one panel per region on one colour scale. "
                    "With --at, a series is drawn against time: its intensity at X, or "
                    "its band area (a kinetic trace), or the trace named. "
                    "Several files (or a FOLDER, standing for the VESK files beneath it) are "
                    "drawn together: one spectrum of each on one axis, named by file in the "
                    "legend; the block given with --block, else each file's only spectrum. "
                    "Their x and y quantities and units must agree; maps and series are "
                    "drawn one at a time. A second name that exists (a file or folder) is "
                    "taken for a file, any other for a KEY.")
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="a FILE and, optionally, its KEY (" + ONE_BLOCK_KEY_HELP + "); or "
                        "several FILEs or FOLDERs whose spectra are drawn together")
    p.add_argument("--block", "-b", metavar="KEY", type=block_key,
                   help="the block of each file drawn together (as 'vesk export' takes it; "
                        "default: each file's only spectrum)")
    p.add_argument("-o", "--output", required=True, metavar="OUT", type=picture_path,
                   help="picture to write; its suffix sets the format: %s" % ", ".join(
                       "." + s for s in SUFFIXES))
    p.add_argument("--at", metavar="X",
                   help="x value or band LO:HI (map or series of spectra), or trace name "
                        "or number (map or series of traces)")
    p.add_argument("--force", action="store_true", help="overwrite an existing picture")
    p.set_defaults(run=run_plot, check=plot_inputs)
    return p


def plot_inputs(args: argparse.Namespace) -> None:
    """Tells a FILE KEY pair from several files, once the command line is
    parsed (names may follow options): `file` and `key` for one block,
    `overlay` for the spectra of several files; a usage error where the two
    are mixed."""
    names = args.files
    key_given = len(names) == 2 and not os.path.exists(names[1])
    args.overlay = not key_given and (len(names) > 1 or os.path.isdir(names[0]))
    args.file, args.key = names[0], names[1] if key_given else None
    parser = args.parser
    if args.key is not None:
        try:
            block_key(args.key)
        except argparse.ArgumentTypeError as e:
            parser.error("argument KEY: %s" % e)
        if os.path.isdir(args.file):
            parser.error("%s is a folder and %s no file or folder; a KEY follows one FILE: "
                         "the block of a folder's files is given with --block %s"
                         % (args.file, args.key, args.key))
        if args.block is not None:
            parser.error("%s is a block given twice: as KEY and with --block" % args.key)
    elif not args.overlay:
        args.key = args.block
    else:
        if args.at is not None:
            parser.error("--at draws one map or series; the spectra of several files are "
                         "drawn whole")
        # Last of several, a name that is no file or folder but a block's
        # form reads as a KEY meant for all of them (a missing file among
        # them is reported as its reading fails).
        last = names[-1]
        if len(names) > 2 and not os.path.exists(last) and _key_form(last):
            parser.error("%s: no such file or folder; a KEY follows one FILE only: the block "
                         "of several files is given with --block %s" % (last, last))


def picture_path(text: str) -> str:
    """An argparse type. A name without a suffix is refused rather than given
    one: the picture is then where the command line says, in a format named."""
    suffix = os.path.splitext(text)[1][1:].lower()
    if suffix not in SUFFIXES:
        raise argparse.ArgumentTypeError("%r: %s; use %s" % (
            text, ".%s is not a picture format" % suffix if suffix
            else "no suffix to set the format", ", ".join("." + s for s in SUFFIXES)))
    return text


def run_plot(args: argparse.Namespace) -> int:
    from . import plotting

    return plotting.run_plot(args)


def _key_form(text: str) -> bool:
    try:
        block_key(text)
    except argparse.ArgumentTypeError:
        return False
    return True

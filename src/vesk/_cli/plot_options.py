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
        "plot", help="draw a block to a picture (PNG, SVG, PDF, ...)",
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
                    "its band area (a kinetic trace), or the trace named.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("key", metavar="KEY", nargs="?", type=block_key,
                   help=ONE_BLOCK_KEY_HELP)
    p.add_argument("-o", "--output", required=True, metavar="OUT", type=picture_path,
                   help="picture to write; its suffix sets the format: %s" % ", ".join(
                       "." + s for s in SUFFIXES))
    p.add_argument("--at", metavar="X",
                   help="x value or band LO:HI (map or series of spectra), or trace name "
                        "or number (map or series of traces)")
    p.add_argument("--force", action="store_true", help="overwrite an existing picture")
    p.set_defaults(run=run_plot)
    return p


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

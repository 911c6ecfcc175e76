"""`vesk export`'s options. The export itself (`exporting`, with its pool of
workers and progress line) is imported when an export is asked for: every
other command builds this parser too."""
from __future__ import annotations

import argparse
import os

from ..export.formats import FORMATS, LAYOUTS, hinted, unknown_format
from .block_keys import block_key, mistaken_key
from .output_names import output_folder


def add_export(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser(
        "export",
        help="write blocks to CSV, NumPy, JCAMP-DX, NetCDF, Parquet, ENVI, MAT-files or Zarr",
        description="Writes each chosen block of each FILE to DIR/STEM_BLOCK.SUFFIX (STEM: the "
                    "file's name without the extension .vesk; any other name whole: run.0). "
                    "A FOLDER stands "
                    "for the VESK files beneath it, found by their content; their "
                    "subfolders are made again under DIR (under each folder's path from "
                    "their common folder where several are named), so a whole tree "
                    "exports in one go. Spectra: "
                    "CSV (x and y columns, units in the header), NPZ (values, x, y, parameters), "
                    "JCAMP-DX 5.01, NetCDF, Parquet (x and y columns). Other blocks: NPZ "
                    "(values, axes, map coordinates), NetCDF, JCAMP-DX for series and maps "
                    "of spectra (a compound file, one block per spectrum), or CSV or "
                    "Parquet in a long layout (one row per value) or a wide one (--layout "
                    "wide: one row per spectrum, map point or time); ENVI for maps (a cube "
                    "STEM_BLOCK.img with its header STEM_BLOCK.hdr, line 0 the row drawn on "
                    "top) and for spectra, series and multiregion maps (a spectral library); "
                    "MAT-files (version 5, for MATLAB and Octave) for every kind, as NPZ; "
                    "Zarr for every kind (a store, the folder STEM_BLOCK.zarr, that "
                    "xarray.open_zarr opens as it opens the NetCDF file). "
                    "An existing output is an error, unless --force (overwrite it), "
                    "--skip-existing (keep it and write the others) or --update (keep it "
                    "unless it is older than its file). A full disk or read-only DIR stops "
                    "the run at the first output it refuses. The paths written go "
                    "to standard output, or with --json a record of each file.")
    p.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    p.add_argument("--block", "-b", action="append", metavar="KEY", dest="blocks",
                   type=block_key,
                   help="export this block (repeatable; default: every block). Of a "
                        "FOLDER's files, those without it are skipped; a short form that "
                        "names several blocks of a file is a failed block of that file")
    p.add_argument("--format", "-f", required=True, choices=sorted(FORMATS), type=format_name,
                   help="output format (npy writes .npz archives)")
    p.add_argument("--layout", choices=LAYOUTS,
                   help="CSV or Parquet of blocks of many spectra or traces: long (default), one row "
                        "per value with its coordinates; wide, one row per spectrum, map "
                        "point or time, its coordinates first, then one column per x value "
                        "or trace")
    p.add_argument("-o", "--output", default=".", metavar="DIR", type=output_folder,
                   help="folder for the outputs, made where missing (default: the current "
                        "folder); not an output's name")
    p.add_argument("--jobs", "-j", type=jobs_count, default=1, metavar="N",
                   help="files exported in parallel by N processes (0: one per CPU)")
    p.add_argument("--json", action="store_true",
                   help="print, for machines, one JSON line per file as it is done: file, "
                        "status, written, kept, skipped, failed, failures, warnings; a "
                        "stopped run tells the files under way and those not tried too")
    existing = p.add_mutually_exclusive_group()
    existing.add_argument("--force", action="store_true", help="overwrite existing outputs")
    existing.add_argument("--skip-existing", action="store_true",
                          help="keep existing outputs and write the others (to go on "
                               "after an interrupted run); one older than its file is "
                               "kept with a warning")
    existing.add_argument("--update", action="store_true",
                          help="as --skip-existing, but write again each output older than "
                               "its file (made while the file was still being written, or "
                               "before it was measured again): for a folder that files "
                               "keep arriving in")
    p.set_defaults(run=run_export, check=export_checked)
    return p


def export_checked(args: argparse.Namespace) -> None:
    """Usage errors of the command line as a whole: a block's key given
    where the files go; --layout for a format of one
    layout; -o named as an output of the format (`-o spectrum.csv`), which
    would be made a folder holding the output, not the output itself."""
    fmt = FORMATS[args.format]
    for name in args.files[1:]:  # `vesk export FILE KEY`, as params and plot take one
        if mistaken_key(name):
            args.parser.error("%s: no such file or folder; a block to export is given with "
                              "--block %s" % (name, name))
    if args.layout is not None and fmt.wide is None:
        args.parser.error("--layout is for CSV and Parquet (-f csv, -f parquet); %s has one "
                          "layout" % args.format)
    # `-o results.csv/` names a folder as plainly as an existing one does
    named_folder = args.output.endswith(("/", os.sep)) or os.path.isdir(args.output)
    suffix = os.path.splitext(os.path.normpath(args.output))[1].lower()
    if suffix in (fmt.spectrum_suffix, fmt.other_suffix, fmt.header_suffix) \
            and not named_folder:
        args.parser.error("argument -o/--output: %s names an output; -o is the folder the "
                          "outputs go into, as DIR/STEM_BLOCK%s (a folder of that name: -o "
                          "%s/)" % (args.output, fmt.other_suffix, args.output))


def format_name(text: str) -> str:
    """An argparse type: a format's suffix or other name ("npz", "CSV"), or
    one that none of ours writes ("tsv"), is a usage error naming what to
    use; any other name is left to `choices`."""
    if text not in FORMATS and hinted(text):
        raise argparse.ArgumentTypeError(unknown_format(text))
    return text


def jobs_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    if n < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return n or os.cpu_count() or 1


def run_export(args: argparse.Namespace) -> int:
    from . import exporting

    return exporting.run_export(args)

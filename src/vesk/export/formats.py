"""The export formats by name: file suffix and writer for each kind of block."""
from __future__ import annotations

import importlib
import os
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, cast

import vesk

from .atomic import is_output, refuse_existing, write_atomically, write_with_header
from .atomic_folder import refuse_existing_folder, write_folder_atomically

# The data objects are named through the package, which gives them (and numpy)
# at first use: type hints find them there when asked.
Writer = Callable[["vesk.DataObject", str], None]
SpectrumWriter = Callable[["vesk.Spectrum", str], None]

# Blocks of many spectra that a compound JCAMP-DX file holds, one block per
# spectrum; traces, and maps of traces, run along no spectral axis.
COMPOUND_KINDS = ("time-resolved series", "image map", "multiregion map")
HELD = "spectra, series and maps of spectra"
ENVI_KINDS = ("image map", "image traces", "time-resolved series", "multiregion map")


class Deferred:
    """A function of a writer's module, imported at its first call: the
    formats' names and suffixes (the command's choices, its listing) come
    without the writers, and numpy with them."""

    def __init__(self, module: str, name: str) -> None:
        self.module, self.name = module, name

    def __call__(self, *args: Any) -> Any:
        return getattr(importlib.import_module("vesk.export." + self.module), self.name)(*args)

    def __repr__(self) -> str:
        return "<vesk.export.%s.%s>" % (self.module, self.name)


class UnsupportedBlockError(ValueError):
    """The format cannot hold this kind of block."""


LAYOUTS = ("long", "wide")


class Format(NamedTuple):
    name: str
    description: str
    spectrum: SpectrumWriter     # for a single spectrum
    other: Writer                # for every other kind it holds
    spectrum_suffix: str
    other_suffix: str
    wide: Optional[Writer] = None  # the other kinds in the wide layout, where there is one
    missing: Callable[[], Optional[str]] = lambda: None  # what to install, before any file is read
    # What writing adds, in bytes, for each value past the 4 it is read in
    # (text: a line of it with its coordinates), for each parameter
    # (NetCDF: an attribute, about 700 bytes held while it is written) and
    # for each character of a text parameter (npz: a str array, 4 bytes),
    # and more for one written as an escape (a control character: npz's
    # JSON \u0001, 5 characters more; a JCAMP-DX line's \x01, 3 more).
    value_bytes: int = 0
    parameter_bytes: int = 0
    text_bytes: int = 0
    escape_bytes: int = 0
    # Texts written in ASCII: every other character an escape.
    ascii_only: bool = False
    # Each spectrum of a block of many, where the format writes something for
    # each besides its values (JCAMP-DX's header: some 7 us and 540 bytes
    # with the longest names it repeats); a damaged file may declare millions.
    spectrum_bytes: int = 0
    # Each row past the block's backed values (a wide CSV row's coordinates:
    # a million of them cost a second): a series of no traces may declare a
    # million times, a row each, where an honest row's values pay for it.
    unbacked_spectrum_bytes: int = 0
    # The kinds `other` writes besides spectra (None: every kind), as told.
    other_kinds: Optional[Tuple[str, ...]] = None
    held: str = "every kind"
    # The text a block's rows repeat (a trace's name on each of its values),
    # known once its coordinates are read: (data, layout) -> characters.
    repeated: Callable[[vesk.DataObject, str], int] = lambda data, layout: 0
    repeats: str = "its rows repeat its names and titles"  # what `repeated` counts, told
    # What is written for each coordinate along each dimension (a header's
    # lists of numbers, an array of float64: a damaged file may declare
    # millions of points).
    axis_bytes: int = 0
    # What a coordinate past the block's backed values adds to that: the
    # arrays a library builds around one (an index, copies as it is encoded).
    # A backed one is paid for by its values' share of the bound.
    unbacked_axis_bytes: int = 0
    # What the wide layout writes for each column (its heading; Parquet's
    # column), charged where the block's values do not pay for it: a series
    # of no spectra may declare a million points, a column each.
    heading_bytes: int = 0
    # A second output beside each block's, named with this suffix in place
    # of the first one's, which `header` writes: the values, then what they are.
    header_suffix: Optional[str] = None
    header: Optional[Writer] = None
    # Whether a file alone where a pair goes is the half an export left
    # (data, path): written again then, another file kept.
    left: Callable[[vesk.DataObject, str], bool] = lambda data, path: True
    # Whether a block of no values (no points, or no spectra) is written:
    # not where no reader opens the file it makes.
    holds_empty: bool = True
    # Why a block of a kind it holds is still too large for it (None: it is
    # not), told from the block's shape before its values are read.
    oversize: Callable[[vesk.Block], Optional[str]] = lambda block: None
    # For a format whose output is a folder (a Zarr store): whether what is
    # at a path is one of its own, which --force replaces and --skip-existing
    # keeps; anything else there is refused, whatever the options.
    folder: Optional[Callable[[str], bool]] = None

    def outputs(self, path: str) -> List[str]:
        """A block's outputs, written to `path`: it, and its header where
        the format has one (x.img and x.hdr; x.dat.hdr beside another name)."""
        if self.header_suffix is None:
            return [path]
        stem, suffix = os.path.splitext(path)
        same = suffix.lower() in (self.spectrum_suffix, self.other_suffix)
        return [path, (stem if same else path) + self.header_suffix]

    def exists(self, path: str) -> bool:
        """Whether an output of this format is at `path`, complete (outputs
        are only ever renamed into place)."""
        return is_output(path) if self.folder is None else self.folder(path)

    def refuse_existing(self, path: str, force: bool, skippable: bool = False,
                        overwrite: str = "use --force to overwrite") -> None:
        """refuse_existing, for this format's outputs: files or folders."""
        if self.folder is None:
            refuse_existing(path, force, skippable, overwrite)
        else:
            refuse_existing_folder(path, self.folder, self.what(), force, skippable, overwrite)

    def what(self) -> str:
        """What an output is called in messages: a "Zarr store", a "CSV file"."""
        return "%s %s" % (self.description, "file" if self.folder is None else "store")

    def suffix(self, data: vesk.DataObject) -> str:
        return self.spectrum_suffix if data.block.kind == "spectrum" else self.other_suffix

    def holds(self, kind: str) -> bool:
        return kind == "spectrum" or self.other_kinds is None or kind in self.other_kinds

    def refusal(self, kind: str) -> str:
        """Why a block of `kind` is not written."""
        return "%s holds %s; not %s" % (self.description, self.held, kind)

    def empty_refusal(self, block: vesk.Block) -> Optional[str]:
        """Why `block`, of a kind the format holds, is not written: it holds
        no values, and the format holds none; None where it is written."""
        if self.holds_empty or 0 not in block.shape:
            return None
        return "%s holds no block of 0 values; not this %s of shape %s" % (
            self.description, block.kind, block.shape)

    def refuse_unfit(self, data: vesk.DataObject) -> None:
        """Before anything is written: UnsupportedBlockError where
        empty_refusal refuses `data`, ValueError where it is oversize."""
        refused = self.empty_refusal(data.block)
        if refused is not None:
            raise UnsupportedBlockError("%s: %s" % (data.block.name, refused))
        refused = self.oversize(data.block)
        if refused is not None:
            raise ValueError("%s: %s" % (data.block.name, refused))

    def put(self, data: vesk.DataObject, path: str, layout: str = "long", force: bool = False,
            keep_existing: bool = False) -> bool:
        """Writes `data` to `path` (and its header beside it, where the
        format has one), each put in place once whole; False where
        `keep_existing` kept what was there."""
        self.refuse_unfit(data)
        header = self.header
        if self.folder is not None:
            return write_folder_atomically(path, lambda tmp: self.write(data, tmp, layout),
                                           self.folder, self.what(), force=force,
                                           keep_existing=keep_existing)
        if header is None:
            return write_atomically(path, lambda tmp: self.write(data, tmp, layout),
                                    force=force, keep_existing=keep_existing)
        return write_with_header(path, self.outputs(path)[1], lambda tmp: self.write(data, tmp),
                                 lambda tmp: header(data, tmp), force=force,
                                 keep_existing=keep_existing,
                                 left=lambda half: self.left(data, half))

    def write(self, data: vesk.DataObject, path: str, layout: str = "long") -> None:
        self.refuse_unfit(data)
        if data.block.kind == "spectrum":
            self.spectrum(cast("vesk.Spectrum", data), path)
        elif layout == "wide" and self.wide is not None:
            self.wide(data, path)
        elif self.holds(data.block.kind):
            self.other(data, path)
        else:
            raise UnsupportedBlockError("%s: %s" % (data.block.name,
                                                       self.refusal(data.block.kind)))


FORMATS: Dict[str, Format] = {
    # A wide heading's cell is formatted as a value's is (0.26 us each, a
    # million points 19 MB): charged as a value's text and line are.
    "csv": Format("csv", "CSV", Deferred("table", "write_spectrum"),
                  Deferred("table", "write_long"), ".csv", ".csv",
                  Deferred("table", "write_wide"), value_bytes=32, unbacked_spectrum_bytes=96,
                  repeated=Deferred("table", "repeated_text"), heading_bytes=4 + 32),
    "npy": Format("npy", "NumPy", Deferred("arrays", "write_spectrum"),
                  Deferred("arrays", "write_array"), ".npz", ".npz",
                  parameter_bytes=128, text_bytes=4, escape_bytes=20, axis_bytes=8),
    "jcamp": Format("jcamp", "JCAMP-DX", Deferred("jcamp", "write_spectrum"),
                    Deferred("jcamp", "write_spectra"), ".jdx",
                    ".jdx", value_bytes=16, parameter_bytes=128, text_bytes=2, escape_bytes=6,
                    spectrum_bytes=512, other_kinds=COMPOUND_KINDS, held=HELD),
    "netcdf": Format("netcdf", "NetCDF", Deferred("netcdf", "write"),
                     Deferred("netcdf", "write"), ".nc", ".nc",
                     missing=Deferred("netcdf", "missing"), parameter_bytes=1024, text_bytes=4,
                     axis_bytes=8, unbacked_axis_bytes=24),
    # The parameters' JSON is written twice (the key-value metadata, and the
    # serialized schema that carries the columns' units), held in a few
    # copies as the footer is made. A wide table's column costs what its
    # writer checks (parquet.COLUMN_BYTES, for a table of one row group).
    "parquet": Format("parquet", "Parquet", Deferred("parquet", "write_spectrum"),
                      Deferred("parquet", "write_long"), ".parquet", ".parquet",
                      Deferred("parquet", "write_wide"), missing=Deferred("parquet", "missing"),
                      value_bytes=32, parameter_bytes=128, text_bytes=16, escape_bytes=24,
                      unbacked_spectrum_bytes=64, repeated=Deferred("table", "repeated_text"),
                      heading_bytes=4096),
    # The values as read; a header of their lists and texts, percent-encoded:
    # a character up to 9 bytes (3 of UTF-8; JSON's \u0001 6), the names of
    # traces and spectra counted once read. A point of an axis is its
    # float64 while its list is written (0.4 us and 24 bytes of text): past
    # the backed values, whose share of the bound pays for the rest, 32.
    "envi": Format("envi", "ENVI", Deferred("envi", "write_values"),
                   Deferred("envi", "write_values"), ".img", ".img", parameter_bytes=128,
                   text_bytes=9, other_kinds=ENVI_KINDS,
                   held="spectra, series, maps and multiregion maps of spectra, and maps of traces",
                   repeated=Deferred("envi", "header_bytes"),
                   repeats="its header names its bands or spectra", axis_bytes=8,
                   unbacked_axis_bytes=24,
                   header_suffix=".hdr", header=Deferred("envi", "write_header"),
                   left=Deferred("envi", "left_by_export"), holds_empty=False),
    # The values copied once as written (in MATLAB's column order); a text
    # as scipy writes it, a 4-byte character array, a copy of it, the text
    # again and its UTF-8: up to 19 bytes a character at their peak. A
    # parameter is a pair of cells, a few small arrays (156 bytes), that
    # scipy takes 50 us to write: charged as 4 KB, so that the 64 MiB any
    # file may use are written within a second, not 100,000 merged ones in 8 s.
    "mat": Format("mat", "MAT-file", Deferred("mat", "write_spectrum"),
                  Deferred("mat", "write"), ".mat", ".mat", missing=Deferred("mat", "missing"),
                  value_bytes=4, parameter_bytes=4096, text_bytes=20, axis_bytes=8,
                  unbacked_axis_bytes=8, oversize=Deferred("mat", "oversize")),
    # A folder a block, its values compressed a few chunks at a time. The
    # attributes are written twice (.zattrs and .zmetadata), in ASCII (a
    # character past it, or a control character, as a 6-character escape), a
    # piece at a time; a parameter's dict entry is copied as its dataset is
    # built, and encoded: 210 bytes each at the peak, charged 320 as
    # xarray's own first use holds some 18 MB besides.
    "zarr": Format("zarr", "Zarr", Deferred("zarr", "write"), Deferred("zarr", "write"),
                   ".zarr", ".zarr", missing=Deferred("zarr", "missing"), parameter_bytes=320,
                   text_bytes=4, escape_bytes=8, ascii_only=True, axis_bytes=8,
                   unbacked_axis_bytes=24, folder=Deferred("zarr_store", "is_store")),
}


# Other names a format goes by: its files' suffixes (below), and names a
# scientist reaches for first. Each is refused with the format's own name,
# not taken: a name that writes another suffix than it says is a surprise.
OTHER_NAMES = {"dx": "jcamp", "jcamp-dx": "jcamp", "parq": "parquet", "pq": "parquet",
               "numpy": "npy", "matlab": "mat", "h5": "netcdf", "hdf5": "netcdf",
               "nc4": "netcdf", "cdf": "netcdf"}


# Names of formats none of ours writes, with what to use instead: a usage
# error that only lists our names leaves the user to guess which is nearest.
INSTEAD = {
    "txt": "use 'csv' (it writes .csv: text, comma-separated)",
    "tsv": "use 'csv' (it writes .csv: comma-separated, not tab-separated)",
    "xlsx": "use 'csv', which spreadsheets open, or 'parquet', which pandas opens",
    "json": "'vesk ls --json' lists the blocks and their parameters; the values go to "
            "'npy', 'netcdf', 'zarr' or 'csv'",
}


def writes(fmt: Format) -> str:
    """The suffixes a format's outputs have: ".npz", ".img and .hdr"."""
    suffixes = list(dict.fromkeys([fmt.spectrum_suffix, fmt.other_suffix] + (
        [fmt.header_suffix] if fmt.header_suffix else [])))
    return " and ".join(suffixes)


def meant(name: str) -> Optional[str]:
    """The format a name that is none most likely means: its case changed,
    or a suffix or other name of it; None where nothing is near."""
    folded = name.lower().lstrip(".")
    if folded in FORMATS:
        return folded
    for fmt in FORMATS.values():
        if "." + folded in (fmt.spectrum_suffix, fmt.other_suffix, fmt.header_suffix):
            return fmt.name
    return OTHER_NAMES.get(folded)


def hinted(name: str) -> bool:
    """Whether unknown_format says more of `name` than the list of formats."""
    return meant(name) is not None or name.lower().lstrip(".") in INSTEAD


def unknown_format(name: str) -> str:
    """Why `name` is no format, and the one to use where it looks like one
    (or what to use where none of ours writes it)."""
    near = meant(name) if isinstance(name, str) else None
    instead = INSTEAD.get(name.lower().lstrip(".")) if isinstance(name, str) else None
    if instead is not None:
        return "no format %r; %s" % (name, instead)
    if near is None:
        return "no format %r; one of %s" % (name, ", ".join(sorted(FORMATS)))
    return "no format %r; use %r (it writes %s)" % (name, near, writes(FORMATS[near]))

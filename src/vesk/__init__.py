"""Read VESK spectrometer files into typed objects, numpy, xarray and pandas.

    import vesk
    with vesk.open("sample.vesk") as f:
        for block in f.blocks:              # described without reading values
            print(block)
        spectrum = f["AB/2D/NONE"]          # a vesk.Spectrum: .x, .y, .parameters
        assert isinstance(spectrum, vesk.Spectrum)  # for a type checker: f[key] is a DataObject
        cube = f["AB/3D/NONE"].to_xarray()  # dims ("y", "x", "wavenumber")
        table = f["AB/3D/NONE"].to_pandas() # a row per spectrum, indexed by (y, x)

`vesk.find(folder)` lists the VESK files beneath a folder, in name order;
`block.to_dict()` describes a block as JSON takes it (as `vesk ls --json`).
`vesk.open` returns a `VeskFile` (a context manager holding one descriptor)
of a path or a binary stream (`io.BytesIO(upload)`);
reading a block returns one data object per kind: `Spectrum`, `ImageMap`,
`ImageTraces`, `TimeSeries`, `TimeTraces`, `MultiregionMap`,
`MultiregionTraces`. Each holds the arrays the low-level reader `veskread`
returns, its `parameters` (read-only), `values`, `dims` and `coords`, and
gives `to_xarray()` and `to_pandas()`; blocks of spectra also give
`band_area(lo, hi)` and `interp(x)` (the values at other x values).
Errors: `VeskError`, with `FormatError` (a ValueError) and
`BlockNotFoundError` (a KeyError; `AmbiguousBlockError` where a short form
names several blocks), each with `path`, `block` and `offset`, and
`reason`, the message without them; OSError passes through unchanged. `VeskWarning` marks
values that are not all the measurement: a recording cut short, points never
measured, values read from bytes their block does not own. `find` reports
what it passes over (an empty or duplicate file) with a `FindWarning`.
xarray reads files directly with `xarray.open_dataset(path, engine="vesk",
group="AB/3D/NONE")`; `vesk.export.write(data, path, "netcdf")` writes a
block as `vesk export` does. `veskread` stays the exact low-level interface.
"""
import importlib as _importlib
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any
from typing import List as _List

from vesk._block import KINDS, UNREADABLE, Block
from vesk._errors import (
    AmbiguousBlockError,
    BlockNotFoundError,
    FindWarning,
    FormatError,
    VeskError,
    VeskWarning,
)
from vesk._file import VeskFile, open, read
from vesk._finding import find
from vesk._public import shown_as_package as _shown_as_package
from vesk._version import __version__
from vesk._vocabulary import (
    block_type_label,
    derivative_label,
    measurement_time,
    parameter_label,
    unit_label,
)

__all__ = [
    "__version__",
    "open",
    "read",
    "find",
    "VeskFile",
    "Block",
    "KINDS",
    "UNREADABLE",
    "DataObject",
    "Spectrum",
    "ImageMap",
    "ImageTraces",
    "TimeSeries",
    "TimeTraces",
    "MultiregionMap",
    "MultiregionTraces",
    "Region",
    "Image",
    "VeskError",
    "FormatError",
    "AmbiguousBlockError",
    "BlockNotFoundError",
    "VeskWarning",
    "FindWarning",
    "block_type_label",
    "derivative_label",
    "unit_label",
    "parameter_label",
    "measurement_time",
]

# The data objects hold numpy's arrays, and come with numpy's import on first
# use: a program or command that only lists blocks starts without it.
_OBJECTS = ("DataObject", "Spectrum", "ImageMap", "ImageTraces", "TimeSeries", "TimeTraces",
            "MultiregionMap", "MultiregionTraces", "Region", "Image")

if _TYPE_CHECKING:
    from vesk import export
    from vesk._objects import (
        DataObject,
        Image,
        ImageMap,
        ImageTraces,
        MultiregionMap,
        MultiregionTraces,
        Region,
        Spectrum,
        TimeSeries,
        TimeTraces,
    )


def __getattr__(name: str) -> _Any:
    if name in _OBJECTS:
        objects = _importlib.import_module("vesk._objects")
        globals().update((n, getattr(objects, n)) for n in _OBJECTS)
        return globals()[name]
    # `vesk.export.write` after `import vesk` alone, as the documentation
    # writes it; imported on first use, so `import vesk` stays light.
    if name == "export":
        return _importlib.import_module("vesk.export")
    raise AttributeError("module 'vesk' has no attribute %r" % name)


def __dir__() -> _List[str]:
    return sorted(set(globals()) | set(_OBJECTS))


_shown_as_package(VeskFile, Block, VeskError, FormatError, BlockNotFoundError,
                  AmbiguousBlockError, VeskWarning, FindWarning)

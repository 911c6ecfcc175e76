"""Zarr stores (format 2, consolidated) of what the data object's xarray form holds.

`xarray.open_zarr(path)` gives the dataset the NetCDF export gives: the
variable named as `to_xarray()` names it, with its dims, coordinates,
attributes, and the file's global attributes (`title`, `source`,
`source_sha256`, `history`, ...). The values are in chunks of whole spectra
(or of a time's or point's traces), a few MB each, which Dask reads in
parallel; each coordinate is one chunk. The values' fill value is NaN, as
the NetCDF variable's; the coordinates have none.

Attributes are JSON: a parameter's key (four characters at most) is its
attribute's name as it is, whatever characters a damaged file gives it, and
none can be a name that xarray and CF readers take for an encoding of the
values (`units`, `dtype`, `_FillValue`, all longer). A key named as one of
vesk's own attributes (`kind`) has '_' added, as in `to_xarray()`, and the
attribute `parameter_keys` (JSON) gives its key, as in the NetCDF export.
A NaN or infinite parameter is written as the text "NaN", "Infinity" or
"-Infinity": JSON has no number for them.
"""
from __future__ import annotations

import math
import os
from typing import Optional

import numpy as np

from vesk import DataObject
from vesk._objects import coordinate_attrs

from .netcdf import KEYS_ATTR, global_attrs, parameter_keys
from .zarr_store import Array, row_chunks, write_store

NEEDS = "Zarr export needs xarray: pip install 'veskread[zarr]'"


def missing() -> Optional[str]:
    """NEEDS where xarray cannot be imported, else None."""
    try:
        import xarray  # noqa: F401
    except ImportError:
        return NEEDS
    return None


def write(data: DataObject, path: str) -> None:
    """Writes the store into the folder `path`, empty (made where missing):
    what `to_xarray()` holds, taken from `data` itself, as xarray's index of
    each dimension's coordinate copies it twice (a spectrum of 12.5 million
    points took 213 MB more, past the bound of its 50 MB file)."""
    refused = missing()
    if refused is not None:
        raise ImportError(refused)
    os.makedirs(path, exist_ok=True)
    attrs = data.attrs()
    keys = parameter_keys(data, {})
    if keys is not None:
        attrs[KEYS_ATTR] = keys
    others = sorted(str(c) for c in data.coords if c not in data.dims)
    if others:  # so that xarray opens them as coordinates, not variables
        attrs["coordinates"] = " ".join(others)
    values = np.asarray(data.values)
    arrays = [Array(data.variable_name, values, data.dims, attrs,
                    row_chunks(values.shape, values.itemsize),
                    math.nan if values.dtype.kind == "f" else None)]
    described = coordinate_attrs(data.block, data.dims)
    for name, (dims, coordinate) in data.coords.items():
        arrays.append(Array(str(name), np.asarray(coordinate), [str(d) for d in dims],
                            dict(described.get(name, {}))))
    write_store(path, arrays, dict(global_attrs(data)))

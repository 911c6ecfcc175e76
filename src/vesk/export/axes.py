"""What the writers need to know about a data object's axes beyond its arrays."""
from __future__ import annotations

import math
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from vesk import DataObject
from vesk._objects import Table, coordinate_attrs
from vesk._text import printable


def spectral_coordinate(data: DataObject) -> Optional[str]:
    """Name of the coordinate that runs from the block's first to last x, or None.

    Kinds differ in where the spectral axis sits (last for maps and series,
    absent for trace maps), so it is recognised by its values.
    """
    first, last = data.block.x_range
    for name, (dims, values) in data.coords.items():
        values = np.asarray(values)
        if (len(dims) == 1 and values.ndim == 1 and values.dtype.kind in "fiu"
                and 0 < len(values) <= data.block.points and np.isclose(values[0], first)):
            if len(values) == data.block.points and np.isclose(values[-1], last):
                return name
            # A recording that ends early keeps the leading part of the axis,
            # which is then the last dimension's (a map's rows may also start it).
            if (len(values) < data.block.points and tuple(dims) == data.dims[-1:]
                    and np.array_equal(values, data.x[:len(values)])):
                return name
    return None


def units_of(data: DataObject, name: str) -> str:
    """The units of coordinate `name` as the file gives them, or ""."""
    return coordinate_attrs(data.block, data.dims).get(name, {}).get("units", "")


def column_label(data: DataObject, name: str) -> str:
    """A column heading with units: the spectral axis gets the block's x label,
    another coordinate its units where the file gives them ("time (s)"), as
    does the time along which traces run, so that a series' and its traces'
    tables head their times alike."""
    if name == spectral_coordinate(data) and (data.spectral or name == "spectral"):
        return data.block.x_label
    units = printable(units_of(data, name))  # a heading stays one line
    return "%s (%s)" % (name, units) if units else name


def dim_coordinates(data: DataObject) -> List[Tuple[str, NDArray[Any]]]:
    """One 1-D array per dimension of `values`: its coordinate, or 0, 1, 2, ..."""
    return [(dim, coordinate(data, dim)) for dim in data.dims]


def coordinate(data: DataObject, dim: str) -> NDArray[Any]:
    """The coordinate of dimension `dim`, or its positions 0, 1, 2, ... when it has none."""
    coord = data.coords.get(dim)
    if coord is not None and tuple(coord[0]) == (dim,):
        return np.asarray(coord[1])
    return np.arange(data.values.shape[list(data.dims).index(dim)])


def other_coordinates(data: DataObject) -> List[Tuple[str, Tuple[str, ...], NDArray[Any]]]:
    """Coordinates that are not a dimension's own (region, map position per point ...)."""
    return [(name, tuple(dims), np.asarray(values))
            for name, (dims, values) in data.coords.items()
            if not (name in data.dims and tuple(dims) == (name,))]



class LongColumns(NamedTuple):
    dims: List[Tuple[str, NDArray[Any]]]
    extra: List[Tuple[str, Tuple[str, ...], NDArray[Any]]]
    heading: List[str]


def long_columns(data: DataObject) -> LongColumns:
    """The long layout's columns, for every format that writes it: each
    dimension's coordinate, then the per-point ones not headed already, then
    the values; with their headings."""
    dims = dim_coordinates(data)
    heading = [column_label(data, name) for name, _ in dims]
    extra = [e for e in other_coordinates(data) if e[0] not in heading]
    heading += [column_label(data, name) for name, _, _ in extra] + [data.block.y_label]
    return LongColumns(dims, extra, heading)


class WideRows(NamedTuple):
    table: NDArray[Any]  # the values, a row per spectrum, map point or time
    rows: Tuple[str, ...]  # the dimensions the rows run over
    across: str  # the one the columns run along
    row_shape: Tuple[int, ...]
    labels: List[str]  # what labels the rows: coordinates' names, or the rows' dimensions
    columns: List[Tuple[Tuple[str, ...], NDArray[Any]]]  # each label's dimensions and values


def wide_rows(data: DataObject) -> WideRows:
    """The wide layout's rows, for every format that writes it: the values as
    a table of one row per spectrum, map point or time, labelled by the
    coordinates to_pandas() indexes it by, or by their positions where it
    has none."""
    values, dims = data.table_view() if isinstance(data, Table) else (data.values, data.dims)
    values = np.asarray(values)
    rows, row_shape = tuple(dims[:-1]), values.shape[:-1]
    names = data.row_coordinates() if isinstance(data, Table) else []
    columns = [(tuple(data.coords[n][0]), np.asarray(data.coords[n][1])) for n in names] or [
        ((d,), np.arange(row_shape[k])) for k, d in enumerate(rows)]
    table = values.reshape(math.prod(row_shape), values.shape[-1])
    return WideRows(table, rows, dims[-1], row_shape, list(names) or list(rows), columns)

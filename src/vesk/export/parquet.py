"""Parquet: the blocks as typed, compressed tables that dataframe libraries read.

A spectrum is an x and a y column; every other block a long table (one row
per value, its coordinates as typed columns) or a wide one (the table
to_pandas() gives), headed as CSV's layouts head them. Coordinates keep
their dtype (float64 axes and times, integer region numbers), the values
theirs; texts (trace names, region titles) are strings, dictionary-encoded
as they repeat row after row. Texts are written as they are: no spreadsheet
runs a Parquet file, so none needs the "'" that CSV puts before a formula.

The schema's key-value metadata holds what the npz archive holds beside its
arrays (`block`, `kind`, `source`, `source_sha256`, `parameters` as JSON,
`x_label`, `y_label`, `measured` and `warning` where there are); each coordinate
column's field metadata its `units` and `long_name` where the file states
them, and `column_attrs` the same for every such column as JSON: polars and
DuckDB show the schema's key-value pairs but no field's. Large blocks are written a row group at a time: a map's long table is
several times the map.
"""
from __future__ import annotations

import json
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from vesk import DataObject, Spectrum, _native
from vesk._objects import coordinate_attrs
from vesk._text import printable

from .arrays import block_texts
from .axes import column_label, coordinate, long_columns, wide_rows
from .table import _texts

NEEDS = "Parquet export needs pyarrow: pip install 'veskread[parquet]'"

# zstd: float values compress little with any codec, but the coordinate and
# text columns, which repeat, come out far smaller than with snappy, at a
# like speed; pandas, polars, DuckDB and Spark all read it.
COMPRESSION = "zstd"
# Cells per row group: large enough that a group's metadata is little beside
# its values, small enough that a batch is a few MB, not the whole table (a
# damaged file's 295,000 region points from 18 KB took 80 MB in groups of 2**20).
GROUP = 1 << 18
# A wide table's groups are larger, and hold some rows however wide: each
# costs some 2 KB for every column (a 64 MiB map of 4,097 columns in groups
# of 2**20 cells took 190 MB, twice what groups of 2**22 took).
WIDE_GROUP = 1 << 22
WIDE_ROWS = 64
# and no more rows than this: a narrow table's group of millions of rows
# took some 65 bytes a row (one trace over 2 million times: 139 MB from 8 MB
# of values; in groups of this many, 66 MB).
WIDE_MOST_ROWS = 1 << 15
# What a wide table's column costs while written, once and for each row group
# (its array, field and writer, its metadata in the footer): 65,536 columns
# of 16 rows took 420 MB and 7 s, from 4 MB of values.
COLUMN_BYTES = 4096


def missing() -> Optional[str]:
    """NEEDS where pyarrow cannot be imported, else None."""
    try:
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        return NEEDS
    return None


def _arrow() -> Tuple[Any, Any]:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]
    except ImportError as e:
        raise ImportError(NEEDS) from e
    return pyarrow, pyarrow.parquet


def _unique(names: Sequence[str]) -> List[str]:
    """`names`, a repeated one numbered as pandas numbers a CSV's ("x.1")."""
    out: List[str] = []
    used = set()
    # The number each name goes on from: counting from 1 each time took the
    # square of a flat axis's 4,096 equal headings (seconds from 32 KB).
    tried: Dict[str, int] = {}
    for name in names:
        n = tried.get(name, 0)
        given = "%s.%d" % (name, n) if n else name
        while given in used:
            n += 1
            given = "%s.%d" % (name, n)
        tried[name] = n + 1
        used.add(given)
        out.append(given)
    return out


class _Column:
    """A coordinate as a column: its values, taken a batch of rows at a time
    by their places in it; a text one as codes into its distinct texts."""

    def __init__(self, pa: Any, array: Any) -> None:
        self.array = np.asarray(array)
        self.dictionary = None
        if self.array.dtype.kind not in "fiub":
            # (not through a numpy str array: as wide as the longest text, for every one)
            known: Dict[str, int] = {}
            flat = self.array.reshape(-1).tolist()
            codes = np.fromiter((known.setdefault(str(v), len(known)) for v in flat),
                                np.int32, len(flat))
            self.dictionary = pa.array(list(known), pa.string())
            self.array = codes.reshape(self.array.shape)

    def take(self, pa: Any, at: NDArray[Any]) -> Any:
        values = self.array.reshape(-1)[at]
        if self.dictionary is None:
            return pa.array(values.astype(values.dtype.newbyteorder("="), copy=False))
        return pa.DictionaryArray.from_arrays(pa.array(values), self.dictionary)


def _described(attrs: Dict[str, str]) -> Dict[str, str]:
    return {k: attrs[k] for k in ("units", "long_name") if attrs.get(k)}


def _writer(pa: Any, pq: Any, path: str, data: DataObject, fields: List[Any],
            described: Dict[str, Dict[str, str]], coordinates: List[str]) -> Any:
    texts = block_texts(data)
    if described:
        texts["column_attrs"] = json.dumps(described, ensure_ascii=False)
    schema = pa.schema(fields, metadata=texts)
    # The values change from row to row: only the coordinates gain from a dictionary.
    return pq.ParquetWriter(path, schema, compression=COMPRESSION, use_dictionary=coordinates)


def write_spectrum(data: Spectrum, path: str) -> None:
    pa, pq = _arrow()
    x, y = np.asarray(coordinate(data, data.dims[0])), np.asarray(data.y)
    rows = min(len(x), len(y))
    names = _unique([printable(data.block.x_label), printable(data.block.y_label)])
    attrs = coordinate_attrs(data.block, data.dims).get(data.dims[0], {})
    columns = [_Column(pa, x[:rows]), _Column(pa, y[:rows])]

    def batch(start: int, stop: int) -> List[Any]:
        return [column.take(pa, np.arange(start, stop)) for column in columns]

    _write_batches(pa, pq, path, data, names, [attrs, {}], 0, rows, GROUP // 2, batch)


def write_long(data: DataObject, path: str) -> None:
    """One row per element of `values`, in C order, as CSV's long layout."""
    pa, pq = _arrow()
    values = np.asarray(data.values)
    dims, extra, heading = long_columns(data)
    attrs = coordinate_attrs(data.block, data.dims)
    where = [(name,) for name, _ in dims] + [tuple(cdims) for _, cdims, _ in extra]
    described = [attrs.get(name, {}) for name, _ in dims] + [
        attrs.get(name, {}) for name, _, _ in extra] + [{}]
    columns = [_Column(pa, c) for _, c in dims] + [_Column(pa, c) for _, _, c in extra]
    flat = values.reshape(-1)
    axis_of = {name: k for k, name in enumerate(data.dims)}

    def batch(start: int, stop: int) -> List[Any]:
        index = np.unravel_index(np.arange(start, stop), values.shape)
        out = []
        for cdims, column in zip(where, columns):
            at = (np.ravel_multi_index(tuple(index[axis_of[d]] for d in cdims),
                                       column.array.shape)
                  if cdims else np.zeros(stop - start, np.intp))
            out.append(column.take(pa, at))
        part = flat[start:stop]
        return out + [pa.array(part.astype(part.dtype.newbyteorder("="), copy=False))]

    _write_batches(pa, pq, path, data, _unique([printable(h) for h in heading]), described,
                   len(heading) - 1, flat.size, max(1, GROUP // len(heading)), batch)


def write_wide(data: DataObject, path: str) -> None:
    """The table to_pandas() gives, as CSV's wide layout: one row per
    spectrum, map point or time, its coordinates first, then one column per
    point of the spectral axis (or trace), headed by its x value (or name)."""
    pa, pq = _arrow()
    table, rows, across, row_shape, labels, coords = wide_rows(data)
    count, width = table.shape
    step = max(WIDE_ROWS, min(WIDE_MOST_ROWS, WIDE_GROUP // max(width + len(row_shape), 1)))
    groups = -(-count // step)
    cost = COLUMN_BYTES * width * (groups + 1)
    if cost > _native.output_limit(table.nbytes):
        raise ValueError("%s: a wide Parquet table of %d columns in %d row group%s takes some "
                         "%d MB to write, more than its values can give; the long layout "
                         "writes it" % (data.block.name, width, groups, "s" * (groups != 1),
                                        cost >> 20))
    attrs = coordinate_attrs(data.block, data.dims)
    described = [attrs.get(n, {}) for n in labels] + [{}] * width
    header = np.asarray(coordinate(data, across))
    heading = [printable(column_label(data, n)) for n in labels] + (
        _texts(header) if header.dtype.kind in "fiub" else [str(v) for v in header.tolist()])
    columns = [(tuple(cdims), _Column(pa, array)) for cdims, array in coords]

    def batch(start: int, stop: int) -> List[Any]:
        index = np.unravel_index(np.arange(start, stop), row_shape)
        out = [column.take(pa, np.ravel_multi_index(
            tuple(index[rows.index(d)] for d in cdims), column.array.shape)
            if cdims else np.zeros(stop - start, np.intp)) for cdims, column in columns]
        part = np.ascontiguousarray(table[start:stop].T)  # a column's values together
        part = part.astype(part.dtype.newbyteorder("="), copy=False)
        return out + [pa.array(line) for line in part]

    _write_batches(pa, pq, path, data, _unique(heading), described, len(columns), count, step,
                   batch)


def _write_batches(pa: Any, pq: Any, path: str, data: DataObject, names: List[str],
                   described: List[Dict[str, str]], coordinates: int, rows: int, step: int,
                   batch: Any) -> None:
    """Writes `rows` rows, `step` at a time (a row group each): batch(start,
    stop) gives their columns, the first `coordinates` of them coordinates."""
    writer = None
    try:
        for start in range(0, max(rows, 1), step):
            arrays = batch(start, min(start + step, rows))
            if writer is None:
                columns = {n: _described(d) for n, d in zip(names, described) if _described(d)}
                fields = [pa.field(n, a.type, metadata=columns.get(n))
                          for n, a in zip(names, arrays)]
                writer = _writer(pa, pq, path, data, fields, columns, names[:coordinates])
            writer.write_table(pa.Table.from_arrays(arrays, schema=writer.schema))
    finally:
        if writer is not None:
            writer.close()

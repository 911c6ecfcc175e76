"""CSV: two columns for a spectrum; for the rest, a long layout (one row per
value) or a wide one (one row per spectrum or trace).

Numbers are written so that reading them back gives the same values: float64
as Python's shortest round-trip form, float32 with the 9 significant digits
that identify a float32. The heading of the spectral axis carries its units.
"""
from __future__ import annotations

import csv
import io
import math
import re
from typing import Any, List, Sequence

import numpy as np
from numpy.typing import ArrayLike

from vesk import DataObject, Spectrum
from vesk._objects import Table

from .axes import column_label, coordinate, dim_coordinates, other_coordinates

CHUNK = 1 << 16  # cells formatted at a time, to bound memory on large maps
_QUOTED = re.compile('[,"\r\n]')  # what makes the csv module quote a field


def _format_of(dtype: "np.dtype[Any]") -> str:
    """The %-format that writes a value of `dtype` (as tolist() gives it) so
    that reading it back gives it again."""
    if dtype == np.float32:
        return "%.9g"
    return "%r" if dtype.kind in "fiub" else "%s"


def _texts(values: ArrayLike) -> List[str]:
    column = np.asarray(values)
    form = _format_of(column.dtype)
    texts = [form % (v,) for v in column.tolist()]
    if column.dtype == np.float32:
        for k in np.flatnonzero(_whole(column)).tolist():
            texts[k] += ".0"
    return texts


def _whole(values: "np.ndarray[Any, Any]") -> "np.ndarray[Any, Any]":
    """Where "%.9g" writes a float32 without a point ("1" for 1.0): a column of
    them would read back as integers."""
    with np.errstate(invalid="ignore"):
        return (values == np.trunc(values)) & (np.abs(values) < 1e9)  # type: ignore[no-any-return]


def write_spectrum(data: Spectrum, path: str) -> None:
    # A chunk of rows at a time: a long spectrum's texts at once took some
    # 200 bytes a point.
    x, y = np.asarray(coordinate(data, data.dims[0])), np.asarray(data.y)
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow([data.block.x_label, data.block.y_label])
        for at in range(0, min(len(x), len(y)), CHUNK):
            out.writerows(zip(_texts(x[at:at + CHUNK]), _texts(y[at:at + CHUNK])))


def write_long(data: DataObject, path: str) -> None:
    """One row per element of `values`, in C order: the coordinates of that
    element (dimension coordinates first, then per-point ones), then the value."""
    values = np.asarray(data.values)
    dims = dim_coordinates(data)
    extra = other_coordinates(data)
    heading = [column_label(data, name) for name, _ in dims]
    extra = [e for e in extra if e[0] not in heading]
    heading += [column_label(data, name) for name, _, _ in extra] + [data.block.y_label]
    axis_of = {name: k for k, name in enumerate(data.dims)}
    flat = values.reshape(-1)
    dim_texts = [_Texts(coord) for _, coord in dims]
    extra_texts = [(cdims, _Texts(coord)) for _, cdims, coord in extra]
    every_text = dim_texts + [t for _, t in extra_texts]
    row = ",".join(["%s"] * len(heading)) + "\n"
    # float32 values formatted within their row, where none needs its ".0"
    number_row = ",".join(["%s"] * (len(heading) - 1) + ["%.9g"]) + "\n" \
        if values.dtype == np.float32 else None
    step = max(1, CHUNK // len(heading))  # values whose rows' cells make a chunk
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(heading)
        for start in range(0, flat.size, step):
            stop = min(start + step, flat.size)
            index = np.unravel_index(np.arange(start, stop), values.shape)
            columns: List[List[str]] = [texts[index[k]].tolist()
                                        for k, texts in enumerate(dim_texts)]
            for cdims, texts in extra_texts:  # a scalar coordinate repeats on every row
                cell = texts[tuple(index[axis_of[d]] for d in cdims)]
                columns.append(np.broadcast_to(cell, (stop - start,)).tolist())
            part = flat[start:stop]
            # Numbers never need quoting, nor texts without a comma, quote or
            # line break (a region's title): such rows skip the csv module,
            # which costs more than formatting them.
            plain = not any(t.quoted(c) for t, c in zip(every_text, columns))
            if plain and number_row is not None and not _whole(part).any():
                columns.append(part.tolist())
                f.write("".join(map(number_row.__mod__, zip(*columns))))
                continue
            columns.append(_texts(part))
            if plain:
                f.write("".join(map(row.__mod__, zip(*columns))))
            else:
                out.writerows(zip(*columns))


def _text_table(coord: ArrayLike) -> "np.ndarray[Any, Any]":
    """The texts of a coordinate's values, in an array of its shape."""
    array = np.asarray(coord)
    table = np.empty(array.shape, dtype=object)
    table.reshape(-1)[:] = _texts(array.reshape(-1))
    return table


class _Texts:
    """A coordinate's texts, indexed as the coordinate is. A short one is
    formatted once, as its values repeat on many rows (a map's axes); a long
    one a chunk of rows at a time: a damaged file may declare millions of
    points, whose texts all at once would take many times its bound."""

    def __init__(self, coord: ArrayLike) -> None:
        self.array = np.asarray(coord)
        self.table = _text_table(self.array) if self.array.size <= CHUNK else None
        self.numbers = self.array.dtype.kind in "fiub"
        self.any_quoted = not self.numbers and self.table is not None and any(
            map(_QUOTED.search, self.table.reshape(-1)))

    def __getitem__(self, index: Any) -> "np.ndarray[Any, Any]":
        if self.table is not None:
            return self.table[index]  # type: ignore[no-any-return]
        at = np.ravel_multi_index(index if isinstance(index, tuple) else (index,),
                                  self.array.shape)
        # A chunk's rows mostly lie together: their span is formatted once.
        lo = int(at.min()) if at.size else 0
        span = int(at.max()) + 1 - lo if at.size else 0
        flat = self.array.reshape(-1)
        if span <= 2 * at.size:
            return _text_table(flat[lo:lo + span])[at - lo]  # type: ignore[no-any-return]
        return _text_table(flat[at])

    def quoted(self, texts: Sequence[str]) -> bool:
        """Whether some of `texts`, taken from this coordinate, need quoting."""
        if self.numbers or self.table is not None:
            return self.any_quoted
        return any(map(_QUOTED.search, texts))


def write_wide(data: DataObject, path: str) -> None:
    """The table to_pandas() gives: one row per spectrum, map point or time,
    its coordinates first (those to_pandas() indexes it by, or its positions
    where it has none), then one value per point of the spectral axis or per
    trace, each column headed by that point's x value (or trace name)."""
    values, dims = data.table_view() if isinstance(data, Table) else (data.values, data.dims)
    values = np.asarray(values)
    rows = dims[:-1]
    row_shape = values.shape[:-1]
    width = values.shape[-1]
    table = values.reshape(math.prod(row_shape), width)
    names = data.row_coordinates() if isinstance(data, Table) else []
    # A coordinate is indexed a chunk of rows at a time, never spread over
    # every row at once: a damaged file may declare millions of short rows.
    # Where no coordinate labels the rows, their positions do.
    columns = [data.coords[n] for n in names] or [
        ((d,), np.arange(row_shape[k])) for k, d in enumerate(rows)]
    texts = [(cdims, _Texts(array)) for cdims, array in columns]
    heading = [column_label(data, n) for n in names or rows]
    long_rows = width + len(columns) > CHUNK  # a row of a long spectrum's values
    row = ",".join(["%s"] * len(columns) + [_format_of(values.dtype)] * width) + "\n" \
        if not long_rows else ""
    text_row = ",".join(["%s"] * (len(columns) + width)) + "\n"
    step = max(1, CHUNK // (width + len(columns)))
    with open(path, "w", newline="", encoding="utf-8") as f:
        _write_line(f, heading, coordinate(data, dims[-1]))
        for start in range(0, len(table), step):
            stop = min(start + step, len(table))
            index = np.unravel_index(np.arange(start, stop), row_shape)
            cells = [table_of[tuple(index[rows.index(d)] for d in cdims)].tolist()
                     for cdims, table_of in texts]
            if long_rows:
                _write_line(f, [column[0] for column in cells], table[start])
            elif any(_QUOTED.search("".join(column)) for column in cells):
                f.writelines(_line(list(labels) + _texts(line)) + "\n"
                             for labels, line in zip(zip(*cells), table[start:stop]))
            elif values.dtype == np.float32 and _whole(table[start:stop]).any():
                value_columns = zip(*map(_texts, table[start:stop]))
                f.write("".join(map(text_row.__mod__, zip(*cells, *value_columns))))
            else:  # a row goes through one % in C, as in the long layout
                value_columns = zip(*table[start:stop].tolist())
                f.write("".join(map(row.__mod__, zip(*cells, *value_columns))))


def _write_line(f: Any, labels: List[str], values: ArrayLike) -> None:
    """One CSV line: `labels`, then `values` formatted a chunk at a time: a
    row of a long spectrum's points at once took some 250 bytes a point."""
    array = np.asarray(values)
    f.write(_line(labels))
    sep = "," if labels else ""
    for at in range(0, len(array), CHUNK):
        f.write(sep + _line(_texts(array[at:at + CHUNK])))
        sep = ","
    f.write("\n")


def _line(cells: Sequence[str]) -> str:
    """The cells as one CSV line (no line end), quoted only where needed."""
    if not any(map(_QUOTED.search, cells)):
        return ",".join(cells)
    text = io.StringIO()
    csv.writer(text, lineterminator="").writerow(cells)
    return text.getvalue()

"""CSV: two columns for a spectrum; for the rest, a long layout (one row per
value) or a wide one (one row per spectrum or trace).

Numbers are written so that reading them back gives the same values: float64
as Python's shortest round-trip form, float32 with the 9 significant digits
that identify a float32. The heading of the spectral axis carries its units.

Texts from the file (trace names, titles, units) are written as they are,
quoted where CSV needs it, except that one a spreadsheet would run as a
formula (=, +, -, @ first, and neither a number nor that character alone)
has a "'" put before it, which shows it as the text it is: a CSV is opened
in a spreadsheet as often as it is read by a program, and a file handed
over may name its traces "=HYPERLINK(...)". The headings are one line each.
"""
from __future__ import annotations

import csv
import io
import math
import re
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike

from vesk import DataObject, Spectrum, _native
from vesk._objects import Table
from vesk._text import printable

from .axes import column_label, coordinate, long_columns, wide_rows

CHUNK = 1 << 16  # cells formatted at a time, to bound memory on large maps
_QUOTED = re.compile('[,"\r\n]')  # what makes the csv module quote a field
# The csv module quotes a field holding a line break only where the break's
# characters are its own line end: its rows end in "\r\n", which is then
# written as "\n". A lone "\r" ends a row for most readers too.
_ROW_END = "\r\n"


class _RowEnds:
    """A file that a csv writer writes rows to, each ended with "\n"."""

    def __init__(self, f: Any) -> None:
        self._f = f

    def write(self, row: str) -> Any:
        return self._f.write(row[:-len(_ROW_END)] + "\n")


def _writer(f: Any) -> Any:
    return csv.writer(_RowEnds(f), lineterminator=_ROW_END)


def _native_form(column: "np.ndarray[Any, Any]") -> Optional["np.ndarray[Any, Any]"]:
    """`column` as an array the binding writes ("%.9g" for float32, "%r" of
    what tolist() gives for other numbers); None where Python's % must write
    it: text, long double."""
    dtype = column.dtype
    if dtype == np.float32 or dtype == np.float64 or dtype.kind in "iub":
        return column.astype(dtype.newbyteorder("="), copy=False)
    if dtype.kind == "f" and dtype.itemsize < 8:  # tolist() makes a Python float of it
        return column.astype(np.float64)
    return None


_FORMULA = ("=", "+", "-", "@", "\t", "\r")


def _inert(text: str) -> str:
    """`text` as a spreadsheet shows it rather than runs it (see above)."""
    # one character ("-" for none) runs nothing
    if len(text) < 2 or not text.startswith(_FORMULA):
        return text
    try:
        float(text)  # "-5", "-inf": a number, which no spreadsheet runs
        return text
    except ValueError:
        return "'" + text


def _headings(labels: Sequence[str]) -> List[str]:
    return [_inert(printable(label)) for label in labels]


def _texts(values: ArrayLike) -> List[str]:
    column = np.asarray(values)
    numbers = _native_form(column.reshape(-1))
    if numbers is not None:
        return _native.number_texts(numbers, "csv")
    if column.dtype.kind in "fiub":
        return ["%r" % (v,) for v in column.tolist()]
    return [_inert("%s" % (v,)) for v in column.tolist()]


def write_spectrum(data: Spectrum, path: str) -> None:
    # A chunk of rows at a time: a long spectrum's texts at once took some
    # 200 bytes a point.
    x, y = np.asarray(coordinate(data, data.dims[0])), np.asarray(data.y)
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = _writer(f)
        out.writerow(_headings([data.block.x_label, data.block.y_label]))
        rows = min(len(x), len(y))
        for at in range(0, rows, CHUNK):
            xs, ys = x[at:min(at + CHUNK, rows)], y[at:min(at + CHUNK, rows)]
            numbers = [_native_form(xs), _native_form(ys)]
            if numbers[0] is None or numbers[1] is None:
                out.writerows(zip(_texts(xs), _texts(ys)))
            else:
                f.write(_native.csv_rows([], numbers))


def write_long(data: DataObject, path: str) -> None:
    """One row per element of `values`, in C order: the coordinates of that
    element (dimension coordinates first, then per-point ones), then the value."""
    values = np.asarray(data.values)
    dims, extra, heading = long_columns(data)
    axis_of = {name: k for k, name in enumerate(data.dims)}
    flat = values.reshape(-1)
    texts = [((name,), _Texts(coord)) for name, coord in dims] + [
        (tuple(cdims), _Texts(coord)) for _, cdims, coord in extra]
    step = max(1, CHUNK // len(heading))  # values whose rows' cells make a chunk
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = _writer(f)
        out.writerow(_headings(heading))
        for start in range(0, flat.size, step):
            stop = min(start + step, flat.size)
            index = np.unravel_index(np.arange(start, stop), values.shape)
            cells = [t.cells(tuple(index[axis_of[d]] for d in cdims), stop - start)
                     for cdims, t in texts]
            part = flat[start:stop]
            numbers = _native_form(part)
            # Numbers never need quoting, nor texts without a comma, quote or
            # line break (a region's title): such rows skip the csv module.
            if numbers is not None and not any(t.quoted(c[0]) for (_, t), c in zip(texts, cells)):
                f.write(_native.csv_rows(cells, [numbers]))
            else:
                out.writerows(zip(*map(_picked, cells), _texts(part)))


#: Characters of a text cell that what a row costs anyway covers (a region's title).
TEXT_CELL = 64


def repeated_text(data: DataObject, layout: str = "long") -> int:
    """Characters past TEXT_CELL of the text cells that the CSV of `data`
    (not a spectrum) writes: a coordinate's texts are repeated on every row
    of its values (long) or of its spectra (wide). A damaged file's trace
    names may be as long as its traces, each on every one of their rows:
    the square of the file."""
    values = np.asarray(data.values)
    if layout == "wide":
        rows = math.prod(values.shape[:-1])
        names = data.row_coordinates() if isinstance(data, Table) else []
        columns = [(data.coords[n][1], rows) for n in names]
    else:
        columns = [(coord, values.size) for _, (_, coord) in data.coords.items()]
    total = 0
    for coord, rows in columns:
        array = np.asarray(coord)
        if array.dtype.kind not in "fiub" and array.size:
            total += sum(max(0, len(str(v)) - TEXT_CELL) for v in array.reshape(-1).tolist()
                         ) * (rows // array.size)
    return total


def _picked(cells: Tuple[List[str], "np.ndarray[Any, Any]"]) -> List[str]:
    texts, at = cells
    return [texts[k] for k in at.tolist()]


class _Texts:
    """A coordinate's texts. A short one is formatted once, as its values
    repeat on many rows (a map's axes); a long one a chunk of rows at a time:
    a damaged file may declare millions of points, whose texts all at once
    would take many times its bound."""

    def __init__(self, coord: ArrayLike) -> None:
        self.array = np.asarray(coord)
        self.table = _texts(self.array) if self.array.size <= CHUNK else None
        self.numbers = self.array.dtype.kind in "fiub"
        self.any_quoted = not self.numbers and self.table is not None and any(
            map(_QUOTED.search, self.table))

    def cells(self, index: Tuple["np.ndarray[Any, Any]", ...],
              rows: int) -> Tuple[List[str], "np.ndarray[Any, Any]"]:
        """The texts of `rows` rows, whose places in the coordinate are
        `index` (an array for each of its dimensions), as (texts, at): row
        r's is texts[at[r]]."""
        at = np.ravel_multi_index(index, self.array.shape) if index else np.zeros(rows, np.intp)
        if self.table is not None:
            return self.table, at
        # A chunk's rows mostly lie together: their span is formatted once.
        lo = int(at.min()) if at.size else 0
        span = int(at.max()) + 1 - lo if at.size else 0
        flat = self.array.reshape(-1)
        if span <= 2 * at.size:
            return _texts(flat[lo:lo + span]), at - lo
        return _texts(flat[at]), np.arange(at.size)

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
    table, rows, across, row_shape, labels, columns = wide_rows(data)
    width = table.shape[1]
    # A coordinate is indexed a chunk of rows at a time, never spread over
    # every row at once: a damaged file may declare millions of short rows.
    texts = [(cdims, _Texts(array)) for cdims, array in columns]
    heading = [column_label(data, n) for n in labels]
    long_rows = width + len(columns) > CHUNK  # a row of a long spectrum's values
    step = max(1, CHUNK // (width + len(columns)))
    with open(path, "w", newline="", encoding="utf-8") as f:
        _write_line(f, _headings(heading), coordinate(data, across))
        for start in range(0, len(table), step):
            stop = min(start + step, len(table))
            index = np.unravel_index(np.arange(start, stop), row_shape)
            cells = [t.cells(tuple(index[rows.index(d)] for d in cdims), stop - start)
                     for cdims, t in texts]
            if long_rows:
                _write_line(f, [column[0] for column in map(_picked, cells)], table[start])
                continue
            numbers = _native_form(table[start:stop])
            if numbers is not None and not any(t.quoted(c[0]) for (_, t), c in zip(texts, cells)):
                f.write(_native.csv_rows(cells, [numbers]))
            else:
                f.writelines(_line(list(labels) + _texts(line)) + "\n" for labels, line in
                             zip(zip(*map(_picked, cells)), table[start:stop]))


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
    csv.writer(text, lineterminator=_ROW_END).writerow(cells)
    return text.getvalue()[:-len(_ROW_END)]

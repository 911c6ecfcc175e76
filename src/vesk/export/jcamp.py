"""JCAMP-DX 5.01 for one spectrum: the labelled header, then an (X++(Y..Y)) table;
for a block of many spectra (a series, a map), a compound file: a LINK block
holding one such block per spectrum.

Numbers are written in fixed-point form (AFFN) with the digits that restore
them exactly: every x of the table is FIRSTX + i * DELTAX of the stored axis,
every y the stored float32. The block's parameters follow as private labels
(##$KEY=value) so that nothing of the source is lost; a compound file writes
them once, in its LINK block, and each spectrum's coordinates (its time, its
map position) as its own private labels (##$TIME=2.5).
"""
from __future__ import annotations

import datetime as _dt
import math
import textwrap
from typing import Any, Iterator, List, NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from vesk import DataObject, Spectrum, _native
from vesk._objects import Table
from vesk._text import path_text, printable
from vesk._vocabulary import has_time_of_day, is_raman

from .axes import coordinate, units_of
from .formats import COMPOUND_KINDS, HELD

LINE = 80
X_UNITS = {"WN": "1/CM", "MI": "MICROMETERS", "UM": "MICROMETERS", "NM": "NANOMETERS",
           "SEC": "SECONDS", "MIN": "MINUTES", "HZ": "HZ", "PNT": "POINTS"}
Y_UNITS = ("ABSORBANCE", "TRANSMITTANCE", "REFLECTANCE", "KUBELKA-MUNK")


def _number(v: Any) -> str:
    """Shortest fixed-point text that reads back as v (float32 stays float32)."""
    return _numbers(np.asarray([v]))[0]


def _numbers(values: NDArray[Any]) -> List[str]:
    """_number of each of `values`: a float32 or float64 array (numpy's
    format_float_positional(v, unique=True, trim="-"), whatever its print
    options)."""
    return _native.number_texts(values, "jcamp")


def _text(v: object) -> str:
    """`v` as one line of text: a control character (a
    newline, tab or CR among them) as an escape (\\n, \\t, \\r, ESC as
    \\x1b), as is whitespace at either end, which readers strip from a
    record's value (a space as \\x20); spaces within it as they are. So are
    the second '$' of "$$", which would make the rest of the line a comment,
    and the second '#' of "##", which some readers take for a record's start
    wherever it is."""
    text = printable(str(v))
    start, end = len(text) - len(text.lstrip()), len(text.rstrip())
    if start or end < len(text):
        text = _escaped(text[:start]) + text[start:max(start, end)] + \
            _escaped(text[max(start, end):])
    return text.replace("$$", "$\\x24").replace("##", "#\\x23")


def _escaped(space: str) -> str:
    return "".join("\\x20" if c == " " else repr(c)[1:-1] for c in space)


def _label_text(v: object) -> str:
    """_text of a label that the header makes of a text (a title, an origin,
    units): its ends left out rather than written as escapes."""
    return _text(str(v).strip())


def _label(key: str) -> str:
    """A parameter's name as the label after "##$": _text, its '=' as an
    escape, since the first '=' of a record ends its label, and a '$' it
    starts with, which would follow that '$'."""
    text = _text(key).replace("=", "\\x3d")
    return "\\x24" + text[1:] if text.startswith("$") else text


def long_date(t: _dt.datetime, with_time: bool = True) -> str:
    """YYYY/MM/DD HH:MM:SS[.SSSS] [+-UUUU], as the standard writes LONGDATE;
    the date alone where no time of day is stored."""
    if not with_time:
        return t.strftime("%Y/%m/%d")
    text = t.strftime("%Y/%m/%d %H:%M:%S")
    if t.microsecond:
        text += ".%04d" % (t.microsecond // 100)
    offset = t.utcoffset()
    if offset is not None:
        minutes = int(offset.total_seconds()) // 60
        text += " %s%02d%02d" % ("-" if minutes < 0 else "+", abs(minutes) // 60, abs(minutes) % 60)
    return text


def x_units(data: DataObject) -> str:
    code = str(data.parameters.get("DXU", "")).upper()
    if code in X_UNITS:
        return X_UNITS[code]
    label = data.block.x_label
    return _label_text(label[label.rfind("(") + 1:label.rfind(")")].upper()) if ")" in label else \
        "ARBITRARY UNITS"


def y_units(data: DataObject) -> str:
    label = data.block.y_label.upper()
    return label if label in Y_UNITS else "ARBITRARY UNITS"


def data_type(data: DataObject) -> str:
    return "RAMAN SPECTRUM" if is_raman(data.block.key[0]) else "INFRARED SPECTRUM"




# The longest sample name or origin that each spectrum of a compound file
# repeats: a damaged file's 64 KB text, repeated for a million spectra, would
# be written out in full; the LINK block holds the whole text.
BRIEF = 100


def _opening(data: DataObject, data_type_text: str,
             most: Optional[int] = None) -> List[Tuple[str, str]]:
    """TITLE, JCAMP-DX, DATA TYPE, ORIGIN and OWNER, which every block opens
    with; the sample name and origin cut to `most` characters."""
    p = data.parameters

    def cut(text: str) -> str:
        return text if most is None or len(text) <= most else text[:most] + "..."
    title = cut(_label_text(p.get("SNM") or data.block.name))
    return [("TITLE", "%s, %s" % (title, data.block.name) if title != data.block.name
             else title),
            ("JCAMP-DX", "5.01"), ("DATA TYPE", data_type_text),
            ("ORIGIN", cut(_label_text(p.get("CNM") or p.get("INS") or "unknown"))),
            ("OWNER", "")]


def _about(data: DataObject, data_type_text: str) -> List[Tuple[str, str]]:
    """The records that open a file: title, version, data type, origin, source, date."""
    p = data.parameters
    records = _opening(data, data_type_text)
    if data.block.path:
        records.append(("SOURCE REFERENCE", "%s, %s" % (_text(path_text(data.block.path)),
                                                        data.block.name)))
    measured = getattr(data, "measured", None)  # a datetime where the parameters hold one
    if measured is not None:
        records.append(("LONGDATE", long_date(measured, has_time_of_day(p))))
    return records


def _x_records(data: DataObject, x: NDArray[Any]) -> List[Tuple[str, str]]:
    records = [("XUNITS", x_units(data)), ("YUNITS", y_units(data)), ("XFACTOR", "1"),
               ("YFACTOR", "1")]
    if len(x):
        records += [("FIRSTX", _number(x[0])), ("LASTX", _number(x[-1]))]
        if len(x) > 1:
            records.append(("DELTAX", _number(_step(x))))
    return records


def _y_records(y: NDArray[Any], low: Any, high: Any) -> List[Tuple[str, str]]:
    """MINY, MAXY (`low`, `high`: of the finite values; NaN where none is), NPOINTS, FIRSTY."""
    records = [] if np.isnan(low) else [("MINY", _number(low)), ("MAXY", _number(high))]
    records.append(("NPOINTS", str(len(y))))
    if len(y) and np.isfinite(y[0]):
        records.append(("FIRSTY", _number(y[0])))
    return records


def _y_records_of(rows: NDArray[Any], lows: NDArray[Any], highs: NDArray[Any]) -> List[str]:
    """The text of _y_records of each of `rows`, their numbers formatted
    together: alone, they cost a short spectrum as much as its values."""
    def texts(values: NDArray[Any], wanted: NDArray[Any]) -> List[Optional[str]]:
        made = iter(_numbers(values[wanted]))
        return [next(made) if ok else None for ok in wanted.tolist()]
    has_range = ~np.isnan(lows)
    low_texts, high_texts = texts(lows, has_range), texts(highs, has_range)
    width = rows.shape[-1]
    first_texts = texts(rows[:, 0], np.isfinite(rows[:, 0])) if width else [None] * len(rows)
    out = []
    for low, high, first in zip(low_texts, high_texts, first_texts):
        text = "" if low is None else "##MINY=%s\n##MAXY=%s\n" % (low, high)
        text += "##NPOINTS=%d\n" % width
        out.append(text if first is None else text + "##FIRSTY=%s\n" % first)
    return out


def _finite_range(rows: NDArray[Any]) -> Tuple[NDArray[Any], NDArray[Any]]:
    """Each row's least and greatest finite value, NaN for a row with none."""
    finite = np.isfinite(rows)
    with np.errstate(all="ignore"):
        low = np.where(finite, rows, np.inf).min(axis=-1, initial=np.inf)
        high = np.where(finite, rows, -np.inf).max(axis=-1, initial=-np.inf)
    none = ~finite.any(axis=-1)
    return np.where(none, np.nan, low).astype(rows.dtype), \
        np.where(none, np.nan, high).astype(rows.dtype)


def _parameters_and_note(data: DataObject) -> str:
    """The parameters as private labels, then why values are missing ("?")
    or fewer than NPT, as comment lines."""
    records = [("$" + _label(k), _text(v)) for k, v in data.parameters.items()]
    note = [] if data.block.warning is None else textwrap.wrap(
        _text(data.block.warning), LINE - 3, break_long_words=False)
    return "".join("##%s=%s\n" % r for r in records) + "".join("$$ %s\n" % n for n in note)


def header(data: Spectrum) -> str:
    x, y = coordinate(data, data.dims[0]), np.asarray(data.y)
    low, high = _finite_range(y)
    records = _about(data, data_type(data)) + _x_records(data, x) + _y_records(y, low[()], high[()])
    return "".join("##%s=%s\n" % r for r in records) + _parameters_and_note(data)


def _step(x: NDArray[Any]) -> float:
    """DELTAX: the mean step from the first x to the last (inf where it overflows)."""
    with np.errstate(all="ignore"):
        return float((x[-1] - x[0]) / (len(x) - 1)) if len(x) > 1 else 0.0


Y_CHUNK = 1 << 16


def table(x: NDArray[Any], y: NDArray[Any]) -> Iterator[str]:
    """Lines of 'x y y y ...' no longer than LINE characters, each with one y
    at least, a y that is not a number as the standard's "?" (a reader would
    take the letters of "nan" or "inf" for compressed digits). The lines are
    made a chunk of values at a time, many lines to a text: those of a
    whole long spectrum at once took some 80 bytes a value."""
    at = 0
    while at < len(y):
        lines, at = _native.jcamp_lines(x, y, at, Y_CHUNK)
        yield lines


def _finite_axis(data: DataObject, x: NDArray[Any]) -> None:
    if not (np.isfinite(x).all() and np.isfinite(_step(x))):
        raise ValueError("%s: its x axis is not finite (FXV %s, LXV %s), which JCAMP-DX "
                         "cannot hold; export it to csv, npy or netcdf" % (
                             data.block.name, data.parameters.get("FXV"),
                             data.parameters.get("LXV")))


def _write_table(f: Any, x: NDArray[Any], y: NDArray[Any]) -> None:
    f.write("##XYDATA=(X++(Y..Y))\n")
    f.writelines(table(x, y))
    f.write("##END=\n")


def write_spectrum(data: Spectrum, path: str) -> None:
    x = np.asarray(coordinate(data, data.dims[0]), dtype=np.float64)
    _finite_axis(data, x)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(header(data))
        _write_table(f, x, np.asarray(data.y))


class _RowCoordinate(NamedTuple):
    """A coordinate of the spectra (time, y, x, region, ...), as each
    spectrum's title and private label give it."""
    name: str
    units: str
    dims: Tuple[str, ...]
    texts: Any  # an object array of its values' texts, in its own shape (None: not finite)


def _row_coordinates(data: Table) -> List[_RowCoordinate]:
    """The coordinates that `to_pandas()` indexes its rows by, their values as written."""
    out = []
    for n in data.row_coordinates():
        cdims, array = data.coords[n]
        values = np.asarray(array)
        table = np.empty(values.shape, dtype=object)
        # as tolist() gives them: a float32 widened to a float64
        table.reshape(-1)[:] = _numbers(values.reshape(-1).astype(np.float64)) \
            if values.dtype.kind == "f" else [_text(v) for v in values.reshape(-1).tolist()]
        if values.dtype.kind == "f":  # None: left out, as a NaN FIRSTY is
            table[~np.isfinite(values)] = None
        out.append(_RowCoordinate(_label(n), _label_text(units_of(data, n)), tuple(cdims), table))
    return out


ROWS = 1024  # spectra whose bounds are found at a time


def write_spectra(data: DataObject, path: str) -> None:
    """A compound file of a block of many spectra: a LINK block with the
    block's parameters, then one block per spectrum (a series' time, a map's
    point), in the order of `to_pandas()`'s rows, titled by its coordinates
    and holding them as private labels. Unmeasured points are written as
    such ("?"), so that the blocks stand for every point of the block; a
    coordinate that is not a finite number (a point without a start time) is
    left out of its spectrum's title and labels, as MINY and FIRSTY are where
    no finite value gives them."""
    if data.block.kind not in COMPOUND_KINDS or not isinstance(data, Table):
        raise ValueError("%s: JCAMP-DX holds %s; not %s" % (data.block.name, HELD,
                                                           data.block.kind))
    values, dims = data.table_view()
    rows = dims[:-1]
    x = np.asarray(coordinate(data, dims[-1]), dtype=np.float64)
    _finite_axis(data, x)
    # (the count of spectra given, not -1: a block of NPT 0 has no values to count them by)
    table_of = np.asarray(values).reshape(math.prod(values.shape[:-1]), values.shape[-1])
    coords = _row_coordinates(data)
    about = _about(data, "LINK")
    (_, head), *opening = _opening(data, data_type(data), BRIEF)
    head = "##TITLE=" + head
    spectrum = "".join("##%s=%s\n" % r for r in opening)
    x_records = "".join("##%s=%s\n" % r for r in _x_records(data, x))
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("".join("##%s=%s\n" % r for r in about))
        f.write("##BLOCKS=%d\n" % len(table_of))
        f.write(_parameters_and_note(data))
        for start in range(0, len(table_of), ROWS):
            chunk = table_of[start:start + ROWS]
            y_records = _y_records_of(chunk, *_finite_range(chunk))
            index = np.unravel_index(np.arange(start, start + len(chunk)), values.shape[:-1])
            at = [c.texts[tuple(index[rows.index(d)] for d in c.dims)] for c in coords]
            for k, y in enumerate(chunk):
                where = [(c, column[k]) for c, column in zip(coords, at)
                         if column[k] is not None]
                title = ", ".join("%s %s%s" % (c.name, v, " " + c.units if c.units else "")
                                  for c, v in where)
                f.write("%s%s\n%s##BLOCK_ID=%d\n" % (head, ", " + title if title else "",
                                                     spectrum, start + k + 1))
                f.write("".join("##$%s=%s\n" % (c.name.upper(), v) for c, v in where)
                        + x_records)
                f.write(y_records[k])
                _write_table(f, x, y)
        f.write("##END=\n")

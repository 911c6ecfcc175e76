"""JCAMP-DX 5.01 for one spectrum: the labelled header, then an (X++(Y..Y)) table.

Numbers are written in fixed-point form (AFFN) with the digits that restore
them exactly: every x of the table is FIRSTX + i * DELTAX of the stored axis,
every y the stored float32. The block's parameters follow as private labels
(##$KEY=value) so that nothing of the source is lost.
"""
from __future__ import annotations

import datetime as _dt
import textwrap
from typing import Any, Iterator, Optional

import numpy as np
from numpy.typing import NDArray

from vesk import Spectrum
from vesk._text import path_text, printable
from vesk._vocabulary import has_time_of_day

from .axes import coordinate

LINE = 80
X_UNITS = {"WN": "1/CM", "MI": "MICROMETERS", "UM": "MICROMETERS", "NM": "NANOMETERS",
           "SEC": "SECONDS", "MIN": "MINUTES", "HZ": "HZ", "PNT": "POINTS"}
Y_UNITS = ("ABSORBANCE", "TRANSMITTANCE", "REFLECTANCE", "KUBELKA-MUNK")


def _number(v: Any) -> str:
    """Shortest fixed-point text that reads back as v (float32 stays float32)."""
    return np.format_float_positional(v, unique=True, trim="-")


def _text(v: object) -> str:
    """One line of text; a damaged file's control characters as escapes (ESC as \\x1b)."""
    return printable(" ".join(str(v).split()))


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


def x_units(data: Spectrum) -> str:
    code = str(data.parameters.get("DXU", "")).upper()
    if code in X_UNITS:
        return X_UNITS[code]
    label = data.block.x_label
    return label[label.rfind("(") + 1:label.rfind(")")].upper() if ")" in label else \
        "ARBITRARY UNITS"


def y_units(data: Spectrum) -> str:
    label = data.block.y_label.upper()
    return label if label in Y_UNITS else "ARBITRARY UNITS"


def data_type(data: Spectrum) -> str:
    return "RAMAN SPECTRUM" if "RAM" in data.block.key[0] else "INFRARED SPECTRUM"


def header(data: Spectrum) -> str:
    x, y = coordinate(data, data.dims[0]), np.asarray(data.y)
    p = data.parameters
    title = _text(p.get("SNM") or data.block.name)
    records = [("TITLE", "%s, %s" % (title, data.block.name) if title != data.block.name
                else title),
               ("JCAMP-DX", "5.01"), ("DATA TYPE", data_type(data)),
               ("ORIGIN", _text(p.get("CNM") or p.get("INS") or "unknown")), ("OWNER", "")]
    if data.block.path:
        records.append(("SOURCE REFERENCE", "%s, %s" % (_text(path_text(data.block.path)),
                                                        data.block.name)))
    measured = getattr(data, "measured", None)  # a datetime where the parameters hold one
    if measured is not None:
        records.append(("LONGDATE", long_date(measured, has_time_of_day(p))))
    records += [("XUNITS", x_units(data)), ("YUNITS", y_units(data)), ("XFACTOR", "1"),
                ("YFACTOR", "1")]
    if len(x):
        records += [("FIRSTX", _number(x[0])), ("LASTX", _number(x[-1]))]
        if len(x) > 1:
            records.append(("DELTAX", _number(_step(x))))
    finite = y[np.isfinite(y)]
    if len(finite):
        records += [("MINY", _number(finite.min())), ("MAXY", _number(finite.max()))]
    records.append(("NPOINTS", str(len(y))))
    if len(finite) and np.isfinite(y[0]):
        records.append(("FIRSTY", _number(y[0])))
    records += [("$" + _text(k), _text(v)) for k, v in p.items()]
    # Comment lines: why values are missing ("?") or fewer than NPT.
    note = [] if data.block.warning is None else textwrap.wrap(
        _text(data.block.warning), LINE - 3, break_long_words=False)
    return "".join("##%s=%s\n" % r for r in records) + "".join("$$ %s\n" % n for n in note)


def _step(x: NDArray[Any]) -> float:
    """DELTAX: the mean step from the first x to the last (inf where it overflows)."""
    with np.errstate(all="ignore"):
        return float((x[-1] - x[0]) / (len(x) - 1)) if len(x) > 1 else 0.0


Y_CHUNK = 1 << 16


def _y_texts(y: NDArray[Any]) -> Iterator[str]:
    """Each y as written, made a chunk at a time: the texts of a whole long
    spectrum at once took some 80 bytes a value."""
    for at in range(0, len(y), Y_CHUNK):
        part = y[at:at + Y_CHUNK]
        # A value that is not a number is written as the standard's "?": a reader
        # would take the letters of "nan" or "inf" for compressed digits.
        yield from (_number(v) if ok else "?" for v, ok in zip(part, np.isfinite(part)))


def table(x: NDArray[Any], y: NDArray[Any]) -> Iterator[str]:
    """Lines of 'x y y y ...' no longer than LINE characters."""
    texts = _y_texts(y)
    pending: Optional[str] = next(texts, None)
    i = 0
    while pending is not None:
        line = _number(x[i])
        start = i
        while pending is not None and (i == start or len(line) + 1 + len(pending) <= LINE):
            line += " " + pending
            i += 1
            pending = next(texts, None)
        yield line


def write_spectrum(data: Spectrum, path: str) -> None:
    x = np.asarray(coordinate(data, data.dims[0]), dtype=np.float64)
    if not (np.isfinite(x).all() and np.isfinite(_step(x))):
        raise ValueError("its x axis is not finite (FXV %s, LXV %s), which JCAMP-DX cannot "
                         "hold; export it to csv, npy or netcdf" % (
                             data.parameters.get("FXV"), data.parameters.get("LXV")))
    body = table(x, np.asarray(data.y))
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(header(data))
        f.write("##XYDATA=(X++(Y..Y))\n")
        f.writelines(line + "\n" for line in body)
        f.write("##END=\n")

"""ENVI: the raw float32 values in one file, what they are in a text header beside it.

A map (of spectra, or of traces) is a cube of `lines` map rows, `samples`
map columns and `bands` points of the spectral axis (or traces), band
interleaved by pixel: the order the values lie in as read, so they are
written as they are, a row at a time. Line 0 is the row `vesk plot` draws
at the top, the map's last row: a viewer shows the picture our plot shows.
The map coordinates of the samples (left to right) and of the lines (top
to bottom) are `vesk map x` and `vesk map y`; ENVI's `map info` is not
written, as it is a geographic georeference, which readers turn into a
north-up grid with units of their own list.

Spectra, series of spectra and multiregion maps are a spectral library: one
line per spectrum, in to_pandas()'s row order, named after its coordinates.

The header is ASCII, one field a line (a list may run over several, each
ending in ','). Texts from the file are percent-encoded UTF-8 (as
urllib.parse.unquote decodes them): '%', the characters that end or split a
field ('{', '}', ',', '=', ';'), controls, non-ASCII characters and
whitespace at a text's ends; so no text can end a field early or start
another. Our fields, which no ENVI field is named like, begin "vesk ".
"""
from __future__ import annotations

import math
from typing import Any, Iterator, List, Tuple

import numpy as np
from numpy.typing import NDArray

from vesk import DataObject, _native
from vesk._objects import ImageMap, ImageTraces, Table

from .arrays import block_texts
from .axes import coordinate, units_of

CUBE_KINDS = ("image map", "image traces")
# Bytes of values a write hands over at a time.
CHUNK = 1 << 22
# The spectral axis unit codes that ENVI names; the others are "Unknown".
WAVELENGTH_UNITS = {"WN": "Wavenumber", "MI": "Micrometers", "UM": "Micrometers",
                    "NM": "Nanometers", "PNT": "Index"}
LINE = 80

# Percent-encoding, byte by byte over the text's UTF-8 (as latin-1, a
# character a byte): printable ASCII stays, bar those that end or split a
# field or start a comment, and '%' itself. A table: str.translate runs in C.
_KEPT = {c for c in range(0x20, 0x7f)} - {ord(c) for c in "%{},=;"}
_PERCENT = {b: "%%%02X" % b for b in range(256) if b not in _KEPT}


def text(value: str) -> str:
    """`value` as a header writes it (see above): one line, no field's
    delimiters; urllib.parse.unquote gives it back."""
    # A lone surrogate (bytes of the file that were no UTF-8) as its escape \udcxx.
    raw = value.encode("utf-8", "backslashreplace").decode("latin-1").translate(_PERCENT)
    body = raw.strip(" ")
    if body == raw:
        return raw
    start = raw.index(body) if body else len(raw)
    return "%20" * start + body + "%20" * (len(raw) - start - len(body))


def _list(items: List[str]) -> str:
    """`{a, b, ...}`, a line of about LINE characters at a time."""
    lines, line = [], "{"
    for k, item in enumerate(items):
        piece = item + ("," if k + 1 < len(items) else "")
        if len(line) + len(piece) + 1 > LINE and line not in ("{", " "):
            lines.append(line)
            line = " "
        line += (" " if line not in ("{", " ") else "") + piece
    return "\n".join(lines + [line + "}"])


def _numbers(values: NDArray[Any]) -> List[str]:
    # repr's digits: a float64 read back is the value written
    return _native.number_texts(np.asarray(values, dtype=np.float64).reshape(-1), "csv")


def is_cube(data: DataObject) -> bool:
    return data.block.kind in CUBE_KINDS


def _rows(data: DataObject) -> NDArray[Any]:
    """The values as written, a line (map row, or spectrum) after another:
    the map's rows last to first; a library's spectra as to_pandas() rows."""
    if isinstance(data, (ImageMap, ImageTraces)):
        return np.asarray(data.values)[::-1]
    values = np.asarray(data.table_view()[0] if isinstance(data, Table) else data.values)
    return values.reshape(math.prod(values.shape[:-1]), values.shape[-1])


def _pieces(rows: NDArray[Any]) -> Iterator[NDArray[Any]]:
    """`rows` as little-endian float32, CHUNK bytes or so at a time: a view
    where they are that already, a copy of the piece alone where not."""
    per_row = 4 * math.prod(rows.shape[1:])
    if not rows.size:
        return
    if per_row <= CHUNK:
        step = CHUNK // per_row
        for at in range(0, len(rows), step):
            yield np.ascontiguousarray(rows[at:at + step], dtype="<f4")
        return
    step = max(1, CHUNK // (4 * math.prod(rows.shape[2:])))  # a long row, cut along it
    for row in rows:
        for at in range(0, len(row), step):
            yield np.ascontiguousarray(row[at:at + step], dtype="<f4")


def write_values(data: DataObject, path: str) -> None:
    with open(path, "wb") as f:
        for piece in _pieces(_rows(data)):
            f.write(piece.data)


def _spectra_names(data: DataObject) -> List[str]:
    """Each spectrum's name, from its coordinates ("time 1.5 s", "region 0 |
    region_title A | map_x 10.0 um | ..."); a lone spectrum, its block's."""
    if not isinstance(data, Table):
        return [data.block.name]
    rows = math.prod(data.table_view()[0].shape[:-1])
    dims = data.table_view()[1][:-1]
    parts: List[List[str]] = [[] for _ in range(rows)]
    shape = data.table_view()[0].shape[:-1]
    for name in data.row_coordinates():
        cdims, values = data.coords[name]
        array = np.asarray(values)
        at = [shape[k] if d in cdims else 1 for k, d in enumerate(dims)]
        spread = np.broadcast_to(array.reshape(at), shape).reshape(-1)
        units = units_of(data, name)
        numeric = array.dtype.kind in "fiub"
        texts = _numbers(spread) if array.dtype.kind == "f" else [str(v) for v in spread.tolist()]
        for part, value in zip(parts, texts):
            part.append("%s %s%s" % (name, value, " " + units if units and numeric else ""))
    return [" | ".join(p) or str(k) for k, p in enumerate(parts)]


def header_text(data: DataObject) -> str:
    """The header of `data`'s values (write_values), as written."""
    cube = is_cube(data)
    values = np.asarray(data.values)
    kind = data.block.kind
    texts = block_texts(data)
    what = ("a map of %s: line 0 is its top row as vesk plot draws it (the last map y);"
            " the map coordinates of samples and lines are vesk map x and vesk map y" % (
                "traces" if kind == "image traces" else "spectra")) if cube else \
        "a spectral library: a line per spectrum in the order of to_pandas() rows"
    fields: List[Tuple[str, str]] = [("description", "{vesk export of %s (%s) from %s: %s."
                                      " Texts in vesk fields are percent-encoded UTF-8}" % (
                                          text(data.block.name), kind,
                                          text(texts.get("source", "a stream")), what))]
    if cube:
        lines, samples, bands = values.shape
        fields += [("samples", str(samples)), ("lines", str(lines)), ("bands", str(bands)),
                   ("header offset", "0"), ("file type", "ENVI Standard"),
                   ("data type", "4"), ("interleave", "bip"), ("byte order", "0")]
    else:
        rows = _rows(data)
        fields += [("samples", str(rows.shape[1])), ("lines", str(rows.shape[0])),
                   ("bands", "1"), ("header offset", "0"),
                   ("file type", "ENVI Spectral Library"), ("data type", "4"),
                   ("interleave", "bsq"), ("byte order", "0")]
    if kind == "image traces":
        labels = np.asarray(coordinate(data, data.dims[-1])).tolist()
        fields.append(("band names", _list([text(str(v)) for v in labels])))
    else:
        code = data.parameters.get("DXU")
        unit = WAVELENGTH_UNITS.get(code.upper(), "Unknown") if isinstance(code, str) \
            else "Unknown"
        axis = coordinate(data, data.dims[-1])
        fields += [("wavelength units", unit), ("wavelength", _list(_numbers(axis)))]
        if not cube:
            fields.append(("spectra names", _list([text(n) for n in _spectra_names(data)])))
    for key in ("block", "kind", "source", "source_sha256", "warning", "x_label", "y_label"):
        if key in texts:
            fields.append(("vesk " + key.replace("_", " "), text(texts[key])))
    if cube:
        fields += [("vesk map x", _list(_numbers(coordinate(data, "x")))),
                   ("vesk map y", _list(_numbers(coordinate(data, "y")[::-1])))]
        units = units_of(data, "x")
        if units:
            fields.append(("vesk map units", text(units)))
    fields.append(("vesk parameters", text(texts["parameters"])))
    return "ENVI\n" + "".join("%s = %s\n" % field for field in fields)


def write_header(data: DataObject, path: str) -> None:
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(header_text(data))


def header_bytes(data: DataObject, layout: str = "long") -> int:
    """What the names of bands and spectra take in the header, as written:
    a trace's name; a spectrum's coordinates, 32 bytes a number (its
    repr), their texts (a region's title, on each of its points) 9 bytes a
    character at most (3 UTF-8 bytes, percent-encoded). A damaged file may
    declare millions of points, or titles as long as its data."""
    if not isinstance(data, Table) or (is_cube(data) and data.block.kind != "image traces"):
        return 0
    shape = data.table_view()[0].shape[:-1]
    rows = math.prod(shape)
    names = [data.dims[-1]] if is_cube(data) else data.row_coordinates()
    total = 0
    for name in names:
        array = np.asarray(data.coords[name][1])
        repeat = 1 if is_cube(data) else rows // max(array.size, 1)
        total += (len(name) + 9 * len(units_of(data, name)) + 4) * repeat * array.size
        if array.dtype.kind in "fiub":
            total += 32 * repeat * array.size
        else:
            total += 9 * repeat * sum(len(str(v)) for v in array.reshape(-1).tolist())
    return total

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
another. Our fields, which no ENVI field is named like, begin "vesk "; the
parameters' JSON is a list of pieces (see _pieces_of).

No line is longer than about PIECE characters (see there): a text longer
than that (a name in a list, a text field, which is then put in braces)
runs over lines of PIECE characters, its spaces percent-encoded too, and
its line breaks are no part of it: a reader that joins the lines as they
are gets it whole, one that keeps the breaks drops them.
"""
from __future__ import annotations

import math
import os
from typing import Any, Dict, Iterable, Iterator, List, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vesk import DataObject, _native
from vesk._objects import ImageMap, ImageTraces, Table

from .arrays import TEXT_CHUNK, block_texts
from .axes import coordinate, units_of

CUBE_KINDS = ("image map", "image traces")
# Bytes of values a write hands over at a time.
CHUNK = 1 << 22
# The spectral axis unit codes that ENVI names; the others are "Unknown".
WAVELENGTH_UNITS = {"WN": "Wavenumber", "MI": "Micrometers", "UM": "Micrometers",
                    "NM": "Nanometers", "PNT": "Index"}
LINE = 80
# What each of our headers starts with.
START = b"ENVI\ndescription = {vesk export of "
# Numbers or names formatted at a time: a damaged file may declare millions.
ROWS = 4096

# Percent-encoding, byte by byte over the text's UTF-8 (as latin-1, a
# character a byte): printable ASCII stays, bar those that end or split a
# field or start a comment, and '%' itself. A short text by str.translate;
# a long one in numpy: translate, to texts of 3, takes 100 ns a character
# (1.9 s for the 22 MB of headers a file of 136 KB may make).
_KEPT = {c for c in range(0x20, 0x7f)} - {ord(c) for c in "%{},=;"}
_PERCENT = {b: "%%%02X" % b for b in range(256) if b not in _KEPT}
_ESCAPED = np.array([b not in _KEPT for b in range(256)])
_HEX = np.frombuffer(b"0123456789ABCDEF", dtype=np.uint8)


def _percent(value: str) -> str:
    # A lone surrogate (bytes of the file that were no UTF-8) as its escape \udcxx.
    raw = value.encode("utf-8", "backslashreplace")
    if len(raw) < 256:
        return raw.decode("latin-1").translate(_PERCENT)
    pieces = []
    for start in range(0, len(raw), 1 << 16):  # its index arrays 4 bytes a byte
        given = np.frombuffer(raw, dtype=np.uint8, count=min(1 << 16, len(raw) - start),
                              offset=start)
        escaped = _ESCAPED[given]
        at = np.cumsum(np.where(escaped, 3, 1).astype(np.int32)) - 1  # each text's end
        out = np.empty(int(at[-1]) + 1, dtype=np.uint8)
        out[at] = given
        ends, picked = at[escaped], given[escaped]
        out[ends - 2], out[ends - 1], out[ends] = ord("%"), _HEX[picked >> 4], _HEX[picked & 15]
        pieces.append(out.tobytes().decode("ascii"))
    return "".join(pieces)


def text(value: str) -> str:
    """`value` as a header writes it (see above): one line, no field's
    delimiters; urllib.parse.unquote gives it back."""
    raw = _percent(value)
    body = raw.strip(" ")
    if body == raw:
        return raw
    start = raw.index(body) if body else len(raw)
    return "%20" * start + body + "%20" * (len(raw) - start - len(body))


# GDAL drops a header line of 10,000 characters or more, and every field
# after it: the parameters' JSON (often longer) is a list of pieces, one a
# line, which joined and decoded give it back; a longer text runs over lines.
PIECE = 4000


def _cut(encoded: str) -> Tuple[List[str], str]:
    """`encoded` (percent-encoded) in pieces of PIECE characters, none
    cutting an escape, and what is left after them, PIECE or fewer."""
    pieces, start = [], 0
    while len(encoded) - start > PIECE:
        end = start + PIECE
        end -= 2 if encoded[end - 2] == "%" else 1 if encoded[end - 1] == "%" else 0
        pieces.append(encoded[start:end])
        start = end
    return pieces, encoded[start:]


def _lines(encoded: str) -> str:
    """A text as written (text()) over lines of PIECE characters or fewer,
    its spaces encoded: SPy strips each line, GDAL joins them as they are."""
    if len(encoded) <= PIECE:
        return encoded
    pieces, left = _cut(encoded.replace(" ", "%20"))
    return "\n".join(pieces + [left])


def _field(encoded: str) -> str:
    """A text field's value: in braces when it runs over lines."""
    value = _lines(encoded)
    return "{%s}" % value if "\n" in value else value


def _list(chunks: Iterable[List[str]]) -> Iterator[str]:
    """`{a, b, ...}`, its items given a chunk at a time, as pieces of text:
    a line of about LINE characters at a time, each but the last ending in ','."""
    width, first = 1, True
    yield "{"
    for items in chunks:
        out = []
        for item in items:
            if first:
                first = False
            elif width + len(item) + 2 > LINE:
                out.append(",\n ")
                width = 1
            else:
                out.append(", ")
                width += 2
            item = _lines(item)
            out.append(item)
            width += len(item) if "\n" not in item else LINE  # the next on a line of its own
        yield "".join(out)
    yield "}"


def _numbers(values: ArrayLike) -> Iterator[List[str]]:
    """The texts of `values`, ROWS at a time, with repr's digits: a float64
    read back is the value written."""
    flat = np.asarray(values, dtype=np.float64).reshape(-1)
    for at in range(0, len(flat), ROWS):
        yield _native.number_texts(flat[at:at + ROWS], "csv")


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


def left_by_export(data: DataObject, path: str) -> bool:
    """Whether `path`, alone where a pair of `data` goes, is a half that an
    export left: a header of ours, or values of this block's size (put in
    place before their header)."""
    with open(path, "rb") as f:
        if f.read(len(START)) == START:
            return True
    return os.path.getsize(path) == 4 * _rows(data).size


def write_values(data: DataObject, path: str) -> None:
    with open(path, "wb") as f:
        for piece in _pieces(_rows(data)):
            f.write(piece.data)


def _names(data: DataObject) -> Iterator[List[str]]:
    """Each spectrum's name from its coordinates ("time 1.5 s", "region 0 |
    region_title A | map_x 10.0 um | ..."), ROWS at a time; a lone
    spectrum's, its block's."""
    if not isinstance(data, Table):
        yield [text(data.block.name)]
        return
    values, dims = data.table_view()
    shape = values.shape[:-1]
    columns = []
    for name in data.row_coordinates():
        cdims, array = data.coords[name]
        array = np.asarray(array)
        units = units_of(data, name) if array.dtype.kind in "fiub" else ""
        columns.append((name, [dims.index(d) for d in cdims], array, " " + units if units else ""))
    rows = math.prod(shape)
    for at in range(0, rows, ROWS):
        index = np.unravel_index(np.arange(at, min(at + ROWS, rows)), shape)
        parts = []
        for name, axes, array, units in columns:
            picked = array[tuple(index[k] for k in axes)]
            texts = next(_numbers(picked), []) if picked.dtype.kind == "f" else [
                str(v) for v in picked.tolist()]
            parts.append(["%s %s%s" % (name, t, units) for t in texts])
        yield [text(" | ".join(p)) for p in zip(*parts)] if parts else [
            str(k) for k in range(at, min(at + ROWS, rows))]


def _header(data: DataObject) -> Iterator[str]:
    """The header of `data`'s values (write_values), a piece at a time."""
    cube = is_cube(data)
    kind = data.block.kind
    texts = block_texts(data)
    what = ("a map of %s: line 0 is its top row as vesk plot draws it (the last map y);"
            " the map coordinates of samples and lines are vesk map x and vesk map y" % (
                "traces" if kind == "image traces" else "spectra")) if cube else \
        "a spectral library: a line per spectrum in the order of to_pandas() rows"
    yield START.decode("ascii") + "%s (%s) from %s: %s. Texts in vesk fields are " \
        "percent-encoded UTF-8}\n" % (_lines(text(data.block.name)), kind,
                                      _lines(text(texts.get("source", "a stream"))), what)
    rows = _rows(data)
    if cube:
        lines, samples, bands = rows.shape
        layout = ("ENVI Standard", "bip")
    else:
        lines, samples, bands = rows.shape + (1,)
        layout = ("ENVI Spectral Library", "bsq")
    yield ("samples = %d\nlines = %d\nbands = %d\nheader offset = 0\nfile type = %s\n"
           "data type = 4\ninterleave = %s\nbyte order = 0\n" % (
               samples, lines, bands, *layout))
    axis = coordinate(data, data.dims[-1])
    if kind == "image traces":
        yield "band names = "
        yield from _list([[text(str(v)) for v in axis.tolist()]])
        yield "\n"
    else:
        code = data.parameters.get("DXU")
        yield "wavelength units = %s\nwavelength = " % (
            WAVELENGTH_UNITS.get(code.upper(), "Unknown") if isinstance(code, str) else "Unknown")
        yield from _list(_numbers(axis))
        yield "\n"
        if not cube:
            yield "spectra names = "
            yield from _list(_names(data))
            yield "\n"
    for key in ("block", "kind", "source", "source_sha256", "measured", "warning", "x_label",
                "y_label"):
        if key in texts:
            yield "vesk %s = %s\n" % (key.replace("_", " "), _field(text(texts[key])))
    if cube:
        for name, along in (("x", coordinate(data, "x")), ("y", coordinate(data, "y")[::-1])):
            yield "vesk map %s = " % name
            yield from _list(_numbers(along))
            yield "\n"
        units = units_of(data, "x")
        if units:
            yield "vesk map units = %s\n" % _field(text(units))
    yield "vesk parameters = "
    yield from _list(_pieces_of(texts["parameters"]))
    yield "\n"


def _pieces_of(value: str) -> Iterator[List[str]]:
    """`value` percent-encoded, spaces too (so that the items hold no
    character a list's reader strips), in items of at most PIECE characters,
    none cutting an escape; a part of `value` at a time: a damaged file's
    parameters may hold 50 MB of texts."""
    left = ""
    for at in range(0, len(value), TEXT_CHUNK):
        items, left = _cut(left + _percent(value[at:at + TEXT_CHUNK]).replace(" ", "%20"))
        yield items
    yield [left]


def write_header(data: DataObject, path: str) -> None:
    with open(path, "w", encoding="ascii", newline="\n") as f:
        for piece in _header(data):
            f.write(piece)


def header_bytes(data: DataObject, layout: str = "long") -> int:
    """What the names of bands and spectra take in the header as written,
    about: a trace's name; a spectrum's coordinates, each named, its
    number at most 24 characters (repr's), its text as percent-encoded.
    A damaged file may declare millions of points, or titles as long as
    its data, repeated on each of a region's points."""
    if not isinstance(data, Table) or (is_cube(data) and data.block.kind != "image traces"):
        return 0
    rows = math.prod(data.table_view()[0].shape[:-1])
    names = [data.dims[-1]] if is_cube(data) else data.row_coordinates()
    total = 0
    for name in names:
        array = np.asarray(data.coords[name][1])
        repeat = 1 if is_cube(data) else rows // max(array.size, 1)
        if array.dtype.kind in "fiub":
            total += (len(name) + 29 + len(text(units_of(data, name)))) * repeat * array.size
            continue
        lengths: Dict[str, int] = {}  # a region's title, the same on each of its points
        for v in array.reshape(-1).tolist():
            v = str(v)
            if v not in lengths:
                lengths[v] = len(_lines(text(v)))
            total += (len(name) + 4 + lengths[v]) * repeat
    return total

"""MAT-files (version 5) for MATLAB, GNU Octave and R.matlab, written by scipy.

`s = load('x.mat')` gives what the npz archive gives, as MATLAB holds it:
`values` with the block's dimensions in the order `dims` names them (a map's
values(y, x, wavenumber)), one column vector per coordinate (the spectral
axis named as its dimension, a map's `x` and `y`, `time`, ...; names and
region titles as cell arrays of char), `coordinate_dims` and
`coordinate_attrs` as structs by coordinate, and the block's texts as char
rows. The parameters are an N x 2 cell array {key, value}: a damaged file's
keys need not be MATLAB identifiers, which a struct's fields must be;
`containers.Map(s.parameters(:,1), s.parameters(:,2))` looks them up. Their
numbers are doubles, which hold every 32-bit integer exactly: an int32 in
MATLAB rounds what it meets (int32(5) * 0.3 is 2).

MATLAB's char holds 16-bit code units, and scipy gives a text's length in
characters: a character beyond them, or a lone surrogate, is written as
U+FFFD so that the file stays one MATLAB loads; NUL too, which scipy would
write as a space. A text that is not ASCII is written as UTF-16, not as
scipy's UTF-8: GNU Octave takes a UTF-8 text's length in characters for
its length in bytes, and cut it short; UTF-16 MATLAB, Octave and scipy
read whole.
"""
from __future__ import annotations

import functools
import math
import re
import time
from typing import Any, BinaryIO, Dict, List, Optional, Union

import numpy as np
from numpy.typing import NDArray

from vesk import Block, DataObject, Spectrum, __version__
from vesk._objects import coordinate_attrs

from .arrays import block_texts
from .axes import coordinate
from .source import export_time

NEEDS = "MAT-file export needs scipy: pip install 'veskread[matlab]'"

# What version 5 holds in one variable (a 32-bit byte count; MATLAB itself
# refuses past 2 GB and asks for its HDF5-based format).
MOST_BYTES = 1 << 31
_IDENTIFIER = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,62}\Z")
_UNCODED = re.compile("[\x00\ud800-\udfff\U00010000-\U0010ffff]")
TEXT_PIECE = 1 << 16
# A char array's class, and the element type of UTF-16 text.
MX_CHAR = 4
MI_UTF16 = 17
HEADER_TEXT = 116  # the header's description, before its offset, version and byte order


def missing() -> Optional[str]:
    """NEEDS where scipy cannot be imported, else None."""
    try:
        import scipy.io  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        return NEEDS
    return None


def oversize(block: Block) -> Optional[str]:
    """Why the block's values do not fit a version 5 variable, or None; told
    from its shape, before anything is read or written."""
    nbytes = 4 * math.prod(block.shape)
    if nbytes <= MOST_BYTES:
        return None
    return ("%d values (%d bytes) are more than a MAT-file variable holds (2 GiB); "
            "the netcdf format, which MATLAB reads with ncread, holds them"
            % (nbytes // 4, nbytes))


def _text(value: str) -> str:
    if _UNCODED.search(value) is None:
        return value
    # A piece at a time: a match is a piece of the list `sub` joins.
    return "".join(_UNCODED.sub("\ufffd", value[at:at + TEXT_PIECE])
                   for at in range(0, len(value), TEXT_PIECE))


def _cell(items: List[Any], row: bool = False) -> NDArray[Any]:
    cells = np.empty((1, len(items)) if row else (len(items), 1), dtype=object)
    for k, item in enumerate(items):
        cells.flat[k] = item
    return cells


def _coordinate(values: Any) -> NDArray[Any]:
    array = np.asarray(values)
    if array.dtype.kind in "OUS":  # names: a cell array of char, not a padded char matrix
        return _cell([_text(str(v)) for v in array.ravel()]).reshape(
            array.shape if array.ndim > 1 else (array.size, 1))
    return array


def _parameter(value: Union[int, float, str]) -> Any:
    if isinstance(value, str):
        return _text(value)
    return float(value)


def variables(data: DataObject) -> Dict[str, Any]:
    """The variables `load` gives, by name."""
    out: Dict[str, Any] = {"values": np.asarray(data.values),
                           "dims": _cell(list(data.dims), row=True)}
    if isinstance(data, Spectrum):
        out["x"], out["y"] = coordinate(data, data.dims[0]), out["values"]
    texts = {k: _text(v) for k, v in block_texts(data, parameters=False).items()}
    clash = set(out) | set(texts) | {"coordinate_dims", "coordinate_attrs", "parameters"}
    attrs = coordinate_attrs(data.block, data.dims)
    where: Dict[str, Any] = {}
    described: Dict[str, Any] = {}
    for name, (dims, values) in data.coords.items():
        key = name if name not in clash else "coord_" + name
        if not _IDENTIFIER.match(key):  # (vesk's own names all are)
            continue
        out[key] = _coordinate(values)
        where[key] = _cell(list(dims), row=True)
        if name in attrs:
            described[key] = {k: _text(v) for k, v in attrs[name].items()}
    out["coordinate_dims"] = where
    out["coordinate_attrs"] = described
    out["parameters"] = _cell_pairs(data)
    out.update(texts)
    return out


def _cell_pairs(data: DataObject) -> NDArray[Any]:
    pairs = np.empty((len(data.parameters), 2), dtype=object)
    for k, (key, value) in enumerate(data.parameters.items()):
        pairs[k, 0], pairs[k, 1] = _text(key), _parameter(value)
    return pairs


def header_text() -> bytes:
    """The header's description, dated as the export is (SOURCE_DATE_EPOCH when set).
    It names no platform, which readers do not use: exports of one file on
    two systems are the same bytes."""
    when = time.asctime(export_time().timetuple())
    text = "MATLAB 5.0 MAT-file, Created on: %s by vesk %s" % (when, __version__)
    return text.encode("ascii", "replace")[:HEADER_TEXT].ljust(HEADER_TEXT, b" ")


def _save(f: BinaryIO, mdict: Dict[str, Any]) -> None:
    """savemat's file, each text that is not ASCII written as UTF-16."""
    # Vectors as columns, as MATLAB's plot and table take them; no
    # compression, which would hold a compressed copy of the values too.
    options = dict(oned_as="column", do_compression=False, long_field_names=True)
    try:
        mio5 = _mio5_module()
        writer = mio5.MatFile5Writer(f, unicode_strings=True, **options)
        variables = _utf16_texts(mio5.VarWriter5)(writer)
    except (ImportError, AttributeError, TypeError):  # a scipy whose writer is not this one
        from scipy.io import savemat  # type: ignore[import-untyped, unused-ignore]
        savemat(f, mdict, format="5", **options)
        return
    writer.write_file_header()
    for name, value in mdict.items():  # as savemat's writer puts them
        variables.write_top(value, name.encode("latin1"), False)


def _mio5_module() -> Any:
    """scipy's version 5 reader and writer: private since scipy 1.8, public
    (and deprecated later) before."""
    try:
        from scipy.io.matlab import _mio5  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        from scipy.io.matlab import mio5 as _mio5  # type: ignore[import-untyped, unused-ignore]
    return _mio5


@functools.lru_cache(maxsize=None)
def _utf16_texts(base: Any) -> Any:
    """scipy's variable writer, its texts that are not ASCII as UTF-16."""

    class Utf16Texts(base):  # type: ignore[misc, unused-ignore]
        def write_char(self, arr: NDArray[Any], codec: str = "ascii") -> None:
            # a text arrives as one str (variables() makes every text so)
            if arr.dtype.kind != "U" or arr.size != 1 or str(arr.item()).isascii():
                return super().write_char(arr, codec)  # type: ignore[no-any-return]
            units = np.frombuffer(str(arr.item()).encode("utf-16-le"), "<u2")
            self.write_header((1, len(units)), MX_CHAR)
            self.write_element(units, mdtype=MI_UTF16)
            return None

    return Utf16Texts


def write(data: DataObject, path: str) -> None:
    try:
        import scipy.io  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError as e:
        raise ImportError(NEEDS) from e
    mdict = variables(data)
    with open(path, "wb") as f:
        _save(f, mdict)
        f.seek(0)  # scipy dates the header now: an export repeats byte for byte
        f.write(header_text())


def write_spectrum(data: Spectrum, path: str) -> None:
    write(data, path)

"""Zarr stores of format 2 in a folder: a group of arrays cut into chunks,
their JSON metadata, and the consolidated copy of it that readers open in one read.

Written here rather than through the zarr package, whose versions 2 and 3
write format 2 differently (metadata layout, codecs, their bytes): the same
block gives the same store byte for byte whichever is installed, or none.
Format 2 is what every Zarr reader opens (zarr 2 and 3, xarray, Dask, and
the readers of other languages); so are its codecs used here, zlib for
every chunk and vlen-utf8 for texts.

The metadata is strict JSON in ASCII, a line each, every other character
as its escape: zarr 2 before 2.14 decodes it as ASCII. A NaN or infinite
attribute is written as "NaN", "Infinity" or "-Infinity", as format 2 writes
such a fill value, since JSON has no number for them.
"""
from __future__ import annotations

import collections
import json
import math
import os
import re
import stat
import struct
import zlib
from typing import TYPE_CHECKING, Any, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from concurrent.futures import Future

# About this many bytes a chunk, before compression: a few MB, as Dask and
# object stores take them best.
CHUNK_BYTES = 4 << 20
# A spectrum longer than this is cut along its axis too.
LONGEST_ROW = 64 << 20
# zlib's fastest level: a float32 spectrum gains little from the others.
LEVEL = 1
# Threads compressing chunks at most, as many as the processors given.
WORKERS = 4
COMPRESSOR = {"id": "zlib", "level": LEVEL}
TEXTS = [{"id": "vlen-utf8"}]
_LENGTH = struct.Struct("<I")
# The names this store gives its arrays (vesk's variables and coordinates):
# a key of the consolidated metadata as it is, a folder's name on any system.
_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*")


def is_store(path: str) -> bool:
    """Whether `path` is a Zarr group of format 2: a folder (not a link to
    one) holding the file `.zgroup`."""
    try:
        return stat.S_ISDIR(os.lstat(path).st_mode) and stat.S_ISREG(
            os.lstat(os.path.join(path, ".zgroup")).st_mode)
    except OSError:
        return False


def row_chunks(shape: Sequence[int], itemsize: int) -> Tuple[int, ...]:
    """Chunks of whole rows along the last axis (spectra, or a time's
    traces), as many as make CHUNK_BYTES, at least one, spread evenly: a
    map of 100 x 100 x 2000 float32 values in chunks of 5 map rows."""
    most = CHUNK_BYTES
    chunks = [max(1, n) for n in shape]
    inner = itemsize
    cut = False
    for axis in reversed(range(len(shape))):
        n = chunks[axis]
        if cut:
            fit = 1
        elif axis == len(shape) - 1:
            fit = n if n * inner <= LONGEST_ROW else max(1, most // inner)
        else:
            fit = max(1, most // inner)
        if fit < n:
            pieces = -(-n // fit)
            chunks[axis] = -(-n // pieces)
            cut = True
        inner *= chunks[axis]
    return tuple(chunks)


def json_value(value: Any) -> Any:
    """`value` as strict JSON takes it: numpy numbers as Python's, a NaN or
    infinite number as format 2 names it. Not copied where it is already
    (a dict of 100,000 parameters)."""
    if _plain(value):
        return value
    if isinstance(value, (np.generic, np.ndarray)):
        return json_value(value.tolist())
    if isinstance(value, float):
        return "NaN" if math.isnan(value) else "Infinity" if value > 0 else "-Infinity"
    if isinstance(value, dict):
        return {str(k): json_value(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_value(v) for v in value]
    return value


def _plain(value: Any) -> bool:
    kind = type(value)
    if kind in (str, int, bool) or value is None:
        return True
    if kind is float:
        return math.isfinite(value)
    if kind is dict:
        return all(type(k) is str and _plain(v) for k, v in value.items())
    if kind is list:
        return all(map(_plain, value))
    return False


_ENCODER = json.JSONEncoder(ensure_ascii=True, allow_nan=False)
# JSON written at most this many characters at a time.
PIECE = 1 << 20


def json_pieces(document: Any) -> Iterator[bytes]:
    """`document` as JSON in ASCII, one line, a piece at a time: never all
    held at once (a parameter of 64 KB of control characters, or of any
    character past ASCII, is 384 KB of escapes)."""
    pieces: List[str] = []
    size = 0
    for piece in _ENCODER.iterencode(json_value(document)):
        pieces.append(piece)
        size += len(piece)
        if size >= PIECE:
            yield "".join(pieces).encode("ascii")
            pieces, size = [], 0
    yield "".join(pieces).encode("ascii")


def texts_bytes(items: NDArray[Any]) -> bytearray:
    """vlen-utf8: the count, then each text's length and its UTF-8, as
    little-endian 32-bit lengths. A text shared by many items (a region's
    title on each of its points) is encoded once; appended, not joined,
    which holds 80 bytes an item as it joins them."""
    encoded: Dict[str, bytes] = {}
    out = bytearray(_LENGTH.pack(items.size))
    for item in items.ravel():
        text = str(item)
        raw = encoded.get(text)
        if raw is None:
            utf8 = text.encode("utf-8")
            raw = encoded[text] = _LENGTH.pack(len(utf8)) + utf8
        out += raw
    return out


class Array:
    """An array of the store: its values, dims, attributes (owned: its dims
    are added as written), chunks, and the value that fills the part of an
    edge chunk past its end (and stands for a chunk not written; None: no
    such value)."""

    def __init__(self, name: str, values: NDArray[Any], dims: Sequence[str],
                 attrs: Dict[str, Any], chunks: Optional[Tuple[int, ...]] = None,
                 fill_value: Optional[float] = None) -> None:
        self.name, self.values, self.dims, self.attrs = name, values, tuple(dims), attrs
        self.chunks = tuple(max(1, n) for n in values.shape) if chunks is None else chunks
        self.fill_value = fill_value
        self.texts = values.dtype.kind in "OU"

    def metadata(self) -> Dict[str, Any]:
        """.zarray, its keys in the order zarr writes them."""
        dtype = self.values.dtype
        return {"chunks": list(self.chunks),
                "compressor": COMPRESSOR,
                "dtype": "|O" if self.texts else dtype.newbyteorder("<").str,
                "fill_value": json_value(self.fill_value),
                "filters": TEXTS if self.texts else None,
                "order": "C",
                "shape": list(self.values.shape),
                "zarr_format": 2}

    def chunk_keys(self) -> Iterator[Tuple[str, Tuple[slice, ...]]]:
        """Each chunk's key (its indices joined by '.') and where it lies."""
        counts = [-(-n // c) for n, c in zip(self.values.shape, self.chunks)]
        if not counts:
            yield "0", ()
            return
        for index in np.ndindex(*counts):
            yield (".".join(map(str, index)),
                   tuple(slice(k * c, (k + 1) * c) for k, c in zip(index, self.chunks)))

    def chunk_bytes(self, where: Tuple[slice, ...]) -> bytes:
        """A chunk's bytes, compressed: whole, the edge of the array filled."""
        part = np.asarray(self.values[where])
        if self.texts:
            whole = np.full(self.chunks, "", dtype=object) if part.shape != self.chunks else part
            if whole is not part:
                whole[tuple(slice(0, n) for n in part.shape)] = part
            return zlib.compress(texts_bytes(whole), LEVEL)
        if part.shape != self.chunks:
            whole = np.full(self.chunks, 0 if self.fill_value is None else self.fill_value,
                            dtype=part.dtype)
            whole[tuple(slice(0, n) for n in part.shape)] = part
            part = whole
        part = np.ascontiguousarray(part, dtype=part.dtype.newbyteorder("<"))
        return zlib.compress(part.data.cast("B"), LEVEL)


def write_store(folder: str, arrays: List[Array], attrs: Dict[str, Any]) -> None:
    """Writes into `folder` (empty) the group of `arrays` with the group's
    `attrs`, each array's attributes with its dims (`_ARRAY_DIMENSIONS`, as
    xarray reads them), and `.zmetadata`, which holds all of them again,
    written as each is."""
    with open(os.path.join(folder, ".zmetadata"), "xb") as consolidated:
        consolidated.write(b'{"metadata": {')
        first = [True]

        def put(where: str, name: str, document: Any) -> None:
            key = where + "/" + name if where else name
            consolidated.write(b'%s"%s": ' % (b"" if first[0] else b", ", key.encode()))
            first[0] = False
            with open(os.path.join(folder, where, name), "xb") as f:
                for piece in json_pieces(document):
                    f.write(piece)
                    consolidated.write(piece)

        put("", ".zgroup", {"zarr_format": 2})
        put("", ".zattrs", attrs)
        for array in sorted(arrays, key=lambda a: a.name):
            if not _NAME.fullmatch(array.name):
                raise ValueError("%r cannot name an array of a Zarr store" % array.name)
            os.mkdir(os.path.join(folder, array.name))
            put(array.name, ".zarray", array.metadata())
            array.attrs["_ARRAY_DIMENSIONS"] = list(array.dims)
            put(array.name, ".zattrs", array.attrs)
            for key, content in _compressed(array):
                with open(os.path.join(folder, array.name, key), "xb") as f:
                    f.write(content)
        consolidated.write(b'}, "zarr_consolidated_format": 1}')


def _compressed(array: Array) -> Iterator[Tuple[str, bytes]]:
    """Each chunk's key and bytes, in order, compressed a few at a time in
    threads (zlib lets go of the interpreter): a map of 80 MB takes 2 s in one."""
    chunks = array.chunk_keys()
    workers = min(WORKERS, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                  else os.cpu_count() or 1)
    if workers <= 1 or array.values.nbytes <= CHUNK_BYTES:
        for key, where in chunks:
            yield key, array.chunk_bytes(where)
        return
    from concurrent.futures import ThreadPoolExecutor

    pending: Deque[Tuple[str, "Future[bytes]"]] = collections.deque()
    with ThreadPoolExecutor(workers, thread_name_prefix="vesk-zarr") as pool:
        try:
            for key, where in chunks:
                pending.append((key, pool.submit(array.chunk_bytes, where)))
                if len(pending) > workers:  # no more than that held compressed
                    done, future = pending.popleft()
                    yield done, future.result()
            while pending:
                done, future = pending.popleft()
                yield done, future.result()
        finally:
            for _, future in pending:  # stopped: the others are not waited for
                future.cancel()

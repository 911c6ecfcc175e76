"""`VeskFile`: an open VESK file, its block listing and reading by key."""
from __future__ import annotations

import _thread
import contextlib
import errno
import math
import os
import re
import stat
import struct
import sys
import warnings
from types import TracebackType
from typing import (TYPE_CHECKING, Any, Iterator, List, Optional, Protocol, Sequence, Tuple,
                    Type, Union)

import vesk
from vesk import _display, _native
from vesk._block import (UNREADABLE, Block, BlockKey, FileStamp, block_from_outline,
                         file_stamp, key_name)
from vesk._errors import (
    AmbiguousBlockError,
    BlockNotFoundError,
    FormatError,
    VeskWarning,
    raise_native,
    raise_translated,
    where,
)

# numpy, veskread and the data objects are imported where values are read:
# opening a file and listing its blocks (`vesk ls`) needs none of them. Hints
# name the objects through the package (vesk.DataObject), which
# typing.get_type_hints then finds as the package gives them, at first use.
if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class BinaryStream(Protocol):
    """What vesk reads a stream by: an open file, a zip archive's member, a
    gzip file, an upload's SpooledTemporaryFile; not only what is typed BinaryIO."""

    def read(self, size: int, /) -> bytes: ...


Source = Union[PathType, BinaryStream]
Key = Union[str, Tuple[str, str, str], Block]


def _open_descriptor(path: PathType) -> int:
    """A read-only descriptor of `path` that child processes do not inherit.
    A FIFO, socket or device is refused as veskread refuses it."""
    return _opened(path)[0]


def _opened(path: PathType) -> Tuple[int, os.stat_result]:
    """_open_descriptor's descriptor, and its status as it was opened."""
    # Without O_NONBLOCK, opening a FIFO waits for a writer, for ever.
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0)
    fd = os.open(path, flags)
    try:
        st = os.fstat(fd)
        if not (stat.S_ISREG(st.st_mode) or stat.S_ISDIR(st.st_mode)):  # a folder says so when read
            raise OSError(errno.EINVAL, "Not a regular file", os.fsdecode(path))
    except BaseException:
        os.close(fd)
        raise
    return fd, st


def _is_stream(source: object) -> bool:
    return hasattr(source, "read") and not isinstance(source, (str, bytes, os.PathLike))


def _stream_name(stream: object) -> str:
    name = getattr(stream, "name", None)  # an int for a file opened by its descriptor
    return os.fsdecode(name) if isinstance(name, (str, bytes)) else "<stream>"


def _stream_position(stream: object) -> int:
    """Where a seekable stream stands; 0 where it cannot tell."""
    try:
        return int(stream.tell()) if stream.seekable() else 0  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):  # (ValueError: a closed one)
        return 0


def _stream_descriptor(stream: BinaryStream) -> int:
    """A descriptor of an unnamed temporary file holding what is left to read
    of `stream` (an upload, a socket's file): the file is read by positioned
    reads, which a stream does not take, and so is never held in memory."""
    import tempfile

    with tempfile.TemporaryFile() as copy:
        while True:
            chunk = stream.read(1 << 20)
            # before its end is taken: a text stream's end is "" (an empty upload)
            if not isinstance(chunk, (bytes, bytearray, memoryview)):
                raise TypeError("a stream to read a VESK file from gives bytes, not %s: %s" % (
                    type(chunk).__name__, "one that gives None has nothing to read yet: "
                    "give a blocking one" if chunk is None else "open it in binary mode ('rb')"))
            if not chunk:
                break
            copy.write(chunk)
        copy.flush()
        return os.dup(copy.fileno())


def _open_source(source: Source) -> Tuple[str, int, Optional[os.stat_result]]:
    """The name and a descriptor of a path or a binary stream, and the status
    a path's descriptor had as it was opened (None for a stream's)."""
    if _is_stream(source):
        return _stream_name(source), _stream_descriptor(source), None  # type: ignore[arg-type]
    if isinstance(source, bytes) and source.startswith(b"\x0a\x0a\xfe\xfe"):
        raise TypeError("bytes are a file's path: give a file's contents as io.BytesIO(data)")
    if isinstance(source, (bytearray, memoryview)):  # never a path: an upload's buffer
        raise TypeError("a file's contents are read from a stream: give them as "
                        "io.BytesIO(data), not a %s" % type(source).__name__)
    name = os.fsdecode(source)  # type: ignore[arg-type]
    fd, st = _opened(source)  # type: ignore[arg-type]
    return name, fd, st


_NAMED_DESCRIPTORS: List[bool] = []  # once known: a lookup in /dev/fd costs as much as a read


def _names_descriptors(fd: int) -> bool:
    """Whether the system names open descriptors (/dev/fd/N), as `fd` shows."""
    if not _NAMED_DESCRIPTORS:
        named = os.path.exists("/dev/fd/%d" % fd)
        if not named:  # asked again: a lookup that failed for want of memory says no
            return False
        _NAMED_DESCRIPTORS.append(named)
    return _NAMED_DESCRIPTORS[0]


class VeskFile:
    """An open VESK file: a context manager holding one file descriptor.

    `blocks` lists the data blocks, each key once, described from the
    directory and the parameter, store and annotation tables without reading
    any values.
    `f[key]` reads one block into a typed data object; the key is
    "AB/3D/NONE", ("AB", "3D", "NONE") or a short form that names exactly
    one block ("AB", "AB/3D"), or a Block of `blocks`. Case does not matter.
    """

    path: str

    def __init__(self, path: Source) -> None:
        # close() and taking a reading descriptor exclude each other: a
        # number closed under a read may name another file at once. (threading's
        # Lock, without the import of threading.)
        self._lock = _thread.allocate_lock()
        self._fd: Optional[int] = None
        self._streamed = _is_stream(path)  # no path opens it again
        start = _stream_position(path) if self._streamed else 0
        self.path, self._fd, opened = _open_source(path)
        try:
            # before reading: a file that is written to since reads as changed
            listed = opened if opened is not None else os.fstat(self._fd)
            try:
                outline = _native.outline(self._fd)
            except ValueError as e:
                # a run that crashed before writing; not a /proc file, which
                # says 0 bytes and has more
                if os.fstat(self._fd).st_size == 0 and not os.pread(self._fd, 1, 0):
                    raise FormatError("%s: not a VESK file: it is empty (0 bytes)"
                                      % self.path, path=self.path) from None
                raise_native(e, self.path)
            except OSError as e:  # read from our descriptor: name the file (a folder, say)
                if e.filename is None:
                    e.filename = self.path
                raise
            st = os.fstat(self._fd)
            stamp, listed_stamp = file_stamp(st), file_stamp(listed)
            self._listed(st.st_size, listed_stamp,
                         None if self._streamed or stamp != listed_stamp else stamp, outline)
        except BaseException as e:
            self.close()
            if start and isinstance(e, FormatError):  # a stream written to and not rewound
                e.args = ("%s; read from byte %d of the stream, where it stood: seek(0) reads "
                          "it from its start" % (e.args[0], start),) + e.args[1:]
            raise
        # Values are read through a descriptor of ours where the system can
        # name it, so they come from the file that was listed.
        self._by_fd = _names_descriptors(self._fd)
        if not self._by_fd and self._streamed:  # its copy has no name to read it by
            self.close()
            raise OSError(errno.ENOTSUP, "reading from a stream needs /dev/fd, which this "
                          "system lacks: write it to a file and give its path", self.path)

    @classmethod
    def _as_listed(cls, path: str, block: Block) -> Optional["VeskFile"]:
        """The file `block` was listed from, opened to read it without listing
        it again; None where it is not known to be as it was listed."""
        if block._file_id is None:
            return None
        name, fd, st = _open_source(path)
        if st is None or file_stamp(st) != block._file_id:
            os.close(fd)
            return None
        f = cls.__new__(cls)
        f._lock = _thread.allocate_lock()
        f._fd, f._streamed, f.path = fd, False, name
        # No listing to compare with: a file whose status time alone moves
        # while it is read reads as changed.
        f._listed(st.st_size, block._file_id, block._file_id, [])
        f._by_fd = _names_descriptors(fd)
        return f

    def _listed(self, size: int, listed_stamp: FileStamp, file_id: Optional[FileStamp],
                outline: List[Any]) -> None:
        """The file's state as listed: `size` bounds what it gives."""
        self._size = size
        self._listed_stamp, self._file_id = listed_stamp, file_id
        # The outline has each key once, however often the directory
        # lists it (trace blocks come twice): a key names one block.
        # Each Block is described when first asked for: a file of hundreds
        # of keys opened to read one describes that one.
        self._outline = outline
        self._described: List[Optional[Block]] = [None] * len(outline)
        self._blocks: Optional[List[Block]] = None

    # -- lifetime -------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """Whether `close()` (or leaving the `with` block) has closed the file."""
        return self._fd is None

    def close(self) -> None:
        """Closes the file; further reads raise ValueError. Closing twice is harmless."""
        with self._lock:
            fd, self._fd = self._fd, None
            if fd is not None:
                os.close(fd)

    @property
    def _mtime_ns(self) -> int:
        """The modification time the file had as it was listed."""
        return self._listed_stamp[3]

    def __enter__(self) -> "VeskFile":
        if self._fd is None:  # as a closed io file refuses it
            raise ValueError("I/O operation on closed VESK file %r" % self.path)
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __reduce__(self) -> Any:
        # Its descriptor means nothing in another process, and a copy
        # closing it would close this one's.
        raise TypeError("a VESK file cannot be pickled or copied; pass its path (%r) "
                        "and open it again" % self.path)

    def __del__(self) -> None:
        if getattr(self, "_fd", None) is not None:
            try:
                warnings.warn("unclosed VESK file %r" % self.path, ResourceWarning, source=self)
            finally:  # -W error makes the warning an exception: closed all the same
                self.close()

    @_display.never_raises(_display.plain_fallback)
    def __repr__(self) -> str:
        return _display.file_text(self)

    @_display.never_raises(_display.no_html)
    def _repr_html_(self) -> Optional[str]:
        return _display.file_html(self)

    # -- blocks ---------------------------------------------------------------

    @property
    def blocks(self) -> List[Block]:
        """The data blocks, each key once, in the order the file lists them:
        a new list each time, the same Block objects in it."""
        if self._blocks is None:
            self._blocks = [self._described_at(k) for k in range(len(self._outline))]
        return list(self._blocks)  # a caller's sort or remove leaves the file's own

    def _described_at(self, k: int) -> Block:
        """The Block of the outline's entry `k`, described once: each key is one object."""
        block = self._described[k]
        if block is None:
            made = block_from_outline(self._outline[k], self.path, self._size, self._file_id)
            with self._lock:  # two threads asking at once get the same one
                block = self._described[k]
                if block is None:
                    block = self._described[k] = made
        return block

    def keys(self) -> List[str]:
        """Names of the blocks, e.g. ["AB/2D/NONE", "AB/3D/NONE"]."""
        return list(dict.fromkeys(key_name(item[:3]) for item in self._outline))

    def __contains__(self, key: object) -> bool:
        if key is None:
            return False
        try:
            self.block(key)  # type: ignore[arg-type]
        except (BlockNotFoundError, TypeError):
            return False
        return True

    def __iter__(self) -> Iterator[str]:
        return iter(self.keys())

    def values(self) -> Iterator[vesk.DataObject]:
        """Reads the blocks one at a time, in the order of `keys()`, as they
        are iterated: a file of large maps holds one in memory at a time. A
        block that cannot be read raises its FormatError there, as `f[key]`
        does: to read the others of a damaged file, take `f[b]` for the
        blocks `b` of `f.blocks` whose kind is not `vesk.UNREADABLE`."""
        return (self[name] for name in self.keys())

    def items(self) -> Iterator[Tuple[str, vesk.DataObject]]:
        """(name, data object) for each block, read as `values()` reads them."""
        return ((name, self[name]) for name in self.keys())

    def _ipython_key_completions_(self) -> List[str]:
        # IPython and Jupyter offer these after f[" on Tab
        return self.keys()

    def __len__(self) -> int:
        return len(self.keys())

    def block(self, key: Optional[Key] = None) -> Block:
        """The Block a key or short form names, or with no key the file's only
        block; BlockNotFoundError otherwise."""
        if key is None:
            names = self.keys()
            if len(names) != 1:  # none is no file's fault that naming one would mend
                raise BlockNotFoundError("%s: has %s" % (
                    self.path, "%d blocks (%s); name one" % (len(names), ", ".join(names))
                    if names else "no data blocks"), path=self.path)
            key = names[0]
        try:
            parts = key_parts(key)
        except BlockNotFoundError as e:
            raise BlockNotFoundError("%s: %s" % (self.path, e.args[0]), path=self.path) from None
        if len(parts) == 3:  # a whole key names one block, the first listed: no search
            for k, item in enumerate(self._outline):
                if item[:3] == parts:
                    return self._described_at(k)
        matches = self._below(parts)
        distinct = list(dict.fromkeys(b.name for b in matches))
        if len(distinct) == 1:
            return matches[0]
        have = ", ".join(self.keys()) or "no data blocks"
        wanted = "/".join(parts)
        # `block` is the key asked for: a service reports it without parsing the message
        if not distinct:
            raise BlockNotFoundError("%s: no block %s; the file has: %s" % (self.path, wanted, have),
                                     path=self.path, block=wanted)
        raise AmbiguousBlockError(
            "%s: %s names %d blocks (%s); give the full key"
            % (self.path, wanted, len(distinct), ", ".join(distinct)), path=self.path,
            block=wanted
        )

    def _below(self, parts: Tuple[str, ...]) -> List[Block]:
        """The blocks whose keys begin with `parts` (key_parts): those a short
        form names, or a tree's group holds."""
        n = len(parts)
        return [self._described_at(k) for k, item in enumerate(self._outline)
                if item[:n] == parts]

    def __getitem__(self, key: Key) -> vesk.DataObject:
        """Reads the block a key names into its typed data object."""
        if key is None:  # no key here, whatever block() makes of it
            key_parts(key)
        block = self.block(key)
        return self._read(block)

    def get(self, key: Key, default: Optional[vesk.DataObject] = None
            ) -> Optional[vesk.DataObject]:
        """Reads the block a key names, as `f[key]`, or gives `default` where
        the file has no such block (a key naming several still raises
        AmbiguousBlockError)."""
        if key is None:  # no key here, as in f[key]
            key_parts(key)
        try:
            block = self.block(key)
        except AmbiguousBlockError:
            raise
        except BlockNotFoundError:
            return default
        return self._read(block)

    def _taken(self) -> int:
        """A descriptor of our own for one read: a close() racing the read, and
        a file opened under the freed number, cannot feed it another file."""
        with self._lock:
            if self._fd is None:
                raise ValueError("I/O operation on closed VESK file %r" % self.path)
            return os.dup(self._fd)

    def _alias(self, fd: int) -> str:
        """A path that opens this file, for veskread: the name of our
        descriptor `fd` where the system gives one."""
        return "/dev/fd/%d" % fd if self._by_fd else self.path

    def _named(self, e: OSError, alias: str) -> None:
        """An error of opening our alias (no descriptors left) names the user's file."""
        if e.filename == alias:
            e.filename = self.path

    @contextlib.contextmanager
    def _reading(self) -> Iterator[Tuple[int, str]]:
        """A descriptor of our own (_taken) and a path that opens this file."""
        fd = self._taken()
        alias = self._alias(fd)
        try:
            yield fd, alias
        except OSError as e:
            self._named(e, alias)
            raise
        finally:
            os.close(fd)

    def _read(self, block: Block, warn: bool = True, alone: bool = False,
              say_changed: bool = True) -> vesk.DataObject:
        # As _reading gives them, without its generator: a loop over many
        # small files pays for every step here. `alone`: no one else holds
        # this file (vesk.read's), so no close() can race the read: its own
        # descriptor serves. `say_changed`: False for a caller that reports
        # a change since listing its own way (_changed_since).
        fd = self._fd if alone and self._fd is not None else self._taken()
        own = fd != self._fd
        alias = self._alias(fd)
        try:
            if _read_natively(block):
                obj = _read_measured(fd, self.path, block)
                if say_changed:
                    self._warn_if_changed(fd, block)
                if warn and block.warning is not None:  # the walk only where it warns
                    warn_of(self.path, block, stacklevel=user_level())
                return obj
            import veskread

            try:
                raw = veskread.getVeskData(alias, block.key)
            except Exception as e:
                raise_translated(e, self.path, block.name, block.offset,
                                 block.problem if block.kind == UNREADABLE else None)
            if block.kind == UNREADABLE:  # read, but more than vesk can build from this file
                raise FormatError("%s: %s" % (where(self.path, block.name), block.problem),
                                  path=self.path, block=block.name)
            measured = None
            if block.kind == "multiregion map" and block.unfilled > 0:
                measured = _measured_points(fd, self.path, block, getattr(raw, "regions"),
                                            math.isnan(block.fill))
            if say_changed:
                self._warn_if_changed(fd, block)
        except OSError as e:
            self._named(e, alias)
            raise
        finally:
            if own:
                os.close(fd)
        if warn and block.warning is not None:
            warn_of(self.path, block, stacklevel=user_level())
        import vesk._objects  # (a `from` import costs a small read 1 us more)

        return vesk._objects.from_raw(block, raw, *(measured or (None, None)))

    def _changed_since(self, fd: int) -> bool:
        """Whether the file `fd` reads was written to since it was listed."""
        now = file_stamp(os.fstat(fd))
        if now == self._listed_stamp:
            return False
        if now[:4] != self._listed_stamp[:4]:
            return True
        # Its status time alone moved: renamed, linked, its mode or attributes
        # set (a backup, a scanner), or rewritten with its time set back.
        # Listed again to tell; once, where it lists as before.
        try:
            same = _native.outline(fd) == self._outline
        except (ValueError, OSError):
            return True
        if same:
            self._listed_stamp = now
        return not same

    def _warn_if_changed(self, fd: int, block: Block) -> None:
        """A file written to in place since it was listed may read as another
        block than `block` says (another shape, another kind): said, where it
        would pass unseen."""
        if self._changed_since(fd):
            warnings.warn(VeskWarning(
                "%s: %s: the file changed since it was opened (written to, grown or "
                "rewritten): its values are read as it is now, its block as it was "
                "listed; open it again" % (self.path, block.name)), stacklevel=user_level())

    def images(self) -> List[vesk.Image]:
        """The visible pictures of the sample, in file order."""
        import veskread

        from vesk._objects import image_from_dict

        with self._reading() as (fd, path):
            try:
                found = veskread.getVisImages(path)
            except Exception as e:
                raise_translated(e, self.path, "of visible images", listed=_pictures_cut(fd))
        return [image_from_dict(i, d) for i, d in enumerate(found)]


def _pictures_cut(fd: int) -> Optional[str]:
    """Why the pictures cannot be read, where the end of the file cuts their
    block short: reading's own refusal names only what it then missed."""
    try:
        place = _native.picture_block(fd)
        size = os.fstat(fd).st_size
    except (ValueError, OSError):
        return None
    if place is None or place[0] + place[1] <= size:
        return None
    return "file ends early: the block of pictures (at byte %d, %d bytes) runs past its end " \
           "at byte %d" % (place[0], place[1], size)


def user_level() -> int:
    """The stacklevel, from our caller, of the first frame outside vesk and
    xarray: the line that read or opened, which a warning should name, also
    through f.values(), xarray's opening or its computing."""
    frame, level = sys._getframe(1), 1
    while frame.f_back is not None and \
            str(frame.f_globals.get("__name__", "")).split(".")[0] in ("vesk", "xarray"):
        frame, level = frame.f_back, level + 1
    return level


def warn_of(path: str, block: Block, stacklevel: int) -> None:
    """A VeskWarning when reading `block` gives values that are not all the
    measurement (Block.warning says why); `stacklevel` 1 names the caller."""
    if block.warning is not None:
        warnings.warn(VeskWarning("%s: %s: %s" % (path, block.name, block.warning)),
                      stacklevel=stacklevel + 1)


def key_parts(key: Key) -> Tuple[str, ...]:
    """The parts of a key, upper case; TypeError or BlockNotFoundError for what
    is not a key. A Block stands for its key: `f[b] for b in f.blocks`."""
    if isinstance(key, Block):
        key = key.key
    # Without generators: every read of a small file asks this once.
    if isinstance(key, str):
        parts: Tuple[str, ...] = tuple(key.upper().split("/"))
    elif isinstance(key, tuple) and len(key) == 3 and isinstance(key[0], str) and \
            isinstance(key[1], str) and isinstance(key[2], str):
        parts = (key[0].upper(), key[1].upper(), key[2].upper())
    else:
        raise TypeError("a block key is a str such as 'AB/3D/NONE', a tuple of 3 str or a "
                        "Block, not %r" % (key,))
    if not 1 <= len(parts) <= 3 or "" in parts:
        raise BlockNotFoundError("not a block key: %r" % (key,))
    return parts


def open(path: Source) -> VeskFile:  # noqa: A001 - the module's verb, like io.open
    """Opens a VESK file (str, bytes or os.PathLike) and lists its blocks.

    A binary stream (`io.BytesIO(data)` of an upload, a socket's
    `makefile("rb")`) is read to its end into an unnamed temporary file,
    which is then read as a file; it is named by its `name`, or "<stream>".

    Use it as a context manager. Raises FormatError for a file that is not a
    VESK file or whose directory cannot be read, and OSError as the file
    system reports it.
    """
    return VeskFile(path)


def read(path: Source, key: Optional[Key] = None) -> vesk.DataObject:
    """Reads one block of a file: `vesk.read("a.vesk", "AB/2D/NONE")`; the key
    may be left out when the file has one block.

    Raises FormatError (a ValueError) for a file that is not a VESK file or a
    block that cannot be read, BlockNotFoundError (a KeyError) for a key the
    file has no block for, or several blocks where the key is left out, and
    OSError as the file system reports it: in a loop over many files, catch
    `(vesk.VeskError, OSError)`. Values that are not all the measurement (a
    cut file) come with a VeskWarning."""
    with VeskFile(path) as f:
        return f._read(f.block(key), alone=True)


def _room_for(shape: Tuple[int, ...], missing: float) -> NDArray[np.float32]:
    """An array of `shape` for values read from the file, `missing` where none
    is read (Block.fill: zeros commit no memory until written)."""
    import numpy as np

    if missing == 0:
        return np.zeros(shape, dtype=np.float32)
    return np.full(shape, missing, dtype=np.float32)


def _has_missing_values(block: Block) -> bool:
    """Whether `block` is a map with points that no whole stored spectrum
    fills, or a series that the end of its file cuts short."""
    return block.cut > 0 or (block.kind == "image map" and block.unfilled > 0)


def _read_natively(block: Block) -> bool:
    """Whether `block` is read past what `veskread` refuses or reads as 0:
    missing values, or a parameter block that the end of the file cuts or a
    damaged record ends."""
    return block.kind != UNREADABLE and (_has_missing_values(block)
                                         or block.parameters_cut >= 0)


def _read_measured(fd: int, path: str, block: Block) -> vesk.DataObject:
    """What was measured of a block `_read_natively` is true of: a map with
    NaN where no whole spectrum is stored, a series of its whole spectra, a
    series or map of its whole traces; with the parameters that a cut or damaged
    parameter block holds before the cut."""
    import numpy as np
    import veskread

    from vesk._objects import from_cut_read

    if block.kind in ("multiregion map", "multiregion traces"):
        return _read_cut_regions(fd, path, block)
    times = None
    if block.kind == "image map" and block.unfilled > 0:
        values = _room_for(block.shape, block.fill)
    else:
        values = np.empty(block.shape, dtype=np.float32)
        if block.kind == "time-resolved series":
            times = np.empty(block.shape[0], dtype=np.float64)
    try:
        names = _native.read_cut_block(fd, *block.key, values, times)
    except ValueError as e:
        raise_native(e, path, block.name)
    labels = None if names is None else [veskread.decode_string(n) for n in names]
    try:  # the axes, from parameters that a damaged file may give as text
        return from_cut_read(block, values, times, labels)
    except Exception as e:
        raise_translated(e, path, block.name, block.offset)


def _read_cut_regions(fd: int, path: str, block: Block) -> vesk.DataObject:
    """The whole stored spectra of a multiregion map that the end of its file
    cuts short, its other points `block.fill` at the table's positions; or
    the whole traces of a multiregion map of traces."""
    import numpy as np
    import veskread

    from vesk._objects import from_cut_regions

    points = block.shape[0]
    traces = block.kind == "multiregion traces"
    values = np.empty(block.shape, dtype=np.float32) if traces else _room_for(block.shape,
                                                                             block.fill)
    # Too large for NaN (Block.fill): the missing points' zero pages stay
    # untouched, at (0, 0).
    placed = math.isnan(block.fill)
    map_x, map_y = np.zeros(points), np.zeros(points)
    start_time = None if traces else np.full(points, np.nan) if placed else np.zeros(points)
    try:
        titles, names = _native.read_cut_regions(fd, *block.key, placed, values, map_x, map_y,
                                                 start_time)
    except ValueError as e:
        raise_native(e, path, block.name)
    labels = None if names is None else [veskread.decode_string(n) for n in names]
    try:  # the axis, from parameters that a damaged file may give as text
        return from_cut_regions(block, titles, values, map_x, map_y, start_time, labels)
    except Exception as e:
        raise_translated(e, path, block.name, block.offset)


_GROUP = r"Region (-?\d+) "  # compiled (into re's cache) at a region map's read
_NAN_PLACE = struct.pack("=2d", math.nan, math.nan)  # a place of no numbers


def _measured_points(fd: int, path: str, block: Block, regions: Sequence[Any], placed: bool
                     ) -> Tuple[NDArray[np.bool_], Optional[NDArray[np.float64]]]:
    """Which points of a multiregion map as read (all regions', in reading's
    order) a stored spectrum fills, and, when `placed`, where the annotation
    table places the others ((n, 2) x and y; NaN where it gives no number);
    each region found by the group its title names ("Region 3 (2 x 1)"),
    whatever order reading gives them in."""
    import numpy as np

    try:
        fills = {g: (f, at) for g, f, at in _native.region_fills(fd, *block.key)}
    except ValueError as e:
        raise_native(e, path, block.name)
    filled_parts, place_parts = [], []
    for region in regions:
        group = re.match(_GROUP, str(region.title))
        filled, at = fills.get(int(group.group(1)), (None, None)) if group else (None, None)
        if filled is None or at is None or len(filled) != len(region.spectra):
            raise FormatError("%s: the file changed while it was read" % where(path, block.name),
                              path=path, block=block.name)
        filled_parts.append(filled)
        if placed:  # none given past the outline's bound: NaN
            missing = filled.count(0)  # a byte of 0 or 1 per point
            place_parts.append(at if len(at) == 16 * missing else _NAN_PLACE * missing)
    mask = np.frombuffer(b"".join(filled_parts), dtype=np.uint8).astype(bool)
    if not placed:
        return mask, None
    return mask, np.frombuffer(b"".join(place_parts), dtype=np.float64).reshape(-1, 2)


def read_map_rows(path: str, block: Block, start: int, stop: int,
                  columns: Optional[Tuple[int, int]] = None) -> NDArray[np.float32]:
    """Rows [start, stop) of the image map `block`, of its columns [first,
    last) where given, reading only the stored values of those points: a
    damaged block elsewhere does not fail it. Points without a whole stored
    spectrum read as reading the map gives them."""
    key, shape = block.key, block.shape
    first, last = columns or (0, shape[1])
    out = _room_for((stop - start, last - first, shape[2]),
                    block.fill if _has_missing_values(block) else 0.0)
    fd = _open_descriptor(path)
    try:
        _native.read_map_rows(fd, *key, start, stop - start, first, last - first, out)
    except ValueError as e:
        raise_native(e, path)
    finally:
        os.close(fd)
    return out

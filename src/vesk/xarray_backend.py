"""xarray backend: ``xarray.open_dataset(path, engine="vesk", group="AB/3D/NONE")``.

The dataset holds one block: one data variable named as `to_xarray()` and
NetCDF export name it (the block's `variable_name`, "AB_3D_NONE"), so that
datasets of several blocks merge, with the block's dims and coords,
and the merged parameters as attributes. Spectra and image maps are lazy: their
coordinates follow from the parameters alone, and the values are read only
when xarray or Dask asks for them, through a picklable array, so that
``xarray.open_mfdataset(paths, engine="vesk", parallel=True,
combine="nested", concat_dim="file")`` reads files on Dask workers. A run
of an image map's rows or columns (a Dask chunk of "y" or "x", an ``isel``)
reads only those points' stored values; other indexing reads the whole map.
The other kinds take coordinates (times, trace names, region points) from
reading the block, so they are read when the dataset is opened.
``xarray.open_datatree(path, engine="vesk")`` gives every block of a file,
each a dataset at its key's path ("AB/3D/NONE").
"""
from __future__ import annotations

import os
import warnings
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple, Union

import numpy as np

try:
    from xarray import Dataset, Variable
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.backends.locks import SerializableLock
    from xarray.core import indexing
except ImportError as e:  # pragma: no cover - only without the extra
    raise ImportError(
        "the xarray backend needs xarray: pip install 'veskread[xarray]'"
    ) from e

import veskread

from vesk import _native
from vesk._block import Block, file_stamp, read_bytes
from vesk._errors import BlockNotFoundError, FormatError, VeskWarning, raise_translated
from vesk._file import (BinaryStream, Source, VeskFile, key_parts, read_map_rows, user_level,
                        warn_of)
from vesk._objects import (DataObject, block_attrs, coordinate_attrs, declared_axes,
                           fitted_coords)
from vesk._vocabulary import axis_dimension
from vesk._xarray_texts import as_given

LAZY_KINDS = ("spectrum", "image map")
# A parameter as a dataset's attribute in a tree: an entry of about 100
# bytes in each of three dicts (the block's attributes, the dataset's copy,
# the tree node's).
ATTRIBUTE_BYTES = 320


def _window(index: Any, size: int) -> Optional[Tuple[int, int, Any]]:
    """The run of a dimension an index into it needs, as (start, stop, the
    index within them); None where it skips some."""
    if isinstance(index, (int, np.integer)):
        k = int(index) + size if index < 0 else int(index)
        return (k, k + 1, 0) if 0 <= k < size else None
    if isinstance(index, slice):
        start, stop, step = index.indices(size)
        if step == 1:
            return start, max(start, stop), slice(None)
    return None


class VeskBackendArray(BackendArray):
    """The values of one block, read on first access; pickles as (path, key)."""

    def __init__(self, path: str, block: Block) -> None:
        # Values are read later, maybe on a worker or after a chdir: a
        # relative name would then open another file, or none.
        self.path = os.path.abspath(path)
        self.key = block.key
        self.kind = block.kind
        self.block = block
        self.shape = block.shape
        self.dtype = np.dtype(np.float32)
        self.lock = SerializableLock()
        self.stamp = _listed_stamp(block)  # a change since is checked for

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._raw_indexing_method
        )

    def _raw_indexing_method(self, key: Tuple[Any, ...]) -> Any:
        # A tile of a map (Dask chunks along y, x or both) reads its points
        # alone; a chunk of the spectral axis reads whole spectra.
        rows = _window(key[0], self.shape[0]) if self.kind == "image map" else None
        with self.lock:
            if rows is not None:
                start, stop, within = rows
                first, last, across = _window(key[1], self.shape[1]) or (0, self.shape[1],
                                                                         key[1])
                if stop - start < self.shape[0] or last - first < self.shape[1]:
                    if _stamp(self.path) != self.stamp:  # a tile reads as the block opened
                        with VeskFile(self.path) as f:
                            now = f.block(self.key)
                            _same_shape(self.path, self.block, now)
                        self.stamp = _listed_stamp(now)
                    try:
                        tile = read_map_rows(self.path, self.block, start, stop, (first, last))
                    except FormatError:
                        with VeskFile(self.path) as f:  # said plainly where that is why
                            _same_shape(self.path, self.block, f.block(self.key))
                        raise
                    return tile[(within, across) + tuple(key[2:])]
            return _whole_block(self.path, self.block)[key]


def _whole_block(path: str, block: Block) -> Any:
    """The block's values; opening its dataset gave its warning, if any, once."""
    listed = VeskFile._as_listed(path, block)  # unchanged: no second listing to compare
    if listed is not None:
        with listed:
            return listed._read(block, warn=False).values
    with VeskFile(path) as f:
        now = f.block(block.key)
        _same_shape(path, block, now)
        return f._read(now, warn=False).values


def _listed_stamp(block: Block) -> Optional[Tuple[int, ...]]:
    """_stamp as the file was when `block` was listed (None: not known)."""
    return None if block._file_id is None else block._file_id[1:]


def _stamp(path: str) -> Optional[Tuple[int, ...]]:
    """The file's identity and state: a copy put in its place keeps its size
    and, copied with its times, its modification time too. Not its device,
    which each client of a shared file system numbers its own way."""
    try:
        return file_stamp(os.stat(path))[1:]
    except OSError:
        return None  # reading says why


def _same_values(a: Any, b: Any) -> bool:
    return a == b or (isinstance(a, float) and isinstance(b, float) and a != a and b != b)


def _changed_parameters(opened: Block, now: Block) -> List[str]:
    """The keys whose values differ between the block opened and the block now."""
    was, tis = opened.parameters, now.parameters
    return [k for k in dict.fromkeys(list(was) + list(tis))
            if k not in was or k not in tis or not _same_values(was[k], tis[k])]


def _same_shape(path: str, opened: Block, now: Block) -> None:
    # Values are read when computed, maybe hours after opening: a file
    # replaced meanwhile (measured again, a copy under way) must not hand its
    # values to the coordinates of the one opened, nor a file cut since
    # its missing values for measured ones.
    if now.shape != opened.shape:
        raise FormatError("%s: block %s is %s now, %s when its dataset was opened: the file "
                          "changed since; open it again" % (
                              path, opened.name, " x ".join(map(str, now.shape)),
                              " x ".join(map(str, opened.shape))), path=path, block=opened.name)
    # Measured again with the same settings: the same shape, but a new date
    # and time (its values not those of the attributes opened).
    changed = _changed_parameters(opened, now)
    if changed:
        shown = ", ".join(changed[:5]) + (", ..." if len(changed) > 5 else "")
        raise FormatError("%s: block %s: its parameters %s differ now from when its dataset was "
                          "opened: the file changed since; open it again" % (
                              path, opened.name, shown), path=path, block=opened.name)
    if now.warning != opened.warning:
        raise FormatError("%s: block %s: %s now, not when its dataset was opened: the file "
                          "changed since; open it again" % (
                              path, opened.name, now.warning or "its values are whole"),
                          path=path, block=opened.name)


def _lazy_dataset(path: str, block: Block) -> Dataset:
    p: Mapping[str, Any] = block.parameters
    try:  # from parameters that a damaged file may give as text
        spectral, map_x, map_y = declared_axes(p, block.kind != "spectrum")
    except Exception as e:
        raise_translated(e, path, block.name, block.offset)
    data = indexing.LazilyIndexedArray(VeskBackendArray(path, block))
    dim = axis_dimension(p)
    if block.kind == "spectrum":
        dims: Tuple[str, ...] = (dim,)
        axes: Dict[str, Any] = {dim: ((dim,), spectral)}
    else:
        dim = dim if dim not in ("x", "y") else "spectral"
        dims = ("y", "x", dim)
        axes = {"y": (("y",), map_y), "x": (("x",), map_x), dim: ((dim,), spectral)}
    attrs = coordinate_attrs(block, dims)
    coords = {
        name: Variable(cdims, as_given(array), attrs.get(name))
        for name, (cdims, array) in fitted_coords(block.shape, dims, axes).items()
    }
    variables = {block.variable_name: Variable(dims, data, {"long_name": block.y_label})}
    return Dataset(variables, coords=coords, attrs=block_attrs(block, p))


def _eager_dataset(obj: DataObject) -> Dataset:
    attrs = coordinate_attrs(obj.block, obj.dims)
    coords = {name: Variable(dims, as_given(array), attrs.get(name))
              for name, (dims, array) in obj.coords.items()}
    variables = {
        obj.variable_name: Variable(obj.dims, obj.values, {"long_name": obj.block.y_label})
    }
    return Dataset(variables, coords=coords, attrs=block_attrs(obj.block, obj.parameters))


def _group_key(group: Optional[str]) -> Optional[str]:
    """A group as a block key: the tree's paths ("/AB/3D/NONE") name blocks too."""
    if isinstance(group, str):
        return group.strip("/") or None
    return group


def open_block_dataset(path: Source, group: Optional[str] = None,
                       drop_variables: Union[str, Iterable[str], None] = None) -> Dataset:
    """The dataset of one block; `group` may be omitted when the file has one block."""
    group = _group_key(group)
    with VeskFile(path) as f:
        try:
            block = f.block(group)
        except BlockNotFoundError as e:
            if group is not None or not f.keys():
                raise
            raise BlockNotFoundError("%s with group=, or open them all with "
                                     "xarray.open_datatree" % e.args[0], path=e.path) from None
        return _block_dataset(f, block, drop_variables)


def _block_dataset(f: VeskFile, block: Block,
                   drop_variables: Union[str, Iterable[str], None]) -> Dataset:
    warn_of(f.path, block, stacklevel=user_level())
    if _opens_lazily(f, block):
        ds = _lazy_dataset(f.path, block)
    else:
        ds = _eager_dataset(f._read(block, warn=False))
    if drop_variables is not None:
        ds = ds.drop_vars(drop_variables, errors="ignore")
    # No file stays open (each read opens its own), but xarray's closer of
    # datasets opened together calls every dataset's closer.
    ds.set_close(_nothing_to_close)
    return ds


def _opens_lazily(f: VeskFile, block: Block) -> bool:
    """Whether the block's values are left in the file till asked for: not a
    stream's, which is gone once read."""
    return block.kind in LAZY_KINDS and not f._streamed


def _nothing_to_close() -> None:
    pass


def _subtree(f: VeskFile, group: Optional[str]) -> Tuple[int, List[Block]]:
    """The blocks below `group`, and the count of their keys' parts it takes."""
    key = _group_key(group)
    if key is None:
        return 0, f.blocks
    try:
        parts = key_parts(key)
    except BlockNotFoundError:
        f.block(key)  # says so, naming the file
        raise
    below = f._below(parts)
    if not below:
        f.block(key)  # says what the file has
    return len(parts), below


class VeskBackendEntrypoint(BackendEntrypoint):
    """Opens one block of a VESK file as an xarray Dataset (engine="vesk")."""

    open_dataset_parameters = ("filename_or_obj", "drop_variables", "group")
    description = "Open VESK spectrometer files (one block per dataset, group='AB/3D/NONE')"
    # xarray guesses the engine of open_datatree and open_groups only among
    # backends that say so: without it, a tree needs engine="vesk" spelt out.
    supports_groups = True

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: Union[str, "os.PathLike[Any]", BinaryStream],
        *,
        drop_variables: Union[str, Iterable[str], None] = None,
        group: Optional[str] = None,
    ) -> Dataset:
        return open_block_dataset(filename_or_obj, group, drop_variables)

    def open_groups_as_dict(  # type: ignore[override]
        self,
        filename_or_obj: Union[str, "os.PathLike[Any]", BinaryStream],
        *,
        drop_variables: Union[str, Iterable[str], None] = None,
        group: Optional[str] = None,
    ) -> Dict[str, Dataset]:
        """Every block's dataset by its key ("/AB/3D/NONE"); with `group`, those
        below it, by their paths from it, as xarray's other backends give a
        group's subtree ("AB" gives "/2D/NONE" and "/3D/NONE"; a block's own
        key gives its dataset as "/"). A block that cannot be read is left
        out, with a VeskWarning saying why."""
        groups: Dict[str, Dataset] = {"/": Dataset()}
        with VeskFile(filename_or_obj) as f:  # listed once, however many blocks
            depth, below = _subtree(f, group)
            # The blocks read as they open hold their values together, and
            # those opened lazily their axes, built from the parameters; each
            # its own copy of the parameters as attributes. A damaged file's
            # many keys naming one large block, or merging one large
            # parameter block, must not each take the file's bound. Each
            # alone is within it.
            size = f._size
            left, read = _native.output_limit(size), False
            for block in below:
                why = None if block.problem is None else "cannot be read: " + block.problem
                if why is None:
                    left -= 8 * sum(block.shape) if _opens_lazily(f, block) \
                        else read_bytes(block)
                    left -= ATTRIBUTE_BYTES * len(block.parameters)
                    if left < 0 and read:
                        why = ("holds, with the blocks before it, more values and parameters "
                               "than a file of %d bytes can give" % size)
                    read = True
                if why is not None:
                    warnings.warn(VeskWarning("%s: %s %s; left out" % (f.path, block.name, why)),
                                  stacklevel=user_level())
                    continue
                path = "/".join(("",) + block.key[depth:])
                groups[path or "/"] = _block_dataset(f, block, drop_variables)
        return groups

    def open_datatree(  # type: ignore[override]
        self,
        filename_or_obj: Union[str, "os.PathLike[Any]", BinaryStream],
        *,
        drop_variables: Union[str, Iterable[str], None] = None,
        group: Optional[str] = None,
    ) -> Any:
        """Every block of the file in one DataTree (xarray 2024.10 on), or those
        below `group`, in a tree rooted there (open_groups_as_dict)."""
        from xarray import DataTree
        return DataTree.from_dict(self.open_groups_as_dict(
            filename_or_obj, drop_variables=drop_variables, group=group))

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)):
            return False
        try:
            if not os.path.isfile(filename_or_obj):  # opening a FIFO would wait for a writer
                return False
            return bool(veskread.isVeskFile(filename_or_obj))
        except (OSError, ValueError, TypeError):
            return False

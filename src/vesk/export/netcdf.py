"""NetCDF through the data object's xarray form (named dims, coordinates, attributes).

The variable carries the parameters and the block's labels, the coordinates
their units where the file gives them, and the file what it was made from,
in the CF and ACDD conventions' attributes: `title`, `source` (the input
file's path as given) with `source_sha256` (its SHA-256), `history` (when and by which vesk) and, where the
parameters date it, `time_coverage_start`. The date in
`history` is SOURCE_DATE_EPOCH's when that is set, so that an export can be
repeated byte for byte.

Integer parameters are written as the 32-bit integers the file stores.
Parameter names become attribute names. The few that netCDF cannot hold (a
damaged file's control characters or '/', a leading punctuation mark, a
trailing space) are written with '_' in their place, and a key named as one
of vesk's own attributes ("kind") as `parameter_attr` names it; the attribute
`parameter_keys` then gives, as JSON, the key of each parameter so written,
so the export of such a file still holds every parameter under its key.
"""
from __future__ import annotations

import contextlib
import datetime as _dt
import errno
import json
import os
import sys
from typing import Any, Dict, Iterator, Optional, Tuple

from vesk import DataObject, __version__
from vesk._objects import parameter_attr
from vesk._text import path_text
from vesk._vocabulary import measured_text

from .source import export_time, source_sha256

NEEDS = "NetCDF export needs xarray and netCDF4: pip install 'veskread[netcdf]'"


def legal_name(name: str) -> str:
    """`name` with every character netCDF refuses in a name replaced by '_'."""
    out = "".join("_" if ord(c) < 0x20 or c in "\x7f/" else c for c in name)
    if not out or (out[0].isascii() and not (out[0].isalnum() or out[0] == "_")):
        out = "_" + out[1:]
    kept = out.rstrip(" ")
    return kept + "_" * (len(out) - len(kept))


def legal_attrs(attrs: Dict[str, Any]) -> Tuple[Dict[str, Any], Dict[str, str]]:
    """The attributes under names netCDF can hold (names that already are
    keep them), and the names given in place of others: {given: original}."""
    out: Dict[str, Any] = {}
    renamed = []
    for name, value in attrs.items():
        legal = legal_name(name)
        if legal == name:
            out[name] = value
        else:
            renamed.append((name, legal, value))
    given: Dict[str, str] = {}
    for original, name, value in renamed:  # after every kept name, so none of those moves
        unique, n = name, 1
        while unique in out:
            n += 1
            unique = "%s_%d" % (name, n)
        out[unique] = value
        given[unique] = original
    return out, given


# Tells which parameters are held under other names than their keys: a
# reader without vesk finds "-AB" only through it.
KEYS_ATTR = "parameter_keys"


def parameter_keys(data: DataObject, given: Dict[str, str]) -> Optional[str]:
    """JSON of {attribute: parameter key} for each parameter held under
    another name than its key; None where every one keeps its key."""
    renamed = {original: name for name, original in given.items()}
    keys = {}
    for key in data.parameters:
        name = parameter_attr(key)
        name = renamed.get(name, name)
        if name != key:
            keys[name] = key
    return json.dumps(keys, ensure_ascii=False) if keys else None


def _stored_widths(data: DataObject, attrs: Dict[str, Any]) -> Dict[str, Any]:
    """`attrs` with each integer parameter as the 32-bit integer the file
    stores, the only integer type its parameters have: a Python int would be
    written as a 64-bit attribute."""
    import numpy as np

    for key, value in data.parameters.items():
        name = parameter_attr(key)
        if type(value) is int and name in attrs:
            attrs[name] = np.int32(value)
    return attrs


def global_attrs(data: DataObject, when: Optional[_dt.datetime] = None) -> Dict[str, str]:
    """The file's own attributes: what it holds and where it came from."""
    block = data.block
    source = path_text(block.path)  # as given: in a tree, the name alone repeats
    sample = data.parameters.get("SNM")
    what = "%s (%s)" % (block.y_label, block.name)
    out = {"Conventions": "CF-1.8, ACDD-1.3",  # the attributes below are theirs
           "title": "%s: %s" % (sample.strip(), what)
           if isinstance(sample, str) and sample.strip() else what}
    if source:
        out["source"] = source
    digest = source_sha256(block)
    if digest is not None:
        out["source_sha256"] = digest
    stamp = (when or export_time()).astimezone(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    out["history"] = "%s vesk %s: exported block %s%s" % (
        stamp, __version__, block.name, " of " + source if source else "")
    measured = measured_text(data.parameters)
    if measured is not None:
        out["time_coverage_start"] = measured
    if block.warning is not None:  # what the NaN values alone do not say: why
        out["comment"] = block.warning
    return out


def missing() -> Optional[str]:
    """NEEDS where xarray or netCDF4 cannot be imported, else None."""
    try:
        import netCDF4  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        import xarray  # noqa: F401
    except ImportError:
        return NEEDS
    return None


def write(data: DataObject, path: str) -> None:
    try:
        # the backend that keeps text attributes in UTF-8
        import netCDF4  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        array = data.to_xarray()
    except ImportError as e:
        raise ImportError(NEEDS) from e
    array.attrs, given = legal_attrs(_stored_widths(data, dict(array.attrs)))
    keys = parameter_keys(data, given)
    if keys is not None:
        array.attrs[KEYS_ATTR] = keys
    dataset = array.to_dataset()
    dataset.attrs = global_attrs(data)
    folder = os.path.dirname(os.path.realpath(path))  # (a /proc/self/fd path's own)
    try:
        with _nameable(path) as plain:
            # Coordinates hold no missing values to mark: without a fill
            # value, a reader does not mask a NaN of a damaged axis either.
            dataset.to_netcdf(plain, engine="netcdf4",
                              encoding={name: {"_FillValue": None} for name in dataset.coords})
    except (RuntimeError, OSError) as e:
        if _full_disk_wording(e, folder) and _short_of_room(folder, dataset.nbytes):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), path) from e
        raise


@contextlib.contextmanager
def _nameable(path: str) -> Iterator[str]:
    """A path to `path` that netCDF can take: it refuses one that the file
    system's encoding cannot give back as text (a folder named in another
    encoding, or with accents in the C locale); through a descriptor of the
    folder there, where the system names one."""
    try:
        path.encode(sys.getfilesystemencoding())
    except UnicodeEncodeError:
        pass
    else:  # (not within the try: what the write raises is not this check's)
        yield path
        return
    folder, name = os.path.split(os.path.abspath(path))
    fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        alias = "/dev/fd/%d" % fd
        yield os.path.join(alias, name) if os.path.isdir(alias) else path
    finally:
        os.close(fd)


def _full_disk_wording(e: BaseException, folder: str) -> bool:
    """Whether `e` may be how netCDF words a full disk: as an HDF error (an
    OSError where the file is created, a RuntimeError after), or as a
    permission refused where the folder takes files. Any other error is its
    own cause, whatever room is left."""
    if isinstance(e, OSError) and e.errno in (errno.EACCES, errno.EPERM):
        return os.access(folder, os.W_OK)
    return "HDF error" in str(e)


def _short_of_room(folder: str, nbytes: int) -> bool:
    try:
        st = os.statvfs(folder)
    except (OSError, AttributeError):  # AttributeError: no statvfs on Windows
        return False
    return st.f_bavail * st.f_frsize < nbytes

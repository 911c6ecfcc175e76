"""NetCDF through the data object's xarray form (named dims, coordinates, attributes).

Parameter names become attribute names. The few that netCDF cannot hold (a
damaged file's control characters or '/', a leading punctuation mark, a
trailing space) are written with '_' in their place, so the export of such a
file still holds every parameter.
"""
from __future__ import annotations

from typing import Any, Dict

from vesk import DataObject

NEEDS = "NetCDF export needs xarray and netCDF4: pip install 'veskread[netcdf]'"


def legal_name(name: str) -> str:
    """`name` with every character netCDF refuses in a name replaced by '_'."""
    out = "".join("_" if ord(c) < 0x20 or c in "\x7f/" else c for c in name)
    if not out or (out[0].isascii() and not (out[0].isalnum() or out[0] == "_")):
        out = "_" + out[1:]
    kept = out.rstrip(" ")
    return kept + "_" * (len(out) - len(kept))


def legal_attrs(attrs: Dict[str, Any]) -> Dict[str, Any]:
    """The attributes under names netCDF can hold; names that already are keep them."""
    out: Dict[str, Any] = {}
    renamed = []
    for name, value in attrs.items():
        legal = legal_name(name)
        if legal == name:
            out[name] = value
        else:
            renamed.append((legal, value))
    for name, value in renamed:  # after every kept name, so none of those moves
        unique, n = name, 1
        while unique in out:
            n += 1
            unique = "%s_%d" % (name, n)
        out[unique] = value
    return out


def write(data: DataObject, path: str) -> None:
    try:
        # the backend that keeps text attributes in UTF-8
        import netCDF4  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        array = data.to_xarray()
    except ImportError as e:
        raise ImportError(NEEDS) from e
    array.attrs = legal_attrs(dict(array.attrs))
    array.to_netcdf(path, engine="netcdf4")

"""NetCDF through the data object's xarray form (named dims, coordinates, attributes)."""
from __future__ import annotations

from vesk import DataObject

NEEDS = "NetCDF export needs xarray and netCDF4: pip install 'veskread[netcdf]'"


def write(data: DataObject, path: str) -> None:
    try:
        # the backend that keeps text attributes in UTF-8
        import netCDF4  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        array = data.to_xarray()
    except ImportError as e:
        raise ImportError(NEEDS) from e
    # '/' separates groups in netCDF-4 files, so "AB/3D/NONE" names the variable AB_3D_NONE
    array = array.rename(str(array.name or data.block.name).replace("/", "_"))
    array.to_netcdf(path, engine="netcdf4")

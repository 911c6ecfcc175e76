"""NetCDF through the data object's xarray form (named dims, coordinates, attributes)."""

NEEDS = "NetCDF export needs xarray and netCDF4: pip install 'veskread[netcdf]'"


def write(data, path):
    try:
        import netCDF4  # noqa: F401  (the backend that keeps text attributes in UTF-8)
        array = data.to_xarray()
    except ImportError as e:
        raise ImportError(NEEDS) from e
    # '/' separates groups in netCDF-4 files, so "AB/3D/NONE" names the variable AB_3D_NONE
    array = array.rename(str(array.name or data.block.name).replace("/", "_"))
    array.to_netcdf(path, engine="netcdf4")

"""NetCDF through the data object's xarray form (named dims, coordinates, attributes)."""

NEEDS = "NetCDF export needs xarray and netCDF4: pip install 'veskread[netcdf]'"


def write(data, path):
    try:
        import netCDF4  # noqa: F401  (the backend that keeps text attributes in UTF-8)
        array = data.to_xarray()
    except ImportError as e:
        raise ImportError(NEEDS) from e
    name = array.name if array.name is not None else "values"
    array.to_dataset(name=str(name)).to_netcdf(path, engine="netcdf4")

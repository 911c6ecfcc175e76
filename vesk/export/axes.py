"""What the writers need to know about a data object's axes beyond its arrays."""
import numpy as np


def is_spectrum(data):
    return data.block.kind == "spectrum"


def spectral_coordinate(data):
    """Name of the coordinate that runs from the block's first to last x, or None.

    Kinds differ in where the spectral axis sits (last for maps and series,
    absent for trace maps), so it is recognised by its values.
    """
    first, last = data.block.x_range
    for name, (dims, values) in data.coords.items():
        values = np.asarray(values)
        if (len(dims) == 1 and values.ndim == 1 and values.dtype.kind in "fiu"
                and len(values) == data.block.points > 0):
            if np.isclose(values[0], first) and np.isclose(values[-1], last):
                return name
    return None


def column_label(data, name):
    """A column heading with units: the spectral axis gets the block's x label."""
    return data.block.x_label if name == spectral_coordinate(data) else name


def dim_coordinates(data):
    """One 1-D array per dimension of `values`: its coordinate, or 0, 1, 2, ..."""
    out = []
    for axis, dim in enumerate(data.dims):
        coord = data.coords.get(dim)
        if coord is not None and tuple(coord[0]) == (dim,):
            out.append((dim, np.asarray(coord[1])))
        else:
            out.append((dim, np.arange(data.values.shape[axis])))
    return out


def other_coordinates(data):
    """Coordinates that are not a dimension's own (region, map position per point ...)."""
    return [(name, dims, np.asarray(values)) for name, (dims, values) in data.coords.items()
            if not (name in data.dims and tuple(dims) == (name,))]

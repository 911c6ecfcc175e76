"""NumPy archives (.npz) that np.load opens without pickle.

A spectrum gives `x`, `y`; any other block gives `values`, `dims` and one
array per coordinate (axes and map coordinates), with `coordinate_dims`
telling along which dimensions each lies. Both carry `parameters` (a JSON
text) and the axis labels.
"""
import json

import numpy as np


def _plain(array):
    array = np.asarray(array)
    # object arrays (trace names) would need pickle to load
    return array.astype(str) if array.dtype == object else array


def _common(data):
    return {"parameters": np.array(json.dumps(dict(data.parameters), ensure_ascii=False)),
            "x_label": np.array(data.block.x_label), "y_label": np.array(data.block.y_label),
            "block": np.array(data.block.name)}


def write_spectrum(data, path):
    with open(path, "wb") as f:
        np.savez(f, x=data.x, y=data.y, **_common(data))


def write_array(data, path):
    arrays = {"values": np.asarray(data.values), "dims": np.array(data.dims, dtype=str)}
    clash = set(arrays) | set(_common(data)) | {"coordinate_dims"}
    coords = {}
    for name, (dims, values) in data.coords.items():
        key = name if name not in clash else "coord_" + name
        arrays[key] = _plain(values)
        coords[key] = list(dims)
    arrays["coordinate_dims"] = np.array(json.dumps(coords))
    with open(path, "wb") as f:
        np.savez(f, **arrays, **_common(data))

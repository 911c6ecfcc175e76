"""NumPy archives (.npz) that np.load opens without pickle.

Every block gives `values`, `dims` and one array per coordinate (axes and
map coordinates), with `coordinate_dims` telling along which dimensions
each lies, so that one loader takes every kind; a spectrum also gives `x`
and `y`, its axis and values. Both carry `parameters` (a JSON
text), the axis labels, the block's name and `source` (the input file's
path as given), and `warning` where the block's values are not all the measurement
(Block.warning).
"""
from __future__ import annotations

import json
from typing import Any, Dict

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vesk import DataObject, Spectrum
from vesk._text import path_text

from .axes import coordinate


def _plain(values: ArrayLike) -> NDArray[Any]:
    array = np.asarray(values)
    # object arrays (trace names) would need pickle to load
    return array.astype(str) if array.dtype == object else array


def _common(data: DataObject) -> Dict[str, Any]:
    common = {"parameters": np.array(json.dumps(dict(data.parameters), ensure_ascii=False)),
              "x_label": np.array(data.block.x_label), "y_label": np.array(data.block.y_label),
              "block": np.array(data.block.name)}
    if data.block.path:
        common["source"] = np.array(path_text(data.block.path))
    if data.block.warning is not None:
        common["warning"] = np.array(data.block.warning)
    return common


def write_spectrum(data: Spectrum, path: str) -> None:
    write_array(data, path, x=coordinate(data, data.dims[0]), y=data.y)


def write_array(data: DataObject, path: str, **plain: NDArray[Any]) -> None:
    arrays: Dict[str, Any] = {"values": np.asarray(data.values),
                              "dims": np.array(data.dims, dtype=str), **plain}
    clash = set(arrays) | set(_common(data)) | {"coordinate_dims"}
    coords: Dict[str, Any] = {}
    for name, (dims, values) in data.coords.items():
        key = name if name not in clash else "coord_" + name
        arrays[key] = _plain(values)
        coords[key] = list(dims)
    arrays["coordinate_dims"] = np.array(json.dumps(coords))
    with open(path, "wb") as f:
        np.savez(f, **arrays, **_common(data))

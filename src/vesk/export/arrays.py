"""NumPy archives (.npz) that np.load opens without pickle.

Every block gives `values`, `dims` and one array per coordinate (axes and
map coordinates), with `coordinate_dims` telling along which dimensions
each lies and `coordinate_attrs` its `long_name` and `units` where the
file gives them (JSON, as NetCDF's attributes), so that one loader takes
every kind; a spectrum also gives `x` and `y`, its axis and values. Both
carry `parameters` (a strict JSON text: null for a NaN or infinite
number), the axis labels, the block's name and `kind`, `source` (the input
file's path as given) and `source_sha256` (its SHA-256), `measured` (ISO
8601) where the parameters date the measurement, and `warning` where the
block's values are not all the measurement (Block.warning).
"""
from __future__ import annotations

import json
from typing import Any, BinaryIO, Dict

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vesk import DataObject, Spectrum
from vesk._objects import coordinate_attrs
from vesk._text import json_strict, path_text
from vesk._vocabulary import measured_text

from .axes import coordinate
from .source import source_sha256


def _plain(values: ArrayLike) -> NDArray[Any]:
    array = np.asarray(values)
    # object arrays (trace names) would need pickle to load
    return array.astype(str) if array.dtype == object else array


def block_texts(data: DataObject, parameters: bool = True) -> Dict[str, str]:
    """What a block is and where it came from, as texts (the npz archive's,
    the Parquet file's and the MAT-file's, and ENVI's vesk fields): its
    parameters as strict JSON (unless not asked for), its labels, name and
    kind, its source with the SHA-256 of its bytes, when it was measured
    (ISO 8601; the date alone where no time of day is given) and the warning
    where there is one."""
    texts = {"parameters": json.dumps(json_strict(dict(data.parameters)),
                                      ensure_ascii=False, allow_nan=False)} if parameters else {}
    texts.update({"x_label": data.block.x_label, "y_label": data.block.y_label,
                  "block": data.block.name, "kind": data.block.kind})
    if data.block.path:
        texts["source"] = path_text(data.block.path)
    digest = source_sha256(data.block)
    if digest is not None:
        texts["source_sha256"] = digest
    measured = measured_text(data.parameters)  # else only DAT and TIM, stored day first
    if measured is not None:
        texts["measured"] = measured
    if data.block.warning is not None:
        texts["warning"] = data.block.warning
    return texts


def _common(data: DataObject) -> Dict[str, Any]:
    # The parameters stay text until written: as an array, 4 bytes a character.
    return {key: text if key == "parameters" else np.array(text)
            for key, text in block_texts(data).items()}


def write_spectrum(data: Spectrum, path: str) -> None:
    write_array(data, path, x=coordinate(data, data.dims[0]), y=data.y)


def write_array(data: DataObject, path: str, **plain: NDArray[Any]) -> None:
    arrays: Dict[str, Any] = {"values": np.asarray(data.values),
                              "dims": np.array(data.dims, dtype=str), **plain}
    common = _common(data)
    clash = set(arrays) | set(common) | {"coordinate_dims", "coordinate_attrs"}
    coords: Dict[str, Any] = {}
    attrs = coordinate_attrs(data.block, data.dims)
    described: Dict[str, Dict[str, str]] = {}
    for name, (dims, values) in data.coords.items():
        key = name if name not in clash else "coord_" + name
        arrays[key] = _plain(values)
        coords[key] = list(dims)
        if name in attrs:
            described[key] = attrs[name]
    arrays["coordinate_dims"] = np.array(json.dumps(coords))
    arrays["coordinate_attrs"] = np.array(json.dumps(described, ensure_ascii=False))
    with open(path, "wb") as f:
        _savez(f, {**arrays, **common})


TEXT_CHUNK = 1 << 20


def _savez(f: BinaryIO, arrays: Dict[str, Any]) -> None:
    """np.savez(f, **arrays), a text (str) written as the array np.array(text)
    a chunk at a time: whole, a block's 50 MB of parameter texts took 420 MB
    (4 bytes a character, and a copy of them as written)."""
    import zipfile  # here: every command imports this module, few write archives

    with zipfile.ZipFile(f, mode="w", compression=zipfile.ZIP_STORED, allowZip64=True) as z:
        for key, value in arrays.items():
            with z.open(key + ".npy", "w", force_zip64=True) as out:
                if not isinstance(value, str):
                    np.lib.format.write_array(out, np.asanyarray(value), allow_pickle=False)
                    continue
                dtype = np.dtype("<U%d" % max(len(value), 1))  # as np.array(value) has it
                np.lib.format.write_array_header_1_0(
                    out, {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
                          "shape": ()})
                for at in range(0, len(value), TEXT_CHUNK):
                    out.write(value[at:at + TEXT_CHUNK].encode("utf-32-le", "surrogatepass"))
                if not value:
                    out.write(bytes(4))

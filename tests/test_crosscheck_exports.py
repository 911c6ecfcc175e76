"""The export judge (tools/crosscheck_exports.py) sees an export that loses
or changes what it was given, or fails otherwise than documented, and passes
honest exports of awkward blocks."""
import math
import os
import random
import struct
import sys

import numpy as np
import pytest

from vesk.export import arrays, envi, table
from vesk_kinds import MAP
from vesk_writer import spectrum_file
from writer_3d import BASE_3D, file_3d, store_block, stored_block

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import crosscheck_exports  # noqa: E402

SNAN = struct.unpack("<f", struct.pack("<I", 0x7F800001))[0]
VALUES = [math.nan, SNAN, -0.0, math.inf, -math.inf, 1e-45]
ODD = {"SNM": b"caf\xe9 \xff", "NUL": "a\0b", "CTL": "\x01\n z ", "A B": 7, "kind": "k",
       "NN": math.nan, "=X": "=cmd"}


def _traces(tmp_path):
    names = [b"=dup", b"=dup", b'x,"y\n', b"\x01"]
    data = store_block([stored_block(VALUES[:3] + [k], name=n) for k, n in enumerate(names)],
                       block_size=16)
    vf = file_3d(data, {**BASE_3D, **MAP, "NPX": 2, "NPY": 2, "NPT": 4, **ODD}, data_type=7)
    return vf.write(str(tmp_path / "t.vesk"))


def _spectrum(tmp_path):
    return spectrum_file(VALUES, {"DXU": "WN", **ODD}).write(str(tmp_path / "s.vesk"))


def _flat_axis(tmp_path):
    # every point at one x: a wide table's value columns share one heading
    data = store_block([stored_block([1.0, 2.0, 3.0, 4.0]) for _ in range(4)], block_size=16)
    vf = file_3d(data, {**BASE_3D, **MAP, "NPX": 2, "NPY": 2, "NPT": 4, "FXV": 5.0, "LXV": 5.0})
    return vf.write(str(tmp_path / "f.vesk"))


def _judged(path, formats):
    judge = crosscheck_exports.Judge(random.Random(1), formats)
    try:
        wrong = sorted({(kind[1], kind[2] == "raised") for kind, _ in judge.judge(path)})
        assert judge.counts["blocks"] == 1  # read, and so judged
        return wrong
    finally:
        judge.close()


def _cut_texts(made):
    return lambda values: [t[:2] for t in made(values)]


def _refuse(*_a, **_k):
    raise KeyError("not a refusal")


# (format, whether it raised) of each fault seen
@pytest.mark.parametrize("make, fmt, patch, fault", [
    (_traces, "npy", None, []),
    (_traces, "csv", None, []),
    (_flat_axis, "csv", None, []),
    (_spectrum, "jcamp", None, []),
    (_traces, "envi", None, []),
    (_traces, "csv", [(table, "_native_form", lambda c: None),
                      (table, "_texts", _cut_texts(table._texts))],
     [("csv long", False), ("csv wide", False)]),
    (_traces, "envi", [(envi, "_rows", lambda d: np.asarray(d.values))], [("envi", False)]),
    (_spectrum, "npy", [(arrays, "json_strict", lambda p: {})], [("npy", False)]),
    (_spectrum, "npy", [(arrays, "_savez", _refuse)], [("npy", True)]),
])
def test_judge_sees_exports_that_lose_data(tmp_path, monkeypatch, make, fmt, patch, fault):
    if fmt == "csv":
        pytest.importorskip("pandas")  # what reads it back
    path = make(tmp_path)
    for module, name, value in patch or []:
        monkeypatch.setattr(module, name, value)
    assert _judged(path, [fmt]) == fault


@pytest.mark.parametrize("fmt", ["netcdf", "zarr", "parquet", "mat"])
def test_judge_passes_the_formats_of_extras(tmp_path, fmt):
    from vesk.export import FORMATS
    if FORMATS[fmt].missing():
        pytest.skip(FORMATS[fmt].missing())
    assert _judged(_traces(tmp_path), [fmt]) == []
    assert _judged(_spectrum(tmp_path), [fmt]) == []


@pytest.mark.parametrize("npy, written", [(2, True), (2**21, False)])
def test_time_is_held_to_the_bound_only_where_the_command_writes(tmp_path, capsys, npy,
                                                                written):
    # a map declaring millions of points its few stored spectra leave unfilled
    import vesk
    from vesk._cli import main
    data = store_block([stored_block([1.0, 2.0, 3.0]) for _ in range(5)], block_size=12)
    path = file_3d(data, {**BASE_3D, **MAP, "NPX": 3, "NPY": npy, "NPT": 3}).write(
        str(tmp_path / "m.vesk"))
    with vesk.open(path) as f:
        block = f.blocks[0]
        assert crosscheck_exports.command_writes(f, block, f[block.key], "csv", "wide") == written
    code = main(["export", "-o", str(tmp_path / "out"), "-f", "csv", "--layout", "wide", path])
    capsys.readouterr()
    assert (code == 0) == written

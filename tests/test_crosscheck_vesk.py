"""The differential judge of `vesk` (tools/crosscheck_vesk.py) sees faults of
its listing and reading, and passes what is right."""
import dataclasses
import os
import random
import sys

import pytest

import vesk
import vesk._file
import vesk._objects
from writer_3d import BASE_3D, file_3d, store_block, stored_block

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import crosscheck  # noqa: E402
import crosscheck_vesk  # noqa: E402


def _map(tmp_path, count=6):
    p = {**BASE_3D, "AOX": 1.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 3, "NPY": 2}
    data = store_block([stored_block([k + 1.0] * 4) for k in range(count)], block_size=16)
    return file_3d(data, p).write(str(tmp_path / "m.vesk"))


def _listed_as(**change):
    made = vesk._file.block_from_outline
    return lambda *a, **k: dataclasses.replace(made(*a, **k), **change)


def _values_off(made):
    def wrong(block, raw, *rest):
        obj = made(block, raw, *rest)
        obj.values[..., -1] += 1
        return obj
    return wrong


def _raises(*_a, **_k):
    raise TypeError("not a vesk error")


@pytest.mark.parametrize("count, patch, fault", [
    (6, None, None),
    (4, None, None),  # points no stored spectrum fills read as NaN, as documented
    (6, ("_file", "block_from_outline", _listed_as(shape=(2, 3, 5))), "listing"),
    (6, ("_file", "block_from_outline", _listed_as(kind="unreadable", problem="x", shape=())),
     "listed unreadable"),
    (6, ("_objects", "from_raw", _values_off(vesk._objects.from_raw)), "read"),
    (6, ("_objects", "from_raw", _raises), "read raised"),
])
def test_judge_sees_faults_of_vesk(tmp_path, monkeypatch, count, patch, fault):
    path = _map(tmp_path, count)
    if patch:
        monkeypatch.setattr(getattr(vesk, patch[0]), patch[1], patch[2])
    wrong = crosscheck_vesk.Judge(crosscheck, random.Random(1)).judge(path)
    assert [kind[1] for kind, _said in wrong] == ([fault] if fault else [])


@pytest.mark.parametrize("seed", range(4))
def test_typed_maps_and_retyped_seeds_are_judged_clean(tmp_path, seed):
    import writer_3d
    rng = random.Random(seed)
    judge = crosscheck_vesk.Judge(crosscheck, rng)
    for n in range(25):
        path = str(tmp_path / ("%d.vesk" % n))
        data = crosscheck_vesk.typed_map(rng, writer_3d)
        with open(path, "wb") as f:
            f.write(crosscheck_vesk.retype(rng, data) if n % 2 else data)
        assert judge.judge(path) == []


@pytest.mark.parametrize("geometry", [
    {"DDX": "3", "NPY": 2**31 - 1},  # x fails on its text before y's bound is reached
    {"DDX": "3", "NPX": 2**31 - 1},  # text repeated that often would take gigabytes
    {"NPX": 2**31 - 1, "DDY": "3"},
])
def test_reference_builds_map_axes_in_order(tmp_path, geometry):
    import veskread
    p = {**BASE_3D, "AOX": 0, "AOY": 0, "DDX": 1.0, "DDY": 1.0, "NPX": 3, "NPY": 2, **geometry}
    data = store_block([stored_block([1.0] * 4) for _ in range(6)], block_size=16)
    path = file_3d(data, p).write(str(tmp_path / "m.vesk"))
    key = veskread.listContents(path)[0]
    want = crosscheck.outcome(crosscheck.getVeskData, path, key)
    got = crosscheck.outcome(veskread.getVeskData, path, key)
    assert crosscheck.agree(want, got) or crosscheck.known(want, got, [path, key], path)

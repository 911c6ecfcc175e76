"""`vesk export -f zarr`: each block a Zarr store, which xarray opens as the NetCDF export."""
import importlib.util
import json
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import vesk
import vesk.export
from vesk._cli import main
from vesk.export import atomic, atomic_folder, folder_swap, netcdf, zarr_store
from vesk.export import zarr as zarr_export
from vesk.export.atomic import ASIDE, IN_PROGRESS
from vesk_kinds import KINDS, MAP, _spectra
from vesk_writer import spectrum_file
from writer_3d import BASE_3D, file_3d

xr = pytest.importorskip("xarray")
pytest.importorskip("zarr")


def opened(path):
    """The store as xarray opens it, both ways, which must agree."""
    with xr.open_zarr(path, consolidated=True) as ds, \
            xr.open_dataset(path, engine="zarr") as other:
        ds, other = ds.load(), other.load()
    xr.testing.assert_identical(ds, other)
    return ds


def tree(folder):
    """{path within: bytes} of every file under `folder`."""
    out = {}
    for where, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(where, name), "rb") as f:
                out[os.path.relpath(os.path.join(where, name), folder)] = f.read()
    return out


@pytest.mark.filterwarnings("ignore:.*holds no stored spectrum")  # the point left NaN
@pytest.mark.parametrize("chunk_bytes, longest", [(None, None), (32, None), (8, 8)],
                         ids=["whole-rows", "rows-cut-unevenly", "spectra-cut"])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_every_kind_opens_as_read(capsys, tmp_path, monkeypatch, kind, chunk_bytes, longest):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    if chunk_bytes:  # many chunks, the last of an axis filled past its end
        monkeypatch.setattr(zarr_store, "CHUNK_BYTES", chunk_bytes)
    if longest:
        monkeypatch.setattr(zarr_store, "LONGEST_ROW", longest)
    vf, key = KINDS[kind]()
    path = vf.write(str(tmp_path / "in.vesk"))
    assert main(["export", path, "-b", "/".join(key), "-f", "zarr", "-o", str(tmp_path)]) == 0
    data = vesk.read(path, "/".join(key))
    expected = data.to_xarray()
    ds = opened(tmp_path / ("in_%s.zarr" % data.block.variable_name))
    back = ds[expected.name]
    assert back.dims == expected.dims and back.dtype == np.float32
    np.testing.assert_array_equal(back.values, expected.values)  # NaN where unmeasured
    assert sorted(ds.coords) == sorted(expected.coords)
    for c in expected.coords:
        assert ds[c].dims == expected[c].dims and ds[c].attrs == expected[c].attrs
        np.testing.assert_array_equal(np.array(ds[c].values.tolist()),  # names: str, any dtype
                                      np.array(expected[c].values.tolist()))
    assert back.attrs == expected.attrs and ds.attrs == netcdf.global_attrs(data)
    if chunk_bytes is None and importlib.util.find_spec("netCDF4"):
        assert main(["export", path, "-f", "netcdf", "-o", str(tmp_path)]) == 0
        with xr.open_dataset(tmp_path / ("in_%s.nc" % data.block.variable_name)) as nc:
            xr.testing.assert_identical(ds, nc.load())


def test_attributes_are_strict_json_and_keep_every_key(tmp_path):
    odd = {"kind": "k", "NAN": float("nan"), "INF": float("-inf"), "A\x01/B": "\u20ac\U0001f600",
           " AB": 7}
    path = spectrum_file([1.0, 2.0, 3.0], odd).write(str(tmp_path / "odd.vesk"))
    data = vesk.read(path)
    vesk.export.write(data, tmp_path / "o.zarr", "zarr")
    # no bare NaN, which JSON has not; ASCII, which zarr 2 before 2.14 reads alone
    for name in (".zmetadata", "AB_2D_NONE/.zattrs"):
        json.loads((tmp_path / "o.zarr" / name).read_text("ascii"),
                   parse_constant=lambda c: pytest.fail("%s holds %s" % (name, c)))
    attrs = opened(tmp_path / "o.zarr")["AB_2D_NONE"].attrs
    keys = json.loads(attrs["parameter_keys"])
    got = {keys.get(n, n): v for n, v in attrs.items()
           if n in keys or (n in data.parameters and n not in keys.values())}
    assert got == {**data.parameters, "NAN": "NaN", "INF": "-Infinity"}
    assert attrs["kind"] == "spectrum"


def store_at(path):
    vesk.export.write(vesk.read(KINDS["spectrum"]()[0].write(str(path) + ".vesk")), path,
                      "zarr")


@pytest.mark.parametrize("option", [None, "--force", "--skip-existing"])
@pytest.mark.parametrize("there", ["store", "file", "folder", "link to a store"])
def test_what_is_at_the_target_is_replaced_only_if_a_store_and_asked(capsys, tmp_path, option,
                                                                       there):
    target = tmp_path / "out" / "in_AB_2D_NONE.zarr"
    target.parent.mkdir()
    if there == "file":
        target.write_text("mine")
    elif there == "folder":
        target.mkdir()
        (target / "mine").write_text("mine")
    else:
        store_at(tmp_path / "old.zarr")
        (tmp_path / "old.zarr" / "mine").write_text("mine")  # tells the old store from a new
        if there == "store":
            os.rename(tmp_path / "old.zarr", target)
        else:
            target.symlink_to(tmp_path / "old.zarr")
    vf, key = KINDS["spectrum"]()
    path = vf.write(str(tmp_path / "in.vesk"))
    code = main(["export", path, "-f", "zarr", "-o", str(target.parent)] + [option] * bool(option))
    err = capsys.readouterr().err
    replaced = there == "store" and option == "--force"
    assert code == (0 if replaced or there == "store" and option else 1), err
    assert os.listdir(target.parent) == [target.name]  # nothing left beside it
    mine = (target / "mine") if there != "file" else target
    assert mine.exists() != replaced
    if replaced:
        assert opened(target)["AB_2D_NONE"].values.tolist() == [1, 2, 3, 4, 5]
    elif there != "store":
        assert "%s: not a Zarr store but a %s; not replaced" % (target, {
            "file": "file", "folder": "folder of something else", "link to a store": "link"
        }[there]) in err


@pytest.mark.parametrize("other", [None, "zarr.json"])  # and a store of format 3 beside it
def test_a_store_in_the_folder_read_is_not_taken_for_measurements(capsys, tmp_path, monkeypatch,
                                                                  other):
    monkeypatch.setattr(zarr_store, "CHUNK_BYTES", 32)  # chunks 0.0.0, 1.0.0: as runs are named
    folder = tmp_path / "data"
    folder.mkdir()
    path = KINDS["image map"]()[0].write(str(folder / "in.vesk"))
    assert main(["export", str(folder), "-f", "zarr", "-o", str(folder / "out")]) == 0
    assert "1.0.0" in os.listdir(folder / "out" / "in_AB_3D_NONE.zarr" / "AB_3D_NONE")
    if other:
        (folder / "v3.zarr" / "c").mkdir(parents=True)
        (folder / "v3.zarr" / other).write_text("{}")
        (folder / "v3.zarr" / "c" / "0.0").write_bytes(b"\x78\x01")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert vesk.find(str(folder)) == [path]
    assert main(["ls", str(folder)]) == 0, capsys.readouterr().err


@pytest.mark.parametrize("where", ["writing", "putting the new in place", "a worker ending"])
def test_an_interrupt_leaves_the_old_store_whole_and_nothing_else(tmp_path, monkeypatch, where):
    store_at(tmp_path / "o.zarr")
    before = tree(tmp_path / "o.zarr")
    if where == "writing":
        def write(folder, arrays, attrs):
            (open(os.path.join(folder, "half"), "w")).close()
            raise KeyboardInterrupt
        monkeypatch.setattr(zarr_export, "write_store", write)
    else:  # where the system cannot swap folders in one step
        monkeypatch.setattr(atomic_folder, "exchange", lambda a, b: False)
        rename, calls = os.rename, []

        def interrupted(src, dst):
            calls.append(src)
            if len(calls) == 2:  # the old moved aside, the new not yet in its place
                if where == "a worker ending":  # as its thread watching the parent does
                    monkeypatch.setattr(atomic, "_MAKING", threading.Lock())
                    atomic.remove_in_progress()
                raise KeyboardInterrupt
            rename(src, dst)
        monkeypatch.setattr(os, "rename", interrupted)
    data = vesk.read(str(tmp_path / "o.zarr.vesk"))
    with pytest.raises(KeyboardInterrupt):
        vesk.export.write(data, tmp_path / "o.zarr", "zarr", force=True)
    assert tree(tmp_path / "o.zarr") == before
    assert sorted(os.listdir(tmp_path)) == ["o.zarr", "o.zarr.vesk"]
    assert not IN_PROGRESS and not ASIDE


def test_a_store_this_user_cannot_remove_is_not_replaced(tmp_path, monkeypatch):
    store_at(tmp_path / "o.zarr")
    old = tree(tmp_path / "o.zarr")
    sub = str(tmp_path / "o.zarr" / "AB_2D_NONE")
    access = os.access  # as for another user's folder (the tests may run as root)
    monkeypatch.setattr(os, "access", lambda p, mode: p != sub and access(p, mode))
    with pytest.raises(PermissionError, match="a Zarr store this user cannot remove; not re"):
        vesk.export.write(vesk.read(str(tmp_path / "o.zarr.vesk")), tmp_path / "o.zarr", "zarr",
                          force=True)
    assert tree(tmp_path / "o.zarr") == old and not IN_PROGRESS
    assert sorted(os.listdir(tmp_path)) == ["o.zarr", "o.zarr.vesk"]


@pytest.mark.skipif(not folder_swap._renameat2(), reason="no one-step swap of folders here")
@pytest.mark.parametrize("killed", ["before the swap", "after the swap"])
def test_a_writer_killed_outright_while_replacing_leaves_a_whole_store(tmp_path, killed):
    store_at(tmp_path / "o.zarr")
    old = tree(tmp_path / "o.zarr")
    KINDS["image map"]()[0].write(str(tmp_path / "map.vesk"))
    script = ("import os, signal, vesk, vesk.export\n"
              "from vesk.export import atomic_folder, folder_swap\n"
              "def exchange(a, b):\n"
              "    if %r == 'after the swap': folder_swap.exchange(a, b)\n"
              "    os.kill(os.getpid(), signal.SIGKILL)\n"
              "atomic_folder.exchange = exchange\n"
              "vesk.export.write(vesk.read('map.vesk'), 'o.zarr', 'zarr', force=True)\n" % killed)
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=dict(
        os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.returncode == -9
    assert (tree(tmp_path / "o.zarr") == old) == (killed == "before the swap")
    assert "AB_3D_NONE" in opened(tmp_path / "o.zarr") or killed == "before the swap"
    left = [n for n in os.listdir(tmp_path) if n.endswith(".part")]
    assert len(left) == 1  # the new store, or the old swapped out: a later write removes it
    if atomic._writer() is not None:
        atomic._CLEARED.clear()  # as a later run: its first write into the folder clears it
        with pytest.warns(UserWarning, match="left unfinished by a process that ended"):
            store_at(tmp_path / "p.zarr")
        assert not [n for n in os.listdir(tmp_path) if n.endswith(".part")]


@pytest.mark.skipif(not folder_swap._renameat2(), reason="no one-step swap of folders here")
def test_an_interrupt_just_after_the_swap_still_removes_the_old_store(tmp_path, monkeypatch):
    store_at(tmp_path / "o.zarr")
    is_store, interrupted = zarr_store.is_store, []

    def checked(path):  # the first check of the old store, swapped out
        if str(path).endswith(".part") and not interrupted:
            interrupted.append(path)
            raise KeyboardInterrupt
        return is_store(path)
    monkeypatch.setattr(zarr_store, "is_store", checked)
    data = vesk.read(KINDS["image map"]()[0].write(str(tmp_path / "m.vesk")))
    with pytest.raises(KeyboardInterrupt):
        vesk.export.write(data, tmp_path / "o.zarr", "zarr", force=True)
    assert interrupted and "AB_3D_NONE" in opened(tmp_path / "o.zarr")
    assert sorted(os.listdir(tmp_path)) == ["m.vesk", "o.zarr", "o.zarr.vesk"]
    assert not IN_PROGRESS and not ASIDE


@pytest.mark.parametrize("case, removed", [("ended", True), ("running", False),
                                           ("a link", False)])
def test_stale_temporary_stores_of_ended_writers_are_removed_links_not_followed(
        tmp_path, case, removed):
    where = atomic._writer()
    if where is None:
        pytest.skip("no /proc of this pid namespace")
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        with open("/proc/%d/stat" % child.pid) as f:
            started = atomic._started(f.read())
        if case != "running":
            child.kill()
            child.wait()
        victim = tmp_path / "victim"
        victim.mkdir()
        (victim / "kept").write_text("mine")
        stale = tmp_path / (".o.zarr.0123abcd.%s-%d-%d.part" % (where[0], child.pid, started))
        if case == "a link":
            stale.symlink_to(victim)
        else:
            (stale / "AB").mkdir(parents=True)
            (stale / "AB" / "victim").symlink_to(victim)  # removed, not followed
        assert atomic.remove_stale(str(tmp_path)) == ([str(stale)] if removed else [])
        assert os.path.lexists(stale) != removed and (victim / "kept").read_text() == "mine"
    finally:
        child.kill()
        child.wait()


def test_without_xarray_the_extra_to_install_is_told_before_any_file_is_read(
        capsys, tmp_path, monkeypatch):
    data = vesk.read(KINDS["spectrum"]()[0].write(str(tmp_path / "in.vesk")))
    monkeypatch.setitem(sys.modules, "xarray", None)
    assert main(["export", str(tmp_path / "absent.vesk"), "-f", "zarr", "-o",
                 str(tmp_path / "out")]) == 1
    assert capsys.readouterr().err == "vesk: %s\n" % zarr_export.NEEDS
    with pytest.raises(ImportError, match=r"pip install 'veskread\[zarr\]'"):
        vesk.export.write(data, tmp_path / "o.zarr", "zarr")
    assert os.listdir(tmp_path) == ["in.vesk"]


def test_the_same_store_byte_for_byte_whichever_zarr_is_installed(tmp_path, monkeypatch):
    # The command here, with zarr importable; a program in another process
    # where it is not: the store is written by vesk itself.
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    path = file_3d(_spectra(6), {**BASE_3D, **MAP}).write(str(tmp_path / "in.vesk"))
    assert main(["export", path, "-f", "zarr", "-o", str(tmp_path / "cli")]) == 0
    script = ("import sys; sys.modules['zarr'] = sys.modules['numcodecs'] = None; import vesk, "
              "vesk.export; vesk.export.write(vesk.read(sys.argv[1], 'AB/3D/NONE'), sys.argv[2], "
              "'zarr')")
    subprocess.run([sys.executable, "-c", script, path, str(tmp_path / "api.zarr")], check=True,
                   env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert tree(tmp_path / "api.zarr") == tree(tmp_path / "cli" / "in_AB_3D_NONE.zarr")


def huge_map():
    # 84 million values declared by 1,464 bytes
    return file_3d(_spectra(6), {**BASE_3D, **MAP, "NPX": 3000000, "NPY": 7}).build()


def test_a_map_declaring_far_more_than_its_file_holds_writes_no_store(capsys, tmp_path):
    path = tmp_path / "big.vesk"
    path.write_bytes(huge_map())
    code = main(["export", str(path), "-f", "zarr", "-o", str(tmp_path / "out")])
    assert (code, os.listdir(tmp_path / "out")) == (1, [])
    assert "AB/3D/NONE: declares 84000000 values (336.0 MB), more than a file of 1464" in \
        capsys.readouterr().err

"""The xarray backend: lazy datasets, the engine entry point and a Dask cluster."""
import faulthandler
import importlib.metadata
import importlib.util
import io
import os
import pickle
import re
import shutil
import warnings

import numpy as np
import pytest

import vesk
from vesk_kinds import KINDS, MAP, _spectra
from writer_3d import BASE_3D, INFO_SIZE, file_3d, store_block, stored_block

xr = pytest.importorskip("xarray")
from vesk.xarray_backend import VeskBackendArray, VeskBackendEntrypoint  # noqa: E402



def engine_registered():
    eps = importlib.metadata.entry_points()
    group = (eps.select(group="xarray.backends") if hasattr(eps, "select")
             else eps.get("xarray.backends", []))
    return any(ep.name == "vesk" for ep in group)


ENGINE_REGISTERED = engine_registered()
ENGINE = "vesk" if ENGINE_REGISTERED else VeskBackendEntrypoint


def write(tmp_path, kind, name="k.vesk"):
    vf, key = KINDS[kind]()
    return vf.write(str(tmp_path / name)), "/".join(key)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_dataset_equals_data_object(tmp_path, kind):
    path, group = write(tmp_path, kind)
    ds = xr.open_dataset(path, engine=ENGINE, group=group)
    expected = vesk.read(path, group).to_xarray()
    (name,) = ds.data_vars
    assert name == expected.name == group.replace("/", "_")
    xr.testing.assert_equal(ds[name].variable, expected.variable)
    for coord in expected.coords:
        np.testing.assert_array_equal(ds[coord].values, expected[coord].values)
        assert ds[coord].attrs == expected[coord].attrs
    for texts in (a[c].values.ravel() for a in (ds, expected) for c in a.coords):
        if texts.dtype == object:  # shared as read, not a new str a point (pandas 3's way)
            assert len({id(t) for t in texts}) == len(set(texts))
    assert ds.attrs == {k: v for k, v in expected.attrs.items() if k != "long_name"}
    assert ds.attrs["kind"] == kind and ds.attrs.get("comment") == vesk.open(path).block(
        group).warning  # a map stopped early says why its values are NaN


SERIES, MAP_KIND = "time-resolved series", "image map"


# Units come from the file only: a unit code, the map units, the time axis label.
@pytest.mark.parametrize("kind, params, coord, attrs", [
    (SERIES, {"DXU": "WN"}, "wavenumber", {"long_name": "Wavenumber", "units": "cm-1"}),
    (SERIES, {"DXU": "SEC", "ZTX": "Time (s)"}, "spectral", {"long_name": "Time", "units": "s"}),
    (SERIES, {"DXU": "LGW"}, "log_wavenumber", {"long_name": "Log wavenumber"}),
    (SERIES, {"DXU": "QQ"}, "spectral", {"long_name": "QQ"}),
    (SERIES, {}, "spectral", {}),
    (SERIES, {"ZTX": "Time (min)"}, "time", {"long_name": "Time", "units": "min"}),
    (SERIES, {"ZTX": "Delay after (pulse) (ms)"}, "time",
     {"long_name": "Delay after (pulse)", "units": "ms"}),
    (SERIES, {"ZTX": "Delay"}, "time", {"long_name": "Delay"}),
    # units that reading back would decode as durations or dates stay words
    (SERIES, {"ZTX": "Time (Seconds)"}, "time", {"long_name": "Time (Seconds)"}),
    (MAP_KIND, {"MUN": "days since 99999-99-99"}, "x",
     {"long_name": "Map x (days since 99999-99-99)"}),
    (SERIES, {}, "time", {"long_name": "Time"}),
    (MAP_KIND, {"MUN": "um"}, "x", {"long_name": "Map x", "units": "um"}),
    (MAP_KIND, {}, "y", {"long_name": "Map y"}),
])
def test_coordinate_units_as_the_file_gives_them(tmp_path, kind, params, coord, attrs):
    extra = dict(MAP) if kind == MAP_KIND else {}
    n = 6 if kind == MAP_KIND else 3
    path = file_3d(_spectra(n), {**BASE_3D, **extra, **params}).write(str(tmp_path / "u.vesk"))
    array = vesk.read(path, "AB/3D/NONE").to_xarray()
    assert array[coord].attrs == attrs
    ds = xr.open_dataset(path, engine=ENGINE, group="AB/3D/NONE")
    assert ds[coord].attrs == attrs
    pytest.importorskip("netCDF4")
    array.to_netcdf(str(tmp_path / "u.nc"), engine="netcdf4")
    with xr.open_dataarray(str(tmp_path / "u.nc"), engine="netcdf4") as back:
        assert back[coord].attrs == attrs
        assert back.attrs == array.attrs


@pytest.mark.parametrize("group", ["AB/3D/NONE", "TRC/3D/NONE"])
def test_a_stream_opens_as_its_file(group):
    # an upload: gone once read, so nothing is left to read lazily from
    path = os.path.join(os.path.dirname(__file__), "..", "samples", "mapping.vesk")
    with open(path, "rb") as f:
        stream = io.BytesIO(f.read())
    with xr.open_dataset(stream, engine=ENGINE, group=group) as ds, \
            xr.open_dataset(path, engine=ENGINE, group=group) as want:
        xr.testing.assert_identical(ds.load(), want.load())


def test_image_map_is_read_lazily(tmp_path, monkeypatch):
    path, group = write(tmp_path, "image map")
    calls = []
    for name in ("_whole_block", "read_map_rows"):
        real = getattr(vesk.xarray_backend, name)
        monkeypatch.setattr(vesk.xarray_backend, name,
                            lambda *a, real=real, name=name: calls.append(name) or real(*a))
    ds = xr.open_dataset(path, engine=ENGINE, group=group)
    assert calls == []
    assert ds["AB_3D_NONE"].isel(y=1, x=2).values.tolist() == [50, 51, 52, 53]
    assert calls == ["read_map_rows"]  # the one row only
    assert ds["AB_3D_NONE"].values[1, 2].tolist() == [50, 51, 52, 53]
    assert calls == ["read_map_rows", "_whole_block"]


@pytest.mark.parametrize("chunks", [None, {"y": 2}])
@pytest.mark.parametrize("change, said", [
    ("replaced", "is 7 x 10 x 96 now, 6 x 8 x 64 when its dataset was opened"),
    ("cut", "read as NaN now, not when its dataset was opened")])
def test_a_map_changed_after_opening_is_refused_not_misread(tmp_path, chunks, change, said):
    samples = os.path.join(os.path.dirname(__file__), "..", "samples")
    path = tmp_path / "map.0"
    shutil.copy(os.path.join(samples, "sample.vesk"), path)  # a map of 6 x 8 x 64
    ds = xr.open_dataset(path, engine=ENGINE, group="AB/3D/NONE", chunks=chunks)
    if change == "replaced":
        shutil.copy(os.path.join(samples, "mapping.vesk"), path)  # measured again: 7 x 10 x 96
    else:  # a copy under way, or a disk that filled: its values read as missing
        os.truncate(path, 14000)
    with pytest.raises(vesk.FormatError, match=said + ": the file changed"):
        ds["AB_3D_NONE"].values


@pytest.mark.parametrize("chunks", [None, {"y": 1}])
@pytest.mark.parametrize("in_place", [False, True])
def test_a_map_measured_again_in_its_place_is_refused(tmp_path, chunks, in_place):
    # The same shape and size, put in place with the times of the one opened
    # (or written over it, its status time alone telling): its values must
    # not come under the other measurement's date.
    path = str(tmp_path / "map.0")

    def measured(day, scale):
        spectra = store_block([stored_block([scale * (10.0 * k + p) for p in range(4)])
                               for k in range(6)], block_size=16)
        file_3d(spectra, {**BASE_3D, **MAP, "DAT": "0%d/01/2026" % day}).write(path + ".new")
        if in_place and os.path.exists(path):
            with open(path + ".new", "rb") as new, open(path, "r+b") as f:
                f.write(new.read())
            os.remove(path + ".new")
            os.utime(path, ns=(0, 0))
            return
        os.utime(path + ".new", ns=(0, 0))
        os.replace(path + ".new", path)

    measured(1, 1.0)
    ds = xr.open_dataset(path, engine=ENGINE, group="AB/3D/NONE", chunks=chunks)
    measured(2, 100.0)
    with pytest.raises(vesk.FormatError, match="parameters DAT differ now .* the file changed"):
        ds["AB_3D_NONE"].values


@pytest.mark.parametrize("chunks", [None, {"y": 1}])
def test_a_relative_path_reads_the_file_opened_after_a_chdir(tmp_path, monkeypatch, chunks):
    path, group = write(tmp_path, "image map")
    monkeypatch.chdir(tmp_path)
    ds = xr.open_dataset(os.path.basename(path), engine=ENGINE, group=group, chunks=chunks)
    expected = vesk.read(path, group).values
    monkeypatch.chdir(tmp_path.parent)
    assert np.array_equal(ds["AB_3D_NONE"].values, expected)


# A map of 5 x 3 points whose store table ends two points early, stored as
# spectra or as planes; `cut` drops the file's last bytes (inside the last block).
def rows_map(tmp_path, planes, cut=0):
    npy, npx, npt = 5, 3, 4
    values = np.arange(npy * npx * npt, dtype=np.float32).reshape(npy, npx, npt)
    if planes:
        blocks = [stored_block(values[..., k].ravel().tolist()) for k in range(npt)]
        data = store_block(blocks, block_size=4 * npy * npx)
    else:
        blocks = [stored_block(v.tolist()) for v in values.reshape(-1, npt)[:-2]]
        data = store_block(blocks, block_size=4 * npt)
    params = {**BASE_3D, "NPT": npt, "NPX": npx, "NPY": npy, "AOX": 0.0, "AOY": 0.0,
              "DDX": 1.0, "DDY": 1.0}
    raw = file_3d(data, params).build()
    path = tmp_path / "rows.vesk"
    path.write_bytes(raw[:len(raw) - cut])
    return str(path)


@pytest.mark.parametrize("planes", [False, True])
def test_rows_read_alone_equal_the_whole_map(tmp_path, planes):
    path = rows_map(tmp_path, planes)
    whole = vesk.read(path, "AB/3D/NONE").values
    if not planes:
        assert np.isnan(whole[-1, 1:]).all()  # points without a stored block
    ds = xr.open_dataset(path, engine=ENGINE, group="AB/3D/NONE")
    for index in [dict(y=slice(1, 4)), dict(y=-1), dict(y=slice(3, 2)), dict(y=4, x=1),
                  dict(y=slice(0, 5, 2)), dict(x=slice(1, 3)), dict(x=-1),
                  dict(y=slice(1, 5), x=slice(0, 2)), dict(y=3, x=slice(0, 3, 2))]:
        np.testing.assert_array_equal(ds["AB_3D_NONE"].isel(**index).values,
                                      whole[tuple(index.get(d, slice(None)) for d in "yx")])
    if importlib.util.find_spec("dask"):
        for chunks in ({"y": 2}, {"y": 2, "x": 2}, {"x": 1}):
            chunked = xr.open_dataset(path, engine=ENGINE, group="AB/3D/NONE", chunks=chunks)
            np.testing.assert_array_equal(chunked["AB_3D_NONE"].values, whole)


@pytest.mark.parametrize("planes", [False, True])
def test_rows_before_a_cut_block_still_read(tmp_path, planes):
    path = rows_map(tmp_path, planes, cut=INFO_SIZE + 8)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ds = xr.open_dataset(path, engine=ENGINE, group="AB/3D/NONE")
        values = ds["AB_3D_NONE"].values  # warned once, on opening
    expected = np.arange(60, dtype=np.float32).reshape(5, 3, 4)
    if planes:  # the last plane is cut: every point's last value
        assert [str(w.message).split(": ", 2)[2] for w in caught] == [
            "the file ends early: 1 of its 4 stored planes is cut off; the values of the 1 plane "
            "not read (of NPT 4) read as NaN"]
        expected[..., 3] = np.nan
        np.testing.assert_array_equal(values, expected)
        np.testing.assert_array_equal(ds["AB_3D_NONE"].isel(y=slice(1, 3)).values, expected[1:3])
        np.testing.assert_array_equal(vesk.read(path, "AB").values, expected)
        return
    assert [str(w.message).split(": ", 2)[2] for w in caught] == [
        "the file ends early: 1 of its 13 stored spectra is cut off; 3 of the map's 15 points "
        "read as NaN"]
    np.testing.assert_array_equal(ds["AB_3D_NONE"].isel(y=0).values, expected[0])
    assert np.isnan(values[4]).all()  # the last row's three points: one cut off, two never stored


def test_backend_array_pickles_and_guesses(tmp_path):
    path, group = write(tmp_path, "image map")
    with vesk.open(path) as f:
        array = VeskBackendArray(path, f.block(group))
    clone = pickle.loads(pickle.dumps(array))
    assert clone.shape == (2, 3, 4) and clone.key == ("AB", "3D", "NONE")
    entry = VeskBackendEntrypoint()
    assert entry.guess_can_open(path)
    assert not entry.guess_can_open(str(tmp_path / "missing.vesk"))
    with pytest.raises(vesk.BlockNotFoundError, match="the file has: AB/3D/NONE"):
        xr.open_dataset(path, engine=ENGINE, group="TR")


@pytest.mark.skipif(not ENGINE_REGISTERED, reason="engine entry point needs an installed package")
def test_engine_is_registered():
    assert "vesk" in xr.backends.list_engines()


@pytest.fixture
def cluster():
    distributed = pytest.importorskip("distributed")
    # A wedged cluster must not hang the run: dump the stacks and exit.
    faulthandler.dump_traceback_later(240, exit=True)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as c:
            with distributed.Client(c) as client:
                yield client
    finally:
        faulthandler.cancel_dump_traceback_later()


def test_open_mfdataset_on_a_cluster(tmp_path, cluster):
    paths = []
    for k in range(4):
        vf, _ = KINDS["image map"]()
        # Files differ in their last value, which ends the last stored block.
        raw = bytearray(vf.build())
        raw[-INFO_SIZE - 4:-INFO_SIZE] = np.float32(1000 + k).tobytes()
        path = tmp_path / ("m%d.vesk" % k)
        path.write_bytes(bytes(raw))
        paths.append(str(path))
    ds = xr.open_mfdataset(paths, engine=ENGINE, group="AB/3D/NONE", parallel=True,
                           combine="nested", concat_dim="file")
    assert ds["AB_3D_NONE"].dims == ("file", "y", "x", "wavenumber")
    assert ds["AB_3D_NONE"].chunks is not None
    together = ds["AB_3D_NONE"].compute().values
    one_by_one = np.stack([vesk.read(p, "AB/3D/NONE").values for p in paths])
    np.testing.assert_array_equal(together, one_by_one)
    assert together[:, -1, -1, -1].tolist() == [1000, 1001, 1002, 1003]
    workers = cluster.run(lambda: __import__("os").getpid())
    assert len(set(workers.values())) == 2


@pytest.mark.parametrize("drop", [None, ["elsewhere"]])
@pytest.mark.parametrize("kind", ["image map", "multiregion map"])  # lazy and read as opened
def test_files_opened_together_close(tmp_path, kind, drop):
    paths = [write(tmp_path, kind, "m%d.vesk" % k)[0] for k in range(2)]
    group = write(tmp_path, kind)[1]
    with xr.open_mfdataset(paths, engine=ENGINE, group=group, combine="nested",
                           concat_dim="file", drop_variables=drop) as ds:
        assert ds[group.replace("/", "_")].shape[0] == 2


@pytest.mark.parametrize("kind", ["multiregion map", "time-resolved traces"])
def test_a_block_that_warns_warns_once_per_dataset(tmp_path, kind):
    path, group = write(tmp_path, kind)
    if kind == "time-resolved traces":  # cut inside the last trace's values: whole traces read
        path = str(tmp_path / "cut.vesk")
        with open(path, "wb") as f:
            f.write(KINDS[kind]()[0].build()[:-193])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ds = xr.open_dataset(path, engine=ENGINE, group=group)
        ds[group.replace("/", "_")].values
    assert len([w for w in caught if issubclass(w.category, vesk.VeskWarning)]) == 1


@pytest.mark.parametrize("kind", ["image map", "multiregion map"])  # opened lazily; read whole
def test_a_dataset_warning_names_the_line_that_opened_it(tmp_path, kind):
    path, group = write(tmp_path, kind)
    if kind == "image map":
        with open(path, "r+b") as f:  # the last stored spectrum's values
            f.truncate(f.seek(0, 2) - INFO_SIZE - 4)
    with pytest.warns(vesk.VeskWarning) as caught:
        xr.open_dataset(path, engine=ENGINE, group=group).close()
    assert caught[0].filename == __file__


@pytest.mark.skipif(not hasattr(xr, "open_datatree"), reason="xarray without DataTree")
def test_a_file_opens_as_a_tree_of_its_blocks(tmp_path, monkeypatch):
    sample = os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk")
    with pytest.raises(vesk.BlockNotFoundError, match="has 4 blocks .*; name one with group=, "
                                                      "or open them all with xarray.open_datatree"):
        xr.open_dataset(sample, engine=ENGINE)
    tree = xr.open_datatree(sample, engine=ENGINE)
    with vesk.open(sample) as f:
        assert sorted(node.path for node in tree.leaves) == sorted("/" + k for k in f.keys())
        xr.testing.assert_identical(tree["AB/3D/NONE"].to_dataset(),
                                    xr.open_dataset(sample, engine=ENGINE, group="AB/3D/NONE"))
    # A block that cannot be read is left out, and said so.
    from vesk_writer import spectrum_file
    path = spectrum_file([1.0, 2.0], {"FXV": "high"}).write(str(tmp_path / "text.vesk"))
    with pytest.warns(vesk.VeskWarning, match="AB/2D/NONE cannot be read: .*; left out"):
        assert not xr.open_datatree(path, engine=ENGINE).children
    # Blocks share the file's bound, each alone admitted: those read as they open with their
    # values, those opened lazily with the axes they are given now, each with its attributes.
    from vesk.xarray_backend import ATTRIBUTE_BYTES
    with vesk.open(sample) as f:
        axes = sum(8 * sum(b.shape) + ATTRIBUTE_BYTES * len(b.parameters) for b in f.blocks)
    for limit, leaves in [(axes, 4), (axes - 1, 3)]:
        monkeypatch.setattr(vesk._native, "output_limit", lambda size, limit=limit: limit)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert len(xr.open_datatree(sample, engine=ENGINE).leaves) == leaves
        assert len(caught) == 4 - leaves
    monkeypatch.setattr(vesk._native, "output_limit", lambda size: 0)
    kinetics = os.path.join(os.path.dirname(sample), "kinetics.vesk")
    with pytest.warns(vesk.VeskWarning, match="TRC/3D/NONE holds, with the blocks before it, "
                                              "more values"):
        assert [n.path for n in xr.open_datatree(kinetics, engine=ENGINE).leaves] == [
            "/AB/3D/NONE"]
    assert [n.path for n in xr.open_datatree(kinetics, engine=ENGINE, group="TRC").leaves] == [
        "/3D/NONE"]


@pytest.mark.skipif(not hasattr(xr, "open_datatree"), reason="xarray without DataTree")
@pytest.mark.parametrize("opener, group, leaves", [
    ("open_dataset", "AB/3D/NONE", None), ("open_datatree", None, 4), ("open_datatree", "AB", 2)])
def test_xarray_finds_the_engine_without_being_told(monkeypatch, opener, group, leaves):
    # A tree is guessed for only among backends that hold groups.
    if not ENGINE_REGISTERED:
        monkeypatch.setattr(xr.backends.plugins, "list_engines",
                            lambda: {"vesk": VeskBackendEntrypoint()})
    sample = os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk")
    opened = getattr(xr, opener)(sample, group=group)
    if opener == "open_dataset":
        xr.testing.assert_identical(opened, xr.open_dataset(sample, engine=ENGINE, group=group))
    else:
        assert len(opened.leaves) == leaves


@pytest.mark.skipif(not hasattr(xr, "open_datatree"), reason="xarray without DataTree")
@pytest.mark.parametrize("group, leaves", [
    ("/", ["/AB/2D/NONE", "/AB/3D/NONE", "/SSC/2D/NONE", "/RSC/2D/NONE"]),
    ("AB", ["/2D/NONE", "/3D/NONE"]), ("/ab/3D", ["/NONE"]), ("/AB/3D/NONE", ["/"])])
def test_groups_are_the_trees_paths(group, leaves):
    # As xarray's other backends give a group: its subtree, by paths from it.
    sample = os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk")
    tree = xr.open_datatree(sample, engine=ENGINE, group=group)
    assert [n.path for n in tree.leaves] == leaves
    if leaves == ["/"]:  # a block's own path: its dataset
        xr.testing.assert_identical(tree.to_dataset(),
                                    xr.open_dataset(sample, engine=ENGINE, group=group))
    with pytest.raises(vesk.BlockNotFoundError, match=r"^%s: not a block key" % re.escape(sample)):
        xr.open_datatree(sample, engine=ENGINE, group=group + "/A/B/C/D")


@pytest.mark.parametrize("x", [slice(None), 0])
def test_rows_of_planes_the_file_lacks_read_as_the_whole_map(tmp_path, x):
    # No plane is stored: reading writes nothing, so the rows cost no memory
    # and must not be refused for the pages a plane would touch.
    data = store_block([], block_size=8_000_000, info_size=0, stored_blocks=16,
                       entries=[(0, 15)])
    path = file_3d(data, {**BASE_3D, **MAP, "NPT": 16, "NPX": 2, "NPY": 1_000_000}).write(
        str(tmp_path / "none.vesk"))
    with pytest.warns(vesk.VeskWarning, match="16 of its 16 stored planes are cut off"):
        ds = xr.open_dataset(path, engine=ENGINE, group="AB/3D/NONE")
    assert not ds["AB_3D_NONE"].isel(y=slice(0, 999_999), x=x).values.any()  # fill 0

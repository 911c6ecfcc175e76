"""The `vesk` package: listing, typed objects, keys, paths and errors."""
import copy
import dataclasses
import errno
import functools
import gc
import io
import json
import math
import os
import operator
import pathlib
import pickle
import re
import shutil
import struct
import warnings

import numpy as np
import pytest

import hostile_files as hf
import veskread
import vesk
from vesk._cli import main as vesk_cli
from vesk._errors import raise_translated
from vesk._file import read_map_rows
from test_images import one_image
from vesk_kinds import COLS, KINDS, MAP, NPT, _anno, _spectra, _traces, _values
from vesk_writer import VeskFile, float32_block, param_block, spectrum_file
from writer_3d import (BASE_3D, TYPE_FLOAT, TYPE_TEXT, annotation_block, file_3d, store_block,
                       stored_block, table_subblock)
from writer_images import add_image_block

# Attribute of the low-level object that each kind's `values` is.
RAW_VALUES = {
    "spectrum": "y", "image map": "spectra", "image traces": "traces",
    "time-resolved series": "spectra", "time-resolved traces": "traces",
}
CLASSES = {
    "spectrum": vesk.Spectrum, "image map": vesk.ImageMap, "image traces": vesk.ImageTraces,
    "time-resolved series": vesk.TimeSeries, "time-resolved traces": vesk.TimeTraces,
    "multiregion map": vesk.MultiregionMap, "multiregion traces": vesk.MultiregionTraces,
}


def write(tmp_path, kind):
    vf, key = KINDS[kind]()
    return vf.write(str(tmp_path / "k.vesk")), key


def region_values(raw):
    return np.concatenate([r.spectra for r in raw.regions])


def test_interp_puts_spectra_on_one_axis(tmp_path):
    sample = os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk")
    with vesk.open(sample) as f:
        ab, ssc, rsc, cube = f["AB/2D/NONE"], f["SSC"], f["RSC"], f["AB/3D/NONE"]
    # the absorbance the file holds, from its single channels
    np.testing.assert_allclose(-np.log10(ssc.values / rsc.interp(ssc.x)), ab.values, atol=1e-6)
    np.testing.assert_array_equal(ab.interp(ab.x), ab.values)
    np.testing.assert_allclose(ab.interp(cube.x), np.interp(cube.x, ab.x[::-1], ab.y[::-1]))
    assert np.isnan(ab.interp([5000.0, 100.0])).all()  # np.interp would repeat the end values
    assert cube.interp([1601.0, 1500.0]).shape == (6, 8, 2)
    np.testing.assert_array_equal(cube.interp(cube.x[5]), cube.values[..., 5])
    up = vesk.read(spectrum_file([1.0, 3.0, 2.0], {"FXV": 400.0, "LXV": 800.0}).write(
        str(tmp_path / "up.vesk")))
    np.testing.assert_allclose(up.interp([500.0, 700.0, 401.0]), [2.0, 2.5, 1.01])
    traces = vesk.read(write(tmp_path, "time-resolved traces")[0])  # along their times
    np.testing.assert_array_equal(traces.interp(150.0), [0.5, 10.5, 20.5])
    with pytest.raises(TypeError, match="traces"):
        vesk.read(write(tmp_path, "image traces")[0]).interp(150.0)
    for wrong in ("1650", ["1650"], None, [1650.0, None], True):  # not NaN, nor 1650
        with pytest.raises(TypeError, match="x values are numbers"):
            ab.interp(wrong)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_every_kind_lists_and_reads_as_veskread(tmp_path, kind):
    path, key = write(tmp_path, kind)
    raw = veskread.getVeskData(path, key)
    with vesk.open(path) as f:
        block = f.block(key)
        obj = f[key]
        assert [b.key for b in f.blocks] == [key]  # trace blocks listed twice, shown once
    assert (block.key, block.name, block.kind) == (key, "/".join(key), kind)
    # described without the class's __init__: every field, as it would set them
    made = dataclasses.replace(block)
    assert list(vars(made).items()) == list(vars(block).items()) and hash(made) == hash(block)
    assert type(obj) is CLASSES[kind] and obj.block == block
    assert block.shape == obj.values.shape == np.shape(obj.values) == obj.shape
    assert block.points == raw.parameters["NPT"]
    assert block.x_range == (raw.parameters["FXV"], raw.parameters["LXV"])
    assert len(obj.dims) == obj.values.ndim
    for name, (dims, array) in obj.coords.items():
        assert [obj.values.shape[obj.dims.index(d)] for d in dims] == list(np.shape(array)), name
    expected = region_values(raw) if "multiregion" in kind else getattr(raw, RAW_VALUES[kind])
    if kind == "multiregion map":  # its point without a stored spectrum: veskread's zeros, NaN
        missing = np.isnan(obj.values).all(axis=1)
        assert missing.sum() == block.unfilled == 1 and not expected[missing].any()
        expected[missing] = np.nan
        # at the table's position, where reading gives (0, 0)
        assert [obj.coords[c][1][missing].tolist() for c in ("map_x", "map_y")] == [[5], [6]]
    np.testing.assert_array_equal(obj.values, expected)
    assert obj.values.dtype == expected.dtype
    assert dict(obj.parameters) == raw.parameters
    np.testing.assert_array_equal(obj.x, raw.x)


@pytest.mark.parametrize("kind", sorted(RAW_VALUES))
def test_objects_hold_the_arrays_read_not_copies(tmp_path, kind):
    path, key = write(tmp_path, kind)
    obj = vesk.read(path, key)
    assert obj.values is getattr(obj.raw, RAW_VALUES[kind])
    assert np.asarray(obj) is obj.values and np.mean(obj) == np.mean(obj.values)
    assert obj == obj and obj != vesk.read(path, key)  # by identity, never an array's truth
    assert obj.parameters == obj.raw.parameters
    with pytest.raises(TypeError):
        obj.parameters["NPT"] = 1


@pytest.mark.parametrize("dtype, copy, shares", [
    (None, None, True), (None, False, True), ("float32", False, True), (None, True, False),
    ("float64", None, False), ("float64", True, False), ("float64", False, None)])
def test_array_protocol_copies_as_asked(tmp_path, dtype, copy, shares):
    obj = vesk.read(*write(tmp_path, "image map"))
    if shares is None:  # a copy needed and refused
        with pytest.raises(ValueError):
            obj.__array__(dtype, copy=copy)
        return
    got = obj.__array__(dtype, copy=copy)
    assert np.shares_memory(got, obj.values) == shares
    np.testing.assert_array_equal(got, obj.values)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_coordinates_of_a_shared_object_cannot_be_replaced(tmp_path, kind):
    obj = vesk.read(*write(tmp_path, kind))
    with pytest.raises(TypeError):
        obj.coords[obj.dims[-1]] = ((obj.dims[-1],), np.zeros(1))


def test_multiregion_points_keep_their_regions(tmp_path):
    key = ("AB", "3D", "NONE")  # every point measured: the regions are the arrays read
    path = file_3d(_spectra(4), dict(BASE_3D), anno=_anno()).write(str(tmp_path / "m.vesk"))
    obj = vesk.read(path, key)
    assert [r.title for r in obj.regions] == [r.title for r in obj.raw.regions]
    assert all(r.values is raw.spectra for r, raw in zip(obj.regions, obj.raw.regions))
    sizes = [len(r.values) for r in obj.regions]
    assert obj.coords["region"][1].tolist() == np.repeat(range(len(sizes)), sizes).tolist()
    assert obj.coords["region_title"][1].tolist() == [r.title for r in obj.regions
                                                      for _ in range(len(r.values))]
    np.testing.assert_array_equal(obj.coords["map_x"][1],
                                  np.concatenate([r.mapX for r in obj.raw.regions]))


def test_regions_join_bit_for_bit(tmp_path):
    # Unrecorded points (Fileindex 99, 98) are left as zero pages, not copied;
    # group 3 is a region of no points.
    rows = [(1, 0, 3, 1, 0, 0, 0.0, 0.0), (1, 0, 0, 0, 0, 99, 1.0, 0.0),
            (1, 0, 0, 0, 0, 1, 2.0, 0.0), (3, 0, 0, 0, 1, 0, 9.0, 9.0),
            (2, 0, 2, 1, 0, 2, 5.0, 6.0), (2, 0, 0, 0, 0, 98, 5.0, 7.0)]
    blocks = [stored_block(v) for v in ([-0.0, math.nan, 1.0, 2.0], [3.0, -0.0, 0.0, 4.0],
                                        [0.0, 0.0, 0.0, -0.0])]
    vf = file_3d(store_block(blocks, block_size=16), dict(BASE_3D),
                 anno=annotation_block([table_subblock(COLS, rows)]))
    obj = vesk.read(vf.write(str(tmp_path / "r.vesk")), "AB")
    bits = region_values(obj.raw).view(np.uint32)
    assert sorted(len(r.values) for r in obj.regions) == [0, 2, 3]
    missing = np.isnan(obj.values).all(axis=1)  # the unrecorded; the arrays read keep 0
    assert missing.sum() == 2 and not bits[missing].any()
    assert obj.values[~missing].view(np.uint32).tolist() == bits[~missing].tolist()
    assert all(np.shares_memory(r.values, obj.values) for r in obj.regions if len(r.values))


# Copied whole, region by region, or row by row around an unmeasured point:
# reading leaves that one as zero pages (a damaged file may declare gigabytes),
# which are not touched.
@pytest.mark.parametrize("unmeasured", [None, [], [1]])
def test_regions_join_as_concatenated_bits(unmeasured):
    from vesk._objects import _stacked
    parts = [np.array([[-0.0, np.nan], [7.0, 7.0]], np.float32), np.zeros((0, 2), np.float32),
             np.array([[1.0, -0.0]], np.float32)]
    masks = None if unmeasured is None else [
        ~np.isin(np.arange(2), unmeasured), np.zeros(0, bool), np.ones(1, bool)]
    expected = np.concatenate(parts)
    expected[unmeasured or []] = 0
    out = _stacked(parts, 2, masks)
    assert out.view(np.uint32).tolist() == expected.view(np.uint32).tolist()


def test_map_of_text_geometry_is_listed_unreadable(tmp_path):
    params = {**BASE_3D, **MAP, "DDX": "2.5"}
    with vesk.open(file_3d(_spectra(6), params).write(str(tmp_path / "t.vesk"))) as f:
        assert f.blocks[0].problem == "parameter 'DDX' is text, not a number"
        with pytest.raises(vesk.FormatError, match="'DDX' is text, not a number$") as e:
            f["AB"]
    assert "unsupported operand" in str(e.value.__cause__)  # the low-level reader's words


@pytest.mark.parametrize("cut", [0, 3, 6, 17])
def test_spectrum_ending_early_is_a_shorter_array_listed_as_such(tmp_path, cut):
    vf = VeskFile()
    vf.add(param_block({"NPT": 5, "FXV": 1.0, "LXV": 5.0, "MXY": 1.0, "MNY": 0.0}),
           data_type=4, sample_type=3, param_type=1)
    vf.add(float32_block([1, 2, 3, 4, 5]), data_type=4, sample_type=3)
    data = vf.build()
    path = tmp_path / "short.vesk"
    path.write_bytes(data[:len(data) - 20 + cut])
    with vesk.open(path) as f, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert f.blocks[0].shape == (cut // 4,)
        assert f["AB"].values.tolist() == [1, 2, 3, 4, 5][:cut // 4]
    assert [str(w.message) for w in caught] == [
        "%s: AB/2D/NONE: the file ends early: it holds %d of NPT 5 values" % (path, cut // 4)]


@pytest.mark.parametrize("words, warned", [(5, False), (3, True), (-1, False)])
def test_spectrum_running_past_its_block_warns(tmp_path, capsys, words, warned):
    vf = spectrum_file([1, 2, 3, 4, 5])
    vf.blocks[0]["size_words"] = words
    path = vf.write(str(tmp_path / "over.vesk"))
    with vesk.open(path) as f, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        y = f["AB"].values
    assert y[:3].tolist() == [1, 2, 3]  # still read as the file has it
    assert [str(w.message) for w in caught] == (
        ["%s: AB/2D/NONE: NPT 5 runs past the data block's 12 bytes: the last 2 of the 5 "
         "values are read from whatever follows it" % path] if warned else [])
    assert vesk_cli(["ls", "--json", path]) == 0
    out, err = capsys.readouterr()
    assert ("vesk: warning: %s: AB/2D/NONE: NPT 5 runs past" % path in err) == warned
    assert (json.loads(out)[0]["blocks"][0]["warning"] is not None) == warned


@pytest.mark.parametrize("layout", ["stopped early", "neither"])
def test_map_points_without_a_stored_spectrum_warn(tmp_path, layout):
    from hostile_files import aborted_image_map
    path = tmp_path / "stopped.vesk"
    if layout == "neither":  # blocks of 3 values where NPT is 2, and not 2 of them
        blocks = [stored_block([1.0] * 3) for _ in range(5)]
        file_3d(store_block(blocks, block_size=12),
                {**BASE_3D, **MAP, "NPT": 2, "NPX": 4, "NPY": 4}).write(str(path))
        expected, missing = ("its 5 stored blocks are neither spectra of NPT values nor NPT "
                             "planes: all its 16 points read as NaN"), 16
    else:
        path.write_bytes(aborted_image_map(npx=4, npy=4, npt=2, recorded=3)[0])
        expected, missing = "13 of the map's 16 points hold no stored spectrum: they read as NaN", 13
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning) as caught:
        assert f.blocks[0].warning == expected
        data = f.get("AB")
        assert f.get("TRC") is None
        with pytest.raises(TypeError):
            f.get(None)
    values = data.values
    assert data.warning == expected and repr(data).endswith("\n  warning: " + expected)
    assert str(caught[0].message) == "%s: AB/3D/NONE: %s" % (path, expected)
    assert np.isnan(values.reshape(16, 2)).all(axis=1).sum() == missing
    assert np.isnan(values.reshape(16, 2)[16 - missing:]).all()


def test_a_map_of_planes_stopped_early_reads_the_others_as_nan(tmp_path):
    planes = [stored_block([k * 10.0 + p for p in range(6)]) for k in range(2)]
    path = file_3d(store_block(planes, block_size=24, stored_blocks=NPT),
                   {**BASE_3D, **MAP}).write(str(tmp_path / "planes.vesk"))
    expected = "only 2 of its NPT 4 planes are stored: the values of the other 2 read as NaN"
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning, match=expected):
        assert f.blocks[0].warning == expected
        values = f["AB"].values
    assert np.isnan(values[..., 2:]).all()
    np.testing.assert_array_equal(values[..., :2].reshape(6, 2).T, [[p for p in range(6)],
                                                                    [10 + p for p in range(6)]])
    rows = read_map_rows(path, f.blocks[0], 1, 2)
    np.testing.assert_array_equal(rows[0], values[1])


@pytest.mark.parametrize("kind", ["image map", "time-resolved series"])
@pytest.mark.parametrize("cut_bytes, whole", [(1, 6), (50, 5), (190, 5), (590, 3), (1190, 0)])
def test_a_recording_cut_short_reads_its_whole_spectra(tmp_path, kind, cut_bytes, whole):
    # Six stored blocks of 16 value bytes and 184 info bytes (a time at 152..160)
    # end the file: cutting 50 loses the last time, 190 its values too.
    vf, key = KINDS[kind]() if kind == "image map" else (
        file_3d(_spectra(6), {**BASE_3D, "DXU": "WN"}), ("AB", "3D", "NONE"))
    data = vf.build()
    full = veskread.getVeskData(vf.write(str(tmp_path / "full.vesk")), key)
    path = tmp_path / "cut.vesk"
    path.write_bytes(data[:-cut_bytes])
    if kind == "image map":
        whole = 6 if cut_bytes == 50 else whole  # a map needs no time
    with vesk.open(path) as f, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        block, obj = f.block(key), f[key]
    assert block.cut == 6 - whole and len(caught) == (whole < 6)
    if kind == "image map":
        expected = full.spectra.copy()
        expected.reshape(6, NPT)[whole:] = np.nan
        np.testing.assert_array_equal(obj.values, expected)
        assert [obj.map_x.tolist(), obj.map_y.tolist()] == [full.mapX.tolist(), full.mapY.tolist()]
    else:
        np.testing.assert_array_equal(obj.values, full.spectra[:whole])
        assert obj.time.tolist() == full.z[:whole].tolist() and block.shape == (whole, NPT)
    assert obj.x.tolist() == full.x.tolist()
    if whole < 6:
        assert "the file ends early: %d of its 6 stored spectra %s cut off" % (
            6 - whole, "is" if whole == 5 else "are") in str(caught[0].message)
        assert obj.raw is None
        with pytest.raises((ValueError, struct.error)):
            veskread.getVeskData(str(path), key)  # the low-level reader refuses it whole
    if kind == "image map":
        xr = pytest.importorskip("xarray")
        pytest.importorskip("dask")  # chunks={...} asks xarray for Dask arrays
        from vesk.xarray_backend import VeskBackendEntrypoint  # registered or not
        with pytest.warns(vesk.VeskWarning) if whole < 6 else warnings.catch_warnings():
            ds = xr.open_dataset(path, engine=VeskBackendEntrypoint, group="AB/3D/NONE",
                                 chunks={"y": 1})
        np.testing.assert_array_equal(ds["AB_3D_NONE"].values, obj.values)


@pytest.mark.parametrize("kind, whole", [("time-resolved traces", 2), ("image traces", 1)])
def test_traces_cut_short_read_their_whole_traces(tmp_path, kind, whole):
    vf, key = KINDS[kind]()
    full = veskread.getVeskData(vf.write(str(tmp_path / "full.vesk")), key)
    path = tmp_path / "cut.vesk"
    path.write_bytes(vf.build()[:-193])  # into the last trace's values, which go last
    with pytest.raises(ValueError):
        veskread.getVeskData(str(path), key)
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning) as caught:
        obj = f[key]
    stored = whole + 1
    assert str(caught[0].message).endswith(
        "the file ends early: 1 of its %d stored traces is cut off; the other %d %s read"
        % (stored, whole, "is" if whole == 1 else "are"))
    expected = full.traces[..., :whole] if kind == "image traces" else full.traces[:whole]
    np.testing.assert_array_equal(obj.values, expected)
    assert obj.labels == full.labels[:whole] and obj.raw is None
    assert obj.block.cut == 1 and obj.values.shape == obj.block.shape


@pytest.mark.parametrize("kind, last, kept, read", [
    ("time-resolved traces", "three", 2, "th"), ("time-resolved traces", "three", 0, ""),
    ("multiregion traces", "q", 0, "")])
def test_a_trace_name_cut_by_the_end_of_the_file_is_told(tmp_path, kind, last, kept, read):
    vf, key = KINDS[kind]()
    data = vf.build()
    path = tmp_path / "cut.vesk"
    path.write_bytes(data[:data.rfind(last.encode()) + kept])  # the last name goes last
    labels = veskread.getVeskData(str(path), key).labels
    assert labels[-1] == read  # silently
    with vesk.open(path) as f, pytest.warns(
            vesk.VeskWarning, match="the file ends early: the name of 1 trace is cut short"):
        assert f[key].labels == labels and f.block(key).cut_names == 1


def test_a_series_read_as_listed_while_its_file_grows(tmp_path):
    data = file_3d(_spectra(6), {**BASE_3D, "DXU": "WN"}).build()
    path = tmp_path / "growing.vesk"
    path.write_bytes(data[:-590])
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning, match="the other 3 are read"):
        path.write_bytes(data)  # the recording goes on after the listing
        assert f["AB"].values.shape == (3, NPT)


def test_a_map_rewritten_after_listing_keeps_the_files_bound(tmp_path):
    # Listed as a mostly unmeasured map of spectra; read as one of planes,
    # each writing a value into every point's spectrum: 164 MB of pages.
    path = tmp_path / "rewritten.vesk"
    path.write_bytes(hf.aborted_image_map(npx=100, npy=100, npt=4096, recorded=1)[0])
    with vesk.open(path) as f, warnings.catch_warnings():
        warnings.simplefilter("ignore", vesk.VeskWarning)
        path.write_bytes(hf.aborted_plane_map(npx=100, npy=100, npt=4096, recorded=1)[0])
        with pytest.raises(vesk.FormatError, match="stored blocks that touch"):
            f["AB"]


def test_a_map_too_large_for_nan_reads_its_missing_points_as_zero_pages(tmp_path):
    blocks = [stored_block([1.0] * NPT) for _ in range(2)]
    data = file_3d(store_block(blocks, block_size=4 * NPT),
                   {**BASE_3D, **MAP, "NPX": 1 << 12, "NPY": 1 << 12}).build()
    path = tmp_path / "huge.vesk"
    path.write_bytes(data[:-190])
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning, match="points read as 0$"):
        assert (f.blocks[0].cut, f.blocks[0].fill) == (1, 0)
        values = f["AB"].values  # 256 MiB declared, of which one spectrum is stored
    assert values[0, 0].tolist() == [1.0] * NPT and not values[0, 1].any()


def test_region_points_without_a_stored_spectrum_warn(tmp_path):
    from hostile_files import unrecorded_region
    path = tmp_path / "regions.vesk"
    path.write_bytes(unrecorded_region(points=20, npt=4, regions=2)[0])
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning, match="20 of the map's 20 points "
                                           "hold no stored spectrum: they read as NaN, at the "
                                           "annotation table's map position"):
        assert f.blocks[0].unfilled == 20
        data = f["AB"]
    for array in (data.values, data.coords["start_time"][1]):
        assert np.isnan(array).all()
    assert data.coords["map_x"][1].tolist() == list(range(20))
    path.write_bytes(unrecorded_region(points=2000, npt=100_000)[0])  # NaN would take 800 MB
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning, match="read as 0, at map position"):
        assert f.blocks[0].fill == 0 and not f["AB"].values.any()


def test_unmeasured_region_points_found_in_the_regions_read_order(tmp_path):
    # Reading orders regions as a set of their groups: 1 before 3, which the table names first.
    rows = [(3, 0, 2, 1, 0, 0, 0.0, 0.0), (3, 0, 0, 0, 0, 1, 1.0, 0.0),
            (1, 0, 1, 1, 0, 99, 7.0, 7.0)]
    vf = file_3d(_spectra(2), dict(BASE_3D), anno=annotation_block([table_subblock(COLS, rows)]))
    with pytest.warns(vesk.VeskWarning, match="1 of the map's 3 points holds no stored spectrum"):
        data = vesk.read(vf.write(str(tmp_path / "r.vesk")), "AB")
    assert [r.title for r in data.regions] == ["Region 1 (1 x 1)", "Region 3 (2 x 1)"]
    assert np.isnan(data.regions[0].values).all() and data.regions[0].map_x.tolist() == [7.0]
    assert data.regions[1].values.tolist() == [_values(0), _values(1)]
    # read past a cut block too, in the same order
    (tmp_path / "r.vesk").write_bytes(vf.build()[:-45])
    with pytest.warns(vesk.VeskWarning, match="1 of its 2 stored spectra is cut off"):
        cut = vesk.read(tmp_path / "r.vesk", "AB")
    assert [r.title for r in cut.regions] == [r.title for r in data.regions]
    np.testing.assert_array_equal(cut.values[:2], data.values[:2])
    assert np.isnan(cut.values[2]).all() and cut.coords["map_x"][1].tolist() == [7, 0, 1]


def test_unreadable_block_is_listed_with_its_problem(tmp_path):
    vf = spectrum_file([1.0, 2.0], {"NPT": 2})
    path = vf.write(str(tmp_path / "p.vesk"))
    broken = VeskFile()
    broken.add(float32_block([1.0]), data_type=4, sample_type=3)  # no parameter block
    bpath = broken.write(str(tmp_path / "b.vesk"))
    with vesk.open(bpath) as f:
        (b,) = f.blocks
        assert b.kind == vesk.UNREADABLE and b.shape == ()
        assert "No data block exists in the file for: AB 2D NONE" in b.problem
        assert repr(f).splitlines()[1].split(None, 2)[:2] == ["AB/2D/NONE", "unreadable"]
        with pytest.raises(vesk.FormatError, match="b.vesk: block AB/2D/NONE"):
            f["AB/2D/NONE"]
    assert vesk.read(path, "AB").values.tolist() == [1.0, 2.0]


@pytest.mark.parametrize("case, problem", [
    ("missing MXY", "missing entry 'MXY'"),
    ("unreadable type", "blocks of type SC cannot be read"),
    ("cut", "file ends early: needed 8 bytes"),
])
def test_listing_and_reading_word_a_problem_alike(tmp_path, case, problem):
    vf = spectrum_file([1.0, 2.0], {"NPT": 2}, data_type=1 if case == "unreadable type" else 4)
    if case == "missing MXY":
        vf.blocks[1]["payload"] = param_block({"NPT": 2, "FXV": 1.0, "LXV": 2.0, "MNY": 0.0})
    data = vf.build()
    if case == "cut":  # inside the parameter block, which comes last
        data = data[:len(data) - 10]
    path = tmp_path / "p.vesk"
    path.write_bytes(data)
    with vesk.open(path) as f:
        listed = f.blocks[0].problem
        with pytest.raises(vesk.FormatError) as read:
            f[f.blocks[0].key]
    assert listed.startswith(problem) and problem in str(read.value)
    assert "(at byte" not in listed  # its offset is given once
    # The reader's note names the file, not the descriptor it was read through.
    notes = getattr(read.value.__cause__, "__notes__", [])
    assert case != "cut" or (notes and all(repr(str(path)) in note for note in notes))


@pytest.mark.parametrize("geometry, problem", [
    ({"NPX": 0}, "modulo"),
    ({"NPY": 1}, "the file stores more blocks than its 1 x 3 map has points "
                 "(index 1 is out of bounds for axis 0 with size 1)")])
def test_map_blocks_that_cannot_be_placed_are_listed_unreadable(tmp_path, geometry, problem):
    path = file_3d(_spectra(6), {**BASE_3D, **MAP, **geometry}).write(str(tmp_path / "m.vesk"))
    with vesk.open(path) as f:
        assert f.blocks[0].kind == vesk.UNREADABLE and problem in f.blocks[0].problem
        with pytest.raises(Exception, match=re.escape(problem)):
            f["AB"]


def test_region_points_past_the_traces_values_are_listed_unreadable(tmp_path):
    # Fileindex 3 names a third value of traces that hold two.
    path = file_3d(_traces(["p", "q"], npt=2), {**BASE_3D, "NPT": 2}, data_type=7,
                   anno=_anno()).write(str(tmp_path / "mr.vesk"))
    problem = "index 2 is out of bounds for axis 1 with size 2"
    with pytest.raises(IndexError, match=problem):
        veskread.getVeskData(path, ("TRC", "3D", "NONE"))
    with vesk.open(path) as f:
        assert (f.blocks[0].kind, f.blocks[0].problem) == (vesk.UNREADABLE, problem)


def test_find_lists_a_folders_vesk_files_in_name_order(tmp_path):
    data = tmp_path / "data"
    for name in ("run.10", "run.2", "sub/x.vesk"):
        (data / name).parent.mkdir(parents=True, exist_ok=True)
        spectrum_file([1.0]).write(str(data / name))
    (data / "notes.txt").write_text("passed over")
    (data / "bad.vesk").write_text("named as a measurement, so reported")
    (data / "crashed.0").write_bytes(b"")
    (data / "out").symlink_to(tmp_path, target_is_directory=True)
    (data / "sub" / "y.vesk").symlink_to(data / "run.2")  # one file, found once
    (data / "a_latest.vesk").symlink_to(data / "run.10")  # by its own name, where it lies
    os.link(data / "run.2", data / "sub" / "z.0")
    # hidden, as a shell's * has them: a share's snapshots, another system's side files
    (data / ".snapshot" / "hourly.0").mkdir(parents=True)
    spectrum_file([1.0]).write(str(data / ".snapshot" / "hourly.0" / "run.2"))
    (data / "sub" / "._x.vesk").write_bytes(b"\0\5\26\7")
    (data / ".versions" / "3").mkdir(parents=True)  # reached only by a link: followed
    spectrum_file([1.0]).write(str(data / ".versions" / "3" / "run.5"))
    (data / "current").symlink_to(data / ".versions" / "3", target_is_directory=True)
    with pytest.warns(vesk.FindWarning) as caught, warnings.catch_warnings():
        warnings.simplefilter("error", vesk.VeskWarning)  # strict about values, not the walk
        found = vesk.find(os.fsencode(data))
    assert found == [str(data / n) for n in ("current/run.5", "run.2", "run.10", "sub/x.vesk")]
    assert sorted(str(w.message).split(": ", 1)[1] for w in caught) == [
        "links out of %s; not followed" % data, "not a VESK file: it is empty (0 bytes); skipped",
        "not a VESK file; skipped", "the same file as %s; skipped" % (data / "run.2")]
    assert {w.filename for w in caught} == {__file__}  # the caller's line
    with pytest.raises(FileNotFoundError):
        vesk.find(tmp_path / "missing")


def test_find_warns_of_a_name_without_driving_the_terminal(tmp_path):
    (tmp_path / "bad\x1b[2J.vesk").write_text("a colleague's odd name")
    with pytest.warns(vesk.FindWarning, match=re.escape("bad\\x1b[2J.vesk: not a VESK file")):
        assert vesk.find(tmp_path) == []


def refused_before_any_value(case):
    if case == "negative region":  # sizes sum to a positive count; reading refuses the first
        rows = [(1, 0, -2, 1, 0, 1, 0.0, 0.0), (2, 0, 3, 1, 0, 3, 5.0, 6.0)]
        return file_3d(_spectra(3), dict(BASE_3D),
                       anno=annotation_block([table_subblock(COLS, rows)])), "region 1 declares -2 points"
    if case == "negative count":
        return file_3d(_spectra(6), {**BASE_3D, **MAP, "NPY": -3}), "NPY is -3: a count of"
    if case == "axis past any file":
        return spectrum_file([1.0, 2.0], {"NPT": 10 ** 8}), "NPT declares 100000000 values"
    return file_3d(_spectra(6), {**BASE_3D, **MAP, "NPY": 10 ** 8}), "NPY declares 100000000"


@pytest.mark.parametrize("case", ["negative region", "negative count", "axis past any file",
                                  "map rows"])
def test_block_that_reading_refuses_is_listed_unreadable(tmp_path, case):
    vf, message = refused_before_any_value(case)
    with vesk.open(vf.write(str(tmp_path / "n.vesk"))) as f:
        (b,) = f.blocks
        assert b.kind == vesk.UNREADABLE and b.problem.startswith(message)
        with pytest.raises(vesk.FormatError, match=message):
            f[b.key]


def refused_while_read(case):
    """A block the outline used to list as readable, which reading refuses
    only once it walks the stored blocks or the regions' cells."""
    named = [stored_block(_values(k), info_size=16) for k in range(2)]
    if case == "names past a small info part":
        return file_3d(store_block(named, block_size=16, info_size=16), BASE_3D, data_type=7), \
            "read length must be non-negative"
    if case == "region names past a small info part":
        return file_3d(store_block(named, block_size=16, info_size=16), BASE_3D, data_type=7,
                       anno=_anno()), "read length must be non-negative"
    if case == "no layout, blocks before the start":
        data = store_block([stored_block(_values(0))], block_size=-1, raw_offset=-10 ** 5)
        return file_3d(data, {**BASE_3D, **MAP}), "lies before its start"
    if case == "map filled past the file's bound":
        return hf.zero_stride(npt=4000, count=5000, image_map=True)[0], "stored blocks that fill"
    if case == "text x axis":
        return file_3d(_spectra(2), {**BASE_3D, "FXV": "a"}), "parameter 'FXV' is text"
    return file_3d(_spectra(3), BASE_3D, anno=annotation_block([table_subblock(COLS[:7], [
        row[:7] for row in [(1, 0, 2, 1, 0, 1, 0.0), (1, 0, 0, 0, 0, 2, 1.0)]])])), \
        "missing entry 'Y'"


@pytest.mark.parametrize("case", ["names past a small info part",
                                  "region names past a small info part",
                                  "no layout, blocks before the start",
                                  "map filled past the file's bound", "text x axis",
                                  "region without Y"])
def test_block_that_reading_refuses_midway_is_listed_unreadable(tmp_path, case):
    vf, message = refused_while_read(case)
    path = tmp_path / "w.vesk"
    path.write_bytes(vf if isinstance(vf, bytes) else vf.build())
    with vesk.open(path) as f:
        (b,) = f.blocks
        with pytest.raises(Exception):
            veskread.getVeskData(str(path), b.key)
        assert b.kind == vesk.UNREADABLE and message in b.problem
        with pytest.raises(vesk.FormatError, match=re.escape(b.problem)):
            f[b.key]


@pytest.mark.parametrize("traces", [False, True])
@pytest.mark.parametrize("text", ["1_0", " 2 ", "abc", "0x10"])
def test_region_text_coordinates_are_listed_as_numpy_takes_them(tmp_path, text, traces):
    cols = COLS[:6] + [("Y", TYPE_FLOAT), ("X", TYPE_TEXT)]
    rows = [(1, 0, 2, 1, 0, 1, 0.0, text), (1, 0, 0, 0, 0, 2, 1.0, "3")]
    anno = annotation_block([table_subblock(cols, rows)])
    vf = file_3d(_traces(["a", "b"], npt=2), {**BASE_3D, "NPT": 2}, data_type=7, anno=anno) \
        if traces else file_3d(_spectra(3), BASE_3D, anno=anno)
    path = vf.write(str(tmp_path / "t.vesk"))
    with vesk.open(path) as f:
        (b,) = f.blocks
        try:
            veskread.getVeskData(path, b.key)
        except ValueError as e:
            assert (b.kind, b.problem) == (vesk.UNREADABLE, str(e))
        else:
            assert b.kind != vesk.UNREADABLE and f[b.key].values.shape == b.shape


def test_a_refused_seek_is_told_as_the_listing_tells_the_block():
    refused = OSError(errno.EINVAL, "Invalid argument")
    with pytest.raises(vesk.FormatError, match="^p: block AB: region runs past the table$"):
        raise_translated(refused, "p", "AB", 10, listed="region runs past the table")


@pytest.mark.parametrize("kind", ["time-resolved series", "time-resolved traces"])
def test_a_cut_block_with_some_map_keys_reads_as_its_kind(tmp_path, kind):
    vf = file_3d(_spectra(3) if kind == "time-resolved series" else _traces(["a", "b", "c"]),
                 {**BASE_3D, "NPX": 3, "AOX": 1.0}, data_type=4 if "series" in kind else 7)
    path = tmp_path / "c.vesk"
    path.write_bytes(vf.build()[:-193])
    with vesk.open(path) as f, pytest.warns(vesk.VeskWarning, match="the other 2 are read"):
        assert f.blocks[0].kind == kind
        assert f[f.blocks[0].key].values.shape == (2, NPT)


def offsets_before_the_start(which):
    if which == "block":
        blocks = [stored_block(_values(k)) for k in range(6)]
        return file_3d(store_block(blocks, block_size=4 * NPT, raw_offset=-10 ** 5),
                       {**BASE_3D, **MAP})
    vf = spectrum_file([1.0, 2.0])
    add_image_block(vf, one_image(extra=[("F00", -10 ** 6)]))
    return vf


@pytest.mark.parametrize("which", ["block", "pictures"])
def test_offset_before_the_start_is_a_format_error(tmp_path, which):
    path = offsets_before_the_start(which).write(str(tmp_path / "o.vesk"))
    with vesk.open(path) as f, pytest.raises(vesk.FormatError, match="lies before its start"):
        f["AB/3D"] if which == "block" else f.images()


@pytest.mark.parametrize("make", [str, os.fsencode, pathlib.Path])
def test_path_types(tmp_path, make):
    path, key = write(tmp_path, "spectrum")
    with vesk.open(make(path)) as f:
        assert f.path == path
        assert f[key].values.tolist() == [1, 2, 3, 4, 5]
    assert vesk.read(make(path), "AB/2D/NONE").block.name == "AB/2D/NONE"


def test_keys_and_short_forms(tmp_path):
    path = str(tmp_path / "s.vesk")
    shutil.copy(os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk"), path)
    with vesk.open(path) as f:
        assert f.keys() == ["AB/2D/NONE", "AB/3D/NONE", "SSC/2D/NONE", "RSC/2D/NONE"]
        assert f.block(("AB", "3D", "NONE")) is f.block("ab/3d/none") is f.block("AB/3D")
        assert f.blocks[1] is f.block("AB/3D")  # described once, whichever asks first
        f.blocks.sort(key=lambda b: b.name)  # the caller's list, not the file's
        assert [b.name for b in f.blocks] == f.keys()
        assert f.block("SSC").name == "SSC/2D/NONE"
        assert "AB/2D" in f and "XX" not in f
        # a listed Block is its own key, as `for b in f.blocks: f[b]` uses it
        assert all(b in f and f[b].block is b for b in f.blocks)
        assert vesk.read(path, f.blocks[2]).block.name == "SSC/2D/NONE"
        assert [(k, v.block.name) for k, v in f.items()] == [(k, k) for k in f]
        assert [v.block.name for v in f.values()] == f.keys()
        with pytest.raises(vesk.AmbiguousBlockError) as e:
            f["AB"]
        assert str(e.value) == ("%s: AB names 2 blocks (AB/2D/NONE, AB/3D/NONE); give the full"
                                " key" % path)
        with pytest.raises(KeyError) as e:
            f["TR/2D/NONE"]
        assert str(e.value) == ("%s: no block TR/2D/NONE; the file has: AB/2D/NONE, AB/3D/NONE,"
                                " SSC/2D/NONE, RSC/2D/NONE" % path)
        with pytest.raises(TypeError):
            f[1]
        with pytest.raises(KeyError, match="^%s: not a block key" % path):
            f["AB/2D/NONE/"]
        with pytest.raises(vesk.BlockNotFoundError, match="has 4 blocks \\(AB/2D/NONE,"):
            f.block()
        for copy_of in (pickle.dumps, copy.copy):  # its descriptor means nothing elsewhere
            with pytest.raises(TypeError, match="pass its path"):
                copy_of(f)
    single = spectrum_file([1.0, 2.0]).write(str(tmp_path / "run.0"))
    assert vesk.read(single).values.tolist() == [1.0, 2.0]
    assert vesk.find(single) == [single]


@pytest.mark.parametrize("key, error", [
    (("ab", "3d", "none"), None), ("ab/3D/None", None), (("AB", "3D", b"NONE"), TypeError),
    (("AB", "3D"), TypeError), (("AB", "", "NONE"), KeyError), ("AB//NONE", KeyError)])
def test_key_forms(key, error):
    with vesk.open(os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk")) as f:
        if error is None:
            assert f.block(key).key == ("AB", "3D", "NONE")
        else:
            with pytest.raises(error):
                f.block(key)


def test_not_vesk_and_broken_directory_are_format_errors(tmp_path):
    junk = tmp_path / "junk.bin"
    junk.write_bytes(b"not a vesk file at all")
    with pytest.raises(vesk.FormatError) as e:
        vesk.open(junk)
    assert str(e.value) == "%s: not a VESK file" % junk and isinstance(e.value, ValueError)
    cut = tmp_path / "cut.vesk"
    cut.write_bytes(spectrum_file([1.0]).build()[:30])
    with pytest.raises(vesk.FormatError,
                       match=r"cut\.vesk: file ends early: needed 4 bytes at offset 28, found 2$"):
        vesk.open(cut)


MAPPING = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples",
                       "mapping.vesk")


def _socket_file(data):
    import socket
    import threading
    ours, theirs = socket.socketpair()
    threading.Thread(target=lambda: (theirs.sendall(data), theirs.close())).start()
    with ours:  # its file keeps it open till closed itself
        return ours.makefile("rb"), "<stream>"


@pytest.mark.parametrize("stream", [
    lambda data: (io.BytesIO(data), "<stream>"),
    _socket_file,  # no seeking, arriving in pieces
    lambda data: (open(MAPPING, "rb"), MAPPING),
])
def test_a_file_read_from_a_stream_reads_as_from_its_path(stream, no_fd_leak):
    data = open(MAPPING, "rb").read()
    source, name = stream(data)
    with source, vesk.open(source) as f, vesk.open(MAPPING) as whole:
        assert f.keys() == whole.keys()
        for key in whole:
            got, want = f[key], whole[key]
            np.testing.assert_array_equal(got.values, want.values)
            assert (dict(got.parameters), got.block.path) == (dict(want.parameters), name)
    for held in (data, bytearray(data), memoryview(data)):  # a file's bytes are not its path
        with pytest.raises(TypeError, match="io.BytesIO"):
            vesk.open(held)


@pytest.mark.parametrize("text", ["", "\n\n"])
def test_a_text_stream_is_refused_even_empty(text):
    with pytest.raises(TypeError, match="binary mode"):
        vesk.open(io.StringIO(text))


@pytest.mark.parametrize("position", ["end", 10])
def test_a_stream_not_rewound_is_said_to_be_read_from_where_it_stood(position):
    data = open(MAPPING, "rb").read()
    stream = io.BytesIO()
    stream.write(data)  # filled, then handed on without seek(0)
    if position != "end":
        stream.seek(position)
    with pytest.raises(vesk.FormatError, match="read from byte %d .*seek\\(0\\)" % stream.tell()):
        vesk.open(stream)


@pytest.mark.parametrize("content, key, error, block", [
    (b"junk", None, vesk.FormatError, None),
    (b"", None, vesk.FormatError, None),
    (spectrum_file([1.0]).build(), "SSC", vesk.BlockNotFoundError, "SSC"),  # the key asked for
    (open(MAPPING.replace("mapping", "sample"), "rb").read(), "ab", vesk.AmbiguousBlockError,
     "AB"),
    (VeskFile().build(), None, vesk.BlockNotFoundError, None),  # no block to name
    (open(MAPPING, "rb").read()[:30000], "TRC", vesk.FormatError, "TRC/3D/NONE"),  # cut short
    (spectrum_file([1.0, 2.0]).build().replace(b"NPT\0\0\0", b"NPT\0\x5d\0"), None,
     vesk.FormatError, "AB/2D/NONE"),  # a parameter type no record has
])
def test_errors_carry_file_and_block_through_processes(tmp_path, content, key, error, block):
    # a service reports them as fields, also when a worker process raised them
    path = tmp_path / "x.vesk"
    path.write_bytes(content)
    with pytest.raises(error) as raised:
        vesk.read(path, key)
    named = re.search(r"\b(?:offset|byte) (\d+)\b", str(raised.value))
    for e in (raised.value, pickle.loads(pickle.dumps(raised.value))):
        assert (type(e), e.path, e.block, str(e)) == (error, str(path), block, str(raised.value))
        assert e.offset == (int(named.group(1)) if named else None)
        assert str(e).endswith(": " + e.reason) and str(path) not in e.reason
        assert not e.reason.startswith("block ")  # for the sender: no path, block or offset
    assert not str(raised.value).endswith("no data blocks; name one")


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("cut, kept", [  # inside END, a number, the first text, before it
    (6, ["SNM", "CNM", "SRC"]), (14, ["SNM", "CNM"]), (38, []), (None, [])])
def test_a_cut_parameter_block_gives_the_values_it_does_not_hold(tmp_path, kind, cut, kept):
    vf, key = KINDS[kind]()
    sample = vf.add(param_block({"SNM": "sample", "CNM": "me", "SRC": 2}), param_type=10)
    whole = vf.build()
    path = tmp_path / "k.vesk"
    path.write_bytes(whole[:-cut] if cut else whole[:vf.offset_of(sample)])
    with pytest.raises(struct.error):
        veskread.getVeskData(str(path), key)
    with vesk.open(path) as f:
        block = f.block(key)
        with pytest.warns(vesk.VeskWarning, match="the parameter block at byte %d %s" % (
                vf.offset_of(sample), "runs past the end of the file: the parameters it holds after" if cut
                else "lies past the end of the file \\(%d bytes\\): the parameters it holds are missing"
                % vf.offset_of(sample))):
            obj = f[key]
    path.write_bytes(whole)
    with vesk.open(path) as f:
        expected = f[key]
    assert block.parameters_cut == vf.offset_of(sample) and obj.block.kind == kind
    assert list(block.parameters) == list(expected.parameters)[:len(block.parameters)]
    assert [k for k in ("SNM", "CNM", "SRC") if k in block.parameters] == kept
    np.testing.assert_array_equal(obj.values, expected.values)
    for name, (_, array) in expected.coords.items():
        np.testing.assert_array_equal(obj.coords[name][1], array)


def damaged(payload, key, how):
    """`payload` with the record of `key` damaged `how`: a type, key or size
    that no record has, or a type that reads its value and what follows
    from the wrong place; a key with a NUL within, whose message goes on
    past it."""
    at = payload.index(key)
    record = {"type": key + b"\0" + struct.pack("<h", 93), "key": b"\xff" + key[1:],
              "size": key + b"\0" + payload[at + 4:at + 6] + struct.pack("<h", -1),
              "misread": key + b"\0" + struct.pack("<h", 1),
              "NUL in key": key[:1] + b"\0" + key[2:] + b"\0" + struct.pack("<h", 93)}[how]
    return payload[:at] + record + payload[at + len(record):]


REFUSALS = {"type": (ValueError, "Unexpected value for reading parameter type: 93"),
            "key": (UnicodeDecodeError, "can't decode byte 0xff"),
            "size": (ValueError, "read length must be non-negative or -1")}


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("how, key", [("type", b"CNM"), ("key", b"CNM"), ("size", b"CNM"),
                                      ("misread", b"SRC"), ("NUL in key", b"CNM")])
def test_a_damaged_parameter_block_gives_the_values_without_its_parameters(tmp_path, kind, how,
                                                                          key):
    # As a cut does: a shared block's damaged record lost every block of the
    # file. None of its records is kept: SRC read as a float ran on through
    # END and the zeros after it to the end of the file, as a cut would.
    vf, data_key = KINDS[kind]()
    sample = vf.add(param_block({"SNM": "sample", "CNM": "me", "SRC": 0}), param_type=10)
    vf.add(bytes(48), param_type=5)  # merged with none
    path = vf.write(str(tmp_path / "whole.vesk"))
    with vesk.open(path) as f:
        expected = f[data_key]
    vf.blocks[sample]["payload"] = damaged(vf.blocks[sample]["payload"], key, how)
    path = vf.write(str(tmp_path / "k.vesk"))
    refusal = REFUSALS.get(how, (Exception, ""))
    with pytest.raises(refusal[0], match=refusal[1]):  # as ever
        veskread.getVeskData(path, data_key)
    with vesk.open(path) as f:
        block = f.block(data_key)
        with pytest.warns(vesk.VeskWarning, match=r"the parameter block at byte %d is damaged "
                          r"\(.*(offset|start of the block at byte) \d+.*\): the "
                          r"parameters it holds are missing" % vf.offset_of(sample)):
            obj = f[data_key]
    assert block.parameters_cut == vf.offset_of(sample) and obj.block.kind == kind
    assert not {"SNM", "CNM", "SRC"} & set(block.parameters)
    np.testing.assert_array_equal(obj.values, expected.values)


@pytest.mark.parametrize("how, key, problem", [
    ("cut short", b"NPX", "is cut short after some of a map's keys"),
    ("cut short", b"AOX", "is cut short before any of a map's keys: the block may be a map"),
    ("damaged", b"AOX", "unknown parameter type 93 for key 'AOX'")])
@pytest.mark.parametrize("kind", ["image map", "image traces"])
def test_a_map_whose_parameters_are_cut_before_its_keys_is_unreadable(tmp_path, kind, how, key,
                                                                      problem):
    # Read past the cut, it was a series of the map's points, warned of as
    # missing parameters only.
    vf, data_key = KINDS[kind]()
    vf.blocks.append(vf.blocks.pop(0))  # its parameter block last
    data = vf.build()
    params = vf.offset_of(len(vf.blocks) - 1)
    path = tmp_path / "m.vesk"
    if how == "damaged":
        vf.blocks[-1]["payload"] = damaged(vf.blocks[-1]["payload"], key, "type")
        vf.write(str(path))
    else:
        path.write_bytes(data[:params + vf.blocks[-1]["payload"].index(key) + 2])
    with vesk.open(path) as f:
        block = f.block(data_key)
        assert block.kind == vesk.UNREADABLE and problem in block.problem
        assert "(at byte" not in block.problem  # its offset is given once
        with pytest.raises(vesk.FormatError) as e:
            f[data_key]
    assert block.problem in str(e.value)


@pytest.mark.parametrize("key, shown", [
    (b"\x1b[2K", r"\x1b[2K"), (b"A\x00B", r"A\x00B"), (b"\tA", r"\tA"),
    (b"A\xc2\x9b", r"A\x9b"), (b"\xe2\x80\xae", r"\u202e"), (b"\xc3\xa9", "\u00e9")])
def test_a_key_in_a_message_drives_no_terminal(tmp_path, key, shown):
    # ESC[2K and a carriage return: a traceback's last line erased
    from vesk_writer import param_record
    vf = spectrum_file([1.0, 2.0])
    vf.blocks[1]["payload"] = param_block([param_record(key, 5, type_code=9)])
    with vesk.open(vf.write(str(tmp_path / "k.vesk"))) as f:
        assert "for key '%s' at offset" % shown in f.blocks[0].problem
        with pytest.raises(vesk.FormatError, match=re.escape("key '%s'" % shown)):
            f[f.blocks[0].key]


@pytest.mark.parametrize("cut", [193, 45])  # into the last spectrum's values; its time
def test_a_multiregion_map_cut_short_reads_its_whole_spectra(tmp_path, cut):
    path, key = write(tmp_path, "multiregion map")
    with pytest.warns(vesk.VeskWarning):
        full = vesk.read(path, key)
    data = pathlib.Path(path).read_bytes()
    pathlib.Path(path).write_bytes(data[:-cut])  # the last stored block goes last
    with pytest.raises((ValueError, struct.error)):
        veskread.getVeskData(path, key)
    with vesk.open(path) as f, pytest.warns(
            vesk.VeskWarning, match="1 of its 3 stored spectra is cut off; 2 of the map's 3 "
                                    "points read as NaN, at the annotation table's map position"):
        obj = f[key]
    expected = full.values.copy()
    expected[1] = np.nan  # its stored spectrum is the one cut
    np.testing.assert_array_equal(obj.values, expected)
    for name in ("map_x", "map_y", "region", "region_title"):
        np.testing.assert_array_equal(obj.coords[name][1], full.coords[name][1])
    assert np.isnan(obj.coords["start_time"][1][1:]).all() and obj.raw is None
    assert [r.title for r in obj.regions] == [r.title for r in full.regions]


@pytest.mark.parametrize("cut", [False, True])
@pytest.mark.parametrize("third, placed", [("3", 3.0), ("abc", math.nan)])
def test_text_positions_of_region_points_read_as_numbers(tmp_path, cut, third, placed):
    # The third point has no stored spectrum: its text is never stored by
    # reading, and one that is no number leaves it without a position.
    from writer_3d import INFO_SIZE, TYPE_TEXT
    cols = COLS[:6] + [("X", TYPE_TEXT), COLS[7]]
    rows = [(1, 0, 3, 1, 0, 0, "1.5", 0.0), (1, 0, 0, 0, 0, 1, " 2 ", 0.0),
            (1, 0, 0, 0, 0, 9, third, 0.0)]
    vf = file_3d(_spectra(2), dict(BASE_3D), anno=annotation_block([table_subblock(cols, rows)]))
    data = vf.build()
    path = tmp_path / "t.vesk"
    path.write_bytes(data[:-(INFO_SIZE - 140)] if cut else data)  # into the last time
    with pytest.warns(vesk.VeskWarning, match="cut off" if cut else "holds no stored spectrum"):
        obj = vesk.read(path, "AB")
    np.testing.assert_array_equal(obj.coords["map_x"][1], [1.5, 2.0, placed])


def test_multiregion_traces_cut_short_read_their_whole_traces(tmp_path):
    path, key = write(tmp_path, "multiregion traces")
    full = vesk.read(path, key)
    data = pathlib.Path(path).read_bytes()
    pathlib.Path(path).write_bytes(data[:-193])  # into the last trace, which goes last
    with pytest.raises(ValueError):
        veskread.getVeskData(path, key)
    with vesk.open(path) as f, pytest.warns(
            vesk.VeskWarning, match="1 of its 2 stored traces is cut off; the other 1 is read$"):
        obj = f[key]
    np.testing.assert_array_equal(obj.values, full.values[:, :1])
    assert obj.labels == full.labels[:1] and obj.raw is None
    for name in ("map_x", "map_y", "region", "region_title"):
        np.testing.assert_array_equal(obj.coords[name][1], full.coords[name][1])


def test_os_errors_pass_unchanged(tmp_path, no_fd_leak):
    with pytest.raises(FileNotFoundError):
        vesk.open(tmp_path / "missing.vesk")
    with pytest.raises(IsADirectoryError) as info:
        vesk.read(tmp_path, "AB")
    assert info.value.filename == str(tmp_path)  # as the file that could not be read


def test_descriptor_is_held_and_closed(tmp_path, no_fd_leak):
    path, key = write(tmp_path, "time-resolved series")
    f = vesk.open(path)
    os.replace(path, path + ".moved")  # still the file that was listed
    assert f[key].values.shape == f.blocks[0].shape
    f.close()
    f.close()
    for use in (lambda: f[key], f.images, f.__enter__):
        with pytest.raises(ValueError, match="closed"):
            use()



# A file written to in place under an open VeskFile reads as it is now,
# which may be another block than the one listed: said, not passed unseen.
@pytest.mark.parametrize("change", [None, "rewritten", "grown"])
@pytest.mark.parametrize("kind", ["spectrum", "time-resolved series"])
def test_a_file_changed_since_it_was_opened_reads_with_a_warning(tmp_path, kind, change):
    path, key = write(tmp_path, kind)
    other = spectrum_file([9.0] * 4000).build()
    with vesk.open(path) as f:
        with open(path, "r+b" if change == "rewritten" else "ab") as out:
            out.write(other if change else b"")
        raised = False
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                f[key]
            except vesk.FormatError:  # what is there now holds no such block
                raised = True
    said = [str(w.message) for w in caught if "changed since it was opened" in str(w.message)]
    assert len(said) == (1 if change and not raised else 0), said
    assert not raised or (change == "rewritten" and kind != "spectrum")


# Its status time moves with no write too: renamed, linked, its mode or
# attributes set by a backup or a scanner. A rewrite that sets its time back
# moves only that time as well, and is said.
@pytest.mark.parametrize("change", ["chmod", "link", "rename", "rewritten, time set back"])
def test_only_a_file_written_to_reads_as_changed(tmp_path, change):
    path = spectrum_file([1.0, 2.0, 3.0]).write(str(tmp_path / "k.vesk"))
    other = spectrum_file([1.0, 2.0, 5.0]).build()  # another maximum, same size
    with vesk.open(path) as f:
        st = os.stat(path)
        if change == "chmod":
            os.chmod(path, st.st_mode ^ 0o040)
        elif change == "link":
            os.link(path, path + ".2")
        elif change == "rename":
            os.rename(path, path + ".2")
            path += ".2"
        else:
            assert len(other) == st.st_size
            with open(path, "r+b") as out:
                out.write(other)
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        said = []
        for _ in range(2):  # still watched once found unchanged
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                f["AB"]
            said.append(sum("changed since it was opened" in str(w.message) for w in caught))
            with open(path, "ab") as out:
                out.write(b"\0")
    assert said == [int(change.startswith("rewritten")), 1]


@pytest.mark.parametrize("how", ["vesk.read", "f[key]", "f.values()", "xarray"])
def test_a_change_under_a_read_is_said_at_the_callers_line(tmp_path, monkeypatch, how):
    path, key = write(tmp_path, "spectrum")
    listed = vesk.VeskFile.block

    def block(f, *args):  # written to as soon as listed
        found = listed(f, *args)
        with open(path, "ab") as out:
            out.write(b"\0")
        return found
    monkeypatch.setattr(vesk.VeskFile, "block", block)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if how == "vesk.read":
            vesk.read(path, key)
        elif how == "xarray":
            xr = pytest.importorskip("xarray")
            from vesk.xarray_backend import VeskBackendEntrypoint
            xr.open_dataset(path, engine=VeskBackendEntrypoint).load()
        else:
            with vesk.open(path) as f:
                f[key] if how == "f[key]" else list(f.values())
    assert [w.filename for w in caught if "changed since" in str(w.message)] == [__file__]


def _outcome(read):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            obj = read()
            got = (type(obj), obj.values.tobytes(), obj.block, dict(obj.parameters))
        except Exception as e:
            got = (type(e), str(e))
    return got, [str(w.message) for w in caught]


@pytest.mark.parametrize("case", sorted(KINDS) + ["unreadable", "cut"])
def test_read_alone_agrees_with_a_file_opened_and_leaks_nothing(tmp_path, case, no_fd_leak):
    # vesk.read reads through the descriptor it listed by, where f[key] takes its own
    if case in KINDS:
        path, key = write(tmp_path, case)
    else:
        vf = spectrum_file([1.0, 2.0, 3.0], data_type=1 if case == "unreadable" else 4)
        data = vf.build()
        path, key = str(tmp_path / "k.vesk"), "AB" if case == "cut" else "SC"
        with open(path, "wb") as out:
            out.write(data[:-4] if case == "cut" else data)

    def opened():
        with vesk.open(path) as f:
            return f[key]
    assert _outcome(lambda: vesk.read(path, key)) == _outcome(opened)


def test_a_close_racing_a_read_cannot_feed_it_another_file(tmp_path, monkeypatch, no_fd_leak):
    # Another thread closes the file while a read is under way, then opens
    # a file that takes its descriptor's number.
    listed = spectrum_file([1.0, 2.0, 3.0]).write(str(tmp_path / "a.vesk"))
    other = spectrum_file([7.0, 8.0, 9.0]).write(str(tmp_path / "b.vesk"))
    f = vesk.open(listed)
    opened = []
    real = veskread.getVeskData

    def racing(path, key):
        f.close()
        opened.append(vesk.open(other))
        return real(path, key)

    monkeypatch.setattr(veskread, "getVeskData", racing)
    try:
        assert f["AB"].values.tolist() == [1.0, 2.0, 3.0]
    finally:
        opened[0].close()

@pytest.mark.parametrize("as_error", [False, True])  # -W error, as test suites run
def test_unclosed_file_warns_and_closes(tmp_path, no_fd_leak, monkeypatch, as_error):
    path, _ = write(tmp_path, "spectrum")
    f = vesk.open(path)
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    with warnings.catch_warnings(record=not as_error) as caught:
        warnings.simplefilter("error" if as_error else "always", ResourceWarning)
        del f
        gc.collect()
    said = [u.exc_value for u in unraisable] if as_error else [w.message for w in caught]
    assert [str(w) for w in said] == ["unclosed VESK file %r" % path]


@pytest.mark.parametrize("kind", ["image traces", "multiregion traces", "time-resolved traces"])
def test_a_block_of_traces_names_an_x_axis_only_where_they_run_along_one(tmp_path, kind):
    path, key = write(tmp_path, kind)
    with vesk.open(path) as f:
        assert (" vs " in str(f.block(key))) == (kind == "time-resolved traces")


def test_labels_dates_and_xarray(tmp_path):
    path, key = write(tmp_path, "spectrum")
    s = vesk.read(path, key)
    assert str(s.block) == "AB/2D/NONE  spectrum  5  Absorbance vs Wavenumber (cm-1)"
    assert s.measured.isoformat() == "2026-12-07T21:38:08.250000+01:00" == s.attrs()["measured"]
    # a date without a time of day is not midnight
    assert vesk.read(spectrum_file([1.0, 2.0], {"DAT": "07/12/2026"}).write(
        str(tmp_path / "day.0"))).attrs()["measured"] == "2026-12-07"
    assert vesk.parameter_label("LWN") == "Laser Wavenumber"
    assert vesk.parameter_label("HFQ") == "High Frequency Cutoff (FT)"  # veskread: "Cutofff"
    assert vesk.block_type_label("RSC-CH2") == "Single channel (reference), channel 2"
    pytest.importorskip("pandas")
    series = s.to_pandas()
    assert series.index.name == "wavenumber" and series.tolist() == s.y.tolist()



@pytest.mark.parametrize("sign, hours, minutes", [("-", 0, 30), ("+", 0, 45), ("-", 3, 30),
                                                  ("+", 5, 30), ("-", 0, 0)])
def test_a_zone_keeps_its_sign_under_an_hour(tmp_path, sign, hours, minutes):
    import datetime as dt
    tim = "10:20:30 (GMT%s%d:%02d)" % (sign, hours, minutes)
    path = spectrum_file([1.0, 2.0], {"DAT": "15/04/2026", "TIM": tim}).write(
        str(tmp_path / "z.0"))
    offset = dt.timedelta(hours=hours, minutes=minutes) * (-1 if sign == "-" else 1)
    s = vesk.read(path)
    assert s.measured.utcoffset() == offset
    assert s.attrs()["measured"] == dt.datetime(2026, 4, 15, 10, 20, 30,
                                                tzinfo=dt.timezone(offset)).isoformat()


@pytest.mark.parametrize("digits", ["1234567", "123456789"])
def test_a_time_finer_than_a_microsecond_keeps_its_zone(tmp_path, digits):
    tim = "10:20:30.%s (GMT+2)" % digits
    path = spectrum_file([1.0, 2.0], {"DAT": "15/04/2026", "TIM": tim}).write(
        str(tmp_path / "f.0"))
    when = vesk.read(path).measured
    assert when.microsecond == int(digits[:6]) and when.utcoffset().total_seconds() == 2 * 3600

# Forms a file may write the time in: a comma's fraction, spaces, UTC, an
# offset alone, a 12-hour clock, a zone not read (naive, as none named).
@pytest.mark.parametrize("tim, hour, minutes_east", [
    ("10:20:30,250 (GMT+2)", 10, 120), ("10:20:30,2500009 (GMT + 2)", 10, 120),
    ("10:20:30.250 (UTC-2)", 10, -120), ("10:20:30.250 UTC", 10, 0), ("10:20:30.250Z", 10, 0),
    ("10:20:30.250+02:00", 10, 120), ("10:20:30.250 pm (GMT+2)", 22, 120),
    ("12:20:30.250 AM", 0, None), ("10:20:30.250", 10, None), ("10:20:30.250 (CET)", 10, None),
    ("10:20:30.250 GMT Daylight Time", 10, None)])
def test_a_time_keeps_its_zone(tmp_path, tim, hour, minutes_east):
    import datetime as dt
    path = spectrum_file([1.0, 2.0], {"DAT": "15/04/2026", "TIM": tim}).write(
        str(tmp_path / "t.0"))
    s = vesk.read(path)
    zone = None if minutes_east is None else dt.timezone(dt.timedelta(minutes=minutes_east))
    when = dt.datetime(2026, 4, 15, hour, 20, 30, 250000, tzinfo=zone)
    assert (s.measured, s.measured.utcoffset()) == (when, when.utcoffset())
    assert s.block.to_dict()["measured"] == when.isoformat()


# Dates as other locales write them, where they cannot be misread; a month
# first with slashes mirrors the stored order and is not guessed at, nor are
# numbers between dashes (04-05-2026 is April 5 in the US).
@pytest.mark.parametrize("dat, day", [
    ("15/04/2026", 15), ("15.04.26", 15), ("04-05-2026", None), ("2026-04-15", 15),
    ("2026/4/15", 15), ("15 Apr 2026", 15), ("15-APR-2026", 15), ("April 15, 2026", 15),
    ("Apr. 15th 2026", 15), ("04/15/2026", None), ("15/04-2026", None), ("15 Aprile 2026", None)])
def test_a_date_in_other_forms(tmp_path, dat, day):
    import datetime as dt
    path = spectrum_file([1.0, 2.0], {"DAT": dat, "TIM": "10:20:30"}).write(
        str(tmp_path / "d.0"))
    when = vesk.read(path).measured
    assert when == (None if day is None else dt.datetime(2026, 4, day, 10, 20, 30))


def test_image_map_to_xarray(tmp_path):
    xr = pytest.importorskip("xarray")
    path, key = write(tmp_path, "image map")
    cube = vesk.read(path, key).to_xarray()
    assert isinstance(cube, xr.DataArray)
    assert cube.dims == ("y", "x", "wavenumber") and cube.shape == (2, 3, 4)
    assert cube.x.values.tolist() == [10.0, 12.5, 15.0]
    assert cube.sel(y=-1.5, x=15.0).values.tolist() == [50, 51, 52, 53]
    assert cube.attrs["NPX"] == 3 and cube.attrs["kind"] == "image map"
    assert cube.name == "AB_3D_NONE" and cube.attrs["block"] == "AB/3D/NONE"
    pytest.importorskip("netCDF4")
    cube.to_netcdf(str(tmp_path / "cube.nc"))  # netCDF refuses '/' in a name
    with xr.open_dataarray(str(tmp_path / "cube.nc")) as back:
        assert back.values.tolist() == cube.values.tolist()


def test_repr_of_a_file_and_a_data_object(tmp_path):
    path, key = write(tmp_path, "image map")
    with vesk.open(path) as f:
        cube = f[key]
    assert repr(f) == "\n".join([
        "<vesk.VeskFile %r (closed, 1 block)>" % path,
        "  AB/3D/NONE  image map  2 x 3 x 4"])
    assert repr(cube) == "\n".join([
        "<vesk.ImageMap AB/3D/NONE of k.vesk: Absorbance, float32>",
        "  y           2  -2 .. -1.5",
        "  x           3  10 .. 15",
        "  wavenumber  4  100 .. 400  cm-1"])
    assert cube._repr_html_().count("<tr>") == 4


def test_block_names_complete_after_a_bracket(tmp_path):
    path, _ = write(tmp_path, "image map")
    with vesk.open(path) as f:
        assert f._ipython_key_completions_() == ["AB/3D/NONE"]


# Editors and documentation tools resolve hints with typing.get_type_hints,
# which looks names up in the module the class claims: the package.
@pytest.mark.parametrize("name", [n for n in vesk.__all__ if isinstance(getattr(vesk, n), type)
                                  and "__annotations__" in vars(getattr(vesk, n))])
def test_public_classes_give_their_type_hints(name):
    import typing
    cls = getattr(vesk, name)
    assert set(typing.get_type_hints(cls)) >= set(vars(cls)["__annotations__"])


def test_functions_naming_data_objects_give_their_type_hints_at_once():
    # Their hints name the data objects, which come (with numpy) at first use:
    # asked for right after `import vesk`, before any object was touched.
    import subprocess
    import sys
    code = ("import typing, vesk, vesk.export, vesk.export.formats as formats;"
            "hints = [typing.get_type_hints(m) for m in (vesk.read, vesk.VeskFile.__getitem__,"
            " vesk.VeskFile.get, vesk.VeskFile.values, vesk.VeskFile.images, vesk.export.write,"
            " formats.Format, formats.Format.write)];"
            "assert hints[0]['return'] is vesk.DataObject, hints;"
            "assert hints[5]['data'] is vesk.DataObject, hints")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_import_vesk_alone_gives_its_names_and_export():
    # A fresh interpreter: this session has imported vesk.export already.
    import subprocess
    import sys
    code = ("import vesk; extra = [n for n in dir(vesk) if n[0] != '_' and n not in vesk.__all__];"
            "assert not extra, extra; assert callable(vesk.export.write)")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_display_escapes_file_text_and_never_raises(tmp_path):
    names = ["<i>&'", "\x1b[31m"]
    vf = file_3d(_traces(names, npt=6), {**BASE_3D, **MAP, "NPT": 6}, data_type=7)
    path = vf.write(str(tmp_path / 'a<b>&"c.vesk'))
    with vesk.open(path) as f:
        data = f["TRC"]
        page, text = f._repr_html_() + data._repr_html_(), repr(data)
    assert "<i>" not in page and "&lt;i&gt;&amp;&#x27;" in page
    assert "a&lt;b&gt;&amp;&quot;c.vesk" in page and 'a<b>&"c.vesk' not in page
    assert "\x1b" not in text and "\\x1b[31m" in text
    half = vesk.VeskFile.__new__(vesk.VeskFile)  # as a failed open leaves it
    assert repr(half) == "<vesk.VeskFile (not shown: AttributeError)>"
    assert half._repr_html_() is None


FRAME_INDEX = {"image map": ["y", "x"], "image traces": ["y", "x"],
               "time-resolved series": ["time"], "time-resolved traces": None,  # their x axis
               "multiregion map": ["region", "region_title", "map_x", "map_y", "start_time"],
               "multiregion traces": ["region", "region_title", "map_x", "map_y"]}


@pytest.mark.parametrize("kind", sorted(FRAME_INDEX))
def test_blocks_of_many_rows_to_pandas(tmp_path, kind):
    pytest.importorskip("pandas")
    path, key = write(tmp_path, kind)
    data = vesk.read(path, key)
    frame = data.to_pandas()
    # Times run down the rows of traces as of spectra; the columns are the traces.
    values, dims = (data.values.T, data.dims[::-1]) if kind == "time-resolved traces" else (
        data.values, data.dims)
    np.testing.assert_array_equal(frame.to_numpy(), values.reshape(len(frame), -1))
    names = FRAME_INDEX[kind] or [dims[0]]
    assert list(frame.index.names) == names
    assert frame.columns.tolist() == data.coords[dims[-1]][1].tolist()
    # Each row is indexed by its own coordinates.
    for row, label in enumerate(frame.index):
        label = label if isinstance(label, tuple) else (label,)
        at = np.unravel_index(row, values.shape[:-1])
        for name, value in zip(names, label):
            cdims, array = data.coords[name]
            np.testing.assert_equal(value, array[tuple(at[dims.index(d)] for d in cdims)])


def test_images_of_the_sample():
    sample = os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk")
    with vesk.open(sample) as f:
        images = f.images()
    expected = veskread.getVisImages(os.path.abspath(sample))
    assert [(i.position, i.name, i.format, i.data, i.title) for i in images] == [
        (k, "%02d" % k, d.get("imgext"), d["image"], d.get("Title"))
        for k, d in enumerate(expected)]
    assert images and "image" not in images[0].attributes
    with vesk.open(sample) as f:  # a service keys what it has stored by the picture
        assert set(images) == set(f.images()) and len(set(images)) == len(images)


@pytest.mark.parametrize("fmt, shown", [("png", "image/png"), ("bmp", "image/bmp"),
                                         ("jpeg", "image/jpeg"), (None, None), ("png", None)])
def test_a_notebook_shows_a_picture_as_its_bytes_say(fmt, shown):
    import base64
    data = b"" if fmt == "png" and shown is None else b"\x89PNG..."
    image = vesk.Image(0, "00", fmt, data, "t", {})
    bundle = image._repr_mimebundle_()
    assert bundle.pop("text/plain") == repr(image)
    assert bundle == ({shown: base64.b64encode(data).decode()} if shown else {})


@pytest.mark.parametrize("kept", [0, 40])  # bytes of the pictures' block the file keeps
def test_pictures_past_the_end_of_a_cut_file_say_so(tmp_path, kept):
    vf = spectrum_file([1.0, 2.0])
    block = add_image_block(vf, one_image())  # goes last
    data = vf.build()
    path = tmp_path / "cut.vesk"
    path.write_bytes(data[:vf.offset_of(block) + kept])
    with pytest.raises(Exception):
        veskread.getVisImages(str(path))
    with vesk.open(path) as f, pytest.raises(vesk.FormatError) as e:
        f.images()
    assert str(e.value).endswith(
        "file ends early: the block of pictures (at byte %d, %d bytes) runs past its end at "
        "byte %d" % (vf.offset_of(block), len(data) - vf.offset_of(block), len(path.read_bytes())))


def _derivative_map(npx=0, npy=2):
    from writer_3d import BASE_3D, file_3d, stored_block, store_block
    p = {**BASE_3D, "AOX": 1.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": npx, "NPY": npy}
    orig = {"AOX": 7.0, "AOY": 8.0, "DDX": 1.0, "DDY": 2.0, "NPX": 3, "NPY": 2}
    data = store_block([stored_block([k] * 4) for k in range(6)], block_size=16)
    return file_3d(data, p, deriv_type=1, original_params=orig), ("AB", "3D", "1DER")


def _planes_map():
    from writer_3d import BASE_3D, file_3d, stored_block, store_block
    p = {**BASE_3D, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 3, "NPY": 2}
    data = store_block([stored_block([k] * 6) for k in range(4)], block_size=24)
    return file_3d(data, p), ("AB", "3D", "NONE")


def _short_time_traces():
    from writer_3d import BASE_3D, file_3d, stored_block, store_block
    data = store_block([stored_block([1.0, 2.0, 3.0, 4.0], name="t")], block_size=16)
    return file_3d(data[:-190], BASE_3D, data_type=7), ("TRC", "3D", "NONE")


@pytest.mark.parametrize("make", [
    _derivative_map, _planes_map, _short_time_traces,
    # reading asks NPX == 0 or NPY == 0 first: text is not zero, 0.0 is
    functools.partial(_derivative_map, 0, "two"), functools.partial(_derivative_map, "3", 0),
    functools.partial(_derivative_map, 0.0, 2.5)])
def test_listing_follows_reading_at_the_edges(tmp_path, capsys, make):
    vf, key = make()
    path = vf.write(str(tmp_path / "e.vesk"))
    with vesk.open(path) as f:
        block = f.block(key)
    raw = veskread.getVeskData(path, key)
    values = getattr(raw, "spectra", None)
    values = raw.traces if values is None else values
    assert block.shape == values.shape
    assert dict(block.parameters) == raw.parameters


@pytest.mark.parametrize("kind", ["spectrum", "multiregion map"])
def test_blocks_and_objects_pickle(tmp_path, kind):
    import pickle
    path, key = write(tmp_path, kind)
    obj = vesk.read(path, key)
    clone = pickle.loads(pickle.dumps(obj))
    assert clone.block == obj.block and dict(clone.block.parameters) == dict(obj.block.parameters)
    assert dict(clone.parameters) == dict(obj.parameters) and clone.dims == obj.dims
    assert clone.coords.keys() == obj.coords.keys()
    np.testing.assert_array_equal(clone.values, obj.values)



@pytest.mark.parametrize("kind, name", [("spectrum", "values"), ("image map", "values"),
                                        ("time-resolved series", "time"),
                                        ("time-resolved traces", "time")])
def test_arrays_take_in_place_operators_and_nothing_else(tmp_path, kind, name):
    # `time` names another field's array: the array changed, then it raised.
    data = vesk.read(*write(tmp_path, kind))
    before = getattr(data, name).copy()
    setattr(data, name, operator.isub(getattr(data, name), 0.5))  # data.time -= 0.5
    np.testing.assert_array_equal(getattr(data, name), before - 0.5)
    with pytest.raises(AttributeError, match="cannot assign"):
        setattr(data, name, before)


@pytest.mark.parametrize("reader, read", [("getVisImages", lambda f: f.images()),
                                          ("getVeskData", lambda f: f["AB/2D/NONE"])])
def test_a_file_that_cannot_be_opened_again_is_named_as_given(monkeypatch, reader, read):
    # as open() fails where no descriptor is left: naming what it was given
    def refused(path, *args):
        raise OSError(errno.EMFILE, os.strerror(errno.EMFILE), path)
    monkeypatch.setattr(veskread, reader, refused)
    sample = os.path.join(os.path.dirname(__file__), "..", "samples", "sample.vesk")
    with vesk.open(sample) as f:
        with pytest.raises(OSError) as e:
            read(f)
    assert e.value.filename == sample

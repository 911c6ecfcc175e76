"""Image maps of spectra and of traces."""
import re

import numpy as np
import pytest

import veskread
from writer_3d import (BASE_3D, annotation_block, file_3d, stored_block, store_block,
                       table_subblock)

MAP = {"AOX": 100.0, "AOY": -2.0, "DDX": 2.5, "DDY": 0.5, "NPX": 3, "NPY": 2}


def values(k, npt):
    return [k * 100 + p for p in range(npt)]


def spectrum_map(npx=3, npy=2, npt=5, n=None, **params):
    n = npx * npy if n is None else n
    p = {**BASE_3D, **MAP, "NPT": npt, "NPX": npx, "NPY": npy, **params}
    return store_block([stored_block(values(k, npt)) for k in range(n)], block_size=4 * npt), p


@pytest.mark.parametrize("npx, npy, npt", [(3, 2, 5), (1, 4, 2), (4, 1, 1), (2, 2, 7)])
def test_spectra_fill_rows_in_stored_order(read_3d, npx, npy, npt):
    data, p = spectrum_map(npx, npy, npt)
    d = read_3d(data, p)
    assert type(d) is veskread.ImageDataReturn
    assert d.spectra.dtype == np.float32 and d.spectra.shape == (npy, npx, npt)
    assert d.spectra.flags.c_contiguous
    for k in range(npx * npy):
        assert d.spectra[k // npx][k % npx].tolist() == values(k, npt)
    assert d.mapX.tolist() == [100.0 + 2.5 * c for c in range(npx)]
    assert d.mapY.tolist() == [-2.0 + 0.5 * r for r in range(npy)]
    assert d.mapX.dtype == np.float64
    assert d.parameters["NPX"] == npx and d.x.shape == (npt,)


def test_fewer_blocks_than_points_leave_zeros(read_3d):
    data, p = spectrum_map(n=4)
    d = read_3d(data, p)
    assert d.spectra[1][1].tolist() == [0.0] * 5 and d.spectra[1][0].tolist() == values(3, 5)


# Planes are read in batches and moved into the spectra a tile at a time:
# more planes than a tile holds, and runs broken by a gap, land in place too.
@pytest.mark.parametrize("npt, entries", [
    (5, None),
    (150, None),
    (150, [(0, 69), (-1, 12), (70, 149)]),
])
def test_image_planes_fill_one_spectral_point_each(read_3d, npt, entries):
    npx, npy = 3, 2
    planes = [stored_block(values(k, npx * npy)) for k in range(npt)]
    p = {**BASE_3D, **MAP, "NPT": npt}
    d = read_3d(store_block(planes, entries, block_size=4 * npx * npy), p)
    for i in range(npt):
        assert d.spectra[:, :, i].tolist() == np.reshape(values(i, 6), (2, 3)).tolist()


@pytest.mark.parametrize("block_size, blocks", [
    (20, 5),  # both tests hold: 4*NPT bytes and NPT blocks
    (24, 3),  # neither holds
])
def test_layout_matching_both_or_neither_gives_zeros(read_3d, block_size, blocks):
    p = {**BASE_3D, **MAP, "NPT": 5}
    data = store_block([stored_block([9.0] * 6, block_size=block_size) for _ in range(blocks)],
                       block_size=block_size)
    d = read_3d(data, p)
    assert d.spectra.shape == (2, 3, 5) and not d.spectra.any()


def test_map_keys_win_over_annotation_block(read_3d):
    data, p = spectrum_map()
    anno = annotation_block([table_subblock([("Group", 4)], [(1,)])])
    assert type(read_3d(data, p, anno=anno)) is veskread.ImageDataReturn


def test_single_point_axis_is_the_origin(read_3d):
    data, p = spectrum_map(npx=1, npy=1, npt=2)
    d = read_3d(data, p)
    assert d.mapX.tolist() == [100.0] and d.mapY.tolist() == [-2.0]


def test_original_geometry_for_derivatives(read_3d, capsys):
    data, p = spectrum_map()
    p.update(NPX=0, AOX=1.0)
    orig = {"AOX": 7.0, "AOY": 8.0, "DDX": 1.0, "DDY": 2.0, "NPX": 3, "NPY": 2, "ZZZ": 1}
    d = read_3d(data, p, key=("AB", "3D", "1DER"), deriv_type=1, original_params=orig)
    assert capsys.readouterr().out == "Orignal mapping coordinates used\n"
    assert {k: d.parameters[k] for k in MAP} == {k: orig[k] for k in MAP}
    assert "ZZZ" not in d.parameters
    assert d.mapX.tolist() == [7.0, 8.0, 9.0] and d.mapY.tolist() == [8.0, 10.0]
    assert d.spectra[1][2].tolist() == values(5, 5)


@pytest.mark.parametrize("changed, error, message", [
    # text fails the axis's arithmetic before any count is asked about, x's before y's
    ({"NPX": 2**31 - 1, "AOX": "-1"}, TypeError, 'can only concatenate str (not "float") to str'),
    ({"NPY": 2**31 - 1, "AOX": "-1"}, TypeError, 'can only concatenate str (not "float") to str'),
    ({"NPY": 2**31 - 1}, ValueError, "NPY declares 2147483647 values of 8 bytes; a file of"),
])
def test_a_count_is_refused_only_where_its_axis_would_be_built(read_3d, changed, error, message):
    data, p = spectrum_map(**changed)
    with pytest.raises(error, match=re.escape(message)):
        read_3d(data, p)


def test_no_fallback_without_derivative(read_3d, capsys):
    data, p = spectrum_map(n=0)
    p.update(NPX=0)
    d = read_3d(data, p)
    assert capsys.readouterr().out == ""
    assert d.spectra.shape == (2, 0, 5) and d.parameters["NPX"] == 0


def test_fallback_without_original_block_fails_like_seek(read_3d, capsys):
    data, p = spectrum_map()
    p.update(NPY=0)
    with pytest.raises(OSError):
        read_3d(data, p, key=("AB", "3D", "2DER"), deriv_type=2)
    assert capsys.readouterr().out == "Orignal mapping coordinates used\n"


def test_fallback_missing_key_in_original(read_3d, capsys):
    data, p = spectrum_map()
    p.update(NPX=0)
    with pytest.raises(KeyError, match="DDY"):
        read_3d(data, p, key=("AB", "3D", "1DER"), deriv_type=1,
             original_params={"AOX": 1.0, "AOY": 1.0, "DDX": 1.0})


@pytest.mark.parametrize("missing", sorted(MAP))
def test_missing_map_key_is_not_an_image(read_3d, missing):
    data, p = spectrum_map()
    del p[missing]
    assert type(read_3d(data, p)) is veskread.TimeResolvedDataReturn


# -- errors of the array operations -------------------------------------------

def test_short_spectrum_refused(read_3d):
    data, p = spectrum_map(n=2)
    with pytest.raises(ValueError,
                       match=r"could not broadcast input array from shape \(3,\) into shape \(5,\)"):
        read_3d(data[:len(data) - 184 - 8], p)


def test_single_value_is_not_broadcast_over_a_spectrum(read_3d):
    data, p = spectrum_map(n=1)
    cut = data[:len(data) - 184 - 16]  # one of five values left
    with pytest.raises(ValueError, match=r"from shape \(1,\) into shape \(5,\)"):
        read_3d(cut, p)


def test_more_blocks_than_points(read_3d):
    data, p = spectrum_map(n=7)
    with pytest.raises(IndexError, match="index 2 is out of bounds for axis 0 with size 2"):
        read_3d(data, p)


def test_zero_columns_with_blocks(read_3d):
    data, p = spectrum_map(n=1)
    p.update(NPX=0)
    with pytest.raises(ZeroDivisionError, match="integer modulo by zero"):
        read_3d(data, p)


def test_more_planes_than_points(read_3d):
    planes = [stored_block([1.0] * 6) for _ in range(4)]
    p = {**BASE_3D, **MAP, "NPT": 3}
    with pytest.raises(IndexError, match="index 3 is out of bounds for axis 2 with size 3"):
        read_3d(store_block(planes, block_size=24, stored_blocks=3), p)


def test_short_plane_cannot_reshape(read_3d):
    planes = [stored_block([1.0] * 6) for _ in range(2)]
    p = {**BASE_3D, **MAP, "NPT": 2}
    data = store_block(planes, block_size=24, stored_blocks=2)
    with pytest.raises(ValueError, match=r"cannot reshape array of size 4 into shape \(2,3\)"):
        read_3d(data[:len(data) - 184 - 8], p)


# -- trace maps ---------------------------------------------------------------

def trace_map(n, npx=3, npy=2, names=None, npt=None):
    npt = npx * npy if npt is None else npt
    names = names or ["trace %d" % k for k in range(n)]
    blocks = [stored_block(values(k, npt), name=names[k]) for k in range(n)]
    p = {**BASE_3D, **MAP, "NPT": npt, "NPX": npx, "NPY": npy}
    return store_block(blocks, block_size=4 * npt), p


@pytest.mark.parametrize("n", [1, 3])
def test_trace_maps_stack_along_third_axis(read_3d, n):
    data, p = trace_map(n)
    d = read_3d(data, p, key=("TRC", "3D", "NONE"), data_type=7)
    assert type(d) is veskread.ImageTRCDataReturn
    assert d.traces.shape == (2, 3, n) and d.traces.dtype == np.float32
    assert d.labels == ["trace %d" % k for k in range(n)]
    for k in range(n):
        assert d.traces[:, :, k].tolist() == np.reshape(values(k, 6), (2, 3)).tolist()


def test_trace_names_cut_at_nul_or_whole_field(read_3d):
    data, p = trace_map(2, names=[b"abc\0xyz", b"N" * 32])
    d = read_3d(data, p, key=("TRC", "3D", "NONE"), data_type=7)
    assert d.labels == ["abc", "N" * 32]


def test_trace_map_without_blocks(read_3d):
    p = {**BASE_3D, **MAP, "NPT": 6}
    with pytest.raises(ValueError, match="need at least one array to concatenate"):
        read_3d(store_block([], block_size=24), p, key=("TRC", "3D", "NONE"),
             data_type=7)


def test_trace_length_not_the_map_size(read_3d):
    data, p = trace_map(2, npt=5)
    with pytest.raises(ValueError, match=r"cannot reshape array of size 5 into shape \(2,3\)"):
        read_3d(data, p, key=("TRC", "3D", "NONE"), data_type=7)


def test_second_channel_traces_are_spectra(read_3d):
    data, p = spectrum_map()
    d = read_3d(data, p, key=("TRC-CH2", "3D", "NONE"), data_type=39)
    assert type(d) is veskread.ImageDataReturn and d.spectra[1][2].tolist() == values(5, 5)


def test_results_do_not_share_memory(write_file):
    data, p = spectrum_map()
    path = write_file(file_3d(data, p))
    a = veskread.getVeskData(path, ("AB", "3D", "NONE"))
    b = veskread.getVeskData(path, ("AB", "3D", "NONE"))
    a.spectra[:] = 0
    assert b.spectra[1][2].tolist() == values(5, 5)


@pytest.mark.parametrize("entries", [
    [(0, 2), (-1, 12), (3, 5)],
    [(0, 0), (-1, 4), (1, 4), (-1, 1), (5, 5)],
])
def test_gaps_between_spectra(read_3d, entries):
    data, p = spectrum_map()
    blocks = [stored_block(values(k, 5)) for k in range(6)]
    d = read_3d(store_block(blocks, entries=entries, block_size=20), p)
    assert d.spectra.reshape(6, 5).tolist() == [values(k, 5) for k in range(6)]

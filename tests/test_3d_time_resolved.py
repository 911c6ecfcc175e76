"""Time-resolved series of spectra (with times) and of traces (with names)."""
import struct

import numpy as np
import pytest

import veskread
from writer_3d import BASE_3D, INFO_SIZE, stored_block, store_block

NPT = 4
P = {**BASE_3D, "NPT": NPT}


@pytest.fixture
def read(read_3d):
    return lambda data, key=("AB", "3D", "NONE"), params=P, **kw: read_3d(data, params, key, **kw)


def spectra_block(times, npt=NPT, **kw):
    blocks = [stored_block([k + p / 8 for p in range(npt)], time=t) for k, t in enumerate(times)]
    return store_block(blocks, block_size=4 * npt, **kw)


@pytest.mark.parametrize("times", [[0.5], [3.0, 1.0, 2.0], [float(k) for k in range(40)]])
def test_spectra_and_times(read, times):
    d = read(spectra_block(times))
    assert type(d) is veskread.TimeResolvedDataReturn
    assert d.spectra.dtype == np.float32 and d.spectra.shape == (len(times), NPT)
    assert d.z.dtype == np.float64 and d.z.tolist() == times
    assert d.spectra.tolist() == [[k + p / 8 for p in range(NPT)] for k in range(len(times))]


def test_zero_points_per_spectrum(read):
    d = read(spectra_block([1.0, 2.0], npt=0), params={**P, "NPT": 0})
    assert d.spectra.shape == (2, 0) and d.z.tolist() == [1.0, 2.0]


def test_no_stored_block(read):
    with pytest.raises(ValueError, match="need at least one array to concatenate"):
        read(store_block([], block_size=4 * NPT))


@pytest.mark.parametrize("cut", [INFO_SIZE - 143, INFO_SIZE - 136, INFO_SIZE + 4])
def test_time_past_end_of_file(read, cut):
    data = spectra_block([1.0, 2.0])
    with pytest.raises(struct.error, match="unpack requires a buffer of 8 bytes"):
        read(data[:len(data) - cut])


def test_short_block_fails_on_time_before_stacking(read):
    # the last block has fewer values: the time read after it fails first
    data = spectra_block([1.0, 2.0, 3.0])
    with pytest.raises(struct.error):
        read(data[:len(data) - INFO_SIZE - 4])


def test_second_channel_traces_take_spectrum_path(read):
    d = read(spectra_block([4.0, 5.0]), key=("TRC-CH2", "3D", "NONE"), data_type=39)
    assert type(d) is veskread.TimeResolvedDataReturn and d.z.tolist() == [4.0, 5.0]


# -- traces -------------------------------------------------------------------

def traces_block(names, npt=NPT, info_size=INFO_SIZE, **kw):
    blocks = [stored_block([k * 10 + p for p in range(npt)], name=n, info_size=info_size)
              for k, n in enumerate(names)]
    return store_block(blocks, block_size=4 * npt, info_size=info_size, **kw)


@pytest.fixture
def read_traces(read):
    return lambda data, **kw: read(data, key=("TRC", "3D", "NONE"), data_type=7, **kw)


def test_traces_and_names(read_traces):
    d = read_traces(traces_block(["alpha", b"b\0junk", "\xb5m"]))
    assert type(d) is veskread.TimeResolvedTRCDataReturn
    assert d.labels == ["alpha", "b", "\xb5m"]
    assert d.traces.dtype == np.float32 and d.traces.shape == (3, NPT)
    assert d.traces.tolist() == [[k * 10 + p for p in range(NPT)] for k in range(3)]


def test_name_filling_its_field(read_traces):
    d = read_traces(traces_block([b"x" * 32, b"y" * 32]))
    assert d.labels == ["x" * 32, "y" * 32]


def test_name_read_to_end_when_info_is_151_bytes(read_traces):
    # info_size - 152 = -1: the name runs from 152 bytes after the values
    # (one byte past this 151-byte info part) to the end of the file
    blocks = [stored_block([1.0] * NPT, info_size=151)]
    data = store_block(blocks, block_size=4 * NPT, info_size=151) + b"tail"
    d = read_traces(data)
    assert d.labels == ["ail"]


def test_negative_name_length(read_traces):
    with pytest.raises(ValueError, match="read length must be non-negative or -1"):
        read_traces(traces_block(["a"], info_size=100))


def test_all_traces_equally_short_stack(read_traces):
    # every block at the same place, short by the same count: stacking works
    blocks = [struct.pack("<3f", 1, 2, 3)]
    data = store_block(blocks, entries=[(0, 2)], block_size=-INFO_SIZE, info_size=INFO_SIZE)
    d = read_traces(data)
    assert d.traces.shape == (3, 3) and d.labels == ["", "", ""]
    assert d.traces.tolist() == [[1, 2, 3]] * 3


def test_unequal_traces_cannot_stack(read_traces):
    data = traces_block(["a", "b", "c"])
    with pytest.raises(ValueError, match="the array at index 0 has size 4 and the array at "
                                         "index 2 has size 2"):
        read_traces(data[:len(data) - INFO_SIZE - 8])


def test_no_traces(read_traces):
    with pytest.raises(ValueError, match="need at least one array to concatenate"):
        read_traces(store_block([], block_size=4 * NPT))

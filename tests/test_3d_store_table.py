"""3D store header and table: which stored blocks are read, from where, and
refusing tables that name more blocks than the file holds."""
import resource
import struct

import numpy as np
import pytest

from writer_3d import BASE_3D, INFO_SIZE, stored_block, store_block

NPT = 3
KEY = ("AB", "3D", "NONE")
PARAMS = {**BASE_3D, "NPT": NPT}


@pytest.fixture
def series(read_3d):
    """Reads `data` as a time-resolved series of spectra."""
    return lambda data: read_3d(data, PARAMS, KEY)


def tagged(tag):
    return stored_block([tag, tag + 0.25, tag + 0.5], time=tag * 10)


@pytest.mark.parametrize("entries, blocks_in_file, expected_tags", [
    # one run: blocks in file order
    ([(0, 2)], [1, 2, 3], [1, 2, 3]),
    # block numbers do not place blocks; order alone does
    ([(7, 9)], [1, 2, 3], [1, 2, 3]),
    # a reversed run names nothing and does not move on
    ([(5, 4), (0, 1)], [1, 2], [1, 2]),
    # a gap moves the next block by its byte count
    ([(-1, 40), (5, 6), (-1, 12), (9, 9)], [1, 2, 3], [1, 2, 3]),
    # negative first values other than -1 start runs
    ([(-3, -2)], [1, 2], [1, 2]),
])
def test_runs_and_gaps(series, entries, blocks_in_file, expected_tags):
    d = series(store_block([tagged(t) for t in blocks_in_file], entries=entries,
                                     block_size=4 * NPT))
    assert d.spectra[:, 0].tolist() == expected_tags
    assert d.z.tolist() == [t * 10 for t in expected_tags]


def test_repeated_number_keeps_first_place_and_later_offset(series):
    # blocks 0, 1 then 0 again: the dict keeps 0 first, with the third block's data
    d = series(store_block([tagged(1), tagged(2), tagged(3)],
                                     entries=[(0, 1), (0, 0)], block_size=4 * NPT))
    assert d.spectra[:, 0].tolist() == [3, 2]


def test_offsets_from_block_start_and_sizes(series):
    # first block 16 bytes after the table; blocks block_size + info_size apart;
    # the time lies 136 bytes after the values read, wherever block_size ends
    lead = b"\x55" * 16
    blocks = []
    for t in (4.0, 5.0):
        info = bytearray(INFO_SIZE)
        info[128:136] = struct.pack("<d", t * 3)
        blocks.append(struct.pack("<3f", t, t, t) + b"\0" * 8 + bytes(info))
    d = series(store_block(blocks, lead=lead, block_size=4 * NPT + 8))
    assert d.spectra.tolist() == [[4.0] * NPT, [5.0] * NPT]
    assert d.z.tolist() == [12.0, 15.0]


@pytest.mark.parametrize("count", [0, -5])
def test_no_entries_means_no_blocks(series, count):
    with pytest.raises(ValueError, match="need at least one array to concatenate"):
        series(store_block([tagged(1)], entries=[(0, 0)], number_of_entries=count,
                                     block_size=4 * NPT))


@pytest.mark.parametrize("cut", [4, 20, 24 + 4])
def test_truncated_header_or_table(series, cut):
    data = store_block([], entries=[(0, 0), (1, 1)], block_size=4 * NPT)[:cut]
    with pytest.raises(struct.error):
        series(data)


@pytest.mark.parametrize("offset", [-10**6, -2**31])
def test_block_before_file_start_fails_like_seek(series, offset):
    with pytest.raises(OSError):
        series(store_block([tagged(1)], raw_offset=offset, block_size=4 * NPT))


@pytest.mark.parametrize("entries", [
    [(0, 2**31 - 1)],
    [(-2**31, 2**31 - 1)],
    [(0, 2**30)] * 64,
])
def test_runs_naming_more_blocks_than_the_file_holds(series, entries):
    data = store_block([tagged(1)], entries=entries, block_size=4 * NPT)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(struct.error, match="stored blocks"):
        series(data)
    grown_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kb < 64 * 1024


def test_many_zero_stride_blocks_within_slack_are_read(series):
    # block and info sizes summing to 0: every block at the same place
    blocks = [stored_block([7.0] * NPT, block_size=4 * NPT, info_size=0)]
    data = store_block(blocks, entries=[(0, 999)], block_size=-INFO_SIZE, info_size=INFO_SIZE)
    with pytest.raises(struct.error):
        # the time 136 bytes after the values lies past the end of the file
        series(data)

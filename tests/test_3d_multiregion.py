"""Multiregion point maps and the annotation table they are built from."""
import resource
import struct
import warnings

import numpy as np
import pytest

import veskread
from vesk_writer import VeskFile, param_block
from writer_3d import (BASE_3D, TYPE_FLOAT, TYPE_INT, TYPE_TEXT, annotation_block, stored_block,
                       store_block, table_subblock)

NPT = 3
P = {**BASE_3D, "NPT": NPT}
COLS = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
        ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)]


def row(group, findex, x, y, nx=0, ny=0, typ=0, arytype=0):
    return (group, typ, nx, ny, arytype, findex, x, y)


def spectra(numbers):
    blocks = [stored_block([n, n + 0.5, n + 0.25], time=n * 10.0) for n in numbers]
    return store_block(blocks, entries=[(n, n) for n in numbers], block_size=4 * NPT)


@pytest.fixture
def read(read_3d):
    def read(anno, data=None, key=("AB", "3D", "NONE"), **kw):
        return read_3d(spectra(range(1, 8)) if data is None else data, P, key, anno=anno, **kw)

    return read


def anno_of(rows, cols=COLS, **kw):
    return annotation_block([table_subblock(cols, rows, **kw)])


def test_grid_and_free_list_regions(read):
    rows = [row(1, 1, 0.0, 0.0, 2, 2), row(1, 2, 1.0, 0.0), row(1, 3, 0.0, 1.0),
            row(1, 4, 1.0, 1.0), row(2, 5, 9.0, 9.5), row(2, 7, 8.0, 7.5)]
    d = read(anno_of(rows))
    assert type(d) is veskread.MultiRegionDataReturn
    assert [r.title for r in d.regions] == ["Region 1 (2 x 2)", "Region 2 (2 points)"]
    r1, r2 = d.regions
    assert type(r1) is veskread.Region
    assert r1.mapX.tolist() == [0, 1, 0, 1] and r1.mapY.tolist() == [0, 0, 1, 1]
    assert r1.spectra.dtype == np.float32 and r1.spectra.shape == (4, NPT)
    assert r1.spectra[:, 0].tolist() == [1, 2, 3, 4]
    assert r1.start_time.tolist() == [10, 20, 30, 40] and r1.start_time.dtype == np.float64
    assert r2.spectra.tolist() == [[5, 5.5, 5.25], [7, 7.5, 7.25]]
    assert r2.mapY.tolist() == [9.5, 7.5]


def test_regions_follow_python_set_order(read):
    groups = [40, 3, 17, 8]
    rows = [row(g, 1, float(g), 0.0) for g in groups]
    d = read(anno_of(rows))
    expected = ["Region %d (1 points)" % g for g in set(groups)]
    assert [r.title for r in d.regions] == expected


def test_skipped_types_and_empty_grid(read):
    rows = [row(1, 1, 0.0, 0.0, typ=1), row(3, 2, 0.0, 0.0, arytype=1), row(4, 3, 5.0, 5.0)]
    d = read(anno_of(rows))
    titles = {r.title: r for r in d.regions}
    assert set(titles) == {"Region 3 (0 x 0)", "Region 4 (1 points)"}
    assert titles["Region 3 (0 x 0)"].spectra.shape == (0, NPT)


def test_point_without_stored_block_stays_zero(read):
    rows = [row(1, 1, 1.0, 2.0, 3, 1), row(1, 99, 3.0, 4.0), row(1, 2, 5.0, 6.0)]
    r, = read(anno_of(rows)).regions
    assert r.mapX.tolist() == [1, 0, 5] and r.mapY.tolist() == [2, 0, 6]
    assert r.start_time.tolist() == [10, 0, 20]
    assert r.spectra[1].tolist() == [0, 0, 0] and r.spectra[2, 0] == 2


def test_float_file_index_finds_its_block(read):
    cols = COLS[:5] + [("Fileindex", TYPE_FLOAT)] + COLS[6:]
    rows = [row(1, 2.0, 0.0, 0.0, 2, 1), row(1, 2.5, 1.0, 1.0)]
    r, = read(anno_of(rows, cols)).regions
    assert r.spectra[:, 0].tolist() == [2, 0]


def test_text_coordinates_go_through_numpy(read):
    cols = COLS[:6] + [("X", TYPE_TEXT), ("Y", TYPE_FLOAT)]
    ok = [row(1, 1, "1.5", 2.0, 1, 1)]
    r, = read(anno_of(ok, cols)).regions
    assert r.mapX.tolist() == [1.5]
    bad = [row(1, 1, "abc", 2.0, 1, 1)]
    with pytest.raises(ValueError, match="could not convert string to float: 'abc'"):
        read(anno_of(bad, cols))


def test_group_points_past_the_table(read):
    rows = [row(1, 1, 0.0, 0.0, 3, 2), row(1, 2, 0.0, 0.0)]
    with pytest.raises(IndexError, match="list index out of range"):
        read(anno_of(rows))


def test_huge_grid_is_refused_without_allocating(read):
    rows = [row(1, 1, 0.0, 0.0, 2**31 - 1, 2**31 - 1)]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(IndexError, match="list index out of range"):
        read(anno_of(rows))
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 * 1024


def test_short_spectrum_and_short_time(read):
    rows = [row(1, 1, 0.0, 0.0)]
    data = spectra([1])
    with pytest.raises(ValueError, match=r"from shape \(2,\) into shape \(3,\)"):
        read(anno_of(rows), data=data[:len(data) - 184 - 4])
    with pytest.raises(struct.error):
        read(anno_of(rows), data=data[:len(data) - 44])


@pytest.mark.parametrize("cut, x, error, message", [
    (4 * 99_000 + 184, "0", ValueError, r"from shape \(1000,\) into shape \(100000,\)"),
    (4 * 99_000 + 184, "abc", ValueError, "could not convert string to float: 'abc'"),
    (44, "0", struct.error, "unpack requires a buffer of 8 bytes"),
], ids=["spectrum cut short", "coordinate", "time cut short"])
def test_loop_error_comes_before_the_region_bound(read_3d, cut, x, error, message):
    # 100 points naming one stored block of 100 000 values declare 40 MB,
    # beyond what a file this size may fill; the point loop fails on the
    # first point, before any of it is written.
    npt = 100_000
    data = store_block([stored_block([1.0] * npt, time=1.0)], block_size=4 * npt)
    cols = COLS[:6] + [("Y", TYPE_FLOAT), ("X", TYPE_TEXT)]
    anno = anno_of([(1, 0, 100, 1, 0, 0, 0.0, x)] + [(1, 0, 0, 0, 0, 0, 0.0, "0")] * 99, cols)
    with pytest.raises(error, match=message):
        read_3d(data[:-cut], {**BASE_3D, "NPT": npt}, anno=anno)


@pytest.mark.parametrize("missing", ["Group", "Type", "AryNX", "Fileindex", "X", "Y"])
def test_missing_column(read, missing):
    cols = [c for c in COLS if c[0] != missing] + [("Other", TYPE_INT)]
    rows = [tuple(v for c, v in zip(COLS, row(1, 1, 0.0, 0.0)) if c[0] != missing) + (0,)]
    with pytest.raises(KeyError, match=missing):
        read(anno_of(rows, cols))


def test_float_group_number_is_refused(read):
    cols = [("Group", TYPE_FLOAT)] + COLS[1:]
    with pytest.raises(TypeError):
        read(anno_of([row(1.5, 1, 0.0, 0.0)], cols))


def _numpy_refusal(shape_of):
    """What numpy raises for the arrays a region's point count `shape_of` makes."""
    try:
        np.zeros(shape_of)
        np.zeros((shape_of, NPT))
    except (TypeError, ValueError) as e:
        return type(e), str(e)
    raise AssertionError("numpy took %r as a size" % shape_of)


@pytest.mark.parametrize("text, count", [("ab", 40), ("ab", 3), ("", 5), ("x", -2)])
def test_text_times_count_is_refused_as_numpy_refuses_it(read, text, count):
    # numpy takes a text as a sequence of dimensions: beyond its limit of
    # them, it refuses the text by its length, not by its first item.
    cols = [c for c in COLS if c[0] != "AryNX"] + [("AryNX", TYPE_TEXT)]
    error, message = _numpy_refusal(text * count)
    with pytest.raises(error) as info:
        read(anno_of([(1, 0, count, 0, 1, 0.0, 0.0, text)], cols))
    assert str(info.value) == message


def test_text_times_count_too_long_for_the_file_is_refused(read):
    cols = [c for c in COLS if c[0] != "AryNX"] + [("AryNX", TYPE_TEXT)]
    with pytest.raises(ValueError, match="region 1 a size of text, 4294967294 characters"):
        read(anno_of([(1, 0, 2**31 - 1, 0, 1, 0.0, 0.0, "ab")], cols))


# -- annotation tables ---------------------------------------------------------

@pytest.mark.parametrize("src, message", [
    ("32", "unsupported operand type(s) for +: 'int' and 'str'"),
    (32.0, "'float' object cannot be interpreted as an integer")])
def test_row_length_that_is_no_int(read, src, message):
    anno = anno_of([row(1, 1, 0.0, 0.0)], extra=[("SRC", src)])  # the later record wins
    with pytest.raises(TypeError) as info:
        read(anno)
    assert str(info.value) == message

def test_unknown_cell_type_warns_each_row_and_adds_none(read):
    cols = COLS[:6] + [("X", 7), ("Y", TYPE_FLOAT), ("Spare", 9)]
    rows = [row(1, 1, 0.0, 2.0, 2, 1) + (0,), row(1, 2, 0.0, 3.0) + (0,)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r, = read(anno_of(rows, cols)).regions
    texts = [str(w.message) for w in caught]
    assert all(w.category is RuntimeWarning for w in caught)
    assert texts == ["Unknown annotation data type 7", "Unknown annotation data type 9"] * 2
    # None is what the unknown X cells hold; numpy stores it as NaN
    expected = np.zeros(2)
    for n in range(2):
        expected[n] = None
    assert np.array_equal(r.mapX, expected, equal_nan=True)
    assert r.mapY.tolist() == [2, 3]


def test_warning_as_error_stops_reading(read):
    cols = COLS + [("Spare", 9)]
    rows = [row(1, 1, 0.0, 0.0) + (0,)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="Unknown annotation data type 9"):
            read(anno_of(rows, cols))


def test_later_table_replaces_column(read):
    first = table_subblock(COLS, [row(1, 1, 5.0, 5.0)])
    second = table_subblock([("X", TYPE_FLOAT)], [(42.0,)])
    no_table = [("ABC", 1)]
    r, = read(annotation_block([first, no_table, second])).regions
    assert r.mapX.tolist() == [42.0] and r.mapY.tolist() == [5.0]


def test_text_cells_cut_at_nul_and_share_length(read):
    cols = COLS[:7] + [("Y", TYPE_TEXT)]
    rows = [row(1, 1, 1.0, b"2.5\0zz", 1, 1)]
    r, = read(anno_of(rows, cols)).regions
    assert r.mapY.tolist() == [2.5]


# Enough rows to be read in several pieces.
LONG = [row(1, 1 + k % 7, float(k), float(-k)) for k in range(1200)]


def long_table(extra=""):
    if extra.startswith("X twice"):  # one list takes both columns' cells, row by row
        second = TYPE_INT if extra.endswith("int") else TYPE_FLOAT
        return [r + (-int(r[6]),) for r in LONG], COLS + [("X", second)]
    if extra == "text Y":
        return [r[:7] + (b"%g\0junk" % r[7],) for r in LONG], COLS[:7] + [("Y", TYPE_TEXT)]
    if extra == "unknown column":
        return [r + (0,) for r in LONG], COLS + [("Spare", 9)]
    return LONG, COLS


@pytest.mark.parametrize("extra", ["", "X twice", "X twice, then int", "text Y",
                                   "unknown column"])
def test_long_table_keeps_every_row(read, extra):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        region, = read(anno_of(*long_table(extra))).regions
    assert len(caught) == (len(LONG) if extra == "unknown column" else 0)
    x = [v for r in LONG for v in (r[6], -r[6])][:len(LONG)] if "twice" in extra else \
        [r[6] for r in LONG]
    assert region.mapX.tolist() == x
    assert region.mapY.tolist() == [r[7] for r in LONG]
    assert region.start_time.tolist() == [10.0 * r[5] for r in LONG]


@pytest.mark.parametrize("extra", ["", "text Y"])
def test_rows_declared_past_the_end_of_the_file(read, extra):
    with pytest.raises(struct.error, match="unpack requires a buffer of 4 bytes"):
        read(anno_of(*long_table(extra), nln=3000))


# Past the rows any table is believed without asking the file: rows that
# read their cells find its end themselves.
# Past the rows any table is believed without asking the file: rows that
# read their cells find its end themselves.
@pytest.mark.parametrize("cut, error", [(4, None), (64, struct.error)])
def test_many_rows_read_up_to_the_end_of_the_file(write_file, cut, error):
    rows = [row(1, 1, float(k), 0.0) + (0,) for k in range(5000)]
    vf = VeskFile()
    vf.add(param_block(P), data_type=4, extend_type=10, param_type=1, sample_type=3)
    vf.add(spectra([1]), data_type=4, extend_type=10, sample_type=3)
    # Last in the file, cut by its last row's padding, or by more.
    vf.add(anno_of(rows, COLS + [("Spare", 9)], row_len=64)[:-cut], extend_type=11)
    path = write_file(vf)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if error:
            with pytest.raises(error, match="^unpack requires a buffer of 4 bytes"):
                veskread.getVeskData(path, ("AB", "3D", "NONE"))
        else:
            region, = veskread.getVeskData(path, ("AB", "3D", "NONE")).regions
            assert region.title == "Region 1 (5000 points)"
    assert len(caught) == 5000 - bool(error)


@pytest.mark.parametrize("nln, row_len, error", [
    (2**31 - 1, 36, struct.error),
    (10**6, 36, struct.error),
    (2**31 - 1, 0, ValueError),
    (5000, -4, ValueError),
])
def test_row_counts_beyond_the_file(read, nln, row_len, error):
    rows = [row(1, 1, 0.0, 0.0)]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(error):
        read(anno_of(rows, nln=nln, row_len=row_len))
    # Text cells read short without failing: rows of text alone never meet the end.
    with pytest.raises(error):
        read(anno_of([(b"t",)], [("Label", TYPE_TEXT)], nln=nln, row_len=row_len, text_len=8))
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 * 1024


def test_sub_block_count_beyond_directory(read):
    anno = annotation_block([table_subblock(COLS, [row(1, 1, 0.0, 0.0)])], nrp=2**31 - 1)
    with pytest.raises(KeyError, match="F01"):
        read(anno)


def test_empty_directory_has_no_columns(read):
    with pytest.raises(KeyError, match="Group"):
        read(annotation_block([]))


# -- traces --------------------------------------------------------------------

def traces(n_points, names):
    blocks = [stored_block([t * 100 + p for p in range(n_points)], name=nm)
              for t, nm in enumerate(names)]
    return store_block(blocks, block_size=4 * n_points)


@pytest.fixture
def read_traces(read_3d):
    return lambda anno, data: read_3d(data, {**P, "NPT": 6}, ("TRC", "3D", "NONE"), anno=anno,
                                      data_type=7)


def test_traces_per_point(read_traces):
    rows = [row(1, 5, 1.0, 1.0, 2, 1), row(1, 1, 2.0, 2.0), row(2, 0, 3.0, 3.0)]
    d = read_traces(anno_of(rows), traces(6, ["a", "b", "c"]))
    assert type(d) is veskread.MultiRegionTRCDataReturn and d.labels == ["a", "b", "c"]
    r1, r2 = d.regions
    assert r1.start_time is None and r1.spectra.dtype == np.float32
    assert r1.spectra.tolist() == [[4, 104, 204], [0, 100, 200]]
    assert r2.spectra.tolist() == [[5, 105, 205]]  # Fileindex 0: the last value
    assert r1.mapX.tolist() == [1, 2]


def test_traces_of_many_points(read_3d):
    # More points and traces than the copy takes at once; columns out of order.
    n_points, n_traces = 70, 40
    order = [(k * 17) % n_points + 1 for k in range(n_points)]
    rows = [row(1, f, float(k), 0.0) for k, f in enumerate(order)]
    d = read_3d(traces(n_points, ["t%d" % t for t in range(n_traces)]), {**P, "NPT": n_points},
                ("TRC", "3D", "NONE"), anno=anno_of(rows), data_type=7)
    r, = d.regions
    assert r.spectra.tolist() == [[t * 100 + f - 1 for t in range(n_traces)] for f in order]


def test_trace_index_past_the_traces(read_traces):
    rows = [row(1, 8, 1.0, 1.0)]
    with pytest.raises(IndexError, match="index 7 is out of bounds for axis 1 with size 6"):
        read_traces(anno_of(rows), traces(6, ["a"]))


def test_no_traces(read_traces):
    with pytest.raises(ValueError, match="need at least one array to concatenate"):
        read_traces(anno_of([row(1, 1, 0.0, 0.0)]), store_block([], block_size=24))

"""`vesk export`: every format read back by an independent reader equals what vesk reads."""
import errno
import io
import json
import os
import pathlib
import shutil
import sys
import time

import numpy as np
import pytest

import vesk
import vesk.export
from vesk._cli import exporting, main, output_bound
from vesk.export import FORMATS, Format, netcdf, write_atomically
from vesk.export.atomic import IN_PROGRESS
from vesk_kinds import KINDS

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
SAMPLES = {n: os.path.join(ROOT, "samples", n + ".vesk")
           for n in ("sample", "mapping", "kinetics", "regions")}
BLOCKS = [(name, b.name) for name, path in SAMPLES.items() for b in vesk.open(path).blocks]
SPECTRA = [(n, k) for n, k in BLOCKS if vesk.open(SAMPLES[n]).block(k).kind == "spectrum"]
OTHERS = [(n, k) for n, k in BLOCKS if (n, k) not in SPECTRA]


def export(capsys, tmp_path, *argv):
    code = main(["export", "-o", str(tmp_path)] + [str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out.splitlines(), err


def exported(capsys, tmp_path, name, key, fmt):
    code, written, err = export(capsys, tmp_path, SAMPLES[name], "--block", key, "-f", fmt)
    assert code == 0, err
    data = vesk.read(SAMPLES[name], key)
    assert written == [os.path.join(str(tmp_path), "%s_%s%s" % (
        name, key.replace("/", "_"), FORMATS[fmt].suffix(data)))]
    return data, written[0]


def sha256(path):
    import hashlib
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def read_csv(pd, path, **kw):
    # before pandas 3 the default float parser may be 1 ulp off; the exact one is asked for
    exact = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}
    return pd.read_csv(path, **exact, **kw)


@pytest.mark.parametrize("name, key", SPECTRA)
def test_spectrum_csv(capsys, tmp_path, name, key):
    pd = pytest.importorskip("pandas")
    data, path = exported(capsys, tmp_path, name, key, "csv")
    table = read_csv(pd, path)
    assert list(table.columns) == [data.block.x_label, data.block.y_label]
    np.testing.assert_array_equal(table.iloc[:, 0].to_numpy(), data.x)
    np.testing.assert_array_equal(table.iloc[:, 1].to_numpy().astype(data.y.dtype), data.y)


@pytest.mark.parametrize("name, key", OTHERS)
def test_long_csv(capsys, tmp_path, name, key):
    pd = pytest.importorskip("pandas")
    data, path = exported(capsys, tmp_path, name, key, "csv")
    table = read_csv(pd, path)
    assert table.columns[-1] == data.block.y_label
    values = table.iloc[:, -1].to_numpy().astype(data.values.dtype).reshape(data.values.shape)
    np.testing.assert_array_equal(values, data.values)
    # each coordinate column holds, row by row, the coordinate of that value
    grids = np.meshgrid(*[np.arange(n) for n in data.values.shape], indexing="ij")
    for name_, (dims, coord) in data.coords.items():
        coord = np.asarray(coord)
        spectral = coord.dtype.kind == "f" and coord.shape == (data.block.points,) and (
            coord[0], coord[-1]) == tuple(data.block.x_range) and data.spectral
        # headed by its name, with units where the file gives them ("time (s)"), as
        # is the time of traces
        column = data.block.x_label if spectral else next(
            c for c in table.columns if c.split(" (")[0] == name_)
        index = tuple(grids[list(data.dims).index(d)] for d in dims)
        expected = coord[index].reshape(-1)
        got = table[column].to_numpy()
        if expected.dtype.kind in "fiu":
            np.testing.assert_array_equal(got.astype(expected.dtype), expected)
        else:
            assert got.astype(str).tolist() == expected.astype(str).tolist()


@pytest.mark.parametrize("kind, layout", [("spectrum", "long"), ("image map", "long"),
                                          ("image map", "wide")])
def test_csv_of_whole_numbers_reads_back_as_floats(capsys, tmp_path, kind, layout):
    pd = pytest.importorskip("pandas")
    vf, key = KINDS[kind]()
    data = vesk.read(vf.write(str(tmp_path / "whole.vesk")))
    code, written, err = export(capsys, tmp_path / "out", tmp_path / "whole.vesk", "-f", "csv",
                                "--layout", layout)
    table = read_csv(pd, written[0])
    values = table.iloc[:, -1:] if layout == "long" else table.iloc[:, 2:]
    assert set(values.dtypes) == {np.dtype(np.float64)}
    np.testing.assert_array_equal(values.to_numpy().reshape(data.shape), data.values)


def test_csv_headings_carry_the_units_the_file_gives(capsys, tmp_path):
    from vesk_kinds import KINDS
    from vesk_writer import param_block
    from writer_3d import BASE_3D
    writer, _ = KINDS["multiregion map"]()
    writer.blocks[0]["payload"] = param_block({**BASE_3D, "DXU": "WN", "MUN": "um"})
    path = writer.write(str(tmp_path / "r.vesk"))
    for layout in ("long", "wide"):
        code, written, err = export(capsys, tmp_path / layout, path, "-f", "csv",
                                    "--layout", layout)
        with open(written[0]) as f:
            heading = f.readline().rstrip("\n").split(",")
        assert code == 0 and {"map_x (um)", "map_y (um)"} <= set(heading), err


@pytest.mark.parametrize("name, key", BLOCKS)
def test_npz(capsys, tmp_path, name, key):
    data, path = exported(capsys, tmp_path, name, key, "npy")
    with np.load(path) as z:            # allow_pickle stays off
        assert json.loads(str(z["parameters"])) == dict(data.parameters)
        assert (z["source"], z["source_sha256"]) == (SAMPLES[name], sha256(SAMPLES[name]))
        # not DAT's day-first text alone; none for a block its parameters do not date
        assert (str(z["measured"]) if "measured" in z.files else None) == (
            data.measured and data.measured.isoformat())
        if data.block.kind == "spectrum":
            np.testing.assert_array_equal(z["x"], data.x)
            np.testing.assert_array_equal(z["y"], data.y)
            assert z["y"].dtype == data.y.dtype
        # Every kind alike, so that one loader takes them all.
        np.testing.assert_array_equal(z["values"], data.values)
        assert tuple(z["dims"]) == tuple(data.dims)
        where = json.loads(str(z["coordinate_dims"]))
        for name_, (dims, coord) in data.coords.items():
            assert where[name_] == list(dims)
            assert z[name_].tolist() == np.asarray(coord).tolist()
        assert str(z["kind"]) == data.block.kind
        described = json.loads(str(z["coordinate_attrs"]))
    # described as NetCDF describes them, for a reader with numpy alone
    pytest.importorskip("xarray")
    array = data.to_xarray()
    assert described == {c: dict(array[c].attrs) for c in array.coords if array[c].attrs}


@pytest.mark.parametrize("name, key", BLOCKS)
def test_netcdf(capsys, tmp_path, monkeypatch, name, key):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    data, path = exported(capsys, tmp_path, name, key, "netcdf")
    expected = data.to_xarray()
    with xr.open_dataarray(path) as back:
        back.load()
    assert back.dims == expected.dims
    np.testing.assert_array_equal(back.values, expected.values)
    for c in expected.coords:
        assert back[c].values.tolist() == expected[c].values.tolist()
        assert back[c].attrs == expected[c].attrs
    assert {k: back.attrs[k] for k in expected.attrs} == dict(expected.attrs)
    import netCDF4
    with netCDF4.Dataset(path) as nc:  # as CF has coordinates: named, no fill value
        assert [c for c in expected.coords if "_FillValue" in nc[c].ncattrs()
                or "long_name" not in nc[c].ncattrs()] == []
        # an integer parameter keeps the 32 bits it is stored in
        widths = {np.asarray(nc[expected.name].getncattr(k)).dtype
                  for k, v in data.parameters.items() if type(v) is int}
        assert widths == {np.dtype(np.int32)}
    with xr.open_dataset(path) as ds:
        about = dict(ds.attrs)
    source = SAMPLES[name]  # the path as given
    assert about.pop("source") == source
    assert about.pop("source_sha256") == sha256(source)
    assert about.pop("history") == "2023-11-14T22:13:20Z vesk %s: exported block %s of %s" % (
        vesk.__version__, key, source)
    assert about.pop("title").endswith("%s (%s)" % (data.block.y_label, key))
    assert about.pop("Conventions") == "CF-1.8, ACDD-1.3"
    measured = data.measured
    assert about == ({"time_coverage_start": measured.isoformat()} if measured else {})


@pytest.mark.parametrize("fmt, layout", [("csv", "long"), ("csv", "wide"), ("npy", "long"),
                                         ("jcamp", "long"), ("netcdf", "long"), ("mat", "long")])
def test_a_program_writes_what_the_command_writes(capsys, tmp_path, monkeypatch, fmt, layout):
    if fmt in ("netcdf", "mat"):
        pytest.importorskip({"netcdf": "netCDF4", "mat": "scipy"}[fmt])
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    path = SAMPLES["kinetics"]
    code, written, err = export(capsys, tmp_path / "cli", path, "-f", fmt, "-b", "AB/3D/NONE",
                                *(["--layout", layout] if fmt == "csv" else []))
    assert code == 0, err
    ours = tmp_path / "ours"
    vesk.export.write(vesk.read(path, "AB/3D/NONE"), ours, fmt, layout)
    assert ours.read_bytes() == open(written[0], "rb").read()
    with pytest.raises(FileExistsError, match="force=True"):
        vesk.export.write(vesk.read(path, "AB/3D/NONE"), ours, fmt, layout)


@pytest.mark.parametrize("fmt", ["npy", "jcamp", "netcdf", "mat", "zarr"])
def test_a_program_is_refused_the_wide_layout_where_the_command_is(tmp_path, fmt):
    with pytest.raises(ValueError, match="is for CSV"):
        vesk.export.write(vesk.read(SAMPLES["kinetics"], "AB/3D/NONE"), tmp_path / "out", fmt,
                          "wide")
    assert not os.path.exists(tmp_path / "out")


@pytest.mark.parametrize("what, where, error", [
    (lambda f: f.blocks[0], "out.csv", TypeError),  # described, not read
    (lambda f: f[f.blocks[0].key], ".", IsADirectoryError),  # not 'force=True overwrites it'
])
def test_a_program_is_told_what_write_cannot_take(tmp_path, what, where, error):
    with vesk.open(SAMPLES["sample"]) as f:
        with pytest.raises(error, match="read \\(f\\[key\\]|Is a directory"):
            vesk.export.write(what(f), tmp_path / where, "csv")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name, hint", [
    ("npz", "use 'npy' (it writes .npz)"), ("CSV", "use 'csv' (it writes .csv)"),
    ("dx", "use 'jcamp' (it writes .jdx)"), ("jdx", "use 'jcamp'"), (".nc", "use 'netcdf'"),
    ("hdr", "use 'envi' (it writes .img and .hdr)"), ("Parq", "use 'parquet'"),
    ("h5", "use 'netcdf'"), ("xls", "one of csv, envi, jcamp, mat, netcdf, npy, parquet, zarr"),
    # none of ours writes these: what to use instead
    ("tsv", "use 'csv' (it writes .csv: comma-separated, not tab"), ("TXT", "use 'csv'"),
    ("xlsx", "use 'csv', which spreadsheets open, or 'parquet'"),
    (".json", "'vesk ls --json' lists the blocks and their parameters; the values go to 'npy'"),
])
def test_a_format_named_by_its_suffix_is_refused_with_its_name(capsys, tmp_path, name, hint):
    with pytest.raises(ValueError) as e:
        vesk.export.write(vesk.read(SAMPLES["sample"], "AB/2D/NONE"), tmp_path / "o", name)
    assert str(e.value).startswith("no format %r; %s" % (name, hint))
    code = main(["export", SAMPLES["sample"], "-f", name, "-o", str(tmp_path)])
    err = capsys.readouterr().err
    assert code == 2 and err.startswith("usage: vesk export")
    assert (hint in err) != hint.startswith("one of")  # an unknown name: argparse's own choices
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("source", ["file", "replaced", "rewritten in place", "named stream"])
def test_source_sha256_is_of_the_bytes_read_or_absent(tmp_path, source):
    path = tmp_path / "run.0"
    shutil.copy(SAMPLES["sample"], path)
    if source == "named stream":  # an upload named as a file here that it is not
        with open(SAMPLES["sample"], "rb") as f:
            stream = io.BytesIO(f.read())
        stream.name = str(path)
        shutil.copy(SAMPLES["mapping"], path)
        data = vesk.read(stream, "SSC")
    else:
        data = vesk.read(path, "SSC")
    if source == "replaced":
        shutil.copy(SAMPLES["mapping"], tmp_path / "new")
        os.replace(tmp_path / "new", path)
    if source == "rewritten in place":  # same file, size and time; other bytes
        st = os.stat(path)
        with open(path, "r+b") as f, open(SAMPLES["mapping"], "rb") as new:
            f.write(new.read(st.st_size))
            f.truncate(st.st_size)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    vesk.export.write(data, tmp_path / "out.npz", "npy")
    with np.load(tmp_path / "out.npz") as z:
        assert z.get("source_sha256") == (sha256(SAMPLES["sample"]) if source == "file" else None)


@pytest.mark.parametrize("name, key", SPECTRA)
def test_jcamp_read_back_by_an_independent_reader(capsys, tmp_path, name, key):
    jcamp = pytest.importorskip("jcamp")
    data, path = exported(capsys, tmp_path, name, key, "jcamp")
    back = jcamp.jcamp_readfile(path) if hasattr(jcamp, "jcamp_readfile") else \
        jcamp.readfile(path)
    assert back["jcamp-dx"] == 5.01 and back["npoints"] == len(data.y)
    assert back["xunits"] == "1/CM" and back["title"]
    # written with the digits that restore each number: equal, not just close
    np.testing.assert_array_equal(back["x"], data.x)
    np.testing.assert_array_equal(back["y"].astype(data.y.dtype), data.y)
    with open(path) as f:
        lines = f.read().splitlines()
    assert lines[0].startswith("##TITLE=") and lines[-1] == "##END="
    assert max(map(len, lines[lines.index("##XYDATA=(X++(Y..Y))"):])) <= 80


@pytest.mark.parametrize("name, key", OTHERS)
def test_wide_csv(capsys, tmp_path, name, key):
    pd = pytest.importorskip("pandas")
    code, written, err = export(capsys, tmp_path, SAMPLES[name], "-b", key, "-f", "csv",
                                "--layout", "wide")
    assert code == 0, err
    expected = vesk.read(SAMPLES[name], key).to_pandas()
    table = read_csv(pd, written[0], index_col=list(range(expected.index.nlevels)))
    # Headed as the long layout heads them: an x axis by its label ("Time (s)").
    assert [n.split(" (")[0].lower() for n in table.index.names] == list(expected.index.names)
    def rows(index):
        return index.to_frame(index=False).astype(str).to_numpy().tolist()
    assert rows(table.index) == rows(expected.index)
    assert table.columns.tolist() == expected.columns.astype(str).tolist()
    np.testing.assert_array_equal(table.to_numpy().astype(expected.dtypes.iloc[0]),
                                  expected.to_numpy())


@pytest.mark.parametrize("layout", ["long", "wide"])
def test_csv_holds_one_chunk_of_rows_at_a_time(tmp_path, monkeypatch, layout):
    import tracemalloc
    from hostile_files import aborted_image_map
    from vesk.export import table
    monkeypatch.setattr(table, "CHUNK", 1024)
    path = tmp_path / "aborted.vesk"
    path.write_bytes(aborted_image_map(npx=300, npy=300, npt=1)[0])
    data = vesk.read(path, "AB")
    tracemalloc.start()
    try:
        (table.write_wide if layout == "wide" else table.write_long)(data, str(tmp_path / "o"))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20  # all 90,000 rows' texts at once take several MB


def test_jcamp_writes_unmeasured_points_as_such(tmp_path):
    from hostile_files import aborted_image_map
    path = tmp_path / "aborted.vesk"
    path.write_bytes(aborted_image_map(npx=3, npy=2, npt=4, recorded=2)[0])
    FORMATS["jcamp"].write(vesk.read(path, "AB"), str(tmp_path / "o.jdx"))
    blocks = (tmp_path / "o.jdx").read_text().split("##BLOCK_ID=")[1:]
    assert len(blocks) == 6 and all(b.count("##END=") == 1 for b in blocks[:-1])
    assert "##MINY=" in blocks[1] and "##MINY=" not in blocks[2]  # no finite value
    assert blocks[2].split("##XYDATA=(X++(Y..Y))\n")[1].split()[1:5] == ["?"] * 4


@pytest.mark.parametrize("chunk", [1, 5, 64])
@pytest.mark.parametrize("legacy", [False, "1.13"])
@pytest.mark.parametrize("x_scale", [1.0, 1e300])  # 1e300: lines of 300 characters, a MB of them
def test_jcamp_table_lines_do_not_depend_on_chunks(monkeypatch, chunk, legacy, x_scale):
    from vesk.export import jcamp
    rng = np.random.default_rng(7)
    n = 300 if x_scale == 1 else 4000
    y = (rng.standard_normal(n) * 10.0 ** rng.integers(-8, 20, n)).astype(np.float32)
    y[[3, 4, 150]] = [np.nan, 1.0, np.inf]
    x = np.linspace(4000.0, 399.5, len(y)) * x_scale
    whole = "".join(jcamp.table(x, y))
    with np.printoptions(legacy=legacy):
        monkeypatch.setattr(jcamp, "Y_CHUNK", chunk)
        lines = "".join(jcamp.table(x, y)).splitlines()
    assert lines == whole.splitlines() and whole.endswith("\n")
    start = 0
    for k, line in enumerate(lines):
        cells = line.split(" ")
        assert cells[0] == np.format_float_positional(x[start], unique=True, trim="-")
        assert len(line) <= jcamp.LINE or len(cells) == 2
        if k + 1 < len(lines):  # no room left for the next line's first y
            assert len(line) + 1 + len(lines[k + 1].split(" ")[1]) > jcamp.LINE
        start += len(cells) - 1
    ys = [c for line in lines for c in line.split(" ")[1:]]
    assert start == len(y) and ys[3:5] == ["?", "1"] and ys[150] == "?"
    assert all(np.float32(t) == v for t, v in zip(ys, y) if t != "?")


def _awkward_numbers(dtype, count):
    """Values whose texts are easily got wrong, then `count` random bit patterns."""
    info = np.finfo(dtype)
    subnormal = np.nextafter(np.zeros(1, dtype), 1)[0]  # finfo has it from numpy 1.22 only
    bits = np.dtype("u%d" % (info.bits // 8))
    powers = np.array([10.0 ** k for k in range(int(np.log10(subnormal)),
                                                int(np.log10(info.max)) + 1)], dtype)
    near = np.concatenate([np.nextafter(powers, -np.inf), powers, np.nextafter(powers, np.inf)])
    special = np.array([0, info.max, info.tiny, subnormal, 1e9 - 64, 1e9, 1e9 + 64,
                        1e16 - 2, 1e16, 1e16 + 2, 1e-5, 1e-4, 0.1, 1.5, 123456.0, 1048576.125,
                        2.0 ** 24, np.inf, np.nan], dtype)
    nans = np.array([(0x7FC << (info.bits - 12)) | 1, (0xFFF << (info.bits - 12)),
                     (0x7F8 << (info.bits - 12)) | 5], bits).view(dtype)  # sign and payload bits
    rng = np.random.default_rng(info.bits)
    random = rng.integers(0, np.iinfo(bits).max, count, dtype=bits, endpoint=True).view(dtype)
    return np.concatenate([near, special, -special, nans, random])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("style", ["csv", "jcamp"])
def test_number_texts_are_pythons(dtype, style):
    from vesk import _native
    values = _awkward_numbers(dtype, 150_000)
    if style == "csv":
        texts = ["%.9g" % v if dtype == np.float32 else repr(v) for v in values.tolist()]
        with np.errstate(invalid="ignore"):
            whole = (values == np.trunc(values)) & (np.abs(values) < 1e9) & (dtype == np.float32)
        expected = [t + ".0" if w else t for t, w in zip(texts, whole.tolist())]
    else:
        expected = [np.format_float_positional(v, unique=True, trim="-") for v in values]
    assert _native.number_texts(values, style) == expected
    strided = values[::-3].reshape(-1, 1)[: len(values) // 3 // 2 * 2].reshape(-1, 2)
    assert _native.number_texts(strided, style) == expected[::-3][: strided.size]


@pytest.mark.parametrize("values", [
    [np.arange(5, dtype=np.float32) / 4], [np.arange(-3, 2), np.array([True, False] * 2 + [True])],
    [np.arange(15, dtype=np.uint8).reshape(5, 3)[:, ::-2], np.linspace(0, 1, 5)]])
def test_csv_rows_are_the_cells_of_each_row(values):
    from vesk import _native
    columns = [(["a", "é,b"], np.array([1, 0, 1, 1, 0])), (["x", "y", "z", "w", "v"], None)]
    rows = _native.csv_rows(columns, values)
    for r, line in enumerate(rows.split("\n")[:-1]):
        numbers = [_native.number_texts(np.atleast_1d(v[r]), "csv") for v in values]
        assert line == ",".join([texts[r if at is None else at[r]] for texts, at in columns] +
                                [t for cells in numbers for t in cells])
    assert rows.count("\n") == 5 and rows.endswith("\n")


@pytest.mark.parametrize("call, error", [
    (lambda n: n.csv_rows([(["a"], np.array([0, 1]))], [np.zeros(2)]), IndexError),
    (lambda n: n.csv_rows([(["a", "b"], np.array([0, -1]))], [np.zeros(2)]), IndexError),
    (lambda n: n.csv_rows([(["a"], None)], [np.zeros(2)]), IndexError),
    (lambda n: n.csv_rows([], [np.zeros(2), np.zeros(3)]), ValueError),
    (lambda n: n.number_texts(np.zeros(2, ">f4"), "csv"), TypeError),
    (lambda n: n.number_texts(np.zeros(2, np.int32), "jcamp"), TypeError),
    (lambda n: n.jcamp_lines(np.zeros(2), np.full(30, 1.25, np.float32), 0, 99), IndexError),
    (lambda n: n.jcamp_lines(np.zeros(3), np.zeros(3, np.float32), 4, 10), ValueError)])
def test_number_writers_refuse_what_they_cannot_write(call, error):
    from vesk import _native
    with pytest.raises(error):
        call(_native)


@pytest.mark.parametrize("width", [0, 1, 7])
def test_jcamp_spectra_records_written_together_as_each_alone(width):
    from vesk.export import jcamp
    rows = np.arange(12 * width, dtype=np.float32).reshape(12, width) - 5
    rows[2:, 0:1], rows[4], rows[6, 1:], rows[8:10] = np.nan, np.nan, np.inf, 1e-7
    lows, highs = jcamp._finite_range(rows)
    assert jcamp._y_records_of(rows, lows, highs) == [
        "".join("##%s=%s\n" % r for r in jcamp._y_records(y, lows[k], highs[k]))
        for k, y in enumerate(rows)]


def _series_of_no_points():
    from writer_3d import BASE_3D, file_3d, stored_block, store_block
    data = store_block([stored_block([], time=t) for t in (1.0, 2.0)], block_size=0)
    return file_3d(data, {**BASE_3D, "NPT": 0}), ("AB", "3D", "NONE")


@pytest.mark.parametrize("build", [KINDS["time-resolved series"], KINDS["image map"],
                                   KINDS["multiregion map"], _series_of_no_points])
def test_jcamp_compound_blocks_each_open_as_a_block_must(tmp_path, build):
    vf, key = build()
    data = vesk.read(vf.write(str(tmp_path / "in.vesk")), "/".join(key))
    FORMATS["jcamp"].write(data, str(tmp_path / "o.jdx"))
    link, *blocks = (tmp_path / "o.jdx").read_text().split("##TITLE=")[1:]
    rows = data.table_view()[0].shape[:-1]  # to_pandas()'s rows, without pandas
    assert "##DATA TYPE=LINK" in link and len(blocks) == int(np.prod(rows))
    for b in blocks:
        labels = [line.split("=")[0] for line in b.splitlines()[1:6]]
        assert labels == ["##JCAMP-DX", "##DATA TYPE", "##ORIGIN", "##OWNER", "##BLOCK_ID"]
        assert "##NPOINTS=%d\n" % data.values.shape[-1] in b


def test_layout_is_for_csv_only(capsys, tmp_path):
    code, written, err = export(capsys, tmp_path, SAMPLES["sample"], "-f", "npy",
                                "--layout", "wide")
    assert (code, written) == (2, []) and "--layout is for CSV" in err
    assert err.startswith("usage: vesk export")  # as every other usage error


@pytest.mark.parametrize("second, code", [("AB/2D/NONE", 2), ("SSC", 2), ("rsc-ch2/3d", 2),
                                          ("missing.vesk", 1),
                                          ("{tmp}/run", 1),  # below a folder: a file's name
                                          ("run2", 1), ("AB/4D", 1)])  # no key: a missing name
def test_a_key_given_as_a_file_to_export_is_a_usage_error(capsys, tmp_path, second, code):
    second = second.format(tmp=tmp_path)
    got, written, err = export(capsys, tmp_path / "out", SAMPLES["sample"], second, "-f", "csv")
    assert got == code and ("a block to export is given with --block %s" % second in err) == (
        code == 2)
    assert (written == []) == (code == 2)  # a usage error writes nothing


@pytest.mark.parametrize("fmt, name, made", [("csv", "spectrum.CSV", False),
                                             ("envi", "cube.hdr", False),
                                             ("npy", "spectrum.csv", True),  # not npy's
                                             ("csv", "kept.csv", True),      # a folder there
                                             ("csv", "named.csv/", True)])   # named as one
def test_an_output_folder_named_as_an_output_is_refused(capsys, tmp_path, fmt, name, made):
    out = os.path.join(str(tmp_path), name)
    if name.startswith("kept"):
        os.mkdir(out)
    code, written, err = export(capsys, out, SAMPLES["sample"], "-b", "SSC", "-f", fmt)
    assert (code == 0) == made and os.path.isdir(out) == made
    assert made or "%s names an output; -o is the folder" % out in err


@pytest.mark.parametrize("layout", ["long", "wide"])
@pytest.mark.parametrize("label, written", [
    ("plain", "plain"), ('a, "quoted"\nname', 'a, "quoted"\nname'), ("-5", "-5"),
    ("line\nbreak", "line\nbreak"), ("carriage\rreturn", "carriage\rreturn"),
    ("-", "-"),
    # what a spreadsheet would run is shown as text
    ('=HYPERLINK("http://x")', '\'=HYPERLINK("http://x")'), ("@SUM(A1)", "'@SUM(A1)")])
def test_csv_quotes_texts_that_need_it(tmp_path, label, written, layout):
    import csv
    from vesk.export.table import write_long, write_wide
    from vesk_kinds import MAP, _traces
    from writer_3d import BASE_3D, file_3d
    path = file_3d(_traces([label, "b"], npt=6), {**BASE_3D, **MAP, "NPT": 6},
                   data_type=7).write(str(tmp_path / "t.vesk"))
    write = write_long if layout == "long" else write_wide
    write(vesk.read(path, "TRC/3D/NONE"), str(tmp_path / "t.csv"))
    with open(str(tmp_path / "t.csv"), newline="") as f:
        rows = list(csv.reader(f))
    names = [r[rows[0].index("trace")] for r in rows[1:3]] if layout == "long" else rows[0][2:]
    assert names == [written, "b"]


def test_csv_heading_is_one_line_a_spreadsheet_does_not_run(tmp_path):
    from vesk.export.table import write_spectrum
    from vesk_writer import spectrum_file
    path = spectrum_file([1.0, 2.0], {"DXU": "=1+1\nx"}).write(str(tmp_path / "s.vesk"))
    write_spectrum(vesk.read(path), str(tmp_path / "s.csv"))
    with open(str(tmp_path / "s.csv")) as f:
        assert f.readline() == "'=1+1\\nx,Absorbance\n"


def test_jcamp_header_keeps_date_and_escapes_control_characters(tmp_path):
    from vesk.export.jcamp import header
    from vesk_writer import spectrum_file
    path = spectrum_file([1.0, 2.0], {"SNM": "wax\x1b[2J", "DAT": "07/12/2026",
                                      "TIM": "21:38:08.250 (GMT+1)"}).write(str(tmp_path / "s.vesk"))
    lines = header(vesk.read(path, "AB/2D/NONE")).splitlines()
    assert lines[0] == "##TITLE=wax\\x1b[2J, AB/2D/NONE"
    assert "##LONGDATE=2026/12/07 21:38:08.2500 +0100" in lines
    day = spectrum_file([1.0, 2.0], {"DAT": "07/12/2026"}).write(str(tmp_path / "d.vesk"))
    assert "##LONGDATE=2026/12/07" in header(vesk.read(day)).splitlines()  # not midnight


HOSTILE = "a (b\n##TITLE=c $$d\r##END=)"


@pytest.mark.parametrize("kind, params", [
    ("spectrum", {"DXU": HOSTILE, "SNM": HOSTILE, "A=B": "x", "$$": HOSTILE}),
    ("image map", {"MUN": HOSTILE, "CNM": HOSTILE, "A=B": "x"}),
])
def test_jcamp_records_stay_whole_whatever_the_texts(capsys, tmp_path, kind, params):
    # units, names and keys from the file: none may start, end or cut short a record
    from vesk_kinds import MAP, _spectra
    from vesk_writer import spectrum_file
    from writer_3d import BASE_3D, file_3d
    vf = spectrum_file([1.0, 2.0], params) if kind == "spectrum" else \
        file_3d(_spectra(6), {**BASE_3D, **MAP, **params})
    code, written, err = export(capsys, tmp_path, vf.write(str(tmp_path / "h.vesk")), "-f", "jcamp")
    assert code == 0, err
    with open(written[0], encoding="utf-8") as f:
        lines = f.read().splitlines()
    assert all(line.startswith("##") or line[:1] in "0123456789-?" for line in lines)
    assert not any("$$" in line or "##" in line[2:] for line in lines)
    labels = [line[2:line.index("=")] for line in lines if line.startswith("##")]
    assert labels.count("TITLE") == labels.count("END") and "$A\\x3dB" in labels


@pytest.mark.parametrize("text", ["a\nb", "tab\there", "cr\r\nlf", "two  spaces", " lead",
                                  "trail ", "   ", "ideographic\u3000space", "\x1b[2J"])
def test_jcamp_keeps_a_texts_whitespace_as_escapes(tmp_path, text):
    import codecs
    import re
    jcamp = pytest.importorskip("jcamp")
    from vesk_writer import spectrum_file
    path = spectrum_file([1.0, 2.0], {"SNM": text}).write(str(tmp_path / "s.vesk"))
    vesk.export.write(vesk.read(path), tmp_path / "s.jdx", "jcamp")
    back = (getattr(jcamp, "jcamp_readfile", None) or jcamp.readfile)(str(tmp_path / "s.jdx"))
    back = back["$snm"]
    assert re.sub(r"\\(x..|u....|[ntr])", lambda m: codecs.decode(m[0], "unicode_escape"),
                  back) == text


def test_jcamp_leaves_out_a_coordinate_that_is_not_given(tmp_path):
    import re
    vf, key = KINDS["multiregion map"]()
    with pytest.warns(vesk.VeskWarning):
        data = vesk.read(vf.write(str(tmp_path / "m.vesk")), "/".join(key))
    vesk.export.write(data, tmp_path / "m.jdx", "jcamp")
    text = (tmp_path / "m.jdx").read_text()
    held = ["##$START_TIME=" in b for b in text.split("##BLOCK_ID=")[1:]]
    given = np.isfinite(data.coords["start_time"][1])
    assert held == given.tolist() and not given.all()
    assert not re.search(r"\bnan\b", text)


def test_jcamp_skips_traces_unless_asked(capsys, tmp_path):
    code, written, err = export(capsys, tmp_path, SAMPLES["kinetics"], "-f", "jcamp")
    assert code == 0 and [os.path.basename(w) for w in written] == ["kinetics_AB_3D_NONE.jdx"]
    assert "vesk: skipped %s: TRC/3D/NONE: JCAMP-DX holds spectra, series and maps of " \
        "spectra; not time-resolved traces" % SAMPLES["kinetics"] in err
    code, written, err = export(capsys, tmp_path, SAMPLES["kinetics"], "-f", "jcamp",
                                "--block", "TRC/3D/NONE")
    assert code == 1 and written == [] and "TRC/3D/NONE" in err and SAMPLES["kinetics"] in err


@pytest.mark.parametrize("name", ["kinetics", "mapping", "regions"])
def test_jcamp_of_many_spectra_reads_back_block_by_block(capsys, tmp_path, name):
    jcamp = pytest.importorskip("jcamp")
    data, path = exported(capsys, tmp_path, name, "AB/3D/NONE", "jcamp")
    back = (getattr(jcamp, "jcamp_readfile", None) or jcamp.readfile)(path)
    table = data.to_pandas()
    assert back["data type"] == "LINK" and back["blocks"] == len(back["children"]) == len(table)
    # every spectrum, measured or not (NaN as "?"), in to_pandas()'s row order
    np.testing.assert_array_equal(np.array([c["y"] for c in back["children"]], np.float32),
                                  table.to_numpy())
    np.testing.assert_array_equal(back["children"][-1]["x"], data.x)
    last = back["children"][-1]
    where = table.index[-1] if isinstance(table.index[-1], tuple) else (table.index[-1],)
    for level, value in zip(table.index.names, where):
        assert last["$" + level] == value


def test_never_overwrites_without_force(capsys, tmp_path):
    target = tmp_path / "sample_AB_2D_NONE.csv"
    target.write_text("mine")
    code, written, err = export(capsys, tmp_path, SAMPLES["sample"], "-b", "AB/2D/NONE",
                                "-f", "csv")
    assert code == 1 and written == [] and target.read_text() == "mine"
    assert "%s exists (use --force to overwrite, or --skip-existing to keep it)" % target in err
    assert SAMPLES["sample"] in err
    assert err.splitlines()[-1].endswith(
        "(1 block failed); 1 of them as its output is there: --skip-existing keeps it, --force "
        "writes it again")
    code, written, _ = export(capsys, tmp_path, SAMPLES["sample"], "-b", "AB/2D/NONE",
                              "-f", "csv", "--force")
    assert code == 0 and target.read_text().startswith("Wavenumber")


def test_interrupted_write_leaves_no_file(capsys, tmp_path, monkeypatch):
    left_open = []

    def broken(data, path):
        # as netCDF does on a full disk: the file stays open after the failure
        left_open.append(open(path, "w"))
        left_open[-1].write("half")
        left_open[-1].flush()
        raise OSError(28, "No space left on device")
    monkeypatch.setitem(FORMATS, "csv", FORMATS["csv"]._replace(spectrum=broken))
    code, written, err = export(capsys, tmp_path, SAMPLES["sample"], "-f", "csv")
    out = os.path.join(str(tmp_path), "sample_AB_2D_NONE.csv")
    assert code == 1 and "%s: AB/2D/NONE: %s: No space left on device" % (
        SAMPLES["sample"], out) in err
    assert os.listdir(str(tmp_path)) == []  # a full disk stops the run there
    # what it had written no longer takes room
    assert [os.fstat(f.fileno()).st_size for f in left_open] == [0]
    for f in left_open:
        f.close()


@pytest.mark.parametrize("making", [True, False])
def test_signal_while_an_output_is_written_leaves_nothing(tmp_path, monkeypatch, making):
    if making:
        real_open = os.open

        def interrupted(*args):
            os.close(real_open(*args))  # made, its name not yet handed back
            raise KeyboardInterrupt
        monkeypatch.setattr(os, "open", interrupted)

    def write(tmp):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        write_atomically(str(tmp_path / "out.csv"), write)
    assert os.listdir(str(tmp_path)) == [] and not IN_PROGRESS


def test_a_worker_ended_by_another_thread_as_it_makes_its_output_leaves_nothing(tmp_path,
                                                                             monkeypatch):
    # The thread that ends a worker removes its temporary files while its
    # main thread goes on: here, as that one is making one.
    import threading
    from vesk.export import atomic
    monkeypatch.setattr(atomic, "_MAKING", threading.Lock())  # taken for good below
    real_open, making, ended = os.open, threading.Event(), threading.Event()

    def slow_open(*args):
        making.set()
        ended.wait(0.5)
        return real_open(*args)
    monkeypatch.setattr(os, "open", slow_open)

    def end():
        making.wait(5)
        threading.Timer(0.1, ended.set).start()
        atomic.remove_in_progress()
    ender = threading.Thread(target=end)
    ender.start()
    held = []
    atomic._make_temporary(str(tmp_path / "out.csv"), [], held)
    ender.join()
    os.close(held[0])
    IN_PROGRESS.clear()
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("force", [False, True])
def test_signal_as_an_output_is_put_in_place_leaves_it_whole(tmp_path, monkeypatch, force):
    from vesk.export import atomic
    put = atomic._put_in_place

    def interrupted(*args):
        put(*args)
        raise KeyboardInterrupt
    monkeypatch.setattr(atomic, "_put_in_place", interrupted)
    out = tmp_path / "out.csv"
    with pytest.raises(KeyboardInterrupt):
        write_atomically(str(out), lambda path: pathlib.Path(path).write_text("whole"),
                         force=force)
    assert (os.listdir(str(tmp_path)), out.read_text()) == (["out.csv"], "whole")


def test_a_link_put_in_place_of_the_temporary_file_is_not_followed(tmp_path):
    # As another user of a folder both may write to would, as the output is written.
    victim = tmp_path / "victim"
    victim.write_text("mine")
    (tmp_path / "o").mkdir()

    def write(path):
        tmp, = IN_PROGRESS
        os.unlink(tmp)
        os.symlink(str(victim), tmp)
        with open(path, "w") as f:
            f.write("output")
    with pytest.raises(FileExistsError, match="replaced"):
        write_atomically(str(tmp_path / "o" / "out.csv"), write)
    assert victim.read_text() == "mine" and os.listdir(str(tmp_path / "o")) == []



@pytest.mark.parametrize("case, removed", [
    ("ended", True), ("its pid taken again", True), ("running", False),
    ("another boot", False), ("a link", False), ("not a part file", False),
    ("no /proc", False), ("a /proc of an outer pid namespace", False)])
def test_only_part_files_of_ended_writers_are_removed(tmp_path, monkeypatch, case, removed):
    import subprocess
    from vesk.export import atomic
    where = atomic._writer()
    if where is None:
        pytest.skip("no /proc of this pid namespace")
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        with open("/proc/%d/stat" % child.pid) as f:
            started = atomic._started(f.read())
        if case != "running":
            started += case == "its pid taken again"
            if case != "its pid taken again":
                child.kill()
                child.wait()
        name = ".out.csv.0123abcd.%s-%d-%d.part%s" % (
            "f" * 16 if case == "another boot" else where[0], child.pid, started,
            "ial" if case == "not a part file" else "")
        (tmp_path / "target").write_text("")
        if case == "a link":
            (tmp_path / name).symlink_to(tmp_path / "target")
        else:
            (tmp_path / name).write_text("")
        if "/proc" in case:  # its pids are not ours: told apart by ours there
            read, outer = atomic._read, "NSpid:\t4321\t%d\n" % os.getpid()
            monkeypatch.setattr(atomic, "_WRITERS", {})
            monkeypatch.setattr(atomic, "_read", lambda path: open("/no/proc") if case == "no /proc"
                                else outer if path.endswith("/status") else read(path))
        assert atomic.remove_stale(str(tmp_path)) == ([str(tmp_path / name)] if removed else [])
        assert os.path.lexists(tmp_path / name) != removed
    finally:
        child.kill()
        child.wait()


def test_a_stale_part_file_removed_is_told_at_the_callers_line(tmp_path):
    import subprocess
    from vesk.export import atomic
    where = atomic._writer()
    if where is None:
        pytest.skip("no /proc of this pid namespace")
    ended = subprocess.Popen([sys.executable, "-c", ""])
    ended.wait()
    stale = tmp_path / (".s.npy.0123abcd.%s-%d-1.part" % (where[0], ended.pid))
    stale.write_text("")
    with pytest.warns(UserWarning, match="removed") as caught:
        vesk.export.write(vesk.read(SAMPLES["sample"], "AB/2D/NONE"), tmp_path / "s.npy",
                          "npy")
    assert [w.filename for w in caught] == [__file__] and not stale.exists()


def test_netcdf_into_a_folder_whose_name_is_not_text(capsysbinary, tmp_path):
    pytest.importorskip("xarray")
    netCDF4 = pytest.importorskip("netCDF4")
    folder = os.path.join(os.fsencode(tmp_path), b"caf\xe9")  # Latin-1 bytes: not UTF-8
    code = main(["export", "-o", os.fsdecode(folder), "-b", "AB/2D/NONE", "-f", "netcdf",
                 SAMPLES["sample"]])
    out, err = capsysbinary.readouterr()
    assert code == 0, err
    with open(out.splitlines()[0], "rb") as f:
        with netCDF4.Dataset("back", memory=f.read()) as back:
            assert back["AB_2D_NONE"].shape == (1024,)


def test_what_netcdf_raises_writing_passes_through_unchanged(tmp_path):
    # a UnicodeEncodeError of the write was taken for the path check's own
    with pytest.raises(UnicodeEncodeError):
        with netcdf._nameable(str(tmp_path / "a.nc")):
            "\xe9".encode("ascii")


@pytest.mark.parametrize("raised, told", [
    (RuntimeError("NetCDF: HDF error"), errno.ENOSPC),
    (OSError(-101, "NetCDF: HDF error", "a.nc"), errno.ENOSPC),  # as it creates the file
    (PermissionError(errno.EACCES, "Permission denied"), errno.ENOSPC),
    (RuntimeError("NetCDF: Name contains illegal characters"), None),
    (OSError(errno.EIO, "Input/output error"), errno.EIO),
])
def test_netcdf_in_a_nearly_full_folder_tells_the_true_cause(tmp_path, monkeypatch, raised,
                                                              told):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")

    def failing(*args, **kw):
        raise raised
    monkeypatch.setattr(xr.Dataset, "to_netcdf", failing)
    monkeypatch.setattr(netcdf, "_short_of_room", lambda folder, nbytes: True)
    with pytest.raises(type(raised) if told is None else OSError) as e:
        netcdf.write(vesk.read(SAMPLES["sample"], "AB/2D/NONE"), str(tmp_path / "a.nc"))
    assert getattr(e.value, "errno", None) == told


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_warnings_while_reading_come_through_the_command(capfd, tmp_path, jobs):
    from vesk_writer import spectrum_file
    paths = []
    for name in ("a.vesk", "b.vesk"):  # values running past their block warn
        vf = spectrum_file([1.0, 2.0, 3.0, 4.0, 5.0])
        vf.blocks[0]["size_words"] = 3
        paths.append(vf.write(str(tmp_path / name)))
    code = main(["export", "-o", str(tmp_path / "out"), "-f", "csv", "--jobs", jobs] + paths)
    err = capfd.readouterr().err
    assert code == 0 and "VeskWarning" not in err
    assert sorted(line.split(": AB")[0] for line in err.splitlines()
                  if line.startswith("vesk: warning")) == [
        "vesk: warning: " + p for p in paths]
    assert err.splitlines()[-1].endswith("(2 warnings)")


@pytest.mark.parametrize("jobs, starts", [("1", None), ("2", None), ("2", 1)])
def test_many_files_one_bad(capsys, tmp_path, monkeypatch, jobs, starts):
    if starts is not None:  # the descriptors run out as the second worker starts
        import multiprocessing.context as mpc
        start, started = mpc.SpawnProcess.start, []

        def limited(process):
            if len(started) == starts:
                raise OSError(errno.EMFILE, os.strerror(errno.EMFILE))
            started.append(start(process))
        monkeypatch.setattr(mpc.SpawnProcess, "start", limited)
    bad = tmp_path / "in" / "broken.vesk"
    bad.parent.mkdir()
    with open(SAMPLES["kinetics"], "rb") as f:
        bad.write_bytes(f.read()[:30])             # cut inside the directory
    out = tmp_path / "out"
    files = [SAMPLES["sample"], str(bad), SAMPLES["mapping"], SAMPLES["kinetics"],
             SAMPLES["regions"]]
    code, written, err = export(capsys, out, *files, "-f", "npy", "--jobs", jobs)
    assert code == 1
    order = [os.path.splitext(os.path.basename(f))[0] for f in files]
    expected = [os.path.join(str(out), "%s_%s.npz" % (n, k.replace("/", "_")))
                for n, k in sorted(BLOCKS, key=lambda b: order.index(b[0]))]
    assert written == expected  # in the inputs' order, whatever order the workers end in
    assert sorted(written) == sorted(
        os.path.join(str(out), f) for f in os.listdir(str(out)))
    errors = [line for line in err.splitlines() if line.startswith("vesk: ")]
    if starts is not None:
        assert errors.pop(0) == ("vesk: warning: cannot start worker processes (Too many open "
                                 "files); exporting in this process")
    assert len(errors) == 1 and str(bad) in errors[0]
    assert err.splitlines()[-1] == "exported %d blocks from 4 files to %s (1 file failed)" % (
        len(BLOCKS), out)


@pytest.mark.parametrize("code, stops", [(errno.ENOSPC, True), (errno.EROFS, True),
                                          (errno.EACCES, False)])
def test_a_full_disk_stops_the_run(capsys, tmp_path, monkeypatch, code, stops):
    def full(data, path):
        open(path, "wb").close()
        raise OSError(code, os.strerror(code), path)
    npy = FORMATS["npy"]
    monkeypatch.setitem(FORMATS, "npy", npy._replace(spectrum=full, other=full))
    out = tmp_path / "out"
    status, lines, err = export(capsys, out, *SAMPLES.values(), "-f", "npy", "--json")
    records = [json.loads(line) for line in lines]
    errors = [line for line in err.splitlines() if line.startswith("vesk: ")]
    assert (status, len(errors) == 1) == (1, stops)
    assert err.splitlines()[-1].startswith("stopped: %s (" % os.strerror(code)) == stops
    # each input told, the failure with its output, class and error number
    assert [r["file"] for r in records] == list(SAMPLES.values())
    assert [r["status"] for r in records] == (
        ["failed"] + ["not tried"] * 3 if stops else ["failed"] * 4)
    failure = records[0]["failures"][0]
    assert failure["path"].startswith(str(out)) and failure["block"] == "AB/2D/NONE"
    assert (failure["error"], failure["errno"]) == (type(OSError(code, "")).__name__,
                                                    errno.errorcode[code])
    if stops:
        assert "3 files not tried" in err
    assert not list(out.rglob("*.*"))  # nothing half written is left


@pytest.mark.parametrize("code, stops", [(errno.ENOSPC, True), (errno.EACCES, False)])
def test_a_full_disk_stops_writing_pictures(capsys, tmp_path, monkeypatch, code, stops):
    from vesk._cli import pictures

    def full(path, write, *args, **kw):
        raise OSError(code, os.strerror(code), path)
    monkeypatch.setattr(pictures, "write_atomically", full)
    status = main(["images", "-o", str(tmp_path), SAMPLES["mapping"], SAMPLES["sample"],
                   SAMPLES["kinetics"]])
    err = capsys.readouterr().err
    errors = [line for line in err.splitlines() if line.startswith("vesk: ")]
    assert (status, len(errors) == 1) == (1, stops)
    assert ("stopped: %s; wrote 0 images, 2 files not tried" % os.strerror(code) in err) == stops


# Each worker process dies on the files named "crash" (always, or the first time
# only: killed from outside), as the system's end of a worker out of memory.
DYING_WORKER = """
import os, vesk._cli.exporting as exporting
export_file = exporting.export_file
def dying(job):
    if "crash" in job.path and ({always} or job.ours_since is None):
        os._exit(9)
    return export_file(job)
exporting.export_file = dying
"""


@pytest.mark.parametrize("always, there", [(False, False), (True, False), (False, True)])
def test_a_worker_that_dies_fails_its_file_alone(tmp_path, always, there):
    import subprocess
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "sitecustomize.py").write_text(DYING_WORKER.format(always=always))
    inputs = tmp_path / "in"
    inputs.mkdir()
    names = ["a.vesk", "crash.vesk"] + ["z%d.vesk" % i for i in range(6)]
    for name in names:
        shutil.copy(SAMPLES["sample"], inputs / name)
    if there:  # from before the run: refused as ever, not taken for the dead worker's
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "crash_AB_2D_NONE.npz").write_bytes(b"old")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path / "site")] + sys.path))
    proc = subprocess.run([sys.executable, "-m", "vesk", "export", str(inputs), "-f", "npy",
                           "-b", "AB/2D/NONE", "-o", str(tmp_path / "out"), "--jobs", "2"],
                          capture_output=True, text=True, env=env, timeout=120)
    written = sorted(os.path.basename(line) for line in proc.stdout.splitlines())
    lost = ["crash.vesk"] if always or there else []
    assert written == ["%s_AB_2D_NONE.npz" % n[:-5] for n in names if n not in lost]
    assert proc.returncode == int(always or there)
    if there:
        assert "crash_AB_2D_NONE.npz exists" in proc.stderr
        return
    assert [line for line in proc.stderr.splitlines() if "not exported" in line] == [
        "vesk: %s: not exported: a worker process ended abruptly (killed, or out of memory)"
        % (inputs / n) for n in lost]


@pytest.mark.parametrize("argv, summary", [
    (["{missing}"], "exported 0 blocks from 0 files to {out} (1 input not found)"),
    ([SAMPLES["sample"], "-b", "ab/2d/none", "-b", "XYZ"],
     "exported 1 block from 1 file to {out} (1 block failed)"),
])
def test_summary_tells_what_failed(capsys, tmp_path, argv, summary):
    names = {"missing": str(tmp_path / "measurements"), "out": str(tmp_path / "out")}
    code, _, err = export(capsys, tmp_path / "out", *[a.format(**names) for a in argv],
                          "-f", "csv")
    assert (code, err.splitlines()[-1]) == (1, summary.format(**names))


def test_files_of_one_name_keep_their_folders(capsys, tmp_path):
    # Wherever they lie: below the folder that holds them both.
    other = tmp_path / "copy" / "sample.vesk"
    other.parent.mkdir()
    with open(SAMPLES["sample"], "rb") as f:
        other.write_bytes(f.read())
    code, written, err = export(capsys, tmp_path / "o", SAMPLES["sample"], str(other), "-f",
                                "npy")
    common = os.path.commonpath([os.path.abspath(SAMPLES["sample"]), str(other)])
    assert code == 0 and len(written) == 8
    assert {os.path.dirname(os.path.relpath(w, tmp_path / "o")) for w in written} == {
        os.path.relpath(os.path.dirname(p), common) for p in (SAMPLES["sample"], str(other))}
    # The same file by another path is one input.
    again = os.path.join(str(tmp_path), "copy", "..", "copy", "sample.vesk")
    code, written, err = export(capsys, tmp_path / "again", str(other), again, "-f", "npy")
    assert code == 0 and len(written) == 4 and not err.startswith("vesk:")
    # By another name, a hard link, it is said so.
    os.link(str(other), str(tmp_path / "linked.vesk"))
    code, written, err = export(capsys, tmp_path / "linked", str(other),
                                str(tmp_path / "linked.vesk"), "-f", "npy")
    assert code == 0 and len(written) == 4 and err.startswith(
        "vesk: warning: %s: the same file as %s; skipped" % (tmp_path / "linked.vesk", other))


@pytest.mark.parametrize("names", [("Run.vesk", "run.vesk"), ("\u00e9.vesk", "e\u0301.vesk")])
def test_files_of_names_one_file_system_takes_for_one_keep_their_folders(capsys, tmp_path,
                                                                          names):
    paths = [tmp_path / folder / name for folder, name in zip("ab", names)]
    for path in paths:
        path.parent.mkdir()
        shutil.copyfile(SAMPLES["sample"], str(path))
    code, written, err = export(capsys, tmp_path / "o", *paths, "-f", "npy")
    assert code == 0 and len(written) == 8, err
    assert {os.path.dirname(os.path.relpath(w, tmp_path / "o")) for w in written} == {"a", "b"}


def test_spectrum_ending_early_pairs_each_value_with_its_x(capsys, tmp_path):
    """A recording cut after 900 of its 1,000 declared values: every consumer
    pairs the values with the first 900 points of the declared axis."""
    xr, pd, jcamp = (pytest.importorskip(m) for m in ("xarray", "pandas", "jcamp"))
    pytest.importorskip("matplotlib")
    from vesk._cli import plotting
    from vesk.xarray_backend import VeskBackendEntrypoint
    from vesk_writer import VeskFile, float32_block, param_block
    p = {"NPT": 1000, "FXV": 4000.0, "LXV": 400.0, "MXY": 1.0, "MNY": 0.0, "DXU": "WN"}
    vf = VeskFile()
    for data_type, sample_type in ((1, 1), (4, 3)):  # the AB spectrum ends the file
        vf.add(param_block(p), data_type=data_type, sample_type=sample_type, param_type=1)
        vf.add(float32_block(np.linspace(0, 1, 1000).tolist()), data_type=data_type,
               sample_type=sample_type)
    path = tmp_path / "short.vesk"
    path.write_bytes(vf.build()[:-400])
    data = vesk.read(path, "AB/2D/NONE")
    x = data.x[:900]
    assert len(data.y) == 900 and len(data.x) == 1000

    assert data.to_xarray().wavenumber.values.tolist() == x.tolist()
    assert data.to_pandas().index.tolist() == x.tolist()
    lazy = xr.open_dataset(path, engine=VeskBackendEntrypoint, group="AB/2D/NONE")
    assert lazy.wavenumber.values.tolist() == x.tolist()
    np.testing.assert_array_equal(lazy.AB_2D_NONE.values, data.y)
    np.testing.assert_array_equal(plotting.draw(data, "t").axes[0].lines[0].get_xdata(), x)

    out = tmp_path / "out"
    for fmt in ("csv", "npy", "jcamp"):
        assert export(capsys, out, path, "--block", "AB/2D/NONE", "-f", fmt)[0] == 0
    table = read_csv(pd, out / "short_AB_2D_NONE.csv")
    np.testing.assert_array_equal(table.iloc[:, 0].to_numpy(), x)
    with np.load(out / "short_AB_2D_NONE.npz") as npz:
        np.testing.assert_array_equal(npz["x"], x)
        assert (npz["warning"], npz["source"]) == (data.block.warning, str(path))
    back = jcamp.jcamp_readfile(str(out / "short_AB_2D_NONE.jdx")) \
        if hasattr(jcamp, "jcamp_readfile") else jcamp.readfile(str(out / "short_AB_2D_NONE.jdx"))
    assert back["npoints"] == 900
    np.testing.assert_array_equal(back["x"], x)
    # why values are missing travels with them
    text = (out / "short_AB_2D_NONE.jdx").read_text()
    assert "\n$$ %s\n" % data.block.warning in text
    assert "\n##SOURCE REFERENCE=%s, AB/2D/NONE\n" % path in text
    pytest.importorskip("netCDF4")
    assert export(capsys, out, path, "--block", "AB/2D/NONE", "-f", "netcdf")[0] == 0
    with xr.open_dataset(out / "short_AB_2D_NONE.nc") as nc:
        assert nc.attrs["comment"] == data.block.warning


def test_netcdf_holds_parameters_whose_names_it_refuses(capsys, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    from vesk_writer import spectrum_file
    odd = {"D\x7fT": 1, " AB": "x", "A/B": 2.5, "D_T": 7, "AB ": 3, "kind": "k"}
    path = spectrum_file([1.0, 2.0, 3.0], odd).write(str(tmp_path / "odd.vesk"))
    code, written, err = export(capsys, tmp_path / "out", path, "-f", "netcdf")
    assert code == 0, err
    with xr.open_dataarray(written[0]) as back:
        attrs = dict(back.attrs)
    assert {k: attrs[k] for k in ("D_T", "D_T_2", "_AB", "A_B", "AB_")} == {
        "D_T": 7, "D_T_2": 1, "_AB": "x", "A_B": 2.5, "AB_": 3}
    # each parameter found again under its own key, without vesk
    keys = json.loads(attrs["parameter_keys"])
    params = vesk.read(path).parameters
    assert {keys.get(n, n): attrs[n] for n in attrs
            if n in keys or (n in params and n not in keys.values())} == dict(params)
    assert attrs["kind"] == "spectrum"


def huge_map():
    # 84 million zeros from a file of 1,464 bytes: a damaged header, not a measurement.
    from vesk_kinds import MAP, _spectra
    from writer_3d import BASE_3D, file_3d
    return file_3d(_spectra(6), {**BASE_3D, **MAP, "NPX": 3000000, "NPY": 7}).build()


def overlapping_regions():
    # 248,865 points of a value each from 23 KB: their titles and positions,
    # not their values, would take the bound.
    from hostile_files import overlapping_regions
    return overlapping_regions(705, npt=1, unrecorded=True)[0]


@pytest.mark.parametrize("make, declared", [
    (huge_map, "declares 84000000 values (336.0 MB), more than a file of 1464 bytes"),
    (overlapping_regions, "declares 248865 values over 248865 points"),
])
def test_map_declaring_far_more_points_than_its_file_holds_is_not_exported(capsys, tmp_path,
                                                                           make, declared):
    path = tmp_path / "big.vesk"
    path.write_bytes(make())
    code, written, err = export(capsys, tmp_path / "out", str(path), "-f", "csv")
    assert (code, written, os.listdir(tmp_path / "out")) == (1, [], [])
    assert "AB/3D/NONE: " + declared in err


def series_file(tmp_path, spectra, npt):
    # `spectra` whole spectra of `npt` points; 0: one cut short, so none is read
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    blocks = [stored_block([float(r)] * npt, time=float(r)) for r in range(spectra)] or [
        stored_block([1.0])]
    return file_3d(store_block(blocks, block_size=4 * npt),
                   {**BASE_3D, "NPT": npt, "DXU": "WN"}).write(str(tmp_path / "s.vesk"))


@pytest.mark.parametrize("fmt, layout, refused", [
    # a heading of a million points, 37.7 MB as charged: 19 MB of text, a second
    ("csv", "wide", "declares 0 values over 1048579 columns (37.7 MB written), more than"),
    ("parquet", "wide", "declares 0 values over 1048579 columns (4.3 GB written), more than"),
    ("csv", "long", None),  # no column per point: nothing but its heading is written
])
def test_series_of_no_spectra_over_a_million_points(capsys, tmp_path, fmt, layout, refused):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    path = series_file(tmp_path, 0, 1048579)
    code, written, err = export(capsys, tmp_path / "out", path, "-f", fmt, "--layout", layout)
    if refused is None:
        assert (code, len(written)) == (0, 1), err
    else:
        assert (code, written) == (1, []) and "s.vesk: AB/3D/NONE: " + refused in err


@pytest.mark.parametrize("spectra", [0, 1])
@pytest.mark.parametrize("options, refused", [
    (("-f", "csv", "--layout", "wide"), "declares 0 values over 1000 columns (36.0 kB written)"),
    (("-f", "npy"), "declares 0 values over 1000 points of its axes (8.0 kB written)"),
    # the index and encoded copies xarray makes of a coordinate no value pays for
    (("-f", "zarr"), "declares 0 values over 1000 points of its axes (32.0 kB written)"),
])
def test_axes_are_charged_where_no_values_pay_for_them(capsys, tmp_path, monkeypatch, spectra,
                                                       options, refused):
    # Without the bound's floor: a spectrum's values pay for its columns'
    # headings, its axis fits beside them; with none, both are refused.
    if "zarr" in options:
        pytest.importorskip("xarray")
    monkeypatch.setattr(vesk._native, "output_limit", lambda size: 4 * size)
    path = series_file(tmp_path, spectra, 1000)
    code, written, err = export(capsys, tmp_path / "out", path, *options)
    if spectra:
        assert (code, len(written)) == (0, 1), err
    else:
        assert (code, written) == (1, []) and "AB/3D/NONE: " + refused in err


def long_spectrum(npt):
    from vesk_writer import spectrum_file
    return spectrum_file([1.0] * npt)


def one_trace(npt):
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    return file_3d(store_block([stored_block([1.0] * npt, name="a")], block_size=4 * npt),
                   {**BASE_3D, "NPT": npt}, data_type=7)


def short_spectra(count):
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    return file_3d(store_block([stored_block([1.0] * 4, time=float(k)) for k in range(count)],
                               block_size=16), {**BASE_3D, "DXU": "WN"})


def map_of_no_traces(npx, npy):
    # one trace cut short: every map point a row, none of them a value
    from vesk_kinds import MAP
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    return file_3d(store_block([stored_block([1.0], name="a")], block_size=4 * npx * npy),
                   {**BASE_3D, **MAP, "NPT": npx * npy, "NPX": npx, "NPY": npy}, data_type=7)


@pytest.mark.parametrize("options, build, refused", [
    (("-f", "envi"), lambda: long_spectrum(1000), None),
    (("-f", "jcamp"), lambda: short_spectra(200), None),
    (("-f", "csv", "--layout", "wide"), lambda: one_trace(1000), None),
    (("-f", "csv", "--layout", "long"), lambda: one_trace(1000), None),
    (("-f", "parquet", "--layout", "wide"), lambda: one_trace(1000), None),
    (("-f", "csv", "--layout", "wide"), lambda: map_of_no_traces(100, 100),
     "declares 0 values (960.0 kB written)"),
    (("-f", "parquet", "--layout", "wide"), lambda: map_of_no_traces(100, 100),
     "declares 0 values (640.0 kB written)"),
])
def test_rows_and_axes_the_values_pay_for_are_exported(capsys, tmp_path, monkeypatch, options,
                                                       build, refused):
    # Without the bound's floor: an honest spectrum's axis, short spectra's
    # headers and a long trace's rows fit in what its file gives; rows no
    # value backs do not.
    if "parquet" in options:
        pytest.importorskip("pyarrow")
    monkeypatch.setattr(vesk._native, "output_limit", lambda size: 4 * size)
    path = build().write(str(tmp_path / "in.vesk"))
    code, written, err = export(capsys, tmp_path / "out", path, *options)
    if refused is None:
        assert (code, len(written)) == (0, 2 if "envi" in options else 1), err
    else:
        assert (code, written) == (1, []) and "in.vesk: TRC/3D/NONE: " + refused in err


def test_blocks_sharing_data_are_bounded_together(capsys, tmp_path, monkeypatch):
    # Many keys naming one spectrum: each alone is within the bound, together not.
    from hostile_files import shared_data_block
    path = tmp_path / "shared.vesk"
    path.write_bytes(shared_data_block(npt=1000)[0])
    monkeypatch.setattr(vesk._native, "output_limit", lambda size: 4 * size)  # 4 spectra
    monkeypatch.setattr(output_bound, "READ_PARAMETER_BYTES", 0)  # their values alone
    monkeypatch.setitem(FORMATS, "npy", FORMATS["npy"]._replace(axis_bytes=0))
    code, written, err = export(capsys, tmp_path / "out", path, "-f", "npy")
    refused = [line for line in err.splitlines() if "with the blocks exported before it" in line]
    with vesk.open(path) as f:
        spectra = {b.name for b in f.blocks if b.kind == "spectrum"}
    assert (code, len(written), len(refused)) == (1, 4, len(spectra) - 4)
    assert ": declares 1000 values (4.0 kB), with the blocks exported before it" in refused[0]
    assert err.splitlines()[-1].startswith("exported 4 blocks from 1 file to ")
    assert len(os.listdir(tmp_path / "out")) == 4


def test_jcamp_writes_no_nan_or_inf(capsys, tmp_path):
    # Letters of "nan" or "inf" read as compressed digits: NaN is "?", a
    # non-finite axis is refused.
    from vesk_writer import spectrum_file
    nan, inf = float("nan"), float("inf")
    good = spectrum_file([nan, 1.5, inf, -inf]).write(str(tmp_path / "v.vesk"))
    bad = spectrum_file([1.0, 2.0], {"LXV": inf}).write(str(tmp_path / "x.vesk"))
    code, written, err = export(capsys, tmp_path / "out", good, bad, "-f", "jcamp")
    assert code == 1 and len(written) == 1 and "x.vesk: AB/2D/NONE: its x axis is not finite" in err
    assert err.count("AB/2D/NONE") == 1  # named once, as the write's own refusal names it
    with pytest.raises(ValueError, match="^AB/2D/NONE: its x axis is not finite"):
        vesk.export.write(vesk.read(bad), tmp_path / "x.jdx", "jcamp")
    with open(written[0]) as f:
        text = f.read()
    assert "4000 ? 1.5 ? ?\n" in text and "##MINY=1.5\n" in text and "FIRSTY" not in text
    assert "nan" not in text.split("##XYDATA")[1]


def test_block_listed_twice_is_written_once(capsys, tmp_path):
    # Reading a name gives the last of its blocks, so the second listing adds nothing.
    from vesk_writer import float32_block, spectrum_file
    vf = spectrum_file([1.0, 2.0, 3.0])
    vf.add(float32_block([7.0, 8.0, 9.0]), data_type=4, sample_type=3)
    path = vf.write(str(tmp_path / "dup.vesk"))
    code, written, err = export(capsys, tmp_path / "out", path, "-f", "npy")
    assert (code, len(written)) == (0, 1) and "skipped" not in err
    assert np.load(written[0])["y"].tolist() == [7.0, 8.0, 9.0]
    code, written, err = export(capsys, tmp_path / "again", path, "-f", "npy", "-b", "AB",
                                "-b", "ab/2d/none")
    assert (code, len(written)) == (0, 1) and "appears more than once; written once" in err


def test_interrupted_export_still_lists_files_finished_out_of_turn(capsys, tmp_path, monkeypatch):
    from vesk._cli import exporting

    def jobs_ending_second_first(jobs, workers, left):
        yield 1, exporting.Report(jobs[1].path, written=["second.csv"])
        raise KeyboardInterrupt

    monkeypatch.setattr(exporting, "run_jobs", jobs_ending_second_first)
    assert main(["export", "-o", str(tmp_path / "out"), "-f", "csv", SAMPLES["sample"],
                 SAMPLES["mapping"]]) == 130
    out, err = capsys.readouterr()
    assert out.splitlines() == ["second.csv"]
    assert err.splitlines()[-2:] == [
        "exported 1 block from 1 file to %s before it was stopped; run again with "
        "--skip-existing to go on" % (tmp_path / "out"), "vesk: interrupted"]


def test_interrupted_export_lists_the_blocks_written_of_the_file_it_stopped_in(
        capsys, tmp_path, monkeypatch):
    calls, write = [], FORMATS["npy"].spectrum

    def second_interrupted(data, path):
        calls.append(path)
        if len(calls) == 2:
            raise KeyboardInterrupt
        write(data, path)
    monkeypatch.setitem(FORMATS, "npy", FORMATS["npy"]._replace(spectrum=second_interrupted))
    out = tmp_path / "out"
    assert main(["export", "-o", str(out), "-f", "npy", SAMPLES["sample"]]) == 130
    listed, err = capsys.readouterr()
    assert listed.splitlines() == [str(out / ("sample_%s_NONE.npz" % k))
                                   for k in ("AB_2D", "AB_3D")]
    assert sorted(listed.splitlines()) == sorted(str(p) for p in out.iterdir())
    assert "exported 2 blocks from 1 file to %s before it was stopped" % out in err


@pytest.mark.parametrize("option", ["--skip-existing", "--update"])
# its time after the output's, or kept from before it (copied in with cp -p)
@pytest.mark.parametrize("grown", [None, 1, -10**9])
def test_outputs_older_than_their_file_kept_or_written_again(capsys, tmp_path, option, grown):
    # a map exported while its file was still being copied in, then again
    whole = open(SAMPLES["mapping"], "rb").read()
    source = tmp_path / "map.0"
    source.write_bytes(whole[:30000])
    args = (source, "-f", "npy", "-b", "AB/3D/NONE")
    (output,) = export(capsys, tmp_path / "out", *args)[1]
    if grown:
        time.sleep(0.01)  # past the clock's tick
        source.write_bytes(whole)
        made = os.stat(output).st_mtime_ns
        os.utime(source, ns=(made, made + grown))
    code, written, err = export(capsys, tmp_path / "out", *args, option)
    replaced = bool(grown) and option == "--update"
    assert (code, written) == (0, [output] if replaced else [])
    assert ("kept %s, older than the file" % output in err) == (bool(grown) and not replaced)
    with np.load(output) as npz:
        assert np.isnan(npz["values"]).any() != replaced


@pytest.mark.parametrize("when", ["read", "written"])
def test_a_file_written_to_while_exported_is_exported_again_by_update(capsys, tmp_path,
                                                                       monkeypatch, when):
    source = tmp_path / "run.0"
    shutil.copy(SAMPLES["sample"], source)
    npy = FORMATS["npy"]

    def copied_in():
        with open(source, "ab") as f:
            f.write(bytes(8))
        made = os.stat(source).st_mtime_ns + 1  # past its time as read, within a tick
        os.utime(source, ns=(made, made))

    def still_copied_in(data, path):
        if when == "written":
            copied_in()
        npy.spectrum(data, path)

    def refused(fmt, *a, **k):  # the last step before its values are read
        if when == "read":
            copied_in()
        return original(fmt, *a, **k)
    original = Format.refuse_existing
    args = (source, "-f", "npy", "-b", "AB/2D/NONE", "--update")
    with monkeypatch.context() as m:
        m.setitem(FORMATS, "npy", npy._replace(spectrum=still_copied_in))
        m.setattr(Format, "refuse_existing", refused)
        code, written, err = export(capsys, tmp_path / "out", *args)
    # said once, as the command says it: not also as the library does
    assert code == 0 and "the file changed while it was exported" in err
    assert err.count("changed") == 1 and "(1 warning)" in err, err
    assert export(capsys, tmp_path / "out", *args)[:2] == (0, written)
    assert export(capsys, tmp_path / "out", *args)[:2] == (0, [])


def test_a_file_dated_ahead_of_the_clock_is_exported_once_by_update(capsys, tmp_path):
    source = tmp_path / "run.0"
    shutil.copy(SAMPLES["sample"], source)
    ahead = time.time_ns() + 10**9 * 3600 * 24 * 365
    os.utime(source, ns=(ahead, ahead))
    args = (source, "-f", "npy", "-b", "AB/2D/NONE", "--update")
    code, written, err = export(capsys, tmp_path / "out", *args)
    assert code == 0 and len(written) == 1
    assert export(capsys, tmp_path / "out", *args)[:2] == (0, [])


def test_an_export_that_writes_nothing_fails(capsys, tmp_path, monkeypatch):
    # A block no file of a folder holds: every block skipped is nothing
    # exported, not success.
    folder = tmp_path / "in"
    folder.mkdir()
    shutil.copy(SAMPLES["mapping"], str(folder))
    code, written, err = export(capsys, tmp_path / "maps", str(folder), "-f", "jcamp",
                                "-b", "AB/2D/NONE")
    assert (code, written) == (1, []) and err.splitlines()[-1].endswith(
        "(1 skipped); nothing to write")
    # A missing extra is said once, before any file is read.
    monkeypatch.setitem(sys.modules, "netCDF4", None)
    code, written, err = export(capsys, tmp_path / "nc", SAMPLES["sample"], SAMPLES["mapping"],
                                "-f", "netcdf")
    assert (code, written, err) == (1, [], "vesk: %s\n" % netcdf.NEEDS)
    assert not (tmp_path / "nc").exists()


def test_json_records_each_file_as_it_is_done(capsys, tmp_path):
    missing = str(tmp_path / "gone.vesk")
    clash = str(tmp_path / "sample")  # its outputs would be sample.vesk's: refused
    shutil.copy(SAMPLES["sample"], clash)
    code, lines, _ = export(capsys, tmp_path / "o", SAMPLES["sample"], SAMPLES["mapping"],
                            missing, clash, "-f", "jcamp", "--json")
    records = [json.loads(line) for line in lines]
    assert code == 1 and [r["file"] for r in records] == [clash, SAMPLES["sample"],
                                                          SAMPLES["mapping"], missing]
    refused, spectra, maps, gone = records
    assert refused["failed"] and refused["written"] == []
    assert len(spectra["written"]) == 4 and all(os.path.isfile(p) for p in spectra["written"])
    assert len(maps["written"]) == 1 and len(maps["skipped"]) == 1  # its traces
    assert gone["failed"] and gone["written"] == []
    code, lines, _ = export(capsys, tmp_path / "o", SAMPLES["sample"], "-f", "jcamp", "--json",
                            "--skip-existing")
    assert json.loads(lines[0])["kept"] == spectra["written"]


def test_an_output_named_near_the_longest_name_is_written(capsys, tmp_path):
    # the output's name fits, and so must the temporary file's it is written under
    stem = "a" * (os.pathconf(str(tmp_path), "PC_NAME_MAX") - len("_AB_2D_NONE.csv"))
    shutil.copy(SAMPLES["sample"], tmp_path / (stem + ".vesk"))
    out = tmp_path / "out"
    code, written, err = export(capsys, out, tmp_path / (stem + ".vesk"), "-b", "AB/2D/NONE",
                                "-f", "csv")
    assert (code, written) == (0, [str(out / (stem + "_AB_2D_NONE.csv"))]), err



@pytest.mark.parametrize("name, key, layout", [(n, k, "long") for n, k in BLOCKS] +
                         [(n, k, "wide") for n, k in OTHERS])
def test_parquet_reads_back_as_its_csv(capsys, tmp_path, monkeypatch, name, key, layout):
    pd = pytest.importorskip("pandas")
    pq = pytest.importorskip("pyarrow.parquet")
    from vesk.export import parquet
    # row groups of a few rows: every batch's coordinates must be its own rows'
    for small in ("GROUP", "WIDE_GROUP", "WIDE_ROWS"):
        monkeypatch.setattr(parquet, small, 7)
    paths = []
    for fmt in ("csv", "parquet"):
        code, written, err = export(capsys, tmp_path / fmt, SAMPLES[name], "-b", key, "-f",
                                    fmt, "--layout", layout)
        assert code == 0, err
        paths += written
    text, table = read_csv(pd, paths[0]), pd.read_parquet(paths[1])
    assert table.columns.tolist() == text.columns.tolist()
    data = vesk.read(SAMPLES[name], key)
    first_value = table.shape[1] - (1 if layout == "long" else data.table_view()[0].shape[-1])
    for k, column in enumerate(table.columns):
        got, expected = table[column], text[column]
        if got.dtype.kind in "fiu":
            assert got.dtype == (data.values.dtype if k >= first_value else expected.dtype)
            np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy().astype(got.dtype))
        else:  # texts: the same strings, repeated as codes into their dictionary
            assert got.astype(str).tolist() == expected.astype(str).tolist()
    assert pq.ParquetFile(paths[1]).metadata.num_row_groups > 1 or len(table) <= 7


@pytest.mark.parametrize("name, key, layout", [
    ("kinetics", "AB/3D/NONE", "long"), ("regions", "AB/3D/NONE", "wide"),
    ("sample", "AB/2D/NONE", "long"), ("aborted", "AB/3D/NONE", "wide")])
def test_parquet_carries_what_the_npz_carries(capsys, tmp_path, name, key, layout):
    pq = pytest.importorskip("pyarrow.parquet")
    from hostile_files import aborted_image_map
    from vesk.export.axes import column_label
    source = SAMPLES.get(name, tmp_path / "aborted.vesk")
    if name == "aborted":  # its values NaN but for 3 points, which the warning says
        source.write_bytes(aborted_image_map(npx=40, npy=30, npt=5)[0])
    data = vesk.read(source, key)
    outputs = {}
    for fmt, folder in (("parquet", "a"), ("parquet", "b"), ("npy", "c")):
        code, written, err = export(capsys, tmp_path / folder, source, "-f", fmt, "-b", key,
                                    *(["--layout", layout] if fmt == "parquet" else []))
        outputs[folder] = written[0]
    assert open(outputs["a"], "rb").read() == open(outputs["b"], "rb").read()
    table = pq.read_table(outputs["a"])
    about = {k.decode(): v.decode() for k, v in table.schema.metadata.items()
             if k != b"ARROW:schema"}
    columns = json.loads(about.pop("column_attrs", "{}"))  # the fields' own, for polars, DuckDB
    with np.load(outputs["c"]) as z:
        assert about == {k: str(z[k]) for k in z.files if z[k].ndim == 0 and k not in (
            "coordinate_dims", "coordinate_attrs")}
        assert "source_sha256" in about and ("warning" in about) == (name == "aborted")
        described = json.loads(str(z["coordinate_attrs"]))
    for coord, attrs in described.items():  # (wide: the x axis heads the value columns)
        label = column_label(data, coord) if data.block.kind != "spectrum" else data.block.x_label
        if layout == "long" or label in table.schema.names:
            field = table.schema.field(label)
            assert {k.decode(): v.decode() for k, v in field.metadata.items()} == attrs
            assert columns.pop(label) == attrs
    assert columns == {}
    values = table.columns[-1:] if layout == "long" else table.columns[-data.values.shape[-1]:]
    assert np.isnan(np.concatenate([c.to_numpy() for c in values])).sum() == np.isnan(
        data.values).sum()

def test_parquet_needs_pyarrow_said_before_any_file_is_read(capsys, tmp_path, monkeypatch):
    from vesk.export import parquet
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    code, written, err = export(capsys, tmp_path / "out", tmp_path / "absent.vesk", "-f",
                                "parquet")
    assert (code, written, err) == (1, [], "vesk: %s\n" % parquet.NEEDS)
    with pytest.raises(ImportError, match=r"veskread\[parquet\]"):
        vesk.export.write(vesk.read(SAMPLES["sample"], "AB/2D/NONE"), tmp_path / "o", "parquet")


@pytest.mark.parametrize("layout", ["long", "wide"])
def test_parquet_of_a_map_declaring_far_more_than_its_file_holds_is_refused(capsys, tmp_path,
                                                                             layout):
    pytest.importorskip("pyarrow")
    path = tmp_path / "big.vesk"
    path.write_bytes(huge_map())
    code, written, err = export(capsys, tmp_path / "out", path, "-f", "parquet",
                                "--layout", layout)
    assert (code, written, os.listdir(tmp_path / "out")) == (1, [], [])
    assert "AB/3D/NONE: declares 84000000 values (336.0 MB), more than a file of 1464" in err


def test_a_wide_parquet_table_too_wide_for_its_values_is_refused(capsys, tmp_path):
    # each column costs KBs to write: one spectrum of 9,000 points, 36 KB, is 9,000 of them
    pq = pytest.importorskip("pyarrow.parquet")
    from writer_3d import BASE_3D, file_3d, stored_block, store_block
    path = file_3d(store_block([stored_block([1.0] * 9000)], block_size=36000),
                   {**BASE_3D, "NPT": 9000, "DXU": "WN"}).write(str(tmp_path / "s.vesk"))
    code, written, err = export(capsys, tmp_path / "wide", path, "-f", "parquet",
                                "--layout", "wide")
    assert (code, written) == (1, []) and "9000 columns in 1 row group takes" in err
    code, written, err = export(capsys, tmp_path / "long", path, "-f", "parquet")
    assert code == 0 and pq.read_metadata(written[0]).num_rows == 9000


def test_parquet_is_imported_only_where_written(tmp_path):
    # (commands that read no values import no numpy, which it needs: tested in test_cli)
    import subprocess
    code = "import sys; from vesk._cli import main; main(sys.argv[1:]); print('pyarrow' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code, "export", "-f", "csv", SAMPLES["sample"],
                           "-o", str(tmp_path)], capture_output=True, text=True)
    assert done.stdout.splitlines()[-1] == "False", done.stderr

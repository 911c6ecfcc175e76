"""`vesk export -f envi`: values and header read back by a plain parser and np.fromfile."""
import json
import os
from urllib.parse import unquote

import numpy as np
import pytest

import vesk
import vesk.export
from vesk._cli import main
from vesk.export import atomic, envi
from vesk_kinds import KINDS, MAP, _spectra, _traces
from writer_3d import BASE_3D, file_3d

# Each field may end, start or split a field, or not be ASCII, in a header.
HOSTILE = "x}\ny = {1}\n; c,d=e\x1b[2J\u2028 caf\xe9 "
TEXTS = ("block", "kind", "source", "source sha256", "measured", "warning", "x label",
         "y label")
LISTS = ("band names", "wavelength", "spectra names", "vesk map x", "vesk map y",
         "vesk parameters")


def source(tmp_path, kind):
    """A file of one block of `kind`; "hostile ..." with texts that no header may take
    as they are, "aborted" a map of NaN but for 3 points, which its warning says."""
    from hostile_files import aborted_image_map
    path = tmp_path / "in.vesk"
    params = {**BASE_3D, **MAP, "SNM": HOSTILE, "}=,\n": "v", "MUN": HOSTILE, "CNM": b"\xe9}"}
    if kind == "aborted":
        path.write_bytes(aborted_image_map(npx=5, npy=4, npt=5)[0])
        return str(path)
    vf = KINDS[kind]()[0] if not kind.startswith("hostile") else \
        file_3d(_spectra(6), params) if kind == "hostile map" else \
        file_3d(_traces([HOSTILE.encode(), b"}\xff", " ,a"], npt=6), {**params, "NPT": 6},
                data_type=7)
    return vf.write(str(path))


@pytest.mark.parametrize("length", [40, 70000])  # written a character, or a piece, at a time
def test_texts_decode_to_what_they_were_with_no_delimiter(length):
    value = (HOSTILE + "%\udcff\x7f") * (length // 40)
    written = envi.text(value)
    assert unquote(written, errors="backslashreplace") == value.replace("\udcff", "\\udcff")
    assert written.isascii() and written.isprintable() and not set("{},=;\n") & set(written)


def read_envi(img):
    """The header's fields (lists split, texts decoded) and the values as its fields lay them;
    lines joined as they are, a text run over lines whole."""
    with open(os.path.splitext(img)[0] + ".hdr", encoding="ascii") as f:
        lines = f.read().split("\n")
    assert lines[0] == "ENVI" and lines[-1] == ""
    fields, k = {}, 1
    while k < len(lines) - 1:
        key, value = lines[k].split(" = ", 1)
        while value.startswith("{") and not value.endswith("}"):  # a list, or a text, runs on
            k += 1
            assert lines[k].startswith(" ") == value.endswith(",")  # a next item, or more of one
            value += lines[k]
        assert key not in fields and value.count("}") == value.startswith("{")
        fields[key] = [unquote(v.strip()) for v in value[1:-1].split(",")] \
            if key in LISTS else unquote(value[1:-1] if value.startswith("{") else value)
        k += 1
    shape = [int(fields[n]) for n in ("lines", "samples", "bands")]
    assert (fields["data type"], fields["byte order"], fields["header offset"]) == ("4", "0", "0")
    values = np.fromfile(img, dtype="<f4").reshape(shape)
    return fields, values


def exported(tmp_path, source):
    for folder in "ab":
        assert main(["export", "-f", "envi", "-o", str(tmp_path / folder), source]) == 0
    (img,) = [n for n in os.listdir(tmp_path / "a") if n.endswith(".img")]
    for name in (img, img[:-4] + ".hdr"):  # one input, one output: byte for byte
        assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes()
    return vesk.read(source), str(tmp_path / "a" / img)


@pytest.mark.parametrize("kind, chunk", [
    ("image map", envi.CHUNK), ("image map", 8), ("image traces", 4),
    ("time-resolved series", 12), ("multiregion map", envi.CHUNK), ("spectrum", envi.CHUNK),
    ("hostile map", envi.CHUNK), ("hostile traces", envi.CHUNK), ("aborted", envi.CHUNK)])
@pytest.mark.filterwarnings("ignore:.*hold no stored spectrum")
def test_every_kind_reads_back_as_vesk_reads_it(tmp_path, monkeypatch, kind, chunk):
    from vesk.export.arrays import block_texts
    monkeypatch.setattr(envi, "CHUNK", chunk)  # pieces of a row, of rows, of many rows
    data, img = exported(tmp_path, source(tmp_path, kind))
    fields, values = read_envi(img)
    texts = block_texts(data)
    assert {k: fields["vesk " + k] for k in TEXTS if "vesk " + k in fields} == {
        k: texts[k.replace(" ", "_")] for k in TEXTS if k.replace(" ", "_") in texts}
    assert json.loads("".join(fields["vesk parameters"])) == json.loads(texts["parameters"])
    assert ("vesk warning" in fields) == (data.block.warning is not None)
    assert fields.get("vesk measured") == (data.measured and data.measured.isoformat())
    if data.block.kind in ("image map", "image traces"):
        # line k is the map row at y = vesk map y[k], the last one first, as drawn
        ys = np.array(fields["vesk map y"], dtype=float)
        assert ys[0] == data.coords["y"][1][-1] and sorted(ys) == sorted(data.coords["y"][1])
        rows = [list(data.coords["y"][1]).index(y) for y in ys]
        np.testing.assert_array_equal(values, np.asarray(data.values)[rows])
        assert [float(x) for x in fields["vesk map x"]] == list(data.coords["x"][1])
        assert fields.get("vesk map units", "") == (data.parameters.get("MUN") or "").strip()
        assert fields["file type"] == "ENVI Standard" and fields["interleave"] == "bip"
    else:
        # to_pandas() rows: a row per spectrum, map point or time
        table = data.table_view()[0] if data.block.kind != "spectrum" else data.values[None]
        np.testing.assert_array_equal(values[:, :, 0], table.reshape(-1, table.shape[-1]))
        assert fields["file type"] == "ENVI Spectral Library" and fields["interleave"] == "bsq"
        assert len(set(fields["spectra names"])) == len(values)
    if data.block.kind == "image traces":
        assert fields["band names"] == list(data.labels)
    else:
        assert [float(v) for v in fields["wavelength"]] == list(data.coords[data.dims[-1]][1])
        assert fields["wavelength units"] == {"WN": "Wavenumber"}.get(
            data.parameters.get("DXU"), "Unknown")


@pytest.mark.parametrize("kind", ["time-resolved traces", "multiregion traces"])
def test_kinds_it_cannot_hold_are_skipped_or_refused(capsys, tmp_path, kind):
    vf, key = KINDS[kind]()
    path = vf.write(str(tmp_path / "t.vesk"))
    for asked, code in (([], 1), (["-b", "/".join(key)], 1)):
        assert main(["export", "-f", "envi", "-o", str(tmp_path / "o"), path] + asked) == code
        assert "ENVI holds spectra, series, maps" in capsys.readouterr().err
    assert os.listdir(tmp_path / "o") == []


@pytest.mark.parametrize("left, option, rewritten", [
    (".img", "--skip-existing", True), (".hdr", "--skip-existing", True),
    (None, "--skip-existing", False), (None, "--force", True), (".img", None, False)])
def test_the_pair_is_one_output(capsys, tmp_path, left, option, rewritten):
    path = KINDS["image map"]()[0].write(str(tmp_path / "m.vesk"))
    argv = ["export", "-f", "envi", "--json", "-o", str(tmp_path / "o"), path]
    assert main(argv) == 0
    pair = [str(tmp_path / "o" / ("m_AB_3D_NONE" + s)) for s in (".img", ".hdr")]
    assert json.loads(capsys.readouterr().out)["written"] == pair
    for out in pair:
        if left is not None and not out.endswith(left):
            os.unlink(out)  # a run that stopped after one half
        else:
            os.utime(out, (1, 1))
    code = main(argv + ([option] if option else []))
    told, err = capsys.readouterr()
    assert code == (0 if option else 1)
    assert json.loads(told)["written" if rewritten else "kept"] == (pair if option else [])
    assert all(os.stat(out).st_mtime > 1 for out in pair if os.path.exists(out)) == rewritten
    assert ("exported %d block" % rewritten) in err


@pytest.mark.parametrize("option", ["--skip-existing", "--update", None])
@pytest.mark.parametrize("half", [".img", ".hdr"])
def test_a_file_alone_where_a_pair_goes_is_kept_unless_an_export_left_it(
        capsys, tmp_path, option, half):
    path = KINDS["image map"]()[0].write(str(tmp_path / "m.vesk"))
    other = tmp_path / "o" / ("m_AB_3D_NONE" + half)
    other.parent.mkdir()
    other.write_bytes(b"ENVI\nsamples = 3\n")  # another program's, of the same name
    assert main(["export", "-f", "envi", "-o", str(other.parent), path] + [option] * bool(
        option)) == 1
    err = capsys.readouterr().err
    # --skip-existing writes again only the half an export left: only --force helps
    assert "is not half a pair that an export left (use --force" in err
    assert "--skip-existing" not in err
    assert os.listdir(other.parent) == [other.name] and other.read_bytes().startswith(b"ENVI")


def test_values_are_not_written_under_a_header_name(tmp_path):
    data = vesk.read(source(tmp_path, "image map"))
    with pytest.raises(ValueError, match="the name of a header"):
        vesk.export.write(data, tmp_path / "out.HDR", "envi")
    assert os.listdir(tmp_path) == ["in.vesk"]


@pytest.mark.parametrize("stop", ["values", ".dat", ".hdr"])
def test_an_interrupt_leaves_no_pair_that_looks_whole(tmp_path, monkeypatch, stop):
    old, new = (vesk.read(source(tmp_path, kind)) for kind in ("image map", "image traces"))
    img = tmp_path / "out.dat"  # another name: the header is out.dat.hdr
    vesk.export.write(old, img, "envi")
    pair = [p.read_bytes() for p in (img, tmp_path / "out.dat.hdr")]
    put, write = atomic._put_in_place, envi.write_values

    def interrupted(tmp, path, force):
        if path.endswith(stop):
            raise KeyboardInterrupt
        put(tmp, path, force)

    def stopped(data, path):
        write(data, path)
        raise KeyboardInterrupt
    monkeypatch.setattr(atomic, "_put_in_place", interrupted)
    monkeypatch.setattr(envi, "write_values", stopped if stop == "values" else write)
    with pytest.raises(KeyboardInterrupt):
        vesk.export.write(new, img, "envi", force=True)
    # before the values are put in place the old pair is whole; after, there is no header
    assert sorted(os.listdir(tmp_path)) == ["in.vesk", "out.dat"] + (
        ["out.dat.hdr"] if stop == "values" else [])
    assert stop != "values" or [p.read_bytes() for p in (img, tmp_path / "out.dat.hdr")] == pair


def test_a_header_of_far_more_coordinates_than_the_file_holds_is_refused(capsys, tmp_path):
    # 8 million values would pass; the 2 million map x the header lists with them not
    path = file_3d(_spectra(6), {**BASE_3D, **MAP, "NPX": 2000000, "NPY": 1}).write(
        str(tmp_path / "wide.vesk"))
    assert main(["export", "-f", "envi", "-o", str(tmp_path / "o"), path]) == 1
    assert "declares 8000000 values over 2000005 points of its axes (96.0 MB written)" in \
        capsys.readouterr().err
    assert os.listdir(tmp_path / "o") == []


def test_spectral_python_reads_what_we_read(tmp_path):
    spectral = pytest.importorskip("spectral")
    data, img = exported(tmp_path, source(tmp_path, "hostile traces"))
    fields, values = read_envi(img)
    opened = spectral.envi.open(img[:-4] + ".hdr", img)
    np.testing.assert_array_equal(np.asarray(opened.load()), values)
    assert [unquote(n) for n in opened.metadata["band names"]] == fields["band names"]
    assert [unquote(p) for p in opened.metadata["vesk parameters"]] == fields["vesk parameters"]


def test_a_worker_killed_between_the_renames_has_its_pair_written_again(tmp_path):
    import time
    from vesk._cli import exporting
    path = KINDS["image map"]()[0].write(str(tmp_path / "m.vesk"))
    since = time.time_ns() - 1
    job = exporting.Job(path, "m", None, "envi", "long", str(tmp_path / "o"), False, False,
                        ours_since=since)
    img, hdr = exporting.export_file(job._replace(ours_since=None)).written
    os.unlink(hdr)  # the values in place, not yet their header
    report = exporting.export_file(job)
    assert (report.errors, report.written) == ([], [img, hdr])


def test_long_parameters_are_lines_a_line_reader_takes_whole(tmp_path):
    # a line of 10,000 characters or more is dropped by GDAL, with all after it
    params = {**BASE_3D, **MAP, "SNM": "%a b" * 6000}
    path = file_3d(_spectra(6), params).write(str(tmp_path / "in.vesk"))
    data, img = exported(tmp_path, path)
    fields, _ = read_envi(img)
    with open(img[:-4] + ".hdr", encoding="ascii") as f:
        assert max(map(len, f)) < 5000
    assert json.loads("".join(fields["vesk parameters"]))["SNM"] == params["SNM"]


@pytest.mark.parametrize("piece", [None, 7])  # a long path of non-ASCII names; every text cut
@pytest.mark.filterwarnings("ignore::UserWarning")  # a picture with no georeference
def test_long_texts_run_over_lines_that_readers_join_whole(tmp_path, monkeypatch, piece):
    # GDAL drops a line of 10,000 characters or more, and every field after it
    folder = tmp_path.joinpath(*["\xe9" * 127] * 15) if piece is None else tmp_path / "a b"
    folder.mkdir(parents=True)
    if piece is not None:
        monkeypatch.setattr(envi, "PIECE", piece)
    path = file_3d(_traces(["trace %d" % k for k in range(2000)], npt=6),
                   {**BASE_3D, **MAP, "NPT": 6}, data_type=7).write(str(folder / "in.vesk"))
    data, img = vesk.read(path), str(tmp_path / "out.img")
    vesk.export.write(data, img, "envi")
    fields, values = read_envi(img)
    with open(img[:-4] + ".hdr", encoding="ascii") as f:
        assert max(map(len, f)) < 5000
    names = [str(v) for v in data.labels]
    assert (fields["vesk source"], fields["band names"]) == (path, names)
    assert " from %s: " % path in fields["description"]
    spectral = pytest.importorskip("spectral")  # keeps the line breaks, each line stripped
    header = spectral.envi.read_envi_header(img[:-4] + ".hdr")
    assert [unquote(n.replace("\n", "")) for n in header["band names"]] == names
    assert unquote("".join(header["vesk source"]).replace("\n", "")) == path
    rasterio = pytest.importorskip("rasterio")  # joins the lines as they are
    with rasterio.open(img) as opened:
        tags, read = opened.tags(ns="ENVI"), opened.read()
    assert unquote(tags["vesk_source"].strip("{}")) == path
    assert [unquote(n.strip()) for n in tags["band_names"][1:-1].split(",")] == names
    assert json.loads(unquote(tags["vesk_parameters"][1:-1].replace(", ", ""))) == json.loads(
        "".join(fields["vesk parameters"]))
    np.testing.assert_array_equal(np.moveaxis(read, 0, -1), values)


@pytest.mark.parametrize("kind", ["time-resolved series", "image map"])
def test_a_block_of_no_values_is_refused_as_no_reader_opens_it(capsys, tmp_path, kind):
    from writer_3d import store_block, stored_block
    empty = store_block([stored_block([], time=1.0)] * 6, block_size=0)
    path = file_3d(empty, {**BASE_3D, **(MAP if kind == "image map" else {}), "NPT": 0}).write(
        str(tmp_path / "e.vesk"))
    data = vesk.read(path)
    assert data.block.kind == kind
    with pytest.raises(vesk.export.UnsupportedBlockError, match="ENVI holds no block of 0 values"):
        vesk.export.write(data, tmp_path / "e.img", "envi")
    for asked, told in (([], "skipped"), (["-b", "AB/3D/NONE"], "block failed")):
        assert main(["export", "-f", "envi", "-o", str(tmp_path / "o"), path] + asked) == 1
        assert "(1 %s)" % told in capsys.readouterr().err
    assert os.listdir(tmp_path / "o") == [] and os.listdir(tmp_path) == ["e.vesk", "o"]

"""`vesk export -f mat`: every kind read back by scipy.io.loadmat as vesk reads it."""
import os
import shutil
import subprocess

import numpy as np
import pytest

import vesk
import vesk.export
from vesk._cli import main
from vesk.export import FORMATS, mat
from vesk_kinds import KINDS, MAP, _spectra, _traces
from writer_3d import BASE_3D, file_3d

sio = pytest.importorskip("scipy.io")


def text(cell):
    return str(cell[0]) if cell.size else ""


def exported(tmp_path, vf_key, **write):
    vf, key = vf_key
    data = vesk.read(vf.write(str(tmp_path / "in.vesk")), "/".join(key))
    out = tmp_path / "out.mat"
    vesk.export.write(data, out, "mat", **write)
    return data, sio.loadmat(str(out))


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_every_kind_loads_as_read(tmp_path, kind):
    data, back = exported(tmp_path, KINDS[kind]())
    assert back["values"].dtype == np.float32  # as read, dimensions in vesk's order
    np.testing.assert_array_equal(back["values"].reshape(data.values.shape), data.values)
    assert [text(c) for c in back["dims"].ravel()] == list(data.dims)
    assert back["dims"].shape == (1, len(data.dims))
    for name, (dims, values) in data.coords.items():
        key = name
        values = np.asarray(values)
        got = back[key].ravel()
        if values.dtype.kind in "OU":  # a cell array of char
            assert [text(c) for c in got] == [str(v) for v in values]
        else:
            np.testing.assert_array_equal(got, values)
        dims_back = back["coordinate_dims"][key][0, 0].ravel()
        assert [text(c) for c in dims_back] == list(dims)
    if kind == "spectrum":
        np.testing.assert_array_equal(back["x"].ravel(), data.x)
        np.testing.assert_array_equal(back["y"].ravel(), data.y)
        assert text(back["measured"]) == data.measured.isoformat()
    keys = [text(c) for c in back["parameters"][:, 0]]
    assert keys == list(data.parameters)
    for (key, value), got in zip(data.parameters.items(), back["parameters"][:, 1]):
        assert (text(got) if isinstance(value, str) else float(got.item())) == value
    assert (text(back["block"]), text(back["kind"])) == (data.block.name, kind)


# Keys no struct field could be, a text not ASCII, a character past 16 bits.
ODD = {"SNM": "caf\u00e9 \u20ac", "b!k": "x\U0001f600y", "}=,\n": "v", "A B": 7}


def test_odd_keys_and_texts_load_whole(tmp_path):
    expected = {**ODD, "b!k": "x\ufffdy"}  # as MATLAB's 16-bit char can hold it
    vf = file_3d(_spectra(6), {**BASE_3D, **MAP, **ODD})
    data, back = exported(tmp_path, (vf, ("AB", "3D", "NONE")))
    pairs = {text(k): (text(v) if v.dtype.kind == "U" else v.item())
             for k, v in back["parameters"]}
    assert {k: pairs[k] for k in expected} == expected


def test_the_header_is_the_same_on_every_system(tmp_path, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    exported(tmp_path, KINDS["spectrum"]())
    head = (tmp_path / "out.mat").read_bytes()[:mat.HEADER_TEXT].rstrip()
    assert head == b"MATLAB 5.0 MAT-file, Created on: Tue Nov 14 22:13:20 2023 by vesk " + (
        vesk.__version__.encode())


@pytest.mark.parametrize("most, refused", [(4 * 24, False), (4 * 24 - 1, True)])
def test_a_block_past_what_a_variable_holds_is_refused_before_it_is_written(
        capsys, tmp_path, monkeypatch, most, refused):
    monkeypatch.setattr(mat, "MOST_BYTES", most)  # the map's 24 values: 96 bytes
    path = KINDS["image map"]()[0].write(str(tmp_path / "in.vesk"))
    code = main(["export", path, "-f", "mat", "-o", str(tmp_path / "cli")])
    err = capsys.readouterr().err
    assert (code, os.path.exists(tmp_path / "cli" / "in_AB_3D_NONE.mat")) == (refused, not refused)
    if not refused:
        return
    assert ("AB/3D/NONE: 24 values (96 bytes) are more than a MAT-file variable holds "
            "(2 GiB); the netcdf format, which MATLAB reads with ncread, holds them") in err
    for write in (lambda out: vesk.export.write(vesk.read(path, "AB/3D/NONE"), out, "mat"),
                  lambda out: FORMATS["mat"].write(vesk.read(path, "AB/3D/NONE"), out)):
        with pytest.raises(ValueError, match="AB/3D/NONE: 24 values"):
            write(str(tmp_path / "o.mat"))
    assert not os.path.exists(tmp_path / "o.mat")


def test_without_scipy_the_extra_to_install_is_told(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "scipy.io", None)
    path = KINDS["spectrum"]()[0].write(str(tmp_path / "in.vesk"))
    assert main(["export", path, "-f", "mat", "-o", str(tmp_path / "out")]) == 1
    assert "pip install 'veskread[matlab]'" in capsys.readouterr().err
    with pytest.raises(ImportError, match=r"veskread\[matlab\]"):
        vesk.export.write(vesk.read(path, "AB/2D/NONE"), tmp_path / "o.mat", "mat")
    assert sorted(os.listdir(tmp_path)) == ["in.vesk"]


def test_texts_not_ascii_are_written_as_utf16(tmp_path):
    names = ["caf\u00e9", "\u00e0 la"]  # scipy's own writer gives UTF-8, which Octave cuts short
    exported(tmp_path, (file_3d(_traces(names, npt=6), {**BASE_3D, **MAP, "NPT": 6},
                                data_type=7), ("TRC", "3D", "NONE")))
    written = (tmp_path / "out.mat").read_bytes()
    for name in names:
        assert name.encode("utf-16-le") in written and name.encode("utf-8") not in written


@pytest.mark.skipif(shutil.which("octave-cli") is None, reason="needs GNU Octave")
def test_octave_loads_texts_that_are_not_ascii_whole(tmp_path):
    names, sample = ["caf\u00e9", "\u00e9t\u00e9 \u00e0 end"], "na\u00efve \u20ac tail"
    vf = file_3d(_traces(names, npt=6), {**BASE_3D, **MAP, "NPT": 6, "SNM": sample}, data_type=7)
    exported(tmp_path, (vf, ("TRC", "3D", "NONE")))
    script = ("s = load('out.mat'); printf('%s\\n', s.trace{:}, "
              "s.parameters{strcmp(s.parameters(:, 1), 'SNM'), 2}, s.dims{:})")
    run = subprocess.run(["octave-cli", "--eval", script], cwd=tmp_path, capture_output=True)
    assert run.stdout.decode("utf-8").splitlines() == [*names, sample, "y", "x", "trace"], \
        run.stderr

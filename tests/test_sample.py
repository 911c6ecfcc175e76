"""The sample file that the repository ships, and the example that reads it."""
import os
import subprocess
import sys

import pytest

import veskread

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
SAMPLE = os.path.join(ROOT, "samples", "sample.vesk")


SAMPLES = ["sample.vesk", "mapping.vesk", "kinetics.vesk", "regions.vesk"]


def test_samples_are_what_the_script_makes(tmp_path):
    out = tmp_path / "sample.vesk"
    subprocess.run([sys.executable, os.path.join(ROOT, "samples", "make_sample.py"), str(out)],
                   check=True, capture_output=True)
    for name in SAMPLES:
        with open(os.path.join(ROOT, "samples", name), "rb") as f:
            assert f.read() == (tmp_path / name).read_bytes(), name


def test_samples_hold_every_kind_of_block():
    kinds = {}
    for name in SAMPLES:
        path = os.path.join(ROOT, "samples", name)
        for key in veskread.listContents(path):
            kinds.setdefault(type(veskread.getVeskData(path, key)).__name__, []).append(name)
    assert set(kinds) == {"SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
                          "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn",
                          "MultiRegionDataReturn", "MultiRegionTRCDataReturn"}
    pictures = veskread.getVisImages(os.path.join(ROOT, "samples", "mapping.vesk"))
    assert [p["imgext"] for p in pictures] == ["png", "bmp"]


def test_sample_contents():
    assert veskread.isVeskFile(SAMPLE) is True
    assert veskread.listContents(SAMPLE) == [("AB", "2D", "NONE"), ("AB", "3D", "NONE"),
                                             ("SSC", "2D", "NONE"), ("RSC", "2D", "NONE")]
    m = veskread.getVeskData(SAMPLE, ("AB", "3D", "NONE"))
    assert isinstance(m, veskread.ImageDataReturn) and m.spectra.shape == (6, 8, 64)
    # the band grows along x and y, so no two pixels hold the same spectrum
    peak = m.spectra.max(axis=2)
    assert (peak[:, 1:] > peak[:, :-1]).all() and (peak[1:, :] > peak[:-1, :]).all()
    (image,) = veskread.getVisImages(SAMPLE)
    assert image["imgext"] == "bmp" and image["Pos. X"] == 1337.5
    assert len(image["image"]) == image["Bytes"]


def test_example_reads_every_block():
    try:
        veskread.getVeskData(SAMPLE, ("AB", "2D", "NONE"))
    except NotImplementedError:
        pytest.skip("getVeskData is not built in yet")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "read_sample.py"),
                           SAMPLE], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "4 data blocks" in out
    assert "ImageDataReturn: 8 x 6 map of 64-point spectra" in out
    assert "image 'Sample, 4x objective': bmp" in out
    assert "Sample Name" in out and "Polystyrene film" in out
    assert out.count("1024 points") == 3


@pytest.mark.parametrize("example", ["read_sample.py", "vesk_tour.py"])
@pytest.mark.parametrize("name", SAMPLES)
def test_examples_run_on_every_sample(example, name):
    # their usage takes any file, not only the default one
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "examples", example),
                           os.path.join(ROOT, "samples", name)], capture_output=True, text=True,
                          env=env)
    assert proc.returncode == 0, proc.stderr

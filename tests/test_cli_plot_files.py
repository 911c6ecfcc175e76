"""`vesk plot` of several files: one spectrum of each on one axis."""
import os

import numpy as np
import pytest

from vesk._cli import command as cli
from vesk._cli import main
from vesk_writer import spectrum_file

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
SAMPLE = os.path.join(ROOT, "samples", "sample.vesk")
MAPPING = os.path.join(ROOT, "samples", "mapping.vesk")


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def runs(tmp_path, monkeypatch):
    """day1/run.0 and day2/run.0, infrared stored low to high, and one.0 high to low."""
    monkeypatch.chdir(tmp_path)
    paths = []
    for k, (name, ends) in enumerate([("day1/run.0", (400.0, 4000.0)),
                                      ("day2/run.0", (400.0, 4000.0)),
                                      ("one.0", (3000.0, 1000.0))]):
        os.makedirs(os.path.dirname(name) or ".", exist_ok=True)
        paths.append(spectrum_file([k + 1.0, k + 2.0, k + 1.5],
                                   {"FXV": ends[0], "LXV": ends[1], "DXU": "WN"}).write(name))
    return paths


@pytest.fixture
def overlay(monkeypatch):
    """The overlay module, its last figure kept in `overlay.drawn`."""
    pytest.importorskip("matplotlib")
    from vesk._cli import overlay
    draw = overlay.draw_overlay
    monkeypatch.setattr(overlay, "draw_overlay",
                        lambda spectra: overlay.drawn.append(draw(spectra)) or overlay.drawn[-1])
    monkeypatch.setattr(overlay, "drawn", [], raising=False)
    return overlay


@pytest.mark.parametrize("given", [["day1/run.0", "day2/run.0", "one.0"], ["day1", "day2", "one.0"],
                                   ["day1/run.0", "-b", "AB/2D/NONE", "day2/run.0", "one.0"]])
def test_spectra_of_several_files_share_one_axis(capsys, runs, overlay, given):
    code, out, err = run(capsys, "plot", *given, "-o", "p.png")
    assert (code, out, err) == (0, "p.png\n", "")
    with open("p.png", "rb") as f:
        assert f.read(4) == b"\x89PNG"
    ax, = overlay.drawn[0].axes
    assert [t.get_text() for t in ax.get_legend().get_texts()] == [
        os.path.join("day1", "run.0"), os.path.join("day2", "run.0"), "one.0"]
    assert [list(line.get_ydata()) for line in ax.lines] == [
        [1.0, 2.0, 1.5], [2.0, 3.0, 2.5], [3.0, 4.0, 3.5]]
    assert ax.get_xlim() == (4000.0, 400.0)  # high to low over all of them
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Wavenumber (cm-1)", "Absorbance")
    assert len({line.get_color() for line in ax.lines}) == 3


@pytest.mark.parametrize("argv, expected", [
    (["{SAMPLE}", "AB"], (False, "{SAMPLE}", "AB")),
    (["{SAMPLE}", "-b", "AB"], (False, "{SAMPLE}", "AB")),
    (["{SAMPLE}", "day1/run.0"], (True, "{SAMPLE}", None)),   # exists: a file, not a key
    (["{SAMPLE}", "-o", "p.png", "one.0"], (True, "{SAMPLE}", None)),
    (["day1"], (True, "day1", None)),
])
def test_a_second_name_that_exists_is_a_file(runs, argv, expected):
    argv = [a.format(SAMPLE=SAMPLE) for a in argv]
    output = [] if "-o" in argv else ["-o", "p.png"]
    args = cli.parse(cli.build_parser(), ["plot", *argv, *output])
    assert (args.overlay, args.file, args.key) == tuple(
        e.format(SAMPLE=SAMPLE) if isinstance(e, str) else e for e in expected)


@pytest.mark.parametrize("argv, message", [
    (["day1/run.0", "one.0", "AB"], "AB: no such file or folder; a KEY follows one FILE only: "
                                    "the block of several files is given with --block AB"),
    (["day1", "AB"], "day1 is a folder and AB no file or folder; a KEY follows one FILE"),
    (["day1/run.0", "one.0", "--at", "5"], "--at draws one map or series"),
    (["one.0", "AB", "-b", "AB"], "AB is a block given twice"),
])
def test_a_key_mixed_with_several_files_is_a_usage_error(capsys, runs, argv, message):
    code, out, err = run(capsys, "plot", *argv, "-o", "p.png")
    assert (code, out) == (2, "") and err.startswith("usage: vesk plot") and message in err
    assert not os.path.exists("p.png")


@pytest.mark.parametrize("argv, message", [
    (["one.0", SAMPLE], "%s: holds 3 spectra (AB/2D/NONE, SSC/2D/NONE, RSC/2D/NONE); give the "
                        "one to draw with --block KEY" % SAMPLE),
    (["one.0", MAPPING], "%s: holds no spectrum to draw with the others: AB/3D/NONE (image "
                         "map), TRC/3D/NONE (image traces)" % MAPPING),
    (["one.0", SAMPLE, "-b", "AB/3D"], "AB/3D/NONE is an image map; only spectra"),
    (["one.0", SAMPLE, "-b", "SSC"], "one.0: no block SSC"),
    (["one.0", "nm.0"], "cannot draw these together: one.0's AB/2D/NONE is Absorbance over "
                        "Wavenumber (cm-1), nm.0's AB/2D/NONE is Absorbance over Wavelength (nm)"),
    (["one.0", "missing.0", "day1"], "missing.0: No such file"),
])
def test_files_that_cannot_be_drawn_together_are_named(capsys, runs, overlay, argv, message):
    spectrum_file([1.0, 2.0], {"DXU": "NM"}).write("nm.0")
    code, out, err = run(capsys, "plot", *argv, "-o", "p.png")
    assert (code, out) == (1, "") and message in err
    assert not os.path.exists("p.png") and overlay.drawn == []


@pytest.mark.parametrize("paths, names", [
    (["a/run.0", "b/run.0", "c.0"], ["a/run.0", "b/run.0", "c.0"]),
    (["x/a/run.0", "y/a/run.0", "y/b/run.0"], ["x/a/run.0", "y/a/run.0", "b/run.0"]),
    (["a/x/run.0", "b/x/run.0"], ["a/x/run.0", "b/x/run.0"]),
])
def test_legend_names_carry_the_folders_that_tell_them_apart(paths, names):
    from vesk._cli.overlay import distinct_names
    assert distinct_names(paths) == [n.replace("/", os.sep) for n in names]


@pytest.mark.parametrize("n", [3, 10, 15, 20, 40])
def test_many_lines_keep_neighbours_apart(n):
    pytest.importorskip("matplotlib")
    from matplotlib.colors import to_rgba
    from vesk._cli.overlay import line_styles
    styles = [(to_rgba(c), s) for c, s in line_styles(n)]
    assert len(set(styles)) == n
    for (c1, s1), (c2, s2) in zip(styles, styles[1:]):
        assert s1 != s2 or np.abs(np.subtract(c1, c2)).max() > 0.1


def test_a_spectrum_past_its_file_bound_is_not_drawn(capsys, runs, overlay, monkeypatch):
    from vesk._cli import output_bound
    monkeypatch.setattr(output_bound._native, "output_limit", lambda size: 8)  # 2 of 3 values
    code, out, err = run(capsys, "plot", "one.0", "day1", "-o", "p.png")
    assert (code, out) == (1, "") and "one.0: AB/2D/NONE declares 3 values" in err
    assert "not drawn" in err and overlay.drawn == []


@pytest.mark.parametrize("second, hint", [("day2/run.9", True), ("run.9", True), ("XY", False),
                                          ("day2/XY", True)])
def test_a_mistyped_second_file_is_named_as_one(capsys, runs, second, hint):
    code, out, err = run(capsys, "plot", "one.0", second, "-o", "p.png")
    assert (code, out) == (1, "") and "one.0: no block %s; the file has: AB/2D/NONE" % (
        second.upper()) in err
    assert ("nor is %s a file or folder to draw with it" % second in err) == hint


def test_past_the_legend_the_spectra_are_one_collection(capsys, runs, overlay, monkeypatch):
    monkeypatch.setattr(overlay, "LEGEND_MOST", 2)
    code, out, err = run(capsys, "plot", "day1", "day2", "one.0", "-o", "p.svg")
    assert (code, out) == (0, "p.svg\n") and "3 spectra drawn without a legend" in err
    ax, = overlay.drawn[0].axes
    assert len(ax.lines) == 0 and ax.get_legend() is None
    collection, = ax.collections
    assert [p.vertices[:, 1].tolist() for p in collection.get_paths()] == [
        [1.0, 2.0, 1.5], [2.0, 3.0, 2.5], [3.0, 4.0, 3.5]]
    assert ax.get_xlim() == (4000.0, 400.0) and ax.get_ylim()[0] < 1.0 < 4.0 < ax.get_ylim()[1]


@pytest.mark.parametrize("y, x_out, y_out", [
    ([0, 5, 1, 2, -3, 2, np.nan, np.nan, 4], [0, 2, 3, 5, 6, 8], [0, 5, -3, 2, 4, 4]),
    ([1, 2, 3, 4, 5, 6], list(range(6)), [1, 2, 3, 4, 5, 6]),   # short: drawn whole
])
def test_a_long_spectrum_is_drawn_by_its_envelope(y, x_out, y_out):
    from vesk._cli.overlay import envelope
    x, got = envelope(np.arange(float(len(y))), np.array(y, dtype=np.float32), 3)
    assert x.tolist() == x_out and got.tolist() == y_out


@pytest.mark.parametrize("room, drawn", [(None, 3), (0, 2)])  # whole where it fits
def test_spectra_are_thinned_only_past_the_files_bound(capsys, runs, overlay, monkeypatch,
                                                        room, drawn):
    monkeypatch.setattr(overlay, "STRETCHES", 1)  # a stretch each: lowest and highest
    if room is not None:
        monkeypatch.setattr(overlay, "drawing_room", lambda spectra: room)
    assert run(capsys, "plot", "day1", "one.0", "-o", "p.png")[0] == 0
    ax, = overlay.drawn[0].axes
    assert [len(line.get_ydata()) for line in ax.lines] == [drawn, drawn]

"""The `vesk` command: listing, parameters, images, plots, usage and errors."""
import contextlib
import importlib.util
import errno
import glob
import io
import json
import math
import os
import re
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

import vesk
from vesk._cli import command as cli
from vesk._cli import main
from vesk._cli.map_pictures import map_picture
from vesk._cli.progress import Progress
from vesk.export import netcdf
from vesk_writer import spectrum_file

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
SAMPLES = {n: os.path.join(ROOT, "samples", n + ".vesk")
           for n in ("sample", "mapping", "kinetics", "regions")}
SAMPLE = SAMPLES["sample"]
# Without it, plot stops at the missing extra before it looks at the block.
NEEDS_MATPLOTLIB = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                                      reason="needs matplotlib")


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def not_vesk(tmp_path):
    path = tmp_path / "notes.vesk"
    path.write_bytes(b"plain text, not a measurement\n")
    return str(path)


@pytest.mark.parametrize("argv", [["--help"], ["ls", "--help"], ["params", "--help"],
                                  ["export", "--help"], ["images", "--help"], ["plot", "--help"],
                                  ["diff", "--help"]])
def test_help_on_every_level(capsys, argv):
    code, out, _ = run(capsys, *argv)
    assert code == 0 and out.startswith("usage: vesk")


@pytest.mark.parametrize("argv", [["--version"], ["ls", "--version"]])
def test_version(capsys, argv):
    code, out, _ = run(capsys, *argv)
    assert code == 0 and out.strip() == "vesk " + vesk.__version__


# Listing and comparing read no values: they start without numpy's import (and
# veskread's, which brings it), most of a short run's time, nor the export's
# machinery, nor json but for --json; `import vesk` (None) without them and
# html. export reads values: the witness that the check sees an import.
@pytest.mark.parametrize("argv, imports", [
    (None, []), (["--help"], []), (["plot", "--version"], []), (["ls", SAMPLE], []),
    (["ls", "--json", os.path.dirname(SAMPLE)], ["json"]), (["params", SAMPLE, "AB/3D"], []),
    (["params", "--json", SAMPLES["regions"]], ["json"]), (["diff", SAMPLE, SAMPLES["mapping"]], []),
    (["diff", "--json", SAMPLE, SAMPLE, "AB/2D"], ["json"]),
    (["export", "-f", "csv", SAMPLE], ["numpy", "vesk._cli.exporting", "veskread"])])
def test_commands_that_read_no_values_start_without_numpy(tmp_path, argv, imports):
    watched = "{'numpy', 'veskread', 'vesk._cli.exporting', 'json', 'html'}"
    code = ("import sys, vesk; from vesk._cli import main; sys.argv[1:] and main(sys.argv[1:]); "
            "print(sorted(%s & set(sys.modules)))" % watched)
    if "numpy" in imports:  # what numpy brings itself (numpy 1.21: json) is not ours
        alone = subprocess.run([sys.executable, "-c", "import sys, numpy; print(*(%s & "
                                "set(sys.modules)))" % watched], capture_output=True, text=True)
        imports = sorted(set(imports) | set(alone.stdout.split()))
    argv = argv + ["-o", str(tmp_path)] if argv and argv[0] == "export" else argv or []
    done = subprocess.run([sys.executable, "-c", code] + argv, capture_output=True, text=True)
    loaded = done.stdout.splitlines()[-1]
    assert loaded == str(imports), done.stderr


@pytest.mark.parametrize("command", [["ls", "--json"], ["ls", "--json", "--"],
                                     ["export", "-f", "npy"], ["images", "-o", "."]])
def test_file_names_may_follow_options(capsys, tmp_path, monkeypatch, command):
    monkeypatch.chdir(tmp_path)
    name, option = command[0], command[1:]
    code, out, err = run(capsys, name, SAMPLES["sample"], *option, SAMPLES["regions"])
    assert code == 0, err
    assert "regions" in out + err and "sample" in out  # regions has no pictures to write


# A missing input shows that the command line is refused before any file is read.
@pytest.mark.parametrize("argv", [[], ["frob"], ["ls"], ["export", SAMPLE],
                                  ["export", SAMPLE, "-f", "xls"],
                                  ["export", SAMPLE, "-f", "csv", "--jobs", "-1"],
                                  ["export", SAMPLE, "-f", "csv", "-b", "AB//NONE"],
                                  ["export", SAMPLE, "-f", "csv", "-o", "-"],
                                  ["images", SAMPLE, "-o", "-"],
                                  ["plot", SAMPLE, "AB/2D/NONE"],
                                  ["plot", "missing.vesk", "TRC", "-o", "kt.txt"],
                                  ["plot", "missing.vesk", "TRC", "-o", "map"],
                                  ["ls", SAMPLE, "--bogus", SAMPLE],
                                  ["ls", "--jsn", SAMPLE],
                                  ["params", SAMPLE, "AB/2D/NONE", SAMPLE]])
def test_usage_errors_exit_2(capsys, argv):
    code, _, err = run(capsys, *argv)
    command = argv[0] + " " if argv and argv[0] != "frob" else "[-h]"
    assert code == 2 and err.startswith("usage: vesk " + command)
    if not argv:  # a first try: the commands there are
        assert all("\n    %s " % c in err for c in ("ls", "params", "diff", "export", "plot"))
    elif argv[:1] == ["plot"] and "-o" in argv:  # the picture's suffix
        assert ".png, .svg" in err
    elif "-" in argv:
        assert "one per block, written into a folder" in err


@pytest.mark.parametrize("argv, told", [
    # a required option misspelt is told as such, not as missing
    (["export", SAMPLE, "--fromat", "csv"], "arguments: --fromat (did you mean --format?)\n"),
    (["plot", SAMPLE, "SSC", "--ouput=p.png"], "arguments: --ouput=p.png (did you mean --output"),
    (["ls", SAMPLE, "--jsn"], "arguments: --jsn (did you mean --json?)\n"),
    # shortened, or a value attached: known; only the misspelt one is told
    (["export", SAMPLE, "--form", "csv", "-fcsv", "--forse"], "arguments: --forse (did you "
                                                                "mean --force?)\n"),
    (["ls", "-j", SAMPLE], "arguments: -j\n"),
    (["plot", SAMPLE, "--", "--ouput"], "required: -o/--output\n"),  # a name, after "--"
    # one misspelling no required option: what is missing is told too
    (["plot", SAMPLE, "SSC", "--dpi", "300"], "arguments: --dpi; the following arguments are "
                                              "required: -o/--output\n"),
    # the command's own option given before it
    (["--json", "ls", SAMPLE], "arguments: --json (an option of vesk ls: it goes after the "
                               "command)\n"),
])
def test_misspelt_options_are_named(capsys, argv, told):
    code, out, err = run(capsys, *argv)
    assert (code, out) == (2, "") and told in err


@NEEDS_MATPLOTLIB
def test_plot_suffixes_are_formats_matplotlib_writes():
    from matplotlib.backend_bases import FigureCanvasBase
    from vesk._cli.plot_options import SUFFIXES
    assert set(SUFFIXES) <= set(FigureCanvasBase.get_supported_filetypes())


def test_ls_one_line_per_block(capsys):
    code, out, err = run(capsys, "ls", SAMPLE)
    assert code == 0 and err == ""
    with vesk.open(SAMPLE) as f:
        blocks = f.blocks
    lines = out.splitlines()
    assert len(lines) == len(blocks)
    for line, b in zip(lines, blocks):
        assert line.split()[0] == b.name and b.kind in line and b.x_label in line
        assert " x ".join(map(str, b.shape)) in line and "%d points" % b.points in line
        assert "%g .. %g" % b.x_range in line


# Ends near each other, far from zero, written alike hid their difference.
@pytest.mark.parametrize("first, last", [(1e9, 1e9 + 64), (5000.5, 5000.5 + 2 ** -40),
                                         (1e9, 1e9), (3999.64, 399.69)])
def test_range_ends_shown_apart_as_they_are(capsys, tmp_path, first, last):
    path = spectrum_file([1.0, 2.0], {"FXV": first, "LXV": last}).write(str(tmp_path / "r.0"))
    for text in (run(capsys, "ls", path)[1], repr(vesk.read(path))):
        one, other = map(float, re.search(r"(\S+) \.\. (\S+)", text).groups())
        assert (one < other, one == other) == (first < last, first == last)


def test_ls_groups_files_and_reports_bad_ones(capsys, not_vesk, tmp_path):
    missing = str(tmp_path / "missing.vesk")
    code, out, err = run(capsys, "ls", SAMPLE, not_vesk, SAMPLES["regions"], missing)
    assert code == 1
    assert out.splitlines()[0] == SAMPLE + ":" and "\n%s:\n" % SAMPLES["regions"] in out
    assert "multiregion map" in out and not_vesk not in out
    *errors, summary = err.splitlines()
    assert len(errors) == 2 and not_vesk in errors[0] and missing in errors[1]
    assert "No such file" in errors[1]
    assert summary == ("listed 6 blocks of 2 files: 3 spectra, 1 image map, 1 multiregion map,"
                       " 1 multiregion traces; 2 files failed")


def test_ls_json(capsys, not_vesk):
    code, out, _ = run(capsys, "ls", "--json", not_vesk, *SAMPLES.values())
    assert code == 1
    failed, *listed = json.loads(out)
    assert failed == {"file": not_vesk, "blocks": [], "error": "%s: not a VESK file" % not_vesk}
    assert [(entry["file"], entry["error"]) for entry in listed] == [
        (path, None) for path in SAMPLES.values()]
    for entry in listed:
        with vesk.open(entry["file"]) as f:
            assert [(b["name"], tuple(b["key"]), b["kind"], tuple(b["shape"]), b["points"],
                     tuple(b["x_range"]), b["x_label"], b["y_label"], b["parameters"])
                    for b in entry["blocks"]] \
                == [(b.name, b.key, b.kind, tuple(b.shape), b.points, tuple(b.x_range),
                     b.x_label, b.y_label, dict(b.parameters)) for b in f.blocks]
    # the traces a block of them holds, as the text listing counts them
    assert {(b["kind"], b["traces"]) for entry in listed for b in entry["blocks"]} == {
        ("spectrum", None), ("image map", None), ("image traces", 3),
        ("time-resolved series", None), ("time-resolved traces", 2),
        ("multiregion map", None), ("multiregion traces", 2)}
    # when each was measured, as the parameters date it (one has no date)
    assert [[b["measured"] for b in entry["blocks"]] for entry in listed] == [
        ["2026-12-07T21:38:08", None, "2026-12-07T21:38:08", "2026-12-07T21:38:08"],
        ["2026-12-08T09:15:42"] * 2,
        ["2026-12-08T09:15:42"] * 2, ["2026-12-08T09:15:42"] * 2]


def test_ls_lists_a_file_whose_time_is_damaged(capsys, tmp_path):
    # A zone past a day raised from the listing of `measured`: the file failed.
    path = spectrum_file([1.0, 2.0], {"DAT": "07/12/2026", "TIM": "12:00 (GMT+99)"}).write(
        str(tmp_path / "t.0"))
    for args in (["ls"], ["ls", "--json"]):
        code, out, err = run(capsys, *args, path)
        assert (code, err) == (0, "") and "AB/2D/NONE" in out
    assert json.loads(out)[0]["blocks"][0]["measured"] is None


def test_diff_shows_what_differs_between_two_runs(capsys, tmp_path):
    def run_file(name, values, scans, sample, **extra):
        return spectrum_file(values, {"RES": 4.0, **extra}, extra_params=[
            (3, {"NSS": scans}), (10, {"SNM": sample})]).write(str(tmp_path / name))

    old = run_file("old.0", [1.0, 2.0], 32, "PET")
    new = run_file("new.0", [1.0, 2.0], 64, "PET\x1b", LWN=15798.0)
    code, out, err = run(capsys, "diff", old, new)
    assert (code, err) == (0, "")
    rows = [re.split(" {2,}", line.strip()) for line in out.splitlines()[2:]]
    assert rows == [["NSS", "Number of Sample Scans", "32", "64"],
                    ["SNM", "Sample Name", "PET", "PET\\x1b"],
                    ["LWN", "Laser Wavenumber", "-", "15798.0"]]
    code, out, _ = run(capsys, "diff", "--json", old, old, "AB")
    assert (code, json.loads(out)["blocks"]) == (0, [
        {"block": "AB/2D/NONE", "only_in": None, "parameters": {}}])
    code, out, _ = run(capsys, "diff", "--json", old, SAMPLE)
    blocks = json.loads(out)["blocks"]
    assert [(b["block"], b["only_in"]) for b in blocks] == [
        ("AB/2D/NONE", None), ("AB/3D/NONE", SAMPLE), ("SSC/2D/NONE", SAMPLE),
        ("RSC/2D/NONE", SAMPLE)]
    assert blocks[0]["parameters"]["NPT"]["values"] == [2, 1024]
    assert [b["parameters"] for b in blocks[1:]] == [None] * 3
    # a damaged file's numbers stay apart from each other and from a lacking one
    odd = run_file("odd.0", [1.0, 2.0], 32, "PET", LXV=float("-inf"), XYZ=float("nan"))
    code, out, _ = run(capsys, "diff", "--json", old, odd, "AB")
    values = {k: p["values"] for k, p in json.loads(out)["blocks"][0]["parameters"].items()}
    assert (values["LXV"], values["XYZ"]) == ([400.0, "-inf"], [None, "nan"])
    # text against a number that prints alike: shown as which is which
    code, out, _ = run(capsys, "diff", run_file("t.0", [1.0], 32, "4", XYZ="-"),
                       run_file("n.0", [1.0], 32, 4), "AB")
    assert [re.split(" {2,}", line.strip())[2:] for line in out.splitlines()[2:]] == [
        ["'-'", "-"], ["'4'", "4"]]
    code, _, err = run(capsys, "diff", old, tmp_path / "missing.0")
    assert code == 1 and "missing.0: No such file" in err



@pytest.mark.parametrize("rows, lines", [
    # a row's last cell neither padded nor widening its column
    ([("a", "bb", "long message"), ("ccc", "d"), ("e",)], ["a    bb  long message", "ccc  d", "e"]),
    ([("x\x1b", "y"), ("", "")], ["x\\x1b  y", ""]),  # escapes measured as shown
    ([("one", "", "")], ["one"]),
    ([], []),
])
def test_rows_in_columns(rows, lines):
    from vesk._text import aligned
    assert aligned(rows, "") == lines
    assert aligned(rows, "  ") == ["  " + line for line in lines]

def test_params_text_and_json(capsys):
    parameters = vesk.read(SAMPLE, "AB/2D/NONE").parameters
    code, out, _ = run(capsys, "params", SAMPLE, "AB/2D/NONE")
    assert code == 0
    rows = {line.split()[0]: line for line in out.splitlines()}
    assert list(rows) == list(parameters)
    assert rows["NPT"].endswith(" 1024") and "Number of Data Points" in rows["NPT"]
    assert rows["SFM"].endswith("Film 38 \u00b5m")          # UTF-8 as it is, not escaped
    assert rows["MXY"].endswith(" " + repr(parameters["MXY"]))
    code, out, _ = run(capsys, "params", "--json", SAMPLE, "SSC")    # a short form
    shown = json.loads(out)["parameters"]
    assert {k: v["value"] for k, v in shown.items()} == dict(vesk.read(SAMPLE, "SSC").parameters)
    assert shown["SNM"]["name"] == "Sample Name" and "\\u00b5" not in out
    code, out, err = run(capsys, "params", "--json", SAMPLE, "XX")  # a failure, for machines too
    assert code == 1 and json.loads(out)["error"] == err.strip()[len("vesk: "):]


@pytest.mark.parametrize("argv, words", [
    (["params", SAMPLE, "XX/2D/NONE"], ["XX/2D/NONE", "AB/2D/NONE"]),
    (["params", SAMPLE, "AB"], ["AB names 2 blocks"]),
    (["params", SAMPLE], ["has 4 blocks", "AB/2D/NONE", "RSC/2D/NONE",
                          "name one (vesk params FILE KEY)"]),
    (["plot", SAMPLE, "-o", "{out}"], ["has 4 blocks", "name one (vesk plot FILE KEY)"]),
    (["params", "{missing}", "AB"], ["No such file"]),
    (["params", "{not_vesk}", "AB"], []),
    (["images", "{not_vesk}"], []),
    (["plot", "{not_vesk}", "AB", "-o", "{out}"], []),
    pytest.param(["plot", SAMPLE, "AB/3D/NONE", "--at", "99", "-o", "{out}"],
                 ["outside the x range"], marks=NEEDS_MATPLOTLIB),
    pytest.param(["plot", SAMPLE, "AB/2D/NONE", "--at", "1600", "-o", "{out}"],
                 ["--at", "AB/2D/NONE is a spectrum"], marks=NEEDS_MATPLOTLIB),
])
def test_failures_name_the_file(capsys, tmp_path, not_vesk, argv, words):
    names = dict(missing=str(tmp_path / "missing.vesk"), not_vesk=not_vesk,
                 out=str(tmp_path / "p.png"))
    argv = [a.format(**names) for a in argv]
    code, out, err = run(capsys, *argv)
    assert code == 1 and out == ""
    assert err.startswith("vesk: " + argv[1]) and all(w in err for w in words)
    assert not os.path.exists(names["out"])


def test_params_key_may_be_left_out_of_a_file_of_one_block(capsys, tmp_path):
    path = spectrum_file([1.0, 2.0]).write(str(tmp_path / "one.0"))
    code, out, err = run(capsys, "params", path)
    assert (code, err) == (0, "") and "NPT" in out
    assert run(capsys, "params", path, "AB/2D/NONE") == (code, out, err)
    if importlib.util.find_spec("matplotlib"):
        assert run(capsys, "plot", path, "-o", tmp_path / "p.png")[0] == 0


# (plot draws two files together: tests/test_cli_plot_files.py)
@pytest.mark.parametrize("command", ["params"])
@pytest.mark.parametrize("whole", [False, True])  # an absolute path is no key's form at all
def test_a_second_file_given_as_the_key_is_named_so(capsys, tmp_path, monkeypatch, command,
                                                    whole):
    monkeypatch.chdir(tmp_path)
    os.mkdir("d")
    folder = str(tmp_path / "d") if whole else "d"
    one, two = (spectrum_file([1.0, 2.0]).write(os.path.join(folder, n))
                for n in ("run.0", "run.1"))
    extra = ["-o", "p.png"] if command == "plot" else []
    code, out, err = run(capsys, command, one, two, *extra)
    assert (code, out) == ((2, "") if whole else (1, ""))
    assert ("%s is a file, not a block" % two if whole else
            "; %s is a file, but vesk %s takes one FILE, then a block" % (two, command)) in err
    assert ("vesk diff FILE1 FILE2 shows" in err) == (command == "params")
    if not whole:  # what a program reads off the error: the file and the key asked for
        from vesk._cli.block_keys import named_block
        with vesk.open(one) as f, pytest.raises(vesk.BlockNotFoundError) as e:
            named_block(f, two, command)
        assert (e.value.path, e.value.block) == (one, "/".join(vesk._file.key_parts(two)))
        assert e.value.reason.startswith("no block ")


@pytest.mark.parametrize("cut, kept, readable", [(10, ["NPT", "FXV", "LXV", "MXY"], False),
                                                  (6, ["NPT", "FXV", "LXV", "MXY", "MNY"], True)])
def test_params_stop_at_a_parameter_block_the_file_cuts(capsys, tmp_path, cut, kept, readable):
    # The data parameters come last: 6 bytes cut into END, 10 into MNY, which reading needs.
    path = tmp_path / "cut.0"
    path.write_bytes(spectrum_file([1.0, 2.0]).build()[:-cut])
    code, out, err = run(capsys, "params", "--json", str(path))
    record = json.loads(out)
    assert code == 0 and list(record["parameters"]) == kept
    assert (record["problem"] is None) == readable
    assert re.fullmatch(r"the parameter block at byte \d+ runs past the end of the file: the "
                        r"parameters it holds after the cut are missing", record["warning"])
    assert record["warning"] in err
    # diff shows those past the cut as lacking: it says why
    whole = spectrum_file([1.0, 2.0]).write(str(tmp_path / "whole.0"))
    code, _, err = run(capsys, "diff", str(path), whole)
    assert code == 0 and record["warning"] in err


def test_images_with_side_files(capsys, tmp_path):
    code, out, err = run(capsys, "images", SAMPLES["mapping"], SAMPLE, "-o", tmp_path)
    assert code == 0
    written = out.splitlines()
    expected = []
    for path in (SAMPLES["mapping"], SAMPLE):
        with vesk.open(path) as f:
            for image in f.images():
                stem = os.path.join(str(tmp_path), "%s_image%s" % (
                    os.path.splitext(os.path.basename(path))[0], image.name))
                picture, side = written[len(expected)], written[len(expected) + 1]
                expected += [picture, side]
                assert picture == stem + "." + image.format and side == stem + ".json"
                with open(picture, "rb") as g:
                    assert g.read() == image.data
                with open(side, encoding="utf-8") as g:
                    record = json.load(g)
                assert (record["title"], record["position"], record["attributes"]) == (
                    image.title, image.position, dict(image.attributes))
    assert written == expected and len(written) == 6
    assert "2 images written" in err
    assert err.splitlines()[-1] == "wrote 3 images from 2 files to %s" % tmp_path
    code, _, err = run(capsys, "images", SAMPLE, "-o", tmp_path)
    assert code == 1 and "exists (use --force to overwrite, or --skip-existing" in err
    code, out, err = run(capsys, "images", SAMPLES["mapping"], SAMPLE, "-o", tmp_path,
                         "--skip-existing")
    assert (code, out) == (0, "") and err.splitlines()[-1] == \
        "wrote 0 images from 2 files to %s (6 files already there)" % tmp_path
    assert run(capsys, "images", SAMPLE, "-o", tmp_path, "--force")[0] == 0


@pytest.mark.parametrize("stop, status, said", [(KeyboardInterrupt, 130, "interrupted"),
                                                 (cli.Terminated, 143, "terminated")])
def test_stopped_images_say_what_they_wrote(capsys, tmp_path, monkeypatch, stop, status, said):
    from vesk._cli import pictures
    calls, write = [], pictures.write_atomically

    def fifth_stopped(*args, **kw):  # sample.vesk's picture, after mapping.vesk's two
        calls.append(args[0])
        if len(calls) == 5:
            raise stop
        return write(*args, **kw)
    monkeypatch.setattr(pictures, "write_atomically", fifth_stopped)
    code, out, err = run(capsys, "images", SAMPLES["mapping"], SAMPLE, "-o", tmp_path)
    assert (code, len(out.splitlines())) == (status, 4)
    assert err.splitlines()[-2:] == ["wrote 2 images from 1 file to %s before it was stopped; "
                                     "run again with --skip-existing to go on" % tmp_path,
                                     "vesk: " + said]



def test_images_named_by_many_keys_are_not_all_written(capsys, tmp_path):
    # 200 keys naming one 200 kB picture would write 40 MB from a 200 kB file.
    from hostile_files import shared_image
    path = tmp_path / "shared.vesk"
    path.write_bytes(shared_image(keys=200, image_len=200_000)[0])
    code, out, err = run(capsys, "images", path, SAMPLE, "-o", tmp_path / "out")
    assert code == 1 and "none written" in err
    assert "its 200 pictures and their side files take" in err
    written = os.listdir(tmp_path / "out")  # the next file's pictures still are
    assert len(written) == 2 and all(n.startswith("sample_image00.") for n in written)

# -- plots --------------------------------------------------------------------

@pytest.fixture
def plotting():
    pytest.importorskip("matplotlib")
    from vesk._cli import plotting
    return plotting


def test_spectrum_plot_keeps_stored_direction(plotting):
    data = vesk.read(SAMPLE, "AB/2D/NONE")
    ax, = plotting.draw(data, "t").axes
    left, right = ax.get_xlim()
    assert left == data.x[0] > right == data.x[-1]      # descending stays descending
    assert ax.get_xlabel() == data.block.x_label and ax.get_ylabel() == data.block.y_label
    np.testing.assert_array_equal(ax.lines[0].get_ydata(), data.y)


@pytest.mark.parametrize("data_type, units, descending", [
    (4, "WN", True),     # infrared stored from low to high wavenumbers: read from high to low
    (10, "WN", False),   # a Raman shift runs from low to high
    (4, "NM", False),    # wavelengths as stored
])
def test_plot_of_an_ascending_axis(tmp_path, plotting, data_type, units, descending):
    path = spectrum_file([1.0, 2.0, 3.0], {"FXV": 400.0, "LXV": 4000.0, "DXU": units},
                         data_type=data_type).write(str(tmp_path / "a.vesk"))
    ax, = plotting.draw(vesk.read(path), "t").axes
    assert ax.get_xlim() == ((4000.0, 400.0) if descending else (400.0, 4000.0))


@pytest.mark.parametrize("at", [None, "1601", "1400"])
def test_image_map_picture(at):
    data = vesk.read(SAMPLE, "AB/3D/NONE")
    picture, xs, ys, _, caption = map_picture(data, at)
    axis = data.coords[data.dims[-1]][1]
    if at is None:
        integrate = getattr(np, "trapezoid", None) or np.trapz  # trapz is gone from numpy 2.x
        expected = integrate(data.values.astype(np.float64)[..., ::-1], axis[::-1], axis=-1)
        np.testing.assert_allclose(picture, expected, rtol=1e-12)
        assert caption == "Integrated Absorbance 1700 .. 1400 cm-1"
    else:
        k = np.argmin(abs(axis - float(at)))
        np.testing.assert_array_equal(picture, data.values[:, :, k])
    assert picture.shape == data.values.shape[:2]
    np.testing.assert_array_equal(xs, data.coords[data.dims[1]][1])
    np.testing.assert_array_equal(ys, data.coords[data.dims[0]][1])


def test_band_area_stands_above_a_straight_baseline(tmp_path):
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    # x = 100, 150, ..., 400; a sloping background with a triangle of height h
    # at 250 between 200 and 300: its area above the baseline is 50 h.
    x = np.linspace(100, 400, 7)
    spectra = [3 + 0.01 * k * x + np.interp(x, [200, 250, 300], [0, h, 0])
               for k, h in enumerate([0.0, 1.0, 2.0, 4.0])]
    path = file_3d(store_block([stored_block(v.tolist()) for v in spectra], block_size=28),
                   {**BASE_3D, "NPT": 7, "NPX": 2, "NPY": 2, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0,
                    "DDY": 1.0}).write(str(tmp_path / "band.vesk"))
    data = vesk.read(path)
    for at in ("190:310", "300:200"):
        picture, _, _, _, caption = map_picture(data, at)
        np.testing.assert_allclose(picture.ravel(), [0, 50, 100, 200], atol=1e-3)
        assert caption == "Absorbance band area 200 .. 300"
    for at, problem in [("210:240", "fewer than two points"), ("150:2:3", "not a number or a band"),
                        ("90", "outside the x range")]:
        with pytest.raises(ValueError, match=problem):
            map_picture(data, at)
    # A band past the axis is taken over its part on it, the same from Python and plots.
    for area in (lambda: map_picture(data, "60:310")[0], lambda: data.band_area(310, 60)):
        with pytest.warns(vesk.VeskWarning, match=r"band\.vesk: AB/3D/NONE: the band .* runs "
                                                  r"past the x axis \(100 \.\. 400\): its area "
                                                  r"is taken over 100 \.\. 300$"):
            np.testing.assert_allclose(np.ravel(area()), [0, 50, 100, 200], atol=1e-3)
    # The same numbers from Python, for a map, a series and one spectrum.
    series = file_3d(store_block([stored_block(v.tolist(), time=1.0) for v in spectra],
                                 block_size=28), {**BASE_3D, "NPT": 7})
    one = spectrum_file(spectra[2].tolist(), {"FXV": 100.0, "LXV": 400.0})
    for obj, expected in [(data, [[0, 50], [100, 200]]),
                          (read_built(tmp_path, series), [0, 50, 100, 200]),
                          (read_built(tmp_path, one), 100)]:
        np.testing.assert_allclose(obj.band_area(300, 190), expected, atol=1e-3)
    for lo, hi, error, problem in [
            (210, 240, ValueError, "fewer than two points"),
            (500, 700, ValueError, "the band 500 .. 700 is outside the x range 100 .. 400"),
            (math.nan, 240, ValueError, "finite numbers, not nan"),
            ("190", 240, TypeError, "numbers, not '190'")]:
        with pytest.raises(error, match=problem) as e:
            data.band_area(lo, hi)
        assert "band.vesk: AB/3D/NONE: " in str(e.value)
    with pytest.raises(TypeError, match="block of traces"):
        vesk.read(SAMPLES["kinetics"], "TRC").band_area(0, 10)
    # A map stored as planes that lacks its last two (350, 400): a band over
    # them, and the whole picture, take the planes read; NaN would blank them.
    def plane_map(stored):
        planes = [stored_block([float(v[p]) for v in spectra]) for p in range(stored)]
        path = file_3d(store_block(planes, block_size=16, stored_blocks=7),
                       {**BASE_3D, "NPT": 7, "NPX": 2, "NPY": 2, "AOX": 0.0, "AOY": 0.0,
                        "DDX": 1.0, "DDY": 1.0}).write(str(tmp_path / "planes.vesk"))
        with pytest.warns(vesk.VeskWarning, match="only %d of its NPT 7 planes" % stored):
            return vesk.read(path)

    # With fewer than two planes read, the integral over x was 0, or one plane's value.
    for stored in (0, 1):
        with pytest.raises(ValueError, match="holds fewer than two planes: nothing to integrate"):
            map_picture(plane_map(stored), None)
    planes = plane_map(5)
    for area in (lambda: map_picture(planes, "190:400")[0], lambda: planes.band_area(400, 190)):
        with pytest.warns(vesk.VeskWarning, match=r"takes in planes the file does not hold: its "
                                                  r"area is taken over the 3 planes read in 200 "
                                                  r"\.\. 300$"):
            np.testing.assert_allclose(np.ravel(area()), [0, 50, 100, 200], atol=1e-3)
    whole = [((v[1:5] + v[:4]) / 2 * 50).sum() for v in spectra]  # trapezoids
    picture, *_, caption = map_picture(planes, None)
    np.testing.assert_allclose(picture.ravel(), whole, rtol=1e-6)
    assert caption == "Integrated Absorbance 100 .. 300 over the 5 planes read"
    for at, problem in [("340:400", "fewer than two of the planes"), ("380", "does not hold")]:
        with pytest.raises(ValueError, match=problem):
            map_picture(planes, at)
    from vesk_writer import VeskFile, param_block
    empty = VeskFile()  # its values would come last: the file ends before them
    empty.add(param_block({"NPT": 4, "FXV": 1.0, "LXV": 4.0, "MXY": 0.0, "MNY": 0.0}),
              data_type=4, sample_type=3, param_type=1)
    empty.add(b"", data_type=4, sample_type=3)
    with pytest.warns(vesk.VeskWarning), pytest.raises(ValueError, match="NONE holds no values"):
        read_built(tmp_path, empty).band_area(1, 4)


@pytest.mark.parametrize("at, told", [  # planes 64 apart, at 1e9 and on
    (None, "Integrated Absorbance 1e+09 .. 1.0000003e+09"),
    ("1000000010:1000000200", "Absorbance band area 1.0000001e+09 .. 1.0000002e+09"),
    ("1000000130", "Absorbance at 1.00000013e+09"),
    ("2e9", "--at 2e9 is outside the x range 1e+09 .. 1.0000003e+09")])
def test_ranges_far_from_zero_tell_their_ends_apart(tmp_path, at, told):
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    path = file_3d(store_block([stored_block([1.0, 2.0, 4.0, 3.0, 1.0])] * 2, block_size=20),
                   {**BASE_3D, "NPT": 5, "FXV": 1e9, "LXV": 1e9 + 256, "NPX": 2, "NPY": 1,
                    "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0}).write(
        str(tmp_path / "far.vesk"))
    data = vesk.read(path)
    if at == "2e9":
        for outside in (lambda: map_picture(data, at), lambda: data.band_area(2e9, 3e9)):
            with pytest.raises(ValueError, match=re.escape(told[-26:])):
                outside()
    else:
        assert map_picture(data, at)[-1] == told


def read_built(tmp_path, vf):
    return vesk.read(vf.write(str(tmp_path / "built.vesk")))


def test_trace_map_chosen_by_name():
    data = vesk.read(SAMPLES["mapping"], "TRC/3D/NONE")
    name = str(data.coords[data.dims[-1]][1][2])
    picture, _, _, _, caption = map_picture(data, name)
    assert caption == name
    np.testing.assert_array_equal(picture, data.values[:, :, 2])


@pytest.mark.parametrize("name, key", [("sample", "AB/2D/NONE"), ("sample", "AB/3D/NONE"),
                                       ("mapping", "TRC/3D/NONE"), ("kinetics", "AB/3D/NONE"),
                                       ("regions", "AB/3D/NONE"), ("regions", "TRC/3D/NONE")])
@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".svg", b"<?xml")])
def test_plot_writes_picture(capsys, tmp_path, plotting, name, key, suffix, magic):
    out = str(tmp_path / ("p" + suffix))
    code, stdout, err = run(capsys, "plot", SAMPLES[name], key, "-o", out)
    assert (code, stdout.strip(), err) == (0, out, "")
    with open(out, "rb") as f:
        assert f.read(5).startswith(magic)
    assert os.listdir(str(tmp_path)) == ["p" + suffix]



@pytest.mark.parametrize("rows", [3, 40])
@pytest.mark.parametrize("traces", [False, True])
def test_series_draws_every_row_told_apart(plotting, tmp_path, rows, traces):
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    path = tmp_path / "s.vesk"
    times = 2.5 * np.arange(rows) + 1
    blocks = [stored_block([k + p / 10 for p in range(5)], time=None if traces else times[k],
                           name="_r%d" % k if traces else None) for k in range(rows)]
    path.write_bytes(file_3d(store_block(blocks, block_size=20),
                             {**BASE_3D, "NPT": 5, "ZTX": "Time (s)"},
                             data_type=7 if traces else 4).build())
    data = vesk.read(path, "TRC" if traces else "AB")
    fig = plotting.draw(data, "t")
    ax = fig.axes[0]
    if rows == 3:
        drawn = [ln.get_ydata() for ln in ax.lines]
        assert [t.get_text() for t in ax.get_legend().get_texts()] == (
            ["_r%d" % k for k in range(rows)] if traces else ["time %s s" % t for t in times])
    else:
        drawn = [p[:, 1] for p in ax.collections[0].get_segments()]
        np.testing.assert_array_equal(ax.collections[0].get_array(),
                                      np.arange(rows) if traces else times)
        assert fig.axes[1].get_ylabel() == ("Trace number" if traces else "Time (s)")
    np.testing.assert_array_equal(drawn, data.values)
    assert ax.get_ylim()[0] <= data.values.min() and ax.get_ylim()[1] >= data.values.max()


@pytest.mark.parametrize("spoilt", ["nan", "inf", "all equal"])
def test_series_times_that_cannot_colour_give_row_numbers(plotting, tmp_path, spoilt):
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    times = [0.0] * 20 if spoilt == "all equal" else [float(spoilt)] + list(range(1, 20))
    blocks = [stored_block([k] * 5, time=t) for k, t in enumerate(times)]
    path = tmp_path / "s.vesk"
    path.write_bytes(file_3d(store_block(blocks, block_size=20), {**BASE_3D, "NPT": 5}).build())
    fig = plotting.draw(vesk.read(path, "AB"), "t")
    np.testing.assert_array_equal(fig.axes[0].collections[0].get_array(), np.arange(20))
    assert fig.axes[1].get_ylabel() == "Time number"


@pytest.mark.parametrize("kind, row", [("image traces", "2 x 3 x 2  2 traces"),
                                      ("multiregion traces", "3 x 2  2 traces")])
def test_trace_maps_list_their_traces_not_an_x_axis(capsys, tmp_path, kind, row):
    from vesk_kinds import KINDS
    path = KINDS[kind]()[0].write(str(tmp_path / "t.vesk"))
    code, out, _ = run(capsys, "ls", path)
    assert code == 0 and out.split(kind)[1].strip() == row


def test_map_axes_carry_the_map_units(plotting, tmp_path):
    from vesk_kinds import MAP, _spectra
    from writer_3d import BASE_3D, file_3d
    path = file_3d(_spectra(6), {**BASE_3D, **MAP, "MUN": "um"}).write(str(tmp_path / "m.vesk"))
    ax = plotting.draw(vesk.read(path, "AB"), "t").axes[0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Map x (um)", "Map y (um)")


@pytest.mark.parametrize("kind, at", [("spectrum", "200"), ("time-resolved series", "200"),
                                      ("time-resolved traces", "one"), ("image map", "200"),
                                      ("image traces", "b"), ("multiregion map", "200"),
                                      ("multiregion traces", "q")])
def test_at_for_maps_and_series(capsys, tmp_path, plotting, kind, at):
    from vesk_kinds import KINDS
    writer, key = KINDS[kind]()
    path = writer.write(str(tmp_path / "k.vesk"))
    code, _, err = run(capsys, "plot", path, "/".join(key), "--at", at, "-o", tmp_path / "p.png")
    if kind == "spectrum":
        assert code == 1 and "--at" in err and "is a %s" % kind in err
    else:  # a warning of the region point the file stores no spectrum for
        assert code == 0 and "--at" not in err


@pytest.mark.parametrize("times", [None, (1e308, -1e308, 0.0)])  # none stored, or no span
def test_series_without_times_is_drawn_against_spectrum_numbers(plotting, tmp_path, times):
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    blocks = [stored_block([k, 1.0, 2.0, 3.0], time=times and times[k]) for k in range(3)]
    path = file_3d(store_block(blocks, block_size=16), dict(BASE_3D)).write(str(tmp_path / "s"))
    fig = plotting.draw(vesk.read(path), "t", "100")
    fig.savefig(tmp_path / "p.png")
    ax = fig.axes[0]
    assert ax.lines[0].get_xdata().tolist() == [0, 1, 2] and ax.get_xlabel() == "Time number"


@pytest.mark.parametrize("key, at", [("AB", "1650:1550"), ("AB", "1601"), ("TRC", "1")])
def test_series_at_a_band_or_trace_is_drawn_against_time(plotting, key, at):
    data = vesk.read(SAMPLES["kinetics"], key)
    (line,) = plotting.draw(data, "t", at).axes[0].lines
    if key == "TRC":
        expected, time = data.values[1], data.x
    elif ":" in at:
        expected, time = data.band_area(1650, 1550), data.time
    else:
        expected, time = data.values[:, np.argmin(abs(data.x - 1601))], data.time
    np.testing.assert_allclose(line.get_ydata(), expected)
    np.testing.assert_array_equal(line.get_xdata(), time)


@pytest.mark.parametrize("key, at", [("AB", None), ("AB", "2900"), ("TRC", "Baseline 3100")])
def test_multiregion_panels_place_each_point(plotting, key, at):
    data = vesk.read(SAMPLES["regions"], key)
    if key == "TRC":
        expected = [r.values[:, data.labels.index(at)] for r in data.regions]
    elif at is None:
        integrate = getattr(np, "trapezoid", None) or np.trapz
        expected = [integrate(r.values.astype(np.float64)[:, ::-1], data.x[::-1])
                    for r in data.regions]
    else:
        expected = [r.values[:, np.argmin(abs(data.x - float(at)))] for r in data.regions]
    fig = plotting.draw(data, "t", at)
    panels, bar = fig.axes[:-1], fig.axes[-1]
    assert [ax.get_title() for ax in panels] == [r.title for r in data.regions]
    for ax, region, values in zip(panels, data.regions, expected):
        for mx, my, v in zip(region.map_x, region.map_y, values):
            if ax.images:  # a grid: the pixel that covers the point
                image = ax.images[0]
                x0, x1, y0, y1 = image.get_extent()
                picture = image.get_array()
                row = int((my - y0) / (y1 - y0) * picture.shape[0])
                col = int((mx - x0) / (x1 - x0) * picture.shape[1])
                assert picture[row, col] == pytest.approx(v, rel=1e-9)
            else:
                dots = ax.collections[0]
                k = [tuple(o) for o in dots.get_offsets()].index((mx, my))
                assert dots.get_array()[k] == pytest.approx(v, rel=1e-9)
    everything = np.concatenate(expected)
    assert bar.get_ylim() == pytest.approx((everything.min(), everything.max()))


def test_regions_past_the_panel_limit_share_one_panel(plotting, monkeypatch):
    from vesk._cli import map_pictures
    monkeypatch.setattr(map_pictures, "MAX_PANELS", 1)
    data = vesk.read(SAMPLES["regions"], "AB")
    fig = plotting.draw(data, "t", "2900")
    (panel, _bar) = fig.axes
    k = np.argmin(abs(data.x - 2900))
    dots = panel.collections[0]
    assert "(%d regions)" % len(data.regions) in panel.get_title()
    np.testing.assert_array_equal(dots.get_offsets(), np.column_stack(
        [np.concatenate([r.map_x for r in data.regions]),
         np.concatenate([r.map_y for r in data.regions])]))
    np.testing.assert_array_equal(dots.get_array(), data.values[:, k])


def _map_with_nan_axis():
    from vesk_kinds import MAP
    from writer_3d import BASE_3D, file_3d, store_block, stored_block
    data = store_block([stored_block([1.0] * 4)] * 2, block_size=16)
    return file_3d(data, {**BASE_3D, **MAP, "NPX": 2, "NPY": 1, "LXV": float("nan")})


def _traces_map():
    from vesk_kinds import KINDS
    return KINDS["image traces"]()[0]


@pytest.mark.parametrize("make, at, message", [
    (lambda: spectrum_file([]), None, "AB/2D/NONE has no values to draw"),
    (lambda: spectrum_file([1.0], {"FXV": 5.0, "LXV": 5.0}), None, None),
    (lambda: spectrum_file([1.0, 2.0], {"LXV": float("nan")}), None, "its x axis runs from"),
    (_map_with_nan_axis, "200", "its x axis runs from"),     # not taken for a map of traces
    (_traces_map, "\u00b2", "has no trace \u00b2; it has a, b"),  # a digit int() refuses
])
def test_plot_of_awkward_blocks(capsys, tmp_path, plotting, make, at, message):
    path = make().write(str(tmp_path / "f.vesk"))
    code, _, err = run(capsys, "plot", path, "-o", tmp_path / "p.png",
                       *(["--at", at] if at else []))
    if message is None:
        assert (code, err) == (0, "")
    else:
        assert code == 1 and message in err and not os.path.exists(tmp_path / "p.png")


@pytest.mark.parametrize("npx, npy, npt", [
    (3000, 3000, 16),
    (8000, 4000, 1),  # a value a point, scanned within the bound: drawn, it took 2.3 GB
])
def test_plot_of_a_map_the_file_cannot_back_is_refused(capsys, tmp_path, plotting, npx, npy,
                                                        npt):
    from hostile_files import aborted_image_map
    path = tmp_path / "big.vesk"
    path.write_bytes(aborted_image_map(npx=npx, npy=npy, npt=npt)[0])
    code, out, err = run(capsys, "plot", path, "AB", "-o", tmp_path / "p.png")
    assert (code, out) == (1, "") and "not drawn" in err
    assert "declares %d values" % (npx * npy * npt) in err
    assert os.listdir(tmp_path) == ["big.vesk"]


def test_plot_of_a_large_map_measured_in_a_few_points(capsys, tmp_path, plotting):
    from hostile_files import aborted_image_map
    path = tmp_path / "big.vesk"
    # Measured in 3 points of 90,000, too large for NaN: drawn, the others blank.
    path.write_bytes(aborted_image_map(npx=300, npy=300, npt=256)[0])
    code, out, err = run(capsys, "plot", path, "AB", "-o", tmp_path / "p.png")
    assert code == 0 and "read as 0" in err
    with pytest.warns(vesk.VeskWarning):
        data = vesk.read(path, "AB")
    picture = map_picture(data, None)[0]
    assert data.block.fill == 0 and np.isfinite(picture).sum() == 3


def test_plot_of_a_file_named_with_dollars(capsys, tmp_path, plotting):
    # matplotlib would parse "$\\frac$" as mathematics and fail
    path = tmp_path / "a$\\frac$b.vesk"
    path.write_bytes(open(SAMPLE, "rb").read())
    code, out, err = run(capsys, "plot", path, "AB/2D/NONE", "-o", tmp_path / "p.png")
    assert (code, err) == (0, "") and os.path.getsize(tmp_path / "p.png") > 0

def test_plot_without_matplotlib_names_the_extra(capsys, tmp_path, monkeypatch):
    for name in list(sys.modules):
        if name == "matplotlib" or name.startswith("matplotlib."):
            monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    code, _, err = run(capsys, "plot", SAMPLE, "AB/2D/NONE", "-o", tmp_path / "p.png")
    assert code == 1 and "pip install 'veskread[plot]'" in err


# -- progress and the installed command ----------------------------------------

class Terminal:
    def __init__(self):
        self.text = ""

    def write(self, s):
        self.text += s

    def flush(self):
        pass

    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal(capsys):
    term = Terminal()
    bar = Progress(4, term)
    bar.step("a.vesk")
    assert term.text.startswith("\r[") and "1/4 a.vesk" in term.text
    bar.clear()
    assert term.text.endswith("\r") and not bar.shown
    bar.step("b\x1b]0;title\x07.vesk")  # a file's name
    assert "2/4 b\\x1b]0;title\\x07.vesk" in term.text
    quiet = Progress(4, sys.stderr)         # captured: not a terminal
    quiet.step("a.vesk")
    quiet.clear()
    assert capsys.readouterr().err == ""


def test_runs_as_a_module():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-m", "vesk", "ls", SAMPLE], capture_output=True,
                          text=True, env=env)
    assert proc.returncode == 0 and proc.stdout.startswith("AB/2D/NONE")


@pytest.mark.parametrize("argv, message", [
    (["export", SAMPLE, "-f", "csv", "-o", "{file}"], "{file}: Not a directory"),
    (["images", SAMPLE, "-o", "{link}"], "{link}: a link to nowhere, which does not exist"),
    (["images", SAMPLE, "-o", "{file_link}"], "{file_link}: Not a directory"),
    (["plot", SAMPLE, "AB/2D/NONE", "-o", "{folder}", "--force"], "{folder}: Is a directory"),
    pytest.param(["plot", SAMPLE, "AB/2D/NONE", "-o", "{file}/s.png"], "{file}: Not a directory",
                 marks=NEEDS_MATPLOTLIB),
    # one output whether one file is drawn or several: named alike
    (["plot", SAMPLE, "SSC", "-o", "{picture}"], "{picture} exists (use --force to overwrite)"),
    pytest.param(["plot", SAMPLE, SAMPLE, "-b", "SSC", "-o", "{picture}"],
                 "{picture} exists (use --force to overwrite)", marks=NEEDS_MATPLOTLIB),
])
def test_outputs_that_cannot_be_written_are_named_as_given(capsys, tmp_path, argv, message):
    names = {"file": str(tmp_path / "f"), "folder": str(tmp_path / "d.png"),
             "link": str(tmp_path / "l"), "file_link": str(tmp_path / "fl"),
             "picture": str(tmp_path / "p.png")}
    (tmp_path / "f").write_bytes(b"")
    (tmp_path / "p.png").write_bytes(b"")
    (tmp_path / "l").symlink_to("nowhere")
    (tmp_path / "fl").symlink_to("f")
    (tmp_path / "d.png").mkdir()
    code, _, err = run(capsys, *[a.format(**names) for a in argv])
    assert code == 1 and err.strip() == "vesk: " + message.format(**names)


@NEEDS_MATPLOTLIB
def test_plot_makes_its_folder(capsys, tmp_path):
    out = str(tmp_path / "new" / "s.png")
    assert run(capsys, "plot", SAMPLE, "AB/2D/NONE", "-o", out)[:2] == (0, out + "\n")


@pytest.mark.parametrize("command", [["export", "-f", "npy"], ["images"]])
def test_inputs_of_one_stem_keep_their_outputs_apart(capsys, tmp_path, command):
    # Names are kept whole but for .vesk (run.0, s.dat beside s.vesk); a/x.vesk
    # and b/x.vesk, named as a shell's glob names them, keep their folders;
    # c/y.vesk and the y.vesk of folder d would still meet.
    paths = [tmp_path / "run.0", tmp_path / "run.1", tmp_path / "s.VESK", tmp_path / "s.dat",
             tmp_path / "a" / "x.vesk", tmp_path / "b" / "x.vesk", tmp_path / "c" / "y.vesk",
             tmp_path / "d" / "y.vesk"]
    for p in paths:
        p.parent.mkdir(exist_ok=True)
        shutil.copy(SAMPLE, p)
    out_dir = tmp_path / "out"
    code, out, err = run(capsys, command[0], *map(str, paths[:7]), tmp_path / "d",
                         *command[1:], "-o", str(out_dir))
    names = {os.path.relpath(line, out_dir).split("_")[0] for line in out.splitlines()}
    assert code == 1 and names == {"run.0", "run.1", "s", "s.dat", "a/x", "b/x", "y"}
    assert "%s: its outputs would have the names of those of %s" % (paths[7], paths[6]) in err


def test_output_closed_early_ends_quietly():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-m", "vesk", "params", SAMPLE, "AB/2D/NONE"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    proc.stdout.close()  # as `| head` does once it has its lines
    err = proc.stderr.read()
    assert (proc.wait(), err) == (141, b"")


def run_with_streams(argv, stdout, stderr, cwd=None):
    """`vesk argv` in a process whose standard output and error are the
    paths given, or closed where None."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    streams = {1: stdout, 2: stderr}

    def arrange():
        for fd, path in streams.items():
            if path is None:
                os.close(fd)
            else:
                os.dup2(os.open(path, os.O_WRONLY), fd)
    proc = subprocess.run([sys.executable, "-m", "vesk"] + argv, preexec_fn=arrange, env=env,
                          cwd=cwd)
    return proc.returncode


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("argv, stdout, said, summary", [
    (["ls", SAMPLE], None, "Bad file descriptor", None),
    (["ls", "--json", SAMPLE], None, "Bad file descriptor", None),
    (["ls", SAMPLE], "/dev/full", "No space left on device", None),
    (["export", "-f", "csv", SAMPLE], None, "Bad file descriptor", "exported 4 blocks"),
    (["images", SAMPLE], "/dev/full", "No space left on device", None),
])
def test_data_that_standard_output_cannot_take_fails_the_command(tmp_path, argv, stdout, said,
                                                                  summary):
    err = tmp_path / "err"
    err.touch()
    code = run_with_streams(argv, stdout, str(err), cwd=tmp_path)
    text = err.read_text()
    assert code == 1 and "vesk: standard output: %s" % said in text, text
    assert "Traceback" not in text and (summary is None or summary in text)


def test_messages_stay_off_standard_output_where_standard_error_is_closed(tmp_path):
    out = tmp_path / "out"
    out.touch()
    code = run_with_streams(["ls", "--json", SAMPLE, str(tmp_path / "missing.vesk")], str(out),
                            None)
    assert code == 1 and [r["error"] is None for r in json.loads(out.read_text())] == [True, False]
    # what the command writes does not take descriptor 2 either, nor need it
    listed = tmp_path / "listed"
    listed.touch()
    # (netCDF's library prints to descriptor 2 itself, where it is installed)
    fmt = "netcdf" if netcdf.missing() is None else "npy"
    code = run_with_streams(["export", "-f", fmt, "-o", str(tmp_path / "nc"), SAMPLE],
                            str(listed), None)
    assert code == 0 and len(listed.read_text().splitlines()) == 4


# Every output's move into place starts a wait that only ending the command
# ends; a worker's main thread cannot take a signal meanwhile, as in a long
# read or write, or where the signal lands in another of its threads.
SLOW_MOVES = """
import multiprocessing, os, signal, time
free = [int(os.environ.get("VESK_TEST_FREE_MOVES", "0"))]  # of each process, before the wait
def slowly(move):
    def moved(*a, **kw):
        free[0] -= 1
        if free[0] >= 0:
            return move(*a, **kw)
        with open(os.environ["VESK_TEST_MOVING"], "a") as moving:
            moving.write("%d\\n" % os.getpid())
        if multiprocessing.parent_process() is not None:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        time.sleep(3600)
        return move(*a, **kw)
    return moved
os.replace, os.link = slowly(os.replace), slowly(os.link)
if multiprocessing.parent_process() is None:  # Ctrl-C as a terminal's command takes it,
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
"""


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("how", ["SIGTERM to the command", "SIGINT to its group"])
def test_stopped_export_ends_at_once_with_its_workers_and_no_part_files(tmp_path, jobs, how):
    import signal
    import time
    slow = tmp_path / "slow"
    slow.mkdir()
    (slow / "sitecustomize.py").write_text(SLOW_MOVES)
    data = tmp_path / "data"
    data.mkdir()
    for k in range(4):
        shutil.copy(SAMPLE, data / ("m.%d" % k))
    moving = tmp_path / "moving"
    env = dict(os.environ, VESK_TEST_MOVING=str(moving),
               PYTHONPATH=os.pathsep.join([str(slow)] + [p for p in sys.path if p]))
    proc = subprocess.Popen([sys.executable, "-m", "vesk", "export", str(data), "-f", "csv",
                             "-o", str(tmp_path / "out"), "-j", jobs], start_new_session=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        # the first write under way, its writer named
        while not (moving.exists() and moving.read_text().endswith("\n")) and proc.poll() is None:
            time.sleep(0.02)
        if how.startswith("SIGINT"):
            os.killpg(proc.pid, signal.SIGINT)  # Ctrl-C, as a terminal sends it
        else:
            proc.terminate()
        # Pipes close only once every worker has ended too; had the command
        # waited for the writes under way, it would wait an hour.
        _, err = proc.communicate(timeout=60)
    finally:
        with contextlib.suppress(ProcessLookupError):  # a worker left behind
            os.killpg(proc.pid, signal.SIGKILL)
    status, said = (130, b"vesk: interrupted") if how.startswith("SIGINT") else (
        143, b"vesk: terminated")
    assert proc.returncode == status and err.splitlines()[-1] == said, err
    assert os.listdir(tmp_path / "out") == []  # nothing finished, nothing half-written



@pytest.mark.parametrize("jobs", ["1", "2"])
def test_part_files_of_a_killed_export_are_removed_by_the_next(capsys, tmp_path, jobs):
    import signal
    import time
    from vesk.export import atomic
    if atomic._writer() is None:
        pytest.skip("no /proc of this pid namespace: part files are never taken for stale")
    (tmp_path / "slow").mkdir()
    (tmp_path / "slow" / "sitecustomize.py").write_text(SLOW_MOVES)
    moving, out = tmp_path / "moving", tmp_path / "out"
    env = dict(os.environ, VESK_TEST_MOVING=str(moving),
               PYTHONPATH=os.pathsep.join([str(tmp_path / "slow")] + [p for p in sys.path if p]))
    proc = subprocess.Popen([sys.executable, "-m", "vesk", "export", SAMPLE, "-f", "csv",
                             "-o", str(out), "-j", jobs], start_new_session=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        while not (moving.exists() and moving.read_text().endswith("\n")) and proc.poll() is None:
            time.sleep(0.02)
    finally:
        os.killpg(proc.pid, signal.SIGKILL)  # as the system ends a run out of memory
        proc.wait()
    left = [name for name in os.listdir(out) if name.endswith(".part")]
    assert len(left) == 1
    code = main(["export", SAMPLE, "-f", "csv", "-o", str(out), "--skip-existing"])
    err = capsys.readouterr().err
    assert code == 0 and all(name.endswith(".csv") for name in os.listdir(out)), err
    assert "vesk: warning: removed %s, left unfinished" % (out / left[0]) in err


def interrupted_in_workers(capsys, tmp_path, monkeypatch, *options, files=4, free=0,
                           site=None, waiting=2):
    """Runs export --jobs 2 in this process till `waiting` workers wait, each in
    its move number `free` + 1 (or as `site` has them); interrupts it: its
    output and errors, and the waiting workers' pids."""
    import signal
    import threading
    (tmp_path / "slow").mkdir()
    (tmp_path / "slow" / "sitecustomize.py").write_text(site or SLOW_MOVES)  # in the workers
    inputs = [str(tmp_path / ("m.%d" % k)) for k in range(files)]
    for path in inputs:
        shutil.copy(SAMPLE, path)
    moving = tmp_path / "moving"
    monkeypatch.setenv("VESK_TEST_MOVING", str(moving))
    monkeypatch.setenv("VESK_TEST_FREE_MOVES", str(free))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(tmp_path / "slow")] + sys.path))

    def interrupt():
        while not (moving.exists() and len(moving.read_text().split("\n")) > waiting):
            threading.Event().wait(0.05)
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    # Ctrl-C taken even where the suite started ignoring it (a background job)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        code, out, err = run(capsys, "export", *inputs, "-f", "csv", "-o", tmp_path / "out",
                             "-j", "2", *options)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert code == 130
    return inputs, out, err, [int(pid) for pid in moving.read_text().split()]


def test_a_program_interrupted_in_export_is_left_no_worker(capsys, tmp_path, monkeypatch):
    *_, workers = interrupted_in_workers(capsys, tmp_path, monkeypatch)
    # ended and waited for, not left running, nor as zombies, to the program
    assert not [pid for pid in workers if os.path.exists("/proc/%d" % pid)]


def test_json_of_an_interrupted_export_tells_every_input_and_output(capsys, tmp_path,
                                                                     monkeypatch):
    inputs, out, err, _ = interrupted_in_workers(capsys, tmp_path, monkeypatch, "--json",
                                                 files=6, free=1)
    records = [json.loads(line) for line in out.splitlines()]
    assert sorted(r["file"] for r in records) == inputs
    # each worker wrote one output of its file, then was stopped in the next
    written = [p for r in records for p in r["written"]]
    assert len(written) == 2 and sorted(written) == sorted(
        str(p) for p in (tmp_path / "out").iterdir())
    assert {r["status"] for r in records if r["written"]} == {"stopped"}
    # those queued in a worker, stopped before they began, wrote nothing
    assert "exported 2 blocks from 2 files to " in err
    assert records[-1] == {"file": inputs[-1], "status": "not tried", "written": [], "kept": [],
                           "skipped": [], "failed": [], "failures": [], "warnings": []}


# Each worker of the first pool dies once both have written their file; the
# file that goes again alone then waits
WRITTEN_THEN_DYING = """
import os, signal, time, vesk._cli.exporting as exporting
export_file, moving = exporting.export_file, os.environ["VESK_TEST_MOVING"]
def dying(job):
    if job.ours_since is not None:
        with open(moving, "a") as f:
            f.write("%d\\n" % os.getpid())
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        time.sleep(3600)
    export_file(job)
    with open(moving + ".done", "a") as f:
        f.write("done\\n")
    while len(open(moving + ".done").readlines()) < 2:
        time.sleep(0.02)
    os._exit(9)
exporting.export_file = dying
"""


def test_json_of_an_export_interrupted_after_a_worker_died_tells_what_it_wrote(
        capsys, tmp_path, monkeypatch):
    # the file waiting to go again was under way once: what it wrote then is told
    _, out, _, _ = interrupted_in_workers(capsys, tmp_path, monkeypatch, "--json", files=2,
                                          site=WRITTEN_THEN_DYING, waiting=1)
    records = [json.loads(line) for line in out.splitlines()]
    assert [r["status"] for r in records] == ["stopped"] * 2
    assert sorted(p for r in records for p in r["written"]) == sorted(
        str(p) for p in (tmp_path / "out").iterdir())


# Ctrl-C as the command's modules load, which a terminal's command takes even where
# it started ignoring it (a background job)
CTRL_C_AS_IT_LOADS = """
import os, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
class CtrlC:
    def find_spec(self, name, *args):
        if name == "vesk._cli.listing":
            os.kill(os.getpid(), signal.SIGINT)
sys.meta_path.insert(0, CtrlC())
"""


def test_ctrl_c_as_the_command_starts_ends_it_quietly(tmp_path):
    (tmp_path / "sitecustomize.py").write_text(CTRL_C_AS_IT_LOADS)
    done = subprocess.run([sys.executable, "-m", "vesk", "ls", SAMPLE], capture_output=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                              [str(tmp_path)] + [p for p in sys.path if p])), timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (130, b"", b"vesk: interrupted\n")


def test_export_jobs_short_of_descriptors_for_workers_exports_as_one_job_does(tmp_path):
    import resource
    for k in range(3):
        shutil.copy(SAMPLE, tmp_path / ("m.%d" % k))

    def export(limit, *options):
        out = tmp_path / ("out%d%s" % (limit, "".join(options)))
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        return subprocess.run(
            [sys.executable, "-m", "vesk", "export", *map(str, tmp_path.glob("m.*")), "-f",
             "csv", "-o", str(out), *options], capture_output=True,
            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard)))
    # the fewest descriptors an export in one process needs: too few for workers
    limit = next(n for n in range(4, 64) if export(n).returncode == 0)
    done = export(limit, "-j", "2")
    assert done.returncode == 0 and b"cannot start worker processes" in done.stderr, done.stderr
    assert len(done.stdout.splitlines()) == 12


def test_params_of_a_file_cut_inside_its_values(capsys, tmp_path):
    with open(SAMPLE, "rb") as f:
        data = f.read()
    path = tmp_path / "cut.vesk"
    with vesk.open(SAMPLE) as f:
        block = f.block("AB/3D/NONE")
    path.write_bytes(data[:block.offset + 200])
    expected = block.parameters
    code, out, _ = run(capsys, "params", str(path), "AB/3D/NONE")
    assert code == 0 and [line.split()[0] for line in out.splitlines()] == list(expected)


@pytest.mark.parametrize("missing, shown", [("MXY", True), ("NPT", True), (None, False)])
def test_params_of_a_block_that_cannot_be_read(capsys, tmp_path, missing, shown):
    from vesk_writer import param_block
    vf = spectrum_file([1.0, 2.0])
    params = {"NPT": 2, "FXV": 1.0, "LXV": 2.0, "MXY": 2.0, "MNY": 1.0}
    params.pop(missing, None)
    # None: the parameter block itself is cut, so there is nothing to show
    vf.blocks[1]["payload"] = param_block(params) if missing else b"NPT\x00"
    path = vf.write(str(tmp_path / "p.vesk"))
    code, out, err = run(capsys, "params", path, "AB")
    assert code == (0 if shown else 1)
    assert [line.split()[0] for line in out.splitlines()] == [k for k in params if shown]
    assert ("AB/2D/NONE cannot be read: missing entry '%s'" % missing in err) == shown


def test_control_characters_of_a_file_do_not_reach_the_terminal(capsys, tmp_path):
    # \u202e: a terminal that lays out right-to-left text shows what follows reversed
    name = "a\x1b]0;title\x07\x9bb\nc\u202ed"
    path = spectrum_file([1.0, 2.0], {"SNM": name}).write(str(tmp_path / "esc.vesk"))
    code, out, _ = run(capsys, "params", path, "AB")
    assert code == 0 and "SNM" in out and "a\\x1b]0;title\\x07\\x9bb\\nc\\u202ed" in out
    code, text, _ = run(capsys, "params", "--json", path, "AB")  # exact for machines
    assert json.loads(text)["parameters"]["SNM"]["value"] == name
    assert not any(c in (out + text).replace("\n", "") for c in "\x1b\x07\x9b\u202e")


def test_numpy_warnings_are_one_line_each(capsys, tmp_path):
    path = spectrum_file([1.0, 2.0, 3.0], {"LXV": float("inf")}).write(str(tmp_path / "i.vesk"))
    with warnings.catch_warnings():
        warnings.simplefilter("always")  # whatever an earlier test has warned
        code, _, err = run(capsys, "export", path, "-f", "npy", "-o", tmp_path)
    lines = err.splitlines()
    assert code == 0 and "vesk: warning: invalid value encountered in multiply" in lines
    assert all(line.startswith(("vesk: warning: ", "exported ")) for line in lines)


def test_json_of_a_damaged_file_stays_strict(capsys, tmp_path):
    path = spectrum_file([1.0, 2.0], {"LXV": float("nan"), "XYZ": float("-inf")}).write(
        str(tmp_path / "n.vesk"))
    strict = dict(parse_constant=lambda c: pytest.fail("not strict JSON: " + c))
    code, out, _ = run(capsys, "ls", "--json", path)
    assert code == 0 and json.loads(out, **strict)[0]["blocks"][0]["x_range"] == [4000.0, None]
    with vesk.open(path) as f:  # what a service stores of a block: the same record
        assert json.loads(json.dumps(f.blocks[0].to_dict(), allow_nan=False)) == \
            json.loads(out)[0]["blocks"][0]
    code, out, _ = run(capsys, "params", "--json", path, "AB")
    values = {k: v["value"] for k, v in json.loads(out, **strict)["parameters"].items()}
    assert (values["LXV"], values["XYZ"], values["FXV"]) == (None, None, 4000.0)
    code, out, _ = run(capsys, "export", "-f", "npy", "-o", tmp_path / "o", path)
    with np.load(out.strip()) as z:  # the parameters' JSON in an archive too
        values = json.loads(str(z["parameters"]), **strict)
    assert (values["LXV"], values["XYZ"], values["FXV"]) == (None, None, 4000.0)


@pytest.mark.parametrize("ascii_only", [False, True])
@pytest.mark.parametrize("value", [
    {}, [], [[]], {"a": {}, "b": [], "c": [{}]}, "text", 7, None,
    [1, -0.0, 1e16, 2.5e-300, float("nan"), float("-inf"), True, False, None],
    {"é\u2028\x00\"\\": ["\ud800", ("tuple", 1)], "k": {"deeper": [{"x": "ü"}]}},
    {"a": [1, {"b": b"bytes", 3: "key not text"}]},  # json.dumps's own way: str, "3"
])
def test_json_text_is_what_json_writes(value, ascii_only):
    from vesk._cli.json_text import dumps
    from vesk._text import REORDERING, json_strict
    expected = json.dumps(json_strict(value), indent=2, ensure_ascii=ascii_only,
                          allow_nan=False, default=str)
    if not ascii_only:  # as the terminal's escaping has them
        expected = re.sub("[\ud800-\udfff\x7f-\x9f%s]" % REORDERING,
                          lambda m: "\\u%04x" % ord(m.group()), expected)
    assert dumps(value, ascii_only=ascii_only) == expected


# -- folders as inputs ----------------------------------------------------------

@pytest.fixture
def tree(tmp_path):
    """A folder of measurements: one name in two subfolders, numbered series,
    a file that is not VESK, an empty folder and a link back to the top."""
    data = tmp_path / "data"
    names = ["run.2", "run.10", "sample1/map.0", "sample2/map.0", "sample2/map.1"]
    for name in names:
        (data / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(SAMPLE, data / name)
    (data / "sample2" / "notes.txt").write_text("not a measurement")
    (data / "empty").mkdir()
    (data / "sample1" / "up").symlink_to(data, target_is_directory=True)
    return data, names


def test_ls_of_a_folder_lists_its_files_in_order(capsys, tree):
    data, names = tree
    code, out, err = run(capsys, "ls", data)
    headings = [line[:-1] for line in out.splitlines() if line.endswith(":")]
    assert code == 0 and headings == [str(data / n) for n in names]
    assert err == "listed 20 blocks of 5 files: 15 spectra, 5 image maps\n"


@pytest.mark.parametrize("folder_first", [True, False])
def test_a_file_of_a_folder_named_again_is_listed_once(capsys, tmp_path, tree, folder_first):
    data, names = tree
    link = tmp_path / "latest.vesk"
    link.symlink_to(data / "run.10")
    files = [data / "run.2", link]
    code, out, err = run(capsys, "ls", *([data] + files if folder_first else files + [data]))
    headings = [line[:-1] for line in out.splitlines() if line.endswith(":")]
    first = str(data / "run.10") if folder_first else str(link)
    assert code == 0 and sorted(headings) == sorted(
        [str(data / n) for n in names if n != "run.10"] + [first])
    assert "the same file as %s; skipped" % first in err


@pytest.mark.parametrize("command, suffix", [(["export", "-f", "npy"], "_AB_2D_NONE.npz"),
                                             (["images"], "_image00.json")])
def test_a_folder_exports_as_a_mirrored_tree(capsys, tmp_path, tree, command, suffix):
    data, _ = tree
    out_dir = tmp_path / "out"
    code, out, err = run(capsys, *command, data, "-o", out_dir)
    made = sorted(os.path.relpath(os.path.join(d, f), out_dir)
                  for d, _, files in os.walk(out_dir) for f in files)
    assert code == 0 and "vesk:" not in err and sorted(out.split()) == [
        str(out_dir / m) for m in made]
    stems = ["run.10", "run.2", "sample1/map.0", "sample2/map.0", "sample2/map.1"]
    assert [m for m in made if m.endswith(suffix)] == [s + suffix for s in stems]


@pytest.mark.parametrize("days", [("day1", "day2"), ("a/day", "b/day")])
def test_several_folders_each_export_under_their_own_name(capsys, tmp_path, days):
    for day in days:
        (tmp_path / day).mkdir(parents=True)
        shutil.copy(SAMPLE, tmp_path / day / "run.0")
    code, out, err = run(capsys, "export", "-f", "npy", "-b", "AB/2D/NONE",
                         *(tmp_path / day for day in days), "-o", tmp_path / "out")
    assert code == 0 and "vesk:" not in err and out.split() == [
        str(tmp_path / "out" / day / "run.0_AB_2D_NONE.npz") for day in days]


def test_links_out_of_a_folder_are_not_followed(capsys, tmp_path):
    inside, elsewhere = tmp_path / "data", tmp_path / "elsewhere"
    for folder in (inside, elsewhere):
        folder.mkdir()
        shutil.copy(SAMPLE, folder / "run.0")
    (inside / "out").symlink_to(elsewhere, target_is_directory=True)
    code, out, err = run(capsys, "ls", inside)
    assert code == 0 and str(elsewhere) not in out and str(inside / "run.0") in out
    assert "vesk: warning: %s: links out of %s; not followed" % (inside / "out", inside) in err


@pytest.mark.parametrize("name, shown", [(b"caf\xe9.0", "caf\\udce9.0"),
                                         (b"a\x1b[31m.0", "a\\x1b[31m.0")])
def test_file_names_that_are_not_plain_text(capsys, tmp_path, monkeypatch, name, shown):
    folder = tmp_path / "data"
    folder.mkdir()
    shutil.copy(SAMPLE, os.path.join(os.fsencode(folder), name))
    strict_out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="strict")
    monkeypatch.setattr(sys, "stdout", strict_out)
    assert main(["ls", str(folder)]) == 0
    strict_out.flush()
    assert strict_out.buffer.getvalue().decode().startswith("%s/%s:" % (folder, shown))
    # For scripts, where stdout passes stray bytes (the C locale): JSON that is
    # UTF-8 and gives the name back, and the paths written exactly.
    script_out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="surrogateescape")
    monkeypatch.setattr(sys, "stdout", script_out)
    assert main(["ls", "--json", str(folder)]) == 0
    script_out.flush()
    listed = json.loads(script_out.buffer.getvalue().decode())[0]["file"]
    assert os.fsencode(listed) == os.path.join(os.fsencode(folder), name)
    start = len(script_out.buffer.getvalue())
    assert main(["export", str(folder), "-f", "npy", "-b", "AB/2D/NONE", "-o",
                 str(tmp_path / "npy")]) == 0
    written = script_out.buffer.getvalue()[start:]
    assert written.startswith(os.path.join(os.fsencode(tmp_path / "npy"), name))
    assert os.path.exists(written.rstrip(b"\n"))
    data = vesk.read(os.path.join(os.fsencode(folder), name), "AB/2D/NONE")
    assert "\x1b" not in repr(data) + data._repr_html_()
    if importlib.util.find_spec("netCDF4") and importlib.util.find_spec("xarray"):
        assert main(["export", str(folder), "-f", "netcdf", "-o", str(tmp_path / "o")]) == 0


@pytest.mark.parametrize("command", [["ls", "--json"], ["params", "--json", "NAME", "AB/2D/NONE"],
                                     ["export", "--json", "-f", "csv", "-o", "out"]])
def test_json_stays_json_where_stdout_cannot_hold_a_name(tmp_path, monkeypatch, command):
    # An output in ASCII (a Windows console's code page, PYTHONIOENCODING):
    # a name's é was written as \xe9, which no JSON reader takes.
    monkeypatch.chdir(tmp_path)
    name = "caf\u00e9.0"
    shutil.copy(SAMPLE, name)
    ascii_out = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
    monkeypatch.setattr(sys, "stdout", ascii_out)
    argv = [name if a == "NAME" else a for a in command]
    assert main(argv + [name] * ("NAME" not in command)) == 0
    ascii_out.flush()
    record = json.loads(ascii_out.buffer.getvalue().decode("ascii"))
    assert (record[0] if isinstance(record, list) else record)["file"] == name


def test_block_asked_of_a_folder_is_taken_from_the_files_that_hold_it(capsys, tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    shutil.copy(SAMPLE, data / "map.0")
    spectrum_file([1.0, 2.0]).write(str(data / "spectrum.0"))
    argv = ["export", "-b", "AB/3D/NONE", "-f", "npy", "-o", tmp_path / "out"]
    code, out, err = run(capsys, *argv, data)
    assert code == 0 and len(out.split()) == 1 and "skipped %s: no block" % (
        data / "spectrum.0") in err
    assert run(capsys, *argv, data / "spectrum.0")[0] == 1  # named: it should have it
    # map.0 has AB/2D/NONE and AB/3D/NONE: the short form is its failure, not a skip
    code, out, err = run(capsys, *argv[:2], "AB", *argv[3:], data)
    assert code == 1 and out.split() == [str(tmp_path / "out" / "spectrum.0_AB_2D_NONE.npz")]
    assert "vesk: %s: AB names 2 blocks" % (data / "map.0") in err and "skipped" not in err


def outputs(command, tmp_path):
    return [] if command[0] == "ls" else ["-o", tmp_path / "out"]


@pytest.mark.parametrize("command", [["ls"], ["export", "-f", "npy"], ["images"]])
@pytest.mark.parametrize("with_file", [False, True])
def test_a_folder_without_vesk_files_is_reported(capsys, tmp_path, command, with_file):
    empty = tmp_path / "empty"
    empty.mkdir()
    (empty / "notes.txt").write_text("not a measurement\n")  # passed over in silence
    inputs = [empty, SAMPLE] if with_file else [empty]
    code, _, err = run(capsys, *command, *inputs, *outputs(command, tmp_path))
    assert code == (0 if with_file else 1)
    assert (tmp_path / "out").exists() == (with_file and command != ["ls"])  # none for nothing
    assert err.startswith("vesk: warning: %s: holds no VESK files" % empty)
    assert "notes.txt" not in err
    assert ("\nlisted " in err) == (command == ["ls"] and with_file)  # no totals of nothing


@pytest.mark.parametrize("command", [["ls", "--json"], ["export", "-f", "npy"], ["images"]])
def test_a_folder_file_named_as_a_measurement_that_is_not_one_fails(capsys, tmp_path, command):
    runs = tmp_path / "runs"
    runs.mkdir()
    shutil.copy(SAMPLE, runs / "run.0")
    (runs / "run.1").write_bytes(b"")  # a run that crashed before writing
    code, out, err = run(capsys, *command, runs, *outputs(command, tmp_path))
    assert code == 1 and "vesk: %s: not a VESK file: it is empty (0 bytes)" % (
        runs / "run.1") in err
    if command[0] == "ls":
        assert [(r["file"], r["error"] is None) for r in json.loads(out)] == [
            (str(runs / "run.0"), True), (str(runs / "run.1"), False)]
    elif command[0] == "export":  # the rest is done
        assert "run.0_AB_2D_NONE.npz" in os.listdir(tmp_path / "out")


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_what_is_named_as_a_measurement_but_no_file_is_told_of(capsys, tmp_path):
    runs = tmp_path / "runs"
    runs.mkdir()
    shutil.copy(SAMPLE, runs / "run.0")
    os.mkfifo(runs / "run.1")  # reading it would wait for a writer
    os.symlink(tmp_path / "gone.vesk", runs / "run.2")
    code, out, err = run(capsys, "ls", runs)
    assert code == 0 and out.startswith("%s:" % (runs / "run.0"))
    assert "vesk: warning: %s: not a regular file; skipped" % (runs / "run.1") in err
    assert "vesk: warning: %s: a broken link; skipped" % (runs / "run.2") in err
    # a file of the system that says 0 bytes but has more is not called empty
    if os.path.exists("/proc/self/status"):
        assert run(capsys, "ls", "/proc/self/status")[2] == \
            "vesk: /proc/self/status: not a VESK file\n"


@pytest.mark.parametrize("command", [["ls"], ["export", "-f", "npy"], ["images"]])
def test_an_unreadable_subfolder_is_reported_and_the_rest_done(capsys, tmp_path, tree,
                                                               monkeypatch, command):
    data, _ = tree
    scandir = os.scandir

    def refusing(path):
        if os.path.basename(path) == "sample2":
            raise PermissionError(13, "Permission denied", path)
        return scandir(path)
    monkeypatch.setattr(os, "scandir", refusing)
    code, out, err = run(capsys, *command, data, *outputs(command, tmp_path))
    assert code == 1 and "vesk: %s: Permission denied" % (data / "sample2") in err
    assert "sample1" in out and "sample2" not in out


@pytest.mark.parametrize("command", [["export", "-f", "csv"], ["images"]])
def test_skip_existing_goes_on_where_a_run_stopped(capsys, tmp_path, command):
    out_dir = tmp_path / "out"
    code, out, _ = run(capsys, *command, SAMPLE, "-o", out_dir)
    first, second = out.split()[:2]
    os.remove(second)
    with open(first, "w") as f:
        f.write("mine")
    code, out, err = run(capsys, *command, SAMPLE, "-o", out_dir, "--skip-existing")
    assert (code, out.split()) == (0, [second]) and "already there" in err
    assert open(first).read() == "mine"
    assert run(capsys, *command, SAMPLE, "--force", "--skip-existing")[0] == 2


@pytest.mark.parametrize("skip", [True, False])
@pytest.mark.parametrize("command", [["export", "-f", "npy"], ["images"]])
def test_an_output_another_run_writes_meanwhile_is_kept(capsys, tmp_path, monkeypatch,
                                                       command, skip):
    from vesk.export import atomic
    put_in_place = atomic._put_in_place

    def another_run_first(tmp, path, force):
        with open(path, "w") as f:
            f.write("theirs")
        put_in_place(tmp, path, force)
    monkeypatch.setattr(atomic, "_put_in_place", another_run_first)
    code, out, err = run(capsys, *command, SAMPLE, "-o", tmp_path / "out",
                         *(["--skip-existing"] if skip else []))
    assert (code, out) == ((0, "") if skip else (1, ""))
    assert ("already there" if skip else "exists (use --force to overwrite)") in err
    assert {open(p).read() for p in glob.glob(str(tmp_path / "out" / "*"))} == {"theirs"}


@pytest.mark.parametrize("errno_, replaced", [(errno.EPERM, True), (errno.EACCES, False)])
def test_outputs_where_links_fail(tmp_path, monkeypatch, errno_, replaced):
    # A file system without hard links takes the rename; any other failure is said.
    from vesk.export import atomic

    def refused(*_):
        raise OSError(errno_, os.strerror(errno_))
    monkeypatch.setattr(os, "link", refused)
    out = str(tmp_path / "o.txt")
    if replaced:
        atomic.write_atomically(out, lambda tmp: open(tmp, "w").close())
    else:
        with pytest.raises(PermissionError):
            atomic.write_atomically(out, lambda tmp: open(tmp, "w").close())
    assert os.listdir(tmp_path) == (["o.txt"] if replaced else [])


def test_skip_existing_does_not_keep_a_dangling_link(capsys, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "sample_AB_2D_NONE.npz").symlink_to(tmp_path / "nowhere")
    code, _, err = run(capsys, "export", SAMPLE, "-f", "npy", "-b", "AB/2D/NONE", "-o", out,
                       "--skip-existing")
    assert code == 1 and "already there" not in err


@pytest.mark.parametrize("at, expected", [
    (["--at", "-5:10"], "-5:10"), (["--at", "-1e3:-.5"], "-1e3:-.5"), (["--at=-5:"], "-5:"),
    (["--at", "-7"], "-7"), (["--at", "a:b"], "a:b")])
def test_plot_takes_a_band_below_zero_after_a_space(at, expected):
    args = cli.parse(cli.build_parser(), ["plot", "f.0", "AB", "-o", "p.png", *at])
    assert (args.at, args.file, args.output) == (expected, "f.0", "p.png")


def test_region_grid_leaves_unmeasured_points_blank():
    from vesk._cli.map_pictures import region_grid
    x, y = np.array([0, 1, 2, 0, 1, np.nan]), np.array([0, 0, 0, 1, 1, np.nan])
    picture, xs, ys = region_grid(x, y, np.arange(6.0))
    assert (xs.tolist(), ys.tolist()) == ([0, 1, 2], [0, 1])
    assert picture[:, :2].tolist() == [[0, 1], [3, 4]]
    assert picture[0, 2] == 2 and np.isnan(picture[1, 2])


def test_a_region_never_measured_is_drawn_and_exported_as_such(capsys, tmp_path, plotting):
    from vesk_kinds import COLS, _spectra
    from writer_3d import BASE_3D, annotation_block, file_3d, table_subblock
    rows = [(1, 0, 2, 1, 0, 0, 0.0, 0.0), (1, 0, 0, 0, 0, 1, 1.0, 0.0),
            (2, 0, 0, 0, 0, 99, 5.0, 6.0)]  # group 2: its one point has no stored spectrum
    path = file_3d(_spectra(2), dict(BASE_3D), anno=annotation_block(
        [table_subblock(COLS, rows)])).write(str(tmp_path / "r.vesk"))
    with pytest.warns(vesk.VeskWarning):
        fig = plotting.draw(vesk.read(path), "t")
    assert [t.get_text() for ax in fig.axes for t in ax.texts] == ["not measured"]
    assert run(capsys, "export", path, "-f", "csv", "-o", tmp_path / "out")[0] == 0
    with open(tmp_path / "out" / "r_AB_3D_NONE.csv") as f:
        last = f.read().splitlines()[-1].split(",")
    # map_x, map_y (the table's), start_time, value
    assert last[0] == "2" and last[-4:] == ["5.0", "6.0", "nan", "nan"]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_standard_output_holds_the_json_alone_when_a_derived_map_takes_its_underived_geometry(
        tmp_path, jobs):
    from writer_3d import BASE_3D, file_3d, stored_block, store_block
    geometry = {"AOX": 1.0, "AOY": 2.0, "DDX": 0.5, "DDY": 1.5, "NPX": 2, "NPY": 1}
    data = store_block([stored_block([1.0, 2.0, 3.0, 4.0]) for _ in range(2)], block_size=16)
    paths = [file_3d(data, {**BASE_3D, **geometry, "NPX": 0}, deriv_type=1,
                     original_params={**BASE_3D, **geometry}).write(str(tmp_path / n))
             for n in ("a.vesk", "b.vesk")]
    done = subprocess.run([sys.executable, "-m", "vesk", "export", "--json", "-j", jobs, "-f",
                           "npy", "-o", str(tmp_path)] + paths, capture_output=True, text=True)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and len(lines) == 2
    assert [json.loads(line)["status"] for line in lines] == ["exported"] * 2
    # two workers' lines on one standard error may run together: counted as texts
    assert done.stderr.count("Orignal mapping coordinates used") == 2


@pytest.mark.parametrize("first_ends_first", [True, False])
def test_a_command_run_while_another_runs_in_another_thread_keeps_its_data(
        capsys, first_ends_first):
    import threading
    from vesk._cli.report import data_only_on_stdout
    given = sys.stdout
    started, ends, ended = threading.Event(), threading.Event(), threading.Event()

    def other_command():
        with data_only_on_stdout():
            started.set()
            ends.wait(10)
        ended.set()
    other = threading.Thread(target=other_command)
    other.start()
    started.wait(10)
    if first_ends_first:
        # the other command ends midway through this one's (its first check of the file)
        opened = vesk.open

        def open_once_the_other_ended(*args, **kw):
            ends.set()
            ended.wait(10)
            return opened(*args, **kw)
        with pytest.MonkeyPatch.context() as m:
            m.setattr(vesk, "open", open_once_the_other_ended)
            code = main(["ls", "--json", SAMPLES["sample"]])
    else:
        code = main(["ls", "--json", SAMPLES["sample"]])
        ends.set()
    other.join(10)
    out = capsys.readouterr().out
    assert code == 0 and json.loads(out)[0]["file"] == SAMPLES["sample"]
    assert sys.stdout is given

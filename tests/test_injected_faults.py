"""Positioned reads that fail or find the file cut short, injected beneath the
reader by a small preload library built here: the answers are those of an
ordinary file, and nothing crashes."""
import json
import os
import shutil
import subprocess
import sys

import pytest

import veskread
from fault_run import outcome
from vesk_writer import VeskFile, block_word, float32_block, main_entries, param_block, raw_header
from writer_3d import BASE_3D, INFO_SIZE, file_3d, store_block, stored_block

HERE = os.path.dirname(os.path.abspath(__file__))
CC = shutil.which("cc") or shutil.which("gcc")
AB_2D = ("AB", "2D", "NONE")
AB_3D = ("AB", "3D", "NONE")

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux") or CC is None,
                                reason="needs Linux preloading and a C compiler")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("shim") / "fault_shim.so")
    subprocess.run([CC, "-shared", "-fPIC", "-O1", "-o", out,
                    os.path.join(HERE, "fault_shim.c"), "-ldl"], check=True)
    return out


def run_with_faults(shim, function, path, key=(), **faults):
    env = dict(os.environ)
    # After any sanitizer runtime already preloaded: those must come first.
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), shim]))
    module_dir = os.path.dirname(os.path.abspath(veskread.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    env.update({name: str(value) for name, value in faults.items()})
    proc = subprocess.run([sys.executable, os.path.join(HERE, "fault_run.py"), function, path,
                           *key], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result.pop("fault_shim_reads") > 0, "the preload library saw no read"
    return result


def spectrum_with_params_at(offset):
    vf = VeskFile()
    vf.add(float32_block([1.0, 2.0, 3.0]), data_type=4, sample_type=3)
    vf.add(param_block({"NPT": 3, "FXV": 1.0, "LXV": 3.0}), data_type=4, sample_type=3,
           param_type=1, extended=True, offset=offset)
    return vf.build()


def series_at(offset):
    vf = file_3d(store_block([stored_block([1.0, 2.0, 3.0, 4.0], time=1.0)], block_size=16),
                 BASE_3D)
    vf.blocks[-1]["offset"] = offset
    return vf.build()


EXTENDED = block_word(extend_type=64)

# Each file makes the reader start a positioned read past the end of the file.
PAST_THE_END = {
    "directory beyond the end": ("listContents", raw_header(2 ** 31 - 1, 1), ()),
    "extended directory beyond the end": (
        "listContents", raw_header(24, 1) + main_entries([(EXTENDED, 0, 2 ** 31 - 1)]), ()),
    "parameters at a 64-bit offset": ("getVeskData", spectrum_with_params_at(2 ** 62), AB_2D),
    "3D block beyond the end": ("getVeskData", series_at(2 ** 31 - 1), AB_3D),
}


@pytest.mark.parametrize("case", sorted(PAST_THE_END))
def test_read_refused_at_its_first_byte_is_the_end_of_the_file(shim, write_file, case):
    function, data, key = PAST_THE_END[case]
    path = write_file(data)
    expected = outcome(function, path, *([key] if key else []))
    # Refused past the end, as a file system refuses offsets past its largest file.
    got = run_with_faults(shim, function, path, key, FAULT_EINVAL_FROM=len(data) + 1)
    assert got.pop("fault_shim_faults") > 0, "no read was refused"
    assert got == expected
    assert got["error"] == "error" and got["message"].startswith("unpack requires")


# -- a file cut short while it is read ------------------------------------------

NPT = 20000            # values per stored block: reads far past any read-ahead window
KEPT = 100             # values of the last block left when the file is cut
LAST = 4 * NPT + INFO_SIZE


SMALL = 120            # values per block of a file whose batches are read whole
SMALL_BLOCKS = 1000    # enough that the last block lies past the first reads
SMALL_MAP = {"NPX": 40, "NPY": 25}


def values(k, npt=NPT):
    return [k * 1000.0 + p for p in range(npt)]


def stored_file(data_type, names=False, npt=NPT, n=3, **params):
    blocks = [stored_block(values(k, npt), time=float(k), name="t%d" % k if names else None)
              for k in range(n)]
    data = store_block(blocks, block_size=4 * npt)
    return file_3d(data, {**BASE_3D, "NPT": npt, **params}, data_type=data_type).build()


def spectrum_last():
    vf = VeskFile()
    vf.add(param_block({"NPT": NPT, "FXV": 1.0, "LXV": 2.0, "MXY": 1.0, "MNY": 0.0}),
           data_type=4, sample_type=3, param_type=1)
    vf.add(float32_block(values(0)), data_type=4, sample_type=3)
    return vf.build()


MAP = {"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 3, "NPY": 1}

# (datablock, file, length of the file's last block, what the call gives when the file is
# cut inside that block as it is read)
SHRINKING = {
    "2D spectrum keeps what was there": (
        AB_2D, spectrum_last(), 4 * NPT, {"y": values(0)[:KEPT]}),
    "trace series": (
        ("TRC", "3D", "NONE"), stored_file(7, names=True), LAST,
        {"error": "OSError", "errno": 5}),
    "spectrum series": (
        AB_3D, stored_file(4), LAST,
        {"error": "error", "message": "unpack requires a buffer of 8 bytes"}),
    "image map": (
        AB_3D, stored_file(4, **MAP), LAST,
        {"error": "ValueError", "message": "could not broadcast input array from shape "
                                           "(%d,) into shape (%d,)" % (KEPT, NPT)}),
    "trace series of small blocks": (
        ("TRC", "3D", "NONE"), stored_file(7, names=True, npt=SMALL, n=SMALL_BLOCKS),
        4 * SMALL + INFO_SIZE,
        {"error": "OSError", "errno": 5}),
    "spectrum series of small blocks": (
        AB_3D, stored_file(4, npt=SMALL, n=SMALL_BLOCKS), 4 * SMALL + INFO_SIZE,
        {"error": "error", "message": "unpack requires a buffer of 8 bytes"}),
    "image map of small blocks": (
        AB_3D, stored_file(4, npt=SMALL, n=SMALL_BLOCKS, **{**MAP, **SMALL_MAP}),
        4 * SMALL + INFO_SIZE,
        {"error": "ValueError", "message": "could not broadcast input array from shape "
                                           "(%d,) into shape (%d,)" % (KEPT, SMALL)}),
}


@pytest.mark.parametrize("case", sorted(SHRINKING))
def test_file_cut_short_during_a_read(shim, write_file, case):
    key, data, last, expected = SHRINKING[case]
    path = write_file(data)
    cut = len(data) - last + 4 * KEPT + 2
    got = run_with_faults(shim, "getVeskData", path, key, FAULT_SHRINK_PATH=path,
                          FAULT_SHRINK_TO=cut)
    assert got.pop("fault_shim_faults") == 1 and os.path.getsize(path) == cut
    if "result" in got:
        got = got["result"]
    assert {k: got.get(k) for k in expected} == expected
    if got.get("errno") == 5:
        # The cause reaches the user with its text, and the note says where.
        start = len(data) - last
        assert got["message"] == (
            "[Errno 5] file changed while stored block at offset %d was read" % start)
        assert got["notes"] == ["while reading file %r, block %s, at byte offset %d"
                                % (path, str(tuple(key)), start)]


# -- reads that give fewer bytes than asked before the end of the file -----------

CUT_READS = {
    "directory": ("listContents", spectrum_last(), ()),
    "2D spectrum": ("getVeskData", spectrum_last(), AB_2D),
    "spectrum series": ("getVeskData", stored_file(4), AB_3D),
    "trace series": ("getVeskData", stored_file(7, names=True), ("TRC", "3D", "NONE")),
    "image map": ("getVeskData", stored_file(4, **MAP), AB_3D),
}


@pytest.mark.parametrize("case", sorted(CUT_READS))
def test_read_cut_short_is_asked_again(shim, write_file, case):
    function, data, key = CUT_READS[case]
    path = write_file(data)
    expected = outcome(function, path, *([key] if key else []))
    got = run_with_faults(shim, function, path, key, FAULT_SHORT_READS=100)
    assert got.pop("fault_shim_faults") > 0, "no read was cut short"
    assert got == expected

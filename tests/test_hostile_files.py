"""Hostile files: whatever a file declares, a call stays within 64 MiB plus
eight times the file's size and ends within a timer; it refuses what no
file could hold, and shares what is the same bytes offered twice."""
import importlib.util
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import hostile_files as hf
from writer_3d import (BASE_3D, INFO_SIZE, annotation_block, file_3d, store_block, stored_block,
                       table_subblock)

# AddressSanitizer reserves terabytes of address space and keeps freed memory
# in quarantine: neither an address-space limit nor peak memory means anything
# under it. The fuzz targets hold the same rule in the sanitizer build.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="memory limits are meaningless under AddressSanitizer")

HERE = os.path.dirname(os.path.abspath(__file__))
HAS_PANDAS = importlib.util.find_spec("pandas") is not None
ADDRESS_LIMIT = 3 << 30  # the literal readings need more than this
TIMER = 60


def run_bounded(path, call):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "bounded_call.py"), path, json.dumps(call),
         str(ADDRESS_LIMIT)], capture_output=True, text=True, timeout=TIMER, env=env)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def within_rule(report, size):
    return report["added_peak"] <= (64 << 20) + 8 * size


@pytest.mark.parametrize("build, exc, fragment", [
    (hf.counting_image_chain, "ValueError", "image directory chain"),
    (hf.overlapping_regions, "ValueError", "region"),
    (lambda: hf.overlapping_regions(3000, npt=1, unrecorded=True), "ValueError",
     "the regions so far fill more"),
    (lambda: (hf.overlapping_regions(1500, npt=1, unrecorded=True)[0],
              ("vesk.read", hf.SPECTRUM_3D)), "FormatError", "cannot back them"),
    (hf.zero_stride, "ValueError", "stored blocks"),
    (lambda: hf.zero_stride(image_map=True), "ValueError", "stored blocks"),
    (hf.text_before_row, "ValueError", "annotation table"),
    (hf.huge_npt_2d, "ValueError", "NPT declares 300000000 values"),
    (hf.aborted_plane_map, "ValueError", "stored blocks that touch"),
    (hf.text_map_step, "TypeError", "unsupported operand type"),
    (hf.many_parameters, "ValueError", "parameter blocks hold more than"),
    pytest.param(lambda: (hf.aborted_image_map(20000, 20000, 1, 1)[0],
                          ("vesk.to_pandas", hf.SPECTRUM_3D)),
                 "FormatError", "a table of the map's 400000000 points",
                 marks=pytest.mark.skipif(not HAS_PANDAS, reason="needs pandas")),
], ids=["image-chain", "overlapping-regions", "unrecorded-overlapping-regions",
        "unrecorded-overlapping-regions-vesk", "zero-stride-series", "zero-stride-map",
        "text-before-row", "2d-npt", "aborted-plane-map", "text-map-step", "many-parameters",
        "unfilled-map-to-pandas"])
def test_refused_within_the_rule(write_file, build, exc, fragment):
    data, call = build()
    report = run_bounded(write_file(data), call)
    assert (report["outcome"], fragment in report["detail"]) == (exc, True), report
    assert within_rule(report, len(data)), report


def test_keys_naming_one_region_map_open_as_a_tree_within_the_rule(write_file):
    if not hasattr(pytest.importorskip("xarray"), "open_datatree"):
        pytest.skip("xarray without DataTree")
    # Each key alone reads within the rule; together, the blocks after the
    # first are left out (175 MB when each was held).
    data, call = hf.keys_naming_one_region_map()
    report = run_bounded(write_file(data), call)
    assert report["outcome"] == "ok" and report["detail"]["blocks"] == ["/AB/3D/NONE"], report
    assert within_rule(report, len(data)), report


@pytest.mark.parametrize("stream", [False, True])
def test_keys_naming_one_image_map_open_as_a_tree_within_the_rule(write_file, stream):
    if not hasattr(pytest.importorskip("xarray"), "open_datatree"):
        pytest.skip("xarray without DataTree")
    # Opened lazily, its four readable keys hold no values; read as a stream
    # opens them, each holds the map (90 MB when they were charged as lazy).
    data = hf.keys_naming_one_image_map()
    report = run_bounded(write_file(data), ["vesk.tree", stream])
    kept = len(report["detail"]["blocks"]) if report["outcome"] == "ok" else 0
    assert (kept < 4) if stream else (kept == 4), report
    assert within_rule(report, len(data)), report


@pytest.mark.parametrize("image_len, note", [(400_000, 0), (16, 60_000)])
def test_keys_naming_one_image_share_its_bytes(write_file, image_len, note):
    # and its attributes: a copy each of 60 KB of text took 90 MB
    data, call = hf.shared_image(keys=1500, image_len=image_len, note=note)
    report = run_bounded(write_file(data), call)
    assert report["outcome"] == "ok", report
    assert report["detail"] == {"images": 1500, "distinct_bytes": 1,
                                "lengths": [image_len + len(hf.JPEG)]}
    assert within_rule(report, len(data)), report


def test_side_files_of_pictures_are_charged(write_file):
    # Each key's side file holds the attribute's 60,000 escapes (\u0001):
    # 520 MB written from 96 KB.
    data = hf.shared_image(keys=1500, image_len=16, note=60_000)[0]
    report = run_bounded(write_file(data), ["vesk.images"])
    assert report["detail"] == {"code": 1} and within_rule(report, len(data)), report
    assert report["write_bytes"] <= (64 << 20) + 8 * len(data) and report["cpu"] < 2, report


def test_table_named_many_times_reads_as_named_once(write_file):
    once_data, call = hf.shared_table(entries=1, rows=20000)
    many_data, _ = hf.shared_table(entries=1000, rows=20000)
    once = run_bounded(write_file(once_data), call)
    many = run_bounded(write_file(many_data), call)
    assert many["outcome"] == "ok", many
    assert many["detail"] == once["detail"]
    # Read once: the table's bytes once, not a thousand times.
    assert many["read_bytes"] < once["read_bytes"] + 2 * len(many_data), (once, many)
    assert within_rule(many, len(many_data)), many


@pytest.mark.parametrize("build, shape, nonzero_points", [
    # Unrecorded points stay untouched zero pages.
    (lambda: hf.aborted_image_map(npx=3000, npy=3000, npt=16, recorded=3), [3000, 3000, 16], 3),
    # A few planes reach every point, in a map the file's size allows.
    (lambda: hf.aborted_plane_map(npx=100, npy=100, npt=64, recorded=2), [100, 100, 64], 10000),
], ids=["spectra", "planes"])
def test_aborted_image_map_reads(write_file, build, shape, nonzero_points):
    data, call = build()
    report = run_bounded(write_file(data), call)
    assert report["outcome"] == "ok", report
    assert report["detail"]["shape"] == shape
    assert report["detail"]["nonzero_points"] == nonzero_points
    assert within_rule(report, len(data)), report


def test_a_column_of_a_plane_map_reads_each_plane_once(write_file):
    data, call = hf.overlapping_planes()
    report = run_bounded(write_file(data), call)
    assert report["outcome"] == "ok" and report["detail"] == {"shape": [2048, 1, 2000]}, report
    # A read per row and plane was 4 million reads (2 s); one per plane is 2000.
    assert report["read_calls"] < 20_000 and within_rule(report, len(data)), report


def test_a_dense_series_cut_short_is_refused_before_its_whole_spectra_are_read(write_file):
    data, _ = hf.dense_cut_series()
    path = write_file(data)
    listed = run_bounded(path, ["vesk.listing"])
    read = run_bounded(path, ["vesk.read", hf.SPECTRUM_3D])
    assert listed["detail"] == {"kinds": ["unreadable"]}, listed
    assert read["outcome"] == "FormatError" and "stored blocks that make" in read["detail"], read
    assert within_rule(read, len(data)), read  # 288 MiB when vesk read its whole spectra


@pytest.mark.parametrize("traces", [False, True])
def test_listing_overlapping_regions_is_refused_as_reading_refuses(write_file, traces):
    data, call = hf.overlapping_regions(rows=20_000, npt=4, traces=traces)
    path = write_file(data)
    read, listed = run_bounded(path, call), run_bounded(path, ["vesk.listing"])
    assert read["outcome"] == "ValueError" and "the regions so far fill more" in read["detail"]
    assert listed["detail"] == {"kinds": ["unreadable"]}, listed
    assert listed["cpu"] < 0.5, listed  # each row once: the table's square took 3 s


@pytest.mark.parametrize("regions", [2, 2000])  # 2000: reading's arrays on the heap
def test_unrecorded_region_points_as_nan_within_the_bound(write_file, regions):
    # The largest map whose NaN fits beside reading's arrays: its own array of
    # points (values, positions, start times), not a second one.
    from vesk import _native
    npt = (_native.output_limit(len(hf.unrecorded_region(regions=regions)[0])) // 2000 - 24) // 8
    data, _ = hf.unrecorded_region(npt=npt, regions=regions)
    report = run_bounded(write_file(data), ["vesk.read", hf.SPECTRUM_3D])
    assert report["detail"] == {"shape": [2000, npt]} and within_rule(report, len(data)), report
    assert report["added_peak"] > 4 * 2000 * npt  # NaN, not zero pages


@pytest.mark.parametrize("regions", [1, 2, 2000])  # 2000: arrays small enough for a heap
def test_unrecorded_region_points_stay_untouched(write_file, regions):
    data, call = hf.unrecorded_region(regions=regions)
    path = write_file(data)
    raw = run_bounded(path, call)
    joined = run_bounded(path, ["vesk.read", hf.SPECTRUM_3D])  # the regions in one array
    assert [r[1] for r in raw["detail"]["regions"]] == [[2000 // regions, 100_000]] * regions
    assert joined["detail"] == {"shape": [2000, 100_000]}, joined
    assert within_rule(raw, len(data)) and within_rule(joined, len(data)), (raw, joined)


def test_a_cut_multiregion_map_of_empty_spectra_reads(write_file):
    # NPT 0: a point without a stored block looks whole by its count of values.
    from vesk_kinds import COLS
    rows = [(1, 0, 3, 1, 0, 0, 0.0, 0.0), (1, 0, 0, 0, 0, 1, 1.0, 0.0),
            (1, 0, 0, 0, 0, 7, 2.0, 0.0)]
    data = store_block([stored_block([], time=1.0) for _ in range(2)], block_size=0)
    built = file_3d(data, dict(BASE_3D, NPT=0), anno=annotation_block(
        [table_subblock(COLS, rows)])).build()
    report = run_bounded(write_file(built[:-(INFO_SIZE - 140)]), ["vesk.read", hf.SPECTRUM_3D])
    assert report["outcome"] == "ok" and report["detail"] == {"shape": [3, 0]}, report


@pytest.mark.parametrize("regions", [1, 2000])
def test_region_points_past_a_cut_block_within_the_bound(write_file, regions):
    data, _ = hf.unrecorded_region(regions=regions, npt=4, cut=True)  # read past the cut block
    report = run_bounded(write_file(data), ["vesk.read", hf.SPECTRUM_3D])
    assert report["detail"] == {"shape": [2000, 4]} and within_rule(report, len(data)), report


def test_an_envi_header_of_escaped_texts_within_a_second_a_megabyte(write_file):
    # 22 MB of percent-encoded headers from 136 KB: 1.9 s as str.translate wrote them
    data = hf.merged_by_every_key(2, own_block=False, text=65532, fill="\x01")
    report = run_bounded(write_file(data), ["vesk.export", "envi", None])
    assert report["outcome"] == "ok" and report["cpu"] < 1 + len(data) / 1e6, report


@pytest.mark.parametrize("layout", ["long", "wide"])
def test_csv_of_many_region_points_within_the_rule(write_file, layout):
    # The most points the command exports from 18 KB: all their texts at
    # once took 100 MB.
    data = hf.overlapping_regions(543, npt=1, unrecorded=True)[0]
    report = run_bounded(write_file(data), ["vesk.export", "csv", layout])
    assert report["detail"] == {"code": 0} and within_rule(report, len(data)), report


HAS = {name: importlib.util.find_spec(name) is not None
       for name in ("xarray", "netCDF4", "matplotlib", "scipy")}
HAS["DataTree"] = HAS["xarray"] and hasattr(importlib.import_module("xarray"), "open_datatree")


def needs(*names):
    return pytest.mark.skipif(not all(HAS[n] for n in names), reason="needs " + "/".join(names))


@pytest.mark.parametrize("build, call", [
    # Every key merging one parameter block of 100,000 records: each dataset,
    # each export, copied them all (a tree 1.1 GB; NetCDF 108 s, 2.9 GB).
    pytest.param(lambda: hf.merged_by_every_key(own_block=False), ["vesk.tree"],
                 marks=needs("DataTree")),
    (lambda: hf.merged_by_every_key(own_block=False), ["vesk.export", "npy", None]),
    (lambda: hf.merged_by_every_key(own_block=False), ["vesk.export", "jcamp", None]),
    pytest.param(lambda: hf.merged_by_every_key(own_block=False),
                 ["vesk.export", "netcdf", None], marks=needs("xarray", "netCDF4")),
    # ... a MAT-file's pair of cells for each, 60 us (8 s).
    pytest.param(lambda: hf.merged_by_every_key(own_block=False),
                 ["vesk.export", "mat", None], marks=needs("scipy")),
    # The same with 16 texts of 64 KB: each written into every export
    # (npy 400 MB from 1 MB).
    (lambda: hf.merged_by_every_key(16, own_block=False, text=65532),
     ["vesk.export", "npy", None]),
    (lambda: hf.merged_by_every_key(16, own_block=False, text=65532),
     ["vesk.export", "jcamp", None]),
    pytest.param(lambda: hf.merged_by_every_key(16, own_block=False, text=65532),
                 ["vesk.export", "netcdf", None], marks=needs("xarray", "netCDF4")),
    # Texts of control characters, written as escapes: npy 200 MB (\u0001),
    # JCAMP-DX 12 s (a function call for each).
    (lambda: hf.merged_by_every_key(16, own_block=False, text=65532, fill="\x01"),
     ["vesk.export", "npy", None]),
    (lambda: hf.merged_by_every_key(16, own_block=False, text=65532, fill="\x01"),
     ["vesk.export", "jcamp", None]),
    # 40 MB of texts in one block: as one array, 4 bytes a character and a copy.
    (lambda: hf.many_parameters(610, text=65532)[0], ["vesk.export", "npy", None]),
    # 8 million values read from 24 KB: 280 MB of text in 4 s; 160 MB of lines.
    (hf.overlapping_series, ["vesk.export", "csv", "long"]),
    # JCAMP-DX writes a header for each spectrum: millions declared, few stored.
    (lambda: hf.overlapping_series(count=12000, npt=1), ["vesk.export", "jcamp", None]),
    (lambda: hf.aborted_image_map(120, 120, npt=1)[0], ["vesk.export", "jcamp", None]),
    # ... a header each for 360,000 spectra of no values (91 MB, 4 s)
    (lambda: hf.aborted_image_map(600, 600, npt=0, recorded=1)[0],
     ["vesk.export", "jcamp", None]),
    # ... each repeating the sample's name and origin, 30 KB each.
    (lambda: hf.overlapping_series(count=3000, npt=1, SNM="s" * 30000, CNM="c" * 30000),
     ["vesk.export", "jcamp", None]),
    pytest.param(hf.overlapping_series, ["vesk.plot"], marks=needs("matplotlib")),
    # Honest long spectra: their texts, or the cells of a noisy line, at once.
    (hf.long_spectra, ["vesk.export", "csv", None]),
    (hf.long_spectra, ["vesk.export", "jcamp", None]),
    (lambda: hf.long_spectra(rows=2), ["vesk.export", "csv", "wide"]),
    # A row per point of a map of NPT 0 (244 bytes): 9 million rows took 8 s;
    # as many as the bound gives now.
    (lambda: hf.aborted_image_map(580, 580, npt=0, recorded=0)[0],
     ["vesk.export", "csv", "wide"]),
    pytest.param(hf.long_spectra, ["vesk.plot"], marks=needs("matplotlib")),
    # Each trace's long name on each of its rows: 130 MB from 80 KB.
    (hf.long_trace_names, ["vesk.export", "csv", "long"]),
    # An axis label of 16,000 lines: 5 s to lay out.
    pytest.param(hf.many_line_units, ["vesk.plot"], marks=needs("matplotlib")),
    # ENVI's header: texts percent-encoded, 9 bytes for a character of 3
    # (82 MB from 1 MB); a million wavelengths formatted at once, 160 MB.
    (lambda: hf.merged_by_every_key(16, own_block=False, text=21844, fill="\u20ac"),
     ["vesk.export", "envi", None]),
    (hf.long_spectra, ["vesk.export", "envi", None]),
    # Zarr writes each parameter twice (.zattrs, .zmetadata), as JSON: a
    # control character as 6 characters (1.2 GB from 1 MB, uncharged).
    pytest.param(lambda: hf.merged_by_every_key(own_block=False),
                 ["vesk.export", "zarr", None], marks=needs("xarray")),
    pytest.param(lambda: hf.merged_by_every_key(16, own_block=False, text=65532, fill="\x01"),
                 ["vesk.export", "zarr", None], marks=needs("xarray")),
    # ... in ASCII, so a Latin-1 text's every character too
    pytest.param(lambda: hf.merged_by_every_key(16, own_block=False, text=65532, fill=b"\xe9"),
                 ["vesk.export", "zarr", None], marks=needs("xarray")),
    # ... and the title of each of 147,696 points (joined at once: 30 MB more)
    pytest.param(lambda: hf.overlapping_regions(543, npt=1, unrecorded=True)[0],
                 ["vesk.export", "zarr", None], marks=needs("xarray")),
], ids=["tree-of-merged-keys", "npy-of-merged-keys", "jcamp-of-merged-keys",
        "netcdf-of-merged-keys", "mat-of-merged-keys", "npy-of-merged-texts", "jcamp-of-merged-texts",
        "netcdf-of-merged-texts", "npy-of-merged-controls", "jcamp-of-merged-controls",
        "npy-of-long-texts", "csv-of-overlapping-series",
        "jcamp-of-overlapping-series", "jcamp-of-aborted-map",
        "jcamp-of-map-of-no-values", "jcamp-of-named-series", "plot-of-overlapping-series",
        "csv-of-long-spectrum", "jcamp-of-long-spectrum", "wide-csv-of-long-spectra",
        "wide-csv-of-map-of-no-values",
        "plot-of-long-spectrum", "csv-of-long-trace-names",
        "plot-of-many-line-units", "envi-of-merged-texts", "envi-of-long-spectrum",
        "zarr-of-merged-keys", "zarr-of-merged-controls", "zarr-of-merged-latin1",
        "zarr-of-region-points"])
def test_commands_stay_within_the_rule(write_file, build, call):
    data = build()
    report = run_bounded(write_file(data), call)
    assert report["outcome"] == "ok", report
    assert within_rule(report, len(data)) and report["cpu"] < 2 + len(data) / 1e6, report
    assert report["write_bytes"] <= (64 << 20) + 8 * len(data), report


@pytest.mark.parametrize("build, plain", [
    # One parameter block named again and again, under one key and under many.
    (lambda: hf.shared_data_block(npt=4, types=(4,), records=20_000, repeats=250),
     lambda: hf.shared_data_block(npt=4, types=(4,))),
    (lambda: hf.shared_data_block(npt=4, records=50_000), lambda: hf.shared_data_block(npt=4)),
], ids=["repeated-key", "keys-sharing-parameters"])
def test_listing_stays_within_the_rule(write_file, build, plain):
    data = build()[0]
    report = run_bounded(write_file(data), ["vesk.listing"])
    assert report["outcome"] == "ok", report
    assert report["detail"] == run_bounded(write_file(plain()[0]), ["vesk.listing"])["detail"]
    assert within_rule(report, len(data)), report


@pytest.mark.parametrize("build", [
    hf.shifted_parameter_keys,
    hf.merged_by_every_key,
    lambda: hf.merged_by_every_key(own_block=False),
], ids=["runs-of-one-block", "one-block-and-each-keys-own", "one-block-under-every-key"])
def test_keys_merging_one_large_parameter_block_share_one_bound(write_file, build):
    data = build()
    report = run_bounded(write_file(data), ["vesk.listing"])
    assert report["outcome"] == "ok" and report["detail"]["kinds"][0] == "spectrum", report
    assert within_rule(report, len(data)) and report["cpu"] < 2, report


@pytest.mark.parametrize("command", ["ls", "diff"])
def test_parameters_of_keys_merging_one_block_of_texts_stay_within_the_rule(tmp_path, command):
    # Each of 84 keys would list the block's control characters again, as escapes.
    data = hf.merged_by_every_key(records=2000, text=200, fill="\x01")
    other = tmp_path / "other.vesk"
    other.write_bytes(hf.merged_by_every_key(records=2000, text=200, fill="\x02"))
    path = tmp_path / "one.vesk"
    path.write_bytes(data)
    files = 2 if command == "diff" else 1  # each read within its own bound
    report = run_bounded(str(path), ["vesk." + command] + [str(other)] * (files - 1))
    assert report["detail"] == {"code": 0}, report
    assert report["added_peak"] <= files * ((64 << 20) + 8 * len(data)), report
    assert report["cpu"] < 1 and report["write_bytes"] < (2 << 20) + 8 * len(data), report


def test_a_tree_of_keys_naming_one_spectrum_stays_within_the_rule(write_file):
    if not hasattr(pytest.importorskip("xarray"), "open_datatree"):
        pytest.skip("xarray without DataTree")
    # Each key's dataset, opened lazily, builds the spectrum's axis anew.
    types = (12, 10, 17, 15, 6, 5, 11, 16, 18, 19, 4, 7)
    types += tuple(t + 32 for t in types)
    data = hf.shared_data_block(npt=250_000, types=types)[0]
    report = run_bounded(write_file(data), ["vesk.tree"])
    assert report["outcome"] == "ok" and within_rule(report, len(data)), report


@pytest.mark.parametrize("device", ["/dev/urandom", "/dev/zero"])
def test_device_is_refused_before_reading(device):
    if not os.path.exists(device):
        pytest.skip("no " + device)
    report = run_bounded(device, ["getVisImages"])
    assert report["outcome"] == "OSError" and "regular file" in report["detail"], report


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs")
def test_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    fifo = tmp_path / "f.vesk"
    os.mkfifo(fifo)
    report = run_bounded(str(fifo), ["vesk.listing"])
    assert report["outcome"] == "OSError" and "regular file" in report["detail"], report


def test_ctrl_c_interrupts_a_long_chain(tmp_path):
    # A sparse gigabyte behind the chain lets it run for minutes within
    # the work the file's size allows; Ctrl-C must end it at once.
    data, call = hf.counting_image_chain(levels=40)
    path = tmp_path / "chain.vesk"
    with open(path, "wb") as f:
        f.write(data)
        f.truncate(1 << 30)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "bounded_call.py"), str(path), json.dumps(call)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stderr.readline().strip() == "started"
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert "KeyboardInterrupt" in err, err[-2000:]


# The read runs with the interpreter lock released; a thread sends Ctrl-C
# once it has ticked a while, which it can only do if the read let it run.
LOCK_RELEASED_CHILD = """
import json, os, signal, sys, threading, time
import vesk, veskread
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
path, call = sys.argv[1], json.loads(sys.argv[2])
reading = threading.Event()
def ctrl_c_after_ticks():
    reading.wait()
    for _ in range(40):
        time.sleep(0.005)
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=ctrl_c_after_ticks, daemon=True).start()
read0 = int(open("/proc/self/io").read().split()[1])
try:
    reading.set()
    if call[0] == "vesk":
        vesk.read(path)
    else:
        getattr(veskread, call[0])(path, tuple(call[1]))
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
print(json.dumps([outcome, int(open("/proc/self/io").read().split()[1]) - read0]))
"""


# vesk reads a series that the end of its file cuts short itself.
@pytest.mark.parametrize("reader", ["veskread", "vesk"])
def test_ctrl_c_interrupts_a_read_that_released_the_lock(tmp_path, reader):
    blocks = 500_000
    data, call, size = hf.scattered_series(blocks)
    if reader == "vesk":  # the last block cut off
        call, size = ("vesk",), size - 4096 - (4 << 20)
    path = tmp_path / "scattered.vesk"
    with open(path, "wb") as f:
        f.write(data)
        f.truncate(size)
    try:
        proc = subprocess.run([sys.executable, "-c", LOCK_RELEASED_CHILD, str(path),
                               json.dumps(call)], capture_output=True, text=True, timeout=60)
    finally:
        path.unlink()  # drops the page cache its holes filled
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcome, read_bytes = json.loads(proc.stdout)
    # Interrupted inside the read: far fewer than the blocks' 12 bytes each.
    assert outcome == "KeyboardInterrupt" and read_bytes < blocks * 12 // 2, proc.stdout


@pytest.mark.skipif(importlib.util.find_spec("pyarrow") is None, reason="needs pyarrow")
@pytest.mark.parametrize("build, layout", [
    (lambda: hf.merged_by_every_key(own_block=False), None),
    (lambda: hf.merged_by_every_key(16, own_block=False, text=65532), None),
    (lambda: hf.merged_by_every_key(16, own_block=False, text=65532, fill="\x01"), None),
    (lambda: hf.many_parameters(610, text=65532)[0], None),
    (hf.overlapping_series, "long"), (hf.overlapping_series, "wide"),
    (lambda: hf.overlapping_regions(543, npt=1, unrecorded=True)[0], "long"),
    (lambda: hf.aborted_image_map(580, 580, npt=0, recorded=0)[0], "wide"),
    (hf.long_spectra, None), (lambda: hf.long_spectra(rows=2), "wide"),
    (hf.long_trace_names, "long"), (hf.long_trace_names, "wide"),
    (lambda: hf.long_spectra(4096, rows=2, FXV=1.0, LXV=1.0), "wide"),
], ids=["merged-keys", "merged-texts", "merged-controls", "long-texts", "overlapping-series",
        "wide-overlapping-series", "region-points", "wide-map-of-no-values", "long-spectrum",
        "wide-long-spectra", "long-trace-names", "wide-long-trace-names",
        "wide-flat-axis"])
def test_parquet_export_stays_within_the_rule(write_file, build, layout):
    data = build()
    report = run_bounded(write_file(data), ["vesk.export", "parquet", layout])
    assert report["outcome"] == "ok", report
    assert within_rule(report, len(data)) and report["cpu"] < 2 + len(data) / 1e6, report
    assert report["write_bytes"] <= (64 << 20) + 8 * len(data), report

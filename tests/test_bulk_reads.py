"""Stored blocks read in batches: results must not depend on how runs, gaps,
batch limits and a short last block split the reads."""
import os
import platform
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import veskread
from writer_3d import (BASE_3D, TYPE_FLOAT, TYPE_INT, annotation_block, file_3d, store_block,
                       stored_block, table_subblock)

MAP = {"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0}


def runs(n, gap_every):
    """Store table entries for blocks 0..n-1 with a gap after every `gap_every` blocks."""
    entries, k = [], 0
    while k < n:
        last = min(n, k + gap_every) - 1
        entries.append((k, last))
        k = last + 1
        if k < n:
            entries.append((-1, 12))
    return entries


@pytest.mark.parametrize("n, gap_every", [(1, 1), (37, 5), (700, 700), (700, 300)])
def test_series_spectra_and_traces_across_batches(tmp_path, n, gap_every):
    npt = 24
    values = np.random.default_rng(n).standard_normal((n, npt)).astype(np.float32)
    blocks = [stored_block(v.tolist(), time=0.5 * k, name="t%d" % (k // 3))
              for k, v in enumerate(values)]
    data = store_block(blocks, entries=runs(n, gap_every), block_size=4 * npt)
    image_map = {**MAP, "NPX": n, "NPY": 1}
    for dtype, key, params in [(4, "AB", {}), (7, "TRC", {}), (4, "AB", image_map)]:
        path = file_3d(data, {**BASE_3D, "NPT": npt, **params}, data_type=dtype).write(
            str(tmp_path / ("%s.vesk" % key)))
        d = veskread.getVeskData(path, (key, "3D", "NONE"))
        if key == "AB":
            assert d.spectra.tobytes() == values.tobytes()
            if not params:
                assert d.z.tolist() == [0.5 * k for k in range(n)]
        else:
            assert d.traces.tobytes() == values.tobytes()
            assert d.labels == ["t%d" % (k // 3) for k in range(n)]


@pytest.mark.parametrize("traces", [False, True])
@pytest.mark.parametrize("cut", [0, 100])
# Planes smaller and larger than the info part, and an info part of whole
# floats or not, change how a batch is laid out in memory.
@pytest.mark.parametrize("npx, npy, info_size", [(8, 5, 184), (12, 8, 184), (12, 8, 190)])
def test_image_and_trace_maps_across_batches_and_a_short_end(tmp_path, traces, cut, npx, npy,
                                                              info_size):
    n, npt = (150, npx * npy) if traces else (npx * npy, 300)
    values = np.random.default_rng(cut).standard_normal((n, npt)).astype(np.float32)
    blocks = [stored_block(v.tolist(), name="m%d" % k, info_size=info_size)
              for k, v in enumerate(values)]
    # Runs longer than a batch of planes, and runs cut short by gaps.
    data = store_block(blocks, entries=runs(n, 100 if traces else 17), block_size=4 * npt,
                       info_size=info_size)
    params = {**BASE_3D, **MAP, "NPT": npt, "NPX": npx, "NPY": npy}
    # Cutting into the last block's info part leaves its values whole.
    data = data[:len(data) - cut]
    path = file_3d(data, params, data_type=7 if traces else 4).write(str(tmp_path / "m.vesk"))
    d = veskread.getVeskData(path, ("TRC" if traces else "AB", "3D", "NONE"))
    if traces:
        assert d.traces.tobytes() == np.dstack([v.reshape(npy, npx) for v in values]).tobytes()
        assert d.labels[:-1] == ["m%d" % k for k in range(n - 1)]
    else:
        assert d.spectra.tobytes() == values.tobytes()


def test_multiregion_points_out_of_file_order(tmp_path):
    npt, n = 16, 60
    values = np.random.default_rng(1).standard_normal((n, npt)).astype(np.float32)
    blocks = [stored_block(v.tolist(), time=float(k)) for k, v in enumerate(values)]
    data = store_block(blocks, entries=runs(n, 25), block_size=4 * npt)
    # Points visit blocks forwards, backwards and with holes (block 99 is absent).
    order = list(range(0, 30)) + list(range(59, 29, -1)) + [99]
    cols = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
            ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)]
    rows = [(1, 0, 0, 0, 0, f, float(i), 1.0) for i, f in enumerate(order)]
    anno = annotation_block([table_subblock(cols, rows)])
    path = file_3d(data, {**BASE_3D, "NPT": npt}, anno=anno).write(str(tmp_path / "r.vesk"))
    region, = veskread.getVeskData(path, ("AB", "3D", "NONE")).regions
    expected = np.vstack([values[f] if f < n else np.zeros(npt, np.float32) for f in order])
    assert region.spectra.tobytes() == expected.tobytes()
    assert region.start_time.tolist() == [float(f) if f < n else 0.0 for f in order]


@pytest.mark.parametrize("kind", ["series", "traces", "image map"])
def test_every_offset_of_a_block_against_its_row_within_a_page(tmp_path, kind):
    # Blocks 184 bytes longer than their rows meet their destination at
    # every multiple of 8 bytes modulo a page within 512 blocks, including
    # the few that are read through a bounce buffer. (Smaller blocks are
    # read a batch at a time whole, then copied out.)
    n, npt = 600, 300
    values = np.random.default_rng(7).standard_normal((n, npt)).astype(np.float32)
    names = ["b%d" % k for k in range(n)]
    data = numpy_blocks(values, times=np.arange(n) * 0.5, names=names)
    params = {**BASE_3D, "NPT": npt}
    if kind == "image map":
        params.update(MAP, NPX=30, NPY=20)
    path = file_3d(data, params, data_type=7 if kind == "traces" else 4).write(
        str(tmp_path / "b.vesk"))
    d = veskread.getVeskData(path, ("TRC" if kind == "traces" else "AB", "3D", "NONE"))
    got = d.traces if kind == "traces" else d.spectra
    assert got.tobytes() == values.tobytes()
    if kind == "traces":
        assert d.labels == names
    elif kind == "series":
        assert d.z.tolist() == [0.5 * k for k in range(n)]


# -- the interpreter lock while values are read ---------------------------------

def numpy_blocks(values, info_size=184, times=None, names=()):
    """Stored blocks as bytes, made with numpy (the test writer packs value by value)."""
    n, npt = values.shape
    rows = np.zeros((n, 4 * npt + info_size), dtype=np.uint8)
    rows[:, :4 * npt] = values.astype("<f4").view(np.uint8)
    if times is not None:
        rows[:, 4 * npt + 136:4 * npt + 144] = np.asarray(times, "<f8").view(np.uint8).reshape(n, 8)
    for k, name in enumerate(names):
        rows[k, 4 * npt + 152:4 * npt + 152 + len(name)] = np.frombuffer(name.encode(), np.uint8)
    return store_block([], entries=[(0, n - 1)], block_size=4 * npt,
                       stored_blocks=n) + rows.tobytes()


def large_file(tmp_path, kind):
    """About 24 MiB of values of one kind, and the call that reads them."""
    rng = np.random.default_rng(0)
    n, npt = 6144, 1024
    values = rng.standard_normal((n, npt), dtype=np.float32)
    name = str(tmp_path / (kind + ".vesk"))
    if kind == "images":
        from vesk_writer import VeskFile
        from writer_images import add_image_block, image_block, picture
        pics = [picture("i%d" % k, b"BM" + rng.bytes(2 << 20)) for k in range(12)]
        vf = VeskFile()
        add_image_block(vf, image_block([{"images": pics}])[0])
        path = vf.write(name)
        return lambda: veskread.getVisImages(path)
    base = {**BASE_3D, "NPT": npt}
    if kind == "image map":
        params, data = {**base, **MAP, "NPX": 64, "NPY": 96}, numpy_blocks(values)
        key = "AB"
    elif kind == "series":
        params, data, key = base, numpy_blocks(values, times=np.arange(n)), "AB"
    elif kind == "traces":
        names = ["t%d" % k for k in range(n)]
        params, data, key = base, numpy_blocks(values, names=names), "TRC"
    else:  # multiregion: one free-list region over every block; long spectra,
        # so that reading values, not the point table, fills the call
        n, npt = 1536, 4096
        values = values.reshape(n, npt)
        base = {**BASE_3D, "NPT": npt}
        cols = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT),
                ("AryNY", TYPE_INT), ("AryType", TYPE_INT), ("Fileindex", TYPE_INT),
                ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)]
        rows = [(1, 0, 0, 0, 0, k, float(k), 0.0) for k in range(n)]
        anno = annotation_block([table_subblock(cols, rows)])
        path = file_3d(numpy_blocks(values, times=np.arange(n)), base, anno=anno).write(name)
        return lambda: veskread.getVeskData(path, ("AB", "3D", "NONE"))
    path = file_3d(data, params, data_type=7 if key == "TRC" else 4).write(name)
    return lambda: veskread.getVeskData(path, (key, "3D", "NONE"))


# Under AddressSanitizer only the module is instrumented: its own work slows
# many times over while reads from the kernel do not, so the share of a call
# spent holding the lock says nothing there.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="lock-holding shares are skewed under AddressSanitizer")
@pytest.mark.parametrize("kind", ["image map", "series", "traces", "multiregion", "images"])
def test_other_threads_run_while_values_are_read(tmp_path, kind):
    call = large_file(tmp_path, kind)
    call()  # warm the cache
    # A ticker stamps the time whenever it gets the lock, every millisecond
    # or so (calls here last only a few times 10 ms). Holding the lock for
    # the reads, the longest gap in a call would be most of the call; let
    # go, it is a scheduler delay (about half a call at worst on a loaded
    # two-core machine, all of it when the read holds the lock). The median over many calls keeps a busy
    # machine's odd long delay from deciding.
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    spans = []
    try:
        while sum(b - a for a, b in spans) < 0.5 or len(spans) < 9:
            start = time.perf_counter()
            call()
            spans.append((start, time.perf_counter()))
    finally:
        stop.set()
        t.join()
    ratios = []
    for start, end in spans:
        inside = [start] + [x for x in ticks if start < x < end] + [end]
        ratios.append(max(b - a for a, b in zip(inside, inside[1:])) / (end - start))
    assert sorted(ratios)[len(ratios) // 2] < 0.8, ratios


# -- a loop keeps the memory of its results -----------------------------------------

# glibc hands back the freed top of its heap past a threshold that many
# small results never raise; each call in a process doing nothing else would
# then fault every page of its results in again.
@pytest.mark.skipif(platform.libc_ver()[0] != "glibc" or "libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="glibc's own allocator only")
@pytest.mark.parametrize("kind", ["multiregion", "images", "vesk multiregion"])
def test_a_loop_reuses_the_memory_of_its_results(tmp_path, kind):
    # Four results of 256 KiB (four regions, or pictures): each above glibc's first threshold.
    name = str(tmp_path / "many.vesk")
    if kind == "images":
        from vesk_writer import VeskFile
        from writer_images import add_image_block, image_block, picture
        vf = VeskFile()
        pics = [picture("i%d" % k, b"BM" + bytes(256 << 10)) for k in range(4)]
        add_image_block(vf, image_block([{"images": pics}])[0])
        path, call = vf.write(name), "veskread.getVisImages(sys.argv[1])"
    else:
        n, npt = 256, 1024
        cols = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT),
                ("AryNY", TYPE_INT), ("AryType", TYPE_INT), ("Fileindex", TYPE_INT),
                ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)]
        rows = [(k % 4 + 1, 0, 0, 0, 0, k, float(k), 0.0) for k in range(n)]
        anno = annotation_block([table_subblock(cols, rows)])
        path = file_3d(numpy_blocks(np.ones((n, npt), np.float32), times=np.arange(n)),
                       {**BASE_3D, "NPT": npt}, anno=anno).write(name)
        call = 'veskread.getVeskData(sys.argv[1], ("AB", "3D", "NONE"))'
        if kind.startswith("vesk "):  # which joins the regions in a copy of them
            call = 'vesk.read(sys.argv[1], "AB/3D/NONE")'
    child = """if 1:
        import resource, sys, veskread, vesk
        for _ in range(3): %s
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        for _ in range(20): %s
        print((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / 20)""" % (call, call)
    out = subprocess.run([sys.executable, "-c", child, path], check=True, capture_output=True,
                         text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    # Faulting the results in again would take 256 pages a call.
    assert float(out.stdout) < 32, out.stdout


# -- one open per call where nothing can tell ------------------------------------

@pytest.mark.parametrize("call", [
    lambda p: veskread.listContents(p),
    lambda p: veskread.getVeskData(p, ("AB", "2D", "NONE"))])
def test_a_replaced_isVeskFile_is_still_asked(tmp_path, monkeypatch, call):
    from vesk_writer import spectrum_file
    path = spectrum_file([1.0, 2.0]).write(str(tmp_path / "s.vesk"))
    asked = []
    own = veskread.isVeskFile
    monkeypatch.setattr(veskread, "isVeskFile", lambda p: asked.append(p) or own(p))
    call(path)
    assert asked == [path]


# -- names decoded natively ---------------------------------------------------------

# ASCII is checked eight bytes at a time: a byte past 0x7f anywhere in a
# word or in the tail must still send the name to utf-8, then latin-1.
@pytest.mark.parametrize("raw", [
    b"", b"a", b"ab", b"abcdefg", b"abcdefgh", b"abcdefghi", b"x" * 31,
    b"\xe9", b"abcdefg\xe9", b"abcdefgh\xe9", b"\xe9bcdefghijklmnop",
    "caf\u00e9 8 bytes".encode("utf-8"), b"abcdefgh\xc3\xa9xyz"])
def test_trace_names_decode_as_the_module_decodes_text(tmp_path, raw):
    blocks = [stored_block([1.0, 2.0], name=raw), stored_block([3.0, 4.0], name=b"next")]
    data = store_block(blocks, block_size=8)
    path = file_3d(data, {**BASE_3D, "NPT": 2}, data_type=7).write(str(tmp_path / "n.vesk"))
    name, after = veskread.getVeskData(path, ("TRC", "3D", "NONE")).labels
    expected = veskread.decode_string(raw)
    # Equal strings could still differ in how they are stored; encoding shows it.
    assert (name, name.isascii(), name.encode("utf-8")) == (
        expected, expected.isascii(), expected.encode("utf-8"))
    assert after == "next"

"""Benchmark of `vesk` (the package and its command) against `veskread` beneath it.

Writes the workloads with the test writers into a temporary folder, then
prints, measured in one run: the time of vesk.read against veskread's call
for the same block; the command's start and its listing of a folder of
small files against listContents; each export format's rate (MB written a
second), CPU time and peak memory, against the command's start plus np.save
of the same values, and a JCAMP-DX compound file's headers against its
tables; and
`vesk images` of a folder against reading and writing the pictures in
Python; with --overhead, the per-call and per-file overhead alone: a read
of a small file of each kind, opening a file of hundreds of blocks, the
command's listing, JSON listing, params and diff of small files, vesk.find,
xarray's datasets of small files (the backend's dataset, its load's read,
xarray's rest), against the low-level calls beneath them; and where those
costs lie: a read's own listing and veskread's second parse, the walk's content check of each file, `import vesk` alone, the command's start (--help too)
against the same with numpy's import (and OpenBLAS's threads) that listing
no longer pays; with --regions (a part of --overhead), multiregion maps small
and large, whole and with unmeasured points, against veskread's read, and
the third parse (region_fills) of those with unmeasured points. Times
vary on a shared machine; the ratios are what count.

    PYTHONPATH=build/dev python3 bench/bench_vesk.py [--quick] [--repeat N] [--overhead|--regions]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)
import veskread  # noqa: E402
import vesk  # noqa: E402
from vesk._finding import is_vesk_file  # noqa: E402
from bench import child_env, image_map_file, race, series_file, spectrum_2d_file  # noqa: E402
from vesk_kinds import KINDS  # noqa: E402
from vesk_writer import VeskFile, float32_block, param_block, spectrum_file  # noqa: E402
from writer_images import add_image_block, image_block, picture  # noqa: E402
from writer_3d import (BASE_3D, TYPE_FLOAT, TYPE_INT, annotation_block, file_3d,  # noqa: E402
                       stored_block, store_block, table_subblock)

MiB = 1 << 20
KEY_3D = ("AB", "3D", "NONE")


def command(argv, cwd=None, first=None, env=None):
    """CPU seconds, wall seconds and peak memory (MiB) of `vesk ARGV` in a fresh
    process; `first`: Python code it runs before the command starts."""
    start = ["-m", "vesk"] if first is None else [
        "-c", first + "; import runpy; runpy.run_module('vesk', run_name='__main__')"]
    t0 = time.perf_counter()
    p = subprocess.Popen([sys.executable] + start + argv, env=env or child_env(), cwd=cwd,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = status
    wall = time.perf_counter() - t0
    return usage.ru_utime + usage.ru_stime, wall, usage.ru_maxrss / 1024


def best_command(argv, repeat, before=None, first=None, env=None):
    runs = []
    for _ in range(repeat):
        if before:
            before()
        runs.append(command(argv, first=first, env=env))
    return min(r[0] for r in runs), min(r[1] for r in runs), min(r[2] for r in runs)


def python_start(code, repeat):
    """CPU seconds of `python -c CODE`, the best of `repeat`."""
    best = float("inf")
    for _ in range(repeat):
        p = subprocess.Popen([sys.executable, "-c", code], env=child_env())
        _, _, usage = os.wait4(p.pid, 0)
        best = min(best, usage.ru_utime + usage.ru_stime)
    return best


def small_folder(d, count, rng):
    folder = os.path.join(d, "small")
    os.makedirs(folder)
    data = spectrum_file(rng.standard_normal(1024).astype(np.float32).tolist(),
                         params={"DAT": "10/12/2026", "TIM": "10:00:00"}).build()
    for k in range(count):
        with open(os.path.join(folder, "s%04d.vesk" % k), "wb") as f:
            f.write(data)
    return folder


def pictures_folder(d, files, per_file, rng):
    folder = os.path.join(d, "pics")
    os.makedirs(folder)
    for j in range(files):
        pics = [picture("image %d" % k, b"\x89PNG\r\n\x1a\n" + rng.bytes(20000),
                        extra_attributes=[("Pos. X:", 10.0 * k)]) for k in range(per_file)]
        vf = VeskFile()
        add_image_block(vf, image_block([{"images": pics}])[0])
        vf.write(os.path.join(folder, "p%02d.vesk" % j))
    return folder


def many_blocks_file(path, repeats=1):
    """A file of every 2D key of a spectrum there is (some of types that
    reading refuses), each data block listed `repeats` times in the directory."""
    vf = VeskFile()
    types = [t for t in range(1, 20) if t not in (8, 9, 13)]
    for data_type in types + [t + 32 for t in types]:  # and the second channels
        for sample_type in (1, 2, 3):
            for deriv in range(4):
                word = dict(data_type=data_type, sample_type=sample_type, deriv_type=deriv)
                vf.add(float32_block([float(i) for i in range(16)]), **word)
                vf.add(param_block({"NPT": 16, "FXV": 4000.0, "LXV": 400.0, "DXU": "WN",
                                    "MXY": 15.0, "MNY": 0.0}), param_type=1, **word)
                for _ in range(repeats - 1):
                    vf.add(b"", **word)
    return vf.write(path)


def read_parts(path, rep):
    """Where a small spectrum's vesk.read goes: its own listing of the file,
    then veskread's read of it again through the descriptor's name."""
    key = ("AB", "2D", "NONE")
    fd = os.open(path, os.O_RDONLY)
    try:
        def listed():
            with vesk.open(path) as f:
                return f.block(key)

        def catalogue():  # a catalogue of many files lists each, reading none
            with vesk.open(path) as f:
                return f.blocks
        alias = "/dev/fd/%d" % fd
        t_read, t_list, t_outline, t_alias, t_low, t_blocks, t_contents = race([
            lambda: vesk.read(path, key), listed, lambda: vesk._native.outline(fd),
            lambda: veskread.getVeskData(alias, key),
            lambda: veskread.getVeskData(path, key), catalogue,
            lambda: veskread.listContents(path)], rep)
    finally:
        os.close(fd)
    print("  spectrum, open + blocks %.1f; listContents %.1f; ratio %.2f" % (
        t_blocks * 1e6, t_contents * 1e6, t_blocks / t_contents))
    print("  spectrum, in parts: vesk.read %.1f = listing (open, outline, Block) %.1f [outline "
          "alone %.1f] + getVeskData by /dev/fd %.1f + the rest %.1f; veskread %.1f; ratios to "
          "it %.2f, %.2f, %.2f" % (
              t_read * 1e6, t_list * 1e6, t_outline * 1e6, t_alias * 1e6,
              (t_read - t_list - t_alias) * 1e6, t_low * 1e6, t_read / t_low, t_list / t_low,
              t_alias / t_low))


def per_file_parts(names, rep):
    """The walk's content check of each file (an open of its own) against the
    listing's open and outline of it."""
    some = names[:500]

    def outlines():
        for p in some:
            fd = os.open(p, os.O_RDONLY)
            vesk._native.outline(fd)
            os.close(fd)
    t_check, t_theirs, t_outline, t_low = race([
        lambda: [is_vesk_file(p) for p in some], lambda: [veskread.isVeskFile(p) for p in some],
        outlines, lambda: [veskread.listContents(p) for p in some]], rep)
    n = len(some)
    print("  %-26s check %5.1f (isVeskFile %5.1f); open + outline %5.1f; listContents %5.1f; "
          "ratios %4.2f %4.2f" % ("a folder's files, per file", t_check / n * 1e6,
                                  t_theirs / n * 1e6, t_outline / n * 1e6, t_low / n * 1e6,
                                  t_check / t_low, t_outline / t_low))


# What every command imported before listing and comparing came without them:
# numpy, veskread, the data objects, the export writers, the plot's drawing.
IMPORTED_BEFORE = ("import veskread, vesk._objects, vesk.export.arrays, vesk.export.jcamp, "
                   "vesk.export.netcdf, vesk.export.table, vesk._cli.plotting")


def command_start(path, rep):
    """The command's start, CPU and wall, against the same command with what
    it imported before (IMPORTED_BEFORE) imported first; python's start and
    numpy's import alone; and that command with OpenBLAS held to one thread
    (its threads spin once numpy is imported)."""
    bare = python_start("pass", rep)
    t_numpy = python_start("import numpy", rep)
    t_veskread = python_start("import veskread", rep)  # imports numpy
    t_vesk = python_start("import vesk", rep)
    print("  %-26s python alone %.3f s, importing numpy %.3f, veskread %.3f, vesk %.3f "
          "(vesk's own %.3f)" % ("start, CPU", bare, t_numpy, t_veskread, t_vesk, t_vesk - bare))
    for argv in (["--version"], ["--help"], ["ls", path], ["ls", "--json", path], ["params", path],
                 ["diff", path, path]):
        cpu, wall, _ = best_command(argv, rep)
        cpu_before, wall_before, _ = best_command(argv, rep, first=IMPORTED_BEFORE)
        print("  %-26s CPU %.3f s, wall %.3f; with its former imports %.3f, %.3f; "
              "ratios %.2f, %.2f" % (" ".join("FILE" if a == path else a for a in argv), cpu,
                                     wall, cpu_before, wall_before, cpu / cpu_before,
                                     wall / wall_before))
    one = dict(child_env(), OPENBLAS_NUM_THREADS="1")
    t_one = best_command(["ls", path], rep, first=IMPORTED_BEFORE, env=one)[0]
    cpu_before = best_command(["ls", path], rep, first=IMPORTED_BEFORE)[0]
    print("  %-26s %.3f s; OPENBLAS_NUM_THREADS=1 %.3f, ratio %.2f" % (
        "ls FILE, former imports", cpu_before, t_one, t_one / cpu_before))


REGION_COLUMNS = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT),
                  ("AryNY", TYPE_INT), ("AryType", TYPE_INT), ("Fileindex", TYPE_INT),
                  ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)]


def region_map_file(path, regions, per, npt, unmeasured=0, traces=0):
    """A multiregion map of `regions` regions of `per` points, each a stored
    spectrum of `npt` values, every `unmeasured`-th point naming none; or,
    with `traces`, that many traces of a value per point."""
    rows = []
    for k in range(regions * per):
        g, p = divmod(k, per)
        missing = unmeasured and k % unmeasured == unmeasured - 1
        rows.append((g + 1, 0, per if p == 0 else 0, 1 if p == 0 else 0, 0,
                     10**6 + k if missing else k + 1, p + 0.5 * g, float(g)))
    anno = annotation_block([table_subblock(REGION_COLUMNS, rows)])
    points = len(rows)
    if traces:
        blocks = [stored_block([t * 100.0 + i for i in range(points)], name="t%d" % t)
                  for t in range(traces)]
        vf = file_3d(store_block(blocks, block_size=4 * points), dict(BASE_3D, NPT=points),
                     data_type=7, anno=anno)
        return vf.write(path), ("TRC", "3D", "NONE")
    blocks = [stored_block([k * 10.0 + i for i in range(npt)], time=k * 1.5)
              for k in range(points)]
    vf = file_3d(store_block(blocks, entries=[(1, points)], block_size=4 * npt),
                 dict(BASE_3D, NPT=npt, DXU="WN"), anno=anno)
    return vf.write(path), ("AB", "3D", "NONE")


def multiregion(d, rep, quick=False):
    """vesk.read and open + f[key] of multiregion maps against veskread's read,
    small (3 regions of 4 points) and large (300 regions of 10 points), every
    point measured or every 7th not (read as NaN at the table's position),
    and maps of traces."""
    print("multiregion maps, per call (us):")
    sizes = [("small", 3, 4, 16), ("large", 300, 10, 64 if quick else 1024)]
    for size, regions, per, npt in sizes:
        for what, kw in (("whole", {}), ("unmeasured", {"unmeasured": 7}),
                         ("traces", {"traces": 3})):
            path, key = region_map_file(os.path.join(d, "r_%s_%s.vesk" % (size, what)), regions,
                                        per, npt, **kw)

            def opened(path=path, key=key):
                with vesk.open(path) as f:
                    return f[key].values
            t_read, t_open, t_low = race([lambda: vesk.read(path, key).values, opened,
                                          lambda: veskread.getVeskData(path, key)], rep)
            name = "%s %s (%d x %d)" % (size, what, regions * per, 3 if kw.get("traces") else npt)
            print("  %-30s vesk.read %8.1f  open+f[key] %8.1f  veskread %8.1f  ratio %5.2f" % (
                name, t_read * 1e6, t_open * 1e6, t_low * 1e6, t_read / t_low))
            if what == "unmeasured":  # its third parse: which points are filled, and where
                fd = os.open(path, os.O_RDONLY)
                try:
                    t_fills, t_outline = race([lambda: vesk._native.region_fills(fd, *key),
                                               lambda: vesk._native.outline(fd)], rep)
                finally:
                    os.close(fd)
                print("  %-30s region_fills %6.1f (%4.1f%% of vesk.read); the listing's "
                      "outline %6.1f" % ("", t_fills * 1e6, 100 * t_fills / t_read,
                                         t_outline * 1e6))


def jcamp_headers(d, rep, rng):
    """A JCAMP-DX compound file's time against the same without the value
    tables: what each spectrum's header records cost, by spectrum length."""
    import vesk.export.jcamp as jcamp
    whole = jcamp._write_table
    out = os.path.join(d, "headers.jdx")
    for points in (16, 256):
        obj = vesk.read(series_file(d, 2000, points, rng, name="h%d.vesk" % points)[0], KEY_3D)

        def written(obj=obj):
            jcamp._write_table = whole
            jcamp.write_spectra(obj, out)

        def headers(obj=obj):
            jcamp._write_table = lambda f, x, y: None
            jcamp.write_spectra(obj, out)
        try:
            t_all, t_head = race([written, headers], rep, budget=2.0)
        finally:
            jcamp._write_table = whole
        print("  %-30s %6.1f ms; its headers alone %6.1f ms (%2.0f%%), %4.1f us a spectrum" % (
            "jcamp, series 2,000 x %d" % points, t_all * 1e3, t_head * 1e3,
            100 * t_head / t_all, t_head / 2000 * 1e6))


def overhead(d, small, rep):
    """The per-call and per-file overhead of vesk over veskread, in one run."""
    print("per call, small files (us):")
    kinds = os.path.join(d, "kinds")
    os.makedirs(kinds)
    for kind, make in KINDS.items():
        vf, key = make()
        path = vf.write(os.path.join(kinds, kind.replace(" ", "_") + ".vesk"))

        def opened(path=path, key=key):
            with vesk.open(path) as f:
                return f[key].values
        t_read, t_open, t_low = race([lambda: vesk.read(path, key).values, opened,
                                      lambda: veskread.getVeskData(path, key)], rep)
        print("  %-22s vesk.read %6.1f  open+f[key] %6.1f  veskread %6.1f  ratio %5.2f" % (
            kind, t_read * 1e6, t_open * 1e6, t_low * 1e6, t_read / t_low))
    read_parts(os.path.join(kinds, "spectrum.vesk"), rep)
    multiregion(d, rep)
    for repeats in (1, 12):
        many = many_blocks_file(os.path.join(d, "many%d.vesk" % repeats), repeats)
        entries = len(veskread.listContents(many))

        def listed(many=many):
            with vesk.open(many) as f:
                return f.blocks

        def one(many=many):
            with vesk.open(many) as f:
                return f["AB/2D/NONE"]
        t_open, t_one, t_low = race([listed, one, lambda: veskread.listContents(many)], rep)
        print("  open, %d keys (%5d listed) %8.0f; and one block %8.0f; listContents %6.0f; "
              "ratio %5.1f" % (len(listed()), entries, t_open * 1e6, t_one * 1e6, t_low * 1e6,
                               t_open / t_low))

    names = [os.path.join(small, n) for n in sorted(os.listdir(small))]
    count = len(names)
    print("\nthe command on %d small files (CPU s of a fresh process; per file, us):" % count)
    t_start = best_command(["ls", names[0]], rep)[0]
    t_low = race([lambda: [veskread.listContents(p) for p in names]], rep)[0]
    for argv in (["ls", small], ["ls", "--json", small]):
        t = best_command(argv, rep)[0]
        print("  %-26s %.3f s; per file %6.1f; listContents %5.1f; ratio %5.1f" % (
            " ".join(argv[:-1]) + " FOLDER", t, (t - t_start) / count * 1e6, t_low / count * 1e6,
            (t - t_start) / t_low))
    for argv in (["params", names[0]], ["diff", names[0], names[1]], ["ls", names[0]]):
        print("  %-26s %.3f s" % (" ".join(argv[:1] + ["FILE"] * (len(argv) - 1)),
                                  best_command(argv, rep)[0]))
    per_file_parts(names, rep)
    command_start(names[0], rep)
    t_find, t_scan = race([lambda: vesk.find(small),
                           lambda: [veskread.isVeskFile(e.path) for e in os.scandir(small)]],
                          rep)
    print("  %-26s %.3f s; per file %5.1f; scandir + isVeskFile %5.1f; ratio %5.2f" % (
        "vesk.find FOLDER", t_find, t_find / count * 1e6, t_scan / count * 1e6, t_find / t_scan))

    try:
        import xarray as xr
        from vesk.xarray_backend import VeskBackendEntrypoint
    except ImportError:
        return
    engine = VeskBackendEntrypoint  # installed or not
    print("\nxarray on small files (us per file):")
    some = names[:300]
    group = "AB/2D/NONE"

    def datasets():
        for p in some[:50]:
            xr.open_dataset(p, engine=engine, group=group).load()

    def reads():
        for p in some[:50]:
            vesk.read(p, group).values
    from vesk import xarray_backend

    def opened():
        for p in some[:50]:
            xarray_backend.open_block_dataset(p, group)

    with vesk.open(some[0]) as f:
        block = f.block(group)

    def loads():  # the lazy array's read of its values
        for _ in range(50):
            xarray_backend._whole_block(some[0], block)
    t_ds, t_read, t_opened, t_load = race([datasets, reads, opened, loads], rep)
    print("  %-26s %7.1f; vesk.read %6.1f; ratio %5.1f" % (
        "open_dataset + load", t_ds / 50 * 1e6, t_read / 50 * 1e6, t_ds / t_read))
    print("  %-26s %7.1f (its Dataset built by xarray); its load's read %6.1f, ratio to "
          "vesk.read %4.2f; xarray's own rest %6.1f" % (
              "the backend's dataset", t_opened / 50 * 1e6, t_load / 50 * 1e6, t_load / t_read,
              (t_ds - t_opened - t_load) / 50 * 1e6))

    def mf():
        with xr.open_mfdataset(some, engine=engine, group=group, combine="nested",
                               concat_dim="file") as ds:
            ds.load()
    t_mf = race([mf], max(1, rep // 2))[0]
    print("  %-26s %7.1f; vesk.read %6.1f; ratio %5.1f" % (
        "open_mfdataset of %d" % len(some), t_mf / len(some) * 1e6, t_read / 50 * 1e6,
        t_mf / len(some) / (t_read / 50)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5, help="rounds per measurement (best is kept)")
    ap.add_argument("--quick", action="store_true", help="small sizes only, for a smoke run")
    ap.add_argument("--overhead", action="store_true",
                    help="only the per-call and per-file overhead, on small files")
    ap.add_argument("--regions", action="store_true",
                    help="only multiregion maps, small and large, against veskread")
    args = ap.parse_args()
    rep = args.repeat
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as d:
        if args.regions:
            warnings.simplefilter("ignore", vesk.VeskWarning)  # of the unmeasured points
            multiregion(d, rep, args.quick)
            return
        if args.overhead:
            warnings.simplefilter("ignore", vesk.VeskWarning)  # of the damaged kinds' files
            overhead(d, small_folder(d, 500 if args.quick else 3000, rng), rep)
            return
        print("vesk.read against veskread.getVeskData (ms):")
        small = small_folder(d, 200 if args.quick else 2000, rng)
        one = os.path.join(small, "s0000.vesk")
        spectrum, _ = spectrum_2d_file(d, 65536, rng)
        rows = [("small spectrum 1,024", one, ("AB", "2D", "NONE")),
                ("spectrum 64k, 5x60 params", spectrum, ("AB", "2D", "NONE")),
                ("series 500 x 1,024", series_file(d, 500, 1024, rng, name="s.vesk")[0],
                 KEY_3D)]
        mib = 16 if args.quick else 64
        side = int((mib * MiB / 4096) ** 0.5)
        big_map = image_map_file(d, "map.vesk", side, mib * MiB // 4096 // side, 1024, rng)[0]
        rows.append(("image map %d MiB" % mib, big_map, KEY_3D))
        for name, path, key in rows:
            t, t_low = race([lambda: vesk.read(path, key).values,
                             lambda: veskread.getVeskData(path, key)], rep)
            print("  %-30s vesk %9.3f  veskread %9.3f  ratio %5.2f" % (
                name, t * 1e3, t_low * 1e3, t / t_low))

        print("\nthe command's start and listing (CPU s of a fresh process):")
        bare = python_start("import numpy", rep)
        start, start_wall, _ = best_command(["--version"], rep)
        print("  %-30s %.3f; python importing numpy %.3f; ratio %.2f" % (
            "vesk --version", start, bare, start / bare))
        count = len(os.listdir(small))
        t_one = best_command(["ls", one], rep)[0]
        t_all = best_command(["ls", small], rep)[0]
        names = [os.path.join(small, n) for n in sorted(os.listdir(small))]
        t_low = race([lambda: [veskread.listContents(p) for p in names]], rep)[0]
        print("  %-30s %.3f; per file %.1f us; listContents %.1f us; ratio %.2f" % (
            "ls of %d small files" % count, t_all, (t_all - t_one) / count * 1e6,
            t_low / count * 1e6, (t_all - t_one) / t_low))

        print("\nexport (best of %d; the limit: the command's start, then np.save of the same "
              "values):" % rep)
        series = series_file(d, 4096 if args.quick else 16384, 1024, rng, name="long.vesk")[0]
        out = os.path.join(d, "out")
        for name, path in [("image map %d MiB" % mib, big_map), ("series %d MiB" % mib, series)]:
            values = veskread.getVeskData(path, KEY_3D).spectra

            def save():
                np.save(os.path.join(d, "limit.npy"), values)
            t_limit = race([save], rep)[0]
            for fmt, extra in [("npy", []), ("netcdf", []), ("csv", []),
                               ("csv", ["--layout", "wide"]), ("jcamp", [])]:
                cpu, wall, peak = best_command(
                    ["export", "-f", fmt, "-o", out, "--force", path] + extra,
                    1 if fmt in ("csv", "jcamp") else rep)
                size = sum(os.path.getsize(os.path.join(out, n)) for n in os.listdir(out))
                shutil.rmtree(out)
                print("  %-18s %-10s %7.1f MB/s  CPU %6.2f s  peak %6.0f MiB  /limit %6.1f" % (
                    name, " ".join([fmt] + extra[1:]), size / wall / 1e6, cpu, peak,
                    wall / (start_wall + t_limit)))

        jcamp_headers(d, rep, rng)

        print("\nvesk images of a folder:")
        pics = pictures_folder(d, 4 if args.quick else 20, 50, rng)
        files = sorted(os.path.join(pics, n) for n in os.listdir(pics))

        def by_hand():
            for k, p in enumerate(files):
                for j, im in enumerate(veskread.getVisImages(p)):
                    with open(os.path.join(out, "%d_%d.png" % (k, j)), "wb") as f:
                        f.write(im["image"])
        os.makedirs(out)
        t_low = race([by_hand], max(2, rep // 2))[0]
        cpu, wall, _ = best_command(["images", "-o", out, "--force", pics], rep)
        print("  %-30s wall %.2f s (CPU %.2f s); reading and writing them in Python %.2f s; "
              "ratio %.2f" % ("%d files of 50 pictures" % len(files), wall, cpu, t_low,
                              wall / t_low))


if __name__ == "__main__":
    main()

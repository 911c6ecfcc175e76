"""Benchmark of veskread against the bulk-read limit and a pure-Python reader.

Writes every workload with the test writers into a temporary folder, then
prints per workload the best-of-N wall time (warm cache) of veskread, of the
limit (one np.fromfile of the same float32 count from the same file, or what
the row says) and of the straightforward pure-Python reader in baseline.py,
with both ratios; then the peak memory of fresh processes reading 3D blocks,
image maps of growing size, loops in a process that does nothing else, two
threads against one, and a summary line.
Times vary on a shared machine; ratios measured in one run are what count.

    PYTHONPATH=build/dev python3 bench/bench.py [--quick] [--repeat N]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)
import baseline  # noqa: E402
import veskread  # noqa: E402
from vesk_writer import VeskFile, float32_block, param_block  # noqa: E402
from writer_3d import (BASE_3D, INFO_SIZE, TYPE_FLOAT, TYPE_INT, annotation_block,  # noqa: E402
                       file_3d, store_block, table_subblock)
from writer_images import add_image_block, image_block, picture  # noqa: E402

MiB = 1 << 20


# -- workloads -----------------------------------------------------------------

def stored_blocks(values, info_size=INFO_SIZE, times=None, names=None):
    """Stored blocks as one uint8 array: each row the float32 values, then the info part."""
    n, npt = values.shape
    rows = np.zeros((n, 4 * npt + info_size), dtype=np.uint8)
    rows[:, :4 * npt] = values.astype("<f4").view(np.uint8).reshape(n, 4 * npt)
    if times is not None:
        rows[:, 4 * npt + 136:4 * npt + 144] = np.asarray(times, "<f8").view(np.uint8).reshape(n, 8)
    for k, name in enumerate(names or ()):
        raw = name.encode()
        rows[k, 4 * npt + 152:4 * npt + 152 + len(raw)] = np.frombuffer(raw, np.uint8)
    return rows


def write_3d(path, rows, block_size, params, anno=None, data_type=4, stored=None):
    """A file whose 3D block holds `rows` (from stored_blocks) as one run."""
    n = len(rows)
    head = store_block([], entries=[(0, n - 1)], block_size=block_size,
                       stored_blocks=n if stored is None else stored)
    vf = file_3d(head, params, anno=anno, data_type=data_type)
    vf.blocks[-1]["size_words"] = (len(head) + rows.nbytes) // 4
    data_at = None
    with open(path, "wb") as f:
        f.write(vf.build())
        data_at = f.tell()
        for k in range(0, n, 4096):  # keeps the writer's peak memory small
            rows[k:k + 4096].tofile(f)
    assert vf.offset_of(len(vf.blocks) - 1) + len(head) == data_at
    return path, data_at


def image_map_file(d, name, npx, npy, npt, rng):
    values = rng.standard_normal((npx * npy, npt), dtype=np.float32)
    params = {**BASE_3D, "NPT": npt, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0,
              "NPX": npx, "NPY": npy}
    path, at = write_3d(os.path.join(d, name), stored_blocks(values), 4 * npt, params)
    return path, at, npx * npy * npt


def trace_map_file(d, npx, npy, ntraces, rng):
    values = rng.standard_normal((ntraces, npx * npy), dtype=np.float32)
    params = {**BASE_3D, "NPT": npx * npy, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0,
              "NPX": npx, "NPY": npy}
    rows = stored_blocks(values, names=["trace %d" % k for k in range(ntraces)])
    path, at = write_3d(os.path.join(d, "tracemap.vesk"), rows, 4 * npx * npy, params,
                        data_type=7)
    return path, at, values.size


def series_file(d, n, npt, rng, traces=False, name=None):
    values = rng.standard_normal((n, npt), dtype=np.float32)
    if traces:
        rows = stored_blocks(values, names=["trace %d" % k for k in range(n)])
    else:
        rows = stored_blocks(values, times=np.arange(n) * 0.5)
    params = {**BASE_3D, "NPT": npt}
    name = name or ("trc_series.vesk" if traces else "series.vesk")
    path, at = write_3d(os.path.join(d, name), rows, 4 * npt, params,
                        data_type=7 if traces else 4)
    return path, at, values.size


def multiregion_file(d, regions, points, npt, rng):
    """`regions` grid regions of `points` points each, spectra numbered from 0."""
    n = regions * points
    values = rng.standard_normal((n, npt), dtype=np.float32)
    rows = stored_blocks(values, times=np.arange(n) * 0.25)
    cols = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
            ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)]
    nx = 20
    table = [(g + 1, 0, nx, points // nx, 0, g * points + p, float(p % nx), float(p // nx))
             for g in range(regions) for p in range(points)]
    anno = annotation_block([table_subblock(cols, table)])
    path, at = write_3d(os.path.join(d, "multiregion.vesk"), rows, 4 * npt,
                        {**BASE_3D, "NPT": npt}, anno=anno)
    return path, at, values.size


def spectrum_2d_file(d, npt, rng):
    def records(tag, n=60):
        return {"%s%02d" % (tag, i): (i if i % 3 == 0 else float(i) if i % 3 == 1
                                      else "text %d" % i) for i in range(n)}

    values = rng.standard_normal(npt).astype(np.float32)
    vf = VeskFile()
    data = vf.add(float32_block(values.tolist()), data_type=4, sample_type=3)
    base = {"NPT": npt, "FXV": 8000.0, "LXV": 400.0, "MXY": 5.0, "MNY": -5.0}
    vf.add(param_block({**base, **records("D", 55)}), data_type=4, sample_type=3, param_type=1)
    for ptype, tag in [(3, "A"), (2, "I"), (6, "O"), (4, "F")]:
        vf.add(param_block(records(tag)), param_type=ptype)
    path = vf.write(os.path.join(d, "spectrum.vesk"))
    return path, vf.offset_of(data)


def listing_file(d, blocks):
    vf = VeskFile()
    for k in range(blocks):
        vf.add(b"\0" * 8, data_type=1 + k % 19, sample_type=1 + k % 3, deriv_type=k % 4,
               extend_type=10 if k % 5 == 0 else 0, param_type=1 if k % 7 == 0 else 0)
    return vf.write(os.path.join(d, "listing.vesk"))


def images_file(d, count, size, rng):
    pics = [picture("image %d" % k, b"BM" + rng.bytes(size - 2),
                    extra_attributes=[("Pos. X:", 10.0 * k), ("Pos. Y:", 2.0 * k)])
            for k in range(count)]
    payload, _ = image_block([{"images": pics}])
    vf = VeskFile()
    add_image_block(vf, payload)
    path = vf.write(os.path.join(d, "images.vesk"))
    # Where each image's bytes lie, for the limit: found by a reference read.
    images = baseline.get_vis_images(path)
    with open(path, "rb") as f:
        raw = f.read()
    spans = [(raw.index(im["image"]), len(im["image"])) for im in images]
    return path, spans


# -- timing --------------------------------------------------------------------

def best(fn, repeat, budget=0.25):
    """Best time of one call over `repeat` rounds; each round loops until ~budget/repeat."""
    fn()  # warm-up
    t0 = time.perf_counter()
    fn()
    one = max(time.perf_counter() - t0, 1e-7)
    number = max(1, int(budget / repeat / one))
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t0) / number)
    return min(times)


def race(fns, repeat, budget=0.4):
    """Best time of one call of each of `fns`, measured in alternating rounds so
    that a busy spell of the machine falls on all of them alike."""
    per_call = []
    for fn in fns:
        fn()  # warm-up
        t0 = time.perf_counter()
        fn()
        per_call.append(max(time.perf_counter() - t0, 1e-7))
    numbers = [max(1, int(budget / len(fns) / repeat / t)) for t in per_call]
    best_times = [float("inf")] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            for _ in range(numbers[k]):
                fn()
            best_times[k] = min(best_times[k], (time.perf_counter() - t0) / numbers[k])
    return best_times


def fromfile_limit(path, at, count):
    def limit():
        with open(path, "rb") as f:
            f.seek(at)
            return np.fromfile(f, dtype=np.float32, count=count)
    return limit


def fmt_ms(t):
    return "%9.3f" % (t * 1e3)


ROWS = []
TABLE = []  # the same figures as Markdown rows


def report(name, t_vesk, t_limit, t_base, target=None):
    ratio = t_vesk / t_limit
    speedup = t_base / t_vesk if t_base else None
    ROWS.append((name, ratio, speedup, target))
    TABLE.append("| %s | %.2f | %.2f | %.2f | %.2f x | %s | %.1f x |" % (
        name, t_vesk * 1e3, t_limit * 1e3, t_base * 1e3, ratio,
        "<= %.1f x" % target if target else "-", speedup))
    print("%-34s %s %s %s %7.2fx %8s" % (
        name, fmt_ms(t_vesk), fmt_ms(t_limit), fmt_ms(t_base) if t_base else "        -",
        ratio, "%.1fx" % speedup if speedup else "-"))


# -- peak memory ---------------------------------------------------------------

CHILD = r"""
import sys, numpy as np, veskread
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
path, key = sys.argv[1], tuple(sys.argv[2:5])
with open('/proc/self/clear_refs', 'w') as f:  # peak := current
    f.write('5')
before = status('VmRSS:')
d = veskread.getVeskData(path, key)
peak = status('VmHWM:') - before
arrays = [v for v in vars(d).values() if isinstance(v, np.ndarray)]
for r in getattr(d, 'regions', []) or []:
    arrays += [v for v in vars(r).values() if isinstance(v, np.ndarray)]
print(peak, sum(a.nbytes for a in arrays))
"""


def child_env():
    """The environment of a child process that imports this veskread."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(
        p for p in [os.path.dirname(veskread.__file__), os.environ.get("PYTHONPATH")] if p))


def peak_memory(path, key):
    out = subprocess.run([sys.executable, "-c", CHILD, path, *key], env=child_env(), check=True,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


# A loop in a process that does nothing else, as a script reading one file
# after another runs: there the allocator's thresholds are the call's own doing.
LOOP_CHILD = """if 1:
    import sys, time
    import numpy as np
    import veskread
    path = sys.argv[1]
    call = lambda: %s
    call()
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(20):
            call()
        best = min(best, (time.perf_counter() - t0) / 20)
    print(best)"""


def fresh_loop(expr, path):
    """Best time of one call of `expr` (path in `path`) looped in a fresh process."""
    out = subprocess.run([sys.executable, "-c", LOOP_CHILD % expr, path], env=child_env(),
                         check=True, capture_output=True, text=True).stdout
    return float(out)


def fromfile_expr(at, count):
    return ("(lambda f: (f.seek(%d), np.fromfile(f, dtype=np.float32, count=%d))[1])"
            "(open(path, 'rb'))" % (at, count))


# -- main ----------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7, help="rounds per measurement (best is kept)")
    ap.add_argument("--quick", action="store_true", help="small sizes only, for a smoke run")
    ap.add_argument("--markdown", action="store_true", help="also print the table as Markdown")
    args = ap.parse_args()
    rep = args.repeat
    rng = np.random.default_rng(0)
    checks = []  # whether veskread and the Python reader agree, per workload

    with tempfile.TemporaryDirectory() as d:
        print("%-34s %9s %9s %9s %8s %8s" % ("workload (times in ms)", "veskread", "limit",
                                              "python", "/limit", "vs py"))

        # 2D spectrum; the limit is np.fromfile + np.linspace of the same count.
        npt = 65536
        path, at = spectrum_2d_file(d, npt, rng)
        key = ("AB", "2D", "NONE")

        def limit_2d():
            with open(path, "rb") as f:
                f.seek(at)
                return np.fromfile(f, dtype=np.float32, count=npt), np.linspace(8000., 400., npt)
        r = veskread.getVeskData(path, key)
        checks.append(np.array_equal(r.y, baseline.get_data(path, key)[1]))
        report("2D spectrum 64k, 5x60 params",
               *race([lambda: veskread.getVeskData(path, key), limit_2d], rep),
               best(lambda: baseline.get_data(path, key), rep), 2.0)

        # listContents; the limit reads the header and the directory bytes.
        path = listing_file(d, 1200)
        checks.append(veskread.listContents(path) == baseline.list_contents(path))

        def limit_list():
            with open(path, "rb") as f:
                return f.read(24 + 12 * 1200)
        report("listContents 1,200 blocks",
               *race([lambda: veskread.listContents(path), limit_list], rep),
               best(lambda: baseline.list_contents(path), rep))

        def data_row(name, path, at, count, key, target, mem=True):
            r = veskread.getVeskData(path, key)
            b = baseline.get_data(path, key)
            got = getattr(r, "spectra", None)
            if got is None:
                got = r.traces
            # image maps return (mapX, mapY, values[, labels]), series (values, extra)
            checks.append(np.array_equal(got, b[2] if hasattr(r, "mapX") else b[0]))
            t, t_limit = race([lambda: veskread.getVeskData(path, key),
                               fromfile_limit(path, at, count)], rep)
            report(name, t, t_limit,
                   best(lambda: baseline.get_data(path, key), max(2, rep // 3)), target)
            if mem:
                MEMORY.append((name, path, key))
            return t

        MEMORY = []
        n_series = 1000 if args.quick else 5000
        data_row("time-resolved %d x 1,024" % n_series, *series_file(d, n_series, 1024, rng),
                 ("AB", "3D", "NONE"), 1.3)
        data_row("time-resolved traces 2,000 x 1,024", *series_file(d, 2000, 1024, rng, True),
                 ("TRC", "3D", "NONE"), 1.3)
        # Spectra shorter than their blocks' info parts: the file holds more than
        # twice the bytes the limit reads, so no reader comes near it.
        data_row("short spectra 16,384 x 128",
                 *series_file(d, 16384, 128, rng, name="short.vesk"), ("AB", "3D", "NONE"),
                 None, mem=False)
        data_row("trace map 64x64, 1,024 traces", *trace_map_file(d, 64, 64, 1024, rng),
                 ("TRC", "3D", "NONE"), 1.3)
        path_mr, at_mr, count_mr = multiregion_file(d, 4, 500, 1024, rng)
        r = veskread.getVeskData(path_mr, ("AB", "3D", "NONE"))
        b = baseline.get_data(path_mr, ("AB", "3D", "NONE"))
        checks.append(all(np.array_equal(x.spectra, y[0]) for x, y in zip(r.regions, b)))
        report("multiregion 4 x 500 points x 1,024",
               *race([lambda: veskread.getVeskData(path_mr, ("AB", "3D", "NONE")),
                      fromfile_limit(path_mr, at_mr, count_mr)], rep),
               best(lambda: baseline.get_data(path_mr, ("AB", "3D", "NONE")), max(2, rep // 3)),
               1.5)
        MEMORY.append(("multiregion 4 x 500 points x 1,024", path_mr, ("AB", "3D", "NONE")))

        sizes = [4, 16] if args.quick else [4, 16, 64, 256]
        map_paths = {}
        for mib in sizes:
            # As many spectra as points would make every block an image plane too
            # (a layout that reads nothing), so the 4 MiB map has longer spectra.
            npt = 2048 if mib == 4 else 1024
            npx = int(round((mib * MiB / 4 / npt) ** 0.5))
            npy = mib * MiB // 4 // npt // npx
            path, at, count = image_map_file(d, "map%d.vesk" % mib, npx, npy, npt, rng)
            map_paths[mib] = path
            data_row("image map %dx%d x %d (%d MiB)" % (npx, npy, npt, mib), path, at, count,
                     ("AB", "3D", "NONE"), 1.1, mem=mib <= 64)
            if mib > 64:
                os.unlink(path)

        # The same kind of map stored as planes: every plane goes across all
        # the points' spectra, a transposition the limit does not do.
        npx = npy = 16 if args.quick else 64
        values = rng.standard_normal((1000, npx * npy), dtype=np.float32)
        params = {**BASE_3D, "NPT": 1000, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0,
                  "NPX": npx, "NPY": npy}
        path, at = write_3d(os.path.join(d, "planes.vesk"), stored_blocks(values), 4 * npx * npy,
                            params)
        checks.append(np.array_equal(
            veskread.getVeskData(path, ("AB", "3D", "NONE")).spectra.reshape(npx * npy, -1),
            values.T))
        report("image map %dx%d x 1,000 as planes" % (npx, npy),
               *race([lambda: veskread.getVeskData(path, ("AB", "3D", "NONE")),
                      fromfile_limit(path, at, values.size)], rep),
               best(lambda: baseline.get_data(path, ("AB", "3D", "NONE")), max(2, rep // 3)))

        # Visible images; the limit reads each image's bytes with one read.
        path, spans = images_file(d, 20, MiB, rng)
        images_path = path
        checks.append([im["image"] for im in veskread.getVisImages(path)]
                      == [im["image"] for im in baseline.get_vis_images(path)])

        def limit_images():
            with open(path, "rb") as f:
                out = []
                for at, n in spans:
                    f.seek(at)
                    out.append(f.read(n))
                return out
        report("visible images 20 x 1 MiB",
               *race([lambda: veskread.getVisImages(path), limit_images], rep),
               best(lambda: baseline.get_vis_images(path), rep), 1.2)

        print()
        print("peak memory of a fresh process, above the returned arrays (MiB):")
        worst = 0.0
        for name, path, key in MEMORY:
            peak, arrays = peak_memory(path, key)
            extra = (peak - arrays) / MiB
            worst = max(worst, extra)
            print("  %-34s peak %8.1f  arrays %8.1f  extra %6.1f" % (
                name, peak / MiB, arrays / MiB, extra))

        print()
        print("a loop in a fresh process that does nothing else (ms per call):")
        images_expr = "[(f.seek(a), f.read(n)) for f in [open(path, 'rb')] for a, n in %r]" % spans
        for name, path, expr, limit in [
                ("multiregion 4 x 500 points x 1,024", path_mr,
                 "veskread.getVeskData(path, ('AB', '3D', 'NONE'))",
                 fromfile_expr(at_mr, count_mr)),
                ("visible images 20 x 1 MiB", images_path, "veskread.getVisImages(path)",
                 images_expr)]:
            t, t_limit = fresh_loop(expr, path), fresh_loop(limit, path)
            print("  %-34s veskread %7.2f  limit %7.2f  ratio %.2f" % (
                name, t * 1e3, t_limit * 1e3, t / t_limit))

        # Two threads reading one file each against one thread reading both.
        mib = 64 if not args.quick else 16
        a = map_paths[mib]
        b = a + ".copy"
        with open(a, "rb") as src, open(b, "wb") as dst:
            dst.write(src.read())
        key = ("AB", "3D", "NONE")

        def one_thread():
            veskread.getVeskData(a, key)
            veskread.getVeskData(b, key)

        def two_threads():
            ts = [threading.Thread(target=veskread.getVeskData, args=(p, key)) for p in (a, b)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()
        t1, t2 = race([one_thread, two_threads], rep)
        print()
        print("two %d MiB image maps: one thread %.1f ms, two threads %.1f ms, ratio %.2f "
              "(0.5 = full overlap on 2 cores)" % (mib, t1 * 1e3, t2 * 1e3, t2 / t1))

    timed = [(n, ratio, target) for n, ratio, _, target in ROWS if target]
    missed = ["%s %.2fx > %.1fx" % (n, ratio, target) for n, ratio, target in timed
              if ratio > target]
    listing = next(s for n, _, s, _ in ROWS if n.startswith("listContents"))
    if listing < 30:
        missed.append("listContents %.1fx < 30x the Python reader" % listing)
    if worst > 8:
        missed.append("peak memory %.1f MiB > 8 MiB above the arrays" % worst)
    if args.markdown:
        print()
        print("| workload | veskread ms | limit ms | Python ms | veskread / limit | target |"
              " faster than Python |")
        print("|---|---|---|---|---|---|---|")
        print("\n".join(TABLE))
    print()
    print("summary: %d of %d ratio targets met; listContents %.1fx faster than the Python "
          "reader; peak memory at most %.1f MiB above the arrays; two threads / one thread "
          "%.2f; results agree with the Python reader: %s; %s" % (
              len([n for n, ratio, target in timed if ratio <= target]), len(timed), listing, worst, t2 / t1, all(checks),
              "missed: " + "; ".join(missed) if missed else "every target met"))

if __name__ == "__main__":
    main()

"""Measures each class of hostile file at full size: file size, CPU time and
the peak memory the call adds, for the module on PYTHONPATH or for the builds
named with --build (a directory holding the module), side by side.

    python bench/measure_hostile.py [--build DIR ...] [--timeout S] [--limit GIB] [CASE ...]

Each call runs in a child under an address-space limit and a timer; a call
that runs past the timer is reported as such.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests")
sys.path.insert(0, TESTS)

import hostile_files as hf  # noqa: E402

CASES = {
    "1-image-chain": lambda: hf.counting_image_chain(levels=40),
    "2-overlapping-regions": lambda: hf.overlapping_regions(rows=4000, npt=64),
    "3-zero-stride": lambda: hf.zero_stride(npt=4000),
    "4-shared-image": lambda: hf.shared_image(keys=3000, image_len=700_000),
    "5-text-before-row": lambda: hf.text_before_row(rows=4096, tail=500_000),
    "6-2d-npt": lambda: hf.huge_npt_2d(npt=300_000_000),
    "6-aborted-map": lambda: hf.aborted_image_map(npx=3000, npy=3000, npt=16),
    "7-shared-table": lambda: hf.shared_table(entries=1000, rows=250_000),
    "8-device": None,
}


def run(build, path, call, timeout, limit):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    if build:
        env["PYTHONPATH"] = build
    try:
        p = subprocess.run([sys.executable, os.path.join(TESTS, "bounded_call.py"), path,
                            json.dumps(call), str(limit)], capture_output=True, text=True,
                           timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return "killed after %d s" % timeout
    if p.returncode != 0:
        return "child failed: " + p.stderr.strip().splitlines()[-1][:80]
    r = json.loads(p.stdout.strip().splitlines()[-1])
    what = r["outcome"] if r["outcome"] != "ok" else "returned"
    return "%s, %.2f s CPU, +%.1f MB peak" % (what, r["cpu"], r["added_peak"] / 1e6)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", action="append", default=[])
    ap.add_argument("--timeout", type=float, default=60)
    ap.add_argument("--limit", type=float, default=4, help="address-space limit, GiB")
    ap.add_argument("cases", nargs="*")
    a = ap.parse_args()
    builds = a.build or [None]
    with tempfile.TemporaryDirectory() as tmp:
        for name, make in CASES.items():
            if a.cases and name not in a.cases:
                continue
            if make is None:
                path, call, size = "/dev/urandom", ["getVisImages"], 0
            else:
                data, call = make()
                path, size = os.path.join(tmp, name + ".vesk"), len(data)
                with open(path, "wb") as f:
                    f.write(data)
            for b in builds:
                print("%-22s %9d B  [%s] %s" % (name, size, b or "PYTHONPATH",
                                                run(b, path, call, a.timeout,
                                                    int(a.limit * (1 << 30)))), flush=True)


if __name__ == "__main__":
    main()

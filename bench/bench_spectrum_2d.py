"""Time getVeskData on a 64k-point spectrum with five parameter blocks of ~60 records.

Prints the mean time per call and, for scale, the time of one np.fromfile of
the same values from the same (cached) file. Run after installing veskread.
"""
import os
import sys
import tempfile
import timeit

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import veskread  # noqa: E402
from vesk_writer import VeskFile, float32_block, param_block  # noqa: E402

NPT = 65536


def records(tag, n=60):
    out = {"%s%02d" % (tag, i): (i if i % 3 == 0 else float(i) if i % 3 == 1 else "text %d" % i)
           for i in range(n)}
    return out


def main():
    values = np.random.default_rng(0).standard_normal(NPT).astype(np.float32)
    vf = VeskFile()
    data = vf.add(float32_block(values.tolist()), data_type=4, sample_type=3)
    base = {"NPT": NPT, "FXV": 8000.0, "LXV": 400.0, "MXY": 5.0, "MNY": -5.0}
    vf.add(param_block({**base, **records("D", 55)}), data_type=4, sample_type=3, param_type=1)
    for ptype, tag in [(3, "A"), (2, "I"), (6, "O"), (4, "F")]:
        vf.add(param_block(records(tag)), param_type=ptype)
    with tempfile.TemporaryDirectory() as d:
        path = vf.write(os.path.join(d, "bench.vesk"))
        offset = vf.offset_of(data)
        key = ("AB", "2D", "NONE")
        veskread.getVeskData(path, key)  # warm the cache

        def fromfile():
            with open(path, "rb") as f:
                f.seek(offset)
                return np.fromfile(f, dtype=np.float32, count=NPT)

        n = 2000
        t_read = min(timeit.repeat(lambda: veskread.getVeskData(path, key), number=n, repeat=3)) / n
        t_np = min(timeit.repeat(fromfile, number=n, repeat=3)) / n
    print("getVeskData 2D, %d points, 5 parameter blocks: %.1f us per call" % (NPT, t_read * 1e6))
    print("np.fromfile of the same values:              %.1f us per call" % (t_np * 1e6))
    print("ratio: %.2f" % (t_read / t_np))


if __name__ == "__main__":
    main()

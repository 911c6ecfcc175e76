"""Time getVeskData on an image map of 128 x 128 spectra of 1024 points.

Prints, measured in one run with a warm cache, the time of getVeskData and of
one np.fromfile of the same number of float32 values from the same file, and
their ratio. Run with veskread importable (e.g. PYTHONPATH=build/dev).
"""
import os
import sys
import tempfile
import timeit

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import veskread  # noqa: E402
from writer_3d import BASE_3D, INFO_SIZE, file_3d, store_block  # noqa: E402

NPX = NPY = 128
NPT = 1024


def main():
    rng = np.random.default_rng(0)
    values = rng.standard_normal((NPY * NPX, NPT)).astype("<f4")
    info = np.zeros((NPY * NPX, INFO_SIZE), dtype=np.uint8)
    blocks = np.hstack([values.view(np.uint8), info])
    data = store_block([], entries=[(0, NPX * NPY - 1)], block_size=4 * NPT,
                       stored_blocks=NPX * NPY) + blocks.tobytes()
    params = {**BASE_3D, "NPT": NPT, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0,
              "NPX": NPX, "NPY": NPY}
    key = ("AB", "3D", "NONE")
    with tempfile.TemporaryDirectory() as d:
        vf = file_3d(data, params)
        path = vf.write(os.path.join(d, "map.vesk"))
        first = vf.offset_of(len(vf.blocks) - 1) + 32
        result = veskread.getVeskData(path, key)  # warm the cache, check the data
        assert np.array_equal(result.spectra.reshape(-1, NPT), values)

        def fromfile():
            with open(path, "rb") as f:
                f.seek(first)
                return np.fromfile(f, dtype=np.float32, count=NPX * NPY * NPT)

        n = 5
        t_read = min(timeit.repeat(lambda: veskread.getVeskData(path, key), number=n,
                                   repeat=5)) / n
        t_np = min(timeit.repeat(fromfile, number=n, repeat=5)) / n
    print("getVeskData image map %dx%d x %d points: %.2f ms" % (NPX, NPY, NPT, t_read * 1e3))
    print("np.fromfile of the same %d values:        %.2f ms" % (NPX * NPY * NPT, t_np * 1e3))
    print("ratio: %.2f" % (t_read / t_np))


if __name__ == "__main__":
    main()

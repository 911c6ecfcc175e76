"""Bulk reads release the interpreter lock; concurrent calls must not interfere."""
import threading

import numpy as np

import veskread
from vesk_writer import spectrum_file
from writer_3d import BASE_3D, file_3d, store_block, stored_block


def test_concurrent_reads_give_identical_results(write_file):
    rng = np.random.default_rng(5)
    spectrum = rng.standard_normal(20000).astype(np.float32)
    path_2d = write_file(spectrum_file(spectrum.tolist()))
    npx, npy, npt = 12, 10, 256
    cube = rng.standard_normal((npy, npx, npt)).astype(np.float32)
    blocks = [stored_block(cube[r, c].tolist()) for r in range(npy) for c in range(npx)]
    params = {**BASE_3D, "NPT": npt, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0,
              "NPX": npx, "NPY": npy}
    path_3d = write_file(file_3d(store_block(blocks, block_size=4 * npt), params))

    failures = []

    def worker():
        try:
            for _ in range(15):
                s = veskread.getVeskData(path_2d, ("AB", "2D", "NONE"))
                m = veskread.getVeskData(path_3d, ("AB", "3D", "NONE"))
                if s.y.tobytes() != spectrum.tobytes() or m.spectra.tobytes() != cube.tobytes():
                    failures.append("mismatch")
        except Exception as e:  # reported below, with the thread's error
            failures.append(repr(e))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []

"""Mutated files must end in a documented exception, never a crash or a hang.

Each case flips, truncates or overwrites bytes of a well-formed file and calls
the reading functions; anything but the exception types listed is a failure.
"""
import random
import struct

import pytest

import veskread
from vesk_writer import VeskFile, float32_block, param_block, spectrum_file
from writer_3d import (BASE_3D, TYPE_FLOAT, TYPE_INT, TYPE_TEXT, annotation_block, file_3d,
                       store_block, stored_block, table_subblock)
from writer_images import BMP, JPEG, add_image_block, image_block, picture

ALLOWED = (ValueError, KeyError, IndexError, TypeError, OverflowError, AttributeError,
           OSError, MemoryError, veskread.struct_error)


def seed_files():
    vf = spectrum_file([float(i) for i in range(32)], {"DXU": "WN", "AQM": "SN"},
                       extra_params=[(3, {"RES": 4.0}), (2, {"INS": "X"}), (4, {"APF": "B3"})])
    payload, _ = image_block([{"images": [picture("one", JPEG), picture("two", BMP)]}])
    add_image_block(vf, payload)
    yield "spectrum+images", vf.build()

    spectra = [stored_block([float(k), 1.0, 2.0, 3.0], time=0.5 * k) for k in range(6)]
    geometry = {"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 3, "NPY": 2}
    yield "image map", file_3d(store_block(spectra, block_size=16), {**BASE_3D, **geometry}).build()
    yield "time series", file_3d(store_block(spectra, entries=[(0, 2), (-1, 8), (3, 5)],
                                             block_size=16), BASE_3D).build()
    traces = [stored_block([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], name="T%d" % k) for k in range(3)]
    yield "trace map", file_3d(store_block(traces, block_size=24),
                               {**BASE_3D, "NPT": 6, **geometry}, data_type=7).build()
    columns = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
               ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT),
               ("Y", TYPE_FLOAT), ("Label", TYPE_TEXT)]
    rows = [(1, 0, 2, 1, 0, 0, 1.0, 2.0, "a"), (1, 0, 2, 1, 0, 1, 3.0, 4.0, "b"),
            (2, 0, 0, 0, 0, 2, 5.0, 6.0, "c")]
    anno = annotation_block([table_subblock(columns, rows)])
    yield "multiregion", file_3d(store_block(spectra[:3], block_size=16), BASE_3D, anno=anno).build()
    yield "multiregion traces", file_3d(store_block(traces, block_size=24), {**BASE_3D, "NPT": 6},
                                        data_type=7, anno=anno).build()


def mutate(data, rng):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        kind = rng.random()
        if kind < 0.15 and len(data) > 24:
            del data[rng.randrange(24, len(data)):]
        elif kind < 0.6:
            i = rng.randrange(len(data))
            data[i] = rng.randrange(256)
        else:
            # A plausible-looking integer where a count or offset may be.
            i = rng.randrange(0, len(data) - 4)
            value = rng.choice([0, -1, 1, 2**31 - 1, -2**31, 2**16, rng.randrange(-4096, 4096)])
            data[i:i + 4] = struct.pack("<i", value)
    return bytes(data)


KEYS = [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE")]
ALLOWED_WARNINGS = (RuntimeWarning, DeprecationWarning)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("seed", range(8))
def test_mutated_files_raise_only_documented_errors(write_file, seed):
    rng = random.Random(seed)
    for _name, data in seed_files():
        for _ in range(40):
            path = write_file(mutate(data, rng), "m.vesk")
            calls = [lambda: veskread.listContents(path), lambda: veskread.getVisImages(path)]
            calls += [lambda k=k: veskread.getVeskData(path, k) for k in KEYS]
            for call in calls:
                try:
                    call()
                except ALLOWED:
                    pass

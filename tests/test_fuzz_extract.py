"""Mutated files must end in a documented exception, never a crash or a hang.

Each case flips, truncates or overwrites bytes of a well-formed file and calls
the reading functions; anything but the exception types listed is a failure.
"""
import random
import struct

import pytest

import veskread
from vesk_writer import VeskFile, float32_block, param_block, spectrum_file
from writer_images import BMP, JPEG, add_image_block, image_block, picture

ALLOWED = (ValueError, KeyError, IndexError, TypeError, OverflowError, AttributeError,
           OSError, MemoryError, veskread.struct_error)


def seed_files():
    vf = spectrum_file([float(i) for i in range(32)], {"DXU": "WN", "AQM": "SN"},
                       extra_params=[(3, {"RES": 4.0}), (2, {"INS": "X"}), (4, {"APF": "B3"})])
    payload, _ = image_block([{"images": [picture("one", JPEG), picture("two", BMP)]}])
    add_image_block(vf, payload)
    yield "spectrum+images", vf.build()


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


@pytest.mark.parametrize("seed", range(8))
def test_mutated_files_raise_only_documented_errors(tmp_path, seed):
    rng = random.Random(seed)
    path = str(tmp_path / "m.vesk")
    for _name, data in seed_files():
        for _ in range(60):
            with open(path, "wb") as f:
                f.write(mutate(data, rng))
            calls = [lambda: veskread.listContents(path), lambda: veskread.getVisImages(path)]
            calls += [lambda k=k: veskread.getVeskData(path, k) for k in KEYS]
            for call in calls:
                try:
                    call()
                except ALLOWED:
                    pass

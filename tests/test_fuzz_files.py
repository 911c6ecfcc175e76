"""Mutated files: every public reader either answers or raises a documented error.

The cases are derived from writer-made files with a fixed seed, so a failure
names a case that reproduces. Add a reader to CALLS to cover it as well.
"""
import io
import random
import struct

import pytest

import veskread
from vesk._finding import is_vesk_file
from vesk_writer import (VeskFile, block_word, directory_file, float32_block, param_block,
                         raw_header, main_entries, spectrum_file)

ALLOWED = (ValueError, IndexError, struct.error, OSError)
CASES_PER_SEED = 75
INTERESTING_INTS = [0, 1, -1, 2, 7, 10, 24, 64, 127, 2 ** 15 - 1, -2 ** 15, 2 ** 31 - 1,
                    -2 ** 31, 2 ** 16, 1000]


def seed_files():
    yield spectrum_file([1.0, 2.0, 3.0, 4.0],
                        extra_params=[(2, {"INS": "x"}), (3, {"AQM": "SD"}), (6, {"APT": "1"}),
                                      (10, {"SNM": "s"}), (4, {"APF": "B3"})]).build()
    vf = VeskFile()
    for st, dt, ext in ((1, 34, 10), (2, 7, 0), (3, 4, 0), (3, 33, 10)):
        vf.add(float32_block([0.5] * 6), sample_type=st, data_type=dt, extend_type=ext,
               extended=dt == 34)
        vf.add(param_block({"NPT": 6}), sample_type=st, data_type=dt, extend_type=ext,
               param_type=1)
    yield vf.build()
    yield directory_file([(block_word(sample_type=3, data_type=4), 1, 0)],
                         [(block_word(sample_type=1, data_type=5), 1, 0, 0)] * 3)
    yield raw_header(24, 2) + main_entries([
        (block_word(sample_type=3, data_type=4, extend_type=64), 0, 0),
        (block_word(sample_type=2, data_type=1, deriv_type=2), 4, 48)])


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(7)
        if op == 0 and data:                      # flip bits
            i = rng.randrange(len(data))
            data[i] ^= 1 << rng.randrange(8)
        elif op == 1 and len(data) >= 4:          # an interesting int32 at an aligned field
            i = rng.randrange(len(data) // 4) * 4
            data[i:i + 4] = struct.pack("<i", rng.choice(INTERESTING_INTS))
        elif op == 2 and len(data) >= 8:          # an interesting int64
            i = rng.randrange(len(data) // 8) * 8
            data[i:i + 8] = struct.pack("<q", rng.choice(INTERESTING_INTS + [2 ** 63 - 1]))
        elif op == 3:                             # truncate
            del data[rng.randrange(len(data) + 1):]
        elif op == 4:                             # append junk
            data += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
        elif op == 5 and len(data) >= 28:         # a random block-type word in the directory
            i = 24 + rng.randrange((len(data) - 24) // 4) * 4
            data[i:i + 4] = struct.pack("<I", rng.getrandbits(32))
        elif op == 6 and len(data) >= 28:         # a data-block word with random fields
            i = 24 + rng.randrange((len(data) - 24) // 4) * 4
            word = block_word(sample_type=rng.randrange(4), data_type=rng.randrange(128),
                              deriv_type=rng.randrange(4), extend_type=rng.choice([0, 10, 64]))
            data[i:i + 4] = struct.pack("<i", word)
    return bytes(data)


def build_cases():
    rng = random.Random(20261207)
    cases = []
    for seed in seed_files():
        cases.append(seed)
        cases.extend(mutate(rng, seed) for _ in range(CASES_PER_SEED))
    return cases


CASES = build_cases()


# A model of the directory and listing, written from the file layout, to
# compare outcomes with; it reads through Python's own file and struct code.
def model_list_contents(data):
    f = io.BytesIO(data)

    def read(fmt):
        return struct.unpack(fmt, f.read(struct.calcsize(fmt)))[0]

    try:
        magic = read(">i")
    except struct.error:
        magic = None
    if magic != 168492798:
        raise ValueError("Can't process a non-Vesk file")
    f.seek(4)
    read("<d")
    dir_offset = read("<i")
    read("<i")
    count = read("<i")
    f.seek(dir_offset)
    fields = []
    ext = None
    for _ in range(count):
        word, _size, offset = read("<i"), read("<i"), read("<i")
        t = tuple((word >> s) & m for s, m in ((0, 3), (2, 3), (4, 63), (10, 127), (17, 3),
                                                (19, 127)))
        fields.append(t)
        if t[5] == 64:
            ext = offset
    if ext:
        f.seek(ext)
        m = read("<q")
        read("<q")
        for _ in range(m):
            word = read("<q")
            read("<q"), read("<q"), read("<q")
            fields.append(tuple((word >> s) & mk for s, mk in (
                (0, 3), (2, 3), (4, 63), (10, 127), (17, 3), (19, 127))))
    names = [None, "SC", "IFG", "PH", "AB", "TR", "KM", "TRC", None, None, "RAM", "EMIS",
             "REFL", None, "POW", "LREFL", "ATR", "PAS", "TRARI", "ABARI"]
    derivs = ["NONE", "1DER", "2DER", "NDER"]
    out = []
    for keep, prefix in ((lambda t: t[1] == 3, ""), (lambda t: t[1] == 1, "S"),
                         (lambda t: t[1] == 2, "R"), (lambda t: t[3] == 7, "")):
        for t in filter(keep, fields):
            if t[2] != 0:
                continue
            code, suffix = (t[3] - 32, "-CH2") if t[3] > 32 else (t[3], "")
            name = names[code]
            if name:
                out.append((prefix + name + suffix, "3D" if t[5] == 10 else "2D", derivs[t[4]]))
    return out


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except ALLOWED as e:
        return (type(e), str(e))


CALLS = {
    "isVeskFile": veskread.isVeskFile,
    "listContents": veskread.listContents,
}


@pytest.mark.parametrize("name", list(CALLS))
def test_only_documented_errors(name, write_file, no_fd_leak):
    fn = CALLS[name]
    for i, data in enumerate(CASES):
        path = write_file(data, "case.vesk")
        try:
            fn(path)
        except ALLOWED:
            pass
        except BaseException as e:  # anything else is a fault
            pytest.fail("case %d: %s: %s" % (i, type(e).__name__, e))


def test_listing_agrees_with_model(write_file):
    for i, data in enumerate(CASES):
        path = write_file(data, "case.vesk")
        got = outcome(veskread.listContents, path)
        expected = outcome(model_list_contents, data)
        if expected[0] is OSError:
            # BytesIO refuses a negative seek with ValueError, a file with EINVAL
            assert got[0] is OSError, "case %d" % i
            continue
        if expected[0] is ValueError and "negative seek" in expected[1]:
            assert got[0] is OSError, "case %d" % i
            continue
        assert got == expected, "case %d" % i
        assert veskread.isVeskFile(path) is (data[:4] == b"\x0a\x0a\xfe\xfe")
        assert is_vesk_file(path) is veskread.isVeskFile(path)  # a folder walk's check

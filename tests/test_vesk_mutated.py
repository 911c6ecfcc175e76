"""Mutated files through `vesk`: only its documented errors, and a listing
that agrees with reading: a block listed readable reads, one listed
unreadable fails as the listing says."""
import random
import warnings

import numpy as np
import pytest

import vesk
from vesk._file import read_map_rows
from test_fuzz_files import CASES, mutate
from vesk_kinds import KINDS


def kind_cases():
    rng = random.Random(20261208)
    out = []
    for make in KINDS.values():
        seed = make()[0].build()
        out.append(seed)
        out.extend(mutate(rng, seed) for _ in range(25))
    return out


@pytest.mark.parametrize("data", CASES[::6] + kind_cases(), ids=lambda d: "%d" % len(d))
def test_listing_agrees_with_reading(tmp_path, data, capsys):
    path = tmp_path / "m.vesk"
    path.write_bytes(data)
    try:
        f = vesk.open(path)
    except (vesk.FormatError, OSError):
        return
    with f, warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for block in f.blocks:
            try:
                obj = f._read(block)
            except vesk.FormatError as e:  # as listed, in the listing's words
                assert block.kind == vesk.UNREADABLE and block.problem in str(e), str(e)
                continue
            except (OSError, MemoryError):
                continue
            assert block.kind != vesk.UNREADABLE, block.problem
            assert (block.kind, block.shape) == (obj.block.kind, obj.values.shape)
            for dims, array in obj.coords.values():  # as to_xarray needs them
                assert (len(array),) == tuple(obj.values.shape[obj.dims.index(d)] for d in dims)
            if block.kind == "image map":  # its rows read alone agree
                for row in range(min(block.shape[0], 3)):
                    rows = read_map_rows(str(path), block, row, row + 1)
                    np.testing.assert_array_equal(rows[0], obj.values[row])
        for block in f.blocks:
            if block.kind == "image map" and block.shape[0]:  # only its errors, read or not
                try:
                    read_map_rows(str(path), block, 0, 1)
                except (vesk.FormatError, OSError, MemoryError):
                    pass

"""The fuzz replay programs built next to the module: the budget that holds
each input to its memory limit sees the core's allocations, and inputs that
the format allows stay within the bounds the targets assert."""
import glob
import os
import subprocess

import pytest

import veskread
from vesk_writer import block_word, raw_header, main_entries, spectrum_file

FUZZ_DIR = os.path.join(os.path.dirname(os.path.abspath(veskread.__file__)), "fuzz")
pytestmark = pytest.mark.skipif(not glob.glob(os.path.join(FUZZ_DIR, "fuzz_*")),
                                reason="fuzz replay programs not built next to the module")


def replay(target, path, **env):
    run_env = {k: v for k, v in os.environ.items() if not k.startswith("VESK_FUZZ_")}
    run_env.update(env)
    return subprocess.run([os.path.join(FUZZ_DIR, target), path], capture_output=True,
                          text=True, env=run_env, timeout=120)


def overlapping_directories(n_main):
    """Main directory filling the file, the extended one read from its first bytes."""
    size = 24 + 12 * n_main
    n_ext = (size - 40) // 32
    entries = [(n_ext, 0, 0)] + [(0, 0, 0)] * (n_main - 2) + [(block_word(extend_type=64), 0, 24)]
    return raw_header(24, n_main) + main_entries(entries), n_main + n_ext


@pytest.mark.parametrize("n_main", [50, 1000])
def test_overlapping_directories_are_within_the_bound(write_file, n_main):
    data, entries = overlapping_directories(n_main)
    assert entries > len(data) // 12 + 1  # more than disjoint directories could hold
    result = replay("fuzz_directory", write_file(data))
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("limit, fits", [(4096, False), (None, True)])
def test_budget_counts_the_calls_allocations(write_file, limit, fits):
    # 2,000 points: an x axis of 16,000 bytes and as many values as the file holds.
    path = write_file(spectrum_file([float(i) for i in range(2000)]).build())
    env = {} if limit is None else {"VESK_FUZZ_MEMORY_LIMIT": str(limit)}
    result = replay("fuzz_read_2d", path, **env)
    if fits:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0
        assert "==budget== memory:" in result.stderr
        assert "allowed for a %d-byte input" % os.path.getsize(path) in result.stderr

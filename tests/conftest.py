import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

# An error raised while a file is read carries a note saying where (file,
# block, byte offset). pytest.raises(match=...) searches the message and its
# notes joined by newlines, so exact patterns anchor the message's own line
# with (?m)^...$.


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes to a fresh file in tmp_path and returns its path as str."""
    counter = iter(range(1 << 30))

    def write(data, name=None):
        path = tmp_path / (name or "f%d.vesk" % next(counter))
        path.write_bytes(data)
        return str(path)

    return write


def open_fd_count():
    """Open descriptors of this process, or None where that cannot be seen."""
    for d in ("/proc/self/fd", "/dev/fd"):
        if os.path.isdir(d):
            return len(os.listdir(d))
    return None


@pytest.fixture
def no_fd_leak():
    """Fails the test if it leaves more descriptors open than it found."""
    before = open_fd_count()
    yield
    after = open_fd_count()
    if before is not None:
        assert after == before, "descriptors leaked: %d -> %d" % (before, after)

import itertools
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import veskread  # noqa: E402
from writer_3d import file_3d  # noqa: E402

# An error raised while a file is read carries a note saying where (file,
# block, byte offset). pytest.raises(match=...) searches the message and its
# notes joined by newlines, so exact patterns anchor the message's own line
# with (?m)^...$.


@pytest.fixture
def write_file(tmp_path):
    """Writes a file into tmp_path and returns its path as str: bytes as they
    are, or a composed file (anything with build(), such as a VeskFile)."""
    counter = itertools.count()

    def write(data, name=None):
        if hasattr(data, "build"):
            data = data.build()
        path = tmp_path / (name or "f%d.vesk" % next(counter))
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def read_3d(write_file):
    """getVeskData on a file holding one 3D data block (writer_3d.file_3d)."""

    def read(data, params, key=("AB", "3D", "NONE"), **file_kw):
        return veskread.getVeskData(write_file(file_3d(data, params, **file_kw)), key)

    return read


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

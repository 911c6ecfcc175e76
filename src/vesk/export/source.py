"""The SHA-256 of the file an output was made from, so that an archive can
tell which state of its source each output holds."""
from __future__ import annotations

import functools
import hashlib
import os
from typing import Optional

from vesk import Block


def source_sha256(block: Block) -> Optional[str]:
    """The hex SHA-256 of the first bytes of `block.path`, as many as the file
    held when it was listed (those its values came from, where it grows
    since); None where the path names no longer that file (replaced since),
    or none (a stream, whose name may be an upload's), or it is now shorter."""
    size = block._file_size
    if not block.path or size < 0 or block._file_id is None:
        return None
    try:
        st = os.stat(block.path)
    except (OSError, ValueError):
        return None
    if (st.st_dev, st.st_ino) != block._file_id:
        return None
    return _digest(block.path, size, st.st_ino, st.st_mtime_ns)


# Keyed by the file's identity and time as well, so that the blocks of one
# file read it once, and a file replaced or grown is read again.
@functools.lru_cache(maxsize=4)
def _digest(path: str, size: int, inode: int, mtime_ns: int) -> Optional[str]:
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            left = size
            while left:
                chunk = f.read(min(left, 1 << 20))
                if not chunk:
                    return None
                digest.update(chunk)
                left -= len(chunk)
    except OSError:
        return None
    return digest.hexdigest()

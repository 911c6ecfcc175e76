"""The SHA-256 of the file an output was made from, so that an archive can
tell which state of its source each output holds; and the time an output
says it was made."""
from __future__ import annotations

import datetime as _dt
import functools
import hashlib
import os
from typing import Optional

from vesk import Block
from vesk._block import FileStamp, file_stamp
from vesk._file import _open_descriptor


def source_sha256(block: Block) -> Optional[str]:
    """The hex SHA-256 of `block.path` as it was when listed, where it is
    still that file in that state; None where it changed since in any way
    (written to, even in place, grown, replaced), or was read from a stream,
    whose name may be an upload's."""
    stamp = block._file_id
    if not block.path or stamp is None:
        return None
    try:
        if file_stamp(os.stat(block.path)) != stamp:
            return None
    except (OSError, ValueError):
        return None
    return _digest(block.path, stamp)


# Keyed by the file's state as well, so that the blocks of one file read it
# once, and a file changed since is read again.
@functools.lru_cache(maxsize=4)
def _digest(path: str, stamp: FileStamp) -> Optional[str]:
    digest = hashlib.sha256()
    try:
        # the file opened is checked, not the name: it may be replaced
        # between (by a FIFO, say, which this open refuses)
        fd = _open_descriptor(path)
    except OSError:
        return None
    try:
        if file_stamp(os.fstat(fd)) != stamp:
            return None
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            digest.update(chunk)
        # written to as it was hashed: the digest is of neither state
        if file_stamp(os.fstat(fd)) != stamp:
            return None
    except OSError:
        return None
    finally:
        os.close(fd)
    return digest.hexdigest()


def export_time() -> _dt.datetime:
    """Now, or SOURCE_DATE_EPOCH when set (the reproducible-builds convention)."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if epoch.isdigit():
        try:
            return _dt.datetime.fromtimestamp(int(epoch), _dt.timezone.utc)
        except (OverflowError, OSError, ValueError):  # past any date: as if unset
            pass
    return _dt.datetime.now(_dt.timezone.utc).replace(microsecond=0)

"""How much a command may write for one file.

A damaged file can declare far more than it holds (a map of billions of
unmeasured points, one picture named by a thousand keys); read through the
API that costs nothing until used, but a command would write all of it.
What a command writes for a file is held to the bound every read keeps.
"""
from __future__ import annotations

import os

from vesk import _native


def file_size(fd: int) -> int:
    return os.fstat(fd).st_size


def too_much(nbytes: int, size: int) -> bool:
    """Whether `nbytes` of output is more than a file of `size` bytes can give."""
    return nbytes > _native.output_limit(size)

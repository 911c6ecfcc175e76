"""How much a command may write for one file.

A damaged file can declare far more than it holds (a map of billions of
unmeasured points, one picture or one block named by a hundred keys); read
through the API that costs nothing until used, but a command would write all
of it. What a command writes for a file, all its outputs together, is held to
the bound every read keeps.
"""
from __future__ import annotations

import os

from vesk import _native


class OutputBudget:
    """What is left of an open file's bound as its outputs are written."""

    def __init__(self, fd: int) -> None:
        self.file_size = os.fstat(fd).st_size
        self.limit = _native.output_limit(self.file_size)
        self.left = self.limit

    def take(self, nbytes: int) -> bool:
        """Spends `nbytes` if that much is left; False (spending nothing) if not."""
        if nbytes > self.left:
            return False
        self.left -= nbytes
        return True

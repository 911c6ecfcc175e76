"""A one-line progress bar on standard error, drawn only when that is a terminal."""
from __future__ import annotations

import io
import shutil
from typing import Optional, TextIO

from vesk._text import printable


class Progress:
    def __init__(self, total: int, stream: Optional[TextIO],
                 enabled: Optional[bool] = None) -> None:
        self.total, self.done = total, 0
        self.stream: TextIO = stream if stream is not None else io.StringIO()  # `2>&-`
        self.enabled = (stream is not None and stream.isatty()) if enabled is None else enabled
        self.shown = False

    def step(self, label: str = "") -> None:
        self.done += 1
        self.draw(label)

    def draw(self, label: str = "") -> None:
        if not self.enabled:
            return
        width = shutil.get_terminal_size((80, 24)).columns - 1
        count = " %d/%d " % (self.done, self.total)
        bar_width = max(10, min(40, width // 3))
        filled = bar_width * self.done // max(self.total, 1)
        # the label is a file's name, which may hold what a terminal obeys
        line = "[" + "#" * filled + "." * (bar_width - filled) + "]" + count + printable(label)
        self.stream.write("\r" + line[:width].ljust(width))
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        """Removes the bar so that a message can be written on a clean line."""
        if self.shown:
            width = shutil.get_terminal_size((80, 24)).columns - 1
            self.stream.write("\r" + " " * width + "\r")
            self.stream.flush()
            self.shown = False

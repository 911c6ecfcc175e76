"""Text from a file, made safe to show or to write into a line-based format."""
from __future__ import annotations

import re

_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")


def printable(text: str) -> str:
    """Text with control characters written as escapes (ESC as \\x1b): a
    damaged file's strings must not drive the terminal that shows them, nor
    break the lines of a file written from them."""
    return _CONTROL.sub(lambda m: repr(m.group())[1:-1], text)

"""Text from a file, made safe to show or to write into a line-based format."""
from __future__ import annotations

import os
import re

_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")


def printable(text: str) -> str:
    """Text with control characters written as escapes (ESC as \\x1b): a
    damaged file's strings must not drive the terminal that shows them, nor
    break the lines of a file written from them."""
    return _CONTROL.sub(lambda m: repr(m.group())[1:-1], text)


def file_name(path: str) -> str:
    """The last part of `path` as text: bytes of the name that are not UTF-8
    (kept by the file system's decoding as lone surrogates, which no text
    file or netCDF attribute can hold) written as escapes (\\xe9)."""
    name = os.path.basename(path)
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")

"""Text from a file, made safe to show (alone or in columns) or to write into a
line-based format."""
from __future__ import annotations

import math
import os
import re
from typing import Any, List, Sequence, Tuple

# Besides the control characters: those that reorder the text around them
# on a terminal that lays out right-to-left text (a value shown reversed, a
# column shown in another's place), and the line and paragraph separators
# that line-splitting readers break on.
REORDERING = "\u2028\u2029\u202a-\u202e\u2066-\u2069"
#: Shown and written as escapes, as repr writes them.
UNSHOWN = "\x00-\x1f\x7f-\x9f" + REORDERING
# Each one's escape. A table, not a function per match: a parameter of a
# million control characters written into each of many exports took seconds.
_ESCAPES = {c: repr(chr(c))[1:-1] for c in (*range(0x20), *range(0x7f, 0xa0), 0x2028, 0x2029,
                                            *range(0x202a, 0x202f), *range(0x2066, 0x206a))}
# The table is looked up for each character of a text not all ASCII, ten
# times a search's time: it is used only on a text that holds one of them.
_CONTROL = re.compile("[%s]" % UNSHOWN)


def printable(text: str) -> str:
    """Text with control characters (and UNSHOWN's others) written as escapes
    (ESC as \\x1b): a damaged file's strings must not drive or reorder the
    terminal that shows them, nor break the lines of a file written from them."""
    return text.translate(_ESCAPES) if _CONTROL.search(text) else text


def file_name(path: str) -> str:
    """The last part of `path` as text: bytes of the name that are not UTF-8
    (kept by the file system's decoding as lone surrogates, which no text
    file or netCDF attribute can hold) written as escapes (\\xe9)."""
    return path_text(os.path.basename(path))


def path_text(path: str) -> str:
    """`path` as text, its bytes that are not UTF-8 written as escapes (file_name)."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def aligned(rows: Sequence[Sequence[str]], indent: str = "") -> List[str]:
    """Rows in columns; a row's last cell is not padded and does not widen its
    column, so that a long message ends a row without pushing out the others."""
    # Loops, not a max() per column: `vesk ls` aligns each file's rows alone.
    cells = [[printable(c) for c in r] for r in rows]
    if len(cells) == 1:  # its own widths: nothing to pad
        return [indent + "  ".join(cells[0]).rstrip()]
    widths = [0] * max(map(len, cells), default=0)
    for r in cells:
        for k in range(len(r) - 1):
            if len(r[k]) > widths[k]:
                widths[k] = len(r[k])
    return [indent + "  ".join([c.ljust(w) for c, w in zip(r[:-1], widths)] + r[-1:]).rstrip()
            for r in cells]


def _digits(first: float, others: Sequence[float]) -> int:
    """The significant digits, from %g's 6 up to 17 (which any double needs),
    that write `first` apart from each of `others` it differs from."""
    precision = 6
    # rounding keeps order, so two ends written apart keep theirs
    while precision < 17 and any(
            first != other and float("%.*g" % (precision, first)) ==
            float("%.*g" % (precision, other)) for other in others):
        precision += 1
    return precision


def range_ends(first: float, last: float) -> Tuple[str, str]:
    """`first` and `last` as %g writes them, with as many more significant
    digits (up to 17, which any double needs) as tell two ends that differ
    apart: 1e+09 .. 1e+09 hides an axis of a few steps far from zero."""
    precision = _digits(first, [last])
    return "%.*g" % (precision, first), "%.*g" % (precision, last)


def range_text(first: float, last: float) -> str:
    """"first .. last", written as range_ends writes them."""
    return "%s .. %s" % range_ends(first, last)


def value_apart(value: float, neighbours: Sequence[float]) -> str:
    """`value` as %g writes it, with the more digits that tell it from each
    of its `neighbours` (the points beside it on its axis)."""
    return "%.*g" % (_digits(value, neighbours), value)


def json_strict(value: Any) -> Any:
    """`value` with NaN and infinite floats (a damaged file's numbers) as None,
    since strict JSON, which other languages' parsers read, has no way to
    write them."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: json_strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_strict(v) for v in value]
    return value

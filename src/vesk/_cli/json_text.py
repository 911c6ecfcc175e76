"""JSON for machines, strict: as jq, browsers and every other parser read it."""
from __future__ import annotations

import json
import math
import re
from json.encoder import encode_basestring, encode_basestring_ascii
from typing import Any, Callable, Dict, List, Optional

from vesk._text import REORDERING, json_strict

# A file name's bytes that are not UTF-8, which the file system's decoding
# keeps as lone surrogates: escaped, so that the text stays UTF-8 and
# json.loads gives the name back for os.fsencode. Also escaped, as JSON
# leaves them as they are: what a terminal showing the JSON would obey
# (C1 controls, the 8-bit CSI among them) or be reordered by.
_ESCAPED = re.compile("[\ud800-\udfff\x7f-\x9f%s]" % REORDERING)


def dumps(value: Any, indent: Optional[int] = 2, ascii_only: bool = False) -> str:
    """JSON text; `ascii_only` for an output whose encoding holds no more
    (each other character as its \\u escape)."""
    text = None if indent is None else _indented(value, indent, ascii_only)
    if text is None:
        text = json.dumps(json_strict(value), indent=indent, ensure_ascii=ascii_only,
                          allow_nan=False, default=str)
    return text if ascii_only else _ESCAPED.sub(lambda m: "\\u%04x" % ord(m.group()), text)


class _Unusual(Exception):
    """A value the plain types do not hold: json.dumps writes it."""


def _number(v: float) -> str:
    return float.__repr__(v) if math.isfinite(v) else "null"


# What json.dumps writes for a value of each plain type but text.
_PLAIN: Dict[type, Callable[[Any], str]] = {
    int: int.__repr__, float: _number, bool: {True: "true", False: "false"}.__getitem__,
    type(None): {None: "null"}.__getitem__}


def _indented(value: Any, indent: int, ascii_only: bool) -> Optional[str]:
    """What json.dumps(json_strict(value), indent=indent) writes, for values
    of dicts with text keys, lists, tuples, text, numbers, booleans and None;
    None for any other. json's own indenting encoder is written in Python,
    a generator per container: a listing of thousands of files took most of
    its time there."""
    quote: Callable[[str], str] = encode_basestring_ascii if ascii_only else encode_basestring
    plain: Dict[type, Callable[[Any], str]] = {**_PLAIN, str: quote}
    parts: List[str] = []
    add = parts.append

    def put(v: Any, margin: str) -> None:
        kind = type(v)
        if kind is dict:
            if not v:
                add("{}")
                return
            inner = margin + " " * indent
            lead = "{" + inner
            for key, item in v.items():
                if type(key) is not str:
                    raise _Unusual
                text = plain.get(type(item))
                if text is not None:
                    add(lead + quote(key) + ": " + text(item))
                else:
                    add(lead + quote(key) + ": ")
                    put(item, inner)
                lead = "," + inner
            add(margin + "}")
        elif kind is list or kind is tuple:
            if not v:
                add("[]")
                return
            inner = margin + " " * indent
            lead = "[" + inner
            for item in v:
                text = plain.get(type(item))
                if text is not None:
                    add(lead + text(item))
                else:
                    add(lead)
                    put(item, inner)
                lead = "," + inner
            add(margin + "]")
        else:
            text = plain.get(kind)
            if text is None:
                raise _Unusual
            add(text(v))

    try:
        put(value, "\n")
    except _Unusual:
        return None
    return "".join(parts)

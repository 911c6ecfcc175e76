"""JSON for machines, strict: as jq, browsers and every other parser read it."""
from __future__ import annotations

import json
import re
from typing import Any, Optional

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
    text = json.dumps(json_strict(value), indent=indent, ensure_ascii=ascii_only,
                      allow_nan=False, default=str)
    return text if ascii_only else _ESCAPED.sub(lambda m: "\\u%04x" % ord(m.group()), text)

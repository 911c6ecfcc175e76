"""JSON for machines, strict: as jq, browsers and every other parser read it."""
from __future__ import annotations

import json
import math
import re
from typing import Any, Optional

# A file name's bytes that are not UTF-8, which the file system's decoding
# keeps as lone surrogates: escaped, so that the text stays UTF-8 and
# json.loads gives the name back for os.fsencode.
_SURROGATE = re.compile("[\ud800-\udfff]")


def strict(value: Any) -> Any:
    """`value` with NaN and infinite floats (a damaged file's numbers) as None,
    since strict JSON has no way to write them."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [strict(v) for v in value]
    return value


def dumps(value: Any, indent: Optional[int] = 2, ascii_only: bool = False) -> str:
    """JSON text; `ascii_only` for an output whose encoding holds no more
    (each other character as its \\u escape)."""
    text = json.dumps(strict(value), indent=indent, ensure_ascii=ascii_only, allow_nan=False,
                      default=str)
    return text if ascii_only else _SURROGATE.sub(lambda m: "\\u%04x" % ord(m.group()), text)

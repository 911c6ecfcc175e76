"""JSON for machines, strict: as jq, browsers and every other parser read it."""
from __future__ import annotations

import json
import math
from typing import Any


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


def dumps(value: Any) -> str:
    return json.dumps(strict(value), indent=2, ensure_ascii=False, allow_nan=False, default=str)

"""`vesk diff`: what differs between the parameters of two files' blocks
(today's run against yesterday's)."""
from __future__ import annotations

import argparse
import itertools
import math
import warnings
from typing import Any, Dict, List, Mapping, Optional, Tuple

import vesk
from vesk._text import aligned, printable

from .block_keys import block_key
from .listing import LISTED_BYTES, json_cost
from .report import counted, describe, emit, emit_json, error, warning

#: Shown for a parameter one of the blocks does not have.
ABSENT = "-"


def add_diff(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser("diff", help="show the parameters that differ between two files",
                       description="For each block the two files both hold (or the block "
                                   "KEY names), the parameters whose values differ or that "
                                   "one of them lacks (shown as -): key, human name, the "
                                   "value in FILE1, the value in FILE2. Blocks only one "
                                   "file holds are named as such. Exit status 0 whether or "
                                   "not they differ, 1 when a file cannot be read or "
                                   "lacks the block KEY names.")
    p.add_argument("first", metavar="FILE1")
    p.add_argument("second", metavar="FILE2")
    p.add_argument("key", metavar="KEY", nargs="?", type=block_key,
                   help="compare only this block (AB/2D/NONE, or a short form naming one "
                        "block of each file)")
    p.add_argument("--json", action="store_true", help="print JSON for machines")
    p.set_defaults(run=run_diff)
    return p


def _same(a: object, b: object) -> bool:
    # a damaged file's NaN against another's NaN is no difference
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


def differences(a: Mapping[str, Any], b: Mapping[str, Any]) -> Dict[str, Tuple[Any, Any]]:
    """Key: (value in a, value in b), None where one lacks it; a's order, then b's."""
    return {k: (a.get(k), b.get(k)) for k in list(a) + [k for k in b if k not in a]
            if k not in a or k not in b or not _same(a[k], b[k])}


def _blocks(path: str, key: Optional[str]) -> Tuple[List[vesk.Block], int]:
    with vesk.open(path) as f:
        return [f.block(key)] if key is not None else list(f.blocks), f._size


def run_diff(args: argparse.Namespace) -> int:
    listed: List[List[vesk.Block]] = []
    # what is shown is held to a few times the files, as `ls --json` holds it:
    # a damaged file's many keys may each merge one large block
    left = 2 * LISTED_BYTES
    for path in (args.first, args.second):
        try:
            blocks, size = _blocks(path, args.key)
            listed.append(blocks)
            left += 4 * size
        except Exception as e:
            error(describe(path, e))
            if args.json:
                emit_json({"files": [args.first, args.second], "blocks": None,
                           "error": describe(path, e)})
            return 1
    for path, blocks in zip((args.first, args.second), listed):
        for block in blocks:  # compared all the same: what is left may tell what is wrong
            if block.problem is not None:
                warning("%s: %s cannot be read: %s" % (path, block.name, block.problem))
            if block.parameters_cut >= 0:  # those past the cut would show as lacking
                warnings.warn(vesk.VeskWarning("%s: %s: %s" % (path, block.name, block.warning)))
    if args.key is not None:  # a short form may name blocks of different full names
        one, two = listed[0][0], listed[1][0]
        name = one.name if one.name == two.name else "%s | %s" % (one.name, two.name)
        pairs: List[Tuple[str, Optional[vesk.Block], Optional[vesk.Block]]] = [(name, one, two)]
    else:
        first, second = ({k.name: k for k in blocks} for blocks in listed)
        pairs = [(n, first.get(n), second.get(n))
                 for n in list(first) + [n for n in second if n not in first]]
    records: List[Dict[str, Any]] = []
    unshown = 0
    for name, a, b in pairs:
        # null for a block one file lacks: {} would say "same parameters"
        shown: Optional[Dict[str, Tuple[Any, Any]]] = None
        if a is not None and b is not None:
            shown = differences(a.parameters, b.parameters)
            left -= json_cost(len(shown), itertools.chain.from_iterable(shown.values()))
            if left < 0:
                shown, unshown = None, unshown + 1
        records.append({"block": name, "only_in": None if a is not None and b is not None
                        else (args.first if a is not None else args.second),
                        "parameters": None if shown is None else {
                            k: {"name": vesk.parameter_label(k),
                                "values": [_json_value(x) for x in v]}
                            for k, v in shown.items()}})
    if unshown:
        warning("the differences of %s are not shown (null): with the others they would pass "
                "what the files' sizes allow" % counted(unshown, "block{s}"))
    if args.json:
        emit_json({"files": [args.first, args.second], "blocks": records, "error": None})
        return 0
    emit("\n".join(_text(records, args.first, args.second)))
    return 0


def _json_value(v: object) -> object:
    """A value as --json gives it: a NaN or infinite number (a damaged file's)
    as its text, since strict JSON's null says the file lacks the parameter,
    and would make inf against -inf two equal nulls."""
    return str(v) if isinstance(v, float) and not math.isfinite(v) else v


def _values(a: object, b: object) -> Tuple[str, str]:
    one, two = (ABSENT if v is None else str(v) for v in (a, b))
    if one == two:  # text "4" against the number 4, or "-" against a lacking one
        one, two = (ABSENT if v is None else repr(v) for v in (a, b))
    return one, two


def _text(records: List[Dict[str, Any]], first: str, second: str) -> List[str]:
    lines: List[str] = []
    for r in records:
        head = printable(r["block"])
        if r["only_in"] is not None:
            lines.append("%s: only in %s" % (head, printable(r["only_in"])))
            continue
        if r["parameters"] is None:
            lines.append("%s: not compared" % head)
            continue
        rows = [(k, p["name"], *_values(*p["values"]))
                for k, p in r["parameters"].items()]
        if not rows:
            lines.append("%s: same parameters" % head)
            continue
        lines.append("%s:" % head)
        lines += aligned([("", "", printable(first), printable(second))] + rows, "  ")
    return lines

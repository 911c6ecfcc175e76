"""`vesk ls` lists the data blocks of files; `vesk params` shows a block's parameters."""
from __future__ import annotations

import argparse
import warnings
from collections import Counter
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import vesk
from vesk._block import record
from vesk._text import aligned, printable, range_text

from .block_keys import ONE_BLOCK_KEY_HELP, named_block, params_key
from .inputs import take_inputs
from .output_bound import OutputBudget
from .report import counted, describe, emit, emit_json, error, note, warning


def add_ls(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser("ls", help="list the data blocks of files",
                       description="One line per data block: name, kind, shape, points per "
                                   "spectrum and x range with units. Several files are "
                                   "listed one after another under their names. A FOLDER "
                                   "stands for the VESK files beneath it, found by their "
                                   "content and listed in name order. Where there are "
                                   "several, a last line on standard error counts the "
                                   "files and their blocks by kind.")
    p.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    p.add_argument("--json", action="store_true",
                   help="print JSON for machines, with each block's parameters (to find "
                        "files by sample name, resolution, scans)")
    p.set_defaults(run=run_ls)
    return p


def add_params(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser("params", help="show the parameters of a block",
                       description="The merged parameters of one block: key, human name, "
                                   "value. KEY may be left out when the file has one block.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("key", metavar="KEY", nargs="?", type=params_key,
                   help=ONE_BLOCK_KEY_HELP)
    p.add_argument("--json", action="store_true", help="print JSON for machines")
    p.set_defaults(run=run_params)
    return p


# What the JSON of a parameter costs besides its text: its line, its key, its
# entry in the record; and each character of a text, taken as an escape
# (\u0001) once as text and once as the bytes written: counting the
# characters that are took a damaged file's many merges of one block seconds.
PARAMETER_JSON_BYTES = 128
TEXT_JSON_BYTES = 12
#: What a file's listed parameters may take besides four times its size.
LISTED_BYTES = 1 << 20


def json_cost(entries: int, values: Iterable[object]) -> int:
    """What `entries` parameters holding `values` cost as JSON."""
    text = sum(len(v) for v in values if isinstance(v, str))
    return entries * PARAMETER_JSON_BYTES + text * TEXT_JSON_BYTES


def listed_parameters(budget: OutputBudget, block: vesk.Block) -> Optional[Dict[str, Any]]:
    """The block's parameters for `ls --json`, or None past the file's bound:
    a damaged file's hundred keys may each merge one large parameter block."""
    cost = json_cost(len(block.parameters), block.parameters.values())
    # from its items: dict() of a mapping looks each key up through Python
    return dict(block.parameters.items()) if budget.take(cost) else None


def block_row(b: vesk.Block) -> Tuple[str, ...]:
    if b.problem is not None:  # a block that reading refuses says why
        return (b.name, b.kind, b.problem)
    if b.kind in ("image traces", "multiregion traces"):
        # a value per map point in each trace: no points along an x axis to give
        traces = b.shape[-1]
        return (b.name, b.kind, " x ".join(str(n) for n in b.shape),
                "%d trace%s" % (traces, "" if traces == 1 else "s"))
    return (b.name, b.kind, " x ".join(str(n) for n in b.shape), "%d points" % b.points,
            range_text(*b.x_range), b.x_label)


def run_ls(args: argparse.Namespace) -> int:
    inputs, status = take_inputs(args.files)
    listed: List[Tuple[str, List[vesk.Block]]] = []
    records: List[Dict[str, Any]] = []  # for --json, every input in order
    for path in (item.path for item in inputs.files):
        try:
            with vesk.open(path) as f:
                listed.append((path, list(f.blocks)))
            if args.json:
                budget = OutputBudget(f)
                # held to a few times the file: escaping JSON text costs time too
                budget.left = min(budget.left, LISTED_BYTES + 4 * budget.file_size)
                shown = [listed_parameters(budget, b) for b in f.blocks]
                if None in shown:
                    warning("%s: the parameters of %s are not listed (null): with the others "
                            "they would pass what the file's size allows" % (
                                path, counted(shown.count(None), "block{s}")))
                records.append({"file": path, "blocks": [
                    record(b, p) for b, p in zip(f.blocks, shown)], "error": None})
            for b in f.blocks:  # the listing reads no values, so it warns here
                if b.warning is not None:
                    warnings.warn(vesk.VeskWarning("%s: %s: %s" % (path, b.name, b.warning)))
        except Exception as e:
            error(describe(path, e))
            records.append({"file": path, "blocks": [], "error": describe(path, e)})
            status = 1
    if args.json:  # files that could not be listed too, so a machine sees every input
        emit_json(records)
        return status
    many = len(inputs.files) > 1 or inputs.folders
    # Written at once: each file's lines apart cost a write or two a file.
    text: List[str] = []
    for n, (path, blocks) in enumerate(listed):
        if many:
            text.append(("\n" if n else "") + "%s:" % printable(path))
        lines = aligned([block_row(b) for b in blocks], "  " if many else "")
        text.append("\n".join(lines) if lines else ("  " if many else "") + "(no data blocks)")
    if text:
        emit("\n".join(text))
    if many and inputs.files:  # what a folder of hundreds holds, without scrolling back
        note(totals(listed, len(inputs.files) - len(listed)))
    return status


def _plural(kind: str, n: int) -> str:
    if n == 1 or not kind.endswith(("spectrum", "map")):  # series, traces, unreadable
        return kind
    return kind[:-2] + "a" if kind.endswith("spectrum") else kind + "s"


def totals(listed: Sequence[Tuple[str, List[vesk.Block]]], failed: int) -> str:
    kinds = Counter(b.kind for _, blocks in listed for b in blocks)
    text = "listed %s of %s" % (counted(sum(kinds.values()), "block{s}"),
                                counted(len(listed), "file{s}"))
    if kinds:
        text += ": " + ", ".join("%d %s" % (kinds[k], _plural(k, kinds[k]))
                                 for k in vesk.KINDS + (vesk.UNREADABLE,) if kinds[k])
    return text + ("; %s" % counted(failed, "file{s} failed") if failed else "")


def value_text(v: object) -> str:
    return str(v)  # str of a float is its shortest round-trip form; text stays as it is


def run_params(args: argparse.Namespace) -> int:
    # From the outline: the parameters of a block whose values cannot all be
    # read (a file cut short) are still there to see.
    try:
        with vesk.open(args.file) as f:
            block = named_block(f, args.key, "params")
            if block.problem is not None and not block.parameters:
                f[block.key]  # raises reading's own error
    except Exception as e:
        error(describe(args.file, e))
        if args.json:  # a machine reads the failure where it reads the parameters
            emit_json({"file": args.file, "block": None, "problem": None, "warning": None,
                       "parameters": None, "error": describe(args.file, e)})
        return 1
    if block.problem is not None:  # shown all the same: they may tell what is wrong
        warning("%s: %s cannot be read: %s" % (args.file, block.name, block.problem))
    if block.parameters_cut >= 0:  # what is shown stops at the cut
        warnings.warn(vesk.VeskWarning("%s: %s: %s" % (args.file, block.name, block.warning)))
    params = dict(block.parameters)
    if args.json:
        emit_json({"file": args.file, "block": block.name, "problem": block.problem,
                   "warning": block.warning,
                   "parameters": {k: {"name": vesk.parameter_label(k), "value": v}
                                  for k, v in params.items()}, "error": None})
        return 0
    rows = [(k, vesk.parameter_label(k), value_text(v)) for k, v in params.items()]
    emit("\n".join(aligned(rows)))
    return 0

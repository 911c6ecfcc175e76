"""Options the command does not know, told as such, with the one likely meant:
a misspelt `--ouput` leaves `-o/--output` missing, and argparse's "required"
alone sends the user looking for what they did give."""
from __future__ import annotations

import argparse
import re
from typing import List, Optional, Sequence

# A value that starts with "-" but is a number or band ("-5", "-5:10", "-.5e3:"),
# which argparse would take for an option.
NEGATIVE_VALUE = re.compile(r"-[0-9.][0-9.eE+-]*(:[0-9.eE+-]*)?")


def unknown_options(parser: argparse.ArgumentParser, given: Sequence[str]) -> List[str]:
    """The options among `given` (up to a "--") that `parser` takes in no
    form."""
    unknown = []
    for arg in given:
        if arg == "--":
            break
        if arg.startswith("-") and arg != "-" and not NEGATIVE_VALUE.fullmatch(arg) \
                and not takes(parser, arg):
            unknown.append(arg)
    return unknown


def takes(parser: argparse.ArgumentParser, arg: str) -> bool:
    """Whether `parser` takes the option `arg`: whole, a long one shortened,
    a short one with its value attached."""
    known = parser._option_string_actions
    name = arg.split("=", 1)[0]
    if name in known or not arg.startswith("--") and arg[:2] in known:
        return True
    return arg.startswith("--") and parser.allow_abbrev and any(
        k.startswith(name) for k in known if k.startswith("--"))


def likely(parser: argparse.ArgumentParser, arg: str) -> Optional[str]:
    """The long option that `arg` most likely misspells, if one is near."""
    import difflib

    name = arg.split("=", 1)[0]
    if not name.startswith("--"):
        return None
    known = [k for k in parser._option_string_actions if k.startswith("--")]
    near = difflib.get_close_matches(name, known, n=1, cutoff=0.6)
    return near[0] if near else None


def unrecognized(parser: argparse.ArgumentParser, extra: Sequence[str]) -> str:
    """argparse's message for arguments left over, with the option each
    option-like one most likely misspells. One the command takes was given
    before it, where only the top level's own are taken (vesk --json ls)."""
    told = []
    for arg in extra:
        if arg.startswith("-") and takes(parser, arg):
            told.append("%s (an option of %s: it goes after the command)" % (arg, parser.prog))
            continue
        near = likely(parser, arg)
        told.append("%s (did you mean %s?)" % (arg, near) if near else arg)
    return "unrecognized arguments: %s" % " ".join(told)

"""Options the command does not know, told as such, with the one likely meant:
a misspelt `--ouput` leaves `-o/--output` missing, and argparse's "required"
alone sends the user looking for what they did give."""
from __future__ import annotations

import argparse
import re
from typing import List, Sequence

# A number or band given as a value ("-5", "-5:10"), which is no option.
_NUMBER = re.compile(r"-[0-9.][0-9.eE+-]*(:[0-9.eE+-]*)?")


def unknown_options(parser: argparse.ArgumentParser, given: Sequence[str]) -> List[str]:
    """The options among `given` (up to a "--") that `parser` takes in no
    form: whole, a long one shortened, a short one with its value attached."""
    known = list(parser._option_string_actions)
    unknown = []
    for arg in given:
        if arg == "--":
            break
        if not arg.startswith("-") or arg == "-" or _NUMBER.fullmatch(arg):
            continue
        name = arg.split("=", 1)[0]
        if name in known or not arg.startswith("--") and arg[:2] in known:
            continue
        if arg.startswith("--") and parser.allow_abbrev and any(
                k.startswith(name) for k in known if k.startswith("--")):
            continue
        unknown.append(arg)
    return unknown


def unrecognized(parser: argparse.ArgumentParser, extra: Sequence[str]) -> str:
    """argparse's message for arguments left over, with the option each
    option-like one most likely misspells."""
    import difflib

    known = [k for k in parser._option_string_actions if k.startswith("--")]
    told = []
    for arg in extra:
        name = arg.split("=", 1)[0]
        near = difflib.get_close_matches(name, known, n=1, cutoff=0.6) \
            if name.startswith("--") else []
        told.append("%s (did you mean %s?)" % (arg, near[0]) if near else arg)
    return "unrecognized arguments: %s" % " ".join(told)

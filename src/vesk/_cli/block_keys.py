"""Block keys as the command line gives them: checked before any file is read,
and, where a file refuses one, told apart whether it has no such block or
several that the key could name."""
from __future__ import annotations

import argparse

import vesk


def block_key(text: str) -> str:
    """An argparse type: a malformed key is a usage error, not every file's
    missing block (which a folder's files would all be skipped for)."""
    parts = text.split("/")
    if len(parts) > 3 or not all(parts):
        raise argparse.ArgumentTypeError(
            "not a block key: %r (a name as 'vesk ls' prints it, AB/2D/NONE, or a short "
            "form, AB)" % text)
    return text


def names_no_block(f: vesk.VeskFile, key: str) -> bool:
    """Whether no block of `f` answers to `key` (a short form matches the
    leading parts of a name); False when it names several, which is not a
    block missing but a key that needs the full name."""
    wanted = tuple(key.upper().split("/"))
    return not any(b.key[:len(wanted)] == wanted for b in f.blocks)

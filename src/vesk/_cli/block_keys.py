"""Block keys as the command line gives them, checked before any file is read."""
from __future__ import annotations

import argparse
import os
from typing import Optional

import vesk
from vesk._errors import AmbiguousBlockError, BlockNotFoundError
from vesk._file import key_parts
from vesk._vocabulary import is_data_type, is_derivative


#: Where a second file is given for the block of `vesk params`: what was likely meant.
COMPARE = " (vesk diff FILE1 FILE2 shows the parameters that differ between two files)"


ONE_BLOCK_KEY_HELP = ("block name (AB/2D/NONE) or a short form naming one block (SSC); "
                      "may be left out for a file of one block")


def block_key(text: str, hint: str = "") -> str:
    """An argparse type: a malformed key is a usage error, not every file's
    missing block (which a folder's files would all be skipped for)."""
    try:
        key_parts(text)
    except BlockNotFoundError as e:
        raise argparse.ArgumentTypeError(
            "%s (a name as 'vesk ls' prints it, AB/2D/NONE, or a short form, AB)%s"
            % (e, "; %s is a %s, not a block%s" % (text, _kind(text), hint)
               if os.path.exists(text) else ""))
    return text


def params_key(text: str) -> str:
    return block_key(text, COMPARE)


def _kind(path: str) -> str:
    return "folder" if os.path.isdir(path) else "file"


def named_block(f: vesk.VeskFile, key: Optional[str], command: str) -> vesk.Block:
    """f.block(key), for a command of one FILE and a KEY: a second file given
    there (`vesk params run.0 run.1`) reads as a key of three parts, so its
    missing block says what was meant."""
    try:
        return f.block(key)
    except AmbiguousBlockError:
        raise
    except BlockNotFoundError as e:
        if key is None:
            if len(f.keys()) < 2:
                raise
            # "name one": where, on this command line
            raise BlockNotFoundError("%s (vesk %s FILE KEY)" % (e.args[0], command),
                                     path=e.path, block=e.block) from None
        if not os.path.exists(key):
            # plot takes a second name that exists for a file: one mistyped
            # reads as a key, and only its being missing says what was meant
            if command != "plot" or not _path_like(key):
                raise
            raise BlockNotFoundError("%s; nor is %s a file or folder to draw with it"
                                     % (e.args[0], key), path=e.path, block=e.block) from None
        raise BlockNotFoundError("%s; %s is a %s, but vesk %s takes one FILE, then a block%s"
                                 % (e.args[0], key, _kind(key), command,
                                    COMPARE if command == "params" else ""),
                                 path=e.path, block=e.block) from None


def mistaken_key(name: str) -> bool:
    """Whether `name`, given for a file, is no file or folder but reads as
    a block's key (AB/2D/NONE, SSC, ab/3d): its parts what keys are made of,
    so that a missing file or folder (run2, day 2) is told as missing."""
    if os.path.lexists(name) or _path_like(name):
        return False
    try:
        parts = key_parts(name)
    except BlockNotFoundError:
        return False
    return is_data_type(parts[0]) and parts[1:2] in ((), ("2D",), ("3D",)) and (
        len(parts) < 3 or is_derivative(parts[2]))


def _path_like(name: str) -> bool:
    """A name no block has (a suffix: run.9) or one below an existing folder."""
    folder = os.path.dirname(name)
    return "." in name or bool(folder) and os.path.isdir(folder)

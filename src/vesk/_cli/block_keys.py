"""Block keys as the command line gives them, checked before any file is read."""
from __future__ import annotations

import argparse

from vesk._errors import BlockNotFoundError
from vesk._file import key_parts


def block_key(text: str) -> str:
    """An argparse type: a malformed key is a usage error, not every file's
    missing block (which a folder's files would all be skipped for)."""
    try:
        key_parts(text)
    except BlockNotFoundError as e:
        raise argparse.ArgumentTypeError(
            "%s (a name as 'vesk ls' prints it, AB/2D/NONE, or a short form, AB)" % e)
    return text

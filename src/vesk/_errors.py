"""The exceptions of `vesk` and the one place that translates reading errors.

Every problem with a file's contents becomes a `FormatError` (also a
`ValueError`), a missing block a `BlockNotFoundError` (also a `KeyError`);
both derive from `VeskError`. Errors of the file system (`OSError`) and
`MemoryError` pass through unchanged. Messages name the file and, where they
are known, the block and the byte offset.
"""
from __future__ import annotations

import errno
import re
import struct
from typing import NoReturn, Optional


class VeskError(Exception):
    """Base class of every error that `vesk` raises about a file's contents.

    `path` is the file, `block` the block's name (for a key that names no
    block, or several, the key asked for) and `offset` the byte offset
    concerned, where they are known (else None), so that a service
    can report them without taking the message apart; the message names
    them too, and `reason` is the message without them. The low-level
    error it comes from is its `__cause__`.
    """

    path: Optional[str] = None
    block: Optional[str] = None
    offset: Optional[int] = None

    def __init__(self, *args: object, path: Optional[str] = None, block: Optional[str] = None,
                 offset: Optional[int] = None) -> None:
        super().__init__(*args)
        if path is not None:
            self.path = path
        if block is not None:
            self.block = block
        if offset is not None and offset >= 0:
            self.offset = offset

    @property
    def reason(self) -> str:
        """The message without the file, block and offset it begins with: for
        the person who sent the file, to whom a server's path means nothing."""
        text = str(self.args[0]) if self.args else ""
        if self.path is None:
            return text
        for prefix in (where(self.path, self.block, self.offset), where(self.path, self.block),
                       self.path):
            if text.startswith(prefix + ": "):
                return text[len(prefix) + 2:]
        return text


class FormatError(VeskError, ValueError):
    """The file is not a VESK file, or a structure in it cannot be read.

    Raised for files whose header, directory, parameter blocks, store tables
    or annotation tables are truncated or malformed. A block whose values
    simply end early is not an error: it reads as a shorter array.
    """


class VeskWarning(UserWarning):
    """A file's contents read, but not as they were meant to: the values of a
    spectrum whose declared points run past its data block, say."""


class FindWarning(UserWarning):
    """A file or folder that `vesk.find` passes over, and why.

    Not a VeskWarning: a filter that makes VeskWarning an error, to refuse
    values that are not all the measurement, still lets a walk over an
    archive holding an empty or duplicate file return its list."""


class BlockNotFoundError(VeskError, KeyError):
    """No block of the file matches the key; the message lists the keys it has."""

    def __str__(self) -> str:
        # KeyError would quote the message as a repr.
        return str(self.args[0]) if self.args else ""


class AmbiguousBlockError(BlockNotFoundError):
    """A short form names several blocks of the file; the message lists them."""


def where(path: str, block: Optional[str] = None, offset: Optional[int] = None) -> str:
    """The "file, block, offset" prefix of a message."""
    text = path
    if block is not None:
        text += ": block " + block
    if offset is not None and offset >= 0:
        text += " (at byte %d)" % offset
    return text


# The patterns of errors are compiled (into re's cache) when an error is met,
# not at every start.
# A short read, as unpack reports it.
_SHORT_READ = r"unpack requires a buffer of (\d+) bytes"
_NOTE = r"while reading file '/dev/fd/\d+'(.*?)(?:, at byte offset (\d+))?"


def _noted_offset(exc: BaseException, path: str, offset: Optional[int]) -> Optional[int]:
    """The byte offset the reader's note gives (nearer the fault than the block's),
    and the note made to name the file rather than the descriptor it was read by."""
    notes = getattr(exc, "__notes__", None)
    if not isinstance(notes, list):
        return offset
    for i, note in enumerate(notes):
        m = re.fullmatch(_NOTE, note) if isinstance(note, str) else None
        if m:
            notes[i] = "while reading file %r%s" % (path, note.split("'", 2)[2])
            if m.group(2) is not None:
                offset = int(m.group(2))
    return offset


# The low-level reader's wording where it speaks to a programmer calling it,
# and vesk's, to someone looking at a file.
_REWORDED = [
    (r"Invalid data block type: (.*?)\. Please enter a valid entry .*",
     r"blocks of type \1 cannot be read"),
    (r"Invalid deriv type: (.*?)\.  Please select .*", r"blocks of derivative \1 cannot be read"),
    (r"Incorrect dimensions: (.*?)\. Dimensions need .*",
     r"blocks of dimensions \1 cannot be read"),
    (r"missing key (.*)", r"missing entry \1"),
    (r"seek to negative position", r"a position the file gives lies before its start"),
    # numpy's row assignment, a stored block's values cut short
    (r"could not broadcast input array from shape \((\d+),\) into shape \((\d+),\)",
     r"file ends early: a stored block holds \1 of its \2 values"),
]


def reworded(message: str) -> str:
    for pattern, replacement in _REWORDED:
        if re.fullmatch(pattern, message):
            return re.sub(pattern, replacement, message)
    return message


def _names_offset(message: str, offset: int) -> bool:
    return re.search(r"\b(offset|byte) %d\b" % offset, message) is not None


def with_offset(message: str, offset: Optional[int]) -> str:
    """The message with the byte offset it concerns, unless it gives it already."""
    if offset is None or offset < 0 or _names_offset(message, offset):
        return message
    return message + " (at byte %d)" % offset


def raise_translated(
    exc: BaseException, path: str, block: Optional[str] = None, offset: Optional[int] = None,
    listed: Optional[str] = None,
) -> NoReturn:
    """Re-raises what the low-level reader raised as the matching `vesk` error.
    `listed` is the listing's account of why the block cannot be read, which
    names what numpy's refusals leave unsaid (a trace the file cuts short)."""
    # The reader seeking where the file's own numbers point, before its
    # start: the file object's refusal, not the file system's.
    refused = isinstance(exc, OSError) and exc.errno == errno.EINVAL and exc.filename is None
    if not refused and (isinstance(exc, (OSError, MemoryError, VeskError))
                        or not isinstance(exc, Exception)):
        raise exc
    if isinstance(exc, ValueError) and str(exc) == "Can't process a non-Vesk file":
        raise FormatError(path + ": not a VESK file", path=path) from exc
    offset = _noted_offset(exc, path, offset)
    if listed is not None:
        # The field as the message gives it: a service reports one or the other.
        named = offset if offset is not None and _names_offset(listed, offset) else None
        raise FormatError(where(path, block) + ": " + listed, path=path, block=block,
                          offset=named) from exc
    if refused:
        raise FormatError(where(path, block, offset) + ": a position the file gives lies before "
                          "its start", path=path, block=block, offset=offset) from exc
    short = re.fullmatch(_SHORT_READ, str(exc)) if isinstance(exc, struct.error) else None
    if short:  # worded as the outline words its own
        what = "file ends early: needed %s bytes" % short.group(1)
    elif isinstance(exc, struct.error):
        what = "structure ends early: %s" % exc
    elif isinstance(exc, KeyError):
        what = "missing entry %s" % exc
    else:
        what = reworded(str(exc)) or type(exc).__name__
    raise FormatError(where(path, block, offset) + ": " + what, path=path, block=block,
                      offset=offset) from exc


def raise_native(exc: ValueError, path: str, block: Optional[str] = None) -> NoReturn:
    """Re-raises a core error of the native module, ValueError(message, offset)."""
    message = reworded(str(exc.args[0]) if exc.args else str(exc))
    offset = exc.args[1] if len(exc.args) > 1 and isinstance(exc.args[1], int) else None
    raise FormatError(where(path, block) + ": " + with_offset(message, offset), path=path,
                      block=block, offset=offset) from exc

"""The files a command line names: a folder stands for the VESK files beneath it.

Files under a folder are told by their content (the magic number), since a
numbered series has extensions .0, .1, ...; each keeps its place below the
folder it was found under, so that outputs can mirror the tree.
"""
from __future__ import annotations

import os
import re
from typing import Iterator, List, NamedTuple, Sequence, Set, Tuple

import veskread

from .report import describe, error, warning


class Input(NamedTuple):
    path: str
    subfolder: str  # below the folder argument that found it; "" for a file named itself
    named: bool = True  # named on the command line, not found under a folder


class Inputs(NamedTuple):
    files: List[Input]
    errors: List[str]    # what could not be looked into
    warnings: List[str]  # folders that hold no VESK file, links not followed
    folders: bool        # a folder was among the arguments


def _natural(name: str) -> Tuple[object, ...]:
    """Sorts numbers in names by value: run.2 before run.10."""
    parts = re.split(r"(\d+)", name)
    return tuple(int(p) if k % 2 else p for k, p in enumerate(parts)), name


def _looks_measured(name: str) -> bool:
    """Named as measurements are (x.vesk, run.0), so that a damaged one is
    reported where other files are passed over in silence."""
    extension = os.path.splitext(name)[1][1:]
    return extension.isdigit() or extension.lower() == "vesk"


def find_inputs(arguments: Sequence[str]) -> Inputs:
    """The files of `arguments` in order, each folder replaced by its VESK files."""
    found = Inputs([], [], [], any(os.path.isdir(a) for a in arguments))
    for argument in arguments:
        if not os.path.isdir(argument):
            found.files.append(Input(argument, ""))  # reading it reports what is wrong
            continue
        before = len(found.files)
        _walk(argument, found)
        if len(found.files) == before:
            found.warnings.append("%s: holds no VESK files" % argument)
    seen: Set[str] = set()
    unique = []
    for item in found.files:  # a file named twice, or also found under a folder, once
        where = os.path.normpath(item.path)
        if where not in seen:
            seen.add(where)
            unique.append(item)
    found.files[:] = unique
    return found


def _walk(top: str, found: Inputs) -> None:
    # Depth first in name order through an explicit stack (no recursion limit
    # on a deep tree). Links to folders are followed within the tree only,
    # each folder once: a link to / or /proc would walk the whole system, and
    # a link back to an ancestor would loop.
    visited: Set[Tuple[int, int]] = set()
    stack: List[Tuple[Iterator[os.DirEntry[str]], str]] = []
    root = os.path.realpath(top)

    def enter(folder: str, subfolder: str) -> None:
        real = os.path.realpath(folder)
        if os.path.commonpath([root, real]) != root:
            found.warnings.append("%s: links out of %s; not followed" % (folder, top))
            return
        try:
            st = os.stat(folder)
            if (st.st_dev, st.st_ino) in visited:
                return
            visited.add((st.st_dev, st.st_ino))
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda e: _natural(e.name))
        except OSError as e:
            found.errors.append(describe(folder, e))
            return
        stack.append((iter(entries), subfolder))

    enter(top, "")
    while stack:
        entries, subfolder = stack[-1]
        entry = next(entries, None)
        if entry is None:
            stack.pop()
            continue
        try:
            if entry.is_dir():
                enter(entry.path, os.path.join(subfolder, entry.name))
            elif not entry.is_file():
                continue
            elif veskread.isVeskFile(entry.path):
                found.files.append(Input(entry.path, subfolder, named=False))
            elif _looks_measured(entry.name):
                found.warnings.append("%s: not a VESK file; skipped" % entry.path)
        except OSError as e:  # a file that cannot be read may be a measurement
            found.errors.append(describe(entry.path, e))


def take_inputs(arguments: Sequence[str]) -> Tuple[Inputs, int]:
    """The inputs, with what could not be looked into reported; the status so
    far: 1 if something could not, or if there is nothing to do at all."""
    found = find_inputs(arguments)
    for message in found.errors:
        error(message)
    for message in found.warnings:
        warning(message)
    return found, 1 if found.errors or not found.files else 0

"""The files a command line names: a folder stands for the VESK files beneath
it (`vesk._finding`), each keeping its place below the folder, so that
outputs can mirror the tree."""
from __future__ import annotations

import os
import unicodedata
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

from vesk._finding import walk

from ..export import make_folder
from .report import describe, error, warning


class Input(NamedTuple):
    path: str
    subfolder: str  # below the folder argument that found it; "" for a file named itself
    named: bool = True  # named on the command line, not found under a folder
    identity: Optional[Tuple[int, int]] = None  # (device, inode), where the walk took them


class Inputs(NamedTuple):
    files: List[Input]   # with files named as measurements that are no VESK files
    errors: List[str]    # what could not be looked into
    warnings: List[str]  # folders that hold no VESK file, links not followed
    folders: bool        # a folder was among the arguments


def find_inputs(arguments: Sequence[str]) -> Inputs:
    """The files of `arguments` in order, each folder replaced by its VESK files.
    Where several folders are named, each one's files are placed under its
    path from the folder that holds them all, so that day1/run.0 and
    day2/run.0, or a/day/run.0 and b/day/run.0, do not meet."""
    folders = [a for a in arguments if os.path.isdir(a)]
    found = Inputs([], [], [], bool(folders))
    common = os.path.commonpath([os.path.abspath(f) for f in folders]) if folders else ""
    for argument in arguments:
        if not os.path.isdir(argument):
            found.files.append(Input(argument, ""))  # reading it reports what is wrong
            continue
        before = len(found.files)
        place = os.path.relpath(os.path.abspath(argument), common)
        _walk(argument, found, place if len(folders) > 1 and place != os.curdir else "")
        if len(found.files) == before:
            found.warnings.append("%s: holds no VESK files" % argument)
    seen: Dict[object, str] = {}
    unique = []
    # A file named twice (by any path or link), or also found under a folder,
    # once; by another name (a link), said so, as a folder's walk says it.
    for item in found.files:
        where: object = item.identity
        if where is None:
            try:
                st = os.stat(item.path)
                where = (st.st_dev, st.st_ino)
            except OSError:  # reading it reports what is wrong
                where = os.path.realpath(item.path)
        if where not in seen:
            seen[where] = item.path
            unique.append(item)
        elif os.path.abspath(seen[where]) != os.path.abspath(item.path):
            found.warnings.append("%s: the same file as %s; skipped" % (item.path, seen[where]))
    found.files[:] = _apart(unique)
    return found


def _apart(files: List[Input]) -> List[Input]:
    """`files`, those of one name named from different folders (a shell's
    glob of day*/run.0) placed below the folder that holds them all, as a
    folder argument's files are, so that their outputs do not meet."""
    by_name: Dict[str, List[int]] = {}
    for k, item in enumerate(files):
        if item.named:
            by_name.setdefault(_one_name(os.path.basename(item.path)), []).append(k)
    files = list(files)
    for same in (ks for ks in by_name.values() if len(ks) > 1):
        folders = [os.path.dirname(os.path.abspath(files[k].path)) for k in same]
        common = os.path.commonpath(folders)
        for k, folder in zip(same, folders):
            below = os.path.relpath(folder, common)
            files[k] = files[k]._replace(subfolder="" if below == os.curdir else below)
    return files


def _one_name(name: str) -> str:
    """What a file system that ignores case or Unicode normalization (macOS,
    Windows, a memory stick) takes for the same name: Run.0 and run.0 from
    two folders, exported into one, would write over each other there."""
    return unicodedata.normalize("NFC", name).casefold()


def _walk(top: str, found: Inputs, place: str) -> None:
    def on_error(path: str, e: OSError) -> None:
        found.errors.append(describe(path, e))

    # A measurement's name on what is no VESK file (a run that crashed before
    # writing it, an empty copy) fails the command as it would named alone.
    for item in walk(top, on_error, found.warnings.append, misnamed=True):
        found.files.append(Input(item.path, os.path.join(place, item.subfolder) if place
                                 else item.subfolder, named=False, identity=item.identity))


def take_inputs(arguments: Sequence[str], output: Optional[str] = None) -> Tuple[Inputs, int]:
    """The inputs, with what could not be looked into reported; the status so
    far: 1 if something could not, or if there is nothing to do at all. With
    `output`, the folder for the outputs is made once there is an input to
    write from; where it cannot be, it is reported and no input is given."""
    found = find_inputs(arguments)
    for message in found.errors:
        error(message)
    for message in found.warnings:
        warning(message)
    status = 1 if found.errors or not found.files else 0
    if output is not None and found.files:
        try:
            make_folder(output)
        except OSError as e:
            error(describe(output, e))
            return found._replace(files=[]), 1
    return found, status

"""The VESK files beneath a folder: `vesk.find`, and the command's folder arguments.

Files are told by their content (the magic number), since a numbered series
has extensions .0, .1, ...; each is given with its place below the folder,
so that outputs can mirror the tree.
"""
from __future__ import annotations

import os
import re
import warnings
from typing import Callable, Dict, Iterator, List, NamedTuple, Optional, Set, Tuple, Union

from vesk._errors import FindWarning
from vesk._text import printable

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Found(NamedTuple):
    path: str
    subfolder: str  # below the folder searched; "" for a file directly in it
    identity: Optional[Tuple[int, int]] = None  # (device, inode) where the walk took them


#: The first bytes of a VESK file, as veskread.isVeskFile tells one.
MAGIC = b"\x0a\x0a\xfe\xfe"


def is_vesk_file(path: str) -> bool:
    """Whether the file at `path` begins as a VESK file: the walk's check,
    without veskread, whose import brings numpy's to a command that lists."""
    # (non-blocking: a FIFO put in a regular file's place would wait for a writer)
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0))
    try:
        return os.pread(fd, len(MAGIC), 0) == MAGIC
    finally:
        os.close(fd)


def natural_order(name: str) -> Tuple[object, ...]:
    """Sorts numbers in names by value: run.2 before run.10."""
    parts = re.split(r"(\d+)", name)
    return tuple(int(p) if k % 2 else p for k, p in enumerate(parts)), name


# A Zarr store (format 2: a group or an array; format 3) names its chunks by
# their indices, 0.0.0, 1.0.0, ..., as a numbered series names its runs: an
# export written into the folder it came from must not be taken for failed
# measurements by the next run over that folder.
_ZARR_MARKERS = (".zgroup", ".zarray", "zarr.json")


def is_zarr_store(folder: str) -> bool:
    """Whether `folder` holds a Zarr store's metadata."""
    return any(os.path.isfile(os.path.join(folder, name)) for name in _ZARR_MARKERS)


def looks_measured(name: str) -> bool:
    """Named as measurements are (x.vesk, run.0), so that a damaged one is
    reported where other files are passed over in silence."""
    extension = os.path.splitext(name)[1][1:]
    return extension.isdigit() or extension.lower() == "vesk"


def walk(top: str, on_error: Callable[[str, OSError], None],
         on_warning: Callable[[str], None], misnamed: bool = False) -> Iterator[Found]:
    """The VESK files beneath `top` in name order; what cannot be looked into
    goes to `on_error`, what is passed over with a reason to `on_warning`.
    Files named as measurements are that are not VESK files are passed over
    with a warning, or with `misnamed` given too, for their reader to refuse."""
    # Depth first in name order through an explicit stack (no recursion limit
    # on a deep tree). A link to what lies within the tree is passed over:
    # the walk finds that where it lies, under its own name rather than the
    # link's (a "latest" link would otherwise take a run's name). Links to
    # folders out of the tree are not followed: a link to / or /proc would
    # walk the whole system. Each folder and file is taken once.
    visited: Set[Tuple[int, int]] = set()
    files: Dict[Tuple[int, int], str] = {}
    stack: List[Tuple[Iterator[os.DirEntry[str]], str]] = []
    root = os.path.realpath(top)

    def within(path: str) -> bool:
        return os.path.commonpath([root, os.path.realpath(path)]) == root

    def walked(path: str) -> bool:
        """Whether the walk finds `path` where it lies: within, not hidden."""
        if not within(path):
            return False
        parts = os.path.relpath(os.path.realpath(path), root).split(os.sep)
        return not any(p.startswith(".") and p != "." for p in parts)

    def enter(folder: str, subfolder: str) -> None:
        if not within(folder):
            on_warning("%s: links out of %s; not followed" % (folder, top))
            return
        try:
            st = os.stat(folder)
            if (st.st_dev, st.st_ino) in visited:
                return
            visited.add((st.st_dev, st.st_ino))
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda e: natural_order(e.name))
        except OSError as e:
            on_error(folder, e)
            return
        stack.append((iter(entries), subfolder))

    enter(top, "")
    while stack:
        entries, subfolder = stack[-1]
        entry = next(entries, None)
        if entry is None:
            stack.pop()
            continue
        if entry.name.startswith("."):
            # as a shell's * does: a share's .snapshot copies of the whole
            # tree, the ._x.vesk side files one system leaves on a share, an
            # editor's lock files; one named on its own is still taken
            continue
        try:
            # (a link to a hidden place within, "current" to .versions/3, is followed)
            if entry.is_symlink() and walked(entry.path):
                continue
            if entry.is_dir():
                if not is_zarr_store(entry.path):  # outputs, not measurements
                    enter(entry.path, os.path.join(subfolder, entry.name))
            elif not entry.is_file():
                # a FIFO would wait for a writer, a device never end
                if looks_measured(entry.name):
                    on_warning("%s: %s; skipped" % (entry.path, "a broken link" if not
                                                    os.path.lexists(os.path.realpath(entry.path))
                                                    else "not a regular file"))
            elif is_vesk_file(entry.path):
                st = entry.stat()
                identity = (st.st_dev, st.st_ino)
                first = files.setdefault(identity, entry.path)
                if first == entry.path:
                    yield Found(entry.path, subfolder, identity)
                else:  # a hard link, or a second link to a file out of the tree
                    on_warning("%s: the same file as %s; skipped" % (entry.path, first))
            elif looks_measured(entry.name):
                if misnamed:
                    yield Found(entry.path, subfolder)
                else:  # an empty one is a run that crashed before writing
                    empty = ": it is empty (0 bytes)" if entry.stat().st_size == 0 else ""
                    on_warning("%s: not a VESK file%s; skipped" % (entry.path, empty))
        except OSError as e:  # a file that cannot be read may be a measurement
            on_error(entry.path, e)


def find(folder: PathType) -> List[str]:
    """The VESK files beneath `folder`, in its subfolders too, told by their
    content and in name order, numbers by value (run.2 before run.10), as
    `vesk ls FOLDER` takes them:
    `[vesk.read(p, "AB/2D/NONE") for p in vesk.find("data")]`.
    A file given for `folder` stands for itself, as on the command line.

    Names beginning with "." are passed over, as a shell's * does (a share's
    .snapshot folder holds copies of the whole tree), and so are Zarr
    stores (`vesk export --format zarr`'s), whose chunks are named as a
    numbered series is (0.0.0). A link to what lies
    within it is passed over, as that is found where it lies, unless that
    is hidden; a link to a file out of it is followed. A subfolder or file
    that cannot be looked into, a link to a folder out of it, a file reached again
    (a hard link) and a file named as measurements are (x.vesk, run.0) that
    is not a VESK file give a FindWarning; an OSError is raised only for
    `folder` itself.
    """
    top = os.fsdecode(folder)
    if os.path.isfile(top):
        return [top]
    os.scandir(top).close()  # the folder itself: FileNotFoundError, NotADirectoryError ...
    problems: List[str] = []
    found = [item.path for item in walk(
        top, lambda path, e: problems.append("%s: %s" % (path, e.strerror or e)),
        problems.append)]
    for message in problems:  # from here, so that they name the caller's line
        # shown as Python shows a warning: a name's control characters would
        # drive the terminal
        warnings.warn(FindWarning(printable(message)), stacklevel=2)
    return found

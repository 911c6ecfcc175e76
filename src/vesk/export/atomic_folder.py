"""Writes an output that is a folder (a Zarr store) under a temporary name
beside it, and renames it into place once whole.

As atomic does for a file: a crash or an interrupt leaves the old output or
none, never part of one, and a writer killed outright leaves its temporary
folder named after it, which a later write into the folder removes once that
writer has ended. The folder is made private (0700) and written through a
descriptor of it, so that nothing put in its name meanwhile is written
into; once whole, it is given the mode mkdir gives.

One is replaced (force) by swapping the new with the old in one step
(folder_swap), then removing the old; where the system cannot swap, by
moving the old aside under a temporary name, putting the new in its place,
then removing the old, and an interrupt before the new is in place puts the
old back (a writer killed outright there loses it). Only a
folder of the format's own (`ours`: a Zarr store) is ever moved aside or
removed: anything else at the name is refused, whatever is asked.
"""
from __future__ import annotations

import errno
import os
import stat
from typing import Callable, List, Optional

from .atomic import (_MAKING, ASIDE, IN_PROGRESS, OutputExistsError, _clear_once, _names,
                     _through, part_name, remove_tree, temporaries)
from .folder_swap import exchange

Ours = Callable[[str], bool]

# What rename answers where the name is taken: by a folder that is not
# empty, or by something that is not a folder.
_TAKEN = {errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR}


def not_ours(path: str, what: str) -> FileExistsError:
    """The refusal of what is at `path`, which is not `what` (a "Zarr store")."""
    try:
        mode = os.lstat(path).st_mode
    except OSError:
        mode = 0
    found = ("a folder of something else" if stat.S_ISDIR(mode) else
             "a link" if stat.S_ISLNK(mode) else "a file")
    return FileExistsError(errno.EEXIST, "not a %s but %s; not replaced" % (what, found), path)


def refuse_existing_folder(path: str, ours: Ours, what: str, force: bool,
                           skippable: bool = False,
                           overwrite: str = "use --force to overwrite") -> None:
    """As refuse_existing for a file: an output of the format's own at
    `path` unless `force`; anything else there, whatever is asked."""
    if not os.path.lexists(path):
        return
    if not ours(path):
        raise not_ours(path, what)
    if not force:
        raise OutputExistsError("%s exists (%s%s)" % (
            path, overwrite, ", or --skip-existing to keep it" if skippable else ""))


def _folder_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o777 & ~mask


def write_folder_atomically(path: str, write: Callable[[str], object], ours: Ours, what: str,
                            force: bool = False, keep_existing: bool = False) -> bool:
    """Calls write(temporary_folder), made empty, then renames it to `path`;
    True. As write_atomically does for a file: an existing output is
    refused unless `force` (replaced then) or `keep_existing` (kept: False);
    on any error the temporary folder is removed and `path` left as it was."""
    if keep_existing and ours(path):
        return False
    refuse_existing_folder(path, ours, what, force)
    _clear_once(os.path.dirname(os.path.abspath(path)))
    through = None

    def about(name: object, mine: List[str]) -> bool:  # a file within, or the folder
        return any(_within(name, top) for top in mine + [through])

    with temporaries(path, _remove, about) as (mine, held):
        tmp = _make_folder(path, mine, held)
        through = _through(tmp, held[0])
        write(through)
        if not _names(tmp, held[0]):
            raise FileExistsError(errno.EEXIST, "the temporary folder was replaced while the "
                                  "output was written", tmp)
        os.fchmod(held[0], _folder_mode())
        try:
            _put_in_place(tmp, path, ours, what, force)
        except OutputExistsError:
            if not (keep_existing and ours(path)):
                raise
            remove_tree(tmp)
            return False
    return True


def _within(name: object, top: Optional[str]) -> bool:
    return isinstance(name, str) and top is not None and (
        name == top or name.startswith(top + os.sep))


def _make_folder(path: str, mine: List[str], held: List[int]) -> str:
    """A new empty folder beside `path`, private, its name put in `mine` and
    IN_PROGRESS before it is made, its descriptor in `held`."""
    for _ in range(100):
        tmp = part_name(path)
        mine.append(tmp)
        IN_PROGRESS.add(tmp)
        try:
            with _MAKING:
                os.mkdir(tmp, 0o700)
        except OSError as e:
            mine.remove(tmp)
            IN_PROGRESS.discard(tmp)
            if isinstance(e, FileExistsError):  # another's
                continue
            e.filename = os.path.dirname(path) or os.curdir
            raise
        fd = os.open(tmp, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
                     | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0))
        held.append(fd)
        st = os.fstat(fd)
        # the folder made, not another put in its name between the two calls,
        # which is not ours to remove
        if st.st_uid != os.getuid() or stat.S_IMODE(st.st_mode) & 0o077 or os.listdir(fd):
            mine.remove(tmp)
            IN_PROGRESS.discard(tmp)
            raise FileExistsError(errno.EEXIST, "the temporary folder was replaced as it "
                                  "was made", tmp)
        return tmp
    raise FileExistsError(errno.EEXIST, "no temporary name left beside the output", path)


def _remove(tmp: str, fd: Optional[int]) -> None:
    # Only while `tmp` still names the folder made: once renamed into place,
    # it is the output.
    try:
        if fd is not None and not _names(tmp, fd):
            return
    except OSError:
        return
    remove_tree(tmp)


def _put_in_place(tmp: str, path: str, ours: Ours, what: str, force: bool) -> None:
    if force and os.path.lexists(path):
        _replace(tmp, path, ours, what)
        return
    if os.path.lexists(path):
        refuse_existing_folder(path, ours, what, force=False)
    try:
        os.rename(tmp, path)
    except OSError as e:
        # put there by another meanwhile: kept, as a file is
        if e.errno not in _TAKEN:
            raise
        refuse_existing_folder(path, ours, what, force=False)
        raise


def _replace(tmp: str, path: str, ours: Ours, what: str) -> None:
    """Puts `tmp` in place of the output at `path`, swapped with it in one
    step where the system can, else moved aside first; the old one is
    removed once the new one is in its place."""
    if not ours(path):
        raise not_ours(path, what)
    _refuse_unremovable(path, what)
    if _swap(tmp, path, ours, what):
        return
    aside = part_name(path)
    ASIDE[aside] = (path, ours)
    try:
        os.rename(path, aside)
        if not ours(aside):  # put there by another meanwhile: not ours to replace
            raise not_ours(path, what)
        os.rename(tmp, path)
    finally:
        try:
            _settle(aside, path, ours)
        finally:
            del ASIDE[aside]


def _refuse_unremovable(path: str, what: str) -> None:
    """Refuses a folder that this user could move but not empty (another
    user's): replaced, it would be left hidden under a temporary name."""
    def refused(_: object = None) -> None:
        raise PermissionError(errno.EACCES, "a %s this user cannot remove; not replaced"
                              % what, path)
    for where, _, _ in os.walk(path, onerror=refused):  # following no link
        if not os.access(where, os.W_OK | os.X_OK):
            refused()


def _swap(tmp: str, path: str, ours: Ours, what: str) -> bool:
    """`tmp` and the output at `path` exchanged, the old one then removed
    from `tmp`: True; False where the system cannot swap, nothing done."""
    # Under `tmp` the old one is removed on every way out (an interrupt
    # before its removal began too), as one moved aside.
    ASIDE[tmp] = (path, ours)
    swapped = False
    try:
        if not exchange(tmp, path):
            return False
        swapped = True
        if not ours(tmp):  # put there by another meanwhile: given back
            exchange(tmp, path)
            swapped = False
            raise not_ours(path, what)
        return True
    finally:
        try:
            if swapped and ours(tmp):
                remove_tree(tmp)
        finally:
            del ASIDE[tmp]


def _settle(aside: str, path: str, ours: Ours) -> None:
    """The output moved aside to `aside` removed where another is in place
    at `path` (only one of the format's own), else put back there."""
    if not os.path.lexists(aside):
        return
    if not os.path.lexists(path):
        os.rename(aside, path)
    elif ours(aside):
        remove_tree(aside)

"""Writes an output under a temporary name in its folder and renames it into place.

A crash or an interrupt therefore leaves either the old file or none, never
half a file; the rename (`os.replace`) is atomic within one file system. A
writer killed outright leaves its temporary file, named after the writer
where the system tells processes apart for sure: a later write into the
folder removes it once that writer is known to have ended. An output that
is a folder (atomic_folder) has its temporary folders named and removed alike.
"""
from __future__ import annotations

import contextlib
import errno
import hashlib
import os
import re
import shutil
import stat
import threading
import warnings
from typing import Callable, Dict, Iterator, List, Optional, Set, Tuple


#: Temporary files being written by this process.
IN_PROGRESS: Set[str] = set()
# Held while a temporary file is named and made, and for good by
# remove_in_progress: another thread of a worker that is ending makes none after.
_MAKING = threading.Lock()


class OutputExistsError(FileExistsError):
    """The output is already there and overwriting was not asked for."""


def refuse_existing(path: str, force: bool, skippable: bool = False,
                    overwrite: str = "use --force to overwrite") -> None:
    """`skippable`: the command has --skip-existing, the way on after an
    interrupted run, which the message then offers beside --force;
    `overwrite` how the caller overwrites it."""
    if os.path.isdir(path):  # no --force replaces a folder with a file
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not force and os.path.lexists(path):
        raise OutputExistsError("%s exists (%s%s)" % (
            path, overwrite, ", or --skip-existing to keep it" if skippable else ""))


def is_output(path: str) -> bool:
    """Whether an output is already at `path`: complete, as outputs are only
    ever renamed into place. A folder there is not one, nor a broken link."""
    return os.path.isfile(path)


def make_folder(path: str) -> None:
    """`path` as a folder, made with its parents where missing."""
    if os.path.lexists(path) and not os.path.isdir(path):
        if not os.path.exists(path):  # makedirs would say "File exists" of a broken link
            raise FileNotFoundError(errno.ENOENT, "a link to %s, which does not exist"
                                    % os.readlink(path), path)
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), path)
    os.makedirs(path, exist_ok=True)


def _file_mode() -> int:
    # mkstemp makes 0600 files; give the finished output the mode open() would.
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def write_atomically(path: str, write: Callable[[str], object], force: bool = False,
                     keep_existing: bool = False) -> bool:
    """Calls write(temporary_path), then renames the result to `path`; True.

    Refuses an existing `path` unless `force`, also one that appears while
    the output is written (OutputExistsError). With `keep_existing`, an
    output already there, or written meanwhile by another run, is kept
    instead: False. On any error the temporary file is removed and `path`
    is left as it was.
    """
    if keep_existing and is_output(path):
        return False
    refuse_existing(path, force)
    _clear_once(os.path.dirname(os.path.abspath(path)))
    through = None
    # held: the temporary file's descriptor, once made
    with temporaries(path, _remove, lambda name, mine: name in mine or name == through) as (
            mine, held):
        tmp = _make_temporary(path, mine, held)
        through = _through(tmp, held[0])
        write(through)
        _still_mine(tmp, held[0])
        if hasattr(os, "fchmod"):
            os.fchmod(held[0], _file_mode())
        else:
            os.chmod(tmp, _file_mode())
        try:
            _put_in_place(tmp, path, force)
        except OutputExistsError:
            if not (keep_existing and is_output(path)):
                raise
            os.unlink(tmp)
            return False
    return True


@contextlib.contextmanager
def temporaries(path: str, remove: Callable[[str, Optional[int]], None],
                about: Callable[[object, List[str]], bool]
                ) -> Iterator[Tuple[List[str], List[int]]]:
    """The temporary names (`mine`) and descriptors (`held`) of a write of
    `path`, a file's or a folder's: on any error each name is removed
    (`remove(name, first descriptor)`), and an OSError without a name (a
    full disk) or `about` one of them is told as about `path`; on every way
    out the descriptors are closed and the names no longer in progress."""
    mine: List[str] = []
    held: List[int] = []
    try:
        yield mine, held
    except BaseException as e:
        if isinstance(e, OSError) and e.strerror and (
                e.filename is None or about(e.filename, mine)):
            e.filename = path
        for tmp in mine:
            remove(tmp, held[0] if held else None)
        raise
    finally:
        IN_PROGRESS.difference_update(mine)
        for fd in held:
            os.close(fd)


def not_left_by_export(half: str) -> FileExistsError:
    """The refusal of `half`, alone where a pair goes and not left by an
    export: --skip-existing, which writes such a half again, keeps this one."""
    return FileExistsError("%s exists, and is not half a pair that an export left (use "
                           "--force to overwrite it)" % half)


def write_with_header(path: str, header: str, write: Callable[[str], object],
                      write_header: Callable[[str], object], force: bool = False,
                      keep_existing: bool = False,
                      left: Callable[[str], bool] = lambda half: True) -> bool:
    """As write_atomically, for an output of two files, `path` and the
    `header` that tells what it holds: the data are put in place before
    their header, and an old header is removed before new data replace
    its own, so that a header present means its data are whole, whatever
    interrupts. With `keep_existing`, a pair already there is kept (False);
    one half of a pair, left by a run that stopped (`left` tells it from
    another file of its name, a FileExistsError: no OutputExistsError,
    which --skip-existing would keep), is written again."""
    if keep_existing:
        if is_output(path) and is_output(header):
            return False
        for half in (path, header):
            if is_output(half) and not left(half):
                raise not_left_by_export(half)
        force = True
    refuse_existing(path, force)
    refuse_existing(header, force)

    def data_first(tmp_header: str) -> None:
        write_header(tmp_header)

        def data(tmp: str) -> None:
            write(tmp)
            if force and os.path.lexists(header):
                os.unlink(header)
        write_atomically(path, data, force=force)

    return write_atomically(header, data_first, force=force)


def _through(tmp: str, fd: int) -> str:
    """A path to the temporary file that opens the file made, whatever its
    name is made to point to meanwhile: in a folder others may write to, a
    link put in its place would have the output written over the file it
    points to. By name where the system has no such path."""
    alias = "/proc/self/fd/%d" % fd
    return alias if os.path.exists(alias) else tmp


def _names(tmp: str, fd: int) -> bool:
    """Whether `tmp` still names the file made, open as `fd`."""
    made, there = os.fstat(fd), os.lstat(tmp)
    return (made.st_dev, made.st_ino) == (there.st_dev, there.st_ino)


def _still_mine(tmp: str, fd: int) -> None:
    """Refuses to put in place what is no longer the file made under `tmp`."""
    if not _names(tmp, fd):
        raise FileExistsError(errno.EEXIST, "the temporary file was replaced while the "
                              "output was written", tmp)


def part_name(path: str) -> str:
    """A new temporary name beside `path`, named after this writer where it can be."""
    folder, name = os.path.split(os.path.abspath(path))
    # Plain characters only: netCDF refuses a path with a backslash or
    # with bytes that are not UTF-8, which the final name may hold. Short:
    # an output named near the longest a name may be still has its own.
    plain = re.sub(r"[^\w.-]", "_", name, flags=re.ASCII)[:64]
    writer = _writer()
    return os.path.join(folder, ".%s.%s%s.part" % (
        plain, os.urandom(4).hex(), "" if writer is None else ".%s-%d-%d" % writer))


def _make_temporary(path: str, mine: List[str], held: List[int]) -> str:
    """An empty file, new, beside `path`, its name put in `mine` and in
    IN_PROGRESS before the file is made: a signal that ends the command as
    it is made leaves nothing behind. Its descriptor, left open, goes in `held`."""
    for _ in range(100):
        tmp = part_name(path)
        mine.append(tmp)
        IN_PROGRESS.add(tmp)
        try:
            with _MAKING:
                held.append(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                                    | getattr(os, "O_CLOEXEC", 0), 0o600))
            return tmp
        except OSError as e:
            mine.remove(tmp)  # another's, or never made
            IN_PROGRESS.discard(tmp)
            if not isinstance(e, FileExistsError):
                # the user named the folder, never the temporary file
                e.filename = os.path.dirname(path) or os.curdir
                raise
    raise FileExistsError(errno.EEXIST, "no temporary name left beside the output", path)


def _remove(tmp: str, fd: Optional[int]) -> None:
    # Emptied first: a library that keeps the file open after its failure
    # (netCDF's on a full disk) would hold its blocks until the command ends.
    # Through its descriptor: by name, a link put in its place is followed.
    # Only while `tmp` still names it, alone: once renamed or linked as the
    # output (a signal as it is put in place), it is the output.
    try:
        if fd is not None and _names(tmp, fd) and os.fstat(fd).st_nlink == 1:
            os.ftruncate(fd, 0)
    except OSError:
        pass
    try:
        os.unlink(tmp)
    except FileNotFoundError:
        pass


def _put_in_place(tmp: str, path: str, force: bool) -> None:
    if force:
        os.replace(tmp, path)
        return
    # An output that another run wrote meanwhile is kept, not replaced: a
    # link fails where the name is taken, in the same step.
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise OutputExistsError("%s exists (use --force to overwrite)" % path) from None
    except OSError as e:
        if e.errno not in _NO_HARD_LINKS:
            raise
        os.replace(tmp, path)
    else:
        os.unlink(tmp)


# What a file system without hard links (FAT, some network shares) answers.
_NO_HARD_LINKS = {errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.ENOSYS}


def remove_in_progress() -> None:
    """Removes the temporary files and folders of writes under way, for a
    process that must end at once (a worker whose parent has gone); an
    output moved aside to be replaced goes back where its replacement is
    not in place yet."""
    # Not for ever: a signal handler of the thread making one runs here too.
    _MAKING.acquire(timeout=1)
    for aside, (path, ours) in list(ASIDE.items()):
        try:
            if not os.path.lexists(path):
                os.rename(aside, path)
            elif ours(aside):
                remove_tree(aside)
        except OSError:
            pass
    for tmp in list(IN_PROGRESS):
        try:
            os.unlink(tmp)
        except OSError:
            remove_tree(tmp)  # a folder (nothing where it is not)


#: Outputs moved aside by this process to be replaced by a folder:
#: {aside: (path, whether a folder is one of the format's own)}.
ASIDE: Dict[str, Tuple[str, Callable[[str], bool]]] = {}


def remove_tree(path: str) -> None:
    """Removes the folder `path` and all within it, following no link: a link
    within is removed, not what it names; nothing where `path` is not a
    folder (a link to one, a file)."""
    try:
        if not stat.S_ISDIR(os.lstat(path).st_mode):
            return
    except OSError:
        return
    # Through descriptors where the system has them: a folder within
    # replaced by a link meanwhile is not followed either.
    shutil.rmtree(path, ignore_errors=True)


# A temporary file named after its writer: where it runs (boot and
# namespaces, as a digest), its pid and the time it started.
_PART = re.compile(r"\.[\w.-]{1,64}\.[0-9a-f]{8}"
                   r"\.([0-9a-f]{16})-([1-9][0-9]{0,9})-([0-9]{1,20})\.part", flags=re.ASCII)
_WRITERS: Dict[int, Optional[Tuple[str, int, int]]] = {}  # by pid: a forked child is another
_CLEARED: Set[Tuple[int, str]] = set()


def _forgotten() -> None:
    # A forked child forgets its ancestors' writers: one of them ended, its pid
    # may be the child's, which would then name its files after the ended one,
    # and another process would take them for stale while they are written.
    _WRITERS.clear()
    _CLEARED.clear()


os.register_at_fork(after_in_child=_forgotten)


def _read(path: str) -> str:
    with open(path, "rb") as f:
        return f.read().decode("ascii", "replace")


def _started(line: str) -> int:
    # The name in parentheses may hold spaces and parentheses itself.
    return int(line[line.rindex(")") + 2:].split()[19])


def _writer() -> Optional[Tuple[str, int, int]]:
    """This process as its temporary files name it: where it runs, its pid,
    its start; None where that cannot be told for sure (no /proc, or one of
    another pid namespace, whose pids are not ours)."""
    pid = os.getpid()
    if pid not in _WRITERS:
        # Set once known: a thread asking meanwhile would name its file after no one.
        writer: Optional[Tuple[str, int, int]] = None
        try:
            nspid = [line.split()[1:] for line in _read("/proc/self/status").splitlines()
                     if line.startswith("NSpid:")]
            boot = _read("/proc/sys/kernel/random/boot_id").strip().replace("-", "")
            if nspid == [[str(pid)]] and re.fullmatch("[0-9a-f]{32}", boot):
                # The start time is told as of the reader's time namespace.
                spaces = [os.stat("/proc/self/ns/" + ns).st_ino if os.path.exists(
                    "/proc/self/ns/" + ns) else 0 for ns in ("pid", "time")]
                where = hashlib.sha256(("%s %d %d" % (boot, spaces[0], spaces[1])).encode()
                                       ).hexdigest()
                writer = (where[:16], pid, _started(_read("/proc/self/stat")))
        except (OSError, ValueError, IndexError):
            pass
        _WRITERS[pid] = writer
    return _WRITERS[pid]


def _gone(pid: int, started: int) -> bool:
    """Whether the process `pid` of this boot and namespaces, started at
    `started`, has ended. Only when sure: a process hidden from /proc, or
    another user's, counts as running."""
    try:
        os.kill(pid, 0)  # unlike /proc, not hidden from other users
    except ProcessLookupError:
        return True
    except (OSError, OverflowError):
        return False
    try:
        return _started(_read("/proc/%d/stat" % pid)) != started  # its pid taken again
    except (OSError, ValueError, IndexError):
        return False


def remove_stale(folder: str) -> List[str]:
    """Removes from `folder` the temporary files (and folders, this user's)
    of writers of this machine that ended before finishing them (killed
    outright, out of memory); returns their paths. Another's under way, or
    one that cannot be told, is left."""
    me = _writer()
    removed: List[str] = []
    if me is None:
        return removed
    try:
        names = os.listdir(folder)
    except OSError:
        return removed
    for name in names:
        match = _PART.fullmatch(name)
        if match is None or match.group(1) != me[0]:
            continue
        pid, started = int(match.group(2)), int(match.group(3))
        path = os.path.join(folder, name)
        try:
            st = os.lstat(path)
            if stat.S_ISREG(st.st_mode) and _gone(pid, started):
                os.unlink(path)
                removed.append(path)
            elif stat.S_ISDIR(st.st_mode) and st.st_uid == os.getuid() and _gone(pid, started):
                remove_tree(path)
                if not os.path.lexists(path):
                    removed.append(path)
        except OSError:
            pass
    return removed


def _clear_once(folder: str) -> None:
    """Removes stale temporary files from a folder the first time this
    process writes into it, each told as a warning."""
    if (os.getpid(), folder) in _CLEARED:
        return
    _CLEARED.add((os.getpid(), folder))
    from vesk._file import user_level

    for path in remove_stale(folder):
        # At the caller's line (vesk.export.write's, say), not at ours
        warnings.warn("removed %s, left unfinished by a process that ended abruptly" % path,
                      stacklevel=user_level())

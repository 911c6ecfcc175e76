"""`vesk export`: every chosen block of every file, into one open format each.

The unit of work is one file (all its chosen blocks), so that `--jobs N` can
hand files to N worker processes; a worker returns a report instead of
raising, so one bad file is reported by name and the others still export.
"""
from __future__ import annotations

import argparse
import collections
import contextlib
import errno
import os
import signal
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from typing import (TYPE_CHECKING, Any, Deque, Dict, Generator, Iterator, List, NamedTuple,
                    Optional, Sequence, Set, Tuple)

import vesk

from ..export import FORMATS, Format, OutputExistsError, make_folder
from ..export.atomic import not_left_by_export, remove_in_progress
from .inputs import Input, take_inputs
from .output_bound import OutputBudget, size_text
from .output_names import output_stems
from .progress import Progress
from .report import (OutputFailed, Terminated, counted, describe, emit_json, emit_path, error,
                     library_warnings_ignored, no_room, note, stopped_for_room, warning)

if TYPE_CHECKING:
    import concurrent.futures


class Job(NamedTuple):
    path: str
    stem: str  # names the outputs
    keys: Optional[Tuple[str, ...]]  # None: every block
    format: str
    layout: str
    folder: str
    force: bool
    skip_existing: bool
    named: bool = True  # named on the command line, not found under a folder
    update: bool = False  # --update: outputs older than their file are written again
    # Gone again after a worker died on it: outputs whose status changed
    # since this time (ns), the run's start, were written by that worker.
    ours_since: Optional[int] = None


@dataclass
class Report:
    path: str
    written: List[str] = field(default_factory=list)
    skipped: List[str] = field(default_factory=list)   # messages
    errors: List[str] = field(default_factory=list)    # messages, each naming the file
    kept: List[str] = field(default_factory=list)      # outputs already there (--skip-existing)
    warnings: List[str] = field(default_factory=list)  # raised while reading, in order
    blocks_failed: int = 0  # of the errors, those of one block; any other fails the file
    existed: int = 0        # of those, refused as their outputs are there
    missing: bool = False   # the file itself was not there
    full: Optional[str] = None  # why no output can be written at all (a full disk)
    # each of the errors for a program: the path it is about, the block, the
    # exception's class and the message
    failures: List[Dict[str, Any]] = field(default_factory=list)
    per_block: int = 1  # outputs each block writes (ENVI's values and header: 2)

    def failed(self, error: BaseException, block: Optional[str] = None,
               message: Optional[str] = None) -> None:
        """The file failed (or only `block`, where given): `message` as
        describe() tells `error` by default."""
        message = describe(self.path, error, block) if message is None else message
        self.errors.append(message)
        self.blocks_failed += block is not None
        # not a descriptor's number, which an OSError may name instead
        where = error.filename if isinstance(error, OSError) and \
            isinstance(error.filename, (str, bytes, os.PathLike)) else self.path
        told: Dict[str, Any] = {"path": os.fsdecode(where), "block": block,
                                "error": type(error).__name__, "message": message}
        if isinstance(error, OSError) and error.errno is not None:
            told["errno"] = errno.errorcode.get(error.errno, error.errno)
        self.failures.append(told)

    @property
    def file_failed(self) -> bool:
        return len(self.errors) > self.blocks_failed


def output_path(job: Job, block: vesk.Block, fmt: Format) -> str:
    suffix = fmt.spectrum_suffix if block.kind == "spectrum" else fmt.other_suffix
    return os.path.join(job.folder, "%s_%s%s" % (job.stem, block.variable_name, suffix))


def export_file(job: Job) -> Report:
    """Exports one file; never raises for what the file or the disk does."""
    fmt = FORMATS[job.format]
    report = Report(job.path, per_block=len(fmt.outputs("")))
    # Recorded and handed back: a worker process would print them raw, over
    # the progress line, without the command's filters.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        library_warnings_ignored()
        try:
            export_blocks(job, fmt, report)
        except (KeyboardInterrupt, Terminated) as e:
            # stopped within the file: the blocks it wrote are still to be told
            e.partial = report  # type: ignore[union-attr]
            raise
    report.warnings.extend(str(w.message) for w in caught)
    return report


def export_blocks(job: Job, fmt: Format, report: Report) -> None:
    try:
        with vesk.open(job.path) as f:
            chosen: List[vesk.Block] = []
            for key in job.keys or ():
                try:
                    chosen.append(f.block(key))
                except vesk.BlockNotFoundError as e:
                    # --block over a folder: the files that hold it; a short
                    # form that names several blocks fails wherever it is
                    if job.named or isinstance(e, vesk.AmbiguousBlockError):
                        report.failed(e, key, describe(job.path, e))
                    else:
                        report.skipped.append(describe(job.path, e))
                except Exception as e:
                    report.failed(e, key, describe(job.path, e))
            budget = OutputBudget(f)
            done = set()
            for block in (chosen if job.keys else f.blocks):
                if block.name in done:  # a name read again gives the same block
                    report.skipped.append("%s: %s: appears more than once; written once" % (
                        job.path, block.name))
                    continue
                done.add(block.name)
                export_block(f, block, fmt, job, report, asked=bool(job.keys), budget=budget)
                if report.full is not None:
                    break
    except Exception as e:
        report.failed(e)
        report.missing = isinstance(e, FileNotFoundError)  # export_block catches its own


def export_block(f: vesk.VeskFile, block: vesk.Block, fmt: Format, job: Job, report: Report,
                 asked: bool, budget: OutputBudget) -> None:
    if block.problem is not None:
        report.failed(ValueError(block.problem), block.name)
        return
    refused = fmt.refusal(block.kind) if not fmt.holds(block.kind) else fmt.empty_refusal(block)
    if refused is not None:
        message = "%s: %s: %s" % (job.path, block.name, refused)
        if asked:
            report.failed(ValueError(message), block.name, message)
        else:
            report.skipped.append(message)
        return
    oversize = fmt.oversize(block)
    if oversize is not None:
        message = "%s: %s: %s; not exported" % (job.path, block.name, oversize)
        report.failed(ValueError(message), block.name, message)
        return
    refused = budget.take_export(block, fmt, job.layout)
    if refused is not None:
        message = "%s: %s: %s; not exported" % (job.path, block.name, refused)
        report.failed(ValueError(message), block.name, message)
        return
    out = output_path(job, block, fmt)
    outs = fmt.outputs(out)
    made = [job.ours_since is not None and _made_since(fmt, o, job.ours_since) for o in outs]
    if all(made):
        report.written.extend(outs)  # its report died with the worker
        return
    keep = job.skip_existing or job.update
    # half a pair: the worker died between its two renames, past the refusals
    force = job.force or any(made)
    if keep and all(map(fmt.exists, outs)):  # after the budget: kept outputs count too
        # One older than its file was made from an earlier state of it: a
        # copy still under way, a run measured again over a crashed one.
        older = any(_older_than_source(o, job.path) for o in outs)
        if not (older and job.update):
            report.kept.extend(outs)
            if older:
                report.warnings.append("%s: %s: kept %s, older than the file (--update or "
                                       "--force writes it again)" % (job.path, block.name, out))
            return
        keep, force = False, True
    try:
        # Half a pair alone: --skip-existing writes it again where an export
        # left it, which its values tell; another file of its name only --force replaces.
        lone = len(outs) > 1 and not (force or keep) and sum(map(fmt.exists, outs)) == 1
        if not lone:
            for o in outs:  # before reading the values
                fmt.refuse_existing(o, force or keep and len(outs) > 1, skippable=True)
        data = f._read(block, say_changed=False)  # said once, as _dated_if_changed says it
        if lone:
            half = next(o for o in outs if fmt.exists(o))
            if not fmt.left(data, half):
                raise not_left_by_export(half)
            for o in outs:
                fmt.refuse_existing(o, force, skippable=True)
        repeated = 0 if block.kind == "spectrum" else fmt.repeated(data, job.layout)
        if not budget.take(repeated):
            wide = job.layout != "wide" and fmt.repeated(data, "wide") <= budget.left
            message = ("%s: %s: %s, %s in all, more than a "
                       "file of %d bytes can give; not exported%s" % (
                           job.path, block.name, fmt.repeats, size_text(repeated),
                           budget.file_size,
                           " (--layout wide writes them fewer times)" if wide else ""))
            report.failed(ValueError(message), block.name, message)
            return
        make_folder(os.path.dirname(out))
        written = fmt.put(data, out, job.layout, force=force, keep_existing=keep)
    except Exception as e:
        report.failed(e, block.name)
        report.existed += isinstance(e, OutputExistsError)
        if isinstance(e, OSError) and no_room(e):
            report.full = "%s%s" % (e.strerror or e, " (%s)" % os.fsdecode(e.filename)
                                    if e.filename is not None else "")
    else:  # not written: another run wrote it meanwhile
        (report.written if written else report.kept).extend(outs)
        if written:
            _dated_if_changed(f, job, block, outs, report)


def _made_since(fmt: Format, out: str, since: int) -> bool:
    try:
        return fmt.exists(out) and os.stat(out).st_ctime_ns >= since
    except OSError:
        return False


def _older_than_source(out: str, source: str) -> bool:
    """Whether `out` was made before `source` last changed: by the time of its
    contents, or of its inode, which a copy keeping an earlier time (cp -p,
    an archive unpacked) or a file moved into the folder sets to now."""
    st = os.stat(source)
    return os.stat(out).st_mtime_ns < max(st.st_mtime_ns, st.st_ctime_ns)


def _dated_if_changed(f: vesk.VeskFile, job: Job, block: vesk.Block, outs: List[str],
                      report: Report) -> None:
    """An output of a file that changed while it was read (still being
    written) is given the file's time as read: older than the file, it is
    written again by --update, not taken for what the whole file holds."""
    listed = f._mtime_ns
    try:
        now = os.stat(job.path).st_mtime_ns
        with f._reading() as (fd, _):
            unchanged = now == listed and not f._changed_since(fd)
        if unchanged:
            # a file dated ahead of the clock: its output, made now, would be
            # older than it at every --update till then, and written again
            for out in outs:
                if listed > os.stat(out).st_mtime_ns:
                    os.utime(out, ns=(listed, listed))
            return
    except OSError:
        return
    for out in outs:
        try:
            os.utime(out, ns=(listed, listed))
        except OSError:
            pass
    report.warnings.append("%s: %s: the file changed while it was exported (still being "
                           "written?); %s holds it as it was: --update writes it again" % (
                               job.path, block.name, outs[0]))


def plan(args: argparse.Namespace, inputs: Sequence[Input]) -> Tuple[List[Job], List[Report]]:
    """The jobs, and the reports of inputs refused as their outputs would take
    another's names."""
    stems, errors = output_stems(inputs)
    jobs = [Job(item.path, stem, tuple(args.blocks) if args.blocks else None, args.format,
                args.layout or "long", args.output, args.force, args.skip_existing, item.named,
                args.update)
            for item, stem in stems.items()]
    refused = [item for item in inputs if item not in stems]  # one error each, in order
    reports = [Report(item.path) for item in refused]
    for report, message in zip(reports, errors):
        report.failed(FileExistsError(message), message=message)
    return jobs, reports


@dataclass
class Unfinished:
    """Where a run stopped (interrupted, or at a full disk): the reports of
    files done meanwhile, not yet handed on, and the files then under way."""
    reports: Dict[int, Report] = field(default_factory=dict)
    under_way: Set[int] = field(default_factory=set)
    # outputs made by workers since then (ns) are theirs
    since: Optional[int] = None
    partial: Optional[Report] = None  # of the file under way in this process


def run_jobs(jobs: List[Job], workers: int, left: Optional[Unfinished] = None
             ) -> Generator[Tuple[int, Report], None, None]:
    """Yields the number and report of each job as it completes; where it
    stops before the end, what was under way goes into `left`."""
    left = Unfinished() if left is None else left
    if workers <= 1 or len(jobs) <= 1:
        yield from _in_turn(jobs, range(len(jobs)), left)
        return
    # imported here: a command that starts no workers would spend a tenth of its start on them
    import multiprocessing

    # spawn: workers start clean, never with a copy of the parent's threads or open files
    context = multiprocessing.get_context("spawn")
    since = left.since = time.time_ns()
    waiting = collections.deque(range(len(jobs)))
    # The files under way when a worker ended abruptly (killed, out of
    # memory): one of them ended it, and the pool with it. Each goes again
    # alone, so that only the one that ends its worker again is failed, and
    # the files after them go on in a new pool.
    suspects: Deque[int] = collections.deque()
    try:
        while waiting or suspects:
            alone = bool(suspects)
            queue = suspects if alone else waiting
            try:
                yield from _in_pool(jobs, queue, 1 if alone else min(workers, len(waiting)),
                                    since if alone else None, suspects, context, left)
                continue
            except _NoWorkers as e:
                why = e.args[0].strerror or str(e.args[0])
            # Out of the handler: its traceback holds the pool's frame, whose
            # pipes, kept open, take the descriptors that the files then need.
            warning("cannot start worker processes (%s); exporting in this process" % why)
            yield from _in_turn(jobs, list(suspects) + list(waiting), left)
            return
    except BaseException:
        # Those still to go again were under way once: what they wrote then is whole.
        left.under_way.update(suspects)
        raise


def _in_turn(jobs: List[Job], numbers: Sequence[int], left: Unfinished
             ) -> Generator[Tuple[int, Report], None, None]:
    """Exports the jobs `numbers` names in this process, one after another."""
    for number in numbers:
        left.under_way.add(number)  # those before it are done
        try:
            yield number, export_file(jobs[number])
        except BaseException as e:
            left.partial = getattr(e, "partial", None)
            raise


class _NoWorkers(Exception):
    """The system would start no worker process (no descriptors or processes left)."""


def _in_pool(jobs: List[Job], queue: Deque[int], count: int, since: Optional[int],
             suspects: Deque[int], context: Any, left: Unfinished
             ) -> Generator[Tuple[int, Report], None, None]:
    """Exports the jobs `queue` numbers in a pool of `count` workers, till it
    is empty or a worker ends abruptly; files a worker may have died on, one
    at a time, given the run's start `since`."""
    alone = since is not None
    import concurrent.futures
    from concurrent.futures.process import BrokenProcessPool

    try:
        with _signals_held():
            pool = concurrent.futures.ProcessPoolExecutor(
                count, mp_context=context, initializer=end_with_parent,
                initargs=(os.getpid(),))
    except OSError as e:
        raise _NoWorkers(e) from e
    in_flight: Dict[concurrent.futures.Future[Report], int] = {}
    broken = False
    try:
        try:
            # Every worker started before any file is handed out: a file
            # queued as the start of a worker fails would be exported unseen.
            with _signals_held():
                for _ in range(count):
                    pool.submit(os.getpid)
        except OSError as e:
            pool.shutdown(wait=True, cancel_futures=True)
            raise _NoWorkers(e) from e
        while (queue and not broken) or in_flight:
            # a few queued beyond the workers, so none waits for the next
            while queue and not broken and len(in_flight) < (1 if alone else 2 * count):
                number = queue.popleft()
                job = jobs[number]
                if alone:  # what it wrote before is whole: kept, not what was there
                    job = job._replace(ours_since=since)
                with _signals_held():  # a worker may be started here too
                    in_flight[pool.submit(export_file, job)] = number
            # once broken, those still in flight end too, each done or broken;
            # in turns: Ctrl-C taken by another of our threads wakes no wait
            done, _ = concurrent.futures.wait(
                in_flight, timeout=0.25, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                number = in_flight.pop(future)
                path = jobs[number].path
                try:
                    report = future.result()
                except BrokenProcessPool as e:
                    if not (broken or alone):
                        warning("a worker process ended abruptly (killed, or out of memory); "
                                "the files it may have been exporting go again, one at a time")
                    broken = True
                    if not alone:
                        suspects.append(number)
                        continue
                    report = Report(path)
                    report.failed(e, message=(
                        "%s: not exported: a worker process ended abruptly (killed, or out "
                        "of memory)" % path))
                except Exception as e:
                    report = Report(path)
                    report.failed(e)
                yield number, report
    except BaseException:
        # Interrupted or terminated: no waiting for the files under way. The
        # workers are taken first: shutdown() forgets them.
        workers_running = list((getattr(pool, "_processes", None) or {}).values())
        for future, number in in_flight.items():  # their outputs are whole: told still
            finished = _result(future)
            if finished is None:
                left.under_way.add(number)
            else:
                left.reports[number] = finished
        pool.shutdown(wait=False, cancel_futures=True)
        for worker in workers_running:
            worker.terminate()
        # Waited for a little (each removes what it was writing and ends at
        # once): the command must not end while they still run, nor leave
        # them to a caller's process as zombies. One the system holds (a
        # hung network disk) is not waited for past that.
        deadline = time.monotonic() + 10
        for worker in workers_running:
            worker.join(max(0.0, deadline - time.monotonic()))
        raise
    pool.shutdown(wait=not broken)


def _result(future: "concurrent.futures.Future[Report]") -> Optional[Report]:
    """The report of a file its worker finished, or None."""
    if not future.done() or future.cancelled() or future.exception() is not None:
        return None
    return future.result()


def written_since(job: Job, since: int) -> List[str]:
    """The outputs of a file under way in a worker that a stop ended: those
    made since `since`, the run's start, are whole and the worker's."""
    fmt = FORMATS[job.format]
    blocks = []
    try:
        with vesk.open(job.path) as f:
            for key in job.keys or ():
                with contextlib.suppress(Exception):  # failed, or not this file's
                    blocks.append(f.block(key))
            blocks = blocks if job.keys else list(f.blocks)
    except Exception:
        return []
    outs = [fmt.outputs(output_path(job, block, fmt)) for block in blocks]
    # a pair only whole: its header written since
    return [o for pair in dict.fromkeys(map(tuple, outs))
            if all(_made_since(fmt, o, since) for o in pair) for o in pair]


# Ctrl-C is the command's alone: it ends the workers with SIGTERM, which a
# thread of each worker waits for. A handler would run only once the main
# thread is back in Python: where the signal lands in another thread (a
# numerical library's), a long read or write went on to its end.
_WAITED_FOR = {signal.SIGINT, signal.SIGTERM}
_WAITS = hasattr(signal, "sigtimedwait") and hasattr(signal, "pthread_sigmask")


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Blocks Ctrl-C and SIGTERM in this thread meanwhile: the workers started
    then, and every thread they start, inherit them blocked. One that comes
    meanwhile is taken once they are unblocked."""
    if not _WAITS:
        yield
        return
    before = signal.pthread_sigmask(signal.SIG_BLOCK, _WAITED_FOR)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def end_with_parent(parent: int) -> None:
    """Runs in each worker: ends it, removing what it was writing, when the
    command terminates it or has gone (killed outright), so that no worker
    outlives the command holding its output pipes. What a library prints to
    standard output goes to standard error, as in the command itself."""
    sys.stdout = sys.stderr

    def end(*_: object) -> None:
        remove_in_progress()
        os._exit(128 + signal.SIGTERM)

    def watch() -> None:
        while os.getppid() == parent:
            if _WAITS:
                if signal.sigtimedwait({signal.SIGTERM}, 0.25) is not None:
                    break
            else:
                time.sleep(0.25)
        end()
    if _WAITS:
        signal.pthread_sigmask(signal.SIG_BLOCK, _WAITED_FOR)
    else:
        signal.signal(signal.SIGTERM, end)
    threading.Thread(target=watch, name="vesk-parent-watch", daemon=True).start()


def run_export(args: argparse.Namespace) -> int:
    needs = FORMATS[args.format].missing()
    if needs is not None:  # said once, not once per block of every file
        error(needs)
        return 1
    inputs, status = take_inputs(args.files, args.output)
    if not inputs.files:
        return status
    jobs, refused = plan(args, inputs.files)
    tally = Tally(args.json)
    for report in refused:  # told as any file that failed: --json has a line for it
        tally.tell(report)
    progress = Progress(len(jobs), sys.stderr)
    progress.draw()
    # Told in the order of the inputs, whatever order --jobs ends them in, so
    # that one run's output compares with another's line by line.
    finished: Dict[int, Report] = {}
    told, stopped = 0, False
    full: Optional[str] = None
    received: Set[int] = set()
    left = Unfinished()
    running = run_jobs(jobs, args.jobs, left)
    try:
        for number, done in running:
            finished[number] = done
            received.add(number)
            progress.clear()
            while told in finished:
                tally.tell(finished.pop(told))
                told += 1
            progress.step(os.path.basename(done.path))
            if done.full is not None:
                full = done.full
                break
    except (KeyboardInterrupt, Terminated, OutputFailed):
        stopped = True
        raise
    finally:
        # The workers' files under way are removed; what they finished
        # meanwhile, and the files finished out of turn, are told still, so
        # that every file written is listed, and where the run stopped, the
        # way on is said.
        running.close()
        progress.clear()
        finished.update(left.reports)
        received.update(left.reports)
        try:
            for number in sorted(finished):
                tally.tell(finished.pop(number))
            if stopped or full is not None:
                _tell_unfinished(tally, jobs, received, left)
        except OutputFailed:
            if not stopped:
                raise
        if stopped:
            note("exported %s from %s to %s before it was stopped; run again with "
                 "--skip-existing to go on" % (counted(tally.written, "block{s}"),
                                               counted(tally.files, "file{s}"), args.output))
    t = tally
    if full is not None:
        stopped_for_room(full, "exported %s from %s to %s" % (
            counted(t.written, "block{s}"), counted(t.files, "file{s}"), args.output),
            len(jobs) - len(received))
        return 1
    files_failed = t.files_failed
    extras = [counted(n, what) for n, what in [
        (t.kept, "already there"), (t.skipped, "skipped"), (t.blocks_failed, "block{s} failed"),
        (files_failed, "file{s} failed"), (t.missing, "input{s} not found"),
        (t.warned, "warning{s}")] if n]
    nothing = not t.written and not t.kept  # a script must not take that for success
    note("exported %s from %s to %s" % (counted(t.written, "block{s}"),
                                         counted(t.files, "file{s}"), args.output)
         + (" (%s)" % ", ".join(extras) if extras else "")
         + ("; nothing to write" if nothing and not (t.blocks_failed or files_failed or t.missing)
            else "")
         # a run done again: what the many lines above have in common, and the way on
         + (("; 1 of them as its output is there: --skip-existing keeps it, --force writes "
             "it again" if t.existed == 1 else "; %d of them as their outputs are there: "
             "--skip-existing keeps them, --force writes them again" % t.existed)
            if t.existed else ""))
    return 1 if t.blocks_failed or files_failed or t.missing or nothing else status


def _tell_unfinished(tally: "Tally", jobs: List[Job], done: Set[int], left: Unfinished) -> None:
    """Of a run that stopped: the files under way, with the outputs they
    finished, and those not tried, each told as such."""
    for number, job in enumerate(jobs):
        if number in done:
            continue
        if number not in left.under_way:
            tally.tell(Report(job.path), status="not tried")
        elif left.partial is not None and left.partial.path == job.path:
            tally.tell(left.partial, status="stopped")
        else:
            tally.tell(Report(job.path, written=written_since(job, left.since)
                              if left.since is not None else [],
                              per_block=len(FORMATS[job.format].outputs(""))), status="stopped")


class Tally:
    """What the files exported so far wrote and met, told as each is."""

    def __init__(self, as_json: bool = False) -> None:
        self.as_json = as_json
        self.written = self.skipped = self.kept = self.warned = 0
        self.files = self.blocks_failed = self.files_failed = self.missing = self.existed = 0

    def tell(self, report: Report, status: Optional[str] = None) -> None:
        """`status`: "stopped" (under way as the run stopped) or "not tried",
        for a file the run did not finish."""
        if status == "not tried":  # said in the summary
            if self.as_json:
                self._json(report, status)
            return
        # Counted first: its outputs are written, whether or not telling them can be.
        self.warned += len(report.warnings)  # counted in the summary: a --jobs run scrolls
        self.written += len(report.written) // report.per_block
        self.skipped += len(report.skipped)
        self.kept += len(report.kept) // report.per_block
        self.blocks_failed += report.blocks_failed
        self.existed += report.existed
        self.missing += report.missing
        self.files_failed += report.file_failed and not report.missing
        # a file that failed after writing some of its blocks is counted in both;
        # one stopped, only where it wrote (queued in a worker, it never began)
        self.files += bool(report.written) if status == "stopped" else \
            not report.file_failed or bool(report.written)
        for message in report.warnings:
            warning(message)
        if self.as_json:  # a line each, as files are done: an interrupted run's are whole
            self._json(report, status or ("failed" if report.errors else "exported"))
        else:
            for out in report.written:
                emit_path(out)
        for message in report.skipped:
            error("skipped " + message)  # "vesk: " as every line it tells of a file
        for message in report.errors:
            error(message)

    @staticmethod
    def _json(report: Report, status: str) -> None:
        emit_json({"file": report.path, "status": status, "written": report.written,
                   "kept": report.kept, "skipped": report.skipped, "failed": report.errors,
                   "failures": report.failures, "warnings": report.warnings}, indent=None)

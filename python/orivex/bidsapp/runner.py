"""The participant level: every selected run audited once, serially, in processes or on Dask.

The client (this process) discovers the runs, decides which reports are still current, hands
the rest to a backend, and writes every result as it arrives: one line per run on stdout, a
progress bar on a terminal's stderr, the files under OUTPUT_DIR. Only a bounded window of runs is
in flight, so memory does not grow with the size of the dataset.
"""

import os
import queue
import sys
import threading
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool

from orivex import api
from orivex.bidsapp import evidence, outputs, safe_read, task
from orivex.report import RunError, read_run_report

SIDE_FILES = ("bvec", "bval", "qc", "thumb")


def usable_cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def threads_per_run(jobs, threads):
    """Threads for each audit: as asked, else the cores shared out so jobs × threads ≤ cores."""
    if threads is not None:
        return threads
    if jobs <= 1:
        return None  # the module's default: every processor
    return max(1, usable_cores() // jobs)


class Progress:
    """A one-line bar on stderr, drawn only when stderr is a terminal."""

    WIDTH = 30

    def __init__(self, total, stream=None):
        self.stream = stream or sys.stderr
        self.total = total
        self.done = 0
        self.enabled = total > 0 and hasattr(self.stream, "isatty") and self.stream.isatty()

    def clear(self):
        if self.enabled:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

    def advance(self):
        self.done += 1
        if self.enabled:
            filled = self.WIDTH * self.done // self.total
            self.stream.write("\r[{}{}] {}/{} runs".format(
                "#" * filled, "." * (self.WIDTH - filled), self.done, self.total))
            self.stream.flush()

    def finish(self):
        self.clear()


def line(rel, summary, skipped=False):
    """"FLAG   -x+y+z     8.15%  sub-02/dwi/sub-02_dwi.nii.gz": status, best, margin, path."""
    margin = summary.relative_margin
    text = "{:<5}  {:<8}  {:>7}  {}".format(
        summary.status, summary.best_label or "-",
        "-" if margin is None else "{:.2f}%".format(100 * margin), rel)
    if summary.error:
        text += ": " + summary.error
    if skipped:
        text += "  (up to date)"
    return text


def current_report(out, run, options, kind):
    """The summary and recorded inputs of a report that is current apart from its inputs' digests.

    Current means: not an ERROR, same options, same tool and evidence, and every output it lists
    still present. Whether the inputs still hash the same is checked where the run executes.
    """
    names = outputs.run_files(run.folder, run.base)
    raw = out.read(names["report"], safe_read.REPORT_CAP)
    if raw is None:
        return None
    try:
        report = read_run_report(raw.decode("utf-8"), loads=safe_read.loads)
        bids = report.bids
        if isinstance(report, RunError) or bids is None or bids.options != options:
            return None
        if bids.generated_by != task.generated_by(kind):
            return None
        if not all(out.exists(rel) for rel in bids.outputs):
            return None
        return evidence.summary(report), bids.inputs
    except (ValueError, ArithmeticError, KeyError, TypeError, AttributeError):
        return None


def _serial(items, root, options, threads):
    for ctx, run, recorded in items:
        yield ctx, run, task.process(run, root, options, recorded, threads)


def _processes(items, root, options, threads, jobs):
    import multiprocessing

    context = multiprocessing.get_context("forkserver")
    items = iter(items)
    pool = ProcessPoolExecutor(max_workers=jobs, mp_context=context)
    pending = {}
    try:
        exhausted = False
        while True:
            while not exhausted and len(pending) < 2 * jobs:
                item = next(items, None)
                if item is None:
                    exhausted = True
                    break
                ctx, run, recorded = item
                pending[pool.submit(task.process, run, root, options, recorded, threads)] = item
            if not pending:
                return
            done, _ = wait(pending, return_when=FIRST_COMPLETED)
            broken = False
            for fut in done:
                ctx, run, recorded = pending.pop(fut)
                try:
                    result = fut.result()
                except BrokenProcessPool:
                    broken = True
                    result = failed(run, root, options, "the worker process died while auditing "
                                    "this run")
                except Exception as e:  # a fault of the worker, not of the run's data
                    result = failed(run, root, options, f"{type(e).__name__}: {e}")
                yield ctx, run, result
            if broken:
                # Every run in flight died with the pool; report them and carry on afresh.
                for fut, (ctx, run, recorded) in list(pending.items()):
                    yield ctx, run, failed(run, root, options, "the worker process died while "
                                           "another run was being audited; rerun to retry")
                pending.clear()
                pool.shutdown(wait=False, cancel_futures=True)
                pool = ProcessPoolExecutor(max_workers=jobs, mp_context=context)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def failed(run, root, options, message):
    return task._error(run, root, options, [], outputs.run_files(run.folder, run.base), message)


class _Writer:
    """Writes each finished run (its files, then its line) on a thread of its own, in order.

    Writing a run waits mostly for the disk (every file is flushed before it is renamed), and
    the next audit runs without the interpreter lock, so the two overlap. At most a few runs
    wait to be written, so memory stays flat; the first failure to write is raised in the
    caller's thread, and nothing after it is written.
    """

    def __init__(self, handle, depth=4):
        self.handle = handle
        self.queue = queue.Queue(maxsize=depth)
        self.error = None
        self.thread = threading.Thread(target=self._loop, name="orivex-writer", daemon=True)
        self.thread.start()

    def _loop(self):
        while (item := self.queue.get()) is not None:
            if self.error is None:
                try:
                    self.handle(*item)
                except BaseException as e:  # raised again in the caller's thread
                    self.error = e

    def _raise(self):
        if self.error is not None:
            error, self.error = self.error, None
            raise error

    def put(self, item):
        self._raise()
        self.queue.put(item)

    def close(self, raise_error=True):
        """Waits for the runs already handed over; raises the first failure to write them."""
        if self.thread.is_alive():
            self.queue.put(None)
            self.thread.join()
        if raise_error:
            self._raise()


class _Discard:
    def write(self, text):
        pass

    def flush(self):
        pass


def participant(bids_dir, out, runs, options, jobs=1, threads=None, dask_address=None,
                force=False, json_lines=False, stdout=None, stderr=None, dask_timeout=None):
    """Audits `runs` into the OutputDir `out`; returns the counts by status."""
    stdout = stdout or _Discard()
    kind = options["evidence"]
    out.write(outputs.DESCRIPTION, outputs.dataset_description(bids_dir, api.version()))
    counts = {"PASS": 0, "WARN": 0, "FLAG": 0, "ERROR": 0, "skipped": 0}
    progress = Progress(len(runs), stderr)

    def items():
        for run in runs:
            found = None if force or run.problem else current_report(out, run, options, kind)
            if found is None:
                yield None, run, None
            else:
                yield found[0], run, found[1]

    if dask_address is not None:
        from orivex.bidsapp import dask_backend

        results = dask_backend.execute(dask_address, items(), bids_dir, options,
                                       1 if threads is None else threads, failed,
                                       dask_timeout or dask_backend.DEFAULT_TIMEOUT)
    elif jobs > 1:
        results = _processes(items(), bids_dir, options, threads_per_run(jobs, threads), jobs)
    else:
        results = _serial(items(), bids_dir, options, threads_per_run(jobs, threads))

    def finish(run, summary, skipped, files):
        if files is not None:
            write_run(out, run, files)
        progress.clear()
        if json_lines:
            record = dict(summary.to_dict(), path=run.rel, skipped=skipped)
            stdout.write(safe_read.dumps(record) + "\n")
        else:
            stdout.write(line(run.rel, summary, skipped) + "\n")
        stdout.flush()
        progress.advance()

    writer = _Writer(finish)
    try:
        for ctx, run, result in results:
            if result["skipped"]:
                summary = ctx
                counts["skipped"] += 1
            else:
                summary = result["summary"]
            counts[summary.status] = counts.get(summary.status, 0) + 1
            writer.put((run, summary, result["skipped"], None if result["skipped"] else result["files"]))
        writer.close()
    finally:
        writer.close(raise_error=False)
        progress.finish()
        close = getattr(results, "close", None)
        if close:
            close()
    return counts


def write_run(out, run, files):
    """Side files first, stale ones removed, the report last: a report on disk vouches for the
    files it lists (a run that no longer FLAGs loses its old corrected table)."""
    names = {k: v.rpartition("/")[2] for k, v in outputs.run_files(run.folder, run.base).items()}
    with out.folder(run.folder) as folder:
        for kind in SIDE_FILES:
            if kind in files:
                folder.write(names[kind], files[kind])
            else:
                folder.remove(names[kind])
        folder.write(names["report"], files["report"])

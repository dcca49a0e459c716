"""Where frames are worked on, behind one interface.

An executor has `submit(fn, *args)` (runs `fn(job_ref, *args)` on a worker
and returns a concurrent.futures.Future), `capacity()` (frames worth keeping
in flight), `check()` (raises Gone when the workers cannot be reached any
more), `remote` (whether the workers need the frames' bytes, having no
access to the caller's files), `death()` (why the last worker that died
died, in a few words), `restart()`, `stop()` (drop queued work now) and
`close()`. Two exception tuples say what a lost worker looks like: `Lost`
(the frames in flight are gone and the executor must restart: a local pool
whose process died) and `Killed` (the cluster already ran a frame again
elsewhere and gave up after it killed several workers).

    InProcess        the caller's own process: one frame needs no worker
    LocalExecutor    worker processes on this machine
    cluster.DaskExecutor   a Dask distributed cluster (imported only when
                           a scheduler is given)
"""
import concurrent.futures as cf
import multiprocessing
import os
import shutil
import signal
import tempfile
import time
from concurrent.futures.process import BrokenProcessPool

from . import tasks

DIED = "worker died"


class Gone(Exception):
    """The workers cannot be reached any more; str() says why in one line."""


class InProcess:
    """Runs each task at once, in this process: for a single frame,
    starting a worker would cost more than the frame."""
    Lost = ()
    Killed = ()
    remote = False

    def __init__(self, job):
        tasks.remember(job)
        self.ref = job.digest

    def describe(self):
        return "this process"

    def capacity(self):
        return 1

    def check(self):
        pass

    def death(self):
        return DIED

    def submit(self, fn, *args):
        future = cf.Future()
        try:
            future.set_result(fn(self.ref, *args))
        except Exception as e:  # noqa: BLE001 - the loop hears of it as of a worker's failure
            future.set_exception(e)
        return future

    def restart(self):
        pass

    def stop(self):
        tasks.forget(self.ref)

    close = stop


class LocalExecutor:
    """Worker processes on this machine. Started fresh (spawn), so they are
    safe beside the parent's threads and import what the parent imports
    (multiprocessing hands them the parent's sys.path). Each prepares the
    job once, in its own scratch directory."""
    Lost = (BrokenProcessPool,)
    Killed = ()
    remote = False          # the workers read the frames' files themselves

    def __init__(self, workers, job):
        self.workers = workers
        self.job = job
        self.scratch = tempfile.mkdtemp(prefix="qel-inspect-")
        self.pool = None
        self.restart()

    def describe(self):
        return "%d local worker process%s" % (self.workers, "" if self.workers == 1 else "es")

    def capacity(self):
        return 2 * self.workers

    def check(self):
        pass                    # a dead process breaks the pool, which the loop hears of

    def death(self):
        """How a worker of the broken pool died. The pool ends the others
        with SIGTERM once one is gone, so any other ending is the cause.
        The pool's own thread reaps the same processes, and then a dead one
        looks alive, with no exit code, for a moment: a broken pool ends all
        its processes, so wait briefly for every exit code."""
        deadline = time.monotonic() + 2.0
        endings = []
        for p in self.known:
            while p.exitcode is None and time.monotonic() < deadline:
                time.sleep(0.02)
            if p.exitcode not in (None, 0, -signal.SIGTERM):
                endings.append(p.exitcode)
        if not endings:
            return DIED
        code = endings[0]
        if code < 0:
            try:
                return "%s (signal %d, %s)" % (DIED, -code, signal.Signals(-code).name)
            except ValueError:
                return "%s (signal %d)" % (DIED, -code)
        return "%s (exit status %d)" % (DIED, code)

    def restart(self):
        if self.pool is not None:
            self._end()
        self.pool = cf.ProcessPoolExecutor(self.workers, mp_context=multiprocessing.get_context("spawn"),
                                           initializer=tasks.start_local_worker, initargs=(self.scratch, self.job))
        self.known = []             # this pool's processes, kept to read how one ended

    def submit(self, fn, *args):
        # Workers start during submit. With Ctrl-C blocked meanwhile they
        # inherit it blocked, so a Ctrl-C at the terminal (which reaches the
        # whole process group) stops them only through the parent, even
        # while they are still starting.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            return self.pool.submit(fn, None, *args)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
            for p in (getattr(self.pool, "_processes", None) or {}).values():
                if p not in self.known:
                    self.known.append(p)

    def _end(self):
        processes = list((getattr(self.pool, "_processes", None) or {}).values())
        self.pool.shutdown(wait=False, cancel_futures=True)
        for p in processes:
            if p.is_alive():
                p.terminate()
        for p in processes:
            p.join(5)

    def stop(self):
        """Drop queued work and end the workers now."""
        self._end()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def close(self):
        self.pool.shutdown(wait=True)
        shutil.rmtree(self.scratch, ignore_errors=True)


def open_executor(job, workers=None, scheduler=None, frames=None):
    """The executor for a batch: a cluster when a scheduler is given
    (connecting raises UsageError at once when it cannot be reached); this
    process for a single frame; otherwise `workers` local processes
    (default: one per core, never more than there are frames)."""
    if scheduler:
        from . import cluster          # Dask only when asked for
        return cluster.DaskExecutor(scheduler, job)
    if frames == 1:
        return InProcess(job)
    count = workers or os.cpu_count() or 1
    if frames is not None:
        count = min(count, frames)
    return LocalExecutor(max(1, count), job)


def reach(job, scheduler):
    """The cluster of `scheduler`, reached now (before an output folder is
    touched, so a wrong address leaves it alone), or None without one."""
    if not scheduler:
        return None
    return open_executor(job, scheduler=scheduler)

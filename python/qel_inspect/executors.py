"""Where the frames are worked on, behind one interface, and the loop that
keeps the workers fed and collects what they finish.

An executor has `submit(fn, *args)` (runs `fn(job_ref, *args)` on a worker
and returns a concurrent.futures.Future), `capacity()` (frames worth keeping
in flight), `check()` (raises Gone when the workers cannot be reached any
more), `remote` (whether the workers need the frames' bytes, having no
access to the caller's files), `restart()`, `stop()` (drop queued work now)
and `close()`.
Two exception tuples say what a lost worker looks like: `Lost` (the frames
in flight are gone and the executor must restart: a local pool whose
process died) and `Killed` (the cluster already ran a frame again elsewhere
and gave up after it killed several workers). `Gone`, from `check()` or a
future's result, means the workers cannot be reached any more.

`LocalExecutor` is a process pool on this machine; `cluster.DaskExecutor`
(imported only when a scheduler is given) a Dask distributed cluster.
"""
import concurrent.futures as cf
import multiprocessing
import shutil
import signal
import tempfile
from concurrent.futures.process import BrokenProcessPool

from . import tasks


DIED = "the worker process died inspecting this frame"


class Gone(Exception):
    """The workers cannot be reached any more; str() says why in one line."""


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

    def restart(self):
        if self.pool is not None:
            self._end()
        self.pool = cf.ProcessPoolExecutor(self.workers, mp_context=multiprocessing.get_context("spawn"),
                                           initializer=tasks.start_local_worker, initargs=(self.scratch, self.job))

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


def drive(todo, executor, submit, keep, failed, stop):
    """Submit the frames of `todo` and collect them until done or stopped;
    True when stopped. `submit(frame)` hands one frame to the executor and
    returns its future, `keep(frame, result)` takes what came back,
    `failed(frame, reason)` keeps the record of a frame whose task failed
    (its worker died, or the task itself raised: the batch goes on).

    A local worker that dies takes the frames it had in flight with it.
    Those are tried again one at a time, alone, so a frame that kills its
    worker is found and recorded as an error while the others get their
    verdicts. A cluster does the same by itself."""
    queue = list(reversed(todo))       # pop() gives the next frame
    suspects = []                      # in flight when a worker died
    solo = None                        # a suspect running alone
    running = {}                       # future -> frame
    finished_cleanly = False
    try:
        while queue or suspects or running:
            if stop.asked:
                return True
            executor.check()
            try:
                if solo is None and suspects:
                    solo = suspects.pop()
                    running[submit(solo)] = solo
                while solo is None and not suspects and queue and len(running) < executor.capacity():
                    running[submit(queue[-1])] = queue[-1]
                    queue.pop()
            except executor.Lost:
                if not running:
                    executor.restart()
                # Otherwise the futures in flight say so too; handled below.
            finished, _ = cf.wait(running, timeout=0.25, return_when=cf.FIRST_COMPLETED)
            lost = []
            for fut in finished:
                frame = running.pop(fut)
                try:
                    result = fut.result()
                except executor.Lost:
                    lost.append(frame)
                    continue
                except executor.Killed:
                    failed(frame, DIED)
                    continue
                except Gone:
                    raise
                except Exception as e:  # noqa: BLE001 - a task that failed on its worker
                    failed(frame, "internal error: %s: %s" % (type(e).__name__, (str(e).splitlines() or [""])[0]))
                    continue
                if frame is solo:
                    solo = None
                keep(frame, result)
            if lost:
                lost += list(running.values())
                running.clear()
                executor.restart()
                if solo is not None:
                    failed(solo, DIED)
                    solo = None
                else:
                    suspects.extend(lost)
        finished_cleanly = True
        return False
    finally:
        if finished_cleanly:
            executor.close()
        else:
            executor.stop()

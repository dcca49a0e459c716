"""Batches on a Dask distributed cluster: the executor behind
`--scheduler ADDRESS`. Imported only then, so a local run never loads Dask.

Every worker gets the job (recipe and standard bytes) once, through a
worker plugin, which the scheduler also hands to workers that join or come
back later; tasks name the job by its digest, and each worker process
prepares the standard once (tasks.prepared). Frames travel as their files'
bytes, read here, so the workers need no access to this machine's files;
pictures come back as bytes. Workers run tasks in threads: the pipeline
captures the library's lines per thread and writes no files, so threads
need no scratch directories of their own.
"""
import concurrent.futures as cf
import logging
import threading
import time
import uuid

import distributed
from distributed.diagnostics.plugin import WorkerPlugin

from . import executors, tasks
from .errors import UsageError

CONNECT_SECONDS = 5      # to reach the scheduler
WORKERS_SECONDS = 30     # for a first worker, or for one to come back when all are gone
REFRESH_SECONDS = 2.0    # how often the worker count is read again
ENDED = ("finished", "error", "cancelled")   # a Dask future's final states; "lost" is not

# The tool reports what goes wrong itself, in one line; a lost worker's
# work is done again without a word.
for _name in [n for n in logging.root.manager.loggerDict if n.split(".")[0] == "distributed"] + ["distributed"]:
    logging.getLogger(_name).setLevel(logging.CRITICAL)


def _one_line(e):
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


class JobPlugin(WorkerPlugin):
    """Hands the job to each worker of the cluster, now and when it joins."""

    def __init__(self, job):
        self.job = job

    def setup(self, worker):
        tasks.remember(self.job)

    def teardown(self, worker):
        tasks.forget(self.job.digest)


class DaskExecutor:
    Lost = ()                                # the scheduler runs a lost worker's tasks again itself
    Killed = (distributed.KilledWorker,)     # ... and gives up on a task that killed several
    remote = True

    def __init__(self, address, job):
        self.address = address
        try:
            self.client = distributed.Client(address, timeout=CONNECT_SECONDS, set_as_default=False)
        except Exception as e:  # noqa: BLE001 - bad address, refused, timed out: all one line
            raise UsageError("cannot reach the scheduler at %s: %s" % (address, _one_line(e)))
        try:
            self._start(job)
        except BaseException:
            self.client.close()
            raise
        self.pending = {}                    # key -> Dask future: Dask drops work nobody holds
        self.lock = threading.Lock()
        self.threads, self.counted = 0, 0.0
        self.unwell_since = None

    def _start(self, job):
        try:
            self.client.wait_for_workers(1, timeout=WORKERS_SECONDS)
        except (TimeoutError, distributed.TimeoutError):
            raise UsageError("the scheduler at %s has no workers (start some: dask-worker %s)"
                             % (self.address, self.address))
        try:
            self.client.run(exec, "import qel_cv, qel_inspect.tasks")
        except ImportError as e:
            raise UsageError("a worker of %s cannot import the station (%s): install qel_cv and qel_inspect "
                             "on every worker" % (self.address, _one_line(e)))
        # One plugin per batch: another batch of the same recipe has its own.
        self.plugin = "qel-inspect-%s-%s" % (job.digest[:16], uuid.uuid4().hex[:8])
        self.client.register_worker_plugin(JobPlugin(job), name=self.plugin)
        self.ref = job.digest

    def describe(self):
        return "the cluster at %s (%d worker threads)" % (self.address, self._threads())

    def _threads(self):
        now = time.monotonic()
        if now - self.counted >= REFRESH_SECONDS:
            workers = self.client.scheduler_info().get("workers", {})
            self.threads, self.counted = sum(w.get("nthreads", 1) for w in workers.values()), now
        return self.threads

    def capacity(self):
        return 2 * max(1, self._threads())

    def check(self):
        """Gone when the scheduler, or every worker, has been away too long."""
        if self.client.status != "running":
            problem = "lost the connection to the scheduler at %s" % self.address
        elif self._threads() == 0:
            problem = "no workers left on the cluster at %s" % self.address
        else:
            self.unwell_since = None
            return
        self.unwell_since = self.unwell_since or time.monotonic()
        if time.monotonic() - self.unwell_since > WORKERS_SECONDS:
            raise executors.Gone(problem)

    def submit(self, fn, *args):
        out = cf.Future()
        out.set_running_or_notify_cancel()
        future = self.client.submit(fn, self.ref, *args, pure=False)
        with self.lock:
            self.pending[future.key] = future

        def done(f):
            # Runs in the client's one callback thread. A result lost with
            # its worker before it was fetched ("lost") is computed again: a
            # thread of its own waits for that, so the callbacks of other
            # frames are not held up. Only the first ending counts.
            if out.done():
                return
            if f.status not in ENDED:
                threading.Thread(target=settle, args=(f,), daemon=True, name="qel-inspect-lost").start()
                return
            with self.lock:
                self.pending.pop(f.key, None)
            try:
                if f.status == "finished":
                    out.set_result(f.result())
                elif f.status == "cancelled":
                    out.set_exception(executors.Gone("the cluster at %s dropped the work" % self.address))
                else:
                    out.set_exception(f.exception())
            except Exception as e:  # noqa: BLE001 - whatever it is, the loop hears of it
                out.set_exception(e)

        def settle(f):
            # Lost again while this waits (the recomputing worker died too)
            # is waited for again; only a client that has closed ends it.
            while f.status not in ENDED:
                try:
                    f.exception()            # returns once it has ended
                except Exception:  # noqa: BLE001 - the client closing meanwhile
                    with self.lock:
                        self.pending.pop(f.key, None)
                    out.set_exception(executors.Gone("the cluster at %s lost the work" % self.address))
                    return
            done(f)

        future.add_done_callback(done)
        return out

    def stalled(self):
        return False                # the scheduler hears of every worker it loses

    def death(self):
        return "%s (the cluster gave up on this frame after it killed several workers)" % executors.DIED

    def restart(self):
        pass                                 # nothing is lost for good when a worker dies

    def _end(self, cancel):
        with self.lock:
            pending = list(self.pending.values())
            self.pending.clear()
        try:
            if cancel and pending:
                self.client.cancel(pending)
            self.client.unregister_worker_plugin(self.plugin)
            self.client.close(timeout=CONNECT_SECONDS)
        except Exception:  # noqa: BLE001 - a cluster already gone keeps nothing of ours
            pass

    def stop(self):
        self._end(cancel=True)

    def close(self):
        self._end(cancel=False)

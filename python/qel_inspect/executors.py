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
elsewhere and gave up after it killed several workers); `stalled()` says
when the frames in flight are gone without their futures ever hearing of it.

    InProcess        the caller's own process: one frame needs no worker
    LocalExecutor    worker processes on this machine
    cluster.DaskExecutor   a Dask distributed cluster (imported only when
                           a scheduler is given)
"""
import concurrent.futures as cf
import multiprocessing
import multiprocessing.connection
import os
import pickle
import re
import shutil
import signal
import tempfile
import threading
import time
import warnings
from concurrent.futures.process import BrokenProcessPool

from . import tasks
from .errors import UsageError

DIED = "worker died"
PARENT_SECONDS = 0.5        # how often a local worker looks whether the command that started it is still there
STALL_SECONDS = 1.0         # a pool hears of a dead worker within milliseconds; after this long it never will
JOB_FILE, WORKER_LOG = "job.pickle", "workers.log"
# The scheduler address's forms: [scheme://]host[:port], the host an IPv6 address in brackets or a name.
SCHEMES = ("tcp", "tls", "ucx", "ws", "wss")
ADDRESS = re.compile(r"(?:(?P<scheme>[a-z]+)://)?(?P<host>\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9_.-]+)"
                     r"(?::(?P<port>[0-9]{1,5}))?")

# A tracker started again after one was killed says so; the tool's own line says what matters.
warnings.filterwarnings("ignore", message="resource_tracker: process died unexpectedly")


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

    def stalled(self):
        return False

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
    job once, in its own scratch directory.

    A worker starts with nothing but a few names: the job (with the
    standard's bytes) waits in a file of the scratch directory, which the
    worker reads itself. Spawning writes the start-up arguments into a pipe
    to the new process before it returns; arguments larger than the pipe
    holds would wait for a process that may already be dead, for good."""
    Lost = (BrokenProcessPool,)
    Killed = ()
    remote = False          # the workers read the frames' files themselves

    def __init__(self, workers, job):
        self.workers = workers
        self.scratch = tempfile.mkdtemp(prefix="qel-inspect-")
        try:
            with open(os.path.join(self.scratch, JOB_FILE), "wb") as f:
                pickle.dump(job, f, protocol=pickle.HIGHEST_PROTOCOL)
            _quiet_tracker()
        except BaseException:
            shutil.rmtree(self.scratch, ignore_errors=True)
            raise
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

    def stalled(self):
        """Whether a worker has been dead for STALL_SECONDS. The pool's own
        thread watches the processes it knew when it last woke, and submit
        wakes it before starting a process: one started then that dies
        before anything else wakes the pool leaves its frames waiting for
        good. The sentinel tells of a death without reaping the process,
        which is the pool's to do."""
        sentinels = {}
        for p in self.known:
            try:
                sentinels[p.sentinel] = p
            except ValueError:          # closed by the pool: it has seen that one end
                pass
        now = time.monotonic()
        for ready in multiprocessing.connection.wait(list(sentinels), timeout=0):
            self.dead_since.setdefault(sentinels[ready].pid, now)
        return any(now - since >= STALL_SECONDS for since in self.dead_since.values())

    def restart(self):
        if self.pool is not None:
            self._end()
        self.pool = cf.ProcessPoolExecutor(self.workers, mp_context=multiprocessing.get_context("spawn"),
                                           initializer=start_worker, initargs=(self.scratch, os.getpid()))
        self.known = []             # this pool's processes, kept to read how one ended
        self.dead_since = {}        # pid -> when this process was first seen dead

    def submit(self, fn, *args):
        # Workers start during submit. With Ctrl-C blocked meanwhile they
        # inherit it blocked, so a Ctrl-C at the terminal (which reaches the
        # whole process group) stops them only through the parent, even
        # while they are still starting. Submit cannot wait long: what it
        # writes to a new process is small (see the class).
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
        results = getattr(self.pool, "_result_queue", None)        # shutdown forgets it
        # Tasks still queued for workers that are about to end are never
        # read: the pool's clean-up would wait for good to hand them over
        # once they fill the pipe (frames given as bytes do), and with it
        # this process's exit.
        queue = getattr(self.pool, "_call_queue", None)
        if queue is not None:
            queue.cancel_join_thread()
        self.pool.shutdown(wait=False, cancel_futures=True)
        for p in processes:
            if p.is_alive():
                p.terminate()
        for p in processes:
            p.join(5)
        # A worker killed while it wrote a result leaves half a message,
        # which the pool's thread waits to read in full for good, and the
        # interpreter waits for that thread at exit. With every worker
        # gone, closing the pipe's last writer ends the wait.
        if results is not None and not any(p.is_alive() for p in processes):
            results._writer.close()

    def stop(self):
        """Drop queued work and end the workers now."""
        self._end()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def close(self):
        self.pool.shutdown(wait=True)
        shutil.rmtree(self.scratch, ignore_errors=True)


def start_worker(scratch, parent):
    """Runs first in each local worker process: leave when the command that
    started it is gone, send what the libraries print to a log in the
    scratch directory instead of the command's terminal, then take the job
    from its file."""
    threading.Thread(target=_follow, args=(parent,), daemon=True, name="qel-inspect-parent").start()
    log = os.open(os.path.join(scratch, WORKER_LOG), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    os.dup2(log, 1)
    os.dup2(log, 2)
    os.close(log)
    with open(os.path.join(scratch, JOB_FILE), "rb") as f:
        job = pickle.load(f)
    try:
        tasks.start_local_worker(scratch, job)
    except Exception:  # noqa: BLE001 - each task prepares again and records the reason for its frame
        pass


def _follow(parent):
    """End this worker once its parent is gone (killed, say): nothing else
    would, and its queue would keep it waiting for good."""
    while os.getppid() == parent:
        time.sleep(PARENT_SECONDS)
    os._exit(1)


def _quiet_tracker():
    """Start multiprocessing's resource tracker, if it is not running yet,
    with its standard error sent nowhere: when a worker is killed it may
    print tracebacks about semaphores it did not know, which are no concern
    of the user's."""
    from multiprocessing import resource_tracker

    from .images import quiet_stderr

    with quiet_stderr():
        resource_tracker.ensure_running()


def check_address(address):
    """A scheduler address as given, when it has the form of one
    ([tcp://]HOST[:PORT]); UsageError at once otherwise, before anything
    tries to connect."""
    if not address.strip():
        raise UsageError("--scheduler: the address is empty (give tcp://HOST:PORT, as tcp://127.0.0.1:8786)")
    m = ADDRESS.fullmatch(address.strip())
    if m is None or (m.group("scheme") and m.group("scheme") not in SCHEMES) \
            or (m.group("port") and not 0 < int(m.group("port")) < 65536):
        raise UsageError("--scheduler: %r is not a scheduler address (give tcp://HOST:PORT, as "
                         "tcp://127.0.0.1:8786)" % address)
    return address.strip()


def open_executor(job, workers=None, scheduler=None, frames=None):
    """The executor for a batch: a cluster when a scheduler is given
    (connecting raises UsageError at once when it cannot be reached); this
    process for a single frame; otherwise `workers` local processes
    (default: one per core, never more than there are frames)."""
    if scheduler is not None:
        address = check_address(scheduler)
        from . import cluster          # Dask only when asked for
        return cluster.DaskExecutor(address, job)
    if frames == 1:
        return InProcess(job)
    count = workers or os.cpu_count() or 1
    if frames is not None:
        count = min(count, frames)
    return LocalExecutor(max(1, count), job)


def reach(job, scheduler):
    """The cluster of `scheduler`, reached now (before an output folder is
    touched, so a wrong address leaves it alone), or None without one."""
    if scheduler is None:
        return None
    return open_executor(job, scheduler=scheduler)

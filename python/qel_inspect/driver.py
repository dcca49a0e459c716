"""The one loop every command runs frames through: frames from a source go
to an executor's workers as a task, and what comes back is handed on as
each frame finishes, a bounded number of frames in flight.

    for frame, result in drive(source, executor, task, stop):
        ...commit the result before anything else...

The source is read by a thread of its own, and only while fewer than the
executor's capacity (plus a couple waiting) are in flight, so a source that
never ends, or waits for its next frame, neither fills memory nor holds up
the results of frames already done.

A local worker that dies takes the frames it had in flight with it. Those
are tried again one at a time, alone, so a frame that kills its worker is
found and given up (the task's `failed` result, with the reason) while the
others get their verdicts. A cluster does the same by itself.
"""
import collections
import concurrent.futures as cf
import queue
import signal
import sys
import threading
from dataclasses import dataclass
from typing import Callable

from .errors import internal_error
from .executors import Gone
from .files import read_regular
from .images import BYTES_PER_PIXEL, CEILING, SLACK
from .terminal import safe

WAITING = 2              # frames read from the source beyond what the workers hold
POLL_SECONDS = 0.25
GRACE_SECONDS = 5.0      # after Ctrl-C or SIGTERM, the loop is cut short if it has not stopped by then
DRAIN_SECONDS = 30.0     # ... or, draining, finished the frames on the workers


@dataclass(frozen=True)
class Task:
    """A kind of work on one frame. `fn(job_ref, *args(frame, data))` runs
    on a worker (`data`: the frame's bytes for workers without this file
    system, or None); `failed(frame, reason)` is the result that stands for
    a frame whose task could not finish."""
    fn: Callable
    args: Callable
    failed: Callable


class Stop:
    """Ctrl-C (or SIGTERM) asks the loop to stop at its next turn, so a
    result is never cut in half; a second Ctrl-C stops at once, and so does
    the first after GRACE_SECONDS, should anything keep the loop from its
    next turn that long (KeyboardInterrupt, which the commands take as a
    stop). `why` says what stopped it when it was not the user. With `drain`
    (a watched folder, where stopping is the normal end) the loop stops
    reading the source and finishes the frames already on a worker first,
    for up to DRAIN_SECONDS."""

    def __init__(self, drain=False):
        self.asked = False
        self.why = None
        self.drain = drain
        self.saved = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGALRM):
                self.saved[sig] = signal.signal(sig, self.ask)
        return self

    def ask(self, signum=None, frame=None):
        if signum == signal.SIGALRM or (self.asked and signum == signal.SIGINT):
            raise KeyboardInterrupt
        if not self.asked and signum is not None:
            signal.setitimer(signal.ITIMER_REAL, DRAIN_SECONDS if self.drain else GRACE_SECONDS)
        self.asked = True

    def tell(self):
        """One line on standard error when something other than the user
        stopped the loop."""
        if self.why:
            print(safe("qel-inspect: %s; the frames done so far are kept (--resume continues)" % self.why),
                  file=sys.stderr)

    def __exit__(self, *exc):
        if signal.SIGALRM in self.saved:
            signal.setitimer(signal.ITIMER_REAL, 0)
        for sig, handler in self.saved.items():
            signal.signal(sig, handler)


class _Feeder:
    """Reads the source in a thread, one frame at a time, while the loop
    has room for it."""

    END = object()

    def __init__(self, source, room):
        self.room = room                   # callable: how many frames may be in flight now
        self.cond = threading.Condition()
        self.in_flight = 0                 # read and not yet finished
        self.closed = False
        self.out = queue.Queue()
        self.bell = _Bell()
        self.thread = threading.Thread(target=self._read, args=(iter(source),), daemon=True,
                                       name="qel-inspect-source")
        self.thread.start()

    def _read(self, frames):
        try:
            while True:
                with self.cond:
                    while not self.closed and self.in_flight >= self.room():
                        self.cond.wait(POLL_SECONDS)
                    if self.closed:
                        return
                    self.in_flight += 1
                frame = next(frames, self.END)
                self.out.put(frame)
                self.bell.ring()
                if frame is self.END:
                    return
        except BaseException as e:  # noqa: BLE001 - the loop raises it where the caller sees it
            self.out.put(e)
            self.bell.ring()

    def done(self):
        with self.cond:
            self.in_flight -= 1
            self.cond.notify()

    def close(self):
        with self.cond:
            self.closed = True
            self.cond.notify()


class _Bell:
    """A future the feeder completes when it hands over a frame, waited on
    beside the workers' futures: a frame that arrives while others are on
    a worker goes to a free one at once, not at the loop's next poll."""

    def __init__(self):
        self.lock = threading.Lock()
        self.future = cf.Future()

    def ring(self):
        with self.lock:
            if not self.future.done():
                self.future.set_result(None)

    def rearm(self):
        with self.lock:
            if self.future.done():
                self.future = cf.Future()
            return self.future


def drive(source, executor, task, stop):
    """Yield (frame, result) as frames finish, until the source ends or
    `stop` is asked (Ctrl-C, SIGTERM, or workers gone for good: then
    `stop.why` says so). The executor is closed at the end, or stopped at
    once when the loop did not run to the end. A draining stop reads no
    more frames, drops those not yet on a worker and yields the rest as
    they finish."""
    feeder = _Feeder(source, lambda: executor.capacity() + WAITING)
    ready = []                         # read, waiting for a worker
    suspects = []                      # in flight when a worker died
    solo = None                        # a suspect running alone
    running = {}                       # future -> frame
    ended = finished_cleanly = False
    try:
        while not ended or ready or suspects or running:
            if stop.asked and not stop.drain:
                return
            if stop.asked and (not ended or ready or suspects):
                # Draining: what is not on a worker yet stays with the source.
                feeder.close()
                ended = True
                ready.clear()
                suspects.clear()
            try:
                executor.check()
            except Gone as e:
                stop.asked, stop.why = True, str(e)
                return
            bell = feeder.bell.rearm()
            while not stop.asked:
                try:
                    item = feeder.out.get_nowait() if (running or ready or suspects or ended) else \
                        feeder.out.get(timeout=POLL_SECONDS)
                except queue.Empty:
                    break
                if item is _Feeder.END:
                    ended = True
                elif isinstance(item, BaseException):
                    raise item
                else:
                    ready.append(item)
            try:
                if solo is None and suspects:
                    # Taken off the list only once submitted: a broken pool refuses it.
                    running[_submit(executor, task, suspects[-1])] = suspects[-1]
                    solo = suspects.pop()
                while solo is None and not suspects and ready and len(running) < executor.capacity():
                    running[_submit(executor, task, ready[0])] = ready[0]
                    ready.pop(0)
            except executor.Lost:
                if not running:
                    executor.restart()
                # Otherwise the futures in flight say so too; handled below.
            if not running:
                continue
            waiting_for = list(running) if ended or stop.asked else list(running) + [bell]
            finished, _ = cf.wait(waiting_for, timeout=POLL_SECONDS, return_when=cf.FIRST_COMPLETED)
            lost = []
            for fut in finished:
                if fut is bell:
                    continue
                frame = running.pop(fut)
                try:
                    result = fut.result()
                except executor.Lost:
                    lost.append(frame)
                    continue
                except executor.Killed:
                    result = task.failed(frame, executor.death())
                except Gone as e:
                    stop.asked, stop.why = True, str(e)
                    return
                except Exception as e:  # noqa: BLE001 - a task that failed on its worker
                    result = task.failed(frame, internal_error(e))
                if frame is solo:
                    solo = None
                feeder.done()
                yield frame, result
            if lost or running and executor.stalled():
                lost += list(running.values())
                running.clear()
                death = executor.death()
                executor.restart()
                if solo is not None:
                    # Alone and killed again: this frame is what kills its worker.
                    lost.remove(solo)
                    feeder.done()
                    yield solo, task.failed(solo, death)
                    solo = None
                suspects.extend(lost)
        finished_cleanly = True
    finally:
        feeder.close()
        if finished_cleanly:
            executor.close()
        else:
            executor.stop()


def _submit(executor, task, frame):
    data = frame.data
    if data is None and executor.remote:
        data = frame_bytes(frame.key)
    return executor.submit(task.fn, *task.args(frame, data))


def frame_bytes(path):
    """A frame's file as bytes for a worker without this file system, or
    the one-line reason it cannot be read (the worker records it). Only a
    regular file is read (a FIFO would hold the loop up for good); the
    worker checks the size its header declares."""
    try:
        return read_regular(path, BYTES_PER_PIXEL * CEILING + SLACK)
    except OSError as e:
        return "unreadable (%s)" % (e.strerror or e)


def in_order(source, drive_them, ident=lambda frame: frame.key):
    """What `drive_them(frames)` yields, (frame, result) pairs in the order
    they finish, put back in the order the frames were read from `source`:
    a result waits for those of the frames read before it (no more than
    are in flight). For rules that need frames in sequence (serial
    numbers). Frames are told apart by `ident` (their key)."""
    read = collections.deque()

    def reading():
        for frame in source:
            read.append(ident(frame))
            yield frame

    finished = {}
    for frame, result in drive_them(reading()):
        finished[ident(frame)] = (frame, result)
        while read and read[0] in finished:
            yield finished.pop(read.popleft())

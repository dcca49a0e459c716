"""Frames that appear in a folder (a camera's software writing them), in
the order they arrive, for as long as the folder is watched.

A file counts once it is completely written: closed after writing, or
renamed into the folder. inotify (through watchdog) says both; where it
cannot be used (a network file system, no watches left, or `poll`) the
folder is polled and a file counts once its size and time have stood still
for `settle` seconds with no process holding it open for writing (where
the kernel can say so). Only image files count, not hidden ones, and not
sub-folders.

A file is known by its path and its identity (inode, size, modification
time), so a name reused after the first file was removed is a new frame,
and a frame recorded before a restart is not inspected again.
"""
import errno
import fcntl
import os
import queue
import sys
import threading
import time
from dataclasses import dataclass
from typing import Callable, Optional

from ..errors import UsageError
from . import MARKED, Frame, Source, is_image_name, marked_name

TICK = 0.1            # how often the polling side looks again, seconds


@dataclass(frozen=True)
class WatchedFrame(Frame):
    arrived: Optional[float] = None      # Unix time the file was seen complete
    file_id: Optional[str] = None


def identity(st) -> str:
    return "%d:%d:%d" % (st.st_ino, st.st_size, st.st_mtime_ns)


def writers_gone(path: str) -> Optional[bool]:
    """Whether no process holds the file open for writing: a read lease is
    granted only then. None where the kernel will not say (not the file's
    owner, a file system without leases)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
        return True
    except OSError as e:
        return False if e.errno in (errno.EAGAIN, errno.EBUSY) else None
    finally:
        os.close(fd)


class Watched(Source):
    """The frames of `folder`: those already there (unless passed over),
    oldest first, then each new one as it is complete.

    `done(key, file_id)` says whether a file was recorded before (a
    restart); `passed_over` is a set of (key, file_id) never to inspect;
    `on_arrival(frame)` is called when a frame is found complete (the
    deadline starts then), from the watching thread."""

    def __init__(self, folder: str, outdir: str, done: Callable[[str, str], bool] = lambda k, f: False,
                 passed_over=frozenset(), on_arrival: Callable = lambda frame: None, poll: bool = False,
                 settle: float = 1.0, taken_names=None, log=None):
        if not os.path.isdir(folder):
            raise UsageError("no such folder: %s" % folder)
        self.folder = os.path.realpath(folder)
        self.out_root = os.path.realpath(outdir)
        self.done, self.passed_over, self.on_arrival = done, set(passed_over), on_arrival
        self.poll, self.settle = poll, settle
        self.log = log or (lambda line: print("qel-inspect: " + line, file=sys.stderr, flush=True))
        self.queue = queue.Queue()
        self.lock = threading.Lock()
        self.seen = set()                   # (key, file_id) found complete in this watch
        self.pending = {}                   # path -> (signature, since) not yet complete
        self.owner = dict(taken_names or {})  # picture stem -> (key, file_id) that has it
        self.observer = None
        self.closed = threading.Event()
        self.mode = None

    # --- what counts --------------------------------------------------------------------

    def _counts(self, path: str) -> bool:
        name = os.path.basename(path)
        return (os.path.dirname(path) == self.folder and is_image_name(name) and not name.startswith(".")
                and not path.startswith(self.out_root + os.sep))

    def _found(self, path: str, st=None, arrived=None) -> None:
        """A complete file: queued as a frame unless it was seen, recorded
        or passed over."""
        try:
            st = st or os.stat(path)
        except OSError:
            return                          # gone again before it was looked at
        if not os.path.isfile(path):
            return
        file_id = identity(st)
        with self.lock:
            if (path, file_id) in self.seen:
                return
            self.seen.add((path, file_id))
            self.pending.pop(path, None)
        if (path, file_id) in self.passed_over or self.done(path, file_id):
            return
        frame = WatchedFrame(path, path, self._marked(path, file_id), arrived=arrived or time.time(),
                             file_id=file_id)
        self.on_arrival(frame)
        self.queue.put(frame)

    def _marked(self, key, file_id):
        stem = os.path.splitext(os.path.basename(key))[0]
        owner = self.owner.setdefault(stem, (key, file_id))
        return marked_name(stem, key + "\0" + file_id, owner != (key, file_id))

    def _maybe(self, path: str) -> None:
        """A file written to, or there at start: complete now, or once its
        writer is done (inotify says when it closes; polling looks again)."""
        if not self._counts(path):
            return
        gone = writers_gone(path)
        if gone is False and not self.poll:
            return                          # still open for writing: its close is still to come
        if gone is True and not self.poll:
            self._found(path)
        else:
            self._pending(path)

    def _pending(self, path):
        try:
            st = os.stat(path)
        except OSError:
            return
        with self.lock:
            self.pending.setdefault(path, ((st.st_size, st.st_mtime_ns), time.monotonic()))

    def _settle_pending(self):
        """Polling: a file whose size and time stood still for `settle`
        seconds, with no writer the kernel knows of, is complete."""
        now = time.monotonic()
        with self.lock:
            items = list(self.pending.items())
        for path, (signature, since) in items:
            try:
                st = os.stat(path)
            except OSError:
                with self.lock:
                    self.pending.pop(path, None)
                continue
            current = (st.st_size, st.st_mtime_ns)
            if current != signature:
                with self.lock:
                    self.pending[path] = (current, now)
            elif now - since >= self.settle and writers_gone(path) is not False:
                self._found(path, st)

    # --- watching -----------------------------------------------------------------------

    def _on_event(self, event):
        if event.is_directory:
            return
        kind = event.event_type
        if kind == "moved":
            if event.dest_path and self._counts(event.dest_path):
                self._found(event.dest_path)      # renamed into the folder: complete
        elif kind == "closed":
            if self._counts(event.src_path):
                self._found(event.src_path)
        elif kind in ("created", "modified") and self.poll:
            self._maybe(event.src_path)

    def start(self) -> None:
        """Begin watching (before the folder is listed, so nothing that
        arrives meanwhile is missed)."""
        from watchdog.events import FileSystemEventHandler

        source = self

        class Handler(FileSystemEventHandler):
            def on_any_event(self, event):
                try:
                    source._on_event(event)
                except Exception as e:  # noqa: BLE001 - one odd file must not stop the watching
                    source.log("watching %s: %s: %s" % (source.folder, type(e).__name__, e))

        if not self.poll:
            try:
                from watchdog.observers.inotify import InotifyObserver
                self.observer = InotifyObserver(generate_full_events=True)
                self.observer.schedule(Handler(), self.folder, recursive=False)
                self.observer.start()
                self.mode = "inotify"
            except (OSError, ImportError) as e:
                self.log("cannot watch %s with inotify (%s); polling it instead" % (self.folder, e))
                self.observer = None
                self.poll = True
        if self.poll:
            from watchdog.observers.polling import PollingObserver
            self.observer = PollingObserver(timeout=TICK * 2)
            self.observer.schedule(Handler(), self.folder, recursive=False)
            self.observer.start()
            self.mode = "polling"
        # Files the kernel says nothing about wait for their size to settle.
        threading.Thread(target=self._settling, daemon=True, name="qel-inspect-settle").start()

    def _settling(self):
        while not self.closed.wait(TICK):
            try:
                self._settle_pending()
            except Exception as e:  # noqa: BLE001
                self.log("watching %s: %s: %s" % (self.folder, type(e).__name__, e))

    def already_there(self) -> list:
        """The folder's image files now, oldest first."""
        found = []
        with os.scandir(self.folder) as entries:
            for entry in entries:
                path = os.path.join(self.folder, entry.name)
                if self._counts(path) and entry.is_file():
                    try:
                        found.append((entry.stat().st_mtime_ns, entry.name, path))
                    except OSError:
                        pass
        return [p for _, _, p in sorted(found)]

    def __iter__(self):
        if self.observer is None:
            self.start()
        for path in self.already_there():
            self._maybe(path)
        while not self.closed.is_set():
            try:
                yield self.queue.get(timeout=TICK * 5)
            except queue.Empty:
                continue

    def close(self) -> None:
        self.closed.set()
        if self.observer is not None:
            self.observer.stop()
            self.observer.join(5)


def new_only(folder: str, outdir: str) -> list:
    """(key, file_id) of the folder's image files now: what a --new-only
    watch passes over."""
    w = Watched(folder, outdir)
    out = []
    for path in w.already_there():
        try:
            out.append((path, identity(os.stat(path))))
        except OSError:
            pass
    return out


__all__ = ["Watched", "WatchedFrame", "identity", "new_only", "writers_gone", "MARKED"]

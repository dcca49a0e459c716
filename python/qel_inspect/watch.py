"""`qel-inspect watch`: every frame that appears in a folder inspected as it
comes, through the same driver, workers and sinks as `run`, until Ctrl-C or
SIGTERM; then the frames on a worker are finished and recorded, and the
command ends with the status `run` would give the folder's frames.

Each frame is committed (pictures, a transaction of results.sqlite, a line
of results.jsonl) before anything else is done about it: the reject
signals, and removing or moving the frame's file (--keep, --move-to). A
watch started again on the same folders goes on where the last one ended:
what was recorded is not inspected again, what arrived meanwhile is.
"""
import collections
import datetime
import os
import shutil
import sys
import threading
import time
from dataclasses import dataclass
from typing import Optional

from . import executors, outdir as folders, tasks
from .database import Recorded, Times
from .driver import Stop, drive, in_order
from .errors import UsageError
from .progress import Progress
from .records import latest, read_records
from .reject_signal import Signals
from .run import RUN, inspect_task, late_pictures
from .sequence import Sequence
from .sinks import RESULTS, write_csv
from .sources.watched import Watched, identity, new_only as listing
from .status import Status, tally

LOG = "watch.log"


class Log:
    """Lines for the operator: on standard error and, with the time, in
    OUTDIR/watch.log. Safe from any thread."""

    def __init__(self, outdir: str, stream=None):
        self.stream = stream or sys.stderr
        self.lock = threading.Lock()
        self.file = open(os.path.join(outdir, LOG), "a", encoding="utf-8")

    def __call__(self, line: str) -> None:
        stamp = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
        with self.lock:
            self.file.write("%s %s\n" % (stamp, line))
            self.file.flush()
            try:
                print("qel-inspect: " + line, file=self.stream, flush=True)
            except (OSError, ValueError):
                pass                    # a closed terminal must not stop the line

    def close(self):
        with self.lock:
            self.file.close()


@dataclass
class Options:
    workers: Optional[int] = None
    new_only: bool = False
    keep: Optional[int] = None          # frames left in the folder after inspection
    move_to: Optional[str] = None
    poll: bool = False
    verbose: bool = False
    http: Optional[str] = None          # HOST:PORT of the live page
    on_reject: Optional[str] = None
    on_reject_timeout: float = 5.0
    mqtt: Optional[str] = None
    topic: str = "qel-inspect/records"
    deadline_ms: Optional[float] = None


class Tidy:
    """Inspected frames removed (all but the newest `keep`) or moved out of
    the folder, each only after its record is safe, and only while the
    file is the one inspected (not a newer file of the same name)."""

    def __init__(self, keep: Optional[int], move_to: Optional[str], log, already=()):
        self.keep, self.move_to, self.log = keep, move_to, log
        self.kept = collections.deque(already)

    def __call__(self, path: str, file_id: Optional[str]) -> None:
        if self.move_to:
            self._move(path, file_id)
        elif self.keep is not None:
            self.kept.append((path, file_id))
            while len(self.kept) > self.keep:
                self._remove(*self.kept.popleft())

    def _same(self, path, file_id):
        try:
            return identity(os.stat(path)) == file_id
        except OSError:
            return False

    def _remove(self, path, file_id):
        if self._same(path, file_id):
            try:
                os.remove(path)
            except OSError as e:
                self.log("cannot remove %s (%s)" % (path, e.strerror or e))

    def _move(self, path, file_id):
        if not self._same(path, file_id):
            return
        target = os.path.join(self.move_to, os.path.basename(path))
        stem, ext = os.path.splitext(target)
        n = 1
        while os.path.exists(target):
            target = "%s-%d%s" % (stem, n, ext)
            n += 1
        try:
            shutil.move(path, target)
        except OSError as e:
            self.log("cannot move %s to %s (%s)" % (path, self.move_to, e.strerror or e))


def header(recipe, folder):
    return {"recipe": recipe.settings(), "recipe_file": os.path.abspath(recipe.path) if recipe.path else None,
            "frames": None, "watch": os.path.realpath(folder)}


def check_options(folder: str, outdir: str, options: Options) -> None:
    if options.keep is not None and options.move_to:
        raise UsageError("--keep and --move-to cannot be used together")
    if not os.path.isdir(folder):
        raise UsageError("no such folder: %s" % folder)
    if options.move_to:
        if not os.path.isdir(options.move_to):
            raise UsageError("--move-to %s: no such folder" % options.move_to)
        if os.path.realpath(options.move_to) == os.path.realpath(folder):
            raise UsageError("--move-to names the watched folder itself")
    if os.path.realpath(outdir) == os.path.realpath(folder):
        raise UsageError("the output folder cannot be the watched folder")


def watch(recipe, folder: str, outdir: str, options: Options, progress_stream=None, ready=None):
    """Watch `folder` into `outdir` until stopped. Returns (records, this
    watch's counts, stopped): every record of the folder, the statuses of
    the frames judged by this watch, and whether it ended for another
    reason than being asked to (then a line said why). `ready`, if given,
    is called once the folder is being watched."""
    check_options(folder, outdir, options)
    head = header(recipe, folder)
    folders.make(outdir)
    folders.lock(outdir, "qel-inspect watch")
    before = folders.read_header(outdir, RUN)
    if before is not None and before.get("recipe") != head["recipe"]:
        raise UsageError("%s holds results made with another recipe; give another folder" % outdir)
    folders.write_header(outdir, RUN, head, True)
    log = Log(outdir)
    server = None
    results = Recorded(outdir)
    try:
        database = results.database
        recorded = database.recorded()
        first = database.meta("watch_started") is None
        if first:
            if options.new_only:
                database.pass_over(listing(folder, outdir))
            database.set_meta("watch_started", str(time.time()))
        if options.http:
            from . import live
            server = live.serve_in_thread(outdir, options.http, log)
        signals = Signals(log, options.on_reject, options.on_reject_timeout, options.mqtt, options.topic,
                          options.deadline_ms)
        taken = {}
        for key, ids in recorded.items():
            taken.setdefault(os.path.splitext(os.path.basename(key))[0], (key, sorted(ids, key=str)[0]))
        source = Watched(folder, outdir, done=lambda k, f: f in recorded.get(k, ()),
                         passed_over=database.passed_over(), on_arrival=signals.arrived, poll=options.poll,
                         taken_names=taken, log=log)
        source.start()
        already = []
        if options.keep is not None:
            for path in source.already_there():
                try:
                    file_id = identity(os.stat(path))
                except OSError:
                    continue
                if file_id in recorded.get(path, ()):
                    already.append((path, file_id))
        tidy = Tidy(options.keep, options.move_to, log, already)
        job = tasks.make_job(recipe, options.verbose)
        executor = executors.LocalExecutor(options.workers or os.cpu_count() or 1, job)
        log("watching %s (%s) into %s with %s" % (source.folder, source.mode, outdir, executor.describe()))
        if ready is not None:
            ready()
        progress = Progress(None, 0, progress_stream)
        judged_here = []
        stop = Stop(drain=True)
        sequence = Sequence(recipe.regions, read_records(os.path.join(outdir, RESULTS)))
        try:
            with stop:
                finished = lambda frames: drive(frames, executor, inspect_task(), stop)    # noqa: E731
                # Serial numbers are judged in the order the frames arrived.
                ident = lambda f: (f.key, getattr(f, "file_id", None))    # noqa: E731 - a name may come again
                for frame, (record, pictures) in (in_order(source, finished, ident) if sequence else
                                                  finished(source)):
                    if sequence and sequence.judge(record).status == Status.REJECT and not record.marked:
                        pictures = late_pictures(frame, record)
                    judged = time.time()
                    arrived = getattr(frame, "arrived", None)
                    late = signals.is_late(arrived, judged)
                    results.keep(record, pictures, Times(arrived, judged, late), getattr(frame, "file_id", None))
                    signals.judged(frame, record.to_json(), arrived, judged, late)
                    tidy(frame.key, getattr(frame, "file_id", None))
                    judged_here.append(record.status)
                    progress.update(record.status)
        except KeyboardInterrupt:
            stop.asked = True
            stop.why = stop.why or "stopped at once (a second Ctrl-C); frames on a worker were dropped"
        finally:
            progress.close()
            source.close()
            signals.close()
        if stop.why:
            log("%s; the frames done so far are kept (watch again to go on)" % stop.why)
        late = database.db.execute("SELECT COUNT(*) FROM frames WHERE late = 1").fetchone()[0]
        if late:
            log("%d frame%s judged later than the deadline" % (late, "" if late == 1 else "s"))
    finally:
        if server is not None:
            server.stop()
        results.close()
        log.close()
    records = latest(read_records(os.path.join(outdir, RESULTS)))
    folders.write_header(outdir, RUN, head, bool(stop.why))
    write_csv(outdir, records)
    return records, tally(judged_here), bool(stop.why)

"""`qel-inspect run`: frames from a source inspected by workers, each
record committed to results.jsonl (with its pictures) the moment the frame
is done, progress on standard error, --resume, and the CSV derived from the
records at the end.

The workers capture the library's printed lines and send back pictures as
bytes, which are written here, so nothing reaches the caller's directory or
terminal but the output folder.
"""
import os
import sqlite3

from . import executors, outdir as folders, tasks
from .database import FILES as DATABASE_FILES, Recorded, mend
from .driver import Stop, Task, drive, in_order
from .errors import UsageError
from .files import WriteError
from .progress import Progress
from .records import Record, latest, read_records, tell_damaged
from .sequence import Sequence
from .sinks import CSV, RESULTS, write_csv
from .status import Status

RUN = "run.json"
REPORT = "report.html"


def inspect_task():
    """The task kind of a run: one record and its pictures a frame."""
    return Task(fn=tasks.inspect,
                args=lambda frame, data: (frame.key, frame.shown, frame.marked, data),
                failed=lambda frame, reason: (Record(frame.key, frame.shown, Status.ERROR, reason), {}))


def _write_error(outdir, e):
    """A failure to keep a record, as the one-line error naming the file."""
    return e if isinstance(e, WriteError) else WriteError(os.path.join(outdir, DATABASE_FILES[0]), e)


def late_pictures(frame, record):
    """The marked pictures of a frame found wanting here, after its worker
    had passed it (a serial out of sequence): the frame is read again."""
    from .pictures import marked_pictures
    from .pipeline import InspectionError, decode_frame, read_frame

    try:
        image = decode_frame(frame.data) if frame.data is not None else read_frame(frame.key)
    except InspectionError:
        return {}
    pictures = marked_pictures(image, record.defects, frame.marked)
    record.marked, record.thumb = pictures.keys()
    return pictures


def header(recipe, source):
    return {"recipe": recipe.settings(), "recipe_file": os.path.abspath(recipe.path) if recipe.path else None,
            "frames": source.total}


def run(recipe, source, outdir, workers=None, resume=False, verbose=False, progress_stream=None, scheduler=None):
    """Inspect the frames of `source` into `outdir`, in local worker
    processes or, given a scheduler's address, on a Dask cluster. Returns
    (records, stopped): every record of the folder, and whether the run was
    stopped before the end (Ctrl-C, SIGTERM, or the workers gone: then a
    line on standard error says why). The folder is owned by this run from
    the start (outdir.lock) until outdir.release. With `resume`, damaged
    lines of results.jsonl are named on standard error and their frames
    inspected again. UsageError when the folder cannot be written (full,
    read-only): every frame recorded until then is kept, whole."""
    job = tasks.make_job(recipe, verbose)
    head = header(recipe, source)
    executor = executors.reach(job, scheduler)
    try:
        folders.start(outdir, RUN, head, (RESULTS, CSV, REPORT) + DATABASE_FILES, resume, ("recipe",),
                      "%s holds results made with another recipe; give another folder or leave out --resume",
                      "replacing the results of an earlier run in %s (--resume would continue them)")
        recorded = set()
        if resume:
            mend(outdir)
            damaged = []
            recorded = {r.key for r in read_records(os.path.join(outdir, RESULTS), repair=True, damaged=damaged)}
            tell_damaged(os.path.join(outdir, RESULTS), damaged)
        folders.write_header(outdir, RUN, head, True)
        results = Recorded(outdir)
    except BaseException as e:
        if executor is not None:
            executor.stop()
        if isinstance(e, sqlite3.Error):
            raise WriteError(os.path.join(outdir, DATABASE_FILES[0]), e) from e
        raise
    todo = source
    if source.total is not None:
        todo = [f for f in source if f.key not in recorded]
    frames = (f for f in todo if f.key not in recorded)
    executor = executor or executors.open_executor(job, workers, None, len(todo) if source.total is not None else None)
    done_before = source.total - len(todo) if source.total is not None else len(recorded)
    progress = Progress(source.total, done_before, progress_stream)
    stop = Stop()
    kept, failed = set(), None
    sequence = Sequence(recipe.regions, read_records(os.path.join(outdir, RESULTS)) if resume else ())
    try:
        with results, stop:
            finished = lambda frames: drive(frames, executor, inspect_task(), stop)    # noqa: E731
            # Serial numbers are judged in the order the frames came.
            for frame, (record, pictures) in (in_order(frames, finished) if sequence else finished(frames)):
                if record.key in recorded:
                    continue                # a frame finished twice is recorded once
                if sequence and sequence.judge(record).status == Status.REJECT and not record.marked:
                    pictures = late_pictures(frame, record)
                try:
                    results.keep(record, pictures)
                except (WriteError, sqlite3.Error) as e:
                    failed, stop.asked = _write_error(outdir, e), True
                    break
                recorded.add(record.key)
                kept.add(record.key)
                progress.update(record.status)
    except KeyboardInterrupt:
        stop.asked = True
    finally:
        progress.close()
    stop.tell()
    records = latest(read_records(os.path.join(outdir, RESULTS)))
    missing = kept - {r.key for r in records}
    if missing:
        # Never a summary of a file this run did not write: someone removed or replaced it meanwhile.
        raise UsageError("%s no longer holds %d of the frames this run recorded in it: it was removed or replaced "
                         "while the run was writing it" % (os.path.join(outdir, RESULTS), len(missing)))
    try:
        folders.write_header(outdir, RUN, head, stop.asked)
        write_csv(outdir, records)
    except WriteError as e:
        failed = failed or e
    if failed is not None:
        raise UsageError("%s; the %d frames recorded are kept, whole (--resume continues)" % (failed, len(records)))
    return records, stop.asked

"""`qel-inspect run`: frames from a source inspected by workers, each
record committed to results.jsonl (with its pictures) the moment the frame
is done, progress on standard error, --resume, and the CSV derived from the
records at the end.

The workers capture the library's printed lines and send back pictures as
bytes, which are written here, so nothing reaches the caller's directory or
terminal but the output folder.
"""
import os
import sys

from . import executors, outdir as folders, tasks
from .database import FILES as DATABASE_FILES, Recorded, mend
from .driver import Stop, Task, drive
from .progress import Progress
from .records import Record, latest, read_records
from .sinks import CSV, RESULTS, write_csv
from .status import Status

RUN = "run.json"
REPORT = "report.html"


def inspect_task():
    """The task kind of a run: one record and its pictures a frame."""
    return Task(fn=tasks.inspect,
                args=lambda frame, data: (frame.key, frame.shown, frame.marked, data),
                failed=lambda frame, reason: (Record(frame.key, frame.shown, Status.ERROR, reason), {}))


def header(recipe, source):
    return {"recipe": recipe.settings(), "recipe_file": os.path.abspath(recipe.path) if recipe.path else None,
            "frames": source.total}


def run(recipe, source, outdir, workers=None, resume=False, verbose=False, progress_stream=None, scheduler=None):
    """Inspect the frames of `source` into `outdir`, in local worker
    processes or, given a scheduler's address, on a Dask cluster. Returns
    (records, stopped): every record of the folder, and whether the run was
    stopped before the end (Ctrl-C, SIGTERM, or the workers gone: then a
    line on standard error says why)."""
    job = tasks.make_job(recipe, verbose)
    head = header(recipe, source)
    executor = executors.reach(job, scheduler)
    try:
        folders.start(outdir, RUN, head, (RESULTS, CSV, REPORT) + DATABASE_FILES, resume, ("recipe",),
                      "%s holds results made with another recipe; give another folder or leave out --resume",
                      "replacing the results of an earlier run in %s (--resume would continue them)")
        if resume:
            mend(outdir)
        recorded = {r.key for r in read_records(os.path.join(outdir, RESULTS), repair=True)} if resume else set()
        folders.write_header(outdir, RUN, head, True)
    except BaseException:
        if executor is not None:
            executor.stop()
        raise
    todo = source
    if source.total is not None:
        todo = [f for f in source if f.key not in recorded]
    frames = (f for f in todo if f.key not in recorded)
    executor = executor or executors.open_executor(job, workers, None, len(todo) if source.total is not None else None)
    done_before = source.total - len(todo) if source.total is not None else len(recorded)
    progress = Progress(source.total, done_before, progress_stream)
    stop = Stop()
    try:
        with Recorded(outdir) as results, stop:
            for frame, (record, pictures) in drive(frames, executor, inspect_task(), stop):
                if record.key in recorded:
                    continue                # a frame finished twice is recorded once
                recorded.add(record.key)
                results.keep(record, pictures)
                progress.update(record.status)
    except KeyboardInterrupt:
        stop.asked = True
    finally:
        progress.close()
    if stop.why:
        print("qel-inspect: %s; the frames done so far are kept (--resume continues)" % stop.why, file=sys.stderr)
    records = latest(read_records(os.path.join(outdir, RESULTS)))
    folders.write_header(outdir, RUN, head, stop.asked)
    write_csv(outdir, records)
    return records, stop.asked

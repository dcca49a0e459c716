"""Batch runs: frames inspected by workers (local processes, or a Dask
cluster when a scheduler is given), one record a frame appended to
results.jsonl the moment it is done, progress on standard error, resume,
and the CSV derived from the records.

The workers capture the library's printed lines and send back pictures as
bytes, which are written here, so nothing reaches the caller's directory or
terminal but the output folder.
"""
import csv
import glob
import hashlib
import json
import os
import signal
import sys
import time
from dataclasses import dataclass

from . import executors, tasks
from .tasks import MARKED, THUMBS, settle_allocator  # noqa: F401 - settle_allocator for the benchmarks

IMAGE_EXTENSIONS = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".webp"}
RESULTS, CSV, RUN = "results.jsonl", "results.csv", "run.json"
PLAIN_PROGRESS_SECONDS = 5.0


class UsageError(Exception):
    """Bad targets or output folder; str() is the one-line message."""


@dataclass(frozen=True)
class Frame:
    key: str        # resolved path: the record's identity
    shown: str      # the path as the user named it
    marked: str     # marked picture, relative to the output folder


# --- targets ---------------------------------------------------------------------------

def _images_in(folder):
    names = sorted(os.listdir(folder))
    return [os.path.join(folder, n) for n in names
            if os.path.splitext(n)[1].lower() in IMAGE_EXTENSIONS and os.path.isfile(os.path.join(folder, n))]


def expand_targets(targets, outdir):
    """Frames named by files, folders (their images, not recursing) and glob
    patterns, in the order given (a folder's or a pattern's sorted by name),
    each once; the output folder's own pictures are left out. UsageError for
    a target that names nothing."""
    out_root = os.path.realpath(outdir)
    paths = []
    for t in targets:
        if os.path.isdir(t):
            found = _images_in(t)
            if not found:
                raise UsageError("folder '%s' holds no images" % t)
        elif glob.has_magic(t):
            found = sorted(p for p in glob.glob(t, recursive=True)
                           if os.path.isfile(p) and os.path.splitext(p)[1].lower() in IMAGE_EXTENSIONS)
            if not found:
                raise UsageError("pattern '%s' matches no image" % t)
        elif os.path.exists(t):
            found = [t]
        else:
            raise UsageError("no such file or folder: %s" % t)
        paths += found
    seen, frames = set(), []
    for p in paths:
        key = os.path.realpath(p)
        if key in seen or key.startswith(out_root + os.sep):
            continue
        seen.add(key)
        frames.append((key, p))
    stems = {}
    for key, _ in frames:
        stem = os.path.splitext(os.path.basename(key))[0]
        stems[stem] = stems.get(stem, 0) + 1
    result = []
    for key, shown in frames:
        stem = os.path.splitext(os.path.basename(key))[0]
        if stems[stem] > 1:
            # Same name in two folders: keep both pictures apart, stably.
            stem += "-" + hashlib.sha1(key.encode()).hexdigest()[:8]
        result.append(Frame(key, shown, os.path.join(MARKED, stem + ".png")))
    return result


# --- pictures ------------------------------------------------------------------------

def write_file(path, data):
    """Write through a temporary name, so a file is whole or absent."""
    tmp = path + ".part" + os.path.splitext(path)[1]
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def write_picture(path, image, params=()):
    write_file(path, tasks.encode(path, image, params))


def frame_bytes(path):
    """A frame's file as bytes for a worker without this file system, or
    the one-line reason it cannot be read (the worker records it)."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        return "unreadable (%s)" % (e.strerror or e)


def reach_then_prepare(job, workers, scheduler, prepare):
    """(executor, what `prepare()` returns): a cluster is reached before
    the output folder is prepared, so a wrong address leaves the folder
    alone. Local workers are started later (open_executor), once it is
    known how many frames are left: the executor is None then."""
    executor = open_executor(job, workers, scheduler, 0) if scheduler else None
    try:
        return executor, prepare()
    except BaseException:
        if executor is not None:
            executor.stop()
        raise


def collect(todo, executor, submit, keep, failed):
    """executors.drive, with Ctrl-C (and SIGTERM) and a cluster gone for
    good turned into a stop: True when stopped."""
    try:
        with _Stop() as stop:
            return executors.drive(todo, executor, submit, keep, failed, stop)
    except KeyboardInterrupt:
        return True
    except executors.Gone as e:
        print("qel-inspect: %s; the frames done so far are kept (--resume continues)" % e, file=sys.stderr)
        return True


def open_executor(job, workers, scheduler, todo):
    """The executor for a batch: a cluster when a scheduler is given
    (connecting raises UsageError at once when it cannot be reached),
    otherwise `workers` local processes (default: one per core)."""
    if scheduler:
        from . import cluster          # Dask only when asked for
        return cluster.DaskExecutor(scheduler, job)
    return executors.LocalExecutor(max(1, min(workers or os.cpu_count() or 1, todo or 1)), job)


# --- progress --------------------------------------------------------------------------

class Progress:
    """A bar on a terminal; otherwise a plain line every few seconds."""

    def __init__(self, total, done, stream=None, desc="inspecting"):
        self.stream = stream or sys.stderr
        self.total, self.done = total, done
        self.counts = {"pass": 0, "reject": 0, "error": 0}
        self.started = self.last = time.monotonic()
        self.bar = None
        self.desc = desc
        if self.stream.isatty():
            from tqdm import tqdm
            self.bar = tqdm(total=total, initial=done, file=self.stream, unit="frame", dynamic_ncols=True,
                            desc=desc)

    def update(self, status):
        """One more frame done: "pass", "reject" or "error"."""
        self.done += 1
        self.counts[status] += 1
        if self.bar is not None:
            self.bar.set_postfix_str(self.tally(), refresh=False)
            self.bar.update(1)
        elif time.monotonic() - self.last >= PLAIN_PROGRESS_SECONDS:
            self.line()

    def tally(self):
        if self.desc == "inspecting":
            return "%d rejected, %d not inspected" % (self.counts["reject"], self.counts["error"])
        return "%d not inspected" % self.counts["error"]

    def line(self):
        self.last = time.monotonic()
        rate = sum(self.counts.values()) / max(1e-9, self.last - self.started)
        print("qel-inspect: %s %d/%d frames, %s, %.1f frames/s"
              % (self.desc, self.done, self.total, self.tally(), rate), file=self.stream, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()


# --- results ---------------------------------------------------------------------------

def read_records(outdir, repair=False):
    """The records of results.jsonl (see read_lines)."""
    return read_lines(os.path.join(outdir, RESULTS), repair)


def read_lines(path, repair=False):
    """The records of a file of JSON lines. A last line cut short by a
    crash is dropped (and, with `repair`, cut off the file so appending
    stays sound)."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    end = data.rfind(b"\n") + 1
    if repair and end < len(data):
        with open(path, "r+b") as f:
            f.truncate(end)
    return [json.loads(line) for line in data[:end].splitlines() if line.strip()]


def latest(records):
    """One record a frame (the last written wins), sorted by frame name."""
    by_key = {}
    for r in records:
        by_key[r["key"]] = r
    return sorted(by_key.values(), key=lambda r: (r["frame"], r["key"]))


def write_csv(outdir, records):
    path = os.path.join(outdir, CSV)
    tmp = path + ".part"
    with open(tmp, "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f)
        out.writerow(["frame", "status", "reason", "defects", "kinds", "boxes_in_frame", "tilt_frame",
                      "tilt_standard", "match_score", "shift_x", "shift_y", "seconds", "marked", "key"])
        for r in records:
            defects = r.get("defects") or []
            shift = r.get("shift") or [None, None]
            out.writerow([r["frame"], r["status"], r.get("reason") or "", len(defects),
                          "; ".join(d["kind"] for d in defects),
                          "; ".join("%d %d %d %d" % tuple(d["box_frame"]) for d in defects),
                          _blank(r.get("tilt_frame")), _blank(r.get("tilt_standard")), _blank(r.get("match_score")),
                          _blank(shift[0]), _blank(shift[1]), r.get("seconds", ""), r.get("marked", ""), r["key"]])
    os.replace(tmp, path)


def _blank(v):
    return "" if v is None else v


def counts(records):
    c = {"pass": 0, "reject": 0, "error": 0}
    for r in records:
        c[r["status"]] += 1
    return c


def exit_status(records, stopped):
    c = counts(records)
    if stopped or c["error"]:
        return 2
    return 1 if c["reject"] else 0


# --- the run ---------------------------------------------------------------------------

class _Stop:
    """Ctrl-C (or SIGTERM) asks the loop to stop at its next turn, so a
    record is never cut in half; a second Ctrl-C stops at once."""

    def __init__(self):
        self.asked = False
        self.saved = {}

    def __enter__(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            self.saved[sig] = signal.signal(sig, self.ask)
        return self

    def ask(self, signum, frame):
        if self.asked:
            raise KeyboardInterrupt
        self.asked = True

    def __exit__(self, *exc):
        for sig, handler in self.saved.items():
            signal.signal(sig, handler)


def prepare_outdir(outdir, settings, resume):
    """Make the output folder; without `resume` clear an earlier run's
    results from it. Returns the records to keep."""
    os.makedirs(os.path.join(outdir, THUMBS), exist_ok=True)
    run_path = os.path.join(outdir, RUN)
    if resume:
        if os.path.exists(run_path):
            with open(run_path, encoding="utf-8") as f:
                before = json.load(f).get("recipe")
            if before != settings:
                raise UsageError("%s holds results made with another recipe; give another folder or leave out --resume"
                                 % outdir)
        return read_records(outdir, repair=True)
    if os.path.exists(os.path.join(outdir, RESULTS)):
        print("qel-inspect: replacing the results of an earlier run in %s (--resume would continue them)" % outdir,
              file=sys.stderr)
    for name in (RESULTS, CSV, "report.html"):
        if os.path.exists(os.path.join(outdir, name)):
            os.remove(os.path.join(outdir, name))
    for folder in (THUMBS, MARKED):
        for name in os.listdir(os.path.join(outdir, folder)):
            path = os.path.join(outdir, folder, name)
            if os.path.isfile(path):
                os.remove(path)
    return []


def write_run(outdir, settings, recipe_path, total, stopped):
    path = os.path.join(outdir, RUN)
    with open(path + ".part", "w", encoding="utf-8") as f:
        json.dump({"recipe": settings, "recipe_file": os.path.abspath(recipe_path) if recipe_path else None,
                   "frames": total, "stopped": stopped}, f, indent=1)
    os.replace(path + ".part", path)


def run(recipe, frames, outdir, workers=None, resume=False, verbose=False, progress_stream=None, scheduler=None):
    """Inspect `frames` (from expand_targets) into `outdir`, in local worker
    processes or, given a scheduler's address, on a Dask cluster. Returns
    (records, stopped): every record of the folder, and whether the run was
    stopped before the end."""
    job = tasks.make_job(recipe, verbose)
    settings = recipe.settings()
    executor, earlier = reach_then_prepare(job, workers, scheduler, lambda: prepare_outdir(outdir, settings, resume))
    recorded = {r["key"] for r in earlier}
    todo = [f for f in frames if f.key not in recorded]
    write_run(outdir, settings, recipe.path, len(frames), True)
    executor = executor or open_executor(job, workers, None, len(todo))
    progress = Progress(len(frames), len(frames) - len(todo), progress_stream)
    try:
        with open(os.path.join(outdir, RESULTS), "a", encoding="utf-8") as results:
            def keep(frame, result):
                record, pictures = result
                if record["key"] in recorded:
                    return                  # a frame finished twice is recorded once
                recorded.add(record["key"])
                for name, data in pictures.items():
                    write_file(os.path.join(outdir, name), data)
                # Results first: the line is on disk before anything else happens.
                results.write(json.dumps(record, ensure_ascii=False) + "\n")
                results.flush()
                progress.update(record["status"])

            def failed(frame, reason):
                keep(frame, ({"key": frame.key, "frame": frame.shown, "status": "error", "reason": reason,
                              "defects": []}, {}))

            def submit(frame):
                data = frame_bytes(frame.key) if executor.remote else None
                return executor.submit(tasks.inspect, frame.key, frame.shown, frame.marked, data)

            stopped = collect(todo, executor, submit, keep, failed)
    finally:
        progress.close()
    records = latest(read_records(outdir))
    write_run(outdir, settings, recipe.path, len(frames), stopped)
    write_csv(outdir, records)
    return records, stopped

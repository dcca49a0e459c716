"""Batch runs: frames inspected in worker processes, one record a frame
appended to results.jsonl the moment it is done, progress on standard
error, resume, and the CSV derived from the records.

Each worker works in its own scratch directory with the library's printed
lines captured, so nothing reaches the caller's directory or terminal.
"""
import concurrent.futures as cf
import csv
import glob
import hashlib
import json
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import time
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass

import cv2
import numpy as np

from . import pipeline
from .recipe import Recipe

IMAGE_EXTENSIONS = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".webp"}
RESULTS, CSV, RUN = "results.jsonl", "results.csv", "run.json"
MARKED = "marked"
THUMBS = os.path.join(MARKED, "thumbs")
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


# --- the worker ------------------------------------------------------------------------

_worker = {}


def settle_allocator():
    """Let the C heap recycle a frame's big arrays. glibc gives every block
    above its mmap threshold (128 KiB in a new process) a fresh mapping, so
    each of the hundreds of image-sized temporaries a frame needs pays page
    faults; freeing one large mapped block raises the threshold to its size,
    and from then on those arrays come from the heap. A new worker would
    otherwise run about half as fast as a process that happened to do this."""
    block = np.empty(16 << 20, np.uint8)
    del block


def _start_worker(scratch_root, settings, outdir, verbose):
    """Runs once in each worker process: ignore Ctrl-C (the parent stops the
    workers), work in a private scratch directory, prepare the standard."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    settle_allocator()
    os.chdir(tempfile.mkdtemp(prefix="worker-", dir=scratch_root))
    recipe = Recipe(**settings)
    image = pipeline.read_frame(recipe.standard)
    _worker.update(recipe=recipe, outdir=outdir, verbose=verbose,
                   standard=pipeline.prepare_standard(image, recipe.aoi, recipe.polarity, recipe.bars))


def thumbnail(marked, defects, most=(360, 240), least=(240, 160)):
    """A crop of the marked picture around its defects, at least `least`
    (so a small defect is seen in its surroundings), scaled down to fit
    `most`."""
    h, w = marked.shape[:2]
    x1 = min(d["box_frame"][0] for d in defects)
    y1 = min(d["box_frame"][1] for d in defects)
    x2 = max(d["box_frame"][2] for d in defects)
    y2 = max(d["box_frame"][3] for d in defects)
    cw = min(w, max(least[0], x2 - x1 + 48))
    ch = min(h, max(least[1], y2 - y1 + 48))
    left = min(max(0, (x1 + x2 - cw) // 2), w - cw)
    top = min(max(0, (y1 + y2 - ch) // 2), h - ch)
    crop = marked[top:top + ch, left:left + cw]
    scale = min(1.0, most[0] / crop.shape[1], most[1] / crop.shape[0])
    if scale < 1.0:
        crop = cv2.resize(crop, (max(1, round(crop.shape[1] * scale)), max(1, round(crop.shape[0] * scale))),
                          interpolation=cv2.INTER_AREA)
    return crop


def write_picture(path, image, params=()):
    """Write through a temporary name, so a picture is whole or absent."""
    ext = os.path.splitext(path)[1]
    ok, data = cv2.imencode(ext, image, list(params))
    if not ok:
        raise OSError("cannot encode %s" % path)
    tmp = path + ".part" + ext
    with open(tmp, "wb") as f:
        f.write(data.tobytes())
    os.replace(tmp, path)


def inspect_frame(key, shown, marked):
    """One frame, in a worker: the record for results.jsonl."""
    w = _worker
    recipe = w["recipe"]
    started = time.perf_counter()
    record = {"key": key, "frame": shown}
    frame = None
    try:
        frame = pipeline.read_frame(key)
        out = pipeline.inspect(w["standard"], frame, recipe.max_shift, recipe.threshold, recipe.dirty_width,
                               recipe.min_match_score)
    except pipeline.InspectionError as e:
        out = {"status": "error", "reason": str(e), "defects": []}
    except Exception as e:  # noqa: BLE001 - one bad frame must not stop the batch
        out = {"status": "error", "reason": "internal error: %s: %s" % (type(e).__name__, str(e).splitlines()[0]
                                                                         if str(e) else ""), "defects": []}
    lines = out.pop("lines", [])
    record.update(out)
    record.setdefault("tilt_standard", pipeline.rounded(w["standard"].tilt))
    if record["status"] == "reject":
        picture = pipeline.marked_picture(frame, record["defects"])
        write_picture(os.path.join(w["outdir"], marked), picture)
        thumb = os.path.join(THUMBS, os.path.splitext(os.path.basename(marked))[0] + ".jpg")
        write_picture(os.path.join(w["outdir"], thumb), thumbnail(picture, record["defects"]),
                       (cv2.IMWRITE_JPEG_QUALITY, 90))
        record["marked"], record["thumb"] = marked, thumb
    if w["verbose"]:
        record["library_output"] = lines
    record["seconds"] = round(time.perf_counter() - started, 4)
    return record


# --- executors -------------------------------------------------------------------------

class LocalExecutor:
    """Worker processes on this machine. Started fresh (spawn), so they are
    safe beside the parent's threads and import what the parent imports
    (multiprocessing hands them the parent's sys.path)."""

    def __init__(self, workers, initargs):
        self.workers = workers
        self.initargs = initargs
        self.pool = None
        self.restart()

    def restart(self):
        if self.pool is not None:
            self.stop()
        self.pool = cf.ProcessPoolExecutor(self.workers, mp_context=multiprocessing.get_context("spawn"),
                                           initializer=_start_worker, initargs=self.initargs)

    def submit(self, fn, *args):
        # Workers start during submit. With Ctrl-C blocked meanwhile they
        # inherit it blocked, so a Ctrl-C at the terminal (which reaches the
        # whole process group) stops them only through the parent, even
        # while they are still starting.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            return self.pool.submit(fn, *args)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})

    def stop(self):
        """Drop queued work and end the workers now."""
        processes = list((getattr(self.pool, "_processes", None) or {}).values())
        self.pool.shutdown(wait=False, cancel_futures=True)
        for p in processes:
            if p.is_alive():
                p.terminate()
        for p in processes:
            p.join(5)

    def close(self):
        self.pool.shutdown(wait=True)


# --- progress --------------------------------------------------------------------------

class Progress:
    """A bar on a terminal; otherwise a plain line every few seconds."""

    def __init__(self, total, done, stream=None):
        self.stream = stream or sys.stderr
        self.total, self.done = total, done
        self.counts = {"pass": 0, "reject": 0, "error": 0}
        self.started = self.last = time.monotonic()
        self.bar = None
        if self.stream.isatty():
            from tqdm import tqdm
            self.bar = tqdm(total=total, initial=done, file=self.stream, unit="frame", dynamic_ncols=True,
                            desc="inspecting")

    def update(self, record):
        self.done += 1
        self.counts[record["status"]] += 1
        if self.bar is not None:
            self.bar.set_postfix_str("%d rejected, %d not inspected" % (self.counts["reject"], self.counts["error"]),
                                     refresh=False)
            self.bar.update(1)
        elif time.monotonic() - self.last >= PLAIN_PROGRESS_SECONDS:
            self.line()

    def line(self):
        self.last = time.monotonic()
        rate = sum(self.counts.values()) / max(1e-9, self.last - self.started)
        print("qel-inspect: %d/%d frames, %d rejected, %d not inspected, %.1f frames/s"
              % (self.done, self.total, self.counts["reject"], self.counts["error"], rate),
              file=self.stream, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()


# --- results ---------------------------------------------------------------------------

def read_records(outdir, repair=False):
    """The records of results.jsonl. A last line cut short by a crash is
    dropped (and, with `repair`, cut off the file so appending stays sound)."""
    path = os.path.join(outdir, RESULTS)
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    end = data.rfind(b"\n") + 1
    if repair and end < len(data):
        with open(path, "r+b") as f:
            f.truncate(end)
    records = []
    for line in data[:end].splitlines():
        if line.strip():
            records.append(json.loads(line))
    return records


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


def run(recipe, frames, outdir, workers=None, resume=False, verbose=False, progress_stream=None):
    """Inspect `frames` (from expand_targets) into `outdir`. Returns
    (records, stopped): every record of the folder, and whether the run was
    stopped before the end."""
    settings = recipe.settings()
    earlier = prepare_outdir(outdir, settings, resume)
    done_keys = {r["key"] for r in earlier}
    todo = [f for f in frames if f.key not in done_keys]
    write_run(outdir, settings, recipe.path, len(frames), True)
    workers = max(1, min(workers or os.cpu_count() or 1, len(todo) or 1))
    progress = Progress(len(frames), len(frames) - len(todo), progress_stream)
    scratch_root = tempfile.mkdtemp(prefix="qel-inspect-")
    stopped = False
    try:
        with _Stop() as stop, open(os.path.join(outdir, RESULTS), "a", encoding="utf-8") as results:
            def keep(record):
                # Results first: the line is on disk before anything else happens.
                results.write(json.dumps(record, ensure_ascii=False) + "\n")
                results.flush()
                progress.update(record)

            stopped = _loop(todo, LocalExecutor(workers, (scratch_root, settings, os.path.abspath(outdir), verbose)),
                            workers, keep, stop)
    except KeyboardInterrupt:
        stopped = True
    finally:
        progress.close()
        shutil.rmtree(scratch_root, ignore_errors=True)
    records = latest(read_records(outdir))
    write_run(outdir, settings, recipe.path, len(frames), stopped)
    write_csv(outdir, records)
    return records, stopped


def _loop(todo, executor, workers, keep, stop):
    """Submit and collect until done or stopped; True when stopped.

    A worker that dies takes the frames it had in flight with it. Those are
    tried again one at a time, alone, so a frame that kills its worker is
    found and recorded as an error while the others get their verdicts."""
    queue = list(reversed(todo))       # pop() gives the next frame
    suspects = []                      # in flight when a worker died
    solo = None                        # a suspect running alone
    running = {}                       # future -> frame
    finished_cleanly = False
    try:
        while queue or suspects or running:
            if stop.asked:
                return True
            try:
                if solo is None and suspects:
                    solo = suspects.pop()
                    running[executor.submit(inspect_frame, solo.key, solo.shown, solo.marked)] = solo
                while solo is None and not suspects and queue and len(running) < 2 * workers:
                    frame = queue[-1]
                    running[executor.submit(inspect_frame, frame.key, frame.shown, frame.marked)] = frame
                    queue.pop()
            except BrokenProcessPool:
                if not running:
                    executor.restart()
                # Otherwise the futures in flight say so too; handled below.
            finished, _ = cf.wait(running, timeout=0.25, return_when=cf.FIRST_COMPLETED)
            lost = []
            for fut in finished:
                frame = running.pop(fut)
                try:
                    record = fut.result()
                except BrokenProcessPool:
                    lost.append(frame)
                    continue
                if frame is solo:
                    solo = None
                keep(record)
            if lost:
                lost += list(running.values())
                running.clear()
                executor.restart()
                if solo is not None:
                    keep({"key": solo.key, "frame": solo.shown, "status": "error",
                          "reason": "the worker process died inspecting this frame", "defects": []})
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

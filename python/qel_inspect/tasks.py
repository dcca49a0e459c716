"""The work a worker does, the same in a local worker process and on a
cluster worker: a job (the recipe's settings and its standard's file bytes),
prepared once per process, and two tasks on one frame each: `inspect` (the
record of `qel-inspect run`) and `sweep` (the frame aligned once and judged
under every setting of a grid, the records of `qel-inspect tune`).

A task takes the frame's file bytes (or reads its path when given none) and
returns pictures as encoded bytes for the caller to write, so it needs
nothing of the caller's file system. The pipeline calls none of the
library's file-writing functions, so a task writes nothing into the working
directory either, whichever thread runs it.
"""
import collections
import hashlib
import json
import os
import signal
import tempfile
import threading
import time
from dataclasses import dataclass

import cv2
import numpy as np

from . import pipeline
from .recipe import Recipe

MARKED = "marked"
THUMBS = os.path.join(MARKED, "thumbs")
BOXES_KEPT = 10     # defect boxes a sweep record keeps (a loose setting may find hundreds)


@dataclass(frozen=True)
class Job:
    settings: dict      # Recipe.settings(), the standard's path as the caller has it
    standard: bytes     # the standard's file
    verbose: bool
    digest: str         # names the job on a worker


def make_job(recipe, verbose=False):
    with open(recipe.standard, "rb") as f:
        data = f.read()
    settings = recipe.settings()
    digest = hashlib.sha256(json.dumps([settings, verbose], sort_keys=True).encode() + b"\0" + data).hexdigest()
    return Job(settings, data, verbose, digest)


# --- the worker's side ---------------------------------------------------------------

_jobs = {}                                # digest -> [Job, how many deliveries hold it]
_prepared = collections.OrderedDict()     # digest -> (Recipe, Standard)
_lock = threading.Lock()
KEEP_PREPARED = 4                         # standards kept by a long-lived worker


def remember(job):
    """Keep a job delivered to this worker, for the tasks that name it.
    Two batches with the same recipe may share a cluster: the job stays
    until both have let it go."""
    with _lock:
        held = _jobs.setdefault(job.digest, [job, 0])
        held[1] += 1


def forget(digest):
    with _lock:
        held = _jobs.get(digest)
        if held is not None:
            held[1] -= 1
            if held[1] <= 0:
                del _jobs[digest]
                _prepared.pop(digest, None)


def prepared(ref):
    """(recipe, standard, job) of a job given itself or by its digest,
    prepared once per process; threads asking at once wait for the first."""
    with _lock:
        job = ref if isinstance(ref, Job) else _jobs.get(ref, (None,))[0]
        if job is None:
            raise LookupError("this worker was not given the recipe (job %s)" % ref)
        hit = _prepared.get(job.digest)
        if hit is None:
            recipe = Recipe(**job.settings)
            image = pipeline.decode_frame(job.standard)
            hit = (recipe, pipeline.prepare_standard(image, recipe.aoi, recipe.polarity, recipe.bars))
            while len(_prepared) >= KEEP_PREPARED:
                _prepared.popitem(last=False)
            _prepared[job.digest] = hit
        _prepared.move_to_end(job.digest)
        return hit + (job,)


def settle_allocator():
    """Let the C heap recycle a frame's big arrays. glibc gives every block
    above its mmap threshold (128 KiB in a new process) a fresh mapping, so
    each of the hundreds of image-sized temporaries a frame needs pays page
    faults; freeing one large mapped block raises the threshold to its size,
    and from then on those arrays come from the heap. A new worker would
    otherwise run about half as fast as a process that happened to do this."""
    block = np.empty(16 << 20, np.uint8)
    del block


def start_local_worker(scratch_root, job):
    """Runs once in each local worker process: ignore Ctrl-C (the parent
    stops the workers), work in a private scratch directory (belt and braces:
    nothing should be written there), take the job and prepare it."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    settle_allocator()
    os.chdir(tempfile.mkdtemp(prefix="worker-", dir=scratch_root))
    remember(job)
    _jobs[None] = _jobs[job.digest]       # the tasks of a local pool name no job
    prepared(job.digest)


def _frame(key, data):
    """The frame from its bytes, from its file when given none, or the
    reason the caller could not read it (a text)."""
    if isinstance(data, str):
        raise pipeline.InspectionError(data)
    return pipeline.decode_frame(data) if data is not None else pipeline.read_frame(key)


def _internal(e):
    first = str(e).splitlines()[0] if str(e) else ""
    return "internal error: %s: %s" % (type(e).__name__, first)


# --- pictures ------------------------------------------------------------------------

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


def encode(path, image, params=()):
    ok, data = cv2.imencode(os.path.splitext(path)[1], image, list(params))
    if not ok:
        raise OSError("cannot encode %s" % path)
    return data.tobytes()


def marked_pictures(frame, defects, marked, around=None):
    """The marked picture and its thumbnail (around the defects, or the
    boxes `around`), as {path relative to the output folder: encoded
    bytes}."""
    picture = pipeline.marked_picture(frame, defects)
    thumb = os.path.join(THUMBS, os.path.splitext(os.path.basename(marked))[0] + ".jpg")
    return {marked: encode(marked, picture),
            thumb: encode(thumb, thumbnail(picture, around or defects), (cv2.IMWRITE_JPEG_QUALITY, 90))}


# --- the tasks -----------------------------------------------------------------------

def inspect(ref, key, shown, marked, data=None):
    """One frame under the recipe: (record for results.jsonl, pictures)."""
    recipe, standard, job = prepared(ref)
    started = time.perf_counter()
    record = {"key": key, "frame": shown}
    pictures = {}
    try:
        frame = _frame(key, data)
        out = pipeline.inspect(standard, frame, recipe.max_shift, recipe.threshold, recipe.dirty_width,
                               recipe.min_match_score)
        if out["status"] == "reject":
            pictures = marked_pictures(frame, out["defects"], marked)
    except pipeline.InspectionError as e:
        out = {"status": "error", "reason": str(e), "defects": []}
    except Exception as e:  # noqa: BLE001 - one bad frame must not stop the batch
        out = {"status": "error", "reason": _internal(e), "defects": []}
    lines = out.pop("lines", [])
    record.update(out)
    record.setdefault("tilt_standard", pipeline.rounded(standard.tilt))
    if pictures:
        record["marked"], record["thumb"] = pictures.keys()
    if job.verbose:
        record["library_output"] = lines
    record["seconds"] = round(time.perf_counter() - started, 4)
    return record, pictures


def sweep(ref, key, shown, label, settings, data=None):
    """One frame aligned once and judged under every (threshold, max_shift,
    dirty_width) of `settings`: one record per setting, in that order, each
    with the verdict `run` would give under it (status, reason, how many
    defects, the largest, the first boxes in the frame)."""
    recipe, standard, _ = prepared(ref)
    started = time.perf_counter()
    base = {"key": key, "frame": shown, "label": label}
    try:
        aligned = pipeline.align(standard, _frame(key, data), recipe.min_match_score)
    except Exception as e:  # noqa: BLE001 - alignment failed the same way under every setting
        reason = str(e) if isinstance(e, pipeline.InspectionError) else _internal(e)
        score = e.values.get("match_score") if isinstance(e, pipeline.InspectionError) else None
        out = [dict(base, threshold=t, max_shift=s, dirty_width=d, status="error", reason=reason, defects=0,
                    match_score=None if score is None else pipeline.rounded(score, 4)) for t, s, d in settings]
        out[0]["seconds"] = round(time.perf_counter() - started, 4)
        return out
    score = pipeline.rounded(aligned.score, 4)
    out = [None] * len(settings)
    # By dirty_width, so each comparator serves a run of settings.
    for i in sorted(range(len(settings)), key=lambda i: (settings[i][2], settings[i][1], settings[i][0])):
        t, s, d = settings[i]
        record = dict(base, threshold=t, max_shift=s, dirty_width=d, match_score=score)
        try:
            defects = pipeline.judge(aligned, s, t, d)
        except Exception as e:  # noqa: BLE001
            record.update(status="error", reason=_internal(e), defects=0)
        else:
            record.update(status="reject" if defects else "pass", defects=len(defects))
            if defects:
                record["largest"] = max(x["size"] for x in defects)
                record["boxes"] = [[x["kind"]] + x["box_frame"] for x in defects[:BOXES_KEPT]]
        out[i] = record
    out[0]["seconds"] = round(time.perf_counter() - started, 4)
    return out

"""The work a worker does, the same in the caller's process, a local worker
process and a cluster worker: a job (the recipe's settings and its
standard's file bytes), prepared once per process, and two kinds of task
on one frame each: `inspect` (the record of `qel-inspect run`) and `sweep`
(the frame aligned once and judged under every setting of a grid, the
lines of `qel-inspect tune`).

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

import numpy as np

from . import images, pipeline, recipe as recipes, timing
from .errors import internal_error
from .pictures import found_pictures, marked_pictures
from .records import Record
from .status import Status

BOXES_KEPT = 10     # defect boxes a sweep line keeps (a loose setting may find hundreds)


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


@dataclass
class Prepared:
    recipe: recipes.Recipe
    standard: pipeline.Standard
    checks: list        # callables: aligned frame -> Findings
    job: Job
    max_pixels: int     # a frame whose header declares more is refused before it is decoded


# --- the worker's side ---------------------------------------------------------------

_jobs = {}                                # digest -> [Job, how many deliveries hold it]
_prepared = collections.OrderedDict()     # digest -> Prepared
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
    """The Prepared job given itself or by its digest, prepared once per
    process; threads asking at once wait for the first."""
    with _lock:
        job = ref if isinstance(ref, Job) else _jobs.get(ref, (None,))[0]
        if job is None:
            raise LookupError("this worker was not given the recipe (job %s)" % ref)
        hit = _prepared.get(job.digest)
        if hit is None:
            recipe = recipes.parse(job.settings)
            image = pipeline.decode_frame(job.standard)
            standard = recipes.prepare(recipe, image)
            checks = [_bound(module, settings) for module, settings in recipe.check_runs()]
            limit = images.frame_limit(recipe.max_frame_pixels, image.shape, recipe.label is not None)
            hit = Prepared(recipe, standard, checks, job, limit)
            while len(_prepared) >= KEEP_PREPARED:
                _prepared.popitem(last=False)
            _prepared[job.digest] = hit
        _prepared.move_to_end(job.digest)
        return hit


def _bound(module, settings):
    """A check's entry point with its settings: aligned frame -> Findings,
    timed as the step named after it."""
    name = module.NAME

    def check(aligned):
        with timing.step(name):
            return module.run(aligned, settings)
    return check


def settle_allocator():
    """Let the C heap recycle a frame's big arrays. glibc gives every block
    above its mmap threshold (128 KiB in a new process) a fresh mapping, so
    each of the hundreds of image-sized temporaries a frame needs pays page
    faults; freeing one large mapped block raises the threshold to its size,
    and from then on those arrays come from the heap. A new worker would
    otherwise run about half as fast as a process that happened to do this."""
    block = np.empty(16 << 20, np.uint8)
    del block


def one_core():
    """OpenCV's calls in this process on one thread: there is a worker
    process per core, and a call split over every core would have the
    workers' threads wait on one another (the split threads also spin a
    while after each call, burning time another worker needs). Results do
    not depend on it: every call computes the same pixels either way."""
    import cv2

    cv2.setNumThreads(1)


def start_local_worker(scratch_root, job):
    """Runs once in each local worker process: ignore Ctrl-C (the parent
    stops the workers), work in a private scratch directory (belt and braces:
    nothing should be written there), take the job and prepare it."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    settle_allocator()
    one_core()
    os.chdir(tempfile.mkdtemp(prefix="worker-", dir=scratch_root))
    remember(job)
    _jobs[None] = _jobs[job.digest]       # the tasks of a local pool name no job
    prepared(job.digest)


def _frame(key, data, max_pixels):
    """The frame from its bytes, from its file when given none, or the
    reason the caller could not read it (a text)."""
    if isinstance(data, str):
        raise pipeline.InspectionError(data)
    return pipeline.decode_frame(data, max_pixels) if data is not None else pipeline.read_frame(key, max_pixels)


# --- the tasks -----------------------------------------------------------------------

def inspect(ref, key, shown, marked, data=None):
    """One frame under the recipe: (Record, pictures)."""
    job = prepared(ref)
    started = time.perf_counter()
    pictures = {}
    with timing.collecting() as spent:
        try:
            with timing.step("decode"):
                frame = _frame(key, data, job.max_pixels)
            record = pipeline.inspect_frame(job.standard, frame, job.checks, job.recipe.min_match_score)
            with timing.step("pictures"):
                if record.status == Status.REJECT:
                    pictures = marked_pictures(frame, record.defects, marked)
                elif record.status == Status.ERROR:
                    pictures = found_pictures(frame, record.found, record.reason, marked)
        except pipeline.InspectionError as e:
            record = Record(key, shown, Status.ERROR, str(e))
        except Exception as e:  # noqa: BLE001 - one bad frame must not stop the batch
            record = Record(key, shown, Status.ERROR, internal_error(e))
    record.key, record.frame = key, shown
    if record.tilt_standard is None:
        record.tilt_standard = pipeline.rounded(job.standard.tilt)
    if pictures:
        record.marked, record.thumb = pictures.keys()
    record.library_output = (record.library_output or []) if job.job.verbose else None
    record.timings = timing.milliseconds(spent) if job.job.verbose else None
    record.seconds = round(time.perf_counter() - started, 4)
    return record, pictures


def sweep(ref, key, shown, label, settings, data=None):
    """One frame aligned once and judged under every (threshold, max_shift,
    dirty_width) of `settings`: one line per setting, in that order, each
    with the verdict `run` would give under it (status, reason, how many
    defects, the largest, the first boxes in the frame)."""
    job = prepared(ref)
    started = time.perf_counter()
    base = {"key": key, "frame": shown, "label": label}
    try:
        aligned = pipeline.align(job.standard, _frame(key, data, job.max_pixels), job.recipe.min_match_score)
    except Exception as e:  # noqa: BLE001 - alignment failed the same way under every setting
        reason = str(e) if isinstance(e, pipeline.InspectionError) else internal_error(e)
        score = e.values.get("match_score") if isinstance(e, pipeline.InspectionError) else None
        out = [dict(base, threshold=t, max_shift=s, dirty_width=d, status=Status.ERROR.value, reason=reason,
                    defects=0, match_score=None if score is None else pipeline.rounded(score, 4))
               for t, s, d in settings]
        out[0]["seconds"] = round(time.perf_counter() - started, 4)
        return out
    score = pipeline.rounded(aligned.score, 4)
    out = [None] * len(settings)
    # By dirty_width, so each comparator serves a run of settings.
    for i in sorted(range(len(settings)), key=lambda i: (settings[i][2], settings[i][1], settings[i][0])):
        t, s, d = settings[i]
        line = dict(base, threshold=t, max_shift=s, dirty_width=d, match_score=score)
        try:
            defects = pipeline.judge(aligned, s, t, d)
        except Exception as e:  # noqa: BLE001
            line.update(status=Status.ERROR.value, reason=internal_error(e), defects=0)
        else:
            line.update(status=(Status.REJECT if defects else Status.PASS).value, defects=len(defects))
            if defects:
                line["largest"] = max(x.size for x in defects)
                line["boxes"] = [[x.kind] + x.box_frame for x in defects[:BOXES_KEPT]]
        out[i] = line
    out[0]["seconds"] = round(time.perf_counter() - started, 4)
    return out

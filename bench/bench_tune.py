#!/usr/bin/python3
"""Time `qel-inspect tune` on a labelled batch of generated line-camera
frames against a plain loop of shift_compare_barcode calls over (frame,
setting) pairs of the same batch and grid, in the same run.

The frames are dark-on-light 1280 x 1024 labels (examples/make_frames.py),
good and defective; the recipe is the one `qel-inspect recipe` proposes
for their standard, and the grid the one tune derives from it. The tuning
is timed whole, as the command runs it: start-up of the worker processes,
every frame aligned once and judged under every setting, the summary, the
pictures of the misjudged frames and the tuning page. The plain loop calls
shift_compare_barcode once per (frame, setting) pair, as a hand-written
sweep would, on inverted images (the library takes the bars to be the
bright regions) with decoding and inverting included; it runs on a random
sample of the pairs in a fresh process prepared as the station's workers
are, and is extrapolated to the whole sweep.

    /usr/bin/python3 bench/bench_tune.py [--frames 200] [--sample 100] [--workers 2] [--keep DIR]
"""
import argparse
import concurrent.futures as cf
import contextlib
import io
import json
import multiprocessing
import os
import shutil
import sys
import tempfile
import time

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for sub in ("python", "build"):
    if os.path.isdir(os.path.join(ROOT, sub)):
        sys.path.insert(0, os.path.join(ROOT, sub))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import qel_cv  # noqa: E402
from make_frames import random_batch  # noqa: E402
from qel_inspect import propose, recipe, report, sources, tasks, tune  # noqa: E402


def bare_loop(std_path, pairs, aoi):
    """shift_compare_barcode on each (frame path, (threshold, max_shift,
    dirty_width)) pair, in a scratch directory with its lines captured.
    Returns seconds."""
    here = os.getcwd()
    std = 255 - cv2.imread(std_path, cv2.IMREAD_GRAYSCALE)
    with tempfile.TemporaryDirectory() as scratch, contextlib.redirect_stdout(io.StringIO()):
        os.chdir(scratch)
        try:
            started = time.perf_counter()
            for path, (threshold, max_shift, dirty_width) in pairs:
                frame = 255 - cv2.imread(path, cv2.IMREAD_GRAYSCALE)
                qel_cv.shift_compare_barcode(std, frame, aoi, max_shift, threshold, dirty_width)
            return time.perf_counter() - started
        finally:
            os.chdir(here)


def tuning(rec, standard, frames, labels, grid, outdir, workers):
    """The tune command's work, start-up included. Returns (seconds, summary)."""
    started = time.perf_counter()
    records, stopped = tune.sweep(rec, frames, labels, grid, outdir, workers, progress_stream=io.StringIO())
    assert not stopped
    summary = tune.summarise(records, labels, grid, (rec.threshold, rec.max_shift, rec.dirty_width))
    misjudged = tune.misjudged(summary, rec, standard, frames, outdir)
    with open(os.path.join(outdir, tune.TUNE), encoding="utf-8") as f:
        header = json.load(f)
    report.write_tuning(outdir, summary, header, misjudged,
                        tune.margin_words(summary) if summary.chosen is not None else "", "", tune.grid_words(grid))
    return time.perf_counter() - started, summary


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--sample", type=int, default=100, help="(frame, setting) pairs timed in the plain loop")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--keep", help="write the frames here and keep them")
    args = parser.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="bench-tune-")
    try:
        defective = args.frames // 4
        truth = random_batch(folder, 41, args.frames - defective, defective, (1280, 1024), 7, "40171234",
                             "dark-bars", 800, 3.0, 12)
        std_path = os.path.join(folder, "standard.png")
        image = cv2.imread(std_path, cv2.IMREAD_GRAYSCALE)
        settings = propose.propose(image, std_path).settings
        rec = recipe.Recipe(std_path, tuple(settings["aoi"]), settings["polarity"], settings["max_shift"],
                            settings["threshold"], settings["dirty_width"], settings["min_match_score"],
                            {k: tuple(v) for k, v in settings["bars"].items()})
        standard = recipe.prepare(rec, image)
        grid, module, contrast = tune.default_grid(rec, standard)
        frames = list(sources.open_source([os.path.join(folder, "frames")], os.path.join(folder, "out")))
        labels = {f.key: "good" if truth["frames"][os.path.basename(f.key)]["expect"] == "pass" else "bad"
                  for f in frames}
        count = len(tune.settings_of(grid))

        seconds, summary = tuning(rec, standard, frames, labels, grid, os.path.join(folder, "out"), args.workers)

        rng = np.random.default_rng(3)
        every = tune.settings_of(grid)
        pairs = [(frames[int(rng.integers(len(frames)))].key, every[int(rng.integers(count))])
                 for _ in range(args.sample)]
        with cf.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn"),
                                    initializer=tasks.settle_allocator) as fresh:
            bare = fresh.submit(bare_loop, std_path, pairs, rec.aoi).result()
        per_pair = bare / len(pairs)
        whole = per_pair * len(frames) * count

        print("%d dark-on-light frames 1280x1024 (%d good, %d defective), module %.1f px, contrast %.0f"
              % (len(frames), args.frames - defective, defective, module or 0, contrast or 0))
        print("grid: %d settings (%s)" % (count, tune.grid_words(grid)))
        if summary.chosen is not None:
            row = summary.rows[summary.chosen]
            print("chosen: %s, %d false rejects, 0 false accepts" % (tune.named(row.setting), len(row.false_rejects)))
        else:
            print("no setting without false accepts")
        print("%-58s %10s" % ("", "seconds"))
        print("%-58s %10.1f" % ("tune, %d worker processes, wall (start-up and page incl.)" % args.workers, seconds))
        print("%-58s %10.1f" % ("plain shift_compare_barcode loop, %d pairs timed" % len(pairs), bare))
        print("%-58s %10.1f" % ("plain loop extrapolated to %d x %d pairs (1 thread)" % (len(frames), count), whole))
        print("%-58s %10.1f" % ("the same split evenly over %d processes" % args.workers, whole / args.workers))
        print("plain loop / tune: %.1fx on one core, %.1fx split over %d (per pair: %.1f ms plain, %.2f ms tune wall)"
              % (whole / seconds, whole / args.workers / seconds, args.workers, 1e3 * per_pair,
                 1e3 * seconds / (len(frames) * count)))
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Time the inspection station on a batch of generated knock-out frames
against a bare shift_compare_barcode loop over the same frames in the same
run, and print the ratios.

Knock-out frames, the library's default bands and the same area and
settings on both sides, so the bare call works on every frame; both sides
decode every frame from its file. The bare loop runs in a fresh process
prepared as the station's workers are (the C heap settled, see
tasks.settle_allocator), so neither side gains from the other's process
history. The station is timed through its batch runner with 1 and 2 worker
processes (start-up included), and by the time its workers spent on each
frame.

    /usr/bin/python3 bench/bench_station.py [--frames N] [--rounds N] [--keep DIR]
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

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for sub in ("python", "build"):
    if os.path.isdir(os.path.join(ROOT, sub)):
        sys.path.insert(0, os.path.join(ROOT, sub))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import qel_cv  # noqa: E402
from make_frames import random_batch  # noqa: E402
from qel_inspect import propose, recipe, report, run, sources, tasks  # noqa: E402
from qel_inspect.records import counts  # noqa: E402
from qel_inspect.status import Status  # noqa: E402


def bare_loop(std, paths, aoi, params):
    """shift_compare_barcode on every frame, as a host program would call it:
    in a scratch directory, its printed lines captured. Returns seconds."""
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch, contextlib.redirect_stdout(io.StringIO()):
        os.chdir(scratch)
        try:
            started = time.perf_counter()
            for p in paths:
                qel_cv.shift_compare_barcode(std, cv2.imread(p, cv2.IMREAD_GRAYSCALE), aoi, *params)
            return time.perf_counter() - started
        finally:
            os.chdir(here)


def station(rec, frames, outdir, workers):
    """The batch runner, start-up included. Returns (seconds, records)."""
    started = time.perf_counter()
    records, stopped = run.run(rec, frames, outdir, workers, progress_stream=io.StringIO())
    seconds = time.perf_counter() - started
    assert not stopped and len(records) == len(frames)
    return seconds, records


def labels(count, rounds):
    """Labels on a belt (1280 x 1024, anywhere, any way up, a dimming lamp):
    per frame, the time to find the label and bring it into label space
    under the standard's light, against the whole frame's time as a worker
    spends it (decode, inspection, the marked pictures of a reject), in
    one process."""
    from make_frames import label_batch

    from qel_inspect import pipeline

    folder = tempfile.mkdtemp(prefix="bench-labels-")
    try:
        label_batch(folder, seed=5, good=count - count // 4, defective=count // 4, empty=0)
        with contextlib.redirect_stdout(io.StringIO()):
            from qel_inspect import cli
            cli.main(["recipe", os.path.join(folder, "standard.png"), "-o", os.path.join(folder, "recipe.toml")])
        rec, image = recipe.load(os.path.join(folder, "recipe.toml"))
        standard = recipe.prepare(rec, image)
        checks = [lambda a, m=m, st=st: m.run(a, st) for m, st in rec.check_runs()]
        from qel_inspect.pictures import marked_pictures

        files = []
        for f in sorted(os.listdir(os.path.join(folder, "frames"))):
            with open(os.path.join(folder, "frames", f), "rb") as data:
                files.append(data.read())
        placing, whole = [], []
        for _ in range(rounds):
            for data in files:
                started = time.perf_counter()
                frame = pipeline.decode_frame(data)
                record = pipeline.inspect_frame(standard, frame, checks, rec.min_match_score)
                if record.defects:
                    marked_pictures(frame, record.defects, "marked/f.png")
                done = time.perf_counter()
                standard.label.place(frame, rec.min_match_score)
                placing.append(time.perf_counter() - done)
                whole.append(done - started)
        placing, whole = sorted(placing), sorted(whole)
        median = lambda v: v[len(v) // 2]    # noqa: E731
        print("%d labels 1280x1024 (%d rounds): finding the label, warping it and normalising its light %.1f ms "
              "(median) of %.1f ms for the whole frame (decode, inspection, pictures): %.0f %%"
              % (len(files), rounds, 1e3 * median(placing), 1e3 * median(whole),
                 100.0 * sum(placing) / sum(whole)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=120)
    parser.add_argument("--rounds", type=int, default=3, help="each figure is the best of this many runs")
    parser.add_argument("--keep", help="write the frames here and keep them")
    parser.add_argument("--labels", type=int, metavar="N",
                        help="instead: N labels on a belt, the share of a frame's time that finding the label and "
                             "normalising its light take")
    args = parser.parse_args()
    if args.labels:
        return labels(args.labels, args.rounds)
    folder = args.keep or tempfile.mkdtemp(prefix="bench-station-")
    try:
        defective = args.frames // 5
        random_batch(folder, 31, args.frames - defective, defective, (640, 512), 4, "27182818", "knock-out",
                     400, 3.0, 12)
        std_path = os.path.join(folder, "standard.png")
        std = cv2.imread(std_path, cv2.IMREAD_GRAYSCALE)
        settings = propose.propose(std, std_path).settings
        rec = recipe.Recipe(std_path, tuple(settings["aoi"]), "light-bars", settings["max_shift"],
                            settings["threshold"], settings["dirty_width"], 0.0)  # the library's bands
        params = (rec.max_shift, rec.threshold, rec.dirty_width)
        frames = sources.open_source([os.path.join(folder, "frames")], os.path.join(folder, "out"))
        paths = [f.key for f in frames]
        n = len(paths)

        # Rounds alternate the two sides, and each figure is the best of its
        # rounds, so a burst of other work on the machine hits neither alone.
        bare, one, two, in_worker = [], [], [], []
        for i in range(args.rounds):
            with cf.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn"),
                                        initializer=tasks.settle_allocator) as fresh:
                bare.append(fresh.submit(bare_loop, std, paths, rec.aoi, params).result())
            seconds, records = station(rec, frames, os.path.join(folder, "out1"), 1)
            one.append(seconds)
            in_worker.append(sum(r.seconds for r in records))
            two.append(station(rec, frames, os.path.join(folder, "out2"), 2)[0])
        bare, one, two, in_worker = min(bare), min(one), min(two), min(in_worker)
        started = time.perf_counter()
        report.write(os.path.join(folder, "out1"))
        report_seconds = time.perf_counter() - started

        verdicts = counts(records)
        truth = json.load(open(os.path.join(folder, "truth.json")))["frames"]
        wrong = sum(r.status != truth[os.path.basename(r.key)]["expect"] for r in records)
        print("%d knock-out frames 640x512 (%d pass, %d reject, %d error; %d differ from the planted truth), "
              "aoi %s, max_shift %d, threshold %d, dirty_width %d"
              % (n, verdicts[Status.PASS], verdicts[Status.REJECT], verdicts[Status.ERROR], wrong, list(rec.aoi), *params))
        print("%-44s %9s %9s %8s" % ("", "ms/frame", "frames/s", "vs bare"))
        rows = [("bare shift_compare_barcode loop (1 thread)", bare),
                ("station, time in its worker (decode incl.)", in_worker),
                ("station, 1 worker, wall, start-up incl.", one),
                ("station, 2 workers, wall, start-up incl.", two)]
        for what, seconds in rows:
            print("%-44s %9.2f %9.1f %7.2fx" % (what, 1e3 * seconds / n, n / seconds, seconds / bare))
        print("2 workers vs 1 worker: %.2fx frames/s; report.html written in %.0f ms"
              % (one / two, 1e3 * report_seconds))
        print("(vs bare: station time / bare time; below 1 the station is faster, above 1.25 it costs over 25 %)")
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

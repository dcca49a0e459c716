#!/usr/bin/python3
"""A frame's time in the inspection station against the time to decode it,
measured in one run, and how the station scales with workers.

Labels on a belt (examples/make_frames.py label_batch: anywhere, any way
up, a lamp that dims; 1280 x 1024 and 2048 x 1024 JPEG) with a Code 128
symbol of 0.5 mm modules (the recipe the station proposes turns on every
check it has for them: compare, grade, widths, streaks) and of 0.375 mm
(the bundled labels' size: compare and streaks). Two in five frames are
defective (a gap, a blot, a bar too thick, a lot character missing, a
ribbon wrinkle).

Per frame, in one process prepared as a `--workers 1` worker is: the whole
task a worker does on it (tasks.inspect: decode, locate, light, align,
every check, the marked pictures of a reject), frame by frame, the sets
taking turns, so all meet the same load; then each set's JPEG decodes
alone, frame after frame as the station decodes them, each image kept
until the next is made (memory handed back before the next decode makes
it 3-4 times slower). Printed: each set's median decode, the station's median and
99th percentile per frame for good and defective frames and their ratios to
the decode, and where the time goes (median milliseconds a step, from the
records' `timings`). Then the frames a second of `qel-inspect run` with one
and two worker processes, start-up left out (the wall time of a long run
less that of a short one), and of two threads in one process against one.

    /usr/bin/python3 bench/bench_station.py [--frames N] [--rounds N] [--scale-rounds N] [--keep DIR]
    /usr/bin/python3 bench/bench_station.py --bare [--frames N] [--rounds N]   # against shift_compare_barcode
    /usr/bin/python3 bench/bench_station.py --check                           # every recorded verdict, 500 mixed frames
"""
import argparse
import concurrent.futures as cf
import contextlib
import io
import json
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for sub in ("python", "build"):
    if os.path.isdir(os.path.join(ROOT, sub)):
        sys.path.insert(0, os.path.join(ROOT, sub))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import qel_cv  # noqa: E402
from qel_inspect import pipeline, propose, recipe, report, run, sources, tasks  # noqa: E402
from qel_inspect.records import counts  # noqa: E402
from qel_inspect.status import Status  # noqa: E402

SETS = [((1280, 1024), 0.5), ((2048, 1024), 0.5), ((1280, 1024), 0.375), ((2048, 1024), 0.375)]


# --- the frame sets ------------------------------------------------------------------------

def make_set(folder, size, module, count, seed):
    """Frames, standard and proposed recipe of one set (reused when `folder` holds them)."""
    from make_frames import label_batch

    path = os.path.join(folder, "recipe.toml")
    if not os.path.exists(path):
        label_batch(folder, seed=seed, good=count - 2 * count // 5, defective=2 * count // 5, size=size,
                    module_mm=module, empty=0)
        from qel_inspect import cli
        with contextlib.redirect_stdout(io.StringIO()):
            cli.main(["recipe", os.path.join(folder, "standard.png"), "-o", path])
    rec, _ = recipe.load(path)
    truth = json.load(open(os.path.join(folder, "truth.json")))["frames"]
    frames = []
    for name in sorted(truth):
        with open(os.path.join(folder, "frames", name), "rb") as f:
            frames.append((name, f.read(), truth[name]["expect"]))
    return rec, frames


def marked(file):
    """The marked picture's name, as the station names it."""
    return os.path.join(sources.MARKED, os.path.splitext(file)[0] + ".png")


def percentile(values, q):
    return float(np.percentile(np.float64(values), q, method="higher"))


# --- one process: decode against the station's task ----------------------------------------

def per_frame(sets, rounds):
    """{set: {"decode": [s], "pass"/"reject": [s], "steps": {step: [ms]}, "wrong": n}}."""
    jobs = {name: tasks.make_job(rec, verbose=True) for name, (rec, _) in sets.items()}
    for job in jobs.values():
        tasks.prepared(job)
    out = {name: {"decode": [], "pass": [], "reject": [], "error": [], "steps": {}, "wrong": 0} for name in sets}
    for r in range(rounds + 1):
        for i in range(max(len(f) for _, f in sets.values())):
            for name, (_, frames) in sets.items():
                if i >= len(frames):
                    continue
                file, data, expect = frames[i]
                started = time.perf_counter()
                record, _ = tasks.inspect(jobs[name], file, file, marked(file), data)
                done = time.perf_counter()
                if r == 0:
                    continue                # the first round warms up
                got = out[name]
                got[record.status.value].append(done - started)
                got["wrong"] += record.status.value != expect
                steps = got["steps"].setdefault(record.status.value, {})
                for step, ms in (record.timings or {}).items():
                    steps.setdefault(step, []).append(ms)
    for name, (_, frames) in sets.items():
        out[name]["decode"] = decodes(frames, rounds)
    return out


def decodes(frames, rounds):
    """Seconds a decode of each frame, frame after frame, each result kept
    until the next is made (as a camera loop reuses its buffers: memory
    handed back before the next decode makes it 3-4 times slower)."""
    image = None
    spent = []
    for r in range(rounds + 1):
        for _, data, _ in frames:
            started = time.perf_counter()
            image = pipeline.decode_frame(data)
            if r:
                spent.append(time.perf_counter() - started)
    del image
    return spent


def print_per_frame(sets, got, rounds):
    print("Per frame in one process (a --workers 1 worker's task, pictures of rejects included), %d rounds:"
          % rounds)
    for name, (rec, _) in sets.items():
        print("  %s: checks %s" % (name, ", ".join(rec.checks)))
    print("%-18s %8s | %-33s | %-33s" % ("", "decode", "good: median, p99 (x decode)", "defective: median, p99 (x decode)"))
    for name, (rec, frames) in sets.items():
        g = got[name]
        decode = float(np.median(g["decode"]))
        cells = []
        for status in ("pass", "reject"):
            v = g[status]
            if not v:
                cells.append("%-33s" % "-")
                continue
            med, p99 = float(np.median(v)), percentile(v, 99)
            cells.append("%5.1f ms, %5.1f ms (%4.1fx, %4.1fx)" % (1e3 * med, 1e3 * p99, med / decode, p99 / decode))
        print("%-18s %5.2f ms | %s | %s" % (name, 1e3 * decode, *cells))
        if g["error"] or g["wrong"]:
            print("%18s %d frames not inspected, %d verdicts other than planted" % ("", len(g["error"]) // rounds,
                                                                               g["wrong"] // rounds))
    print("Target: station median at most 3x the decode, p99 at most 5x.")
    print("Where the time goes (median ms a step):")
    steps = []
    for g in got.values():
        for by_status in g["steps"].values():
            steps += [s for s in by_status if s not in steps]
    print("%-28s %s" % ("", " ".join("%8s" % s[:8] for s in steps)))
    for name, g in got.items():
        for status, shown in (("pass", "good"), ("reject", "defective")):
            by_step = g["steps"].get(status, {})
            line = ["%8.2f" % float(np.median(by_step[s])) if by_step.get(s) else "%8s" % "-" for s in steps]
            print("%-28s %s" % ("%s %s" % (name, shown), " ".join(line)))


# --- worker processes and threads ----------------------------------------------------------

def linked(folder, frames_dir, copies):
    """A folder of `copies` links to each frame (a long run without making more frames)."""
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    names = sorted(os.listdir(frames_dir))
    for k in range(copies):
        for n in names:
            os.link(os.path.join(frames_dir, n), os.path.join(folder, "c%02d_%s" % (k, n)))
    return folder


def run_seconds(rec, folder, outdir, workers):
    shutil.rmtree(outdir, ignore_errors=True)
    source = sources.open_source([folder], outdir)
    started = time.perf_counter()
    records, stopped = run.run(rec, source, outdir, workers, progress_stream=io.StringIO())
    assert not stopped and len(records) == source.total
    return time.perf_counter() - started, len(records)


def scaling(rec, frames_dir, top, rounds, copies):
    """Frames a second beyond start-up with 1 and 2 workers: the wall time of
    a long run less that of a short one (the same start-up), per frame."""
    long_ = linked(os.path.join(top, "long"), frames_dir, copies)
    short = linked(os.path.join(top, "short"), frames_dir, 1)
    rates = {1: [], 2: []}
    for _ in range(rounds):
        for w in (1, 2):
            t_long, n_long = run_seconds(rec, long_, os.path.join(top, "out-long"), w)
            t_short, n_short = run_seconds(rec, short, os.path.join(top, "out-short"), w)
            rates[w].append((n_long - n_short) / max(t_long - t_short, 1e-6))
    return rates


def threads(rec, frames, rounds):
    """Frames a second of one thread and of two threads of one process."""
    job = tasks.make_job(rec)
    tasks.prepared(job)

    def work(part):
        for file, data, _ in part:
            tasks.inspect(job, file, file, marked(file), data)

    out = {1: [], 2: []}
    work(frames[:4])
    for _ in range(rounds):
        started = time.perf_counter()
        work(frames)
        out[1].append(len(frames) / (time.perf_counter() - started))
        started = time.perf_counter()
        pair = [threading.Thread(target=work, args=(frames[k::2],)) for k in range(2)]
        for t in pair:
            t.start()
        for t in pair:
            t.join()
        out[2].append(len(frames) / (time.perf_counter() - started))
    return out


def spread(values):
    if len(values) == 1:
        return "%.2f" % values[0]
    return "%.2f (%.2f-%.2f)" % (float(np.median(values)), min(values), max(values))


def main_station(args):
    top = args.keep or tempfile.mkdtemp(prefix="bench-station-")
    try:
        sets = {}
        for n, (size, module) in enumerate(SETS):
            name = "%dx%d %.3g mm" % (size[0], size[1], module)
            folder = os.path.join(top, "%dx%d-%g" % (size[0], size[1], module))
            sets[name] = make_set(folder, size, module, args.frames, 40 + n)
        tasks.settle_allocator()
        tasks.one_core()
        got = per_frame(sets, args.rounds)
        print_per_frame(sets, got, args.rounds)
        if args.scale_rounds < 1:
            return
        name = next(iter(sets))
        rec, frames = sets[name]
        folder = os.path.join(top, "%dx%d-%g" % (SETS[0][0][0], SETS[0][0][1], SETS[0][1]))
        rates = scaling(rec, os.path.join(folder, "frames"), os.path.join(top, "scaling"), args.scale_rounds,
                        args.copies)
        ratio = [b / a for a, b in zip(rates[1], rates[2])]
        print("qel-inspect run on %s, %d frames, start-up left out, median (range) of %d runs: 1 worker %s "
              "frames/s, 2 workers %s; 2 workers / 1: %s (target: at least 1.7)"
              % (name, args.copies * len(frames), args.scale_rounds, spread(rates[1]), spread(rates[2]),
                 spread(ratio)))
        both = threads(rec, frames, args.rounds)
        print("one process, %s: 1 thread %s frames/s, 2 threads %s: %s"
              % (name, spread(both[1]), spread(both[2]), spread([b / a for a, b in zip(both[1], both[2])])))
    finally:
        if not args.keep:
            shutil.rmtree(top, ignore_errors=True)


# --- against a bare shift_compare_barcode loop -----------------------------------------------

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


def main_bare(args):
    """Generated 640 x 512 knock-out frames through the station and through
    a bare shift_compare_barcode loop (in a fresh process prepared as the
    station's workers are), decode included on both sides, best of the
    rounds, the sides alternating."""
    from make_frames import random_batch

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
              % (n, verdicts[Status.PASS], verdicts[Status.REJECT], verdicts[Status.ERROR], wrong, list(rec.aoi),
                 *params))
        print("%-44s %9s %9s %8s" % ("", "ms/frame", "frames/s", "vs bare"))
        for what, seconds in [("bare shift_compare_barcode loop (1 thread)", bare),
                              ("station, time in its worker (decode incl.)", in_worker),
                              ("station, 1 worker, wall, start-up incl.", one),
                              ("station, 2 workers, wall, start-up incl.", two)]:
            print("%-44s %9.2f %9.1f %7.2fx" % (what, 1e3 * seconds / n, n / seconds, seconds / bare))
        print("2 workers vs 1 worker: %.2fx frames/s; report.html written in %.0f ms"
              % (one / two, 1e3 * report_seconds))
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=40, help="frames a set (with --bare: frames in all)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--scale-rounds", type=int, default=3, help="runs of each scaling figure (0: none)")
    parser.add_argument("--copies", type=int, default=10, help="the long run of the scaling figure: each frame this "
                                                              "many times")
    parser.add_argument("--keep", help="make the frames here and keep them (and use them again next time)")
    parser.add_argument("--bare", action="store_true", help="instead: the station against a bare "
                                                            "shift_compare_barcode loop on 640x512 knock-out frames")
    parser.add_argument("--check", action="store_true", help="instead: every verdict recorded in "
                                                             "tests/verdicts.json, the 500 mixed frames included")
    args = parser.parse_args()
    if args.check:
        return subprocess.call([sys.executable, os.path.join(ROOT, "tests", "verdicts.py"), "check"]
                               + (["--keep", args.keep] if args.keep else []))
    if args.bare:
        args.frames = args.frames if args.frames != 40 else 120
        args.rounds = min(args.rounds, 3)
        return main_bare(args)
    return main_station(args)


if __name__ == "__main__":
    sys.exit(main())

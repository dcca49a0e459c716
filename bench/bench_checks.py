#!/usr/bin/python3
"""The added cost of the checks 'grade', 'streaks' and 'widths' per frame,
as a share of the station's frame time, measured in one run.

Good frames of a Code 128 label printed by a simulated 203-dpi head and
seen by a 10 px/mm line camera (640 x 512, JPEG, turned and shifted as on
a line) are inspected as a worker inspects them (tasks.inspect: the frame
decoded from its file's bytes, aligned, judged) under two recipes that
differ only in their checks: the comparison alone, and the comparison
with the three checks. Good frames, so that both sides pass every frame
and neither makes pictures of rejects. Each frame is inspected under one
recipe and then the other, so that both sides meet the same load on a
shared machine; each side's best round counts. Each check's own time on
the aligned frames is given too.

    /usr/bin/python3 bench/bench_checks.py [--frames N] [--rounds N]
"""
import argparse
import os
import sys
import tempfile
import time

import cv2

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for sub in ("python", "build"):
    if os.path.isdir(os.path.join(ROOT, sub)):
        sys.path.insert(0, os.path.join(ROOT, sub))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import printhead as ph  # noqa: E402
from qel_inspect import pipeline, recipe, symbol, tasks  # noqa: E402

CHECKS = ["grade", "streaks", "widths"]


def frames(label, count):
    """JPEG bytes of `count` good frames."""
    out = []
    for i in range(count):
        image = ph.frame(label, degrees=(i % 7 - 3) * 0.7, shift=(3 * (i % 5) - 6, 4 - 2 * (i % 4)), seed=i,
                         quality=0)
        out.append(cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, 88])[1].tobytes())
    return out


def job(folder, label, checks):
    cv2.imwrite(os.path.join(folder, "standard.png"), ph.frame(label, seed=0))
    path = os.path.join(folder, "recipe-%d.toml" % len(checks))
    tables = {"streaks": {"dots_per_mm": 8.0, "px_per_mm": 10.0}} if "streaks" in checks else {}
    with open(path, "w") as f:
        f.write(recipe.to_toml(recipe.parse(ph.recipe(label, checks=checks, **tables), path).settings()))
    rec, _ = recipe.load(path)
    return tasks.make_job(rec)


def round_times(jobs, data):
    """Seconds a frame under each job, the jobs taking turns frame by frame."""
    spent = [0.0] * len(jobs)
    for i, d in enumerate(data):
        for k, one in enumerate(jobs):
            started = time.perf_counter()
            record, _ = tasks.inspect(one, "frame-%d" % i, "frame-%d" % i, "marked/%d.png" % i, d)
            spent[k] += time.perf_counter() - started
            if record.status != "pass":
                raise SystemExit("frame %d: %s %s %s" % (i, record.status, record.reason, record.defects))
    return [t / len(data) for t in spent]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args(argv)
    tasks.settle_allocator()
    label = ph.Label(ph.symbol_modules("code128", "27182818"), module=0.5)
    data = frames(label, args.frames)
    with tempfile.TemporaryDirectory() as folder:
        plain, full = job(folder, label, ["compare"]), job(folder, label, ["compare"] + CHECKS)
        round_times([plain, full], data[:3])          # prepared once, as a worker does
        best = {"plain": float("inf"), "full": float("inf")}
        for _ in range(args.rounds):
            p, f = round_times([plain, full], data)
            best["plain"], best["full"] = min(best["plain"], p), min(best["full"], f)
        prepared = tasks.prepared(full)
        aligned = [pipeline.align(prepared.standard, pipeline.decode_frame(d)) for d in data]
        own = {}
        for name, (module, settings) in zip(["compare"] + CHECKS, prepared.recipe.check_runs()):
            t = float("inf")
            for _ in range(args.rounds):
                for a in aligned:
                    symbol._memo.pop((id(a), ("scans", symbol.ScanSettings())), None)
                started = time.perf_counter()
                for a in aligned:
                    module.run(a, settings)
                t = min(t, (time.perf_counter() - started) / len(aligned))
            own[name] = t
    added = best["full"] - best["plain"]
    print("%d frames of 640x512, each under both recipes in turn, best of %d rounds" % (len(data), args.rounds))
    print("station frame time, comparison alone:        %.2f ms" % (best["plain"] * 1e3))
    print("station frame time, with %s: %.2f ms" % (", ".join(CHECKS), best["full"] * 1e3))
    print("added by the three checks: %.2f ms a frame, %.0f %% of the frame time (target: under 25 %%)"
          % (added * 1e3, 100 * added / best["plain"]))
    print("each check on its own (scans made afresh for each, so 'grade' and 'widths' each pay for them):")
    for name, t in own.items():
        print("  %-8s %.2f ms" % (name, t * 1e3))
    return 0


if __name__ == "__main__":
    sys.exit(main())

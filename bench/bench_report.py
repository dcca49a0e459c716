#!/usr/bin/python3
"""How long the report of a long shift takes to open in headless Chromium.

    /usr/bin/python3 bench/bench_report.py [--frames 10000] [--rounds 5]

Writes a folder of N records (one in seven rejected, each reject with a
thumbnail and a marked picture, judged over eight hours) through the
station's own sinks, writes its report, and opens it in Chromium several
times: the time to the load event (pictures of the open part included) and
to the first paint, median and worst.
"""
import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tests"), os.path.join(ROOT, "python"), os.path.join(ROOT, "build")]

import cv2  # noqa: E402

from qel_inspect import database, report  # noqa: E402
from qel_inspect.records import Defect, Record  # noqa: E402


def make_folder(out, frames):
    os.makedirs(os.path.join(out, "marked", "thumbs"))
    frame = cv2.imread(os.path.join(ROOT, "examples", "frames", "dark", "frames", "gap_in_bar.jpg"))
    thumb = cv2.imencode(".jpg", cv2.resize(frame, (300, 240)))[1].tobytes()
    marked = cv2.imencode(".png", frame)[1].tobytes()
    with open(os.path.join(out, "run.json"), "w") as f:
        json.dump({"recipe": {"standard": os.path.join(ROOT, "examples", "frames", "dark", "standard.png"),
                              "aoi": [86, 64, 554, 449]}, "recipe_file": "line.toml", "frames": None}, f)
    kept = database.Recorded(out)
    kept.database.db.execute("PRAGMA synchronous=OFF")
    start = time.time() - 8 * 3600
    for i in range(frames):
        name = "cam_%06d" % i
        pictures, defects = {}, []
        if i % 7 == 0:
            kind = "extra ink" if i % 2 else "missing ink"
            defects = [Defect(kind, "black spot", [200, 120, 215, 131], [190, 110, 205, 121], 15)]
            pictures = {"marked/%s.png" % name: marked, "marked/thumbs/%s.jpg" % name: thumb}
        record = Record("/camera/%s.jpg" % name, "/camera/%s.jpg" % name, "reject" if defects else "pass",
                        defects=defects, tilt_frame=0.4, tilt_standard=0.1, match_score=0.985, shift=[1, -2],
                        seconds=0.05, marked="marked/%s.png" % name if defects else None,
                        thumb="marked/thumbs/%s.jpg" % name if defects else None)
        t = start + i * 8 * 3600 / frames
        kept.keep(record, pictures, database.Times(t, t + 0.06))
    kept.close()
    return report.write(out)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--frames", type=int, default=10000)
    p.add_argument("--rounds", type=int, default=5)
    args = p.parse_args()
    from test_inspect_run import browser

    top = tempfile.mkdtemp(prefix="bench-report-")
    driver, profile = None, None
    try:
        started = time.perf_counter()
        page = make_folder(os.path.join(top, "out"), args.frames)
        print("%d frames: report.html %.1f MB, written in %.1f s" % (
            args.frames, os.path.getsize(page) / 1e6, time.perf_counter() - started))
        driver, profile = browser()
        loads, paints = [], []
        for _ in range(args.rounds):
            driver.get("about:blank")
            driver.get("file://" + page)
            timing = driver.execute_script(
                "const n = performance.getEntriesByType('navigation')[0];"
                "const p = performance.getEntriesByName('first-contentful-paint')[0];"
                "return [n.loadEventEnd, p ? p.startTime : null]")
            loads.append(timing[0] / 1000)
            paints.append((timing[1] or 0) / 1000)
        print("open in Chromium: load %.2f s median (worst %.2f), first paint %.2f s median (worst %.2f), %d rounds"
              % (statistics.median(loads), max(loads), statistics.median(paints), max(paints), args.rounds))
    finally:
        if driver is not None:
            driver.quit()
            shutil.rmtree(profile, ignore_errors=True)
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()

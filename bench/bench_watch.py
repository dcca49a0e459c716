#!/usr/bin/python3
"""Latency of `qel-inspect watch` from a complete file to its verdict, and
the highest steady arrival rate at which no frame is late.

    /usr/bin/python3 bench/bench_watch.py [--size 2048x1024] [--frames 100] [--workers 1,2] [--deadline 150]

Generated frames (examples/make_frames.py, one in five defective) are
written into the watched folder at a steady rate, each under a hidden name
and renamed in (so it is complete at once); the time of the rename is the
frame's arrival, the judged time in results.sqlite its verdict (both from
the same clock). For each worker count: p50 and p99 at 10 frames/s, then
rising rates until a frame is later than the deadline.
"""
import argparse
import os
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), os.path.join(ROOT, "build")]))
RATES = (10, 12.5, 15, 17.5, 20, 25, 30, 35, 40)


def make_frames(top, size, count):
    src = os.path.join(top, "made")
    subprocess.run([sys.executable, os.path.join(ROOT, "examples", "make_frames.py"), "--out", src, "--size", size,
                    "--module", "7", "--data", "40171234", "--seed", "7", "--good", str(count - count // 5),
                    "--defective", str(count // 5)], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([sys.executable, "-m", "qel_inspect", "recipe", os.path.join(src, "standard.png"), "-o",
                    os.path.join(top, "recipe.toml")], env=ENV, check=True, stdout=subprocess.DEVNULL)
    folder = os.path.join(src, "frames")
    names = sorted(os.listdir(folder))
    frames = [open(os.path.join(folder, n), "rb").read() for n in names]
    ext = os.path.splitext(names[0])[1]
    return os.path.join(top, "recipe.toml"), frames, ext


def judged(out):
    db = sqlite3.connect(os.path.join(out, "results.sqlite"), timeout=10)
    try:
        return {os.path.basename(k): (j, s) for k, j, s in db.execute("SELECT frame, judged, status FROM frames")}
    except sqlite3.OperationalError:
        return {}
    finally:
        db.close()


def feed(folder, frames, ext, rate, count, first):
    """Write `count` frames at `rate` a second; {name: arrival time}."""
    arrived = {}
    period = 1.0 / rate
    start = time.monotonic()
    for i in range(count):
        name = "f%06d%s" % (first + i, ext)
        tmp = os.path.join(folder, "." + name)
        with open(tmp, "wb") as f:
            f.write(frames[(first + i) % len(frames)])
        os.rename(tmp, os.path.join(folder, name))
        arrived[name] = time.time()
        time.sleep(max(0.0, start + (i + 1) * period - time.monotonic()))
    return arrived


def wait_all(out, names, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        got = judged(out)
        if all(n in got for n in names):
            return got
        time.sleep(0.05)
    raise SystemExit("frames not judged within %d s" % timeout)


def latencies(arrived, got, status=None):
    return sorted(1000 * (got[n][0] - t) for n, t in arrived.items() if status in (None, got[n][1]))


def percentile(values, p):
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def bench(recipe, frames, ext, workers, count, deadline, top):
    folder, out = os.path.join(top, "in-%d" % workers), os.path.join(top, "out-%d" % workers)
    os.makedirs(folder)
    watch = subprocess.Popen([sys.executable, "-m", "qel_inspect", "watch", recipe, folder, "-o", out, "--workers",
                              str(workers), "--deadline", str(deadline)], env=ENV, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        first = 0
        warm = feed(folder, frames, ext, 2, 2 * workers + 2, first)      # workers started and warm
        wait_all(out, warm)
        first += len(warm)
        time.sleep(0.5)
        arrived = feed(folder, frames, ext, 10, count, first)
        got = wait_all(out, arrived)
        ms = latencies(arrived, got)
        first += count
        print("%d worker%s, 10 frames/s, %d frames: latency p50 %.0f ms, p99 %.0f ms, max %.0f ms, %d over %d ms"
              % (workers, "" if workers == 1 else "s", count, statistics.median(ms), percentile(ms, 99), ms[-1],
                 sum(m > deadline for m in ms), deadline), flush=True)
        for status in ("pass", "reject"):
            part = latencies(arrived, got, status)
            if part:
                print("  %s (%d): p50 %.0f ms, p99 %.0f ms" % (status, len(part), statistics.median(part),
                                                               percentile(part, 99)), flush=True)
        best = None
        for rate in RATES:
            time.sleep(1.0)
            arrived = feed(folder, frames, ext, rate, max(40, int(rate * 6)), first)
            ms = latencies(arrived, wait_all(out, arrived))
            first += len(arrived)
            late = sum(m > deadline for m in ms)
            print("  %4.1f frames/s: p50 %.0f ms, p99 %.0f ms, %d of %d late" % (
                rate, statistics.median(ms), percentile(ms, 99), late, len(ms)), flush=True)
            if late:
                break
            best = rate
        print("  highest steady rate with no frame late: %s" % ("%g frames/s" % best if best else "below 10 frames/s"),
              flush=True)
    finally:
        watch.send_signal(signal.SIGTERM)
        watch.wait(60)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size", default="2048x1024")
    p.add_argument("--frames", type=int, default=100, help="frames of the 10 frames/s run")
    p.add_argument("--workers", default="1,2")
    p.add_argument("--deadline", type=float, default=150, help="milliseconds")
    args = p.parse_args()
    top = tempfile.mkdtemp(prefix="bench-watch-")
    try:
        recipe, frames, ext = make_frames(top, args.size, 20)
        print("%d frames of %s (%s), deadline %g ms, %d cores" % (len(frames), args.size, ext, args.deadline,
                                                                   os.cpu_count()), flush=True)
        for workers in (int(w) for w in args.workers.split(",")):
            bench(recipe, frames, ext, workers, args.frames, args.deadline, top)
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Time `qel-inspect run` on one frame against a bare
`/usr/bin/python3 -c 'import cv2, numpy, qel_cv'`, alternating the two in
one run, and print the ratio of the medians: what the command costs beyond
loading the libraries it cannot do without.

    /usr/bin/python3 bench/bench_cli_start.py [--rounds N] [--checkout DIR]

--checkout times the station of another checkout (its python/ and build/),
so a change can be measured against the commit before it in the same run.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def seconds(command, env):
    started = time.perf_counter()
    subprocess.run(command, env=env, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--checkout", action="append", default=[], help="another checkout to time as well")
    args = parser.parse_args()
    frames = os.path.join(ROOT, "examples", "frames", "dark")
    out = tempfile.mkdtemp(prefix="bench-cli-")
    checkouts = [ROOT] + [os.path.abspath(c) for c in args.checkout]
    envs = {c: dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(c, "python"), os.path.join(c, "build")]))
            for c in checkouts}
    bare = [sys.executable, "-c", "import cv2, numpy, qel_cv"]
    times = {"bare": []}
    times.update({c: [] for c in checkouts})
    try:
        for _ in range(args.rounds):
            times["bare"].append(seconds(bare, envs[ROOT]))
            for c in checkouts:
                run = [sys.executable, "-m", "qel_inspect", "run", os.path.join(frames, "recipe.toml"),
                       os.path.join(frames, "frames", "good_01.jpg"), "-o", os.path.join(out, "o")]
                times[c].append(seconds(run, envs[c]))
    finally:
        shutil.rmtree(out, ignore_errors=True)
    base = statistics.median(times["bare"])
    print("bare import of cv2, numpy, qel_cv: median %.2f s (%.2f-%.2f) over %d rounds"
          % (base, min(times["bare"]), max(times["bare"]), args.rounds))
    for c in checkouts:
        m = statistics.median(times[c])
        print("qel-inspect run, one frame (%s): median %.2f s, %.2fx the bare import" % (c, m, m / base))


if __name__ == "__main__":
    main()

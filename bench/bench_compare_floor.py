"""ShiftComparator.compare against the memory floor, in one run.

The floor is a warm numpy.subtract of the int16 pair (one read of both images,
one write). Two targets on a 2048 x 2048 textured standard, max_shift 5, slope,
step 1, threshold 40:
  defective: about 0.5 % of the pixels changed in a few blobs;
  clean:     the standard moved one pixel right with sensor noise, nothing to
             report (the common case on a line).
Then two threads comparing at once against two processes doing the same work.

Run by hand from the checkout after building:
    /usr/bin/python3 bench/bench_compare_floor.py [--repeat N] [--rounds N]
"""
import argparse
import math
import multiprocessing
import os
import sys
import threading
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build"))
import qel_cv  # noqa: E402

SIZE = 2048
MAX_SHIFT = 5
THRESHOLD = 40
JUDGE_LENGTH = 3


def standard(seed):
    rng = np.random.default_rng(seed)
    noise = rng.integers(0, 256, size=(SIZE, SIZE), dtype=np.uint8)
    std = cv2.GaussianBlur(noise, (0, 0), 3)
    std = cv2.normalize(std, None, 0, 255, cv2.NORM_MINMAX)
    for x in range(100, SIZE - 100, 64):  # bars, so shifts matter at their edges
        cv2.rectangle(std, (x, 200), (x + 20, SIZE - 200), 20, -1)
    return std


def defective(std, seed):
    rng = np.random.default_rng(seed)
    tgt = std.copy()
    blobs = np.zeros_like(std)
    radius = 30
    for _ in range(int(round(SIZE * SIZE * 0.005 / (math.pi * radius * radius)))):
        cx, cy = rng.integers(radius + 1, SIZE - radius - 1, size=2)
        cv2.circle(blobs, (int(cx), int(cy)), radius, 255, -1)
    hit = blobs > 0
    tgt[hit] = np.where(std[hit] > 128, std[hit] - 120, std[hit] + 120)
    return tgt


def clean(std, seed):
    rng = np.random.default_rng(seed)
    moved = qel_cv.translate(std, 1, 0)
    noisy = moved.astype(np.int16) + np.rint(rng.normal(0, 3, size=std.shape)).astype(np.int16)
    return np.clip(noisy, 0, 255).astype(np.uint8)


def comparator(std):
    return qel_cv.ShiftComparator(std, MAX_SHIFT, THRESHOLD, JUDGE_LENGTH, slope=True, step=1)


def compare(c, image):
    result = qel_cv.CompareResult(image)
    c.compare(image, result)
    return result


def best_of(repeat, fn):
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def in_process(args):
    kind, seed, rounds, barrier = args
    std = standard(seed)
    tgt = defective(std, seed + 100) if kind == "defective" else clean(std, seed + 100)
    c = comparator(std)
    compare(c, tgt)
    barrier.wait()
    t0 = time.perf_counter()
    for _ in range(rounds):
        compare(c, tgt)
    return time.perf_counter() - t0


def two_threads(kind, rounds):
    pairs = []
    for seed in (1, 2):
        std = standard(seed)
        tgt = defective(std, seed + 100) if kind == "defective" else clean(std, seed + 100)
        pairs.append((comparator(std), tgt))
    barrier = threading.Barrier(3)
    spent = [0.0, 0.0]

    def run(i):
        c, tgt = pairs[i]
        compare(c, tgt)
        barrier.wait()
        t0 = time.perf_counter()
        for _ in range(rounds):
            compare(c, tgt)
        spent[i] = time.perf_counter() - t0

    workers = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in workers:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in workers:
        t.join()
    return time.perf_counter() - t0


def two_processes(kind, rounds):
    ctx = multiprocessing.get_context("fork")
    with ctx.Manager() as manager:
        barrier = manager.Barrier(3)
        with ctx.Pool(2) as pool:
            pending = pool.map_async(in_process, [(kind, seed, rounds, barrier) for seed in (1, 2)])
            barrier.wait()
            t0 = time.perf_counter()
            pending.get()
            return time.perf_counter() - t0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--rounds", type=int, default=40, help="compares per thread or process")
    args = parser.parse_args()

    std = standard(1)
    c = comparator(std)
    cases = {"defective": defective(std, 101), "clean": clean(std, 101)}
    found = {kind: len(compare(c, image).ng_regions) for kind, image in cases.items()}
    if found["clean"] != 0 or found["defective"] == 0:
        sys.exit(f"unexpected regions: {found}")

    a = c.std_threshold
    b = np.int16(cases["clean"])
    floor = best_of(args.repeat, lambda: np.subtract(a, b))
    print(f"image {SIZE}x{SIZE}, max_shift {MAX_SHIFT}, slope True, step 1, threshold {THRESHOLD}")
    print(f"floor (numpy.subtract of the int16 pair): {floor * 1e3:7.2f} ms")
    for kind, image in cases.items():
        t = best_of(args.repeat, lambda: compare(c, image))
        print(f"{kind:9} ({found[kind]:2} regions): {t * 1e3:7.2f} ms = {t / floor:5.2f} x the floor")
    for kind in cases:
        threads = min(two_threads(kind, args.rounds) for _ in range(3))
        processes = min(two_processes(kind, args.rounds) for _ in range(3))
        print(f"{kind:9}: two threads {threads * 1e3:7.1f} ms, two processes {processes * 1e3:7.1f} ms "
              f"for {args.rounds} compares each: threads reach {processes / threads:.2f} of processes")


if __name__ == "__main__":
    main()

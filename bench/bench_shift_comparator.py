"""Time ShiftComparator.compare on a 2048 x 2048 grey pair (max_shift 5, slope,
step 1, about 0.5 % of the pixels differing in a few blobs) against the same
computation composed from cv2/numpy calls, and two threads comparing two pairs
at once against one thread comparing both in turn.

Run by hand from the checkout after building:
    /usr/bin/python3 bench/bench_shift_comparator.py [--repeat N]
"""
import argparse
import math
import os
import sys
import threading
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build"))
import qel_cv  # noqa: E402
from bench_compare_floor import defective, standard  # noqa: E402

SIZE = 2048
MAX_SHIFT = 5
THRESHOLD = 40
JUDGE_LENGTH = 3


def make_pair(seed):
    """A textured standard and a target that differs from it in a few blobs."""
    std = standard(seed)
    tgt = defective(std, seed)
    return std, tgt, float(np.count_nonzero(tgt != std)) / tgt.size


def composed(std16, tgt_image):
    """The comparison as cv2/numpy calls, one full-image warp per trial shift."""
    tgt16 = np.int16(tgt_image)
    h, w = std16.shape
    axis = range(1, MAX_SHIFT + 1)
    diag = range(1, int(MAX_SHIFT / math.sqrt(2)) + 1)
    shifts = [(i, 0) for i in axis] + [(-i, 0) for i in axis] + [(0, i) for i in axis] + [(0, -i) for i in axis]
    shifts += [(i, i) for i in diag] + [(-i, i) for i in diag] + [(i, -i) for i in diag] + [(-i, -i) for i in diag]
    found = []
    for stay, moved in ((std16, tgt16), (tgt16, std16)):
        result = (stay - moved) > THRESHOLD
        for right, down in shifts:
            m = np.float32([[1, 0, right], [0, 1, down]])
            img = cv2.warpAffine(moved, m, (w, h), borderMode=cv2.BORDER_REPLICATE)
            np.logical_and(result, (stay - img) > THRESHOLD, result)
        contours = cv2.findContours(result * np.uint8(255), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)[-2]
        found.append(contours)
    return found


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=30, help="compares per pair and thread in the thread figure")
    args = parser.parse_args()

    std, tgt, differing = make_pair(1)
    std_b, tgt_b, _ = make_pair(2)
    comparator = qel_cv.ShiftComparator(std, MAX_SHIFT, THRESHOLD, JUDGE_LENGTH, slope=True, step=1)
    comparator_b = qel_cv.ShiftComparator(std_b, MAX_SHIFT, THRESHOLD, JUDGE_LENGTH, slope=True, step=1)

    def run(c, image):
        result = qel_cv.CompareResult(image)
        c.compare(image, result)
        return result

    # Both must see the same defects before their times mean anything.
    regions = run(comparator, tgt).ng_regions
    contours = composed(comparator.std_threshold, tgt)
    boxes = sorted(tuple(cv2.boundingRect(c)) for cs in contours for c in cs
                   if max(cv2.boundingRect(c)[2:]) >= JUDGE_LENGTH)
    ours = sorted((r.rect[0], r.rect[1], r.rect[2] - r.rect[0], r.rect[3] - r.rect[1]) for r in regions)
    if boxes != ours:
        sys.exit("the comparator and the cv2/numpy composition disagree")

    t_composed = best_of(max(1, args.repeat // 2), lambda: composed(comparator.std_threshold, tgt))
    t_compare = best_of(args.repeat, lambda: run(comparator, tgt))

    # Each thread runs several rounds so thread start-up and the allocator's
    # first touches of a new thread's memory do not dominate; both figures run
    # on worker threads so the allocator treats them alike.
    def rounds(pairs):
        for _ in range(args.rounds):
            for c, image in pairs:
                run(c, image)

    def in_threads(groups):
        workers = [threading.Thread(target=rounds, args=(g,)) for g in groups]
        for t in workers:
            t.start()
        for t in workers:
            t.join()

    def one_thread():
        in_threads([[(comparator, tgt), (comparator_b, tgt_b)]])

    def two_threads():
        in_threads([[(comparator, tgt)], [(comparator_b, tgt_b)]])

    t_one = best_of(args.repeat, one_thread)
    t_two = best_of(args.repeat, two_threads)

    print(f"image {SIZE}x{SIZE}, max_shift {MAX_SHIFT}, slope True, step 1, "
          f"{differing * 100:.2f} % differing pixels, {len(regions)} regions")
    print(f"cv2/numpy composition: {t_composed * 1e3:8.1f} ms")
    print(f"ShiftComparator.compare: {t_compare * 1e3:8.1f} ms")
    print(f"speed-up over the composition: {t_composed / t_compare:.1f}x")
    print(f"one thread, two pairs in turn, {args.rounds} rounds: {t_one * 1e3:8.1f} ms")
    print(f"two threads, one pair each, {args.rounds} rounds:    {t_two * 1e3:8.1f} ms")
    print(f"two-thread throughput ratio: {t_one / t_two:.2f}x")


if __name__ == "__main__":
    main()

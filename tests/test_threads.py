"""Several threads inspecting at once get exactly the single-threaded results."""
import json
import os
import threading
import time

import cv2
import numpy as np

import qel_cv

SAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "samples")


def load_prints():
    with open(os.path.join(SAMPLES, "samples.json")) as f:
        aoi = tuple(json.load(f)["aoi"])
    read = lambda name: cv2.imread(os.path.join(SAMPLES, name + ".png"), cv2.IMREAD_GRAYSCALE)
    return read("standard"), read("good"), aoi


def comparator_job(seed):
    rng = np.random.default_rng(seed)
    std = (rng.random((300, 300)) > 0.5).astype(np.uint8) * 255
    tgt = np.roll(std, 1, axis=1)
    tgt[100:110, 50:70] = 255 - tgt[100:110, 50:70]
    comparator = qel_cv.ShiftComparator(std, 2, 100, 4)

    def run():
        result = qel_cv.CompareResult(tgt)
        comparator.compare(tgt, result)
        return result.descriptions
    return run


def barcode_job():
    std, good, aoi = load_prints()

    def run():
        result = qel_cv.shift_compare_barcode(std, good, aoi, 2, 50, 6)
        return result.ok, result.descriptions
    return run


def band_job(seed):
    source = np.random.default_rng(seed).integers(0, 256, (400, 400, 3), dtype=np.uint8)

    def run():
        return qel_cv.take_middle(source.copy(), 60, 180).tobytes()
    return run


def circle_job(seed):
    rng = np.random.default_rng(seed)
    t = rng.random(500) * 2 * np.pi
    x = 50 + 20 * np.cos(t) + rng.normal(0, 0.3, t.size)
    y = 40 + 20 * np.sin(t) + rng.normal(0, 0.3, t.size)

    def run():
        fit = qel_cv.FittingCircle(x, y)
        return fit.center, fit.radius
    return run


def test_four_threads_agree_with_one(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    jobs = [comparator_job(1), barcode_job(), band_job(2), circle_job(3)]
    expected = [job() for job in jobs]
    assert expected[1][0] is True  # the good print passes, so nothing is written
    failures = []
    deadline = time.monotonic() + 3.0

    def worker(index):
        rounds = 0
        while time.monotonic() < deadline or rounds < 2:
            for offset in range(len(jobs)):
                k = (index + offset) % len(jobs)
                got = jobs[k]()
                if got != expected[k]:
                    failures.append((index, k))
            rounds += 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    capsys.readouterr()
    assert failures == []
    assert not list(tmp_path.iterdir())

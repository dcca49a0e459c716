"""Faults that need a second thread, a callback during binding, interpreter
exit, a signal or deep re-entry to show. Anything that could crash or hang
runs in a child process with a timeout."""
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import qel_cv

BUILD = os.path.dirname(qel_cv.__file__)
PRELUDE = "import sys, threading, numpy as np, qel_cv\n"


def child(code, **popen):
    """Start a fresh interpreter that imports this checkout's build."""
    env = dict(os.environ, PYTHONPATH=BUILD)
    return subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)


def finish(proc, timeout=120):
    """The child's output once it exits; killed if it outlives `timeout`."""
    try:
        return proc.communicate(timeout=timeout)
    finally:
        proc.kill()


def run(code):
    proc = child(code)
    out, err = finish(proc)
    return proc.returncode, out, err


def test_profile_walk_stays_in_bounds_while_another_thread_writes_the_contour():
    rc, out, err = run("""
        n = 20000
        c = np.zeros((n, 1, 2), np.int32)
        c[:, 0, 0] = np.arange(n) % 199
        c[-2:, 0, 0] = 198, 199  # the ends of the walk stay where they are
        c[:, 0, 1] = np.arange(n) % 50
        spread = c[2:-2, 0, 0].copy()

        def writer():  # piles the points into one column and back; every state walks
            while True:
                c[2:-2, 0, 0] = 5
                c[2:-2, 0, 0] = spread

        threading.Thread(target=writer, daemon=True).start()
        for _ in range(1500):
            qel_cv.calculate_contour_vertical_distances(c)
        print("done")
    """)
    assert (rc, out) == (0, "done\n"), err


# Daemon threads busy in every kernel that runs without the GIL when the
# interpreter exits. OpenCV cannot take that itself (its binding re-takes the
# GIL in a destructor and aborts), so findContours is a plain function here.
EXIT_WITH_BUSY_THREADS = """
    import time, cv2
    cv2.findContours = lambda *a, **k: ([], None)
    contour = np.stack([np.arange(200000) % 4000, np.arange(200000) % 50], 1).reshape(-1, 1, 2).astype(np.int32)
    pixels = np.random.default_rng(0).integers(0, 256, 4_000_000, dtype=np.uint8)
    t = np.linspace(0, 6.28, 200000)
    x, y, centre = 5 + np.cos(t), 5 + np.sin(t), np.array([1.0, 2.0])
    std = (np.random.default_rng(1).random((800, 800)) > 0.5).astype(np.int16) * 255
    tgt = np.roll(std, 3, 1)
    comparator = qel_cv.ShiftComparator(std, 3, 100, 4)
    jobs = [lambda: qel_cv.calculate_contour_vertical_distances(contour),
            lambda: qel_cv.take_middle(pixels, 60, 180),
            lambda: qel_cv.FittingCircle._FittingCircle__error(centre, x, y),
            lambda: comparator._do_compare_image_with_shift(std, tgt, 4, "x", qel_cv.CompareResult(tgt))]

    def busy(job):
        while True:
            job()

    for job in jobs:
        threading.Thread(target=busy, args=(job,), daemon=True).start()
    time.sleep(0.3)
"""


def test_exit_with_daemon_threads_inside_kernels():
    procs = [child(EXIT_WITH_BUSY_THREADS) for _ in range(4)]
    results = [(finish(p), p.returncode) for p in procs]
    assert [rc for _, rc in results] == [0] * 4, [err[-2000:] for (_, err), _ in results]


BINDER_CALLBACKS = """
    import gc
    events = []

    class Centre:
        def __getitem__(self, i):
            events.append("read")
            return 0

        def __del__(self):
            events.append("freed")

    def drop_centre(holder):
        # Replace the argument in the call's keyword dict, which held its only reference.
        for d in gc.get_referrers(holder):
            if isinstance(d, dict) and "old_center" in d:
                d["old_center"] = None

    class Angle:
        def __float__(self):
            drop_centre(self)
            return 0.0

    class Key(str):
        def __hash__(self):
            return str.__hash__(self)

        def __eq__(self, other):
            drop_centre(self)
            return str.__eq__(self, other)

    image = np.zeros((8, 8), np.uint8)
    qel_cv.translate_and_rotate(**{"image": image, "old_center": Centre(), "new_center": (0, 0), "angle": Angle()})
    print(events)
    events.clear()
    qel_cv.translate_and_rotate(**{"image": image, "old_center": Centre(), Key("new_center"): (0, 0), "angle": 0.0})
    print(events)
"""


def test_bound_arguments_live_for_the_whole_call():
    rc, out, err = run(BINDER_CALLBACKS)
    assert (rc, out.splitlines()) == (0, ["['read', 'read', 'freed']"] * 2), err


INTERRUPTED = {
    # The plain rendering walks 2**40 columns; the generic walk takes them.
    "profile walk": """
        contour = np.array([[[0, 0]], [[3, 1]], [[5, 2]]], np.int32)
        call = lambda: qel_cv.calculate_contour_vertical_distances(contour, -2**40)
        left = lambda: "partly"
    """,
    # uint64 takes the generic element loop; every element is to be zeroed.
    "band filter": """
        src = np.full(3_000_000, 200, np.uint64)
        call = lambda: qel_cv.take_middle(src, 60, 180)
        left = lambda: "partly" if src[-1] else "wholly"
    """,
}


@pytest.mark.parametrize("name", INTERRUPTED)
def test_long_loops_stop_at_ctrl_c(name):
    proc = child(textwrap.dedent(INTERRUPTED[name]) + textwrap.dedent("""
        print("ready", flush=True)
        try:
            call()
        except KeyboardInterrupt:
            print("interrupted", left())
    """))
    try:
        assert proc.stdout.readline() == "ready\n"
        threading.Event().wait(0.3)
        proc.send_signal(signal.SIGINT)
    finally:
        out, err = finish(proc, timeout=60)
    assert (proc.returncode, out) == (0, "interrupted partly\n"), err


def test_generic_band_filter_lets_other_threads_run():
    src = np.full(200_000, 200, np.uint64)
    beats = []
    stop = threading.Event()

    def heartbeat():
        while not stop.wait(0.001):
            beats.append(1)

    t = threading.Thread(target=heartbeat)
    t.start()
    try:
        before = len(beats)
        qel_cv.take_middle(src, 60, 180)
        during = len(beats) - before
    finally:
        stop.set()
        t.join()
    assert not src.any()
    assert during >= 3


def test_deep_reentry_raises_recursion_error():
    rc, out, err = run("""
        sys.setrecursionlimit(10**6)
        std = np.zeros((20, 20), np.uint8)
        tgt = std.copy()
        tgt[5:8, 5:8] = 255

        def judge(cnt, length):
            comparator.compare(tgt, qel_cv.CompareResult(tgt))
            return True

        comparator = qel_cv.ShiftComparator(std, 1, 10, 1, judge)
        try:
            comparator.compare(tgt, qel_cv.CompareResult(tgt))
        except RecursionError as e:
            print(e)
    """)
    assert (rc, out) == (0, "maximum recursion depth exceeded while calling a Python object\n"), err

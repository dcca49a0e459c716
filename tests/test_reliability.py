"""Faults that need a second thread, a callback during binding, interpreter
exit, a signal or deep re-entry to show. Anything that could crash or hang
runs in a child process with a timeout."""
import os
import subprocess
import sys
import textwrap
import threading

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

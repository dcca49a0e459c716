"""Where a frame's time goes: the steps of the per-frame path (decode,
locate, the anchors, the warp, light, ink spread, each check, pictures)
timed into the record's `timings`, milliseconds a step, when --verbose asks.

A step adds to the collection of its thread, if one is open, so the
threads of a cluster worker keep their frames apart and code run outside
a frame costs two clock reads.
"""
import contextlib
import threading
import time

_local = threading.local()


@contextlib.contextmanager
def collecting():
    """A dict filled with seconds by step name while the block runs."""
    outer = getattr(_local, "spent", None)
    spent = _local.spent = {}
    try:
        yield spent
    finally:
        _local.spent = outer


class step:
    """Time a block as step `name` (a class, not a generator: it is on
    the path of every frame)."""
    __slots__ = ("name", "started")

    def __init__(self, name):
        self.name = name

    def __enter__(self):
        self.started = time.perf_counter()

    def __exit__(self, *exc):
        spent = getattr(_local, "spent", None)
        if spent is not None:
            spent[self.name] = spent.get(self.name, 0.0) + time.perf_counter() - self.started
        return False


def milliseconds(spent):
    """The record's form: milliseconds, two decimals, in the order taken."""
    return {name: round(1e3 * s, 2) for name, s in spent.items()}

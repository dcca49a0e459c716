"""Progress on standard error: a bar on a terminal, otherwise a plain line
every few seconds."""
import sys
import threading
import time

from .status import Status, tally

PLAIN_SECONDS = 5.0


class Progress:
    def __init__(self, total, done, stream=None, desc="inspecting"):
        self.stream = stream or sys.stderr
        self.total, self.done = total, done
        self.counts = tally(())
        self.started = self.last = time.monotonic()
        self.bar = None
        self.desc = desc
        self.shown = done
        self.lock = threading.Lock()
        self.timer = None
        self.closed = False
        if self.stream.isatty():
            from tqdm import tqdm
            self.bar = tqdm(total=total, initial=done, file=self.stream, unit="frame", dynamic_ncols=True,
                            desc=desc)

    def update(self, status):
        """One more frame done, with this Status."""
        with self.lock:
            self.done += 1
            self.counts[Status(status)] += 1
            if self.bar is not None:
                self.bar.set_postfix_str(self.tally(), refresh=False)
                self.bar.update(1)
                return
            wait = PLAIN_SECONDS - (time.monotonic() - self.last)
            if wait <= 0:
                self.line()
            elif self.timer is None:
                # A watch may then wait long for its next frame: the log
                # should not go on showing the count from before a burst.
                self.timer = threading.Timer(wait, self._due)
                self.timer.daemon = True
                self.timer.start()

    def _due(self):
        with self.lock:
            self.timer = None
            if self.done != self.shown and not self.closed:
                self.line()

    def tally(self):
        if self.desc == "inspecting":
            return "%d rejected, %d not inspected" % (self.counts[Status.REJECT], self.counts[Status.ERROR])
        return "%d not inspected" % self.counts[Status.ERROR]

    def line(self):
        self.last = time.monotonic()
        self.shown = self.done
        rate = sum(self.counts.values()) / max(1e-9, self.last - self.started)
        of = "/%d" % self.total if self.total is not None else ""
        print("qel-inspect: %s %d%s frames, %s, %.1f frames/s"
              % (self.desc, self.done, of, self.tally(), rate), file=self.stream, flush=True)

    def close(self):
        with self.lock:
            self.closed = True
            if self.timer is not None:
                self.timer.cancel()
                self.timer = None
        if self.bar is not None:
            self.bar.close()

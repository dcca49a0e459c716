"""Progress on standard error: a bar on a terminal, otherwise a plain line
every few seconds."""
import sys
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
        if self.stream.isatty():
            from tqdm import tqdm
            self.bar = tqdm(total=total, initial=done, file=self.stream, unit="frame", dynamic_ncols=True,
                            desc=desc)

    def update(self, status):
        """One more frame done, with this Status."""
        self.done += 1
        self.counts[Status(status)] += 1
        if self.bar is not None:
            self.bar.set_postfix_str(self.tally(), refresh=False)
            self.bar.update(1)
        elif time.monotonic() - self.last >= PLAIN_SECONDS:
            self.line()

    def tally(self):
        if self.desc == "inspecting":
            return "%d rejected, %d not inspected" % (self.counts[Status.REJECT], self.counts[Status.ERROR])
        return "%d not inspected" % self.counts[Status.ERROR]

    def line(self):
        self.last = time.monotonic()
        rate = sum(self.counts.values()) / max(1e-9, self.last - self.started)
        of = "/%d" % self.total if self.total is not None else ""
        print("qel-inspect: %s %d%s frames, %s, %.1f frames/s"
              % (self.desc, self.done, of, self.tally(), rate), file=self.stream, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()

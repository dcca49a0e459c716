"""What became of a frame, and the one rule that turns a command's outcome
into its exit status."""
import enum


class Status(str, enum.Enum):
    """A frame's verdict; the value is what results.jsonl holds."""
    PASS = "pass"
    REJECT = "reject"
    ERROR = "error"          # could not be inspected

    @property
    def words(self):
        """As a person reads it."""
        return _WORDS[self]

    def __str__(self):
        return self.value


_WORDS = {Status.PASS: "pass", Status.REJECT: "reject", Status.ERROR: "not inspected"}


class ExitStatus(enum.IntEnum):
    OK = 0            # every frame passed; the recipe was written; tuning found a setting
    REJECTED = 1      # some frame was rejected; no setting of a tuning grid passes no bad frame
    INCOMPLETE = 2    # some frame not inspected, the run stopped, or a bad recipe, argument or folder
    INTERNAL = 3      # a fault of the tool itself: never read as a verdict

    @classmethod
    def of(cls, counts, stopped=False):
        """The status of a run: the worst of its frames, a stop counting as
        a frame not inspected. `counts` maps Status to a number."""
        if stopped or counts.get(Status.ERROR, 0):
            return cls.INCOMPLETE
        return cls.REJECTED if counts.get(Status.REJECT, 0) else cls.OK


def tally(statuses):
    """{Status: how many} over an iterable of statuses, every status present."""
    out = dict.fromkeys(Status, 0)
    for s in statuses:
        out[Status(s)] += 1
    return out

"""A frame's record and its defects, typed; their JSON form (one line a
frame in results.jsonl, field names as they have always been) and reading
such files back."""
import json
import os
from dataclasses import dataclass, field
from typing import Optional

from .files import WriteError
from .status import Status, tally


class DamagedLine(ValueError):
    """A line of a results file that cannot be read back; str() says why."""


def _number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _box(v):
    return isinstance(v, list) and len(v) == 4 and all(isinstance(x, int) and not isinstance(x, bool) for x in v)


# What a line's fields must be, where the station formats or follows them.
_FIELDS = {"reason": (str, "a text"), "tilt_frame": (_number, "a number"), "tilt_standard": (_number, "a number"),
           "match_score": (_number, "a number"), "seconds": (_number, "a number"), "marked": (str, "a text"),
           "thumb": (str, "a text"),
           "shift": (lambda v: isinstance(v, list) and len(v) == 2 and all(map(_number, v)), "two numbers"),
           "library_output": (lambda v: isinstance(v, list) and all(isinstance(x, str) for x in v), "a list of texts"),
           "timings": (lambda v: isinstance(v, dict) and all(map(_number, v.values())), "milliseconds by step")}
_DEFECT_FIELDS = {"kind": (str, "a text"), "description": (str, "a text"), "box_frame": (_box, "four whole numbers"),
                  "box_aligned": (_box, "four whole numbers"), "size": (lambda v: isinstance(v, int), "a whole number")}


def _wrong(d, fields, where=""):
    """The first field of `d` that is not what `fields` says, in words, or
    None; a missing field counts as given (None)."""
    for k, (ok, words) in fields.items():
        v = d.get(k)
        if v is None:
            continue
        if not (isinstance(v, ok) if isinstance(ok, type) else ok(v)):
            return "%s'%s' is not %s" % (where, k, words)
    return None


@dataclass
class Defect:
    kind: str                       # what happened to the print: "missing ink", "extra ink", ...
    description: str                # the finding in the words of whoever found it
    box_frame: list                 # [x1, y1, x2, y2] in the camera frame, ends excluded
    box_aligned: list               # the same in the standard's coordinates
    size: int                       # longer side of the box, pixels
    extra: dict = field(default_factory=dict)   # what a check adds (length, millimetres, ...)

    def to_json(self):
        return {"kind": self.kind, "description": self.description, "box_frame": list(self.box_frame),
                "box_aligned": list(self.box_aligned), "size": self.size, **self.extra}

    @classmethod
    def from_json(cls, d):
        known = ("kind", "description", "box_frame", "box_aligned", "size")
        return cls(*(d.get(k) for k in known), extra={k: v for k, v in d.items() if k not in known})


# The fields of a record's line, in the order they are written; `values`
# (what checks measured) go between the alignment's and the pictures'.
_HEAD = ("key", "frame", "status", "reason", "defects", "tilt_frame", "tilt_standard", "match_score", "shift")
_TAIL = ("marked", "thumb", "library_output", "timings", "seconds")
_DROPPED_WHEN_EMPTY = ("marked", "thumb", "library_output", "timings")


@dataclass
class Record:
    key: str                                  # the frame's identity: its resolved path
    frame: str                                # the frame as the user named it
    status: Status
    reason: Optional[str] = None              # why a frame was not inspected
    defects: list = field(default_factory=list)
    tilt_frame: Optional[float] = None        # degrees, counter-clockwise
    tilt_standard: Optional[float] = None
    match_score: Optional[float] = None
    shift: Optional[list] = None              # (right, down) that moved the turned frame onto the standard
    values: dict = field(default_factory=dict)  # what the checks measured
    marked: Optional[str] = None              # pictures, relative to the output folder
    thumb: Optional[str] = None
    library_output: Optional[list] = None     # the library's printed lines (--verbose)
    timings: Optional[dict] = None            # milliseconds by step of the frame's path (--verbose)
    seconds: Optional[float] = None
    # What was found of a frame that could not be inspected, for its picture
    # (camera-frame polygons: `outline`, `bar_area`); not part of the line.
    found: dict = field(default_factory=dict, repr=False, compare=False)

    def __post_init__(self):
        self.status = Status(self.status)

    def to_json(self):
        out = {k: getattr(self, k) for k in _HEAD}
        out["status"] = self.status.value
        out["defects"] = [d.to_json() for d in self.defects]
        out.update(self.values)
        for k in _TAIL:
            v = getattr(self, k)
            if v is not None or k not in _DROPPED_WHEN_EMPTY:
                out[k] = v
        return out

    def line(self):
        return json.dumps(self.to_json(), ensure_ascii=False) + "\n"

    @classmethod
    def from_json(cls, d):
        """The record of a parsed line; DamagedLine when it is not one."""
        if not isinstance(d, dict):
            raise DamagedLine("not a record (a JSON %s)" % type(d).__name__)
        for k in ("key", "frame"):
            if not isinstance(d.get(k), str):
                raise DamagedLine("no '%s'" % k)
        try:
            status = Status(d.get("status"))
        except ValueError:
            raise DamagedLine("unknown status %r" % (d.get("status"),))
        defects = d.get("defects") or []
        if not isinstance(defects, list) or not all(isinstance(x, dict) for x in defects):
            raise DamagedLine("'defects' is not a list of defects")
        wrong = _wrong(d, _FIELDS) or next((w for w in (_wrong(x, _DEFECT_FIELDS, "a defect's ") for x in defects)
                                            if w), None)
        if wrong:
            raise DamagedLine(wrong)
        fields = set(_HEAD + _TAIL)
        return cls(d["key"], d["frame"], status, d.get("reason"), [Defect.from_json(x) for x in defects],
                   *(d.get(k) for k in _HEAD[5:]),
                   values={k: v for k, v in d.items() if k not in fields},
                   **{k: d.get(k) for k in _TAIL})


def read_jsonl(path, repair=False):
    """The parsed lines of a JSON-lines file: a list of (line number,
    value or DamagedLine). A last line cut short by a crash is left out
    (and, with `repair`, cut off the file so appending stays sound)."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    end = data.rfind(b"\n") + 1
    if repair and end < len(data):
        try:
            with open(path, "r+b") as f:
                f.truncate(end)
        except OSError as e:
            raise WriteError(path, e) from e
    out = []
    for n, line in enumerate(data[:end].splitlines(), 1):
        if not line.strip():
            continue
        try:
            out.append((n, json.loads(line.decode("utf-8"))))
        except (UnicodeDecodeError, ValueError) as e:
            out.append((n, DamagedLine("not JSON (%s)" % e)))
        except RecursionError:
            out.append((n, DamagedLine("not a record (nested too deeply)")))
    return out


def read_records(path, repair=False, damaged=None):
    """The records of a results file. Lines that are not records are left
    out; `damaged`, a list, receives (line number, reason) for each."""
    out = []
    for n, value in read_jsonl(path, repair):
        try:
            if isinstance(value, DamagedLine):
                raise value
            out.append(Record.from_json(value))
        except DamagedLine as e:
            if damaged is not None:
                damaged.append((n, str(e)))
    return out


def tell_damaged(path, damaged, most=5, stream=None):
    """A line on standard error for each of the first `most` damaged lines
    (line number, reason) of the file `path`, and one for the rest."""
    import sys

    from .terminal import safe

    stream = stream or sys.stderr
    for n, why in damaged[:most]:
        print(safe("qel-inspect: %s line %d is damaged (%s): skipped, its frame is inspected again" % (path, n, why)),
              file=stream)
    if len(damaged) > most:
        print(safe("qel-inspect: %s: %d more damaged lines skipped, their frames inspected again"
                   % (path, len(damaged) - most)), file=stream)


def latest(records):
    """One record a frame (the last written wins), sorted by frame name."""
    by_key = {}
    for r in records:
        by_key[r.key] = r
    return sorted(by_key.values(), key=lambda r: (r.frame, r.key))


def counts(records):
    return tally(r.status for r in records)

"""A frame's record and its defects, typed; their JSON form (one line a
frame in results.jsonl, field names as they have always been) and reading
such files back."""
import json
import os
from dataclasses import dataclass, field
from typing import Optional

from .status import Status, tally


class DamagedLine(ValueError):
    """A line of a results file that cannot be read back; str() says why."""


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
_TAIL = ("marked", "thumb", "library_output", "seconds")
_DROPPED_WHEN_EMPTY = ("marked", "thumb", "library_output")


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
        with open(path, "r+b") as f:
            f.truncate(end)
    out = []
    for n, line in enumerate(data[:end].splitlines(), 1):
        if not line.strip():
            continue
        try:
            out.append((n, json.loads(line.decode("utf-8"))))
        except (UnicodeDecodeError, ValueError) as e:
            out.append((n, DamagedLine("not JSON (%s)" % e)))
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


def latest(records):
    """One record a frame (the last written wins), sorted by frame name."""
    by_key = {}
    for r in records:
        by_key[r.key] = r
    return sorted(by_key.values(), key=lambda r: (r.frame, r.key))


def counts(records):
    return tally(r.status for r in records)

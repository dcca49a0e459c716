"""Where finished work goes, in the order that keeps it safe: pictures are
written first, then the record's line is appended to its JSON-lines file
and flushed, so a line never names a picture that is not there and a line
on disk is a frame done. Everything else (CSV, report) is derived from the
lines afterwards."""
import csv
import io
import os

from .files import WriteError, write_atomic

RESULTS, CSV = "results.jsonl", "results.csv"


class JsonLines:
    """A JSON-lines file appended to; each addition written at once, and
    whole or not at all: when writing fails (a full disk) what was written
    of it is cut off again, and WriteError raised."""

    def __init__(self, path):
        self.path = path
        try:
            self.file = open(path, "ab", buffering=0)
        except OSError as e:
            raise WriteError(path, e) from e

    def add(self, lines):
        data = memoryview("".join(lines).encode("utf-8"))
        end = self.file.seek(0, os.SEEK_END)
        try:
            while data:
                data = data[self.file.write(data):]
        except OSError as e:
            try:
                self.file.truncate(end)
            except OSError:
                pass
            raise WriteError(self.path, e) from e

    def close(self):
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Results(JsonLines):
    """results.jsonl of an output folder, with the pictures beside it."""

    def __init__(self, outdir):
        self.outdir = outdir
        super().__init__(os.path.join(outdir, RESULTS))

    def keep(self, record, pictures):
        for name, data in pictures.items():
            write_atomic(os.path.join(self.outdir, name), data)
        self.add([record.line()])


CSV_COLUMNS = ["frame", "status", "reason", "defects", "kinds", "boxes_in_frame", "tilt_frame", "tilt_standard",
               "match_score", "shift_x", "shift_y", "seconds", "marked", "key"]


def csv_row(r):
    """A record's row of results.csv."""
    shift = r.shift or [None, None]
    return [r.frame, r.status.value, r.reason or "", len(r.defects), "; ".join(d.kind for d in r.defects),
            "; ".join("%d %d %d %d" % tuple(d.box_frame) for d in r.defects),
            _blank(r.tilt_frame), _blank(r.tilt_standard), _blank(r.match_score),
            _blank(shift[0]), _blank(shift[1]), _blank(r.seconds), r.marked or "", r.key]


# What the checks measure that a spreadsheet wants, as columns after the
# fixed ones when any frame has them.
VALUE_COLUMNS = ("grade", "grade_letter", "grade_weakest", "decoded", "print_growth", "streaks")


def write_csv(outdir, records):
    """results.csv: one row a frame, for a spreadsheet."""
    text = io.StringIO(newline="")
    out = csv.writer(text)
    measured = [k for k in VALUE_COLUMNS if any(k in r.values for r in records)]
    out.writerow(CSV_COLUMNS + measured)
    for r in records:
        out.writerow(csv_row(r) + [_blank(r.values.get(k)) for k in measured])
    write_atomic(os.path.join(outdir, CSV), text.getvalue())


def _blank(v):
    return "" if v is None else v

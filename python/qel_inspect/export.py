"""`qel-inspect export OUTDIR`: the frames of results.sqlite judged in a time
span, as CSV (the columns of results.csv, then when each frame arrived and
was judged, and whether it was late) or as JSON lines (each frame's record
with the same three fields). Times are local, ISO 8601 with their offset."""
import csv
import datetime
import json
import os
from typing import Optional, TextIO

from .database import DATABASE, rows
from .errors import UsageError
from .records import Record
from .sinks import CSV_COLUMNS, csv_row

FORMATS = ("csv", "jsonl")


def parse_time(text: str, option: str, now: Optional[datetime.datetime] = None) -> float:
    """A moment as Unix seconds: an ISO date and time (local unless it has
    an offset), a date (its midnight), or HH:MM[:SS] (today)."""
    now = now or datetime.datetime.now()
    value = text.strip()
    try:
        if len(value) <= 8 and ":" in value:
            moment = datetime.datetime.combine(now.date(), datetime.time.fromisoformat(value))
        else:
            moment = datetime.datetime.fromisoformat(value)
    except ValueError:
        raise UsageError("%s %s: expected a date and time such as 2024-05-01T06:00, a date or HH:MM" % (option, text))
    return moment.timestamp()


def stamp(t: Optional[float]) -> str:
    if t is None:
        return ""
    return datetime.datetime.fromtimestamp(t).astimezone().isoformat(timespec="milliseconds")


def export(outdir: str, out: TextIO, fmt: str = "csv", since: Optional[float] = None,
           until: Optional[float] = None) -> int:
    """Write the frames to `out`; returns how many."""
    if not os.path.exists(os.path.join(outdir, DATABASE)):
        raise UsageError("%s holds no %s" % (outdir, DATABASE))
    if since is not None and until is not None and until <= since:
        raise UsageError("--until must come after --since")
    writer = csv.writer(out) if fmt == "csv" else None
    if writer is not None:
        writer.writerow(CSV_COLUMNS + ["arrived", "judged", "late"])
    n = 0
    for row in rows(outdir, since, until):
        record = json.loads(row["record"])
        times = [stamp(row["arrived"]), stamp(row["judged"]), "yes" if row["late"] else ""]
        if writer is not None:
            writer.writerow(csv_row(Record.from_json(record)) + times)
        else:
            record.update(arrived=times[0] or None, judged=times[1] or None, late=bool(row["late"]))
            out.write(json.dumps(record, ensure_ascii=False) + "\n")
        n += 1
    out.flush()
    return n

"""results.sqlite: the records of an output folder in a database that lasts
a shift. One row a frame (with the time it arrived and the time it was
judged) and one a defect, each frame written in a transaction of its own
before the frame counts as done; WAL, so the live page and `export` read
while a watch writes.

results.jsonl stays the line-a-frame record beside it. Both are written by
`Recorded` (pictures, then the database, then the line); a crash between
the two is mended when the folder is opened again (`reconcile`).
"""
import json
import os
import sqlite3
import time
from dataclasses import dataclass
from typing import Iterator, Optional

from .records import Record
from .sinks import RESULTS, Results

DATABASE = "results.sqlite"
FILES = (DATABASE, DATABASE + "-wal", DATABASE + "-shm")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS frames (
    id INTEGER PRIMARY KEY,
    key TEXT NOT NULL,            -- the frame's identity: its resolved path
    frame TEXT NOT NULL,          -- as the user or the camera named it
    file_id TEXT,                 -- inode, size and modification time: a reused name is another frame
    status TEXT NOT NULL,         -- pass, reject, error
    reason TEXT,
    arrived REAL,                 -- seconds since the epoch: the file was complete
    judged REAL,                  -- the verdict was known
    late INTEGER NOT NULL DEFAULT 0,
    seconds REAL,
    tilt_frame REAL, tilt_standard REAL, match_score REAL, shift_x INTEGER, shift_y INTEGER,
    marked TEXT, thumb TEXT,
    record TEXT NOT NULL          -- the line of results.jsonl
);
CREATE INDEX IF NOT EXISTS frames_judged ON frames (judged);
CREATE INDEX IF NOT EXISTS frames_key ON frames (key);
CREATE INDEX IF NOT EXISTS frames_status ON frames (status, id);
CREATE TABLE IF NOT EXISTS defects (
    frame_id INTEGER NOT NULL REFERENCES frames (id),
    n INTEGER NOT NULL,
    kind TEXT NOT NULL,
    description TEXT,
    x1 INTEGER, y1 INTEGER, x2 INTEGER, y2 INTEGER,
    size INTEGER,
    PRIMARY KEY (frame_id, n)
);
CREATE INDEX IF NOT EXISTS defects_kind ON defects (kind);
CREATE TABLE IF NOT EXISTS passed_over (   -- in the folder before a --new-only watch began
    key TEXT NOT NULL, file_id TEXT NOT NULL, PRIMARY KEY (key, file_id)
);
CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value TEXT);
"""


@dataclass(frozen=True)
class Times:
    """When a frame became complete and when its verdict was known (Unix
    seconds), and whether that was later than the deadline."""
    arrived: Optional[float]
    judged: Optional[float]
    late: bool = False


def connect(outdir: str, readonly: bool = False) -> sqlite3.Connection:
    path = os.path.join(outdir, DATABASE)
    if readonly:
        # Not SQLite's read-only mode: a reader of a WAL database may need to
        # make its shared-memory file when no writer is there.
        db = sqlite3.connect(path, check_same_thread=False, timeout=10)
        db.execute("PRAGMA query_only=1")
    else:
        db = sqlite3.connect(path, check_same_thread=False, timeout=10)
        db.execute("PRAGMA journal_mode=WAL")
        # A frame removed from the camera's folder after its row is written
        # must survive a power cut too.
        db.execute("PRAGMA synchronous=FULL")
        db.executescript(_SCHEMA)
    db.row_factory = sqlite3.Row
    return db


class Database:
    """The writer's side of results.sqlite."""

    def __init__(self, outdir: str):
        self.db = connect(outdir)

    def add(self, record: Record, times: Times, file_id: Optional[str] = None) -> int:
        """One frame and its defects in one transaction; the frame's row id."""
        line = json.dumps(record.to_json(), ensure_ascii=False)
        shift = record.shift or [None, None]
        with self.db:
            cur = self.db.execute(
                "INSERT INTO frames (key, frame, file_id, status, reason, arrived, judged, late, seconds, tilt_frame,"
                " tilt_standard, match_score, shift_x, shift_y, marked, thumb, record)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (record.key, record.frame, file_id, record.status.value, record.reason, times.arrived, times.judged,
                 int(times.late), record.seconds, record.tilt_frame, record.tilt_standard, record.match_score,
                 shift[0], shift[1], record.marked, record.thumb, line))
            frame_id = cur.lastrowid
            self.db.executemany(
                "INSERT INTO defects (frame_id, n, kind, description, x1, y1, x2, y2, size)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [(frame_id, n, d.kind, d.description, *(list(d.box_frame) + [None] * 4)[:4], d.size)
                 for n, d in enumerate(record.defects)])
        return frame_id

    def recorded(self) -> dict:
        """{key: {file_id, ...}} of every frame recorded."""
        out = {}
        for key, file_id in self.db.execute("SELECT key, file_id FROM frames"):
            out.setdefault(key, set()).add(file_id)
        return out

    def passed_over(self) -> set:
        return {(k, f) for k, f in self.db.execute("SELECT key, file_id FROM passed_over")}

    def pass_over(self, pairs) -> None:
        with self.db:
            self.db.executemany("INSERT OR IGNORE INTO passed_over VALUES (?, ?)", list(pairs))

    def meta(self, name: str) -> Optional[str]:
        row = self.db.execute("SELECT value FROM meta WHERE name = ?", (name,)).fetchone()
        return None if row is None else row[0]

    def set_meta(self, name: str, value: str) -> None:
        with self.db:
            self.db.execute("INSERT OR REPLACE INTO meta VALUES (?, ?)", (name, value))

    def close(self) -> None:
        self.db.close()


def reconcile(outdir: str, database: Database) -> None:
    """Make results.jsonl and the database hold the same frames in the same
    order after a crash between the two writes: lines the database has and
    the file lacks are appended to it; records the file has and the
    database lacks (a folder from before the database, or a crash inside
    the database's write) are added to the database, with no times."""
    from .records import DamagedLine, Record, read_jsonl

    path = os.path.join(outdir, RESULTS)
    # Damaged lines count as lines: the database's rows follow the file's line for line.
    lines = read_jsonl(path, repair=True)
    rows = database.db.execute("SELECT COUNT(*) FROM frames").fetchone()[0]
    if rows > len(lines):
        extra = [r[0] for r in database.db.execute("SELECT record FROM frames ORDER BY id LIMIT -1 OFFSET ?",
                                                    (len(lines),))]
        with open(path, "a", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in extra))
            f.flush()
            os.fsync(f.fileno())
    for _, value in lines[rows:]:
        try:
            if isinstance(value, DamagedLine):
                raise value
            record = Record.from_json(value)
        except DamagedLine:
            continue                       # named by the command that reads the file
        database.add(record, Times(None, None))


def mend(outdir: str) -> None:
    """Reconcile a folder's two records before reading what it holds."""
    database = Database(outdir)
    try:
        reconcile(outdir, database)
    finally:
        database.close()


class Recorded(Results):
    """results.jsonl with the pictures, and the database: a frame is kept
    by writing its pictures, its rows (one transaction) and its line, in
    that order."""

    def __init__(self, outdir: str):
        super().__init__(outdir)
        self.database = Database(outdir)
        reconcile(outdir, self.database)

    def keep(self, record, pictures, times: Optional[Times] = None, file_id: Optional[str] = None):
        from .files import write_atomic

        for name, data in pictures.items():
            write_atomic(os.path.join(self.outdir, name), data)
        self.database.add(record, times or Times(None, time.time()), file_id)
        self.add([record.line()])

    def close(self):
        super().close()
        self.database.close()


# --- reading ------------------------------------------------------------------------

def rows(outdir: str, since: Optional[float] = None, until: Optional[float] = None) -> Iterator[sqlite3.Row]:
    """The frames judged in [since, until), in the order they were recorded
    (frames with no judged time only when no bound is given)."""
    db = connect(outdir, readonly=True)
    try:
        where, args = [], []
        if since is not None:
            where.append("judged >= ?")
            args.append(since)
        if until is not None:
            where.append("judged < ?")
            args.append(until)
        sql = "SELECT * FROM frames" + (" WHERE " + " AND ".join(where) if where else "") + " ORDER BY id"
        yield from db.execute(sql, args)
    finally:
        db.close()


def timeline(outdir: str, most: int = 120) -> list:
    """Frames and rejects over judged time in at most `most` buckets:
    [(bucket start, frames, rejects, not inspected)], or [] without times."""
    if not os.path.exists(os.path.join(outdir, DATABASE)):
        return []
    db = connect(outdir, readonly=True)
    try:
        return buckets(db, None, most)
    finally:
        db.close()


STEPS = (10, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400, 28800, 86400)


def buckets(db: sqlite3.Connection, since: Optional[float], most: int) -> list:
    lo, hi = db.execute("SELECT MIN(judged), MAX(judged) FROM frames WHERE judged IS NOT NULL"
                        + (" AND judged >= ?" if since is not None else ""),
                        () if since is None else (since,)).fetchone()
    if lo is None:
        return []
    if since is not None:
        lo = since
    step = next((s for s in STEPS if (hi - lo) / s < most), STEPS[-1] * (1 + int((hi - lo) / STEPS[-1] / most)))
    first = int(lo // step)
    counted = {b: (n, r, e) for b, n, r, e in db.execute(
        "SELECT CAST(judged / ? AS INTEGER) AS b, COUNT(*), SUM(status = 'reject'), SUM(status = 'error')"
        " FROM frames WHERE judged >= ? GROUP BY b", (step, first * step))}
    last = int(hi // step)
    return [(b * step, *counted.get(b, (0, 0, 0))) for b in range(first, last + 1)]

"""The live page of an output folder: counts and reject rate for the last
15 minutes and the shift (everything in the folder), frames and rejects
over time, counts by defect kind, the last rejects with their marked
pictures, the recipe. It updates itself through server-sent events.

    watch --http 127.0.0.1:8080     beside a watch, in a thread of its own
    serve OUTDIR --http ...         for a folder another process writes

FastAPI on uvicorn. What the page shows is read from results.sqlite, so the
server needs nothing from the watch but the folder: one poller looks for new
rows a few times a second and makes one summary, of a bounded size, that
every open page receives; a page that falls behind gets only the newest.
Files are served from the output folder and nowhere else.
"""
import asyncio
import json
import os
import socket
import sqlite3
import threading
import time
from typing import Optional

from .database import DATABASE, buckets, connect
from .reject_signal import parse_address

WINDOW = 15 * 60                # seconds of "the last 15 minutes"
POLL = 0.25                     # seconds between looks at the database
REFRESH = 10.0                  # seconds after which the window moves on even with no new frame
HEARTBEAT = 15.0                # seconds between keep-alive comments on an idle stream
LAST_REJECTS = 12
TEMPLATE = "live.html.j2"
DEFAULT_ADDRESS = "127.0.0.1:8080"


def _part(rows):
    out = {"frames": 0, "pass": 0, "reject": 0, "error": 0, "late": 0}
    for status, n, late in rows:
        out[status] = out.get(status, 0) + n
        out["frames"] += n
        out["late"] += late or 0
    out["reject_rate"] = round(out["reject"] / out["frames"], 4) if out["frames"] else None
    return out


def summary(db: sqlite3.Connection, now: Optional[float] = None) -> dict:
    """What the page shows, from the database as it is now."""
    from .charts import bucket_words, rate_svg

    now = time.time() if now is None else now
    since = now - WINDOW
    shift = _part(db.execute("SELECT status, COUNT(*), SUM(late) FROM frames GROUP BY status"))
    window = _part(db.execute("SELECT status, COUNT(*), SUM(late) FROM frames WHERE judged >= ? GROUP BY status",
                              (since,)))
    first, last_id = db.execute("SELECT MIN(judged), MAX(id) FROM frames").fetchone()
    span = min(WINDOW, max(1.0, now - first)) if first is not None else WINDOW
    window["per_minute"] = round(60.0 * window["frames"] / span, 1)
    kinds = {}
    for kind, n in db.execute("SELECT kind, COUNT(DISTINCT frame_id) FROM defects GROUP BY kind"):
        kinds[kind] = {"kind": kind, "shift": n, "window": 0}
    for kind, n in db.execute("SELECT d.kind, COUNT(DISTINCT d.frame_id) FROM defects d JOIN frames f "
                              "ON f.id = d.frame_id WHERE f.judged >= ? GROUP BY d.kind", (since,)):
        kinds.setdefault(kind, {"kind": kind, "shift": 0, "window": 0})["window"] = n
    rejects = []
    for row in db.execute("SELECT id, frame, judged, marked, thumb, late FROM frames WHERE status = 'reject' "
                          "ORDER BY id DESC LIMIT ?", (LAST_REJECTS,)):
        found = [k for (k,) in db.execute("SELECT DISTINCT kind FROM defects WHERE frame_id = ? ORDER BY n",
                                          (row["id"],))]
        rejects.append({"id": row["id"], "frame": os.path.basename(row["frame"]), "marked": row["marked"],
                        "thumb": row["thumb"] or row["marked"], "kinds": ", ".join(found), "late": bool(row["late"]),
                        "judged": time.strftime("%H:%M:%S", time.localtime(row["judged"])) if row["judged"] else ""})
    timeline = buckets(db, None, 120)
    return {"now": now, "last_id": last_id or 0, "window": window, "shift": shift,
            "kinds": sorted(kinds.values(), key=lambda k: (-k["shift"], k["kind"])), "rejects": rejects,
            "chart": rate_svg(timeline), "chart_words": bucket_words(timeline) if timeline else ""}


class Feed:
    """The newest summary and its number, made by one poller for every
    page; each page waits for a number it has not sent."""

    def __init__(self, outdir: str):
        self.outdir = outdir
        self.db = None
        self.lock = threading.Lock()
        self.version = 0
        self.latest = None
        self.seen = (None, 0.0)
        self.changed = None             # asyncio.Condition, made inside the loop
        self.closing = threading.Event()

    def _look(self) -> bool:
        """Make a new summary when the database changed (or the window
        moved on); whether one was made."""
        with self.lock:
            if self.db is None:
                if not os.path.exists(os.path.join(self.outdir, DATABASE)):
                    if self.latest is None:
                        self.latest = json.dumps(empty_summary())
                        return True
                    return False
                self.db = connect(self.outdir, readonly=True)
            mark = self.db.execute("SELECT MAX(id), COUNT(*) FROM frames").fetchone()
            mark = tuple(mark)
            if mark == self.seen[0] and time.monotonic() - self.seen[1] < REFRESH and self.latest is not None:
                return False
            self.seen = (mark, time.monotonic())
            self.latest = json.dumps(summary(self.db))
            return True

    async def run(self):
        self.changed = asyncio.Condition()
        while not self.closing.is_set():
            try:
                made = await asyncio.get_running_loop().run_in_executor(None, self._look)
            except sqlite3.Error:
                made = False            # a writer mid-checkpoint, say: look again next time
            if made:
                async with self.changed:
                    self.version += 1
                    self.changed.notify_all()
            await asyncio.sleep(POLL)
        async with self.changed:
            self.changed.notify_all()           # open streams end now

    async def wait(self, after: int, timeout: float) -> int:
        async with self.changed:
            try:
                await asyncio.wait_for(self.changed.wait_for(lambda: self.version != after or self.closing.is_set()),
                                       timeout)
            except asyncio.TimeoutError:
                pass
            return self.version

    async def messages(self, heartbeat: float = HEARTBEAT):
        """One page's event stream: each new summary once, a comment when
        there has been none for `heartbeat` seconds."""
        # Version 0 is "no summary yet": a page that opens before the first
        # one waits for it instead of being sent comments in a tight loop.
        sent = 0
        while not self.closing.is_set():
            version = await self.wait(sent, heartbeat)
            if self.closing.is_set():
                break
            if version != sent and self.latest is not None:
                sent = version
                yield "data: %s\n\n" % self.latest
            else:
                yield ": still here\n\n"

    def close(self):
        self.closing.set()
        with self.lock:
            if self.db is not None:
                self.db.close()
                self.db = None


def empty_summary():
    part = {"frames": 0, "pass": 0, "reject": 0, "error": 0, "late": 0, "reject_rate": None}
    return {"now": time.time(), "last_id": 0, "window": dict(part, per_minute=0.0), "shift": part, "kinds": [],
            "rejects": [], "chart": "", "chart_words": ""}


def inside(outdir: str, path: str) -> Optional[str]:
    """The file `path` names under `outdir`, or None when it lies outside
    (.., an absolute path, a link leading out) or is no file."""
    root = os.path.realpath(outdir)
    full = os.path.realpath(os.path.join(root, path))
    if os.path.commonpath([root, full]) != root or full == root or not os.path.isfile(full):
        return None
    return full


def make_app(outdir: str):
    """The FastAPI application of the live page of `outdir`."""
    from fastapi import FastAPI, HTTPException
    from fastapi.responses import FileResponse, HTMLResponse, JSONResponse, StreamingResponse

    feed = Feed(outdir)
    app = FastAPI(title="qel-inspect live page", docs_url=None, redoc_url=None, openapi_url=None)
    app.state.feed = feed

    @app.on_event("startup")
    async def start_feed():
        app.state.poller = asyncio.create_task(feed.run())

    @app.on_event("shutdown")
    async def stop_feed():
        feed.close()

    @app.get("/", response_class=HTMLResponse)
    def page():
        return HTMLResponse(render_page(outdir))

    @app.get("/summary")
    def current():
        return JSONResponse(json.loads(feed.latest) if feed.latest else empty_summary())

    @app.get("/events")
    async def events():
        return StreamingResponse(feed.messages(), media_type="text/event-stream",
                                 headers={"Cache-Control": "no-store", "X-Accel-Buffering": "no"})

    @app.get("/files/{path:path}")
    def files(path: str):
        full = inside(outdir, path)
        if full is None:
            raise HTTPException(status_code=404, detail="no such file in the output folder")
        return FileResponse(full, headers={"Cache-Control": "no-cache"})

    return app


def render_page(outdir: str) -> str:
    from .outdir import read_header
    from .report import _environment, _recipe_rows
    from .run import RUN

    head = read_header(outdir, RUN) or {}
    settings = head.get("recipe") or {}
    recipe_file = head.get("recipe_file")
    return _environment().get_template(TEMPLATE).render(
        title=os.path.basename(recipe_file) if recipe_file else os.path.basename(os.path.abspath(outdir)),
        folder=head.get("watch") or "", outdir=os.path.abspath(outdir),
        recipe=_recipe_rows(settings) if settings else [], window_minutes=WINDOW // 60)


class Server:
    """uvicorn serving the live page in a thread of its own."""

    def __init__(self, outdir: str, address: str):
        import uvicorn

        host, port = parse_address(address, "--http", 8080)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.sock.bind((host, port))
        except OSError as e:
            self.sock.close()
            from .errors import UsageError
            raise UsageError("cannot serve the live page on %s (%s)" % (address, e.strerror or e))
        self.host, self.port = self.sock.getsockname()[:2]
        self.app = make_app(outdir)
        config = uvicorn.Config(self.app, log_level="warning", access_log=False, lifespan="on", loop="asyncio",
                                http="h11")
        self.server = uvicorn.Server(config)

    @property
    def url(self) -> str:
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "http://%s:%d/" % (host, self.port)

    def run(self) -> None:
        """Serve until stopped (in the calling thread)."""
        self.server.run(sockets=[self.sock])

    def stop(self) -> None:
        # Open event streams end first, or the server would wait for them.
        self.app.state.feed.closing.set()
        self.server.should_exit = True
        if getattr(self, "thread", None) is not None:
            self.thread.join(10)


def serve_in_thread(outdir: str, address: str, log) -> Server:
    server = Server(outdir, address)
    server.thread = threading.Thread(target=server.run, daemon=True, name="qel-inspect-live-page")
    server.thread.start()
    log("live page: %s" % server.url)
    return server

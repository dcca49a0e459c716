"""qel-inspect tune: the comparison settings of a recipe (threshold,
max_shift, dirty_width) chosen on frames labelled good and bad.

Every frame is aligned once (finding the bars, measuring and correcting the
tilt and the alignment depend on the frame and the recipe's other keys
only) and judged under every setting of a grid, in the same worker task
(tasks.sweep). Each frame's verdicts are appended to tuning.jsonl, one line
a setting, before anything is summed up.

Counting, per setting: a false reject is a good frame rejected or not
inspectable; a false accept is a bad frame passed. A bad frame that cannot
be inspected is neither: the station does not pass a frame it cannot
inspect, so it is counted apart. The chosen setting has no false accept and
the fewest false rejects; among equals, the one farthest from the nearest
setting with a false accept (grid steps, each axis scaled to length 1), then
the one nearest the recipe's own values.
"""
import difflib
import itertools
import json
import math
import os
import sys
from dataclasses import dataclass, field

from . import executors, images, outdir as folders, pipeline, propose, sources, tasks
from .driver import Stop, Task, drive
from .errors import UsageError
from .files import write_atomic
from .pictures import marked_pictures
from .progress import Progress
from .records import read_jsonl, tell_damaged
from .sinks import JsonLines
from .status import Status
from .terminal import safe

AXES = ("threshold", "max_shift", "dirty_width")
LIMITS = {"threshold": (0, 254), "max_shift": (0, 50), "dirty_width": (1, 1000)}
MOST_SETTINGS = 5000
LISTED = 20             # misjudged frames named on the terminal; the tuning page has them all
PICTURED = 200          # misjudged frames drawn on the tuning page; the rest are named
TUNING, TUNE = "tuning.jsonl", "tune.json"
TUNING_PAGE, TUNING_PLOT, TUNING_CSV = "tuning.html", "tuning.png", "tuning.csv"


class GridError(UsageError):
    """A --grid that cannot be used; str() is the one-line message."""


# --- the grid ------------------------------------------------------------------------

def _whole(axis, text):
    try:
        return int(text)
    except ValueError:
        raise GridError("--grid %s: not a whole number: %r" % (axis, text))


def _values(axis, token):
    """One item of an axis: N, LO:HI or LO:HI:STEP (HI included). The
    numbers are checked against the axis's limits before a range is
    expanded, so a mistyped bound costs nothing."""
    parts = token.split(":")
    if len(parts) not in (1, 2, 3):
        raise GridError("--grid %s: %r is neither a number nor LO:HI:STEP" % (axis, token))
    numbers = [_whole(axis, p) for p in parts]
    least, most = LIMITS[axis]
    for v in numbers[:2]:
        if not least <= v <= most:
            raise GridError("--grid %s: %d is outside %d..%d" % (axis, v, least, most))
    if len(parts) == 1:
        return numbers
    lo, hi = numbers[:2]
    step = numbers[2] if len(parts) == 3 else 1
    if step < 1:
        raise GridError("--grid %s: the step of %s must be 1 or more" % (axis, token))
    if lo > hi:
        raise GridError("--grid %s: %s runs backwards (write LO:HI:STEP with LO <= HI)" % (axis, token))
    return list(range(lo, hi + 1, step))


def parse_grid(texts, base):
    """The grid: `base` ({axis: values}) with the axes the --grid texts
    set. A text is AXIS=VALUES, several separated by commas or semicolons;
    VALUES is a comma list of numbers and LO:HI:STEP ranges (HI included):
    "threshold=40:80:10,max_shift=1,2,3" or "dirty_width=5:9:2,12"."""
    grid = {a: list(v) for a, v in base.items()}
    given = set()
    for text in texts:
        axis = None
        for token in text.replace(";", ",").split(","):
            token = token.strip()
            if "=" in token:
                axis, _, token = (t.strip() for t in token.partition("="))
                if axis not in AXES:
                    close = difflib.get_close_matches(axis, AXES, n=1)
                    raise GridError("--grid: unknown axis %r (%s)" % (
                        axis, "did you mean '%s'?" % close[0] if close else "the axes are " + ", ".join(AXES)))
                if axis in given:
                    raise GridError("--grid: %s is given twice" % axis)
                given.add(axis)
                grid[axis] = []
            elif axis is None:
                raise GridError("--grid %r: start with an axis, as in threshold=40:80:10" % text)
            if not token:
                raise GridError("--grid %s: a value is missing in %r" % (axis, text))
            grid[axis] += _values(axis, token)
    grid = {a: sorted(set(grid[a])) for a in AXES}
    count = math.prod(len(v) for v in grid.values())
    if count > MOST_SETTINGS:
        raise GridError("--grid: %d settings are too many (at most %d); use coarser steps" % (count, MOST_SETTINGS))
    return grid


def measure(recipe, standard):
    """(module width, bar/space contrast) of the standard, measured as the
    recipe proposal measures them; None for what cannot be measured."""
    work = pipeline.to_work(standard.image, recipe.polarity)
    lines = []
    try:
        with pipeline.captured(lines):
            contours, threshold = pipeline.detect_bars(work, recipe.aoi, recipe.bars)
        bars = [propose.describe(c + [recipe.aoi[0], recipe.aoi[1]]) for c in contours]
        module = propose.module_width(bars) if len(bars) >= 2 else None
        bar, space = propose.levels(work, threshold, bars) if bars else (0.0, 0.0)
        contrast = bar - space if bar > space else None
    except (ValueError, ZeroDivisionError):
        return None, None
    return module, contrast


def default_grid(recipe, standard):
    """The grid around the recipe's values, with steps from the standard's
    module width m and contrast C (see the README): threshold in steps of
    about 0.1 C, two either side; max_shift one either side, kept below m;
    dirty_width in steps of about m/3, one below and two above. Returns
    (grid, module, contrast); where the standard cannot be measured, m and
    C are taken back from the recipe's own values."""
    module, contrast = measure(recipe, standard)
    m = module or max(2 * recipe.max_shift, recipe.dirty_width / 1.25, 2)
    c = contrast or max(recipe.threshold / 0.4, 20)
    t_step = max(2, round(0.1 * c))
    thresholds = [recipe.threshold + k * t_step for k in range(-2, 3)]
    top = max(recipe.max_shift, math.ceil(m) - 1, 1)
    shifts = [s for s in range(recipe.max_shift - 1, recipe.max_shift + 2) if (s >= 1 or recipe.max_shift == 0) and s <= top]
    d_step = max(1, round(m / 3))
    widths = [recipe.dirty_width + k * d_step for k in range(-1, 3)]
    grid = {"threshold": thresholds, "max_shift": shifts, "dirty_width": widths}
    grid = {a: sorted({min(max(v, LIMITS[a][0]), LIMITS[a][1]) for v in vs}) for a, vs in grid.items()}
    return grid, module, contrast


def settings_of(grid):
    """Every (threshold, max_shift, dirty_width) of the grid."""
    return list(itertools.product(grid["threshold"], grid["max_shift"], grid["dirty_width"]))


def setting_of(record):
    return (record["threshold"], record["max_shift"], record["dirty_width"])


# --- the sweep -----------------------------------------------------------------------

def sweep_task(settings, labels):
    """The task kind of a tuning: every setting's line of one frame."""
    return Task(fn=tasks.sweep,
                args=lambda frame, data: (frame.key, frame.shown, labels[frame.key], settings, data),
                failed=lambda frame, reason: [
                    {"key": frame.key, "frame": frame.shown, "label": labels[frame.key], "threshold": t,
                     "max_shift": s, "dirty_width": d, "status": Status.ERROR.value, "defects": 0, "reason": reason}
                    for t, s, d in settings])


def _damage(line):
    """Why a line of tuning.jsonl cannot be used, or None."""
    if not isinstance(line, dict):
        return "not a line of a tuning (a JSON %s)" % type(line).__name__
    for k in ("key", "frame"):
        if not isinstance(line.get(k), str):
            return "no '%s'" % k
    for k in AXES + ("defects",):
        if not isinstance(line.get(k), int) or isinstance(line.get(k), bool):
            return "'%s' is not a whole number" % k
    if line.get("status") not in {s.value for s in Status}:
        return "unknown status %r" % (line.get("status"),)
    return None


def _read(outdir, repair=False, damaged=None):
    """The usable lines of tuning.jsonl; `damaged`, a list, receives (line
    number, reason) for each of the others."""
    out = []
    for n, value in read_jsonl(os.path.join(outdir, TUNING), repair):
        why = str(value) if isinstance(value, Exception) else _damage(value)
        if why is None:
            out.append(value)
        elif damaged is not None:
            damaged.append((n, why))
    return out


def sweep(recipe, frames, labels, grid, outdir, workers=None, scheduler=None, resume=False, progress_stream=None):
    """Judge every frame (a list of sources.Frame) under every setting of
    `grid`; `labels` maps each frame's key to "good" or "bad". The lines
    stream into OUTDIR/tuning.jsonl. Returns (lines, stopped)."""
    settings = settings_of(grid)
    job = tasks.make_job(recipe)
    header = {"recipe": recipe.settings(), "recipe_file": os.path.abspath(recipe.path) if recipe.path else None,
              "grid": grid, "labels": {f.key: labels[f.key] for f in frames}}
    executor = executors.reach(job, scheduler)
    try:
        resumed = folders.start(outdir, TUNE, header, (TUNING, TUNING_CSV, TUNING_PAGE, TUNING_PLOT), resume,
                                ("recipe", "grid", "labels"), "%s holds a tuning with another recipe, grid or frames; "
                                "give another folder or leave out --resume")
        damaged = []
        earlier = _read(outdir, repair=True, damaged=damaged) if resumed else []
        tell_damaged(os.path.join(outdir, TUNING), damaged)
        folders.write_header(outdir, TUNE, header, True)
    except BaseException:
        if executor is not None:
            executor.stop()
        raise
    have = {}
    for r in earlier:
        have.setdefault(r["key"], set()).add(setting_of(r))
    done = {k for k, got in have.items() if got >= set(settings)}
    todo = [f for f in frames if f.key not in done]
    executor = executor or executors.open_executor(job, workers, None, len(todo))
    progress = Progress(len(frames), len(frames) - len(todo), progress_stream, desc="tuning")
    stop = Stop()
    try:
        with JsonLines(os.path.join(outdir, TUNING)) as out, stop:
            for frame, lines in drive(todo, executor, sweep_task(settings, labels), stop):
                if frame.key in done:
                    continue                # a frame finished twice is recorded once
                done.add(frame.key)
                out.add([json.dumps(r, ensure_ascii=False) + "\n" for r in lines])
                all_failed = all(r["status"] == Status.ERROR for r in lines)
                progress.update(Status.ERROR if all_failed else Status.PASS)
    except KeyboardInterrupt:
        stop.asked = True
    finally:
        progress.close()
    stop.tell()
    folders.write_header(outdir, TUNE, header, stop.asked)
    return _read(outdir), stop.asked


# --- the choice ----------------------------------------------------------------------

@dataclass
class Row:
    setting: tuple                  # (threshold, max_shift, dirty_width)
    index: tuple                    # its place on each axis
    false_rejects: list             # keys of good frames rejected or not inspectable
    false_accepts: list             # keys of bad frames passed
    bad_errors: list                # keys of bad frames not inspectable
    margin: float = 0.0             # distance to the nearest setting with a false accept
    nearest: int = None             # that setting's row


@dataclass
class Summary:
    grid: dict
    rows: list
    good: list                      # keys
    bad: list
    current: tuple                  # the recipe's own setting
    chosen: int = None              # row of the chosen setting, None when every one has a false accept
    shown: int = None               # row whose misjudged frames are shown: the chosen, or the least bad
    verdicts: dict = field(default_factory=dict)   # (key, setting) -> record
    frames: dict = field(default_factory=dict)     # key -> shown name
    module: float = None
    contrast: float = None


def _distance(a, b, grid):
    return math.sqrt(sum(((i - j) / max(1, len(grid[axis]) - 1)) ** 2 for axis, i, j in zip(AXES, a, b)))


def summarise(records, labels, grid, current):
    """Count, per setting, and choose (see the module's text). Every frame
    must have a record under every setting (a complete sweep)."""
    settings = settings_of(grid)
    verdicts = {(r["key"], setting_of(r)): r for r in records}
    frames = {r["key"]: r["frame"] for r in records}
    good = sorted(k for k, v in labels.items() if v == "good")
    bad = sorted(k for k, v in labels.items() if v == "bad")
    rows = []
    for s in settings:
        index = tuple(grid[a].index(v) for a, v in zip(AXES, s))
        status = {k: verdicts[(k, s)]["status"] for k in labels}
        rows.append(Row(s, index, [k for k in good if status[k] != Status.PASS],
                        [k for k in bad if status[k] == Status.PASS], [k for k in bad if status[k] == Status.ERROR]))
    failing = [i for i, r in enumerate(rows) if r.false_accepts]
    for row in rows:
        if row.false_accepts:
            continue
        if not failing:
            row.margin = math.inf
            continue
        row.nearest = min(failing, key=lambda i: _distance(row.index, rows[i].index, grid))
        row.margin = _distance(row.index, rows[row.nearest].index, grid)
    summary = Summary(grid, rows, good, bad, current, verdicts=verdicts, frames=frames)
    safe = [i for i, r in enumerate(rows) if not r.false_accepts]
    if safe:
        summary.chosen = summary.shown = min(safe, key=lambda i: (
            len(rows[i].false_rejects), -rows[i].margin, _closeness(rows[i].setting, current, grid), rows[i].setting))
    else:
        summary.shown = min(range(len(rows)), key=lambda i: (
            len(rows[i].false_accepts), len(rows[i].false_rejects), rows[i].setting))
    return summary


def _closeness(setting, current, grid):
    """How far a setting is from the recipe's own, each axis scaled by the
    grid's extent along it."""
    return math.sqrt(sum(((v - c) / ((grid[a][-1] - grid[a][0]) or 1)) ** 2
                         for a, v, c in zip(AXES, setting, current)))


def named(setting):
    return "threshold %d, max_shift %d, dirty_width %d" % setting


def margin_words(summary):
    """The chosen setting's margin in plain words."""
    row = summary.rows[summary.chosen]
    if row.nearest is None:
        return ("no setting of the grid lets a bad frame through, so the margin reaches past the grid's edges "
                "(widen the grid to find where bad frames start to pass)")
    near = summary.rows[row.nearest]
    passed = len(near.false_accepts)
    steps = sum(abs(j - i) for i, j in zip(row.index, near.index))
    tight = " (little margin: the next grid step lets a bad frame through)" if steps == 1 else ""
    return ("the nearest setting that lets a bad frame through lies %s (%s: %d bad frame%s passed); "
            "distance %.2f, where 1 is the whole length of one axis of the grid%s"
            % (_moves(row, near), named(near.setting), passed, "" if passed == 1 else "s", row.margin, tight))


def _moves(a, b):
    out = []
    for axis, i, j in zip(AXES, a.index, b.index):
        if i != j:
            n = abs(j - i)
            out.append("%d %s step%s %s" % (n, axis, "" if n == 1 else "s", "up" if j > i else "down"))
    return " and ".join(out)


def reject_words(summary):
    """How near the chosen setting the grid starts rejecting more good
    frames, in plain words: the rule prefers distance from false accepts,
    so the other side is worth knowing."""
    row = summary.rows[summary.chosen]
    worse = [i for i, r in enumerate(summary.rows) if len(r.false_rejects) > len(row.false_rejects)]
    if not worse:
        return "no setting of the grid rejects more good frames"
    near = summary.rows[min(worse, key=lambda i: _distance(row.index, summary.rows[i].index, summary.grid))]
    more = len(near.false_rejects) - len(row.false_rejects)
    return "the nearest setting that rejects more good frames lies %s (%s: %d more)" % (
        _moves(row, near), named(near.setting), more)


def edge_words(summary):
    """Where the chosen setting sits on the grid's edge, in plain words
    ("" when it does not). Lower values of every axis are stricter."""
    row = summary.rows[summary.chosen]
    low, high = [], []
    for axis, i in zip(AXES, row.index):
        n = len(summary.grid[axis])
        if n > 1 and i == 0:
            low.append(axis)
        elif n > 1 and i == n - 1:
            high.append(axis)
    parts = []
    if low:
        parts.append("%s at %s lowest, where stricter values may reject good frames"
                     % (" and ".join(low), "its" if len(low) == 1 else "their"))
    if high:
        parts.append("%s at %s highest, where looser values may pass bad frames"
                     % (" and ".join(high), "its" if len(high) == 1 else "their"))
    if not parts:
        return ""
    return "it lies on the edge of the grid (%s): extend the grid there to see" % "; ".join(parts)


def grid_words(grid):
    out = []
    for axis in AXES:
        v = grid[axis]
        steps = {b - a for a, b in zip(v, v[1:])}
        if len(v) > 2 and len(steps) == 1:
            out.append("%s %d..%d step %d" % (axis, v[0], v[-1], steps.pop()))
        else:
            out.append("%s %s" % (axis, ", ".join(str(x) for x in v)))
    return "; ".join(out)


def describe(summary):
    """The summary for the terminal, as lines."""
    n = len(summary.rows)
    safe = [r for r in summary.rows if not r.false_accepts]
    lines = ["%d setting%s (%s) on %d good and %d bad frames" % (
        n, "" if n == 1 else "s", grid_words(summary.grid), len(summary.good), len(summary.bad))]
    if summary.chosen is None:
        row = summary.rows[summary.shown]
        lines.append("NO setting of the grid passes no bad frame: the fewest false accepts, %d of %d, are at %s"
                     % (len(row.false_accepts), len(summary.bad), named(row.setting)))
        always = [k for k in summary.bad if all(k in r.false_accepts for r in summary.rows)]
        for k in always:
            lines.append("  passed under every setting: %s" % summary.frames[k])
        lines.append("check the labels of those frames, or widen the grid (lower threshold or dirty_width, "
                     "smaller max_shift)")
        return lines
    row = summary.rows[summary.chosen]
    same = " (the recipe's own)" if row.setting == summary.current else " (the recipe has %s)" % named(summary.current)
    lines.append("chosen: %s%s" % (named(row.setting), same))
    lines.append("  false rejects %d of %d good frames, false accepts 0 of %d bad frames"
                 % (len(row.false_rejects), len(summary.good), len(summary.bad)))
    lines.append("  margin: " + margin_words(summary))
    lines.append("  on the other side, " + reject_words(summary))
    if edge_words(summary):
        lines.append("  " + edge_words(summary))
    clean = sum(not r.false_rejects for r in safe)
    lines.append("  %d of %d setting%s pass%s no bad frame; %d of them reject%s no good frame either"
                 % (len(safe), n, "" if n == 1 else "s", "es" if n == 1 else "", clean, "s" if clean == 1 else ""))
    for k in row.false_rejects[:LISTED]:
        r = summary.verdicts[(k, row.setting)]
        what = r["reason"] if r["status"] == Status.ERROR else "rejected, %d defect%s, largest %d px" % (
            r["defects"], "" if r["defects"] == 1 else "s", r.get("largest", 0))
        lines.append("  false reject  %s: %s" % (summary.frames[k], what))
    if len(row.false_rejects) > LISTED:
        lines.append("  ... and %d more on the tuning page" % (len(row.false_rejects) - LISTED))
    if row.bad_errors:
        lines.append("  %d bad frame%s could not be inspected (counted as neither: the station passes no frame it "
                     "cannot inspect)" % (len(row.bad_errors), "" if len(row.bad_errors) == 1 else "s"))
    return lines


# --- frames and pictures -------------------------------------------------------------

def labelled(good, bad, outdir):
    """(frames, labels) of the --good and --bad targets; UsageError for a
    frame labelled both ways."""
    good_keys = {f.key for f in sources.open_source(good, outdir)}
    bad_keys = {f.key for f in sources.open_source(bad, outdir)}
    frames = list(sources.open_source(list(good) + list(bad), outdir))
    both = [f for f in frames if f.key in good_keys and f.key in bad_keys]
    if both:
        raise UsageError("%s is labelled both good and bad" % both[0].shown)
    return frames, {f.key: "good" if f.key in good_keys else "bad" for f in frames}


def misjudged(summary, recipe, standard, frames, outdir):
    """The frames misjudged under the shown setting (good ones rejected or
    not inspectable, bad ones passed), each inspected again here as `run`
    would under that setting, with its marked picture written into OUTDIR
    (the frame as captured when nothing was found; the first PICTURED
    frames). Returns one dict a frame for the tuning page."""
    row = summary.rows[summary.shown]
    threshold, max_shift, dirty_width = row.setting
    by_key = {f.key: f for f in frames}
    out = []
    for n, key in enumerate(row.false_rejects + row.false_accepts):
        frame = by_key[key]
        swept = summary.verdicts[(key, row.setting)]
        entry = {"frame": frame.shown, "label": "good" if key in row.false_rejects else "bad",
                 "status": swept["status"], "reason": swept.get("reason"), "defects": [], "marked": None,
                 "thumb": None}
        out.append(entry)
        if n >= PICTURED:
            continue
        try:
            limit = images.frame_limit(recipe.max_frame_pixels, standard.image.shape, recipe.label is not None)
            image = pipeline.read_frame(key, limit)
        except pipeline.InspectionError:
            continue
        got = pipeline.inspect(standard, image, max_shift, threshold, dirty_width, recipe.min_match_score)
        if got.status != swept["status"]:
            print(safe("qel-inspect: %s: %s when inspected again, %s in the sweep"
                       % (frame.shown, got.status.value, swept["status"])), file=sys.stderr)
        entry["defects"] = got.defects
        h, w = image.shape[:2]
        marks = [d.box_frame for d in got.defects] or [[0, 0, w, h]]
        pictures = marked_pictures(image, got.defects, frame.marked, marks)
        for name, data in pictures.items():
            write_atomic(os.path.join(outdir, name), data)
        entry["marked"], entry["thumb"] = pictures.keys()
    return out

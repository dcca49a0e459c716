"""Printhead streaks: lines of lost ink (a dead element of a thermal head)
or of added ink (a dirty one) running in the print direction through the
printed label. The aligned frame is compared with the standard, which has
the label's designed features, along lines in the print direction: a line
whose ink falls short of the standard's (at its own place and at every
shift up to `max_shift`) by more than `min_depth` of the print's contrast,
over at least `min_share` of the printed length it crosses and in at least
`min_elements` printed elements, is a streak; added ink is looked for the
same way over the unprinted length. A streak runs the print's whole
length: its faulty stretch reaches both ends of what can show it (a bar
printed too thick adds ink beside it only as far as the bar goes).
Adjacent lines make one streak, one defect `printhead streak` each, with
its position across the head, its length and how much ink it took away
(or added): the deepest line's share of the contrast and, over the whole
streak, pixels of full ink.

    [streaks]
    direction = "across"       # the print direction relative to the bars: "across" (ladder) or "along"
    dots_per_mm = 8.0          # the head's resolution (203 dpi), for the dot index
    px_per_mm = 10.0           # the camera's, for millimetres (by default the recipe's)
    head_origin = 0            # where dot 0 starts, pixels of the standard across the head
    min_depth = 0.12           # share of the contrast a line must lose (or gain)
    min_share = 0.5            # share of the printed (unprinted) length it must show on
    min_elements = 3           # printed (unprinted) stretches it must run through
    max_shift = 1              # misregistration forgiven, pixels

`close_gaps` is for bar finding: a dead element printing across the bars
cuts every bar in two, and bar finding must see the bars whole.
"""
import math
from dataclasses import dataclass
from typing import Optional

import cv2
import numpy as np

from .. import symbol, validate
from . import Findings, defect

NAME = "streaks"
KIND = "printhead streak"
DIRECTIONS = ("across", "along")
KEYS = ("direction", "dots_per_mm", "px_per_mm", "head_origin", "min_depth", "min_share", "min_elements",
        "max_shift")


@dataclass(frozen=True)
class Settings:
    direction: str = "across"
    dots_per_mm: Optional[float] = None
    px_per_mm: Optional[float] = None
    head_origin: float = 0.0
    min_depth: float = 0.12
    min_share: float = 0.5
    min_elements: Optional[int] = None      # 3 across the bars, 1 along them (a streak runs inside one bar)
    max_shift: int = 1

    @property
    def elements(self) -> int:
        if self.min_elements is not None:
            return self.min_elements
        return 3 if self.direction == "across" else 1


def parse(table):
    validate.only(NAME, table, KEYS)
    optional = {k: validate.number(k, table[k], 0.01) for k in ("dots_per_mm", "px_per_mm") if k in table}
    return Settings(
        validate.choice("direction", table.get("direction", "across"), DIRECTIONS),
        optional.get("dots_per_mm"), optional.get("px_per_mm"),
        validate.number("head_origin", table.get("head_origin", 0.0)),
        validate.number("min_depth", table.get("min_depth", Settings.min_depth), 0.01, 1.0),
        validate.number("min_share", table.get("min_share", 0.5), 0.01, 1.0),
        validate.whole("min_elements", table["min_elements"], 1) if "min_elements" in table else None,
        validate.whole("max_shift", table.get("max_shift", 1), 0, 10))


def close_gaps(work: np.ndarray, width: float, direction: str = "across") -> np.ndarray:
    """The work image (bars bright) with streaks up to `width` pixels wide
    taken out before bars are found: dark gaps bridged and thin bright
    lines removed, in the direction a streak crosses the bars (along the
    bars for a head printing across them; across the bars for one printing
    along them, where `width` must stay below the narrowest bar and space).
    A dead element cuts every bar in two on a dark-on-light print and joins
    them on a knock-out one; a dirty one does the opposite. For bar finding
    only: the comparison must still see the streaks."""
    k = int(math.ceil(width)) + 2
    shape = (k, 1) if direction == "across" else (1, k)        # (columns, rows)
    kernel = cv2.getStructuringElement(cv2.MORPH_RECT, shape)
    return cv2.morphologyEx(cv2.morphologyEx(work, cv2.MORPH_OPEN, kernel), cv2.MORPH_CLOSE, kernel)


def bridge_width(dots: int = 2, dots_per_mm: float = 8.0, px_per_mm: float = 10.0) -> float:
    """Pixels a streak of `dots` dead elements covers."""
    return dots * px_per_mm / dots_per_mm


@dataclass
class _Reference:
    """What the standard contributes, made once: its ink at the lowest and
    highest over the forgiven shifts, where it surely is printed or not
    (0 or 1) and how much of each line that is, and the print's contrast."""
    low: np.ndarray
    high: np.ndarray
    printed: np.ndarray
    paper: np.ndarray
    printed_count: np.ndarray
    paper_count: np.ndarray
    contrast: float


def _ink(work, polarity):
    """Ink bright: the work image of a dark-on-light print, the inverted one of a knock-out."""
    return work if polarity == "dark-bars" else cv2.bitwise_not(work)


def _reference(standard, settings):
    x1, y1, x2, y2 = standard.aoi
    ink = _ink(standard.rotated, standard.polarity)[y1:y2, x1:x2]
    kernel = np.ones((2 * settings.max_shift + 1,) * 2, np.uint8)
    low, high = cv2.erode(ink, kernel), cv2.dilate(ink, kernel)
    lo, hi = np.percentile(ink, (5, 95))
    contrast = max(float(hi - lo), 1.0)
    middle = lo + contrast / 2
    printed = (low > middle).astype(np.uint8)
    paper = (high < middle).astype(np.uint8)
    # Where a fault cannot show, the standard is made to forgive everything:
    # no ink to lose where it is not surely printed, all the ink there may
    # be where it is not surely paper.
    low = low * printed
    high = np.where(paper > 0, high, 255).astype(np.uint8)
    if settings.direction == "along":
        low, high, printed, paper = (np.ascontiguousarray(a.T) for a in (low, high, printed, paper))
    return _Reference(low, high, printed, paper, printed.sum(axis=0), paper.sum(axis=0), contrast)


# A streak runs the print's whole length in the print direction: its
# faulty stretch must reach this close to each end of the testable stretch
# (pixels, and a share of its length for blur and misregistration there).
# A bar printed a module too thick adds ink along a space beside it, but
# only as far as the bar goes.
_ENDS = (3, 0.02)


def _lines(faulty, testable, counted, settings):
    """Columns (lines in the print direction) that are streaks; `counted`
    is how much of each the standard lets show a fault."""
    hits = cv2.reduce(faulty, 0, cv2.REDUCE_SUM, dtype=cv2.CV_32S)[0]
    candidates = np.flatnonzero((hits >= settings.min_share * counted) & (counted > 0))
    keep = []
    for c in candidates:
        t, f = testable[:, c].astype(bool), faulty[:, c].astype(bool)
        where_t, where_f = np.flatnonzero(t), np.flatnonzero(f)
        reach = _ENDS[0] + settings.max_shift + _ENDS[1] * (where_t[-1] - where_t[0])
        if where_f[0] - where_t[0] > reach or where_t[-1] - where_f[-1] > reach:
            continue
        starts = np.flatnonzero(t & ~np.concatenate(([False], t[:-1])))
        ends = np.flatnonzero(t & ~np.concatenate((t[1:], [False]))) + 1
        hit = sum(f[a:b].mean() >= 0.5 for a, b in zip(starts, ends))
        if hit >= settings.elements:
            keep.append(c)
    return keep


def _groups(columns):
    out = []
    for c in columns:
        if out and c == out[-1][-1] + 1:
            out[-1].append(c)
        else:
            out.append([c])
    return out


def run(aligned, settings):
    standard = aligned.standard
    ref = symbol.once(standard, ("streaks", settings.max_shift, settings.direction),
                      lambda: _reference(standard, settings))
    x1, y1, x2, y2 = standard.aoi
    ink = _ink(aligned.work, standard.polarity)[y1:y2, x1:x2]
    if settings.direction == "along":
        ink = np.ascontiguousarray(ink.T)
    level = settings.min_depth * ref.contrast
    found = []
    for what, diff, testable, counted in (("dead", cv2.subtract(ref.low, ink), ref.printed, ref.printed_count),
                                          ("dirty", cv2.subtract(ink, ref.high), ref.paper, ref.paper_count)):
        faulty = cv2.threshold(diff, level, 1, cv2.THRESH_BINARY)[1]
        columns = _lines(faulty, testable, counted, settings)
        for group in _groups(columns):
            found.append(_streak(aligned, settings, what, group, diff, faulty, testable, ref.contrast))
    return Findings(found, {"streaks": len(found)})


def _streak(aligned, settings, what, group, diff, faulty, testable, contrast):
    """The defect of one streak (a run of adjacent columns)."""
    x1, y1, _, _ = aligned.standard.aoi
    cols = np.array(group)
    part = diff[:, cols].astype(np.float64) * testable[:, cols]
    amount = part.sum(axis=0) / np.maximum(testable[:, cols].sum(axis=0), 1) / contrast
    centre = float((cols * amount).sum() / amount.sum()) + 0.5
    rows = np.flatnonzero(faulty[:, cols].any(axis=1))
    v1, v2 = int(rows.min()), int(rows.max()) + 1
    u1, u2 = int(cols.min()), int(cols.max()) + 1
    across_origin, along_origin = (x1, y1) if settings.direction == "across" else (y1, x1)
    position = centre + across_origin
    box = ([u1 + x1, v1 + y1, u2 + x1, v2 + y1] if settings.direction == "across"
           else [v1 + x1, u1 + y1, v2 + x1, u2 + y1])
    # How much ink: the deepest line's share of the contrast lost (or
    # added), and over the whole streak, in pixels of full ink.
    extra = {"element": what, "position_px": round(position, 1), "length_px": v2 - v1, "width_px": len(group),
             ("ink_lost" if what == "dead" else "ink_added"): round(float(amount.max()), 3),
             "ink_px": round(float(part.sum()) / contrast, 1)}
    where = "at %.1f px" % position
    # The recipe's own scale serves when the table gives none.
    px_per_mm = settings.px_per_mm or getattr(aligned.standard, "px_per_mm", None)
    if px_per_mm:
        mm = (position - settings.head_origin) / px_per_mm
        extra["position_mm"], extra["length_mm"] = round(mm, 2), round((v2 - v1) / px_per_mm, 1)
        where = "at %.1f mm" % mm
        if settings.dots_per_mm:
            extra["dot"] = int(math.floor(mm * settings.dots_per_mm))
            where = "at dot %d (%.1f mm)" % (extra["dot"], mm)
    change = "lost" if what == "dead" else "added"
    text = "%s element %s: %d px long, %d %% of the ink %s" % (what, where, v2 - v1, round(amount.max() * 100),
                                                              change)
    return defect(aligned, KIND, text, box, **extra)

"""The shift-tolerant pixel comparison of the aligned frame with the
standard: a pixel that differs at its own place and at every shift up to
`max_shift` is a defect, reported when its spot reaches `dirty_width`.
Its settings are the recipe's top-level `max_shift`, `threshold` and
`dirty_width`.

Spots that belong to one print fault are reported as one defect: spots of
the same kind closer than a module, and spots strung along one straight
line (a ribbon wrinkle or a scratch crosses bar after bar, leaving a spot
in each), with the outline of the whole, its size and its length.
"""
import math
from dataclasses import dataclass

import cv2
import numpy as np

from .. import pipeline
from ..records import Defect
from . import Findings, in_mm

NAME = "compare"
TOP_LEVEL = ("max_shift", "threshold", "dirty_width")
STREAK_SPOTS = 3            # spots on one line that make a streak
NEIGHBOURS = 5              # each spot is paired with this many of its nearest to find lines


@dataclass(frozen=True)
class Settings:
    max_shift: int
    threshold: int
    dirty_width: int


def parse(table):
    return Settings(*(table[k] for k in TOP_LEVEL))


def run(aligned, settings):
    found = pipeline.judge(aligned, settings.max_shift, settings.threshold, settings.dirty_width)
    module = aligned.standard.module or settings.dirty_width / 1.25
    values = {}
    if aligned.ink_spread is not None:
        values["ink_spread_px"] = round(aligned.ink_spread, 2)
        if aligned.standard.px_per_mm:
            values["ink_spread_mm"] = round(aligned.ink_spread / aligned.standard.px_per_mm, 3)
    return Findings([in_mm(aligned, d) for d in merge(found, module)], values)


def _gap(a, b):
    """Distance between two boxes (0 when they touch or overlap)."""
    dx = max(0, b[0] - a[2], a[0] - b[2])
    dy = max(0, b[1] - a[3], a[1] - b[3])
    return math.hypot(dx, dy)


def _union(boxes):
    return [min(b[0] for b in boxes), min(b[1] for b in boxes), max(b[2] for b in boxes), max(b[3] for b in boxes)]


def _groups_near(defects, reach):
    """Indices of defects grouped by kind and nearness (transitively)."""
    parent = list(range(len(defects)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for i, a in enumerate(defects):
        for j in range(i + 1, len(defects)):
            b = defects[j]
            if a.kind == b.kind and _gap(a.box_aligned, b.box_aligned) <= reach:
                parent[root(j)] = root(i)
    groups = {}
    for i in range(len(defects)):
        groups.setdefault(root(i), []).append(i)
    return sorted(groups.values())


def _lines(centres, kinds, module):
    """Sets of group indices strung along one straight line: each pair of
    near groups proposes a line; the groups close to it whose steps along
    it stay short make a chain; the longest chains are taken first."""
    n = len(centres)
    # A streak crossing bars at a slant leaves its spots far apart where the
    # spaces are wide; their centres keep to its line within about a module.
    tol = max(2.0, module)
    reach = 40 * module
    taken, out = set(), []
    while True:
        best = []
        for i in range(n):
            if i in taken:
                continue
            near = sorted((j for j in range(n) if j != i and j not in taken and kinds[j] == kinds[i]),
                          key=lambda j: np.hypot(*(centres[j] - centres[i])))[:NEIGHBOURS]
            for j in near:
                step = centres[j] - centres[i]
                length = float(np.hypot(*step))
                if length == 0 or length > reach:
                    continue
                u = step / length
                chain = _chain(centres, kinds, taken, i, u, tol, reach)
                if len(chain) > len(best):
                    best = chain
        if len(best) < STREAK_SPOTS:
            return out
        out.append(best)
        taken.update(best)


def _chain(centres, kinds, taken, i, u, tol, reach):
    """The groups along the line through group i in direction u, linked to
    i by steps no longer than `reach`."""
    normal = np.float64([-u[1], u[0]])
    on = [(float((centres[k] - centres[i]) @ u), k) for k in range(len(centres))
          if k not in taken and kinds[k] == kinds[i] and abs(float((centres[k] - centres[i]) @ normal)) <= tol]
    on.sort()
    at = next(n for n, (_, k) in enumerate(on) if k == i)
    lo = hi = at
    while lo > 0 and on[lo][0] - on[lo - 1][0] <= reach:
        lo -= 1
    while hi < len(on) - 1 and on[hi + 1][0] - on[hi][0] <= reach:
        hi += 1
    return [k for _, k in on[lo:hi + 1]]


def merge(defects, module, near=None, lines=True):
    """The defects with those of one fault joined (see the module's text):
    spots closer than `near` (a module by default), and, with `lines`,
    spots along one line."""
    if len(defects) < 2:
        return defects
    groups = _groups_near(defects, module if near is None else near)
    centres = [np.float64([(b[0] + b[2]) / 2.0, (b[1] + b[3]) / 2.0])
               for b in (_union([defects[i].box_aligned for i in g]) for g in groups)]
    kinds = [defects[g[0]].kind for g in groups]
    streaks = _lines(centres, kinds, module) if lines and len(groups) >= STREAK_SPOTS else []
    in_streak = {g for line in streaks for g in line}
    out = []                            # (first member's place in the comparison's order, defect)
    for line in streaks:
        members = sorted(i for g in line for i in groups[g])
        ends = np.float64([centres[g] for g in line])
        span = float(np.hypot(*(ends.max(0) - ends.min(0))))
        out.append((members[0], _joined([defects[i] for i in members], "streak", span)))
    for n, g in enumerate(groups):
        if n not in in_streak:
            out.append((min(g), defects[g[0]] if len(g) == 1 else _joined([defects[i] for i in sorted(g)], "spots")))
    return [d for _, d in sorted(out, key=lambda t: t[0])]


def _joined(members, how, span=0.0):
    boxes = [m.box_aligned for m in members]
    box = _union(boxes)
    frame_boxes = [m.box_frame for m in members]
    corners = np.float32([[x, y] for b in frame_boxes for x, y in ((b[0], b[1]), (b[2], b[1]), (b[2], b[3]),
                                                                      (b[0], b[3]))])
    hull = cv2.convexHull(corners).reshape(-1, 2)
    size = int(max(box[2] - box[0], box[3] - box[1]))
    kind = members[0].kind
    extra = {"spots": len(members), "outline": [[int(x), int(y)] for x, y in hull]}
    # Spots a check named alike ("void in code: ...") keep their name.
    names = {m.description.split(":")[0] for m in members}
    name = names.pop() if len(names) == 1 and not members[0].description.startswith(("black spot", "white spot")) \
        else kind
    if how == "streak":
        length = int(round(span + max(min(b[2] - b[0], b[3] - b[1]) for b in boxes)))
        extra["length"] = length
        words = "%s streak: %d spots along %d px" % (name, len(members), length)
    else:
        words = "%s: %d spots close together" % (name, len(members))
    return Defect(kind, words, _union(frame_boxes), box, size, extra)

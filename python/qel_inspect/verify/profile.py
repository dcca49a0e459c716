"""Scan reflectance profiles measured: each one's extremes, symbol
contrast and global threshold, the elements it crosses with their edges,
the edge contrasts, modulation and the reflectance non-uniformity of every
element.

Reflectance is a share of the paper's (1.0 is paper). A profile runs
across the symbol and its quiet zones; an element is a stretch on one side
of the global threshold (midway between the lowest and highest
reflectance), and the edge between two elements lies where the profile
crosses the midpoint of their extremes (the space's highest and the bar's
lowest reflectance), interpolated between samples. All the profiles of a
symbol are measured together, as one array.
"""
from dataclasses import dataclass
from typing import Optional

import numpy as np

# How far (in samples) from the threshold crossing an edge's midpoint
# crossing is looked for: blur spreads an edge over a few samples. The
# crossing nearest the threshold crossing wins (later before earlier).
_EDGE_REACH = 4
_OFFSETS = np.arange(-_EDGE_REACH, _EDGE_REACH)
_RANK = np.abs(_OFFSETS) + (_OFFSETS < 0) * 0.5


@dataclass
class Measured:
    rmin: float
    rmax: float
    symbol_contrast: float
    threshold: float                 # global threshold
    edges: np.ndarray                # sub-sample positions of the edges, in order
    extremes: np.ndarray             # each element's lowest (bar) or highest (space) reflectance
    ern: np.ndarray                  # each element's reflectance non-uniformity
    edge_contrast_min: float
    modulation: float
    defects: float                   # largest non-uniformity over the symbol contrast
    error: Optional[str] = None      # why the edges cannot be used (no bars, a bar at an end)
    length: int = 0                  # samples in the profile
    # Where the profile crosses the global threshold at each edge: a fixed
    # level, which blur moves less than the edges above when a narrow
    # element loses contrast; what width comparisons use.
    threshold_edges: Optional[np.ndarray] = None

    @property
    def widths(self) -> np.ndarray:
        """Widths of the elements between the quiet zones, bar first."""
        return np.diff(self.edges)

    @property
    def quiet(self) -> tuple:
        """Widths (samples) of the leading and trailing quiet zones as scanned."""
        return float(self.edges[0]), float(self.length - self.edges[-1])


def _running_max(values, segment):
    """The highest value so far within each segment, from the left and
    from the right."""
    # Offsetting each segment above all before it lets one accumulation
    # over the whole array restart at every segment.
    span = float(values.max() - values.min()) + 1.0
    off = segment * span
    left = np.maximum.accumulate(values + off) - off
    roff = (segment[-1] - segment)[::-1] * span
    right = (np.maximum.accumulate(values[::-1] + roff) - roff)[::-1]
    return left, right


def measure(r: np.ndarray) -> Measured:
    """Measure one profile (reflectances, one sample a pixel along the scan)."""
    return measure_all(np.asarray(r, np.float64)[None, :])[0]


def measure_all(profiles: np.ndarray) -> list:
    """Measure profiles of one length (one a row): a Measured each."""
    rows = np.asarray(profiles, np.float64)
    count, n = rows.shape
    rmin, rmax = rows.min(axis=1), rows.max(axis=1)
    sc = rmax - rmin
    gt = rmin + sc / 2.0
    dark = rows < gt[:, None]
    r = rows.ravel()
    flat = dark.ravel()
    # An element starts where the side of the threshold changes, and at the
    # start of every profile.
    change = np.empty(r.size, bool)
    change[0] = True
    change[1:] = flat[1:] != flat[:-1]
    change[::n] = True
    starts = np.flatnonzero(change)
    row_of = starts // n
    is_bar = flat[starts]
    lows = np.minimum.reduceat(r, starts)
    highs = np.maximum.reduceat(r, starts)
    extremes = np.where(is_bar, lows, highs)

    # Non-uniformity: the deepest dip inside a space below the lower of the
    # highest parts on either side of it, and the highest rise inside a bar
    # above the higher of its lowest parts on either side.
    # Bars turned upside down, both are dips below the sides' highest parts.
    segment = np.cumsum(change) - 1
    v = np.where(flat, -r, r)
    left, right = _running_max(v, segment)
    ern = np.maximum.reduceat(np.minimum(left, right) - v, starts)

    # Edges: between consecutive elements of one profile, near the sample
    # where the threshold is crossed.
    inner = np.flatnonzero(starts % n != 0)
    cut = starts[inner]
    mid = ((extremes[inner - 1] + extremes[inner]) / 2.0)[:, None]
    row_start = (cut // n) * n
    first = row_start[:, None]
    idx = np.minimum(np.maximum(cut[:, None] + (_OFFSETS - 1), first), first + (n - 2))
    a, b = r[idx] - mid, r[idx + 1] - mid
    rank = np.where((a * b <= 0) & (a != b), _RANK, np.inf)
    best = rank.argmin(axis=1)
    pick = np.arange(cut.size)
    found = rank[pick, best] < np.inf
    fa, fb = a[pick, best], b[pick, best]
    # Sample i covers [i, i+1): its value stands at i + 0.5. Where no
    # crossing is near (it cannot be: the threshold lies between the
    # extremes), the threshold crossing stands in.
    with np.errstate(divide="ignore", invalid="ignore"):
        edges = np.where(found, idx[pick, best] + 0.5 + fa / (fa - fb), cut) - row_start
    before, after = r[cut - 1] - gt[cut // n], r[cut] - gt[cut // n]
    fixed = cut - 0.5 + before / (before - after) - row_start
    contrast = np.abs(extremes[inner] - extremes[inner - 1])

    seg_bounds = np.searchsorted(row_of, np.arange(count + 1))
    edge_bounds = np.searchsorted(cut // n, np.arange(count + 1))
    # Per profile: its weakest edge, its most uneven element, its bars.
    has_edges = edge_bounds[1:] > edge_bounds[:-1]
    ecmin = np.zeros(count)
    if cut.size:
        ecmin[has_edges] = np.minimum.reduceat(contrast, edge_bounds[:-1][has_edges])
    ern_max = np.maximum.reduceat(ern, seg_bounds[:-1])
    bars = np.add.reduceat(is_bar.astype(np.int64), seg_bounds[:-1])
    safe = np.where(sc > 0, sc, 1.0)
    modulation, defects = np.where(sc > 0, ecmin / safe, 0.0), np.where(sc > 0, ern_max / safe, 1.0)
    # Python numbers from here on: each profile's become its Measured.
    lists = [a.tolist() for a in (rmin, rmax, sc, gt, ecmin, modulation, defects, bars, seg_bounds, edge_bounds)]
    rmin, rmax, sc, gt, ecmin, modulation, defects, bars, seg_bounds, edge_bounds = lists
    out = []
    for i in range(count):
        s0, s1 = seg_bounds[i], seg_bounds[i + 1]
        e0, e1 = edge_bounds[i], edge_bounds[i + 1]
        error = None
        if sc[i] <= 0 or not bars[i]:
            error = "no bars"
        elif is_bar[s0] or is_bar[s1 - 1]:
            error = "a bar at the end of the scan (no quiet zone)"
        out.append(Measured(rmin[i], rmax[i], sc[i], gt[i], edges[e0:e1], extremes[s0:s1], ern[s0:s1], ecmin[i],
                            modulation[i], defects[i], error, n, fixed[e0:e1]))
    return out

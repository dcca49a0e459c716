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
# crossing is looked for: blur spreads an edge over a few samples.
_EDGE_REACH = 4


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


def _running(values, segment, fn):
    """fn (np.maximum or np.minimum) accumulated within each segment, from
    the left and from the right."""
    # Offsetting each segment above (or below) all before it lets one
    # accumulate over the whole array restart at every segment.
    span = float(values.max() - values.min()) + 1.0
    off = segment * (span if fn is np.maximum else -span)
    left = fn.accumulate(values + off) - off
    roff = (segment[-1] - segment)[::-1] * (span if fn is np.maximum else -span)
    right = (fn.accumulate(values[::-1] + roff) - roff)[::-1]
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
    lengths = np.diff(np.append(starts, r.size))
    row_of = starts // n
    is_bar = flat[starts]
    lows = np.minimum.reduceat(r, starts)
    highs = np.maximum.reduceat(r, starts)
    extremes = np.where(is_bar, lows, highs)

    # Non-uniformity: the deepest dip inside a space below the lower of the
    # highest parts on either side of it, and the highest rise inside a bar
    # above the higher of its lowest parts on either side.
    segment = np.repeat(np.arange(starts.size), lengths)
    lmax, rmax_run = _running(r, segment, np.maximum)
    lmin, rmin_run = _running(r, segment, np.minimum)
    depth = np.where(flat, r - np.maximum(lmin, rmin_run), np.minimum(lmax, rmax_run) - r)
    ern = np.maximum.reduceat(depth, starts)

    # Edges: between consecutive elements of one profile, near the sample
    # where the threshold is crossed.
    inner = np.flatnonzero(starts % n != 0)
    cut = starts[inner]
    mid = (extremes[inner - 1] + extremes[inner]) / 2.0
    offs = np.arange(-_EDGE_REACH, _EDGE_REACH)
    row_start = (cut // n) * n
    idx = np.clip(cut[:, None] - 1 + offs[None, :], row_start[:, None], row_start[:, None] + n - 2)
    a, b = r[idx] - mid[:, None], r[idx + 1] - mid[:, None]
    crosses = (a * b <= 0) & (a != b)
    # The crossing nearest the threshold crossing (offset 0).
    rank = np.where(crosses, np.abs(offs)[None, :] + (offs[None, :] < 0) * 0.5, np.inf)
    best = rank.argmin(axis=1)
    pick = np.arange(cut.size)
    found = np.isfinite(rank[pick, best])
    fa, fb = a[pick, best], b[pick, best]
    with np.errstate(divide="ignore", invalid="ignore"):
        frac = np.where(found, fa / (fa - fb), 0.5)
    # Sample i covers [i, i+1): its value stands at i + 0.5.
    edges = np.where(found, idx[pick, best] + 0.5 + frac, cut.astype(np.float64)) - row_start
    before, after = r[cut - 1] - gt[cut // n], r[cut] - gt[cut // n]
    fixed = cut - 0.5 + before / (before - after) - row_start
    contrast = np.abs(extremes[inner] - extremes[inner - 1])

    out = []
    seg_bounds = np.searchsorted(row_of, np.arange(count + 1))
    edge_bounds = np.searchsorted(cut // n, np.arange(count + 1))
    for i in range(count):
        s0, s1 = seg_bounds[i], seg_bounds[i + 1]
        e0, e1 = edge_bounds[i], edge_bounds[i + 1]
        bars = is_bar[s0:s1]
        error = None
        if sc[i] <= 0 or not bars.any():
            error = "no bars"
        elif bars[0] or bars[-1]:
            error = "a bar at the end of the scan (no quiet zone)"
        ecmin = float(contrast[e0:e1].min()) if e1 > e0 else 0.0
        sci = float(sc[i])
        out.append(Measured(float(rmin[i]), float(rmax[i]), sci, float(gt[i]), edges[e0:e1], extremes[s0:s1],
                            ern[s0:s1], ecmin, ecmin / sci if sci > 0 else 0.0,
                            float(ern[s0:s1].max()) / sci if sci > 0 else 1.0, error, n, fixed[e0:e1]))
    return out

"""Bar and space widths: every element of the linear code measured in
modules on scans across the bars of the frame and of the standard at the
same places (the verifier's scans, qel_inspect.verify), and compared.
Ink spreads (or thins) at each edge, as the pipeline's allowance for a
calibrated printer counts it, so an element deviates by half its change
in width: how far its edges moved. An element that deviates from the
standard's by more than `tolerance` modules (the median over the scans)
is a `bar width` defect; a run of such neighbours is one defect. Every
record gets the print growth: how far
the ink's edges print beyond the standard's, in modules an edge (a
quarter of the bars' mean widening plus the spaces' mean narrowing), so a
drift shows before it rejects; and the same against the symbology's
nominal widths.

A bar's width is the ink it holds (the profile's darkening over the
paper's, as a share of a wide bar's, summed from the middle of the space
before it to the middle of the space after it), a space's the distance
between the ink centres of its bars less their half widths: blur spreads
ink but keeps its amount and centre, so these follow the print where
threshold crossings bend with a narrow element's lost contrast. A frame
is measured between the standard's edges (laid onto it by the centre of
its ink), so elements that have run together or broken up are measured
all the same.

    [widths]
    tolerance = 0.35           # modules an element's edges may move from the standard's
    scans = 10                 # the scan keys as in [grade]
"""
from dataclasses import dataclass

import numpy as np

from .. import symbol, validate
from .. import pipeline
from ..pipeline import rounded
from . import Findings, defect

NAME = "widths"
KIND = "bar width"
KEYS = ("tolerance", "scans", "aperture", "paper_reflectance", "black_level")


@dataclass(frozen=True)
class Settings:
    tolerance: float = 0.35
    scan: symbol.ScanSettings = symbol.ScanSettings()


def parse(table):
    validate.only(NAME, table, KEYS)
    return Settings(validate.number("tolerance", table.get("tolerance", 0.35), 0.01, 5.0), symbol.scan_settings(table))


def _running(rows):
    """Running sums of rows of samples, 0 first."""
    out = np.zeros((rows.shape[0], rows.shape[1] + 1))
    np.cumsum(rows, axis=1, out=out[:, 1:])
    return out


def _integral(cum, x):
    """Integrals from 0 to `x` (rows of positions) of rows of samples whose
    running sums are `cum`: linear within a sample."""
    last = cum.shape[1] - 1
    x = np.minimum(np.maximum(x, 0.0), last)
    i = np.minimum(x.astype(np.int64), last - 1)
    flat = cum.ravel()
    i += (np.arange(cum.shape[0]) * cum.shape[1])[:, None]
    lo = flat[i]
    return lo + (x - (i % cum.shape[1])) * (flat[i + 1] - lo)


@dataclass
class Measured:
    widths: np.ndarray          # modules, one row a scan, bars first
    centre: np.ndarray          # each scan's centre of ink, samples


def element_widths(r: np.ndarray, edges: np.ndarray, nominal: np.ndarray, centre=None) -> Measured:
    """Widths in modules of the elements (bar first) of profiles `r` (one a
    row) for a symbol of nominal widths `nominal` whose edges (threshold
    crossings, one row each; quiet zones outside) are `edges`: the
    profiles' own, or the standard's. With `centre` (the standard's centre
    of ink, one a row) the profiles are first laid onto the standard's by
    their own centre of ink, which ink spread leaves in place; so a frame
    is measured between the standard's edges, however its own elements
    have run together or broken up. The module comes from the leading
    edges of the first and last bars: ink spread moves both alike."""
    m, n = r.shape
    step = (edges[:, -1] - edges[:, 0]) / nominal.sum()
    total = _running(r)
    # The paper: the mean of the quiet zones a module clear of the bars.
    lead = np.maximum(edges[:, 0] - step, 1.0)
    trail = np.minimum(edges[:, -1] + step, n - 1.0)
    ends = _integral(total, np.stack((lead, trail), axis=1))
    paper = (ends[:, 0] + total[:, -1] - ends[:, 1]) / (lead + n - trail)
    # Full ink: the mean of the middles of the widest bars.
    widest = np.flatnonzero(nominal[0::2] >= min(3.0, nominal[0::2].max())) * 2
    a = edges[:, widest] + step[:, None]
    b = np.maximum(a + 1.0, edges[:, widest + 1] - step[:, None])
    inside = _integral(total, np.concatenate((a, b), axis=1))
    full = (inside[:, widest.size:] - inside[:, :widest.size]).sum(axis=1) / (b - a).sum(axis=1)
    ink = (paper[:, None] - r) / np.maximum(paper - full, 1e-6)[:, None]
    amount_cum, moment_cum = _running(ink), _running(ink * (np.arange(n) + 0.5))
    bounds = np.concatenate(((edges[:, :1] - 1.5 * step[:, None]), (edges[:, 1:-1:2] + edges[:, 2:-1:2]) / 2,
                             edges[:, -1:] + 1.5 * step[:, None]), axis=1)
    ends = bounds[:, [0, -1]]
    own = np.diff(_integral(moment_cum, ends), axis=1)[:, 0] / np.diff(_integral(amount_cum, ends), axis=1)[:, 0]
    if centre is not None:
        bounds = bounds + (own - centre)[:, None]
    amount = np.diff(_integral(amount_cum, bounds), axis=1)
    middle = np.diff(_integral(moment_cum, bounds), axis=1) / np.where(amount > 0, amount, 1.0)
    out = np.empty((m, edges.shape[1] - 1))
    out[:, 0::2] = amount
    out[:, 1::2] = np.diff(middle, axis=1) - (amount[:, 1:] + amount[:, :-1]) / 2
    leading = middle - amount / 2
    return Measured(out * (nominal[:-1].sum() / (leading[:, -1] - leading[:, 0]))[:, None], own)


def _growth(change, polarity):
    """Print growth, modules an edge, of rows of changes in width (bars
    first, alternating): the mean over the rows of a quarter of the bars'
    mean widening plus the spaces' mean narrowing; on a knock-out print the
    ink is in the spaces."""
    g = float(((change[:, 0::2].mean(axis=1) - change[:, 1::2].mean(axis=1)) / 4.0).mean())
    return g if polarity == "dark-bars" else -g


@dataclass
class _Reference:
    """The standard's scans that cross all its elements: which, their
    edges and element widths, and their centres of ink."""
    rows: list
    edges: np.ndarray
    measured: Measured


def _reference(standard, settings, nominal):
    scans = symbol.standard_scans(standard, settings.scan)
    rows = [i for i, sc in enumerate(scans)
            if sc.measured.error is None and sc.measured.threshold_edges.size == nominal.size + 1]
    if not rows:
        raise pipeline.InspectionError("no scan of the standard crosses all its %d elements: bar widths cannot be "
                                       "compared" % nominal.size)
    edges = np.array([scans[i].measured.threshold_edges for i in rows])
    return _Reference(rows, edges, element_widths(np.array([scans[i].reflectance for i in rows]), edges, nominal))


def run(aligned, settings):
    standard = aligned.standard
    lay = symbol.layout(standard, settings.scan)
    nominal = np.array(lay.modules)
    ref = symbol.once(standard, ("widths", settings.scan), lambda: _reference(standard, settings, nominal))
    frame_scans = symbol.scans(aligned, settings.scan)
    frame = element_widths(np.array([frame_scans[i].reflectance for i in ref.rows]), ref.edges, nominal,
                           ref.measured.centre)
    devs = frame.widths - ref.measured.widths
    change = np.median(devs, axis=0)
    dev = change / 2.0                       # how far the edges moved
    values = {"print_growth": rounded(_growth(devs, standard.polarity)),
              "print_growth_nominal": rounded(_growth(frame.widths - nominal, standard.polarity)),
              "width_worst": rounded(float(np.abs(dev).max())), "width_scans": len(ref.rows)}
    off = np.abs(dev) > settings.tolerance + 1e-9
    defects = []
    if not off.any():
        return Findings(defects, values)
    # Boxes between the standard's edges, where the frame was measured.
    edges = np.median(ref.edges, axis=0) + lay.y1
    xs = [frame_scans[i].x for i in ref.rows]
    k = 0
    while k < off.size:
        if not off[k]:
            k += 1
            continue
        end = k
        while end + 1 < off.size and off[end + 1]:
            end += 1
        box = [min(xs), int(np.floor(edges[k])), max(xs) + 1, int(np.ceil(edges[end + 1]))]
        part = dev[k:end + 1]
        defects.append(defect(aligned, KIND, _describe(change, k, end, lay), box, elements=end - k + 1,
                              deviation=rounded(part[np.abs(part).argmax()])))
        k = end + 1
    return Findings(defects, values)


def _name(k, lay, count):
    """An element's name as read from the symbol's start: "bar 3", "space 2"."""
    i = count - 1 - k if lay.reversed else k
    return "%s %d" % ("bar" if i % 2 == 0 else "space", i // 2 + 1)


def _describe(change, first, last, lay):
    """In changes of width, which a reader sees."""
    if first == last:
        d = change[first]
        return "%s %s by %.2f module" % (_name(first, lay, change.size), "wider" if d > 0 else "narrower", abs(d))
    part = change[first:last + 1]
    bars = part[(np.arange(first, last + 1) % 2) == 0]
    worst = part[np.abs(part).argmax()]
    return "%d elements from %s to %s %.2f module wider or narrower at most (bars %s by %.2f on average)" % (
        last - first + 1, _name(first, lay, change.size), _name(last, lay, change.size), abs(worst),
        "wider" if bars.mean() > 0 else "narrower", abs(bars.mean()))

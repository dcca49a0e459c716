"""Bar and space widths: every element of the linear code measured in
modules on scans across the bars of the frame and of the standard at the
same places (the verifier's scans, qel_inspect.verify), and compared. An
element whose width differs from the standard's by more than `tolerance`
modules (the median over the scans that cross as many elements as the
standard's) is a `bar width` defect; a run of such neighbours is one
defect. When most scans cross a different number of elements (spaces
closed up, bars broken) that is one such defect for the whole symbol.
Every record gets the print growth: how much wider the ink prints than on
the standard, in modules (half the bars' mean widening plus the spaces'
mean narrowing), so a drift shows before it rejects; and the same against
the symbology's nominal widths.

A bar's width is the ink it holds (the profile's darkening over the
paper's, as a share of a wide bar's, summed from the middle of the space
before it to the middle of the space after it), a space's the distance
between the ink centres of its bars less their half widths: blur spreads
ink but keeps its amount and centre, so these follow the print where
threshold crossings bend with a narrow element's lost contrast.

    [widths]
    tolerance = 0.35           # modules an element may differ from the standard's
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


def element_widths(r: np.ndarray, edges: np.ndarray, nominal: np.ndarray) -> np.ndarray:
    """Widths in modules of the elements (bar first) of profiles `r` (one a
    row) whose edges (threshold crossings, one row each; quiet zones
    outside) are `edges`, for a symbol of nominal widths `nominal`. The
    module comes from the leading edges of the first and last bars: ink
    spread moves both alike."""
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
    bounds = np.concatenate(((edges[:, :1] - 1.5 * step[:, None]), (edges[:, 1:-1:2] + edges[:, 2:-1:2]) / 2,
                             edges[:, -1:] + 1.5 * step[:, None]), axis=1)
    amount = np.diff(_integral(_running(ink), bounds), axis=1)
    centre = np.diff(_integral(_running(ink * (np.arange(n) + 0.5)), bounds), axis=1) / amount
    out = np.empty((m, edges.shape[1] - 1))
    out[:, 0::2] = amount
    out[:, 1::2] = np.diff(centre, axis=1) - (amount[:, 1:] + amount[:, :-1]) / 2
    leading = centre - amount / 2
    return out * (nominal[:-1].sum() / (leading[:, -1] - leading[:, 0]))[:, None]


def _growth(dev, polarity):
    """Print growth of rows of element deviations (bars first, alternating):
    the mean over the rows of half the bars' mean widening plus the spaces'
    mean narrowing; on a knock-out print the ink is in the spaces."""
    g = float(((dev[:, 0::2].mean(axis=1) - dev[:, 1::2].mean(axis=1)) / 2.0).mean())
    return g if polarity == "dark-bars" else -g


def _whole(scans, nominal):
    """Indices of the scans that cross every element of the symbol."""
    return [i for i, sc in enumerate(scans)
            if sc.measured.error is None and sc.measured.threshold_edges.size == nominal.size + 1]


def _measure(scans, rows, nominal):
    return element_widths(np.array([scans[i].reflectance for i in rows]),
                          np.array([scans[i].measured.threshold_edges for i in rows]), nominal)


def run(aligned, settings):
    standard = aligned.standard
    lay = symbol.layout(standard, settings.scan)
    nominal = np.array(lay.modules)
    frame_scans = symbol.scans(aligned, settings.scan)

    def standard_widths():
        scans = symbol.standard_scans(standard, settings.scan)
        rows = _whole(scans, nominal)
        return dict(zip(rows, _measure(scans, rows, nominal))) if rows else {}

    reference = symbol.once(standard, ("widths", settings.scan), standard_widths)
    if not reference:
        raise pipeline.InspectionError("no scan of the standard crosses all its %d elements: bar widths cannot be "
                                       "compared" % nominal.size)
    rows = [i for i in _whole(frame_scans, nominal) if i in reference]
    counted = len(reference)
    devs = absolute = np.zeros((0, nominal.size))
    if rows:
        frame_w = _measure(frame_scans, rows, nominal)
        devs = frame_w - np.array([reference[i] for i in rows])
        absolute = frame_w - nominal
    used = [(frame_scans[i].x, frame_scans[i].measured.threshold_edges) for i in rows]
    values = {"print_growth": None, "print_growth_nominal": None, "width_worst": None, "width_scans": len(devs)}
    if len(devs) * 2 <= counted:
        # Most scans cross another number of elements than the standard's.
        found = [len(f.measured.threshold_edges) - 1 for f in frame_scans if f.measured.error is None]
        text = "%d of %d scans cross %s elements, not the standard's %d: spaces closed up or bars broken" % (
            counted - len(devs), counted, "/".join(map(str, sorted(set(found)))), nominal.size)
        return Findings([defect(aligned, KIND, text, lay.bars, elements=None)], values)
    dev = np.median(devs, axis=0)
    values["print_growth"] = rounded(_growth(devs, standard.polarity))
    values["print_growth_nominal"] = rounded(_growth(absolute, standard.polarity))
    values["width_worst"] = rounded(float(np.abs(dev).max()))
    off = np.abs(dev) > settings.tolerance + 1e-9
    defects = []
    if not off.any():
        return Findings(defects, values)
    edges = np.median(np.array([e for _, e in used]), axis=0) + lay.y1
    xs = [x for x, _ in used]
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
        defects.append(defect(aligned, KIND, _describe(dev, k, end, lay), box, elements=end - k + 1,
                              deviation=rounded(part[np.abs(part).argmax()])))
        k = end + 1
    return Findings(defects, values)


def _name(k, lay, count):
    """An element's name as read from the symbol's start: "bar 3", "space 2"."""
    i = count - 1 - k if lay.reversed else k
    return "%s %d" % ("bar" if i % 2 == 0 else "space", i // 2 + 1)


def _describe(dev, first, last, lay):
    if first == last:
        d = dev[first]
        return "%s %s by %.2f module" % (_name(first, lay, dev.size), "wider" if d > 0 else "narrower", abs(d))
    part = dev[first:last + 1]
    bars = part[(np.arange(first, last + 1) % 2) == 0]
    worst = part[np.abs(part).argmax()]
    return "%d elements from %s to %s off by up to %.2f module (bars %s by %.2f on average)" % (
        last - first + 1, _name(first, lay, dev.size), _name(last, lay, dev.size), abs(worst),
        "wider" if bars.mean() > 0 else "narrower", abs(bars.mean()))

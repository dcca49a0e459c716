"""The standard's linear symbol as the checks that measure it see it: what
it is and holds, where it lies in the aligned coordinates, its module and
the scan lines through it, found once per prepared standard; and the scans
of an aligned frame along those lines, made once per frame for all the
checks that use them.

Scans run across the bars (columns of the aligned image), spread over the
middle 80 % of the bars' length, and reach the symbology's quiet zones
(and a module more) beyond the outer bars. Reflectance is the grey level
over the paper's as the camera sees it; a knock-out print (light bars) is
scanned inverted, as a reader of inverted codes sees it.
"""
import threading
import weakref
from dataclasses import dataclass
from typing import Optional

import cv2
import numpy as np

from . import pipeline, validate
from .verify import profile, reader, scan, symbologies


@dataclass(frozen=True)
class ScanSettings:
    scans: int = 10                    # profiles over the bars' length
    aperture: float = 0.5              # side of the square aperture, modules
    paper_reflectance: float = 1.0     # the paper's reflectance (1.0: relative to the paper)
    black_level: float = 0.0           # the camera's grey level for no light (dark-on-light prints)


def scan_settings(table: dict) -> ScanSettings:
    """The scan keys of a check's table (the checks that scan share them)."""
    d = ScanSettings()
    return ScanSettings(validate.whole("scans", table.get("scans", d.scans), 1, 100),
                        validate.number("aperture", table.get("aperture", d.aperture), 0.1, 2.0),
                        validate.number("paper_reflectance", table.get("paper_reflectance", d.paper_reflectance),
                                        0.05, 1.0),
                        validate.number("black_level", table.get("black_level", d.black_level), 0, 254))


@dataclass(frozen=True)
class Layout:
    symbology: str
    text: str                          # what the standard holds, as the reader read it
    bars: tuple                        # (x1, y1, x2, y2) of the bars together, aligned coordinates
    xs: tuple                          # scan columns
    y1: int                            # scans run over rows y1..y2-1
    y2: int
    module: float                      # pixels (the narrow element of a two-width symbology)
    aperture: int                      # pixels
    reversed: bool                     # the symbol reads from the bottom up
    modules: tuple                     # nominal width of each element in modules, in scan order (top down)


@dataclass
class Scan:
    x: int
    reflectance: np.ndarray                     # the profile, rows y1..y2-1 of the layout
    measured: profile.Measured
    decoded: Optional[symbologies.Decoded]      # None when the edges failed


_memo = {}
_memo_lock = threading.Lock()


def once(owner, key, make):
    """What `make()` gives, kept for as long as `owner` lives."""
    k = (id(owner), key)
    hit = _memo.get(k)
    if hit is not None and hit[0]() is owner:
        return hit[1]
    value = make()
    with _memo_lock:
        _memo[k] = (weakref.ref(owner, lambda _, k=k: _memo.pop(k, None)), value)
    return value


def reflectance_image(work: np.ndarray) -> np.ndarray:
    """The aligned image with the bars dark (work images have them bright)."""
    return cv2.bitwise_not(work)


def layout(standard: pipeline.Standard, settings: ScanSettings = ScanSettings()) -> Layout:
    """The symbol of a prepared standard; InspectionError when none of the
    graded symbologies can be read in its area of interest."""
    return once(standard, ("layout", settings), lambda: _layout(standard, settings))


def _layout(standard, settings):
    image = reflectance_image(standard.rotated)
    h, w = image.shape
    ax1, ay1, ax2, ay2 = standard.aoi
    found = reader.read(image[ay1:ay2, ax1:ax2])
    if found is None:
        raise pipeline.InspectionError("no barcode of a graded symbology (%s) could be read on the standard"
                                       % ", ".join(s.title for s in symbologies.SYMBOLOGIES.values()))
    start, end = found.start + ay1, found.end + ay1
    bars, _ = pipeline.detect_bars(standard.rotated, standard.aoi, standard.bands)
    rects = [cv2.boundingRect(b) for b in bars]
    inside = [r for r in rects if start - 2 <= r[1] + ay1 and r[1] + r[3] + ay1 <= end + 2] or rects
    x1 = int(np.median([r[0] for r in inside])) + ax1
    x2 = int(np.median([r[0] + r[2] for r in inside])) + ax1
    # One profile through the middle finds the outer bars' edges and, read
    # by the reference decode, the module.
    margin = max(4, int((end - start) * 0.02))
    lo, hi = max(0, int(start) - margin), min(h, int(np.ceil(end)) + margin + 1)
    middle = scan.profiles(image, [(x1 + x2) // 2], lo, hi)[0]
    m = profile.measure(middle)
    decoded = symbologies.decode(found.symbology, m.widths) if m.error is None else None
    if decoded is None or decoded.error:
        raise pipeline.InspectionError("the standard's %s cannot be read by its reference decode (%s)"
                                       % (symbologies.SYMBOLOGIES[found.symbology].title,
                                          m.error if decoded is None else decoded.error))
    first, last = lo + m.edges[0], lo + m.edges[-1]
    module = (last - first) / decoded.modules.sum()
    lead, trail = symbologies.SYMBOLOGIES[found.symbology].quiet
    if decoded.reversed:
        lead, trail = trail, lead
    y1 = max(0, int(np.floor(first - (lead + 1) * module)))
    y2 = min(h, int(np.ceil(last + (trail + 1) * module)))
    length = x2 - x1
    xs = tuple(int(round(x)) for x in np.linspace(x1 + 0.1 * length, x2 - 0.1 * length, settings.scans))
    nominal = decoded.modules[::-1] if decoded.reversed else decoded.modules
    return Layout(decoded.symbology, found.text, (x1, int(first), x2, int(np.ceil(last))), xs, y1, y2,
                  float(module), max(1, int(round(settings.aperture * module))), decoded.reversed,
                  tuple(float(v) for v in nominal))


def scans(aligned: pipeline.Aligned, settings: ScanSettings = ScanSettings()) -> list:
    """The scans of an aligned frame along its standard's scan lines."""
    return once(aligned, ("scans", settings), lambda: _scans(aligned.work, aligned.standard, settings))


def standard_scans(standard: pipeline.Standard, settings: ScanSettings = ScanSettings()) -> list:
    """The same scans of the standard itself."""
    return once(standard, ("scans", settings), lambda: _scans(standard.rotated, standard, settings))


def _scans(work, standard, settings):
    lay = layout(standard, settings)
    dark_on_light = standard.polarity == "dark-bars"
    rows = scan.profiles(reflectance_image(work), lay.xs, lay.y1, lay.y2, lay.aperture,
                         settings.black_level if dark_on_light else 0.0, settings.paper_reflectance)
    measured = profile.measure_all(rows)
    usable = [i for i, m in enumerate(measured) if m.error is None]
    decoded = dict(zip(usable, symbologies.decode_all(
        lay.symbology, [(measured[i].widths, measured[i].quiet) for i in usable], lay.module)))
    return [Scan(x, r, m, decoded.get(i)) for i, (x, r, m) in enumerate(zip(lay.xs, rows, measured))]


def read_frame(aligned: pipeline.Aligned, settings: ScanSettings = ScanSettings()) -> Optional[reader.Read]:
    """The code as the reader reads it on the aligned frame, across the
    middle of the bars; None when it reads nothing there."""
    lay = layout(aligned.standard, settings)
    x1, _, x2, _ = lay.bars
    half = 6
    mid = (x1 + x2) // 2
    return reader.read(reflectance_image(aligned.work[lay.y1:lay.y2, mid - half:mid + half]), (lay.symbology,))

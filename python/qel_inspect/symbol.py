"""The standard's linear symbol as the checks that measure it see it (what
it is and holds, where it lies in the aligned coordinates, its module and
the scan lines through it), found once per prepared standard; and the
scans of an aligned frame along those lines, made once per frame for all
the checks that use them (qel_inspect.verify does the measuring).

Reflectance is the grey level over the paper's as the camera sees it; a
knock-out print (light bars) is scanned inverted, as a reader of inverted
codes sees it.
"""
import threading
import weakref
from dataclasses import dataclass
from typing import Optional

import cv2
import numpy as np

from . import pipeline, validate
from .verify import reader, verifier


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


_memo = {}
_memo_lock = threading.Lock()


def once(owner, key, make):
    """What `make()` gives, made once and kept for as long as `owner` lives."""
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


def layout(standard: pipeline.Standard, settings: ScanSettings = ScanSettings()) -> verifier.Geometry:
    """The symbol of a prepared standard, in the aligned coordinates;
    InspectionError when none of the graded symbologies can be read in its
    area of interest."""
    return once(standard, ("layout", settings), lambda: _layout(standard, settings))


def _layout(standard, settings):
    try:
        return verifier.locate(reflectance_image(standard.rotated), settings.scans, settings.aperture,
                               standard.aoi)
    except verifier.NotFound as e:
        raise pipeline.InspectionError("the standard's barcode: %s" % e)


def _scans(work, standard, settings):
    dark_on_light = standard.polarity == "dark-bars"
    return verifier.scan_symbol(reflectance_image(work), layout(standard, settings),
                                settings.black_level if dark_on_light else 0.0, settings.paper_reflectance)


def scans(aligned: pipeline.Aligned, settings: ScanSettings = ScanSettings()) -> list:
    """The scans (verifier.Scan) of an aligned frame along its standard's scan lines."""
    return once(aligned, ("scans", settings), lambda: _scans(aligned.work, aligned.standard, settings))


def standard_scans(standard: pipeline.Standard, settings: ScanSettings = ScanSettings()) -> list:
    """The same scans of the standard itself."""
    return once(standard, ("scans", settings), lambda: _scans(standard.rotated, standard, settings))


def read_frame(aligned: pipeline.Aligned, settings: ScanSettings = ScanSettings()) -> Optional[reader.Read]:
    """The code as the reader reads it on the aligned frame, in a narrow
    band across the middle of the bars; None when it reads nothing there."""
    lay = layout(aligned.standard, settings)
    x1, _, x2, _ = lay.bars
    mid = (x1 + x2) // 2
    return reader.read(reflectance_image(aligned.work[lay.y1:lay.y2, mid - 4:mid + 4]), (lay.symbology,))

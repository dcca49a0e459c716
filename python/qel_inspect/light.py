"""Light: a frame's paper and ink levels brought to the standard's before
anything is compared, so the comparison's threshold is in the standard's
grey levels whatever the lamp does.

The camera sees paper and ink through the lamp's light, which varies
smoothly across the label and from frame to frame. The paper's level is
fitted as a smooth surface (a quadratic in x and y) over the pixels that
are paper; dividing by it leaves each pixel's reflectance relative to the
paper, in which ink has one level of its own. Mapping the frame's paper and
ink onto the standard's (its own paper surface included) makes the frame
look as if it had been lit as the standard was.
"""
import functools
from dataclasses import dataclass

import cv2
import numpy as np

FIT_STEP = 4               # the levels are fitted on every fourth pixel each way
MOST_POINTS = 2000         # paper pixels a fit uses at most
MIN_CONTRAST = 25          # grey levels between paper and ink below which a frame cannot be judged
INK_PERCENTILE = 10        # of the pixels darker than Otsu's level: solid ink


class TooFlat(Exception):
    """str() is the one-line reason."""


@dataclass
class Levels:
    """An image's light: the paper's surface and the ink's level relative
    to it."""
    coefficients: np.ndarray   # of the paper's quadratic surface, in reduced pixels
    ink: float                 # ink reflectance over paper reflectance, 0..1
    paper: float               # median paper level, grey levels
    shape: tuple
    reduced: np.ndarray = None  # the surface at the reduced size

    @property
    def contrast(self):
        return self.paper * (1.0 - self.ink)

    def surface_reduced(self):
        if self.reduced is None:
            h, w = self.shape
            self.reduced = _evaluate(self.coefficients, (h + FIT_STEP - 1) // FIT_STEP,
                                     (w + FIT_STEP - 1) // FIT_STEP)
        return self.reduced

    def surface(self):
        """The paper's level at every pixel (float32)."""
        h, w = self.shape
        return cv2.resize(self.surface_reduced(), (w, h), interpolation=cv2.INTER_LINEAR)


def _terms(x, y):
    return np.stack([np.ones_like(x), x, y, x * x, x * y, y * y], -1)


@functools.lru_cache(maxsize=8)
def _grid_terms(rows, cols):
    """The surface's terms at every reduced pixel: the same for every frame
    of one label, so made once."""
    y, x = np.mgrid[0:rows, 0:cols].astype(np.float32)
    x, y = x / max(cols, 1), y / max(rows, 1)
    terms = _terms(x, y)
    terms.flags.writeable = False
    return terms


def _evaluate(coefficients, rows, cols):
    return (_grid_terms(rows, cols) @ coefficients.astype(np.float32)).astype(np.float32)


def measure(image, region=None):
    """The Levels of a grey image, measured inside `region` (x1, y1, x2,
    y2; the whole image by default). TooFlat when paper and ink cannot be
    told apart."""
    h, w = image.shape[:2]
    small = cv2.resize(image, ((w + FIT_STEP - 1) // FIT_STEP, (h + FIT_STEP - 1) // FIT_STEP),
                       interpolation=cv2.INTER_AREA)
    rows, cols = small.shape
    inside = np.zeros(small.shape, bool)
    x1, y1, x2, y2 = region or (0, 0, w, h)
    inside[y1 // FIT_STEP:(y2 + FIT_STEP - 1) // FIT_STEP, x1 // FIT_STEP:(x2 + FIT_STEP - 1) // FIT_STEP] = True
    values = small[inside]
    if values.size < 16:
        raise TooFlat("contrast too low (nothing to measure)")
    level, _ = cv2.threshold(values.reshape(1, -1), 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    # Away from the edges between paper and ink, where blur mixes them.
    paper = cv2.erode(((small > level) & inside).astype(np.uint8), np.ones((3, 3), np.uint8)) > 0
    ink = cv2.erode(((small <= level) & inside).astype(np.uint8), np.ones((3, 3), np.uint8)) > 0
    if paper.sum() < 12 or ink.sum() < 1:
        raise TooFlat("contrast too low (no paper and ink to tell apart)")
    ys, xs = np.nonzero(paper)
    if xs.size > MOST_POINTS:
        step = xs.size // MOST_POINTS + 1
        ys, xs = ys[::step], xs[::step]
    terms = _terms(xs / cols, ys / rows).astype(np.float64)
    coefficients = np.linalg.lstsq(terms, small[ys, xs].astype(np.float64), rcond=None)[0]
    levels = Levels(coefficients, 0.0, float(np.median(small[paper])), (h, w))
    # Ink at full resolution: reduced, a thin stroke is a mixture of ink and
    # paper. The darkest tenth of what is ink is solid ink, however thin or
    # heavy the print (thin strokes never reach it, and there are always
    # wider elements that do). Every other pixel each way is plenty.
    block = image[y1:y2:2, x1:x2:2]
    half = cv2.resize(levels.surface_reduced(), ((w + 1) // 2, (h + 1) // 2), interpolation=cv2.INTER_LINEAR)
    surface = half[(y1 + 1) // 2:(y1 + 1) // 2 + block.shape[0], (x1 + 1) // 2:(x1 + 1) // 2 + block.shape[1]]
    dark = block <= level
    relative = block[dark].astype(np.float32) / np.maximum(surface[dark], 1.0)
    if relative.size:
        k = max(0, int(relative.size * INK_PERCENTILE / 100) - 1)
        levels.ink = float(np.clip(np.partition(relative, k)[k], 0.0, 1.0))
    else:
        levels.ink = 1.0
    return levels


def check(levels, floor=MIN_CONTRAST):
    """TooFlat when paper and ink lie less than `floor` grey levels apart."""
    if levels.contrast < floor:
        raise TooFlat("contrast too low (paper %.0f, ink %.0f grey levels: at least %d apart are needed)"
                      % (levels.paper, levels.paper * levels.ink, floor))


class Reference:
    """The standard's light, prepared once: frames are mapped onto it."""

    def __init__(self, image, region=None):
        self.levels = measure(image, region)
        self.surface = self.levels.surface()
        self.reduced = self.levels.surface_reduced()
        self.region = region

    def offset(self, factor):
        """The standard's paper surface times `factor` (float32)."""
        return self.surface * np.float32(factor)

    def normalise(self, frame, floor=MIN_CONTRAST):
        """The frame (the same size as the standard) under the standard's
        light: uint8. TooFlat when it is too dark or flat to judge."""
        levels = measure(frame, self.region)
        check(levels, floor)
        ink_f, ink_s = levels.ink, self.levels.ink
        gain = (1.0 - ink_s) / max(1.0 - ink_f, 1e-3)
        # out = S (ink_s + (I / P - ink_f) gain) = a I + b, with the standard's
        # paper S and the frame's P: both fields smooth, made reduced.
        h, w = frame.shape[:2]
        scale = cv2.resize(self.reduced * (gain / np.maximum(levels.surface_reduced(), 1.0)), (w, h),
                           interpolation=cv2.INTER_LINEAR)
        out = cv2.multiply(frame, scale, dtype=cv2.CV_32F)
        cv2.add(out, self.offset(ink_s - gain * ink_f), out)
        return cv2.convertScaleAbs(out)

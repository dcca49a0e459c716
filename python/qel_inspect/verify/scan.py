"""Scan reflectance profiles taken from a grey image: bars running across
the image, so each profile is a column, read through a small square
aperture (which smooths the sensor's noise as a verifier's round aperture
does), and turned into reflectance as a share of the paper's."""
import cv2
import numpy as np

# The share of a profile's samples brighter than the level taken for the
# paper: high enough to stand on the spaces and quiet zones, low enough
# that noise and single bright pixels do not set it.
PAPER_PERCENTILE = 90.0


def paper_level(grey: np.ndarray) -> np.ndarray:
    """The paper's grey level in each profile (one a row)."""
    k = min(grey.shape[-1] - 1, int(round(grey.shape[-1] * PAPER_PERCENTILE / 100.0)))
    return np.partition(grey, k, axis=-1)[..., k]


def profiles(image: np.ndarray, xs, y1: int, y2: int, aperture: int = 1, black: float = 0.0,
             paper_reflectance: float = 1.0) -> np.ndarray:
    """Profiles (one a row, samples y1..y2-1) of the columns `xs`, each the
    mean over an `aperture`-pixel square around it, as reflectance: the
    grey level less the camera's `black` level, over the paper's, times
    the paper's own reflectance (1.0: reflectance relative to the paper)."""
    h, w = image.shape[:2]
    a = max(1, int(aperture))
    half = (a - 1) // 2
    lo, hi = max(0, y1 - half), min(h, y2 + a - half)
    cols = np.minimum(np.maximum(np.asarray(xs, int)[:, None] - half + np.arange(a)[None, :], 0), w - 1)
    strip = image[lo:hi, cols.ravel()]
    if a > 1:
        # Each scan's columns side by side: a box as wide as they are,
        # anchored on the first, averages exactly them.
        strip = cv2.boxFilter(strip, cv2.CV_32F, (a, a), anchor=(0, half), borderType=cv2.BORDER_REPLICATE)[:, ::a]
    grey = strip[y1 - lo:y2 - lo].T.astype(np.float64)
    if black:
        grey -= black
    paper = paper_level(grey)
    return grey / np.maximum(paper, 1e-6)[:, None] * paper_reflectance

"""Text: each text region of the label read by OCR (Tesseract, through
Debian's python3-tesserocr, loaded when text is first read), for the
content rules; a text region without a pattern or an expected value is
only checked to hold print of about the standard's height and extent
there (a line lost or smeared shows; its wording is not read).

The region is turned back upright first: label space lays the bars
across, which may have turned the text on its side.
"""
import threading

import cv2
import numpy as np

from .. import pipeline, validate
from . import Findings, defect

NAME = "text"
KEYS = ("extent",)
READ_MARGIN = 6             # pixels of the label around a text region that are read with it
_local = threading.local()


def parse(table):
    validate.only(NAME, table, KEYS)
    return {"extent": validate.number("extent", table.get("extent", 0.25), 0.0, 1.0)}


def _api():
    """One Tesseract engine a thread, kept: starting one costs more than a line."""
    api = getattr(_local, "api", None)
    if api is None:
        from tesserocr import PSM, PyTessBaseAPI

        api = _local.api = PyTessBaseAPI(psm=PSM.SINGLE_LINE)
    return api


def upright(standard, image):
    """`image` (a part of label space) turned as the label reads."""
    turn = standard.label.space.turn if standard.label is not None else 0
    return np.ascontiguousarray(np.rot90(image, -(turn // 90))) if turn else image


def read(image):
    """The text of a grey picture of one line of print."""
    from PIL import Image

    api = _api()
    # Tesseract reads best with a little paper around and letters some 30 px tall.
    big = cv2.copyMakeBorder(image, 12, 12, 12, 12, cv2.BORDER_REPLICATE)
    if big.shape[0] < 60:
        big = cv2.resize(big, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)
    api.SetImage(Image.fromarray(big))
    return " ".join(api.GetUTF8Text().split())


def extent(image):
    """(height, width) of the print in a picture of a text line, pixels."""
    _, ink = cv2.threshold(image, 0, 255, cv2.THRESH_BINARY_INV | cv2.THRESH_OTSU)
    ink = cv2.morphologyEx(ink, cv2.MORPH_OPEN, np.ones((2, 2), np.uint8))
    ys, xs = np.nonzero(ink)
    if not xs.size or image.max() - image.min() < 30:
        return (0, 0)
    return (int(ys.max() - ys.min() + 1), int(xs.max() - xs.min() + 1))


def run(aligned, settings):
    standard = aligned.standard
    camera = pipeline.to_work(aligned.work, standard.polarity)
    reference = pipeline.to_work(standard.rotated, standard.polarity)
    found, values = [], {}
    for region in standard.regions:
        if region.kind != "text":
            continue
        x1, y1, x2, y2 = region.box
        picture = upright(standard, camera[y1:y2, x1:x2])
        if region.pattern or region.expect is not None or region.same_as or region.serial:
            # Read with some paper around: a box drawn tight may clip a glyph's edge
            # (a 3 cut on its right reads as a 5).
            h, w = camera.shape[:2]
            pad = READ_MARGIN
            wider = camera[max(0, y1 - pad):min(h, y2 + pad), max(0, x1 - pad):min(w, x2 + pad)]
            values[region.name or "text %d" % standard.regions.index(region)] = read(upright(standard, wider))
            continue
        # No wording to read against: the print must be there, as tall and as long as the standard's.
        seen, meant = extent(picture), extent(upright(standard, reference[y1:y2, x1:x2]))
        if meant[0] and (abs(seen[0] - meant[0]) > settings["extent"] * meant[0] + 2
                         or abs(seen[1] - meant[1]) > settings["extent"] * meant[1] + 2):
            found.append(defect(aligned, "text missing" if seen[1] < meant[1] else "text too large",
                                "%s: print %dx%d px, the standard's %dx%d" % (region.label, seen[1], seen[0],
                                                                              meant[1], meant[0]), region.box))
    return Findings(found, {"texts": values} if values else {})

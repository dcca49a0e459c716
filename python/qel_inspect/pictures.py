"""Pictures of a frame for people: the marked picture (each defect framed
in red on the frame as the camera saw it) and a thumbnail around the
defects, encoded for the output folder."""
import os

import cv2

from . import pipeline
from .files import encode_picture
from .sources import MARKED

THUMBS = os.path.join(MARKED, "thumbs")


def thumbnail(marked, boxes, most=(360, 240), least=(240, 160)):
    """A crop of the marked picture around the boxes ([x1, y1, x2, y2] in
    the frame), at least `least` (so a small defect is seen in its
    surroundings), scaled down to fit `most`."""
    h, w = marked.shape[:2]
    x1 = min(b[0] for b in boxes)
    y1 = min(b[1] for b in boxes)
    x2 = max(b[2] for b in boxes)
    y2 = max(b[3] for b in boxes)
    cw = min(w, max(least[0], x2 - x1 + 48))
    ch = min(h, max(least[1], y2 - y1 + 48))
    left = min(max(0, (x1 + x2 - cw) // 2), w - cw)
    top = min(max(0, (y1 + y2 - ch) // 2), h - ch)
    crop = marked[top:top + ch, left:left + cw]
    scale = min(1.0, most[0] / crop.shape[1], most[1] / crop.shape[0])
    if scale < 1.0:
        crop = cv2.resize(crop, (max(1, round(crop.shape[1] * scale)), max(1, round(crop.shape[0] * scale))),
                          interpolation=cv2.INTER_AREA)
    return crop


def marked_pictures(frame, defects, marked, around=None):
    """The marked picture and its thumbnail (around the defects, or the
    boxes `around`), as {path relative to the output folder: encoded
    bytes}."""
    picture = pipeline.marked_picture(frame, defects)
    thumb = os.path.join(THUMBS, os.path.splitext(os.path.basename(marked))[0] + ".jpg")
    boxes = around or [d.box_frame for d in defects]
    return {marked: encode_picture(marked, picture),
            thumb: encode_picture(thumb, thumbnail(picture, boxes), (cv2.IMWRITE_JPEG_QUALITY, 90))}

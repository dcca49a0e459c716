"""Pictures of a frame for people: the marked picture (each defect framed
in red on the frame as the camera saw it) and a thumbnail around the
defects, encoded for the output folder."""
import os
import struct
import zlib

import cv2
import numpy as np

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
    data = (indexed_png(picture, frame, pipeline.marked_area(frame, defects))
            if marked.lower().endswith(".png") and frame.ndim == 2 else None)
    return {marked: data or encode_picture(marked, picture),
            thumb: encode_picture(thumb, thumbnail(picture, boxes), (cv2.IMWRITE_JPEG_QUALITY, 90))}


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def indexed_png(picture, grey, within=None):
    """A colour picture drawn on a grey frame as PNG bytes with a palette,
    a byte a pixel: each grey level its own entry, the few drawn colours
    in levels the frame does not use. None when they do not fit (an anti-
    aliased line draws hundreds of shades). A third of the bytes of the colour PNG
    to filter and compress, and compressed without looking for repeats
    (the frame's noise has few): several times faster, files half as big.
    The drawing is looked for only `within` (x1, y1, x2, y2) when given:
    the picture must equal the frame elsewhere."""
    h, w = grey.shape
    if picture.shape != (h, w, 3) or picture.dtype != np.uint8 or grey.dtype != np.uint8:
        return None
    x1, y1, x2, y2 = within or (0, 0, w, h)
    at = None
    if x2 > x1 and y2 > y1:
        part = picture[y1:y2, x1:x2]
        drawn = cv2.compare(part, cv2.cvtColor(grey[y1:y2, x1:x2], cv2.COLOR_GRAY2BGR), cv2.CMP_NE)
        at = cv2.findNonZero(drawn.reshape(y2 - y1, (x2 - x1) * 3))
    index = grey.copy()
    palette = np.repeat(np.arange(256, dtype=np.uint8)[:, None], 3, 1)
    if at is not None:
        ys, xs = np.divmod(np.unique(at[:, 0, 1].astype(np.int64) * (x2 - x1) + at[:, 0, 0] // 3), x2 - x1)
        ys += y1
        xs += x1
        # Levels used where nothing is drawn: all the frame's, less those under the drawing.
        used = cv2.calcHist([grey], [0], None, [256], [0, 256]).ravel().astype(np.int64)
        used -= np.bincount(grey[ys, xs], minlength=256)
        free = np.flatnonzero(used == 0)
        colours, which = np.unique(picture[ys, xs], axis=0, return_inverse=True)
        if len(colours) > len(free):
            return None
        index[ys, xs] = free[which.ravel()]
        palette[free[:len(colours)]] = colours[:, ::-1]
    # Each row filtered by its left neighbour ("sub"): the index is the grey level but where drawn.
    rows = np.empty((h, w + 1), np.uint8)
    rows[:, 0] = 1
    rows[:, 1] = index[:, 0]
    np.subtract(index[:, 1:], index[:, :-1], out=rows[:, 2:])
    deflate = zlib.compressobj(1, zlib.DEFLATED, 15, 9, zlib.Z_HUFFMAN_ONLY)
    data = deflate.compress(rows) + deflate.flush()
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 3, 0, 0, 0))
            + _chunk(b"PLTE", palette.tobytes()) + _chunk(b"IDAT", data) + _chunk(b"IEND", b""))


BAR_AREA, COMPARED, IGNORED, BARS = (255, 120, 0), (200, 0, 200), (90, 90, 90), (0, 200, 0)


NAMED = (0, 150, 220)


def regions_picture(image, aoi, compare=(), ignore=(), bars=(), caption=None, ticks=True, named=()):
    """The standard (grey) with what a recipe does with each part of it:
    the compared area (magenta), the ignored ones (grey, hatched), the bar
    area the alignment uses (blue), the bars found (green), a caption, and
    ticks every 50 pixels along the top and left edges to read boxes off."""
    out = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR) if image.ndim == 2 else image.copy()
    thick = max(1, image.shape[1] // 400)
    for x1, y1, x2, y2 in ignore:
        overlay = out.copy()
        cv2.rectangle(overlay, (x1, y1), (x2 - 1, y2 - 1), IGNORED, cv2.FILLED)
        out = cv2.addWeighted(overlay, 0.35, out, 0.65, 0)
        for k in range(x1 - (y2 - y1), x2, 8):
            cv2.line(out, (max(k, x1), y1 + max(0, x1 - k)), (min(k + (y2 - y1), x2 - 1), min(y2 - 1, y1 + x2 - 1 - k)),
                     IGNORED, 1)
        cv2.rectangle(out, (x1, y1), (x2 - 1, y2 - 1), IGNORED, thick)
    for x1, y1, x2, y2 in compare:
        cv2.rectangle(out, (x1, y1), (x2 - 1, y2 - 1), COMPARED, thick)
    if bars:
        cv2.drawContours(out, list(bars), -1, BARS, 1)
    x1, y1, x2, y2 = aoi
    cv2.rectangle(out, (x1, y1), (x2 - 1, y2 - 1), BAR_AREA, thick + 1)
    for (x1, y1, x2, y2), name in named:
        cv2.rectangle(out, (x1, y1), (x2 - 1, y2 - 1), NAMED, thick + 1)
        cv2.putText(out, name, (x1 + 3, max(12, y1 - 4)), cv2.FONT_HERSHEY_SIMPLEX, 0.45, NAMED, 1, cv2.LINE_AA)
    if ticks:
        h, w = out.shape[:2]
        for x in range(0, w, 50):
            cv2.line(out, (x, 0), (x, 8 if x % 100 else 14), (0, 0, 0), 1)
        for y in range(0, h, 50):
            cv2.line(out, (0, y), (8 if y % 100 else 14, y), (0, 0, 0), 1)
    if caption:
        (tw, th), base = cv2.getTextSize(caption, cv2.FONT_HERSHEY_SIMPLEX, 0.5, 1)
        h = out.shape[0]
        cv2.rectangle(out, (0, h - th - base - 8), (tw + 10, h), (255, 255, 255), cv2.FILLED)
        cv2.putText(out, caption, (5, h - base - 4), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 0, 0), 1, cv2.LINE_AA)
    return out


OUTLINE = (0, 170, 255)


def found_pictures(frame, found, reason, marked):
    """For a frame that could not be inspected: the frame as the camera saw
    it with what was found of the label drawn on it (its outline orange,
    the bar area blue) and the reason written across the top, and its
    thumbnail, as {path relative to the output folder: encoded bytes}."""
    picture = cv2.cvtColor(frame, cv2.COLOR_GRAY2BGR) if frame.ndim == 2 else frame.copy()
    thick = max(2, frame.shape[1] // 500)
    for key, colour in (("outline", OUTLINE), ("bar_area", BAR_AREA)):
        if found.get(key):
            cv2.polylines(picture, [np.int32(np.round(found[key]))], True, colour, thick, cv2.LINE_AA)
    scale = max(0.5, frame.shape[1] / 1400.0)
    (tw, th), base = cv2.getTextSize(reason, cv2.FONT_HERSHEY_SIMPLEX, scale, 1)
    cv2.rectangle(picture, (0, 0), (min(picture.shape[1], tw + 12), th + base + 12), (255, 255, 255), cv2.FILLED)
    cv2.putText(picture, reason, (6, th + 6), cv2.FONT_HERSHEY_SIMPLEX, scale, (0, 0, 160), 1, cv2.LINE_AA)
    thumb = os.path.join(THUMBS, os.path.splitext(os.path.basename(marked))[0] + ".jpg")
    h, w = picture.shape[:2]
    boxes = [[0, 0, w, h]]
    return {marked: encode_picture(marked, picture),
            thumb: encode_picture(thumb, thumbnail(picture, boxes, least=(w, h)), (cv2.IMWRITE_JPEG_QUALITY, 88))}

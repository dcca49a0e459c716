"""Reading codes with the maintained decoder (zxing-cpp, from Debian's
python3-zxing-cpp, imported when a code is first read): where a symbol
lies, what it holds, and, for a DataMatrix or QR symbol, its module grid
as the encoder would make it for that content.
"""
from dataclasses import dataclass

import cv2
import numpy as np

# Our names for the decoder's formats.
FORMATS = {"code128": "Code128", "gs1-128": "Code128", "ean13": "EAN13", "ean8": "EAN8", "upca": "UPCA",
           "upce": "UPCE", "code39": "Code39", "itf": "ITF", "datamatrix": "DataMatrix", "qr": "QRCode"}
MATRIX = ("datamatrix", "qr")
_NAMES = {v: k for k, v in FORMATS.items() if k != "gs1-128"}


@dataclass
class Symbol:
    symbology: str                 # our name for it
    text: str                      # what it holds, GS (0x1d) between GS1 fields
    corners: np.ndarray            # 4 x 2, in the image read, clockwise from the symbol's top-left
    gs1: bool                      # marked as GS1 (FNC1 first)
    bars_box: tuple = None         # a linear symbol's bars, (x1, y1, x2, y2), where measured

    @property
    def box(self):
        x1, y1 = np.floor(self.corners.min(0)).astype(int)
        x2, y2 = np.ceil(self.corners.max(0)).astype(int) + 1
        return (int(x1), int(y1), int(x2), int(y2))


def _zxing():
    import zxingcpp
    return zxingcpp


def read(image, box=None, symbology=None, margin=40):
    """The symbols found in `image` (grey, dark print on light paper)
    within `box` (x1, y1, x2, y2; all of it by default), of `symbology`
    when given, with their corners in the image's coordinates; the
    largest first. The decoder is shown `margin` pixels more each way: a
    linear code needs its quiet zone, which a box drawn tight leaves out."""
    zx = _zxing()
    x1, y1, x2, y2 = box or (0, 0, image.shape[1], image.shape[0])
    h, w = image.shape[:2]
    inner = (x1, y1, x2, y2)
    x1, y1, x2, y2 = max(0, x1 - margin), max(0, y1 - margin), min(w, x2 + margin), min(h, y2 + margin)
    part = np.ascontiguousarray(image[y1:y2, x1:x2])
    if part.size == 0:
        return []
    chosen = {"formats": getattr(zx.BarcodeFormat, FORMATS[symbology])} if symbology else {}
    found = []
    # The decoder's default binarizer misses fine modules (3 to 4 px) now
    # and then: a fixed threshold, then twice the size, are tried next. One
    # symbol a reading: Debian's decoder aborts the whole process when it
    # merges several rows' readings of a blurred EAN code into a list.
    scale = 1.0
    result = zx.read_barcode(part, try_rotate=True, **chosen)
    if result is None:
        result = zx.read_barcode(part, try_rotate=True, binarizer=zx.Binarizer.FixedThreshold, **chosen)
    if result is None:
        scale = 2.0
        result = zx.read_barcode(cv2.resize(part, None, fx=2, fy=2, interpolation=cv2.INTER_LINEAR),
                                 try_rotate=True, **chosen)
    for result in [result] if result is not None else []:
        name = _NAMES.get(result.format.name)
        if name is None or not result.valid:
            continue
        p = result.position
        corners = np.float64([[c.x, c.y] for c in (p.top_left, p.top_right, p.bottom_right, p.bottom_left)])
        corners = corners / scale + (x1, y1)
        centre = corners.mean(0)
        if not (inner[0] <= centre[0] < inner[2] and inner[1] <= centre[1] < inner[3]):
            continue                    # a symbol of the margin, not of the box
        gs1 = result.symbology_identifier in ("]C1", "]d2", "]Q3", "]e0")
        if name == "code128" and gs1:
            name = "gs1-128"
        found.append(Symbol(name, result.text, corners, gs1))
    return sorted(found, key=lambda s: -cv2.contourArea(s.corners.astype(np.float32)))


def modules(symbology, text):
    """The dark modules (1) of the DataMatrix or QR symbol the encoder
    makes for `text`, without its quiet zone; None when it cannot."""
    zx = _zxing()
    try:
        picture = np.asarray(zx.write_barcode(getattr(zx.BarcodeFormat, FORMATS[symbology]), text, 0, 0))
    except Exception:  # noqa: BLE001 - content the encoder will not take: no grid to compare with
        return None
    dark = picture < 128
    rows, cols = np.nonzero(dark.any(1))[0], np.nonzero(dark.any(0))[0]
    if not rows.size:
        return None
    return dark[rows[0]:rows[-1] + 1, cols[0]:cols[-1] + 1].astype(np.uint8)


def sample(image, corners, size):
    """The grey level at the centre of every module of an n x n symbol
    whose outer corners are `corners` (clockwise from top-left), by a
    perspective map of the module grid: an n x n float array."""
    n = size
    src = np.float32([[0, 0], [n, 0], [n, n], [0, n]])
    warp = cv2.getPerspectiveTransform(src, np.float32(corners))
    centres = np.float32([[[j + 0.5, i + 0.5] for j in range(n)] for i in range(n)])
    points = cv2.perspectiveTransform(centres.reshape(-1, 1, 2), warp).reshape(n, n, 2)
    # A 3 x 3 average around each centre steadies the reading against noise.
    smooth = cv2.blur(image.astype(np.float32), (3, 3))
    xs = np.clip(np.rint(points[..., 0]).astype(int), 0, image.shape[1] - 1)
    ys = np.clip(np.rint(points[..., 1]).astype(int), 0, image.shape[0] - 1)
    return smooth[ys, xs]


def bars_box(image, box):
    """The box around the bars of a linear symbol inside `box`: the long,
    thin dark outlines (a bar is at least four times as long as wide) at
    least half as long as the longest, joined."""
    x1, y1, x2, y2 = box
    part = image[y1:y2, x1:x2]
    _, dark = cv2.threshold(part, 0, 255, cv2.THRESH_BINARY_INV | cv2.THRESH_OTSU)
    count, _, stats, _ = cv2.connectedComponentsWithStats(dark, connectivity=8)
    if count < 2:
        return None
    sizes = stats[1:, 2:4]
    thin = [max(w, h) >= 4 * min(w, h) for w, h in sizes]
    if not any(thin):
        return None
    longest = max(max(w, h) for (w, h), t in zip(sizes, thin) if t)
    keep = [k + 1 for k, ((w, h), t) in enumerate(zip(sizes, thin)) if t and max(w, h) >= 0.5 * longest]
    xs = [stats[k, 0] for k in keep] + [stats[k, 0] + stats[k, 2] for k in keep]
    ys = [stats[k, 1] for k in keep] + [stats[k, 1] + stats[k, 3] for k in keep]
    return (x1 + min(xs), y1 + min(ys), x1 + max(xs), y1 + max(ys))


def find_matrix(image):
    """DataMatrix and QR symbols anywhere in a larger picture (a whole
    label, in which the decoder's own search gets lost among text and
    edges): square patches of dense print, each read on its own, the
    largest first."""
    _, ink = cv2.threshold(image, 0, 255, cv2.THRESH_BINARY_INV | cv2.THRESH_OTSU)
    k = max(3, min(image.shape[:2]) // 60) | 1
    blocks = cv2.morphologyEx(ink, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_RECT, (k, k)))
    count, _, stats, _ = cv2.connectedComponentsWithStats(blocks, connectivity=8)
    found = []
    for i in range(1, count):
        x, y, w, h, area = stats[i]
        if min(w, h) < 30 or max(w, h) > 1.3 * min(w, h) or area < 0.6 * w * h:
            continue
        pad = max(w, h) // 4
        for symbol in read(image, (x, y, x + w, y + h), margin=pad):
            if symbol.symbology in MATRIX:
                found.append(symbol)
    return sorted(found, key=lambda s: -cv2.contourArea(s.corners.astype(np.float32)))


def read_all(image):
    """Every symbol on a label: what the decoder finds in the whole
    picture, and the 2D symbols found patch by patch, each once."""
    found = read(image)
    for symbol in find_matrix(image):
        centre = symbol.corners.mean(0)
        if not any(np.hypot(*(centre - s.corners.mean(0))) < 10 for s in found):
            found.append(symbol)
    return found

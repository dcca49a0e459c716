"""Teaching from several good prints: a clean standard made as the
pixel-wise median of the prints, each brought onto the first one's place
and light, so a user without the artwork still gets a standard free of one
frame's noise, dust and lighting; and the areas where the prints differ
from one another (a serial number, a date), proposed as variable regions
with what each holds: a code (read by the decoder) or text (read by OCR).
"""
import re

import cv2
import numpy as np

from . import light, locate, regions


class TeachError(Exception):
    """str() is the one-line reason."""


def _on_first(first, pose, image, reference, space):
    """`image` brought onto the first print's place: its label found, the
    matrix composed, the fit refined by maximising correlation."""
    try:
        found = locate.find(image, reference)
    except locate.LabelNotFound as e:
        raise TeachError(str(e))
    to_first = np.vstack([cv2.invertAffineTransform(space.matrix(pose)), [0, 0, 1]]) @ \
        np.vstack([space.matrix(found), [0, 0, 1]])
    matrix = to_first[:2].astype(np.float32)
    h, w = first.shape[:2]
    moved = cv2.warpAffine(image, matrix, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    mask = np.zeros((h, w), np.uint8)
    cv2.fillConvexPoly(mask, pose.corners().astype(np.int32), 255)
    try:
        _, refine = cv2.findTransformECC(first.astype(np.float32), moved.astype(np.float32),
                                         np.eye(2, 3, dtype=np.float32), cv2.MOTION_EUCLIDEAN,
                                         (cv2.TERM_CRITERIA_EPS | cv2.TERM_CRITERIA_COUNT, 60, 1e-5), mask, 3)
    except cv2.error:
        return moved                    # no better fit found: the label's own place serves
    whole = np.vstack([refine, [0, 0, 1]]).astype(np.float64)
    combined = np.linalg.inv(whole) @ to_first
    return cv2.warpAffine(image, combined[:2], (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)


def median_standard(images):
    """The median of good prints (grey images), each brought onto the
    first's place and light. Returns (standard, the prints as brought
    there). TeachError when a print's label cannot be found."""
    first = images[0]
    try:
        pose = locate.find_rough(first)
    except locate.LabelNotFound as e:
        raise TeachError("the first print: %s" % e)
    space = locate.Space(pose.size, 0, int(max(16, round(0.03 * max(pose.size)))))
    reference = locate.Reference.of(space, pose.found_by, space.warp(first, pose))
    x, y, w, h = cv2.boundingRect(pose.corners().astype(np.float32))
    region = (max(0, x), max(0, y), min(first.shape[1], x + w), min(first.shape[0], y + h))
    lit = light.Reference(first, region)
    brought = [first]
    for n, image in enumerate(images[1:], 2):
        try:
            moved = _on_first(first, pose, image, reference, space)
        except TeachError as e:
            raise TeachError("print %d: %s" % (n, e))
        try:
            brought.append(lit.normalise(moved, 1))
        except light.TooFlat as e:
            raise TeachError("print %d: %s" % (n, e))
    stack = np.stack(brought)
    return np.median(stack, axis=0).round().astype(np.uint8), brought


def differences(brought, pose, space, contrast):
    """(where the prints differ from one another, the prints in label
    space): a pixel of shift forgiven, as the comparison forgives it, and
    only on the label."""
    labelled = [space.warp(p, pose) for p in brought]
    median = np.median(np.stack(labelled), axis=0).astype(np.uint8)
    kernel = np.ones((3, 3), np.uint8)
    lightest, darkest = cv2.dilate(median, kernel).astype(np.int16), cv2.erode(median, kernel).astype(np.int16)
    differs = np.zeros(median.shape, bool)
    for p in labelled:
        p = p.astype(np.int16)
        differs |= np.maximum(p - lightest, darkest - p) > 0.4 * contrast
    x1, y1, x2, y2 = space.label_box()
    inside = np.zeros_like(differs)
    inside[y1 + space.margin // 2:y2 - space.margin // 2, x1 + space.margin // 2:x2 - space.margin // 2] = True
    mask = cv2.morphologyEx((differs & inside).astype(np.uint8), cv2.MORPH_OPEN, np.ones((2, 2), np.uint8))
    return mask, labelled


def boxes_of(mask, module=None):
    """Boxes around the areas of a mask, each area's parts closer than a
    few modules joined, with a margin; boxes that overlap once grown are
    one."""
    m = module or 4.0
    join = int(max(5, round(4 * m))) | 1
    mask = cv2.morphologyEx(mask, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_RECT, (join, join)))
    count, _, stats, _ = cv2.connectedComponentsWithStats(mask, connectivity=8)
    pad = int(round(max(8, 2 * m)))
    h, w = mask.shape
    boxes = []
    for i in range(1, count):
        x, y, bw, bh, area = stats[i]
        if area < (3 * m) ** 2:
            continue
        boxes.append([max(0, x - pad), max(0, y - pad), min(w, x + bw + pad), min(h, y + bh + pad)])
    return _joined(boxes)


def _joined(boxes):
    boxes = [list(b) for b in boxes]
    merged = True
    while merged:
        merged = False
        for a in range(len(boxes)):
            for b in range(a + 1, len(boxes)):
                p, q = boxes[a], boxes[b]
                if p[0] < q[2] and q[0] < p[2] and p[1] < q[3] and q[1] < p[3]:
                    boxes[a] = [min(p[0], q[0]), min(p[1], q[1]), max(p[2], q[2]), max(p[3], q[3])]
                    del boxes[b]
                    merged = True
                    break
            if merged:
                break
    return [tuple(int(v) for v in b) for b in sorted(boxes, key=lambda b: (b[1], b[0]))]


TOKENS = re.compile(r"\d+|[A-Za-z]+|\s+|[^\w\s]")


def _pattern(texts):
    """A regular expression that every one of `texts` matches: the first
    one's words, each run of digits made a class of its length, spaces
    loose, and the part that changes from text to text grouped (the value
    the rules see). None when the texts differ in more than their
    changing digits and words."""
    split = [TOKENS.findall(t) for t in texts]
    if len({len(x) for x in split}) != 1:
        return None
    parts, changing = [], []
    for column in zip(*split):
        t = column[0]
        varies = len(set(column)) > 1
        if t.isdigit():
            if {len(c) for c in column} != {len(t)} or not all(c.isdigit() for c in column):
                return None
            parts.append(r"\d{%d}" % len(t))
        elif t.isspace():
            parts.append(r"\s+")
        elif varies and all(c.isalpha() for c in column):
            parts.append(r"[A-Za-z]+")
        elif varies:
            return None
        else:
            parts.append(re.escape(t))
        changing.append(varies)
    if any(changing):
        first, last = changing.index(True), len(changing) - 1 - changing[::-1].index(True)
        parts = parts[:first] + ["(" + "".join(parts[first:last + 1]) + ")"] + parts[last + 1:]
    return "".join(parts)


def _step(values):
    """The constant step between numeric values, or None."""
    if len(values) < 2 or not all(v and v.isdigit() for v in values):
        return None
    steps = {int(b) - int(a) for a, b in zip(values, values[1:])}
    return steps.pop() if len(steps) == 1 and 0 not in steps else None


def variable_regions(brought, pose, space, contrast, module=None):
    """Region settings for what differs from print to print: each code
    that changes (found by the decoder around an area of difference, its
    region the whole symbol with its quiet zone: a serial changes only
    some of a symbol's bars), with gs1 when it holds a GS1 element
    string and serial when its number steps evenly from print to print;
    then text, in what differs outside the codes, with a pattern learnt
    from its reading in every print and same_as a code whose value it
    repeats."""
    from . import decode, gs1
    from .checks import text as ocr

    mask, labelled = differences(brought, pose, space, contrast)
    m = module or 4.0
    out, codes = [], {}
    on_labels = [decode.read_all(p) for p in labelled]
    for box in boxes_of(mask, module):
        found = [[s for s in symbols if regions.overlap(s.box, box)] for symbols in on_labels]
        if not all(found):
            continue
        symbols = [f[0] for f in found]
        region = _symbol_box(labelled[0], symbols[0], m)
        if any(regions.overlap(region, r["box"]) for r in out):
            continue
        name = "code" if not codes else "code%d" % (len(codes) + 1)
        entry = {"kind": "code", "box": list(region), "name": name, "variable": True,
                 "symbology": symbols[0].symbology}
        read = [s.text for s in symbols]
        parsed = [gs1.parse(t) for t in read]
        if all(not p.problems for p in parsed) and (symbols[0].gs1 or all(p.get("01") for p in parsed)):
            entry["gs1"] = True
            values = [p.get("21") or "" for p in parsed]
            if _step(values):
                entry["serial"] = {"step": _step(values), "ai": "21"}
        else:
            values = read
            if _step(values):
                entry["serial"] = {"step": _step(values)}
        codes[name] = values
        out.append(entry)
    # What differs outside the codes is text: each area grown to the whole
    # line of print it is part of (a serial changes only its last digits).
    for entry in out:
        x1, y1, x2, y2 = entry["box"]
        mask[y1:y2, x1:x2] = 0
    texts = _joined(_line_box(labelled, box, space.turn, m) for box in boxes_of(mask, module))
    for entry in out:
        texts = [_clear_of(t, entry["box"]) for t in texts]
    texts = [t for t in texts if t is not None]
    for n, box in enumerate(texts, 1):
        x1, y1, x2, y2 = box
        read = [ocr.read(np.ascontiguousarray(np.rot90(p[y1:y2, x1:x2], -(space.turn // 90)))) for p in labelled]
        entry = {"kind": "text", "box": list(box), "name": "text" if len(texts) == 1 else "text%d" % n,
                 "variable": True}
        pattern = _pattern(read) if all(read) else None
        if pattern:
            entry["pattern"] = pattern
            matched = [re.fullmatch(pattern, t) for t in read]
            values = [m_.group(1) if m_.groups() else m_.group(0) for m_ in matched]
            for name, theirs in codes.items():
                if theirs == values:
                    entry["same_as"] = name
        out.append(entry)
    return out


def _line_box(labelled, box, turn, module):
    """The box of the line of print `box` lies in: the ink of the prints'
    median joined along the reading direction (label space turns text on
    its side with a quarter turn), the pieces that meet the box."""
    median = np.median(np.stack(labelled), axis=0).astype(np.uint8)
    _, ink = cv2.threshold(median, 0, 255, cv2.THRESH_BINARY_INV | cv2.THRESH_OTSU)
    reach = int(round(6 * module)) | 1
    kernel = (reach, 1) if turn % 180 == 0 else (1, reach)      # (width, height)
    lines = cv2.morphologyEx(ink, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_RECT, kernel))
    count, labels, stats, _ = cv2.connectedComponentsWithStats(lines, connectivity=8)
    x1, y1, x2, y2 = box
    touched = set(np.unique(labels[y1:y2, x1:x2])) - {0}
    if not touched:
        return box
    xs = [stats[k, 0] for k in touched] + [stats[k, 0] + stats[k, 2] for k in touched] + [x1, x2]
    ys = [stats[k, 1] for k in touched] + [stats[k, 1] + stats[k, 3] for k in touched] + [y1, y2]
    pad = int(round(module))
    h, w = median.shape
    return (max(0, min(xs) - pad), max(0, min(ys) - pad), min(w, max(xs) + pad), min(h, max(ys) + pad))


def _clear_of(box, other):
    """`box` moved off `other` where they touch at an edge (the margins
    around print overlap); None when one lies inside the other."""
    if not regions.overlap(box, other):
        return box
    x1, y1, x2, y2 = box
    cuts = [(other[2] - x1, (other[2], y1, x2, y2)), (x2 - other[0], (x1, y1, other[0], y2)),
            (other[3] - y1, (x1, other[3], x2, y2)), (y2 - other[1], (x1, y1, x2, other[1]))]
    depth, clipped = min(cuts, key=lambda c: c[0])
    if clipped[2] <= clipped[0] or clipped[3] <= clipped[1] or depth > 0.5 * min(x2 - x1, y2 - y1):
        return None
    return tuple(int(v) for v in clipped)


def _symbol_box(image, symbol, module):
    """A symbol's region: a 2D symbol's corners, a linear symbol's bars,
    with a quiet zone of a few modules around."""
    from . import decode

    x1, y1, x2, y2 = symbol.box
    if symbol.symbology not in decode.MATRIX:
        # The decoder gives the line it read across the bars: they reach
        # about as far along themselves as that line is long.
        reach = int(max(12 * module, x2 - x1, y2 - y1))
        h, w = image.shape[:2]
        grown = (max(0, x1 - reach), max(0, y1 - reach), min(w, x2 + reach), min(h, y2 + reach))
        x1, y1, x2, y2 = decode.bars_box(image, grown) or symbol.box
    pad = int(round(2 * module))
    h, w = image.shape[:2]
    return (max(0, x1 - pad), max(0, y1 - pad), min(w, x2 + pad), min(h, y2 + pad))


def keep_first(standard, first, pose, space, boxes):
    """The median standard with the first print's own pixels where the
    prints vary (boxes in label space): the standard stays one real label
    there, its codes readable, instead of a blend of several."""
    inverse = cv2.invertAffineTransform(space.matrix(pose))
    h, w = standard.shape[:2]
    mask = np.zeros(space.size[::-1], np.uint8)
    for x1, y1, x2, y2 in boxes:
        mask[y1:y2, x1:x2] = 255
    mask = cv2.warpAffine(mask, inverse, (w, h), flags=cv2.INTER_NEAREST)
    out = standard.copy()
    out[mask > 0] = first[mask > 0]
    return out


def teach_regions(median, first, brought):
    """(the standard, region settings): the variable regions of the prints
    in the label space the proposal will find (the first print's label),
    and the median with the first print's pixels in them."""
    from . import propose

    found = propose.find_label(first)
    if found is None:
        raise TeachError("the first print: no label to find the other prints' differences on")
    (pose, space), image_space = found
    try:
        contrast = light.measure(image_space, space.label_box()).contrast
    except light.TooFlat as e:
        raise TeachError("the first print: %s" % e)
    symbol = propose.matrix_symbol(image_space) if space.turn == 0 else None
    module = None
    if symbol is not None:
        from . import decode
        grid = decode.modules(symbol.symbology, symbol.text)
        module = float(np.hypot(*(symbol.corners[1] - symbol.corners[0]))) / grid.shape[1] if grid is not None else None
    found = variable_regions(brought, pose, space, contrast, module)
    return keep_first(median, first, pose, space, [tuple(r["box"]) for r in found]), found

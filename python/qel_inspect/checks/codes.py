"""Codes: each code region of the label decoded, and its print judged
where the pixel comparison cannot (a variable code differs on every
label):

- a code the decoder cannot read is `unreadable code`;
- a DataMatrix or QR symbol is sampled module by module and set against
  the grid the encoder makes for what it holds: modules printed light that
  should be dark are a `void in code`, the other way round a `smudge on
  code`; its symbol contrast (the spread of its modules' grey levels over
  the paper's) is measured and graded;
- a linear symbol's bars must look the same all along their length: a
  spot that breaks a bar, or bridges a space, is a void or a smudge.

What each code holds goes into the record (`codes`, by region name) for
the content rules (the `content` check) and the reports.
"""
import numpy as np

from .. import decode, pipeline, validate
from . import Findings, defect, in_mm
from .compare import merge

NAME = "codes"
KEYS = ("min_contrast", "spot")
SC_GRADES = ((0.70, 4), (0.55, 3), (0.40, 2), (0.20, 1))


def parse(table):
    validate.only(NAME, table, KEYS)
    return {"min_contrast": validate.number("min_contrast", table.get("min_contrast", 0.40), 0.0, 1.0),
            "spot": validate.whole("spot", table.get("spot", 2), 1, 1000)}


def _camera(aligned):
    """The aligned frame as the camera sees it (print dark)."""
    return pipeline.to_work(aligned.work, aligned.standard.polarity)


def contrast_grade(sc):
    return next((g for limit, g in SC_GRADES if sc >= limit), 0)


def run(aligned, settings):
    standard = aligned.standard
    camera = _camera(aligned)
    found, values, qualities = [], {}, {}
    for region in standard.regions:
        if region.kind != "code":
            continue
        key = region.name or "code %d" % standard.regions.index(region)
        on_standard = standard.symbols.get(region)
        symbols = decode.read(camera, region.box, region.symbology or (on_standard and on_standard.symbology))
        if not symbols:
            found.append(defect(aligned, "unreadable code", "unreadable code (%s)" % region.label, region.box))
            continue
        symbol = symbols[0]
        values[key] = symbol.text
        if symbol.symbology in decode.MATRIX:
            spots, quality = _matrix(aligned, camera, symbol, settings)
        else:
            spots, quality = _linear(aligned, camera, symbol, on_standard, settings)
        qualities[key] = quality
        # A void or smudge shows in several bars or modules: one patch, one defect.
        module = standard.module or 3.0
        found += [in_mm(aligned, d) for d in merge(spots, module, near=4 * module, lines=False)]
    out = {}
    if values:
        out["codes"] = values
    if qualities:
        out["code_quality"] = qualities
    return Findings(found, out)


def _matrix(aligned, camera, symbol, settings):
    """Module errors and symbol contrast of a 2D symbol."""
    grid = decode.modules(symbol.symbology, symbol.text)
    quality = {}
    if grid is None:
        return [], quality
    import cv2

    levels = decode.sample(camera, symbol.corners, grid.shape[0])
    dark, light = np.median(levels[grid > 0]), np.median(levels[grid == 0])
    # Symbol contrast: the spread of the symbol's own grey levels (the
    # lightest and darkest twentieth of its pixels), over the paper's level,
    # which the light normalisation makes the standard's.
    area = np.zeros(camera.shape[:2], np.uint8)
    cv2.fillConvexPoly(area, np.int32(np.round(symbol.corners)), 1)
    pixels = camera[area > 0]
    standard = aligned.standard
    paper = standard.label.light.levels.paper if standard.label is not None else float(np.percentile(pixels, 99))
    sc = float((np.percentile(pixels, 95) - np.percentile(pixels, 5)) / max(paper, 1.0))
    quality.update(symbol_contrast=round(sc, 3), contrast_grade=contrast_grade(sc))
    found = []
    if sc < settings["min_contrast"]:
        found.append(defect(aligned, "low contrast code", "symbol contrast %.0f %% (at least %.0f %%)"
                            % (100 * sc, 100 * settings["min_contrast"]), symbol.box))
    middle = (dark + light) / 2.0
    seen_dark = levels < middle
    wrong = seen_dark != (grid > 0)
    quality["wrong_modules"] = int(wrong.sum())
    # Where modules read wrong in a patch, the print is spoilt there:
    # light where ink should be (a void), or ink where paper should be (a smudge).
    n = grid.shape[0]
    side = np.float64(symbol.corners[1] - symbol.corners[0]) / n
    down = np.float64(symbol.corners[3] - symbol.corners[0]) / n
    for kind, words, mask in (("missing ink", "void in code", wrong & (grid > 0)),
                              ("extra ink", "smudge on code", wrong & (grid == 0))):
        count, labels = _components(mask)
        for k in range(1, count + 1):
            cells = np.argwhere(labels == k)
            if len(cells) < settings["spot"]:
                continue
            (i1, j1), (i2, j2) = cells.min(0), cells.max(0) + 1
            corners = [symbol.corners[0] + j * side + i * down for i in (i1, i2) for j in (j1, j2)]
            xs, ys = [c[0] for c in corners], [c[1] for c in corners]
            box = [int(np.floor(min(xs))), int(np.floor(min(ys))), int(np.ceil(max(xs))), int(np.ceil(max(ys)))]
            found.append(defect(aligned, kind, "%s: %d modules read %s" % (words, len(cells),
                                                                           "light" if kind == "missing ink" else "dark"),
                                box, modules=len(cells)))
    return found, quality


def _components(mask):
    import cv2

    count, labels = cv2.connectedComponents(mask.astype(np.uint8), connectivity=8)
    return count - 1, labels


def _linear(aligned, camera, symbol, on_standard, settings):
    """Voids and smudges of a linear symbol: every line along its bars
    set against their median, a pixel of shift forgiven across them."""
    import cv2

    x1, y1, x2, y2 = on_standard.bars_box if on_standard is not None and on_standard.bars_box else \
        _bars_box(symbol, camera.shape)
    part = camera[y1:y2, x1:x2].astype(np.float32)
    if part.size == 0:
        return [], {}
    # Bars run along the axis the print varies least along.
    along_x = np.abs(np.diff(part, axis=1)).mean() < np.abs(np.diff(part, axis=0)).mean()
    profile = np.median(part, axis=1 if along_x else 0)
    expected = np.repeat(profile[:, None], part.shape[1], 1) if along_x else np.repeat(profile[None, :],
                                                                                      part.shape[0], 0)
    shape = (3, 1) if along_x else (1, 3)
    kernel = np.ones(shape, np.uint8)
    lightest, darkest = cv2.dilate(expected, kernel), cv2.erode(expected, kernel)
    paper, ink = float(np.percentile(part, 97)), float(np.percentile(part, 3))
    limit = 0.4 * max(paper - ink, 1.0)
    found = []
    module = aligned.standard.module or 3.0
    least = max(settings["spot"] * module, 3)
    for kind, words, diff in (("missing ink", "void in code", part - lightest), ("extra ink", "smudge on code",
                                                                                 darkest - part)):
        mask = (diff > limit).astype(np.uint8)
        count, labels, stats, _ = cv2.connectedComponentsWithStats(mask, connectivity=8)
        for k in range(1, count):
            x, y, w, h = stats[k, :4]
            if max(w, h) < least:
                continue
            found.append(defect(aligned, kind, "%s: %d x %d px" % (words, w, h), [x1 + x, y1 + y, x1 + x + w, y1 + y + h]))
    return found, {}


def _bars_box(symbol, shape):
    """The box of a linear symbol's bars: the decoder gives the line it
    read; the bars reach across the symbol's whole height."""
    x1, y1, x2, y2 = symbol.box
    return (max(0, x1), max(0, y1), min(shape[1], x2), min(shape[0], y2))

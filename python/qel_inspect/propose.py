"""A recipe proposed from the standard print alone.

Finds the label (its edge against the belt, or the extent of its print) and
turns it, in its own coordinates (label space), so its bars run across;
finds the polarity and the bars (long, solid, parallel outlines running
across), derives the bar bands and the bar area from them, measures the
module (narrowest bar or space) and the contrast between bars and spaces,
sets the comparison from those, and checks the result: the standard must
pass against itself and against copies of itself moved, tilted and turned
about the frame, and a spot just above the smallest size must be caught.
The whole label is compared; the bar area serves the alignment.
"""
import math
from dataclasses import dataclass, field

import cv2
import numpy as np

import qel_cv

from . import light, locate, pipeline
from .pictures import regions_picture
from .status import Status

EVERYTHING = {"area": (0, 1e12), "perimeter": (0, 1e12)}
MIN_BARS = 3
TILT_ALLOWED = 4.0          # degrees a frame may be turned by (without a label)
LABEL_TILT_ALLOWED = 1.5    # what is left of a frame's tilt once its label is found and turned
PROPOSED_MIN_MATCH_SCORE = 0.7   # good frames align at 0.95 and above


class ProposalError(Exception):
    """No usable recipe; str() says why in one line."""


@dataclass
class Bar:
    contour: np.ndarray      # whole-image coordinates
    area: float
    perimeter: float
    centre: tuple
    length: float
    thickness: float
    angle: float             # of the long side, degrees, (-90, 90]


@dataclass
class Proposal:
    settings: dict
    bars: list
    module: float
    contrast: float
    checks: list = field(default_factory=list)   # (what, outcome) lines
    notes: list = field(default_factory=list)
    preview: np.ndarray = None
    label: tuple = None                          # (pose, space) of the standard's label
    compare: tuple = None                        # what is compared, by default


def outlines(work, region):
    """Every outer outline of the Otsu foreground inside `region`, in
    whole-image coordinates (through the library's bar detection with bands
    that keep everything)."""
    lines = []
    with pipeline.captured(lines):
        contours, threshold = pipeline.detect_bars(work, region, EVERYTHING)
    return [c + np.int32([region[0], region[1]]) for c in contours], threshold


def describe(contour):
    (cx, cy), (w, h), a = cv2.minAreaRect(contour)
    length, thickness = max(w, h), min(w, h)
    angle = a if w >= h else a + 90.0
    angle = (angle + 90.0) % 180.0 - 90.0
    return Bar(contour, cv2.contourArea(contour), cv2.arcLength(contour, True), (cx, cy), length, thickness, angle)


def bar_like(shape, min_length):
    """A solid, long and thin outline."""
    return (shape.thickness >= 1.5 and shape.length >= 5 * shape.thickness and shape.length >= min_length
            and shape.area >= 0.6 * shape.length * shape.thickness)


def parallel_bars(contours, min_length):
    """The largest family of bar-like outlines sharing one direction."""
    shapes = [s for s in map(describe, contours) if bar_like(s, min_length)]
    if not shapes:
        return []
    angles = np.float64([s.angle for s in shapes])
    # The direction most outlines agree with, within 3 degrees.
    best = max(angles, key=lambda a: np.sum(np.abs((angles - a + 90) % 180 - 90) <= 3))
    return [s for s in shapes if abs((s.angle - best + 90) % 180 - 90) <= 3]


def union_box(bars):
    boxes = [cv2.boundingRect(b.contour) for b in bars]
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[0] + b[2] for b in boxes), max(b[1] + b[3] for b in boxes))


def grow(box, margin, size):
    x1, y1, x2, y2 = box
    w, h = size
    return (max(0, x1 - margin), max(0, y1 - margin), min(w, x2 + margin), min(h, y2 + margin))


def inside(bar, region):
    """Whether a bar lies wholly inside the region, not cut by its edge."""
    x, y, w, h = cv2.boundingRect(bar.contour)
    return x > region[0] and y > region[1] and x + w < region[2] and y + h < region[3]


def find_symbol(image):
    """(polarity, bars, region) of the best-looking barcode in either
    polarity: the most whole bars running across, in the whole image or a
    central part of it (where a label's surroundings are left out)."""
    h, w = image.shape[:2]
    # Insets of 5 % steps: one of them usually falls between a label's
    # edge and its bars, where the bars are whole outlines of their own.
    regions = [(w * k // 20, h * k // 20, w - w * k // 20, h - h * k // 20) for k in range(9)]
    best, upright_count = None, 0
    for polarity in pipeline.POLARITIES:
        work = pipeline.to_work(image, polarity)
        for region in regions:
            min_length = 0.08 * min(region[2] - region[0], region[3] - region[1])
            bars = [b for b in parallel_bars(outlines(work, region)[0], min_length) if inside(b, region)]
            across = [b for b in bars if abs(b.angle) <= 20]
            upright_count = max(upright_count, len(bars) - len(across))
            key = (len(across), sum(b.area for b in across))
            if best is None or key > best[0]:
                best = (key, polarity, across, region)
    (count, _), polarity, bars, region = best
    if count < MIN_BARS:
        if upright_count >= MIN_BARS:
            raise ProposalError("the bars run up and down the image; the inspection needs them running across, "
                                "one above the other: turn the camera (or the images) a quarter turn")
        raise ProposalError("no barcode found: fewer than %d long parallel bars in either polarity" % MIN_BARS)
    return polarity, bars, region


def settle(image, polarity, bars, margin):
    """Grow the area around the bars until it holds all of them: the bars
    found in a smaller area can be cut off by its edge."""
    work = pipeline.to_work(image, polarity)
    size = (image.shape[1], image.shape[0])
    for _ in range(6):
        aoi = grow(union_box(bars), margin, size)
        contours, threshold = outlines(work, aoi)
        min_length = 0.5 * min(b.length for b in bars)
        found = [b for b in parallel_bars(contours, min_length) if abs(b.angle) <= 20]
        if len(found) < MIN_BARS:
            break
        if union_box(found) == union_box(bars):
            bars = found
            break
        bars = found
    return bars, aoi, contours, threshold


def edge_clearance(image, polarity, bars, limit):
    """How far the area around the bars can grow before it takes in the
    edge of something else (a label edge, a belt): the first margin at
    which an outline besides the bars, big enough to pass for one, reaches
    the area's border. None when nothing comes within `limit` pixels."""
    work = pipeline.to_work(image, polarity)
    size = (image.shape[1], image.shape[0])
    keys = {cv2.boundingRect(b.contour) for b in bars}
    smallest = min(b.area for b in bars)
    for m in range(4, limit + 1, 2):
        box = grow(union_box(bars), m, size)
        contours, _ = outlines(work, box)
        for c in contours:
            x, y, w, h = cv2.boundingRect(c)
            at_border = x <= box[0] or y <= box[1] or x + w >= box[2] or y + h >= box[3]
            if at_border and (x, y, w, h) not in keys and cv2.contourArea(c) >= 0.25 * smallest:
                return m
    return None


def bands_for(bars, others):
    """Bands around the bars' areas and perimeters with room for blur, ink
    spread and tilt, narrowed where another outline would fall inside both."""
    areas = [b.area for b in bars]
    perims = [b.perimeter for b in bars]
    area = [0.5 * min(areas), 1.5 * max(areas)]
    perim = [0.6 * min(perims), 1.4 * max(perims)]
    for o in others:
        if area[0] <= o.area <= area[1] and perim[0] <= o.perimeter <= perim[1]:
            if o.area > max(areas):
                area[1] = (o.area + max(areas)) / 2
            elif o.area < min(areas):
                area[0] = (o.area + min(areas)) / 2
            elif o.perimeter > max(perims):
                perim[1] = (o.perimeter + max(perims)) / 2
            elif o.perimeter < min(perims):
                perim[0] = (o.perimeter + min(perims)) / 2
    return {"area": [math.floor(area[0]), math.ceil(area[1])],
            "perimeter": [math.floor(perim[0]), math.ceil(perim[1])]}


def module_width(bars):
    """About one module: the mean of the narrowest bar and the narrowest
    space (ink spread thickens one as much as it thins the other)."""
    angle = math.radians(float(np.median([b.angle for b in bars])))
    normal = (-math.sin(angle), math.cos(angle))
    across = sorted(bars, key=lambda b: b.centre[0] * normal[0] + b.centre[1] * normal[1])
    spaces = []
    for a, b in zip(across, across[1:]):
        pa = a.centre[0] * normal[0] + a.centre[1] * normal[1]
        pb = b.centre[0] * normal[0] + b.centre[1] * normal[1]
        gap = (pb - b.thickness / 2) - (pa + a.thickness / 2)
        if gap > 0:
            spaces.append(gap)
    narrowest = min(b.thickness for b in bars)
    return (narrowest + min(spaces)) / 2 if spaces else narrowest


def levels(work, threshold, bars):
    """Typical grey level of the bars and of the spaces, inside the symbol
    (work polarity: bars bright)."""
    x1, y1, x2, y2 = union_box(bars)
    block, inside = work[y1:y2, x1:x2], threshold[y1:y2, x1:x2] > 0
    if inside.all() or not inside.any():
        return 0.0, 0.0
    return float(np.median(block[inside])), float(np.median(block[~inside]))


def comparison_settings(module, contrast):
    """max_shift half a module, rounded down, at least 1 (what is left of a
    bar one module too thick is a module less max_shift wide: it must stay
    clear of blur), threshold 0.4 of the contrast, dirty_width about a
    module."""
    return {"max_shift": max(1, int(module // 2)),
            "threshold": int(min(200, max(10, round(0.4 * contrast)))),
            "dirty_width": max(3, int(round(1.25 * module)))}


def copies(image, aoi, margin):
    """The standard itself and shifted and slightly tilted copies of it, as
    (what, image), made with the library's own shift and rotation."""
    s = max(2, min(8, margin // 3))
    centre = ((aoi[0] + aoi[2]) / 2.0, (aoi[1] + aoi[3]) / 2.0)
    out = [("itself", image)]
    for dx, dy in ((s, -(s // 2)), (-s, s)):
        out.append(("shifted by (%d, %d)" % (dx, dy), qel_cv.translate(image, dx, dy)))
    for degrees, (dx, dy) in ((2.0, (s // 2, s // 2)), (-2.0, (-(s // 2), s // 3))):
        moved = (centre[0] + dx, centre[1] + dy)
        out.append(("tilted by %+.0f degrees" % degrees, qel_cv.translate_and_rotate(image, centre, moved, degrees)))
    return out


def planted_spot(image, polarity, bars, size, level):
    """A copy of the standard with a bar-bright spot of `size` pixels in the
    middle of its widest space, or None when no space is wide enough."""
    across = sorted(bars, key=lambda b: b.centre[1])
    best = None
    for a, b in zip(across, across[1:]):
        gap = (b.centre[1] - b.thickness / 2) - (a.centre[1] + a.thickness / 2)
        if best is None or gap > best[0]:
            best = (gap, a, b)
    if best is None or best[0] < 4:
        return None
    gap, a, b = best
    work = pipeline.to_work(image, polarity).copy()
    height = int(min(size, gap - 2))
    cx = int((a.centre[0] + b.centre[0]) / 2)
    cy = int((a.centre[1] + a.thickness / 2 + b.centre[1] - b.thickness / 2) / 2)
    work[cy - height // 2:cy - height // 2 + height, cx - size // 2:cx - size // 2 + size] = int(level)
    return pipeline.to_work(work, polarity)


def _prepare(image, settings, placement, regions=()):
    return pipeline.prepare_standard(image, settings["aoi"], settings["polarity"],
                                     settings.get("bars", pipeline.LIBRARY_BANDS), placement, regions,
                                     module=settings.get("module"))


def self_check(image, settings, cases, placement=None, regions=()):
    """The standard against each case under `settings`: a list of (what,
    what went wrong or "" for a pass, the inspection's outcome)."""
    standard = _prepare(image, settings, placement, regions)
    out = []
    for what, copy in cases:
        r = pipeline.inspect(standard, copy, settings["max_shift"], settings["threshold"], settings["dirty_width"],
                             settings["min_match_score"])
        if r.status == Status.PASS:
            out.append((what, "", r))
        elif r.status == Status.REJECT:
            out.append((what, "%d defect(s), largest %d px" % (len(r.defects), max(d.size for d in r.defects)), r))
        else:
            out.append((what, r.reason, r))
    return out


def find_label(image):
    """(pose, space) of the standard's label, its bars laid across, and the
    label-space image; None where no label can be told from the frame."""
    try:
        pose = locate.find_rough(image)
    except locate.LabelNotFound:
        return None
    h, w = image.shape[:2]
    # A "label" that fills the frame is no label: the frame is the label.
    if pose.size[0] * pose.size[1] > 0.92 * w * h:
        return None
    margin = int(max(16, round(0.03 * max(pose.size))))
    last = None
    for turn in (0, 90):
        space = locate.Space(pose.size, turn, margin)
        image_space = space.warp(image, pose)
        try:
            find_symbol(image_space)
        except ProposalError as e:
            last = e
            continue
        return (pose, space), image_space
    # No bars either way: a label whose code is a 2D symbol is taken as it lies.
    space = locate.Space(pose.size, 0, margin)
    image_space = space.warp(image, pose)
    if matrix_symbol(image_space) is not None:
        return (pose, space), image_space
    raise last


def matrix_symbol(image_space):
    """The largest DataMatrix or QR symbol on a label (label space), or None."""
    from . import decode

    found = decode.find_matrix(image_space)
    return found[0] if found else None


def label_copies(image, pose, growth):
    """The standard itself and copies of it moved about the frame, tilted
    and turned upside down, as a frame of the line may show it, and
    printed `growth` pixels heavier and lighter on every edge, and blurred
    a little more (what a printer's calibration and a camera's focus
    allow), each moved too."""
    h, w = image.shape[:2]
    centre = pose.centre
    room = (max(0.0, (w - max(pose.size)) / 2 - abs(centre[0] - w / 2)),
            max(0.0, (h - max(pose.size)) / 2 - abs(centre[1] - h / 2)))
    dx, dy = int(min(24, room[0])), int(min(18, room[1]))
    out = [("itself", image)]
    out.append(("moved by (%d, %d) and tilted by +6 degrees" % (dx, dy),
                qel_cv.translate_and_rotate(image, centre, (centre[0] + dx, centre[1] + dy), 6.0)))
    out.append(("moved by (%d, %d) and tilted by -8 degrees" % (-dx, -dy),
                qel_cv.translate_and_rotate(image, centre, (centre[0] - dx, centre[1] - dy), -8.0)))
    out.append(("turned upside down", np.ascontiguousarray(image[::-1, ::-1])))
    kernel = np.ones((2 * growth + 1, 2 * growth + 1), np.uint8)
    # Ink is dark as the camera sees it: a minimum filter spreads it, a maximum thins it.
    blur = lambda im: cv2.GaussianBlur(im, (0, 0), 0.8)    # noqa: E731 - the focus a camera may lose
    for what, varied in (("printed %d px heavier" % growth, cv2.erode(image, kernel)),
                         ("printed %d px lighter" % growth, cv2.dilate(image, kernel)),
                         ("printed %d px heavier and blurred" % growth, blur(cv2.erode(image, kernel))),
                         ("printed %d px lighter and blurred" % growth, blur(cv2.dilate(image, kernel)))):
        out.append((what + " and moved", qel_cv.translate_and_rotate(varied, centre, (centre[0] - dx // 2,
                                                                                      centre[1] + dy // 2), 1.0)))
    return out


def looks_like_a_camera_frame(image_space, box, jpeg):
    """A note when the standard looks like a frame from the camera (noisy,
    unevenly lit, JPEG) rather than a clean render: settings proposed from
    such a standard let small defects through. None otherwise."""
    x1, y1, x2, y2 = box
    label = image_space[y1:y2, x1:x2]
    level, _ = cv2.threshold(label, 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    paper = cv2.erode((label > level).astype(np.uint8), np.ones((5, 5), np.uint8)) > 0
    detail = label.astype(np.float32) - cv2.GaussianBlur(label, (0, 0), 1.5).astype(np.float32)
    values = detail[paper]
    noise = 1.4826 * float(np.median(np.abs(values - np.median(values)))) if values.size else 0.0
    try:
        surface = light.measure(label).surface()[paper]
        uneven = float((np.percentile(surface, 98) - np.percentile(surface, 2)) / max(1.0, np.median(surface)))
    except light.TooFlat:
        uneven = 0.0
    signs = []
    if noise > 1.5:
        signs.append("sensor noise of %.1f grey levels" % noise)
    if uneven > 0.08:
        signs.append("light varying by %.0f %% across the label" % (100 * uneven))
    if jpeg:
        signs.append("JPEG compression")
    if not signs:
        return None
    return ("the standard looks like a camera frame (%s): settings proposed from it let smaller defects through; a "
            "clean render of the artwork, or the median of several good prints (qel-inspect recipe STANDARD GOOD1 "
            "GOOD2 ...), makes a better standard" % ", ".join(signs))


def propose(image, standard_name, px_per_mm=None):
    """A Proposal for the grey standard `image`; ProposalError when none
    works. Frames are found anywhere when the standard's label can be told
    apart (its edge, or the extent of its print); otherwise they are taken
    in the standard's place and size, and a note says so."""
    try:
        return _propose(image, standard_name, px_per_mm, True)
    except (ProposalError, pipeline.InspectionError) as e:
        if find_label(image) is None:
            raise ProposalError(str(e))
        fallback = _propose(image, standard_name, px_per_mm, False)
        fallback.notes.append("the label could not be used to find frames (%s): frames are taken in the "
                              "standard's place and size" % e)
        return fallback


def _propose(image, standard_name, px_per_mm, use_label):
    found = find_label(image) if use_label else None
    placement = None
    raw = image
    if found is not None:
        placement, image = found
        symbol = matrix_symbol(image) if placement[1].turn == 0 else None
        if symbol is not None:
            try:
                find_symbol(image)
            except ProposalError:
                return _propose_matrix(raw, image, placement, symbol, standard_name, px_per_mm)
    polarity, bars, _ = find_symbol(image)
    x1, y1, x2, y2 = union_box(bars)
    module_guess = min(b.thickness for b in bars)
    half_diagonal = math.hypot(x2 - x1, y2 - y1) / 2
    tilt = LABEL_TILT_ALLOWED if placement else TILT_ALLOWED
    margin = int(math.ceil(half_diagonal * math.sin(math.radians(tilt)) + max(16, 4 * module_guess)))

    # Shrink the margin while something bigger than the symbol itself (a
    # label edge, a dark conveyor) comes into the area: the tilt is measured
    # on the largest bright region there.
    for m in (margin, margin * 2 // 3, margin // 3, 4):
        found, aoi, contours, threshold = settle(image, polarity, bars, m)
        if len(found) < MIN_BARS:
            raise ProposalError("fewer than %d bars are left in the area around them" % MIN_BARS)
        ids = {id(b.contour) for b in found}
        others = [describe(c) for c in contours if id(c) not in ids]
        total = sum(b.area for b in found)
        if all(o.area < 0.5 * total for o in others):
            break
    else:
        raise ProposalError("the area around the bars always takes in a large bright region besides them; "
                            "crop the standard to the label")
    bars, margin = found, m
    notes = []
    # Keep the area half-way between the bars and a nearby edge, so a frame
    # can move by that much before the edge comes in and passes for a bar.
    clearance = edge_clearance(image, polarity, bars, 2 * margin)
    if clearance is not None and margin > clearance // 2:
        margin = max(4, clearance // 2)
        found, aoi, contours, threshold = settle(image, polarity, bars, margin)
        ids = {id(b.contour) for b in found}
        others = [describe(c) for c in contours if id(c) not in ids]
        bars = found
        notes.append("an edge lies %d px from the bars: the area of interest reaches %d px beyond them, so a "
                     "frame may move about that far before the edge comes in" % (clearance, margin))
    work = pipeline.to_work(image, polarity)
    module = module_width(bars)
    bar_level, space_level = levels(work, threshold, bars)
    contrast = bar_level - space_level
    if placement:
        # Solid ink against paper: a symbol of thin bars never shows its full
        # contrast in the bars' median, and a threshold taken from that would
        # reject a print that is only a little lighter.
        try:
            contrast = max(contrast, light.measure(image, placement[1].label_box()).contrast)
        except light.TooFlat:
            pass
    if contrast < 20:
        raise ProposalError("bars and spaces differ by only %.0f grey levels: too little contrast to inspect"
                            % contrast)
    settings = {"standard": standard_name, "aoi": [int(v) for v in aoi], "polarity": polarity}
    settings.update(comparison_settings(module, contrast))
    settings["min_match_score"] = PROPOSED_MIN_MATCH_SCORE
    if px_per_mm:
        settings["px_per_mm"] = round(float(px_per_mm), 4)
    if placement:
        placement = _label_settings(settings, placement, image, contrast, standard_name, notes)
    settings["bars"] = bands_for(bars, others)

    proposal = Proposal(settings, bars, module, contrast, notes=notes, label=placement)
    checked = raw if placement else image
    # Ink spread a calibrated printer allows: about 0.1 mm on each edge.
    growth = max(1, int(round(0.1 * px_per_mm))) if px_per_mm else 1
    cases = label_copies(raw, placement[0], growth) if placement else copies(image, aoi, margin)
    _loosened(checked, settings, cases, placement, module, contrast, proposal)
    spotted = planted_spot(image, polarity, bars, settings["dirty_width"] + 2 * settings["max_shift"] + 1,
                           bar_level)
    _sensitivity(raw, image, checked, settings, placement, spotted, proposal, "between two bars")
    standard = _prepare(checked, settings, placement)
    _verifier_checks(checked, standard, settings, cases, proposal)
    proposal.compare = pipeline.default_compare_box(standard)
    proposal.preview = preview(image, settings, bars, module, contrast, proposal.compare)
    return proposal


# What the verifier's checks are proposed with, and how far each may be
# loosened when the standard's own copies fail it.
GOOD_STANDARD_GRADE = 2.5          # "B": a standard below it gets the lowest floor
LOW_MIN_GRADE = 0.5
GRADED_MODULE_PX = 5               # fewer camera pixels a module and its blur shows in the grade
WIDTH_TOLERANCES = (0.35, 0.45)
STREAK_DEPTHS = (0.12, 0.2)
HEAD_DOTS_PER_MM = 8.0             # 203 dpi, the commonest thermal head


def _verifier_checks(checked, standard, settings, cases, proposal):
    """Turn on the grade, the bar widths and printhead streaks when the bars
    are a code the verifier reads, each as loose as the standard's own
    copies need (a check they still fail stays off, with a note)."""
    from . import symbol
    from .checks import grade
    from .verify import verifier

    try:
        lay = symbol.layout(standard)
    except pipeline.InspectionError as e:
        proposal.notes.append("%s: the grade, bar widths and printhead streaks are not checked" % e)
        return
    graded = verifier.grade_scans(symbol.standard_scans(standard))
    proposal.checks.append(("grades", "%s %.1f (%s %s)" % (graded.letter, graded.grade, lay.symbology,
                                                          lay.text.replace("\x1d", " "))))
    floor = grade.DEFAULT_MIN_GRADE
    if graded.grade < GOOD_STANDARD_GRADE:
        floor = LOW_MIN_GRADE
        proposal.notes.append("the standard itself grades %s %.1f (%s): min_grade is %.1f, not %.1f; print a better "
                              "standard" % (graded.letter, graded.grade, grade.describe(graded).split(": ")[1],
                                            floor, grade.DEFAULT_MIN_GRADE))
    measured = proposal.module >= GRADED_MODULE_PX
    if not measured:
        proposal.notes.append("the module is %.1f px: under %d px the camera's own blur closes thin spaces, so it "
                              "can neither grade the print as a verifier does nor measure its widths; grade and "
                              "widths are off (a closer or sharper camera turns them on)"
                              % (proposal.module, GRADED_MODULE_PX))
    steps = [("grade", [{"min_grade": floor}] if measured else []),
             ("widths", [{"tolerance": t} for t in WIDTH_TOLERANCES] if measured else []),
             ("streaks", [{"direction": "across", "dots_per_mm": HEAD_DOTS_PER_MM, "min_depth": d}
                          for d in STREAK_DEPTHS])]
    names = ["compare"]
    base = dict(settings)
    # Heavier, lighter or blurred print rightly grades lower: the grade is
    # checked on the copies that only move.
    moved = [c for c in cases if not c[0].startswith("printed")]
    for name, tables in steps:
        if not tables:
            continue
        for table in tables:
            failed = _fails_on_copies(checked, dict(base, checks=[name], **{name: table}),
                                      moved if name == "grade" else cases)
            if failed is None:
                names.append(name)
                settings[name] = table
                break
        else:
            proposal.notes.append("the standard %s fails the %s check (%s): it is off" % (failed[0], name, failed[1]))
    if len(names) > 1:
        settings["checks"] = names


def _fails_on_copies(checked, settings, cases):
    """(what, why) of the first of the standard's copies the recipe
    `settings` rejects, prepared as frames will see it; None when it passes
    them all."""
    from . import recipe

    loaded = recipe.parse(settings)
    standard = recipe.prepare(loaded, checked)
    runs = [(lambda a, m=m, s=s: m.run(a, s)) for m, s in loaded.check_runs()]
    for what, copy in cases:
        r = pipeline.inspect_frame(standard, copy, runs, loaded.min_match_score)
        if r.status != Status.PASS:
            return what, r.reason or r.defects[0].description
    return None


def _label_settings(settings, placement, image, contrast, standard_name, notes):
    """The recipe's label keys; returns the placement as the recipe will
    read back (rounded), so the checks see what frames will."""
    pose, space = placement
    settings["min_contrast"] = int(max(light.MIN_CONTRAST, round(0.25 * contrast)))
    settings["label"] = {"found_by": pose.found_by, "centre": [round(v, 2) for v in pose.centre],
                         "size": [round(v, 2) for v in pose.size], "angle": round(pose.angle, 3),
                         "turn": space.turn, "margin": space.margin}
    note = looks_like_a_camera_frame(image, space.label_box(), standard_name.lower().endswith((".jpg", ".jpeg")))
    if note:
        notes.append(note)
    return (locate.Pose(tuple(settings["label"]["centre"]), tuple(settings["label"]["size"]),
                        settings["label"]["angle"], pose.found_by), space)


def _loosened(checked, settings, cases, placement, module, contrast, proposal):
    """Check the standard's copies under `settings`, loosening them step by
    step while a copy is rejected; the outcomes of the last round."""
    for _ in range(16):
        try:
            results = self_check(checked, settings, cases, placement)
        except pipeline.InspectionError as e:
            raise ProposalError("the standard cannot be prepared with the proposed settings: %s" % e)
        failed = [(what, outcome) for what, outcome, _ in results if outcome]
        errors = [(what, r.reason) for what, _, r in results if r.status == Status.ERROR]
        if errors:
            raise ProposalError("the standard %s could not be inspected: %s" % errors[0])
        if not failed:
            break
        # Spots much longer than dirty_width come from grey levels that moved
        # (a thinned bar, blur): raising dirty_width would not mend them.
        longest = max((max(d.size for d in r.defects) for _, outcome, r in results if outcome and r.defects),
                      default=0)
        if settings["dirty_width"] < 2 * module + 1 and longest < 3 * settings["dirty_width"]:
            settings["dirty_width"] += 1
        elif settings["threshold"] < 0.6 * contrast:
            settings["threshold"] = int(settings["threshold"] + max(2, round(0.05 * contrast)))
        else:
            raise ProposalError("the standard %s is rejected (%s) even with dirty_width %d and threshold %d"
                                % (failed[0] + (settings["dirty_width"], settings["threshold"])))
    else:
        raise ProposalError("no settings found under which the standard's copies pass")
    lowest = min(r.match_score for _, _, r in results)
    if lowest < settings["min_match_score"] + 0.1:
        settings["min_match_score"] = round(max(0.3, lowest - 0.15), 2)
        proposal.notes.append("the standard's own copies match only at %.2f: min_match_score lowered to %.2f"
                              % (lowest, settings["min_match_score"]))
    proposal.checks = [(what, "passes (match %.3f)" % r.match_score) for what, _, r in results]
    return results


def _sensitivity(raw, image, checked, settings, placement, spotted, proposal, where):
    """Check that a spot just above the smallest size the settings report
    (planted in `spotted`, label space) is caught."""
    size = settings["dirty_width"] + 2 * settings["max_shift"] + 1
    if spotted is not None and placement:
        spotted = back_to_frame(raw, image, spotted, placement)
    if spotted is None:
        return
    r = self_check(checked, settings, [("spot", spotted)], placement)[0][2]
    caught = r.status == Status.REJECT
    proposal.checks.append(("with a %d px spot planted %s" % (size, where),
                            "rejected, as it should be" if caught else "NOT rejected"))
    if not caught:
        proposal.notes.append("a %d px spot %s was not caught: lower dirty_width or threshold" % (size, where))


def _propose_matrix(raw, image, placement, symbol, standard_name, px_per_mm):
    """A recipe for a label whose code is a DataMatrix or QR symbol: the
    symbol's area serves the alignment's match, its module the sizes."""
    from . import decode

    grid = decode.modules(symbol.symbology, symbol.text)
    side = float(np.hypot(*(symbol.corners[1] - symbol.corners[0])))
    module = side / grid.shape[1] if grid is not None else side / 20.0
    h, w = image.shape[:2]
    x1, y1, x2, y2 = symbol.box
    pad = int(round(3 * module))
    aoi = [max(0, x1 - pad), max(0, y1 - pad), min(w, x2 + pad), min(h, y2 + pad)]
    try:
        contrast = light.measure(image, placement[1].label_box()).contrast
    except light.TooFlat as e:
        raise ProposalError(str(e))
    settings = {"standard": standard_name, "aoi": aoi, "polarity": "dark-bars"}
    settings.update(comparison_settings(module, contrast))
    settings["min_match_score"] = PROPOSED_MIN_MATCH_SCORE
    if px_per_mm:
        settings["px_per_mm"] = round(float(px_per_mm), 4)
    settings["module"] = round(module, 2)
    notes = []
    placement = _label_settings(settings, placement, image, contrast, standard_name, notes)
    proposal = Proposal(settings, [], module, contrast, notes=notes, label=placement)
    growth = max(1, int(round(0.1 * px_per_mm))) if px_per_mm else 1
    _loosened(raw, settings, label_copies(raw, placement[0], growth), placement, module, contrast, proposal)
    # A spot on the paper beside the symbol.
    size = settings["dirty_width"] + 2 * settings["max_shift"] + 1
    spotted = image.copy()
    sx, sy = int(min(w - size - 1, x2 + 2 * module)), int((y1 + y2) // 2)
    spotted[sy:sy + size, sx:sx + size] = int(np.percentile(image[y1:y2, x1:x2], 5))
    _sensitivity(raw, image, raw, settings, placement, spotted, proposal, "beside the code")
    standard = _prepare(raw, settings, placement)
    proposal.compare = pipeline.default_compare_box(standard)
    text = "%s %s, module %.1f px, contrast %.0f" % (symbol.symbology, symbol.text.replace("\x1d", " "), module,
                                                       contrast)
    proposal.preview = regions_picture(image, settings["aoi"], [proposal.compare], caption=text[:90])
    return proposal


def standard_space(image, proposal):
    """The standard as the preview shows it: in label space, with a label."""
    if proposal.label is None:
        return image
    pose, space = proposal.label
    return space.warp(image, pose)


def back_to_frame(raw, image_space, changed, placement):
    """A copy of the frame `raw` carrying what differs between the label-
    space images `image_space` and `changed`."""
    pose, space = placement
    inverse = cv2.invertAffineTransform(space.matrix(pose))
    h, w = raw.shape[:2]
    mask = cv2.warpAffine((changed != image_space).astype(np.uint8) * 255, inverse, (w, h), flags=cv2.INTER_LINEAR)
    values = cv2.warpAffine(changed, inverse, (w, h), flags=cv2.INTER_LINEAR)
    out = raw.copy()
    out[mask > 127] = values[mask > 127]
    return out


def preview(image, settings, bars, module, contrast, compare=None, ignore=(), named=()):
    """The standard (in label space, with a label) with the compared area
    (magenta), the bar area (blue), the bars found (green) and the code and
    text regions (named) drawn on it."""
    text = "%s, %d bars, module %.1f px, contrast %.0f" % (settings["polarity"], len(bars), module, contrast)
    return regions_picture(image, settings["aoi"], [compare] if compare else [], ignore,
                           [b.contour for b in bars], text, named=named)

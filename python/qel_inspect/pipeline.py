"""One frame through the barcode steps, in two stages: `align` (everything
up to the aligned frame) and `judge` (the shift-tolerant comparison), so a
caller can judge one alignment under many settings.

The steps are those of `qel_cv.shift_compare_barcode`, called one by one
through the module's public functions, with what the plain call cannot do:
polarity, bar bands, tilt and match score as values, a minimum match score,
defects in ink terms with boxes in the camera frame.  The standard's half of
the work is done once, by `prepare_standard`.
"""
import contextlib
import io
import math
import sys
import threading
from dataclasses import dataclass, field

import cv2
import numpy as np

import qel_cv

from . import light, locate, timing
from .checks import Findings
from .records import Defect, Record
from .status import Status

# The bands `find_barcode_contours` uses when none are given.
LIBRARY_BANDS = {"area": (1500, 120000), "perimeter": (600, 2000)}
# The library's pipeline searches the template this far around the target's bars.
SEARCH_MARGIN = 20
POLARITIES = ("dark-bars", "light-bars")
INK_SPREAD_MM = 0.1         # what a calibrated printer may spread or lose on each edge

MISSING, EXTRA = "missing ink", "extra ink"
# Which comparator pass means which ink fault.  Dark bars are inverted going
# in, so ink is bright there: the standard brighter than the frame (a "black
# spot") is ink the frame lacks.  Knock-out prints are taken as they are:
# ink is dark, so a "black spot" is ink the frame has too much of.
KINDS = {"dark-bars": (MISSING, EXTRA), "light-bars": (EXTRA, MISSING)}


def rounded(value, digits=3):
    """A measured value for a record: rounded, never negative zero."""
    return round(float(value), digits) + 0.0


class InspectionError(Exception):
    """A frame (or standard) that cannot be inspected; str() is the one-line
    reason, `values` what was measured before it stopped, `found` what was
    found of the label (camera-frame polygons: `outline`, `bar_area`) to
    draw on its picture."""

    def __init__(self, reason, found=None, **values):
        super().__init__(reason)
        self.values = values
        self.found = found or {}


class ThreadStdout:
    """sys.stdout for a process whose library calls may run in several
    threads (a cluster worker runs tasks in threads): a thread inside
    `captured` writes to its own buffer, every other write goes on to the
    stream this one replaced. contextlib.redirect_stdout swaps sys.stdout
    for the whole process, so two threads capturing at once would take each
    other's lines, or leave the stream swapped for good."""

    def __init__(self, stream):
        self.stream = stream
        self.local = threading.local()

    def write(self, text):
        buf = getattr(self.local, "buf", None)
        if buf is not None:
            return buf.write(text)
        return self.stream.write(text) if self.stream is not None else len(text)

    def flush(self):
        if getattr(self.local, "buf", None) is None and self.stream is not None:
            self.stream.flush()

    def __getattr__(self, name):
        return getattr(self.stream, name)


_install = threading.Lock()


@contextlib.contextmanager
def captured(lines):
    """Collect what the library prints in this thread into `lines` instead
    of the terminal; other threads' output is left alone."""
    proxy = sys.stdout
    if not isinstance(proxy, ThreadStdout):
        with _install:
            if not isinstance(sys.stdout, ThreadStdout):
                sys.stdout = ThreadStdout(sys.stdout)
            proxy = sys.stdout
    outer = getattr(proxy.local, "buf", None)
    buf = proxy.local.buf = io.StringIO()
    try:
        yield
    finally:
        proxy.local.buf = outer
        lines.extend(buf.getvalue().splitlines())


def to_work(image, polarity):
    """The image as the library wants it: bars bright."""
    return 255 - image if polarity == "dark-bars" else image


def detect_bars(work, aoi, bands, bridge=0.0):
    """Bars (relative to the area) and the whole-image threshold image.
    `bridge` (pixels) closes the gaps a printhead streak that wide cuts
    across the bars, and takes out its thin lines, before bars are looked
    for (the comparison still sees the streak)."""
    if bridge:
        from .checks.streaks import close_gaps
        work = close_gaps(work, bridge, "across")
    (alo, ahi), (plo, phi) = bands["area"], bands["perimeter"]
    return qel_cv.find_barcode_contours(work, tuple(aoi), alo, ahi, plo, phi)


def comparison_rect(rotated, aoi, bands, bridge=0.0):
    """The comparison rectangle (x, y, w, h) of a tilt-corrected print, found
    as the library's own helper finds it but with these bands: the union of
    the bars' boxes, its top moved down by half the top-most bar's height."""
    bars, _ = detect_bars(rotated, aoi, bands, bridge)
    if not bars:
        raise InspectionError("no bars found after the tilt correction")
    rects = [cv2.boundingRect(b) for b in bars]
    min_x = min(r[0] for r in rects)
    min_y = min(r[1] for r in rects)
    max_x = max(r[0] + r[2] for r in rects)
    max_y = max(r[1] + r[3] for r in rects)
    return (min_x + aoi[0], min_y + rects[0][3] // 2 + aoi[1], max_x - min_x, max_y - min_y)


def rotation_centre(bars, aoi):
    """The point `rotate_correcting` turns about: the top-left corner of the
    top-most bar, in whole-image coordinates."""
    x, y, _, _ = cv2.boundingRect(bars[0])
    return (x + aoi[0], y + aoi[1])


def upright(work, aoi, bands, what, bridge=0.0):
    """Bars, measured tilt (the library's correction angle) and the turned
    image of one print."""
    bars, threshold = detect_bars(work, aoi, bands, bridge)
    if not bars:
        raise InspectionError("no bars found" + what)
    qel_cv.fill_threshold(bars, threshold, tuple(aoi))
    degree = qel_cv.find_rotate_degree(threshold, tuple(aoi))
    return bars, degree, qel_cv.rotate_correcting(work, bars, degree, tuple(aoi))


@dataclass
class Label:
    """How frames are brought into the label's own coordinates: the
    label's space, the standard's label in its file, and the references a
    frame is found, aligned and lit against."""
    space: locate.Space
    pose: locate.Pose           # the standard's label in the standard's file
    locator: locate.Reference
    light: light.Reference
    min_contrast: float
    template: np.ndarray        # the standard's bar area (or fixed print): how well a frame matches
    bar_area: tuple             # where it lies in label space
    anchors: list               # patches over the label that pin a frame's label down
    ink: "Ink" = None           # to measure a frame's ink spread by
    match_mask: np.ndarray = None   # within bar_area, what counts for the match (None: all)
    centred: tuple = field(init=False, repr=False, compare=False)     # the template's half of _likeness

    def __post_init__(self):
        self.centred = _centred(self.template, self.match_mask)

    def place(self, frame, min_match_score=0.0):
        """(Placement, the frame in label space under the standard's light,
        the match score): the label found, then its place and turn refined
        on anchor patches spread over the label (each matched to a
        fraction of a pixel, the turn and shift that carry the standard's
        anchors onto the frame's fitted to them all), the frame warped
        once more and its light brought to the standard's.
        InspectionError when the label is not found, does not match, or
        is too flat to judge."""
        try:
            with timing.step("locate"):
                pose = locate.find(frame, self.locator)
        except locate.LabelNotFound as e:
            raise InspectionError(str(e))
        with timing.step("anchors"):
            placement, found, matrix = self._pinned(frame, pose)
        with timing.step("warp"):
            final = cv2.warpAffine(frame, matrix, self.space.size, flags=cv2.INTER_LINEAR,
                                   borderMode=cv2.BORDER_REPLICATE)
            x1, y1, x2, y2 = self.bar_area
            score = _likeness(final[y1:y2, x1:x2], self.template, self.match_mask, self.centred)
        if score < max(min_match_score, 0.0):
            raise InspectionError("alignment failed (match score %.2f, minimum %.2f)" % (score, min_match_score),
                                  found=found, match_score=score)
        try:
            with timing.step("light"):
                return placement, self.light.normalise(final, self.min_contrast), score
        except light.TooFlat as e:
            raise InspectionError(str(e), found=found, match_score=score)

    def _pinned(self, frame, pose):
        """(Placement, what was found of the label, the matrix into label
        space) with the label's place and turn pinned on the anchors.
        InspectionError when fewer than two anchors match."""
        matrix = self.space.matrix(pose)
        placement = Placement(pose, matrix, frame.shape[:2])
        found = {"outline": pose.corners().tolist(), "bar_area": placement.to_camera(box_points(self.bar_area))}
        moves = []
        for anchor in self.anchors:
            # Only the anchor's neighbourhood is taken into label space.
            x, y = anchor.at[0] - ANCHOR_REACH, anchor.at[1] - ANCHOR_REACH
            side = ANCHOR_SIDE + 2 * ANCHOR_REACH
            window = matrix.copy()
            window[:, 2] -= (x, y)
            view = cv2.warpAffine(frame, window, (side, side), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
            score, move = _match(view, anchor.template, (ANCHOR_REACH, ANCHOR_REACH), ANCHOR_REACH)
            if score >= ANCHOR_SCORE:
                moves.append((anchor.centre, move))
        if len(moves) < 2:
            raise InspectionError("alignment failed (%d of %d places on the label match the standard's)"
                                  % (len(moves), len(self.anchors)), found=found)
        # Standard points p sit at p + move in the frame's label space: q = R p + t.
        rigid = _rigid([p for p, _ in moves], [(p[0] + m[0], p[1] + m[1]) for p, m in moves])
        matrix = (np.vstack([cv2.invertAffineTransform(rigid), [0, 0, 1]]) @ np.vstack([matrix, [0, 0, 1]]))[:2]
        placement = Placement(_pose_of(matrix, self.space, pose), matrix, frame.shape[:2])
        found = {"outline": placement.pose.corners().tolist(),
                 "bar_area": placement.to_camera(box_points(self.bar_area)).tolist()}
        return placement, found, matrix


ANCHOR_SIDE = 48            # pixels of an anchor patch
ANCHOR_REACH = 10           # how far from its place an anchor is looked for, pixels
ANCHOR_SCORE = 0.6          # an anchor matching less well (a defect on it, say) is left out


@dataclass(frozen=True)
class Anchor:
    """A patch of the standard's label with edges running both ways, to
    pin a frame's label down by."""
    template: np.ndarray
    at: tuple                   # its top-left corner, label space
    centre: tuple


def anchors_of(image, region, most=4, fixed=None):
    """Up to `most` anchors inside `region`: in each cell of a 3 x 3 grid
    over it the patch with the most edge, the strongest ones kept, so the
    anchors lie spread over the label."""
    x1, y1, x2, y2 = region
    side = ANCHOR_SIDE
    if x2 - x1 < side or y2 - y1 < side:
        return []
    gx = cv2.Sobel(image, cv2.CV_32F, 1, 0)
    gy = cv2.Sobel(image, cv2.CV_32F, 0, 1)
    # Both directions must have edges, or a patch of bars slides along them.
    edges = np.minimum(np.abs(gx), np.abs(gy)) + 0.1 * np.abs(gx) + 0.1 * np.abs(gy)
    energy = cv2.boxFilter(edges, -1, (side, side), normalize=False, anchor=(0, 0))
    if fixed is not None:
        # A patch that reaches into print that changes from label to label pins nothing.
        varying = cv2.boxFilter(1.0 - fixed.astype(np.float32), -1, (side, side), normalize=False, anchor=(0, 0))
        energy[varying > 0] = 0
    best = []
    for i in range(3):
        for j in range(3):
            cx1 = x1 + (x2 - x1 - side) * i // 3
            cx2 = x1 + (x2 - x1 - side) * (i + 1) // 3
            cy1 = y1 + (y2 - y1 - side) * j // 3
            cy2 = y1 + (y2 - y1 - side) * (j + 1) // 3
            cell = energy[cy1:cy2 + 1, cx1:cx2 + 1]
            if cell.size == 0:
                continue
            k = int(np.argmax(cell))
            y, x = divmod(k, cell.shape[1])
            best.append((float(cell.flat[k]), cx1 + x, cy1 + y))
    best.sort(reverse=True)
    top = best[0][0] if best else 0.0
    out = []
    for value, x, y in best[:most]:
        if value >= 0.2 * top > 0:
            out.append(Anchor(np.ascontiguousarray(image[y:y + side, x:x + side]), (x, y),
                              (x + side / 2.0, y + side / 2.0)))
    return out


def _rigid(p, q):
    """The turn and shift (2x3) carrying points p onto points q, by least
    squares."""
    p, q = np.float64(p), np.float64(q)
    cp, cq = p.mean(0), q.mean(0)
    a, b = p - cp, q - cq
    angle = math.atan2(float((a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]).sum()), float((a * b).sum()))
    c, s = math.cos(angle), math.sin(angle)
    rotation = np.float64([[c, -s], [s, c]])
    return np.hstack([rotation, (cq - rotation @ cp).reshape(2, 1)])


def _pose_of(matrix, space, rough):
    """The label's pose in the frame from the matrix that takes the frame
    into label space."""
    inverse = cv2.invertAffineTransform(matrix)
    w, h = space.size
    centre = inverse @ np.float64([w / 2.0, h / 2.0, 1.0])
    # The matrix turns the frame by (turn - angle) counter-clockwise.
    turned = math.degrees(math.atan2(-matrix[1, 0], matrix[0, 0]))
    angle = space.turn - turned
    angle = rough.angle + ((angle - rough.angle + 180.0) % 360.0 - 180.0)
    return locate.Pose((float(centre[0]), float(centre[1])), rough.size, angle, rough.found_by, rough.score)


def _centred(b, mask=None):
    """(b less its mean, as float32, and its sum of squares), where `mask`
    is set."""
    if mask is not None:
        b = b[mask > 0]
    b = b.astype(np.float32) - b.mean()
    return b, (b * b).sum()


def _likeness(a, b, mask=None, centred=None):
    """Normalised correlation of two same-sized images (where `mask` is
    set), -1..1; `centred` is `_centred(b, mask)` when made before."""
    if mask is not None:
        a = a[mask > 0]
    a = a.astype(np.float32) - a.mean()
    b, bb = centred or _centred(b, mask)
    norm = float(np.sqrt((a * a).sum() * bb))
    return float((a * b).sum() / norm) if norm else -1.0


def _match(image, template, at, reach):
    """(score, (dx, dy)): where `template`, cut from (x, y) = `at` of the
    standard, best matches `image` within `reach` pixels of that place, to
    a fraction of a pixel (a parabola through the peak and its neighbours)."""
    x, y = at
    th, tw = template.shape
    h, w = image.shape[:2]
    x1, y1 = max(0, x - reach), max(0, y - reach)
    x2, y2 = min(w, x + tw + reach), min(h, y + th + reach)
    if x2 - x1 < tw or y2 - y1 < th:
        return -1.0, (0.0, 0.0)
    scores = cv2.matchTemplate(image[y1:y2, x1:x2], template, cv2.TM_CCOEFF_NORMED)
    _, top, _, (px, py) = cv2.minMaxLoc(scores)

    def vertex(lo, mid, hi):
        bend = lo - 2 * mid + hi
        return 0.0 if bend >= 0 else 0.5 * (lo - hi) / bend

    fx = vertex(scores[py, px - 1], top, scores[py, px + 1]) if 0 < px < scores.shape[1] - 1 else 0.0
    fy = vertex(scores[py - 1, px], top, scores[py + 1, px]) if 0 < py < scores.shape[0] - 1 else 0.0
    return float(top), (x1 + px + fx - x, y1 + py + fy - y)


@dataclass
class Placement:
    """Where a frame's label was found, and the matrix taking the camera
    frame into label space."""
    pose: locate.Pose
    matrix: np.ndarray
    shape: tuple                # the camera frame's (height, width)

    def to_camera(self, points):
        """Label-space points (N x 2) as camera-frame points."""
        inverse = cv2.invertAffineTransform(self.matrix)
        pts = np.float64(points).reshape(-1, 2)
        return pts @ inverse[:, :2].T + inverse[:, 2]


def box_points(box):
    x1, y1, x2, y2 = box
    return [[x1, y1], [x2, y1], [x2, y2], [x1, y2]]


@dataclass
class Standard:
    """The standard print, prepared once per recipe: everything of the
    library's pipeline that depends on the standard alone. With a label,
    `image` is the standard's label in label space and every area is in
    label-space pixels."""
    image: np.ndarray           # as read (with a label: in label space)
    polarity: str
    aoi: tuple
    bands: dict
    bars: list
    degree: float               # the library's correction angle
    rotated: np.ndarray         # tilt-corrected, in the work polarity
    cmp_rect: tuple
    lines: list = field(default_factory=list)
    label: Label = None         # None: frames are taken in the standard's place and size
    compare_region: tuple = None    # where the comparison looks (x1, y1, x2, y2, rotated); None: the aoi
    keep: np.ndarray = None     # within it, the pixels compared (bool, rotated); None: all
    module: float = None        # the narrowest bar or space, pixels
    px_per_mm: float = None
    bars_at: tuple = (0, 0)     # where the bars' coordinates start: the aoi's corner, or the image's
    regions: list = field(default_factory=list)     # regions.Region
    bridge: float = 0.0         # pixels of printhead streak bar finding sees through
    symbols: dict = field(default_factory=dict)     # code region -> decode.Symbol read on the standard
    _local: threading.local = field(default_factory=threading.local, repr=False, compare=False)

    def rotation(self):
        """The 2x3 matrix of the standard's own tilt correction: standard
        pixels to `rotated` pixels."""
        if self.label is not None:
            return np.float64([[1, 0, 0], [0, 1, 0]])
        return cv2.getRotationMatrix2D(rotation_centre(self.bars, self.aoi), self.degree, 1)

    @property
    def template(self):
        x, y, w, h = self.cmp_rect
        return self.rotated[y:y + h, x:x + w]

    @property
    def tilt(self):
        """Tilt of the print, degrees counter-clockwise as displayed."""
        return -self.degree

    def comparator(self, max_shift, threshold, dirty_width, spread=0.0):
        """A comparator set to these values, kept for the next frame. The
        judge parameter (dirty_width) is fixed when a comparator is made,
        but max_shift and threshold are read afresh by every comparison, so
        one comparator per dirty_width (and ink spread) serves a whole
        sweep; each holds a 16-bit copy of the standard, so a few are kept
        at a time. Each thread has its own, since the values are set here
        and read by the comparison that follows in the same thread."""
        kept = self._local.__dict__.setdefault("comparators", {})
        comparator = kept.pop((dirty_width, spread), None)
        if comparator is None:
            if len(kept) >= 8:
                del kept[next(iter(kept))]
            comparator = qel_cv.ShiftComparator(
                self.spread(spread), max_shift=max_shift, threshold=threshold, judge_parameter=dirty_width,
                cmp_region=self.compare_region or self.aoi)
        kept[(dirty_width, spread)] = comparator       # the most recently used last
        comparator.max_shift, comparator.threshold = max_shift, threshold
        return comparator

    def spread(self, pixels):
        """The standard (work polarity, as compared) as if printed with ink
        spread by `pixels` on every edge (less ink for a negative spread):
        grey morphology, a fraction of a pixel blended between steps."""
        if not pixels:
            return self.rotated
        kept = self._local.__dict__.setdefault("spread", {})
        if pixels not in kept:
            # Ink is bright in the work polarity: a maximum filter spreads it.
            step = cv2.dilate if pixels > 0 else cv2.erode
            whole, part = divmod(abs(pixels), 1.0)
            near = self.rotated
            for _ in range(int(whole)):
                near = step(near, np.ones((3, 3), np.uint8))
            far = step(near, np.ones((3, 3), np.uint8)) if part else near
            kept[pixels] = np.clip(near + part * (far.astype(np.float32) - near) + 0.5, 0, 255).astype(np.uint8)
        return kept[pixels]


def prepare_standard(image, aoi, polarity, bands=LIBRARY_BANDS, label=None, regions=(), px_per_mm=None,
                     min_contrast=light.MIN_CONTRAST, module=None, bridge=0.0):
    """Raises InspectionError when the standard has no bars in the bands.
    `label` (a locate.Pose of the standard's label in `image` and its
    locate.Space) makes frames be found anywhere, any way up, and lit as
    the standard; every area is then in label-space pixels. `regions`
    (regions.Region, or (kind, box) pairs) say what is compared: "compare"
    boxes (by default the whole label, or the area of interest without a
    label) less "ignore" boxes and variable ones; code regions have their
    symbols read. `module` gives the module width when the standard has
    no bars to measure it on; `bridge` the width of a printhead streak bar
    finding must see through (without a label: with one, bars are not used
    to align)."""
    from .regions import Region

    regions = [r if isinstance(r, Region) else Region(*r) for r in regions]
    aoi = tuple(int(v) for v in aoi)
    setup = None
    lines = []
    if label is not None:
        pose, space = label
        image = space.warp(image, pose)
        try:
            lit = light.Reference(image, _inset(space.label_box(), space.margin // 2 if pose.found_by == locate.EDGE
                                                else -space.margin // 2, image.shape))
        except light.TooFlat as e:
            raise InspectionError("the standard's %s" % e)
        fixed = _fixed(image.shape, regions)
        x1, y1, x2, y2 = aoi
        if image[y1:y2, x1:x2].size == 0 or image[y1:y2, x1:x2].min() == image[y1:y2, x1:x2].max():
            raise InspectionError("the standard's bar area holds no print")
        # What a frame is matched on: the bar area, or, where that changes
        # from label to label, the label's fixed print.
        match_box, match_mask = aoi, None
        if fixed is not None and fixed[y1:y2, x1:x2].mean() < 0.7:
            match_box = _inset(space.label_box(), space.margin // 2, image.shape)
            match_mask = fixed[match_box[1]:match_box[3], match_box[0]:match_box[2]]
        mx1, my1, mx2, my2 = match_box
        template = np.ascontiguousarray(image[my1:my2, mx1:mx2])
        # Ink spread a calibrated printer allows, about 0.1 mm on each edge, is
        # made up for, with room for the measurement's own error.
        limit = 1.5 * (INK_SPREAD_MM * px_per_mm if px_per_mm else 1.0)
        inside = _inset(space.label_box(), space.margin if pose.found_by == locate.EDGE else -space.margin // 2,
                        image.shape)
        setup = Label(space, pose, locate.Reference.of(space, pose.found_by, image), lit, min_contrast, template,
                      match_box, anchors_of(image, inside, fixed=fixed),
                      Ink.of(image, match_box, lit, limit, match_mask), match_mask)
        # Frames are aligned to the standard as it is: its own bars are only measured.
        work = to_work(image, polarity)
        with captured(lines):
            bars, _ = detect_bars(work, aoi, bands)
        bars = [b + np.int32([x1, y1]) for b in bars]
        degree, rotated, cmp_rect = 0.0, work, (x1, y1, x2 - x1, y2 - y1)
        bars_at = (0, 0)
    else:
        with captured(lines):
            work = to_work(image, polarity)
            bars, degree, rotated = upright(work, aoi, bands, " in the standard inside the area with these bands",
                                            bridge)
            cmp_rect = comparison_rect(rotated, aoi, bands, bridge)
        bars_at = aoi[:2]
    standard = Standard(image, polarity, aoi, bands, bars, degree, rotated, cmp_rect, lines, setup,
                        module=module or module_of(bars), px_per_mm=px_per_mm, bars_at=bars_at,
                        regions=regions, bridge=bridge)
    if any(r.kind == "code" for r in regions):
        standard.symbols = _read_codes(standard)
    _set_regions(standard, regions)
    return standard


def _fixed(shape, regions):
    """Where the label's print is the same on every label (1), a uint8
    mask; None when no region varies."""
    varying = [r for r in regions if r.variable]
    if not varying:
        return None
    fixed = np.ones(shape[:2], np.uint8)
    for r in varying:
        x1, y1, x2, y2 = r.box
        fixed[y1:y2, x1:x2] = 0
    return fixed


def _read_codes(standard):
    """{region: decode.Symbol} of the standard's code regions (camera
    polarity, label space); InspectionError for one without a code."""
    from . import decode

    camera = to_work(standard.rotated, standard.polarity)
    out = {}
    for r in standard.regions:
        if r.kind != "code":
            continue
        found = decode.read(camera, r.box, r.symbology)
        if not found and r.variable:
            continue                    # its whole region is left out of the comparison
        if not found:
            raise InspectionError("the standard's %s holds no code the decoder can read" % r.label)
        symbol = found[0]
        if symbol.symbology not in decode.MATRIX:
            symbol.bars_box = decode.bars_box(camera, r.box)
        out[r] = symbol
    return out


def _inset(box, by, shape):
    x1, y1, x2, y2 = box
    h, w = shape[:2]
    return (max(0, x1 + by), max(0, y1 + by), min(w, x2 - by), min(h, y2 - by))


def default_compare_box(standard):
    """What is compared when no region says: with a label the label itself
    (inside its edge, which may sit a little differently from label to
    label; or a little beyond the print, on the paper), else the area of
    interest."""
    if standard.label is None:
        return standard.aoi
    space, found_by = standard.label.space, standard.label.pose.found_by
    by = max(4, space.margin // 3) if found_by == locate.EDGE else -(space.margin // 2)
    return _inset(space.label_box(), by, standard.image.shape)


def _set_regions(standard, regions):
    """The comparison's region and kept pixels, in the rotated standard:
    the compare boxes less the ignored ones and those that vary from label
    to label. Around a variable code the paper stays compared (no stray
    ink may land there), and so does a 2D symbol's outer ring of modules,
    its finder pattern and clock track, the same on every label."""
    compare = [r.box for r in regions if r.kind == "compare"] or [default_compare_box(standard)]
    ignore = [r.box for r in regions if r.kind == "ignore"]
    varying = [r for r in regions if r.variable]
    if compare == [standard.aoi] and not ignore and not varying and standard.label is None:
        return                                  # as the library compares
    h, w = standard.image.shape[:2]
    keep = np.zeros((h, w), np.uint8)
    for x1, y1, x2, y2 in compare:
        keep[y1:y2, x1:x2] = 1
    for x1, y1, x2, y2 in ignore:
        keep[y1:y2, x1:x2] = 0
    for r in varying:
        symbol = getattr(standard, "symbols", {}).get(r)
        x1, y1, x2, y2 = r.box
        if symbol is None:
            keep[y1:y2, x1:x2] = 0
            continue
        corners = symbol.corners.astype(np.float32)
        hole = np.zeros_like(keep)
        if symbol.bars_box:
            bx1, by1, bx2, by2 = symbol.bars_box
            hole[max(0, by1 - 2):by2 + 2, max(0, bx1 - 2):bx2 + 2] = 1
        else:
            cv2.fillConvexPoly(hole, np.int32(np.round(_grow(corners, 1.5))), 1)
        if symbol.symbology in ("datamatrix", "qr"):
            # Grown like a linear symbol's: a dark module on the symbol's
            # edge, which the standard need not have, spreads beyond it.
            hole = np.zeros_like(keep)
            cv2.fillConvexPoly(hole, np.int32(np.round(_grow(corners, 1.5))), 1)
            for square in _fixed_parts(symbol):
                cv2.fillConvexPoly(hole, np.int32(np.round(square)), 0)
        keep[hole > 0] = 0
    matrix = standard.rotation()
    keep = cv2.warpAffine(keep, matrix, (w, h), flags=cv2.INTER_NEAREST) > 0
    ys, xs = np.nonzero(keep)
    if not xs.size:
        standard.compare_region, standard.keep = (0, 0, 1, 1), keep
        return
    standard.compare_region = (int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1)
    standard.keep = None if keep[standard.compare_region[1]:standard.compare_region[3],
                                 standard.compare_region[0]:standard.compare_region[2]].all() else keep


def _grow(corners, by):
    """A quadrilateral moved outward (inward for a negative `by`) by `by`
    pixels from its centre."""
    centre = corners.mean(0)
    out = []
    for c in corners:
        d = c - centre
        n = float(np.hypot(*d)) or 1.0
        out.append(c + d / n * by * 1.4142)
    return np.float32(out)


def _fixed_parts(symbol):
    """The parts of a 2D symbol that are the same whatever it holds, as
    pixel quadrilaterals: a DataMatrix's outer ring (its L-shaped finder and
    clock track, a module wide, trimmed by half a module), a QR symbol's
    three finder patterns (seven modules square, trimmed likewise)."""
    from . import decode

    grid = decode.modules(symbol.symbology, symbol.text)
    if grid is None:
        return []
    n = grid.shape[0]
    src = np.float32([[0, 0], [n, 0], [n, n], [0, n]])
    warp = cv2.getPerspectiveTransform(src, np.float32(symbol.corners))
    if symbol.symbology == "datamatrix":
        parts = [(0, 0, n, 1), (0, n - 1, n, n), (0, 0, 1, n), (n - 1, 0, n, n)]
    else:
        parts = [(0, 0, 7, 7), (n - 7, 0, n, 7), (0, n - 7, 7, n)]
    out = []
    for x1, y1, x2, y2 in parts:
        quad = np.float32([[[x1 + 0.5, y1 + 0.5]], [[x2 - 0.5, y1 + 0.5]], [[x2 - 0.5, y2 - 0.5]], [[x1 + 0.5, y2 - 0.5]]])
        out.append(cv2.perspectiveTransform(quad, warp).reshape(4, 2))
    return out


def module_of(bars):
    """About one module: the mean of the narrowest bar and the narrowest
    space between neighbouring bars (bars running across, in order)."""
    rects = sorted(cv2.boundingRect(b) for b in bars)
    rects = sorted(rects, key=lambda r: r[1])
    if not rects:
        return None
    narrowest = min(r[3] for r in rects)
    spaces = [b[1] - (a[1] + a[3]) for a, b in zip(rects, rects[1:]) if b[1] > a[1] + a[3]]
    return (narrowest + min(spaces)) / 2.0 if spaces else float(narrowest)


@dataclass
class Aligned:
    """A frame turned upright and moved onto the standard: what `judge`
    compares, plus how it got there (to map boxes back)."""
    standard: Standard
    frame: np.ndarray           # as read (the camera's polarity)
    work: np.ndarray            # aligned, in the work polarity
    degree: float               # the library's correction angle
    centre: tuple               # rotation centre in the frame
    shift: tuple                # (right, down) applied after the rotation
    score: float                # template match score
    bars: int
    lines: list = field(default_factory=list)
    placement: Placement = None     # where the label was found (with a label)
    spread: float = 0.0         # the print's ink spread the comparison makes up for, pixels an edge
    ink_spread: float = None    # the ink spread measured, pixels an edge (with a label)

    @property
    def tilt(self):
        """The frame's tilt, degrees counter-clockwise; with a label, the
        label's whole turn from the standard's, quarter turns included."""
        if self.placement is None:
            return -self.degree
        turned = self.placement.pose.angle - self.standard.label.pose.angle - self.degree + self.standard.degree
        return (turned + 180.0) % 360.0 - 180.0

    @property
    def moved(self):
        """(right, down) pixels: what moved the turned frame onto the
        standard; with a label, how far its centre sat from the standard's
        label's centre."""
        if self.placement is None:
            return self.shift
        (x, y), (sx, sy) = self.placement.pose.centre, self.standard.label.pose.centre
        return (x - sx, y - sy)

    def outline(self):
        """The label's corners in the camera frame, or None without a label."""
        return None if self.placement is None else self.placement.pose.corners().tolist()

    def to_frame(self, rect):
        """A box [x1, y1, x2, y2] (ends excluded) of the aligned image, as
        the box of the camera frame that holds it: its corner pixels taken
        back through the shift and then the rotation, rounded outward and
        clipped to the frame."""
        x1, y1, x2, y2 = rect
        inverse = cv2.invertAffineTransform(cv2.getRotationMatrix2D(self.centre, self.degree, 1))
        dx, dy = self.shift
        corners = np.float64([[x, y, 1.0] for x in (x1, x2 - 1) for y in (y1, y2 - 1)])
        corners[:, 0] -= dx
        corners[:, 1] -= dy
        pts = corners @ inverse.T
        if self.placement is not None:
            pts = self.placement.to_camera(pts)
        h, w = self.frame.shape[:2]
        return [max(0, math.floor(pts[:, 0].min())), max(0, math.floor(pts[:, 1].min())),
                min(w, math.ceil(pts[:, 0].max()) + 1), min(h, math.ceil(pts[:, 1].max()) + 1)]


def align(standard, frame, min_match_score=0.0):
    """Turn `frame` upright and move it onto the prepared standard: with a
    label, find it, take it into label space and under the standard's
    light first.

    Raises InspectionError for a label not found or too flat to judge, a
    frame of another size (without a label), one without bars in the
    bands, or one whose best match scores below `min_match_score` (a
    negative score always fails, as the library cannot place it)."""
    if standard.label is not None:
        return _align_label(standard, frame, min_match_score)
    if frame.shape != standard.image.shape:
        raise InspectionError("wrong size (%dx%d, the standard is %dx%d)" % (
            frame.shape[1], frame.shape[0], standard.image.shape[1], standard.image.shape[0]))
    found = {"bar_area": box_points(standard.aoi)}
    try:
        with timing.step("align"):
            return _align(standard, frame, frame, None, min_match_score)
    except InspectionError as e:
        e.found = dict(found, **e.found)
        raise


def _align_label(standard, camera, min_match_score):
    """The frame's label found, turned and moved onto the standard's in
    label space, under the standard's light, its ink spread measured."""
    setup = standard.label
    placement, frame, score = setup.place(camera, min_match_score)
    with timing.step("ink"):
        measured = setup.ink.spread(frame)
    # What a calibrated printer may spread is made up for, in quarter pixels; more is the print's fault.
    limit = setup.ink.limit
    spread = round(4 * max(-limit, min(limit, measured))) / 4.0
    return Aligned(standard, camera, to_work(frame, standard.polarity), 0.0, (0.0, 0.0), (0, 0), score,
                   len(standard.bars), [], placement, spread, measured)


@dataclass
class Ink:
    """The standard's ink in an area (the bar area): how much of it is
    covered and how long the edges between ink and paper run, to measure
    by how much a frame's ink has spread."""
    box: tuple
    surface: np.ndarray          # the paper's level there (the standard's light)
    ink: float                   # ink level relative to paper
    covered: float               # the standard's ink coverage, 0..1
    edges: float                 # pixels of edge between ink and paper
    limit: float                 # the largest spread made up for, pixels an edge

    mask: np.ndarray = None      # within the box, what is measured (None: all)
    span: np.ndarray = field(init=False, repr=False, compare=False)  # paper to ink, the standard's light

    def __post_init__(self):
        self.span = self.surface * (1.0 - self.ink) + 1e-3

    @classmethod
    def of(cls, image, box, lit, limit, mask=None):
        x1, y1, x2, y2 = box
        surface = lit.surface[y1:y2, x1:x2]
        area = image[y1:y2, x1:x2]
        level, binary = cv2.threshold(area, 0, 1, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
        if mask is not None:
            binary = binary * mask
        edges = float(np.count_nonzero(np.diff(binary, axis=0)) + np.count_nonzero(np.diff(binary, axis=1)))
        out = cls(box, surface, lit.levels.ink, 0.0, max(edges, 1.0), limit, mask)
        out.covered = out.coverage(image)
        return out

    def coverage(self, image):
        x1, y1, x2, y2 = self.box
        area = image[y1:y2, x1:x2].astype(np.float32)
        covered = np.clip((self.surface - area) / self.span, 0, 1)
        return float(covered.mean() if self.mask is None else covered[self.mask > 0].mean())

    def spread(self, image):
        """Pixels an edge by which the ink of `image` (in label space, under
        the standard's light) has spread beyond the standard's."""
        x1, y1, x2, y2 = self.box
        area = (x2 - x1) * (y2 - y1) if self.mask is None else int(np.count_nonzero(self.mask))
        return (self.coverage(image) - self.covered) * area / self.edges


def _align(standard, camera, frame, placement, min_match_score):
    aoi, bands = standard.aoi, standard.bands
    lines = []
    with captured(lines):
        work = to_work(frame, standard.polarity)
        bars, degree, rotated = upright(work, aoi, bands, "", standard.bridge)
        x, y, w, h = comparison_rect(rotated, aoi, bands, standard.bridge)
        region = [x - SEARCH_MARGIN, y - SEARCH_MARGIN, x + w + SEARCH_MARGIN, y + h + SEARCH_MARGIN]
        template = standard.template
        rh, rw = rotated.shape[:2]
        span = (min(region[2], rw) - max(region[0], 0), min(region[3], rh) - max(region[1], 0))
        if span[0] < template.shape[1] or span[1] < template.shape[0]:
            # OpenCV would refuse: the frame's bars span less than the standard's.
            raise InspectionError("alignment failed (the bars found span %dx%d pixels, the standard's %dx%d: "
                                  "bars missing, or something else inside the area taken for bars)"
                                  % (w, h, template.shape[1], template.shape[0]), tilt_frame=-degree)
        score, location = qel_cv.template_match_point(rotated, template, region, threshold=max(min_match_score, 0.0))
        if location is None:
            raise InspectionError("alignment failed (match score %.2f, minimum %.2f)" % (score, min_match_score),
                                  tilt_frame=-degree, match_score=score)
        cx, cy = standard.cmp_rect[:2]
        shift = (cx - location[0], cy - location[1])
        aligned = qel_cv.translate(rotated, *shift)
    return Aligned(standard, camera, aligned, degree, rotation_centre(bars, aoi), shift, score, len(bars), lines,
                   placement)


def judge(aligned, max_shift, threshold, dirty_width):
    """Defects of an aligned frame, in ink terms (`kind`), with the
    library's `description` and both boxes; `size` is the longer side of
    the box, as in the description."""
    standard = aligned.standard
    comparator = standard.comparator(max_shift, threshold, dirty_width, aligned.spread)
    work = aligned.work
    if standard.keep is not None:
        # Pixels not compared take the standard's values: nothing differs there.
        work = np.where(standard.keep, work, standard.spread(aligned.spread))
    result = qel_cv.CompareResult(work)
    comparator.compare(work, result)
    black, white = KINDS[aligned.standard.polarity]
    black_prefix = comparator.black_spot_desc + ":"
    defects = []
    for region in result.ng_regions:
        x1, y1, x2, y2 = region.rect
        defects.append(Defect(black if region.desc.startswith(black_prefix) else white, region.desc,
                              aligned.to_frame(region.rect), [int(v) for v in region.rect],
                              int(max(x2 - x1, y2 - y1))))
    return defects


def marked_picture(frame, defects):
    """The frame as captured, each defect framed in red at its camera box;
    a defect joined from several spots (a streak) also has its outline
    drawn, thin and in one colour (an anti-aliased line draws hundreds of
    shades, which would cost the picture its fast palette encoding)."""
    result = qel_cv.CompareResult(frame)
    for d in defects:
        result.append(qel_cv.NGRegion(list(d.box_frame), d.description))
    picture = result.marked_image()
    outlines = [np.int32(d.extra["outline"]) for d in defects if len(d.extra.get("outline", ())) >= 3]
    if outlines:
        cv2.polylines(picture, outlines, True, (0, 0, 255), 1, cv2.LINE_8)
    return picture


def marked_area(frame, defects):
    """(x1, y1, x2, y2): the part of the frame marked_picture may draw on,
    the only part that differs from the frame."""
    h, w = frame.shape[:2]
    xs, ys = [], []
    for d in defects:
        x1, y1, x2, y2 = d.box_frame
        xs += [x1 - 1, x2 + 1]                  # the frame is drawn a pixel outside the box
        ys += [y1 - 1, y2 + 1]
        for x, y in d.extra.get("outline", ()):
            xs.append(x)
            ys.append(y)
    if not xs:
        return 0, 0, 0, 0
    # A pixel of margin for a line's rounding; clipped to the frame.
    return (max(0, int(np.floor(min(xs))) - 1), max(0, int(np.floor(min(ys))) - 1),
            min(w, int(np.ceil(max(xs))) + 2), min(h, int(np.ceil(max(ys))) + 2))


def read_frame(path, max_pixels=None):
    """The frame as a grey image; InspectionError when it cannot be read:
    not a regular file, or a header declaring more than `max_pixels`
    (images.CEILING when None), checked before anything is decoded."""
    from . import images

    try:
        data = images.read(path, max_pixels)
    except OSError as e:
        raise InspectionError("unreadable (%s)" % (e.strerror or e))
    except images.Unreadable as e:
        raise InspectionError("unreadable (%s)" % e)
    return decode_frame(data, max_pixels)


def decode_frame(data, max_pixels=None):
    """A frame from its file's bytes (bytes or a uint8 array), as read_frame
    gives it."""
    from . import images

    try:
        return images.decode(data, max_pixels)
    except images.Unreadable as e:
        raise InspectionError("unreadable (%s)" % e)


def inspect_frame(standard, frame, checks, min_match_score=0.0):
    """Both stages on one frame image: the frame aligned, then judged by
    each of `checks`, callables taking the aligned frame and returning what
    they found (`defects`, `values`). A Record without key and name: its
    status, reason, defects, what the checks measured, the tilts, the match
    score and the shift, and the library's printed lines in
    `library_output`."""
    out = Record("", "", Status.ERROR, tilt_standard=rounded(standard.tilt), library_output=[])
    try:
        aligned = align(standard, frame, min_match_score)
        out.library_output = aligned.lines
        out.tilt_frame, out.match_score = rounded(aligned.tilt), rounded(aligned.score, 4)
        out.shift = [int(round(v)) for v in aligned.moved]
        # Checks later in the list see what earlier ones measured (content
        # rules read what the codes and text checks read).
        aligned.values = out.values
        for check in checks:
            found = check(aligned)
            out.defects += found.defects
            out.values.update(found.values)
    except InspectionError as e:
        out.reason, out.defects, out.found = str(e), [], e.found
        for k, v in e.values.items():
            setattr(out, k, rounded(v, 4 if k == "match_score" else 3))
        return out
    out.status = Status.REJECT if out.defects else Status.PASS
    return out


def inspect(standard, frame, max_shift, threshold, dirty_width, min_match_score=0.0):
    """`inspect_frame` with the comparison alone, under these settings."""
    return inspect_frame(standard, frame, [lambda a: Findings(judge(a, max_shift, threshold, dirty_width))],
                         min_match_score)

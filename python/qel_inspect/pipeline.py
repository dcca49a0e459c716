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

from .checks import Findings
from .records import Defect, Record
from .status import Status

# The bands `find_barcode_contours` uses when none are given.
LIBRARY_BANDS = {"area": (1500, 120000), "perimeter": (600, 2000)}
# The library's pipeline searches the template this far around the target's bars.
SEARCH_MARGIN = 20
POLARITIES = ("dark-bars", "light-bars")

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
    reason, `values` what was measured before it stopped."""

    def __init__(self, reason, **values):
        super().__init__(reason)
        self.values = values


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


def detect_bars(work, aoi, bands):
    """Bars (relative to the area) and the whole-image threshold image."""
    (alo, ahi), (plo, phi) = bands["area"], bands["perimeter"]
    return qel_cv.find_barcode_contours(work, tuple(aoi), alo, ahi, plo, phi)


def comparison_rect(rotated, aoi, bands):
    """The comparison rectangle (x, y, w, h) of a tilt-corrected print, found
    as the library's own helper finds it but with these bands: the union of
    the bars' boxes, its top moved down by half the top-most bar's height."""
    bars, _ = detect_bars(rotated, aoi, bands)
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


def upright(work, aoi, bands, what):
    """Bars, measured tilt (the library's correction angle) and the turned
    image of one print."""
    bars, threshold = detect_bars(work, aoi, bands)
    if not bars:
        raise InspectionError("no bars found" + what)
    qel_cv.fill_threshold(bars, threshold, tuple(aoi))
    degree = qel_cv.find_rotate_degree(threshold, tuple(aoi))
    return bars, degree, qel_cv.rotate_correcting(work, bars, degree, tuple(aoi))


@dataclass
class Standard:
    """The standard print, prepared once per recipe: everything of the
    library's pipeline that depends on the standard alone."""
    image: np.ndarray           # as read
    polarity: str
    aoi: tuple
    bands: dict
    bars: list
    degree: float               # the library's correction angle
    rotated: np.ndarray         # tilt-corrected, in the work polarity
    cmp_rect: tuple
    lines: list = field(default_factory=list)
    _local: threading.local = field(default_factory=threading.local, repr=False, compare=False)

    @property
    def template(self):
        x, y, w, h = self.cmp_rect
        return self.rotated[y:y + h, x:x + w]

    @property
    def tilt(self):
        """Tilt of the print, degrees counter-clockwise as displayed."""
        return -self.degree

    def comparator(self, max_shift, threshold, dirty_width):
        """A comparator set to these values, kept for the next frame. The
        judge parameter (dirty_width) is fixed when a comparator is made,
        but max_shift and threshold are read afresh by every comparison, so
        one comparator per dirty_width serves a whole sweep; each holds a
        16-bit copy of the standard, so a few are kept at a time. Each
        thread has its own, since the values are set here and read by the
        comparison that follows in the same thread."""
        kept = self._local.__dict__.setdefault("comparators", {})
        comparator = kept.pop(dirty_width, None)
        if comparator is None:
            if len(kept) >= 8:
                del kept[next(iter(kept))]
            comparator = qel_cv.ShiftComparator(
                self.rotated, max_shift=max_shift, threshold=threshold, judge_parameter=dirty_width,
                cmp_region=self.aoi)
        kept[dirty_width] = comparator       # the most recently used last
        comparator.max_shift, comparator.threshold = max_shift, threshold
        return comparator


def prepare_standard(image, aoi, polarity, bands=LIBRARY_BANDS):
    """Raises InspectionError when the standard has no bars in the bands."""
    aoi = tuple(int(v) for v in aoi)
    lines = []
    with captured(lines):
        work = to_work(image, polarity)
        bars, degree, rotated = upright(work, aoi, bands, " in the standard inside the area with these bands")
        cmp_rect = comparison_rect(rotated, aoi, bands)
    return Standard(image, polarity, aoi, bands, bars, degree, rotated, cmp_rect, lines)


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

    @property
    def tilt(self):
        return -self.degree

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
        h, w = self.frame.shape[:2]
        return [max(0, math.floor(pts[:, 0].min())), max(0, math.floor(pts[:, 1].min())),
                min(w, math.ceil(pts[:, 0].max()) + 1), min(h, math.ceil(pts[:, 1].max()) + 1)]


def align(standard, frame, min_match_score=0.0):
    """Turn `frame` upright and move it onto the prepared standard.

    Raises InspectionError for a frame of another size, one without bars in
    the bands, or one whose best match scores below `min_match_score` (a
    negative score always fails, as the library cannot place it)."""
    if frame.shape != standard.image.shape:
        raise InspectionError("wrong size (%dx%d, the standard is %dx%d)" % (
            frame.shape[1], frame.shape[0], standard.image.shape[1], standard.image.shape[0]))
    aoi, bands = standard.aoi, standard.bands
    lines = []
    with captured(lines):
        work = to_work(frame, standard.polarity)
        bars, degree, rotated = upright(work, aoi, bands, "")
        x, y, w, h = comparison_rect(rotated, aoi, bands)
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
    return Aligned(standard, frame, aligned, degree, rotation_centre(bars, aoi), shift, score, len(bars), lines)


def judge(aligned, max_shift, threshold, dirty_width):
    """Defects of an aligned frame, in ink terms (`kind`), with the
    library's `description` and both boxes; `size` is the longer side of
    the box, as in the description."""
    comparator = aligned.standard.comparator(max_shift, threshold, dirty_width)
    result = qel_cv.CompareResult(aligned.work)
    comparator.compare(aligned.work, result)
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
    """The frame as captured, each defect framed in red at its camera box."""
    result = qel_cv.CompareResult(frame)
    for d in defects:
        result.append(qel_cv.NGRegion(list(d.box_frame), d.description))
    return result.marked_image()


def read_frame(path):
    """The frame as a grey image; InspectionError when it cannot be read."""
    try:
        data = np.fromfile(path, np.uint8)
    except OSError as e:
        raise InspectionError("unreadable (%s)" % (e.strerror or e))
    return decode_frame(data)


def decode_frame(data):
    """A frame from its file's bytes (bytes or a uint8 array), as read_frame
    gives it."""
    data = np.frombuffer(data, np.uint8) if isinstance(data, (bytes, bytearray, memoryview)) else data
    image = cv2.imdecode(data, cv2.IMREAD_GRAYSCALE) if data.size else None
    if image is None:
        raise InspectionError("unreadable (not an image OpenCV can decode)")
    return image


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
        out.shift = [int(round(v)) for v in aligned.shift]
        for check in checks:
            found = check(aligned)
            out.defects += found.defects
            out.values.update(found.values)
    except InspectionError as e:
        out.reason, out.defects = str(e), []
        for k, v in e.values.items():
            setattr(out, k, rounded(v, 4 if k == "match_score" else 3))
        return out
    out.status = Status.REJECT if out.defects else Status.PASS
    return out


def inspect(standard, frame, max_shift, threshold, dirty_width, min_match_score=0.0):
    """`inspect_frame` with the comparison alone, under these settings."""
    return inspect_frame(standard, frame, [lambda a: Findings(judge(a, max_shift, threshold, dirty_width))],
                         min_match_score)

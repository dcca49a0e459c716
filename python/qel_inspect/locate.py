"""Finding the label in a camera frame: where it lies, how far it is tilted
and which way up, so the frame can be cut out and turned into the label's
own coordinates (the label space) with one warp.

A label is found by its edge (light paper against a darker belt) or, where
there is no edge to see, by the extent of its print. The frame is searched
at a reduced size: the paper (or the print, its elements closed into one
blob) gives the label's place and size, the edges inside it its tilt
modulo a quarter turn, and the quarter turn is the one under which the
label looks most like the standard's, compared as small pictures.
"""
import math
from dataclasses import dataclass

import cv2
import numpy as np

SEARCH_SIDE = 400          # frames are searched at most this size (longer side), pixels
THUMB_SIDE = 160           # the label is compared with the standard's at this size
TURN_SIDE = 64             # ... and which way up it is told at this one
SIZE_TOLERANCE = 0.3       # a candidate's size may differ from the expected by this fraction
INK_RATIO = 0.85           # print is darker than this fraction of the paper around it
PRINT_SHORTFALL = 0.55     # the print found may lack this much of the standard's extent
MIN_SCORE = 0.3            # below this likeness to the standard nothing counts as the label
EDGE, PRINT = "edge", "print"


class LabelNotFound(Exception):
    """str() is the one-line reason."""


@dataclass(frozen=True)
class Pose:
    """Where a label lies in an image."""
    centre: tuple              # (x, y), pixels
    size: tuple                # (width, height) along the label's own axes, pixels
    angle: float               # degrees the label is turned counter-clockwise from upright
    found_by: str = EDGE       # EDGE or PRINT
    score: float = 1.0         # likeness to the standard's label, -1..1

    def corners(self):
        """The label's corners in the image, clockwise from its top-left."""
        a = math.radians(self.angle)
        ux, uy = math.cos(a), -math.sin(a)         # the label's x axis in the image
        vx, vy = math.sin(a), math.cos(a)          # its y axis
        w, h = self.size[0] / 2.0, self.size[1] / 2.0
        cx, cy = self.centre
        return np.float64([[cx + sx * w * ux + sy * h * vx, cy + sx * w * uy + sy * h * vy]
                           for sx, sy in ((-1, -1), (1, -1), (1, 1), (-1, 1))])


@dataclass(frozen=True)
class Space:
    """The label's own coordinates: the label upright, turned a further
    `turn` degrees (a quarter turn or none) so its bars run across, with
    `margin` pixels of its surroundings kept on every side."""
    label: tuple               # (width, height) of the label upright, pixels
    turn: int                  # 0, 90, 180 or 270, counter-clockwise
    margin: int

    @property
    def size(self):
        w, h = self.label if self.turn % 180 == 0 else self.label[::-1]
        return (int(round(w)) + 2 * self.margin, int(round(h)) + 2 * self.margin)

    def matrix(self, pose, scale=1.0):
        """The 2x3 matrix taking image pixels to label-space pixels (times
        `scale`) for a label at `pose`."""
        w, h = self.size
        m = cv2.getRotationMatrix2D(tuple(float(v) for v in pose.centre), self.turn - pose.angle, scale)
        m[0, 2] += w * scale / 2.0 - pose.centre[0]
        m[1, 2] += h * scale / 2.0 - pose.centre[1]
        return m

    def warp(self, image, pose):
        return cv2.warpAffine(image, self.matrix(pose), self.size, flags=cv2.INTER_LINEAR,
                              borderMode=cv2.BORDER_REPLICATE)

    def label_box(self):
        """The label itself in label space: (x1, y1, x2, y2)."""
        w, h = self.size
        return (self.margin, self.margin, w - self.margin, h - self.margin)


def _search_image(image):
    """The frame halved (a Gaussian pyramid's steps, cheap and free of
    aliasing) until its longer side is at most SEARCH_SIDE, and the scale."""
    small, scale = image, 1.0
    while max(small.shape[:2]) > SEARCH_SIDE:
        small = cv2.pyrDown(small)
        scale *= 0.5
    if scale == 1.0:
        small = cv2.GaussianBlur(small, (0, 0), 1.0)
    # pyrDown's sizes round up: the scale each way is the sizes' ratio.
    return small, small.shape[1] / float(image.shape[1])


def _ink_split(small):
    """Otsu's threshold of a reduced image and the grey levels either side
    of it (the mean of each class)."""
    level, _ = cv2.threshold(small, 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    light, dark = small[small > level], small[small <= level]
    if not light.size or not dark.size:
        return level, 0.0, 0.0
    return level, float(light.mean()), float(dark.mean())


def edge_tilt(small, mask=None):
    """The tilt, modulo a quarter turn, of the edges in an image: the
    direction that gradients agree on most, each weighted by its strength.
    Degrees counter-clockwise in [-45, 45)."""
    gx = cv2.Sobel(small, cv2.CV_32F, 1, 0, ksize=3)
    gy = cv2.Sobel(small, cv2.CV_32F, 0, 1, ksize=3)
    # With r the gradient's length and phi its direction, r^2 cos 4phi and
    # r^2 sin 4phi without trigonometry: from cos 2phi and sin 2phi.
    c2 = gx * gx - gy * gy
    s2 = 2 * gx * gy
    r2 = gx * gx + gy * gy + 1e-6
    cos4, sin4 = (c2 * c2 - s2 * s2) / r2, 2 * c2 * s2 / r2
    if mask is not None:
        keep = mask > 0
        cos4, sin4 = cos4[keep], sin4[keep]
    s, c = float(sin4.sum()), float(cos4.sum())
    if s == 0 and c == 0:
        return 0.0
    # Image angles run clockwise as displayed (rows go down): negate.
    return -((math.degrees(math.atan2(s, c)) / 4.0 + 45.0) % 90.0 - 45.0)


def _extent(points, angle):
    """(centre, size) of a point set along axes turned by `angle`."""
    a = math.radians(angle)
    ux, uy, vx, vy = math.cos(a), -math.sin(a), math.sin(a), math.cos(a)
    u = points[:, 0] * ux + points[:, 1] * uy
    v = points[:, 0] * vx + points[:, 1] * vy
    cu, cv_ = (u.min() + u.max()) / 2.0, (v.min() + v.max()) / 2.0
    centre = (cu * ux + cv_ * vx, cu * uy + cv_ * vy)
    return centre, (float(u.max() - u.min() + 1), float(v.max() - v.min() + 1))


def _edge_candidates(small, level):
    """Light regions that could be the paper of a label: (contour, its
    solidity), the largest first."""
    _, light = cv2.threshold(small, level, 255, cv2.THRESH_BINARY)
    light = cv2.morphologyEx(light, cv2.MORPH_CLOSE, np.ones((5, 5), np.uint8))
    found = cv2.findContours(light, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    contours = found[-2]
    out = []
    for c in contours:
        area = cv2.contourArea(c)
        if area < 0.005 * small.size:
            continue
        hull = cv2.contourArea(cv2.convexHull(c))
        out.append((c, area / hull if hull else 0.0, area))
    return sorted(out, key=lambda t: -t[2])


def ink_of(small):
    """Where a reduced frame holds print: pixels clearly darker than the
    paper around them (the paper's level taken locally, so a lamp that
    lights the frame unevenly does not pass for print), faint thin strokes
    included."""
    paper = cv2.dilate(small, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (31, 31)))
    paper = cv2.GaussianBlur(paper, (0, 0), 8).astype(np.float32)
    ink = (small.astype(np.float32) < INK_RATIO * np.maximum(paper, 1.0)).astype(np.uint8) * 255
    return cv2.morphologyEx(ink, cv2.MORPH_OPEN, np.ones((2, 2), np.uint8))


def _print_pose(small, reach, expected):
    """(centre, size, angle) of the print around the largest piece of ink:
    pieces of ink (letters closed into words) joined to it while they lie
    within `reach` pixels of what is joined and, with an `expected` size
    (either way round), while the whole stays within it. None when there
    is no ink."""
    ink = ink_of(small)
    k = max(3, int(reach / 3) | 1)
    closed = cv2.morphologyEx(ink, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_RECT, (k, k)))
    count, labels, stats, _ = cv2.connectedComponentsWithStats(closed, connectivity=8)
    pieces = [i for i in range(1, count) if stats[i, cv2.CC_STAT_AREA] >= 0.0003 * small.size]
    if not pieces:
        return None
    pieces.sort(key=lambda i: -stats[i, cv2.CC_STAT_AREA])

    def points(i):
        ys, xs = np.nonzero((labels == i) & (ink > 0))
        return np.stack([xs, ys], 1).astype(np.float64)

    def box(i):
        x, y, w, h = stats[i, :4]
        return (x, y, x + w, y + h)

    def hull_tilt(pts):
        mask = np.zeros_like(small)
        cv2.fillConvexPoly(mask, cv2.convexHull(pts.astype(np.int32).reshape(-1, 1, 2)), 255)
        return edge_tilt(small, mask)

    def fits(size):
        if expected is None:
            return True
        limit = [e * (1 + SIZE_TOLERANCE) + 4 for e in expected]
        return (size[0] <= limit[0] and size[1] <= limit[1]) or (size[1] <= limit[0] and size[0] <= limit[1])

    joined = points(pieces[0])
    angle = hull_tilt(joined)
    union = box(pieces[0])
    rest = pieces[1:]
    while rest:
        gaps = [(max(0, b[0] - union[2], union[0] - b[2], b[1] - union[3], union[1] - b[3]), i)
                for i, b in ((i, box(i)) for i in rest)]
        gap, nearest = min(gaps)
        if gap > reach:
            break
        rest.remove(nearest)
        trial = np.vstack([joined, points(nearest)])
        if fits(_extent(trial, angle)[1]):
            joined = trial
            b = box(nearest)
            union = (min(union[0], b[0]), min(union[1], b[1]), max(union[2], b[2]), max(union[3], b[3]))
    angle = hull_tilt(joined)
    centre, size = _extent(joined, angle)
    return centre, size, angle


def find_rough(image, found_by=None, expected=None, searched=None):
    """The label's pose in an image without telling which way up it is:
    its angle is within a quarter turn's ambiguity (an edge-found label's
    long and short sides are told apart when `expected` (width, height) is
    given). `found_by` None tries the edge first. LabelNotFound when
    nothing of the label's kind and size is there."""
    small, scale = searched or _search_image(image)
    level, light, dark = _ink_split(small)
    if light - dark < 12:
        raise LabelNotFound("label not found (nothing in sight: the frame varies by %.0f grey levels)"
                            % (light - dark))
    exp = None if expected is None else (expected[0] * scale, expected[1] * scale)
    if found_by in (None, EDGE):
        for contour, solidity, area in _edge_candidates(small, level):
            if solidity < 0.9 or area > 0.97 * small.size:
                continue
            mask = np.zeros_like(small)
            cv2.drawContours(mask, [contour], -1, 255, cv2.FILLED)
            inside = cv2.erode(mask, np.ones((7, 7), np.uint8))
            angle = edge_tilt(small, mask - inside)
            centre, size = _extent(contour.reshape(-1, 2).astype(np.float64), angle)
            if exp is not None and not _fits(size, exp):
                if _fits(size[::-1], exp):
                    angle, size = angle + 90.0, size[::-1]
                else:
                    continue
            # The paper must hold print (a light box on its own is not a label).
            if not np.any(small[inside > 0] < level):
                continue
            return Pose(tuple(c / scale for c in centre), tuple(s / scale for s in size), angle, EDGE)
        if found_by == EDGE:
            raise LabelNotFound("label not found (no light label of its size against the belt)")
    # Join a label's elements (symbol, text, logo) across the gaps between
    # them, not across those between labels.
    reach = 0.12 * max(exp) if exp is not None else 0.08 * min(small.shape)
    found = _print_pose(small, reach, exp)
    if found is not None:
        centre, size, angle = found
        # Faint elements of a light print may be missed: the print found may
        # be smaller than the standard's, never larger.
        if exp is not None and not _fits(size, exp, PRINT_SHORTFALL) and _fits(size[::-1], exp, PRINT_SHORTFALL):
            angle, size = angle + 90.0, size[::-1]
        if (exp is None or _fits(size, exp, PRINT_SHORTFALL)) and min(size) >= 8:
            return Pose(tuple(c / scale for c in centre), tuple(s / scale for s in size), angle, PRINT)
    raise LabelNotFound("label not found (no print of the label's size)" if exp is not None
                        else "label not found (no print)")


def _fits(size, expected, shortfall=SIZE_TOLERANCE):
    """Whether a size is the expected one: no more than SIZE_TOLERANCE
    larger, no more than `shortfall` smaller (fractions), each way."""
    return all(e * (1 - shortfall) - 4 <= s <= e * (1 + SIZE_TOLERANCE) + 4 for s, e in zip(size, expected))


@dataclass
class Reference:
    """What frames are matched against: the standard's label space and its
    small pictures."""
    space: Space
    found_by: str
    thumb: np.ndarray          # the standard's label space at thumb scale
    scale: float               # thumb pixels per label-space pixel
    turn_thumb: np.ndarray     # ... and smaller, to tell which way up
    turn_scale: float

    @classmethod
    def of(cls, space, found_by, standard_space_image):
        def reduced(side):
            scale = side / max(space.size)
            return cv2.resize(standard_space_image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA), scale

        return cls(space, found_by, *reduced(THUMB_SIDE), *reduced(TURN_SIDE))


def find(image, reference):
    """The pose of the reference's label in a frame, which way up
    included: of the turns the label's outline allows, the one whose
    picture is most like the standard's (compared small, with room for a
    rough place that is off by a part of the label), its place refined by
    the same comparison a little larger. LabelNotFound when there is none,
    or nothing like it."""
    small, scale = searched = _search_image(image)
    rough = find_rough(image, reference.found_by, reference.space.label, searched)
    square = abs(rough.size[0] - rough.size[1]) < 0.1 * max(rough.size)
    turns = (0, 90, 180, 270) if square else (0, 180)
    best = None
    for turn in turns:
        pose = Pose(rough.centre, rough.size if turn % 180 == 0 else rough.size[::-1], rough.angle + turn,
                    rough.found_by)
        # Room for a rough place that is off by a part of the label (a
        # print found without its faint elements, say).
        top, move = _compare(small, scale, pose, reference, reference.turn_thumb, reference.turn_scale, 0.25)
        if best is None or top > best[0]:
            best = (top, pose, move)
    _, pose, move = best
    pose = _moved(pose, move, reference.space)
    score, move = _compare(small, scale, pose, reference, reference.thumb, reference.scale, 0.05)
    if score < MIN_SCORE:
        raise LabelNotFound("label not found (nothing like the standard's label: likeness %.2f)" % score)
    return _moved(Pose(pose.centre, pose.size, pose.angle, pose.found_by, float(score)), move, reference.space)


def _compare(small, scale, pose, reference, thumb, thumb_scale, room):
    """(likeness, move): the frame around `pose` taken into label space at
    `thumb_scale`, `thumb` looked for in it within `room` (a fraction of
    its size) of where the pose puts it; `move` in label-space pixels."""
    th, tw = thumb.shape
    pad = int(room * max(tw, th)) + 2
    m = reference.space.matrix(pose, thumb_scale)
    # From the reduced frame: undo its reduction, then into thumb space with a pad around.
    m = m @ np.float64([[1 / scale, 0, 0], [0, 1 / scale, 0], [0, 0, 1]])
    m[:, 2] += pad
    view = cv2.warpAffine(small, m, (tw + 2 * pad, th + 2 * pad), flags=cv2.INTER_LINEAR,
                          borderMode=cv2.BORDER_REPLICATE)
    scores = cv2.matchTemplate(view, thumb, cv2.TM_CCOEFF_NORMED)
    _, top, _, at = cv2.minMaxLoc(scores)
    return top, ((at[0] - pad) / thumb_scale, (at[1] - pad) / thumb_scale)


def _moved(pose, move, space):
    """The pose whose label sits `move` label-space pixels further along."""
    inverse = cv2.invertAffineTransform(space.matrix(pose))
    w, h = space.size
    cx, cy = inverse @ np.float64([w / 2.0 + move[0], h / 2.0 + move[1], 1.0])
    return Pose((float(cx), float(cy)), pose.size, pose.angle, pose.found_by, pose.score)

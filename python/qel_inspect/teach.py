"""Teaching from several good prints: a clean standard made as the
pixel-wise median of the prints, each brought onto the first one's place
and light, so a user without the artwork still gets a standard free of one
frame's noise, dust and lighting.
"""
import cv2
import numpy as np

from . import light, locate


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

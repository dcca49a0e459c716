#!/usr/bin/python3
"""Synthesise line-camera frames of label prints (deterministic).

A Code 128 symbol with its bars running horizontally, one above the other,
is printed on a label and seen by a line camera: the label comes by turned
(up to a few degrees) and shifted, the lens blurs a little, the lighting
falls off towards the ends of the line, every line has its own gain, every
sensor column its own response, there is sensor noise, and the frame is
stored as JPEG.  Two kinds of print:

- dark-bars: ordinary print, dark ink bars on light paper;
- knock-out: ink everywhere except the bars, which show the light paper.

Defects are planted in ink terms: "missing ink" (paper shows where ink
belongs) and "extra ink" (ink where paper belongs).  truth.json lists every
frame with what was planted and where, in camera coordinates.

With no arguments the bundled sets are written (examples/frames/dark/ and
examples/frames/knockout/, each with standard.png, frames/*.jpg and
truth.json).  With --out a random batch is written instead:

    /usr/bin/python3 examples/make_frames.py
    /usr/bin/python3 examples/make_frames.py --out /tmp/batch --seed 7 --good 80 --defective 20
    /usr/bin/python3 examples/make_frames.py --out /tmp/big --size 1280x1024 --module 7 --data 40171234

--sort also files the frames of a random batch into good/ and bad/ by what
was planted (links to frames/*.jpg), as `qel-inspect tune` takes them.
"""
import argparse
import json
import math
import os
import shutil
import sys

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from make_samples import bar_runs, code128c_values  # noqa: E402

SUPER = 4  # supersampling factor of the renderer


class Label:
    """Where the symbol lies on a label, in camera pixels of an upright,
    centred label."""

    def __init__(self, size=(640, 512), module=4, bar_length=400, data="27182818", polarity="dark-bars"):
        self.size = size
        self.module = module
        self.bar_length = bar_length
        self.data = data
        self.polarity = polarity
        self.runs, self.modules = bar_runs(code128c_values(data))
        w, h = size
        self.origin = ((w - bar_length) // 2, (h - self.modules * module) // 2)
        if min(self.origin) < 4 * module:
            raise ValueError("the symbol does not fit the frame with a quiet zone")

    def bar_rects(self):
        """Every bar as (x1, y1, x2, y2) on the upright label, ends excluded."""
        x0, y0 = self.origin
        m = self.module
        return [(x0, y0 + first * m, x0 + self.bar_length, y0 + (first + width) * m) for first, width in self.runs]

    def wide_bar(self, rank=0):
        rects = sorted(self.bar_rects(), key=lambda r: (r[1] - r[3], r[1]))
        return rects[rank]

    def wide_space(self, rank=0):
        rects = self.bar_rects()
        spaces = [(a[0], a[3], a[2], b[1]) for a, b in zip(rects, rects[1:])]
        return sorted(spaces, key=lambda s: (s[1] - s[3], s[1]))[rank]


def transform(label, degrees, dx, dy):
    """Turn the label by `degrees` (counter-clockwise as displayed) about the
    frame's centre, then move it by (dx, dy) pixels: a 2x3 matrix."""
    w, h = label.size
    m = cv2.getRotationMatrix2D((w / 2.0, h / 2.0), degrees, 1.0)
    m[0, 2] += dx
    m[1, 2] += dy
    return m


def ink_coverage(label, matrix, defects=(), text=True):
    """Ink coverage (0..1) of one frame: the label drawn upright at SUPER
    times the resolution, defects applied, then turned/shifted by `matrix`
    and reduced with area averaging."""
    w, h = label.size
    bars = np.zeros((h * SUPER, w * SUPER), np.uint8)
    for x1, y1, x2, y2 in label.bar_rects():
        cv2.rectangle(bars, (x1 * SUPER, y1 * SUPER), (x2 * SUPER - 1, y2 * SUPER - 1), 255, cv2.FILLED)
    ink = bars if label.polarity == "dark-bars" else 255 - bars
    if text:
        # Lot text above the symbol: small print the bar detection must ignore.
        x0, y0 = label.origin
        org = (x0 * SUPER, (y0 - 3 * label.module - 8) * SUPER)
        cv2.putText(ink, "LOT %s" % label.data, org, cv2.FONT_HERSHEY_SIMPLEX, 0.5 * SUPER,
                    255 if label.polarity == "dark-bars" else 0, 2 * SUPER)
    for d in defects:
        value = 255 if d["kind"] == "extra ink" else 0
        x1, y1, x2, y2 = d["box"]
        if d["shape"] == "ellipse":
            centre = ((x1 + x2) * SUPER // 2, (y1 + y2) * SUPER // 2)
            axes = ((x2 - x1) * SUPER // 2, (y2 - y1) * SUPER // 2)
            cv2.ellipse(ink, centre, axes, 0, 0, 360, value, cv2.FILLED)
        else:
            cv2.rectangle(ink, (x1 * SUPER, y1 * SUPER), (x2 * SUPER - 1, y2 * SUPER - 1), value, cv2.FILLED)
    m = np.float64(matrix).copy()
    m[:, 2] *= SUPER
    # Outside the label the camera sees the label's own background.
    border = 0 if label.polarity == "dark-bars" else 255
    ink = cv2.warpAffine(ink, m, (w * SUPER, h * SUPER), flags=cv2.INTER_LINEAR,
                         borderMode=cv2.BORDER_CONSTANT, borderValue=border)
    return cv2.resize(ink, (w, h), interpolation=cv2.INTER_AREA).astype(np.float64) / 255.0


class Camera:
    """A line camera: fixed per-column response, lighting that falls off
    towards the ends of the line, per-line gain, blur, noise."""

    def __init__(self, size, seed=0, paper=212.0, ink=38.0, falloff=0.16):
        w, h = size
        rng = np.random.default_rng(seed)
        self.paper, self.ink = paper, ink
        x = (np.arange(w) - w / 2.0) / (w / 2.0)
        self.columns = (1.0 - falloff * x * x + 0.03 * x) * (1.0 + rng.normal(0, 0.006, w))

    def shoot(self, coverage, seed, blur=1.1, noise=3.0):
        rng = np.random.default_rng(seed)
        h, w = coverage.shape
        grey = self.paper - (self.paper - self.ink) * coverage
        lines = 1.0 + rng.normal(0, 0.004, (h, 1))
        grey = grey * self.columns[None, :] * lines
        grey = cv2.GaussianBlur(grey, (0, 0), blur)
        grey = cv2.blur(grey, (1, 2))  # the label moves during each line's exposure
        grey += rng.normal(0.0, noise, grey.shape)
        return np.clip(np.rint(grey), 0, 255).astype(np.uint8)


def camera_box(matrix, box, size):
    """Bounding box (x1, y1, x2, y2), ends excluded, of the label-coordinate
    box after `matrix`, clipped to the frame."""
    x1, y1, x2, y2 = box
    corners = np.float64([[x1, y1, 1], [x2, y1, 1], [x1, y2, 1], [x2, y2, 1]])
    pts = corners @ np.float64(matrix).T
    w, h = size
    return [max(0, int(math.floor(pts[:, 0].min()))), max(0, int(math.floor(pts[:, 1].min()))),
            min(w, int(math.ceil(pts[:, 0].max()))), min(h, int(math.ceil(pts[:, 1].max())))]


# --- defects, in label coordinates --------------------------------------------------

def gap_in_bar(label, rng, length=None):
    """Ink missing across the middle of a wide bar (dark-bars), or ink over
    a light bar (knock-out): a hole through the bar."""
    x1, y1, x2, y2 = label.wide_bar(int(rng.integers(0, 3)))
    m = label.module
    length = length or int(rng.integers(3, 6)) * m
    start = x1 + int(rng.integers(label.bar_length // 5, label.bar_length * 3 // 4))
    kind = "missing ink" if label.polarity == "dark-bars" else "extra ink"
    what = "gap in a bar" if label.polarity == "dark-bars" else "ink blot on a bar"
    return {"kind": kind, "what": what, "shape": "rect",
            "box": [start, y1 + 1, start + length, y2 - 1]}


def blot_between_bars(label, rng):
    """A blot in a wide space: extra ink (dark-bars) or a hole in the ink
    between two bars (knock-out)."""
    x1, y1, x2, y2 = label.wide_space(int(rng.integers(0, 3)))
    m = label.module
    cx = x1 + int(rng.integers(label.bar_length // 6, label.bar_length * 5 // 6))
    cy = (y1 + y2) // 2
    ax = int(rng.integers(2 * m, 3 * m + 1)) // 2 + 1
    ay = max(2, (y2 - y1) // 2 - 1)
    kind = "extra ink" if label.polarity == "dark-bars" else "missing ink"
    what = "ink blot between bars" if label.polarity == "dark-bars" else "hole in the ink between bars"
    return {"kind": kind, "what": what, "shape": "ellipse", "box": [cx - ax, cy - ay, cx + ax, cy + ay]}


def thick_bar(label, rng):
    """A bar printed one module too thick along its whole length (ink spread)."""
    rects = label.bar_rects()
    i = int(rng.integers(1, len(rects) - 1))
    x1, y1, x2, y2 = rects[i]
    m = label.module
    if label.polarity == "dark-bars":
        return {"kind": "extra ink", "what": "bar one module too thick", "shape": "rect",
                "box": [x1, y2, x2, y2 + m]}
    return {"kind": "extra ink", "what": "bar one module too thin", "shape": "rect",
            "box": [x1, y2 - m, x2, y2]}


DEFECTS = {"gap": gap_in_bar, "blot": blot_between_bars, "thick": thick_bar}


# --- frame sets -----------------------------------------------------------------------

def render(label, camera, degrees, shift, defects, seed, blur, noise, text=True):
    matrix = transform(label, degrees, *shift)
    return camera.shoot(ink_coverage(label, matrix, defects, text), seed, blur, noise), matrix


def write_frame(folder, name, image, quality):
    path = os.path.join(folder, name)
    if name.endswith(".png"):
        cv2.imwrite(path, image, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    else:
        cv2.imwrite(path, image, [cv2.IMWRITE_JPEG_QUALITY, quality])
    return path


def write_set(out, label, camera, plan, seed, quality=88):
    """Write standard.png and frames/<name>.jpg for every entry of `plan`
    (name, expected status, tilt, shift, defects, options) and truth.json."""
    frames_dir = os.path.join(out, "frames")
    os.makedirs(frames_dir, exist_ok=True)
    standard, _ = render(label, camera, 0.0, (0, 0), (), seed, 1.0, 2.0)
    write_frame(out, "standard.png", standard, quality)
    truth = {"polarity": label.polarity, "size": list(label.size), "module": label.module,
             "data": label.data, "standard": "standard.png", "frames": {}}
    for i, (name, expect, degrees, shift, defects, opts) in enumerate(plan):
        frame_label = opts.get("label", label)
        image, matrix = render(frame_label, camera, degrees, shift, defects, seed + 1 + i,
                               opts.get("blur", 1.1), opts.get("noise", 3.0), opts.get("text", True))
        if opts.get("blank"):
            image, _ = render(frame_label, camera, degrees, (label.size[0] * 2, 0), (), seed + 1 + i, 1.1, 3.0, False)
        file = name + ".jpg"
        write_frame(frames_dir, file, image, opts.get("quality", quality))
        truth["frames"][file] = {
            "expect": expect, "tilt": degrees, "shift": list(shift),
            "defects": [dict(kind=d["kind"], what=d["what"], box_label=d["box"],
                             box_camera=camera_box(matrix, d["box"], label.size)) for d in defects],
            "note": opts.get("note"),
        }
    with open(os.path.join(out, "truth.json"), "w", encoding="utf-8") as f:
        json.dump(truth, f, indent=1)
        f.write("\n")
    return truth


def bundled_dark(out):
    label = Label(polarity="dark-bars")
    camera = Camera(label.size, seed=11)
    rng = np.random.default_rng(2024)
    other = Label(polarity="dark-bars", data="31415926")
    plan = [
        ("good_01", "pass", 2.4, (8, -6), [], {}),
        ("good_02", "pass", -1.7, (-12, 5), [], {"blur": 1.3}),
        ("good_03", "pass", 0.6, (3, 11), [], {"noise": 4.0}),
        ("good_04", "pass", -2.9, (-7, -9), [], {"quality": 80}),
        ("gap_in_bar", "reject", 1.2, (5, 4), [gap_in_bar(label, rng)], {}),
        ("blot_between_bars", "reject", -2.2, (-9, 7), [blot_between_bars(label, rng)], {}),
        ("thick_bar", "reject", 2.8, (10, -3), [thick_bar(label, rng)], {}),
        ("gap_and_blot", "reject", -0.8, (-4, -10), [gap_in_bar(label, rng), blot_between_bars(label, rng)], {}),
        ("wrong_label", "error", 1.0, (2, 3), [], {"label": other, "note": "another product's label"}),
        ("off_centre", "error", -1.4, (20, 72), [], {"note": "label far off its place: bars outside the area"}),
        ("no_label", "error", 0.0, (0, 0), [], {"blank": True, "note": "gap between labels"}),
    ]
    return write_set(out, label, camera, plan, seed=300)


def bundled_knockout(out):
    label = Label(size=(560, 448), module=5, bar_length=330, data="5012", polarity="knock-out")
    camera = Camera(label.size, seed=12, paper=205.0, ink=45.0, falloff=0.12)
    rng = np.random.default_rng(4048)
    plan = [
        ("good_01", "pass", -1.9, (6, 4), [], {}),
        ("good_02", "pass", 2.6, (-8, -5), [], {"blur": 1.3}),
        ("good_03", "pass", 0.9, (4, -9), [], {"quality": 80}),
        ("ink_on_bar", "reject", 1.6, (-5, 6), [gap_in_bar(label, rng)], {}),
        ("hole_between_bars", "reject", -2.4, (7, 2), [blot_between_bars(label, rng)], {}),
        ("off_centre", "error", 1.1, (-60, 55), [], {"note": "label far off its place: bars outside the area"}),
    ]
    return write_set(out, label, camera, plan, seed=500)


def random_batch(out, seed, good, defective, size, module, data, polarity, bar_length, max_tilt, max_shift):
    """A shuffled batch of good and defective frames with random placement."""
    label = Label(size=size, module=module, bar_length=bar_length, data=data, polarity=polarity)
    camera = Camera(size, seed=seed)
    rng = np.random.default_rng(seed)
    plan = []
    kinds = list(DEFECTS)
    for i in range(good + defective):
        defects = [DEFECTS[kinds[i % len(kinds)]](label, rng)] if i >= good else []
        degrees = round(float(rng.uniform(-max_tilt, max_tilt)), 2)
        shift = (int(rng.integers(-max_shift, max_shift + 1)), int(rng.integers(-max_shift, max_shift + 1)))
        opts = {"blur": float(rng.uniform(0.8, 1.4)), "noise": float(rng.uniform(2.0, 4.5)),
                "quality": int(rng.integers(78, 93))}
        plan.append(("frame_%04d" % i, "reject" if defects else "pass", degrees, shift, defects, opts))
    order = rng.permutation(len(plan))
    plan = [plan[i] for i in order]
    return write_set(out, label, camera, plan, seed=seed * 1000)


def sort_by_truth(out, truth):
    """good/ and bad/ beside frames/: each frame linked (or copied) into the
    folder its planted truth says."""
    for label in ("good", "bad"):
        os.makedirs(os.path.join(out, label), exist_ok=True)
    for name, t in truth["frames"].items():
        source = os.path.join(out, "frames", name)
        target = os.path.join(out, "good" if t["expect"] == "pass" else "bad", name)
        if os.path.exists(target):
            os.remove(target)
        try:
            os.link(source, target)
        except OSError:
            shutil.copyfile(source, target)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", help="write a random batch here instead of the bundled sets")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--good", type=int, default=20)
    parser.add_argument("--defective", type=int, default=6)
    parser.add_argument("--size", default="640x512", help="frame width x height")
    parser.add_argument("--module", type=int, default=4, help="pixels per module")
    parser.add_argument("--bar-length", type=int, help="pixels along a bar (default: 5/8 of the width)")
    parser.add_argument("--data", default="27182818", help="digits to encode (an even number)")
    parser.add_argument("--polarity", choices=("dark-bars", "knock-out"), default="dark-bars")
    parser.add_argument("--max-tilt", type=float, default=3.0)
    parser.add_argument("--max-shift", type=int, default=12)
    parser.add_argument("--sort", action="store_true", help="also file the frames into good/ and bad/")
    args = parser.parse_args(argv)
    if args.out:
        w, h = (int(v) for v in args.size.lower().split("x"))
        truth = random_batch(args.out, args.seed, args.good, args.defective, (w, h), args.module, args.data,
                             args.polarity, args.bar_length or w * 5 // 8, args.max_tilt, args.max_shift)
        if args.sort:
            sort_by_truth(args.out, truth)
        print("wrote %d frames, standard.png and truth.json to %s%s" % (
            len(truth["frames"]), args.out, " (and good/, bad/)" if args.sort else ""))
        return 0
    for name, make in (("dark", bundled_dark), ("knockout", bundled_knockout)):
        out = os.path.join(HERE, "frames", name)
        truth = make(out)
        print("wrote %d frames, standard.png and truth.json to %s" % (len(truth["frames"]), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

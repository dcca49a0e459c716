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
truth.json).  With --out a random batch is written instead; with
--scene label, thermal-transfer labels (Code 128 or EAN-13, lot and date
text, a logo) on a belt, anywhere in the frame, any way up, tilted up to
10 degrees, under a lamp from 55 to 105 % with a gradient, printed up to
0.1 mm heavier or lighter, with gaps, blots, thick bars, missing lot
characters and ribbon wrinkles:

    /usr/bin/python3 examples/make_frames.py
    /usr/bin/python3 examples/make_frames.py --out /tmp/batch --seed 7 --good 80 --defective 20
    /usr/bin/python3 examples/make_frames.py --out /tmp/big --size 1280x1024 --module 7 --data 40171234
    /usr/bin/python3 examples/make_frames.py --out /tmp/labels --scene label --symbology ean13 --good 40

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
import symbols  # noqa: E402
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


# --- thermal-transfer labels on a belt ------------------------------------------------
#
# A label as it leaves a thermal-transfer printer, laid out in millimetres with
# its bars running up and down (as printed), is carried past the camera on a
# belt: anywhere in the frame, any way up, tilted, under a lamp that may have
# dimmed and lights the belt unevenly, printed a little heavier or lighter
# than nominal. The label's paper shows against a darker belt (or, with
# `edge` off, against a belt of the same shade).

FONT = cv2.FONT_HERSHEY_SIMPLEX


class ThermalLabel:
    """The artwork of one label: a symbol (a linear one with its
    human-readable digits for EAN-13 or a serial number under it, or a 2D
    code), lot and date text beside it, a product line and a round logo.
    Coordinates in millimetres from the label's top-left."""

    def __init__(self, symbology="code128", data="40171234", size_mm=(80.0, 45.0), module_mm=0.375,
                 lot="LOT 2612A7", date="BB 30.06.2027", product="OAT CRACKERS 250 g", px_per_mm=10.0,
                 serial_text=None):
        self.symbology, self.data = symbology, data
        self.size_mm, self.module_mm, self.px_per_mm = size_mm, module_mm, px_per_mm
        self.lot, self.date, self.product = lot, date, product
        self.serial_text = serial_text          # printed under a linear symbol ("SN 26120581")
        self.origin = (6.0, 5.0)                           # top-left of the first bar
        self.bar_height = 18.0
        self.matrix = None
        if symbology == "ean13":
            self.pattern = symbols.ean13_pattern(data)
            self.module_mm = module_mm = 0.33
        elif symbology in ("datamatrix", "qr"):
            self.pattern = []
            self.matrix = symbols.matrix_modules(symbology, data)
            self.module_mm = module_mm = 0.5 if symbology == "datamatrix" else 0.45
            self.origin = (8.0, 6.0)
        elif symbology == "code128":
            self.pattern = symbols.code128_pattern(data)
        else:
            raise ValueError("no label is drawn with a %r symbol (code128, ean13, datamatrix or qr)" % symbology)
        if self.matrix is not None:
            side = self.matrix.shape[0] * module_mm
            self.symbol_box = (self.origin[0], self.origin[1], self.origin[0] + side, self.origin[1] + side)
        else:
            width = sum(self.pattern) * module_mm
            self.symbol_box = (self.origin[0], self.origin[1], self.origin[0] + width,
                               self.origin[1] + self.bar_height)
        self.text_x = max(self.symbol_box[2] + 10 * module_mm + 2.0, 41.35)
        self.text_height = 2.6                             # cap height, mm

    def px(self, mm):
        return mm * self.px_per_mm

    def size_px(self):
        return (int(round(self.px(self.size_mm[0]))), int(round(self.px(self.size_mm[1]))))

    def bars(self, growth=0.0):
        """Every bar as (x1, y1, x2, y2) in mm, widened by `growth` on each edge."""
        if self.matrix is not None:
            return []
        x, y = self.origin
        out = []
        guards = {0, 1, 14, 15, 28, 29} if self.symbology == "ean13" else set()
        for k, (first, width) in enumerate(symbols.runs(self.pattern)[0]):
            bottom = y + self.bar_height + (1.65 if k in guards else 0.0)
            out.append((x + first * self.module_mm - growth, y, x + (first + width) * self.module_mm + growth, bottom))
        return out

    def modules(self, growth=0.0):
        """Every dark module of a 2D symbol as (x1, y1, x2, y2) in mm."""
        if self.matrix is None:
            return []
        x, y = self.origin
        m = self.module_mm
        return [(x + j * m - growth, y + i * m - growth, x + (j + 1) * m + growth, y + (i + 1) * m + growth)
                for i, j in zip(*np.nonzero(self.matrix))]

    def texts(self):
        """(text, left, baseline, cap height) in mm: lot, date, product and
        EAN-13's digits."""
        out = [(self.lot, self.text_x, 9.0, self.text_height), (self.date, self.text_x, 15.0, self.text_height),
               (self.product, 6.0, 36.0, 3.0)]
        if self.serial_text:
            out.append((self.serial_text, self.origin[0], self.symbol_box[3] + 3.4, 2.4))
        if self.symbology == "ean13":
            x, y = self.origin
            m = self.module_mm
            base = y + self.bar_height + 1.65 + 0.2
            out.append((self.data[0], x - 7 * m, base, 2.4))
            out.append((self.data[1:7], x + 4 * m, base, 2.4))
            out.append((self.data[7:13] if len(self.data) == 13 else self.data[7:], x + 50 * m, base, 2.4))
        return out

    def char_boxes(self, which=0):
        """The box (mm) of every character of text `which` (0: the lot)."""
        text, left, base, height = self.texts()[which]
        scale = self._scale(height)
        out, x = [], left
        for ch in text:
            (w, _), _ = cv2.getTextSize(ch, FONT, scale, 1)
            w_mm = w / self.px_per_mm / SUPER
            if ch.strip():
                out.append((ch, (x, base - height - 0.2, x + w_mm, base + 0.3)))
            x += w_mm
        return out

    def _scale(self, height_mm):
        (_, h), _ = cv2.getTextSize("H", FONT, 1.0, 1)
        return height_mm * self.px_per_mm * SUPER / h

    def coverage(self, growth=0.0, defects=(), missing=None):
        """Ink coverage (0..1) of the printed label at px_per_mm, rendered at
        SUPER times that and reduced with area averaging. `growth` (mm)
        widens every bar edge and thickens the strokes; `missing` (text
        index, character index) leaves a character out."""
        w, h = self.size_px()
        k = self.px_per_mm * SUPER
        ink = np.zeros((h * SUPER, w * SUPER), np.uint8)
        for x1, y1, x2, y2 in self.bars(growth) + self.modules(growth):
            cv2.rectangle(ink, (int(round(x1 * k)), int(round(y1 * k))), (int(round(x2 * k)) - 1, int(round(y2 * k)) - 1),
                          255, cv2.FILLED)
        for n, (text, left, base, height) in enumerate(self.texts()):
            scale = self._scale(height)
            stroke = max(1, int(round((0.32 * height / 2.6 + 2 * growth) * k)))
            x = left
            for i, ch in enumerate(text):
                (cw, _), _ = cv2.getTextSize(ch, FONT, scale, 1)
                if missing != (n, i):
                    cv2.putText(ink, ch, (int(round(x * k)), int(round(base * k))), FONT, scale, 255, stroke,
                                cv2.LINE_AA)
                x += cw / k
        cx, cy, r = self.size_mm[0] - 9.0, self.size_mm[1] - 9.0, 5.0
        cv2.circle(ink, (int(cx * k), int(cy * k)), int(r * k), 255, int(1.2 * k))
        cv2.circle(ink, (int(cx * k), int(cy * k)), int(0.45 * r * k), 255, cv2.FILLED)
        for d in defects:
            _draw_defect(ink, d, k)
        return cv2.resize(ink, (w, h), interpolation=cv2.INTER_AREA).astype(np.float64) / 255.0


def _draw_defect(ink, d, k):
    value = 255 if d["kind"] == "extra ink" else 0
    x1, y1, x2, y2 = (v * k for v in d["box_mm"])
    if d["shape"] == "ellipse":
        cv2.ellipse(ink, (int((x1 + x2) / 2), int((y1 + y2) / 2)), (int((x2 - x1) / 2), int((y2 - y1) / 2)),
                    0, 0, 360, value, cv2.FILLED)
    elif d["shape"] == "line":
        (ax, ay), (bx, by) = d["line_mm"]
        cv2.line(ink, (int(ax * k), int(ay * k)), (int(bx * k), int(by * k)), value, max(1, int(d["width_mm"] * k)))
    else:
        cv2.rectangle(ink, (int(x1), int(y1)), (int(x2) - 1, int(y2) - 1), value, cv2.FILLED)


# Label defects, in millimetres on the label.

def label_gap(label, rng):
    """A piece of a wide bar left unprinted."""
    bars = sorted(label.bars(), key=lambda b: b[0] - b[2])[:3]
    x1, y1, x2, y2 = bars[int(rng.integers(0, len(bars)))]
    top = y1 + float(rng.uniform(0.2, 0.7)) * (y2 - y1)
    return {"kind": "missing ink", "what": "gap in a bar", "shape": "rect",
            "box_mm": [x1 - 0.1, top, x2 + 0.1, top + 4 * label.module_mm]}


def label_blot(label, rng):
    """A blot of ink in a wide space between bars."""
    bars = label.bars()
    spaces = sorted(zip(bars, bars[1:]), key=lambda p: p[0][2] - p[1][0])[:3]
    a, b = spaces[int(rng.integers(0, len(spaces)))]
    cx = (a[2] + b[0]) / 2
    cy = a[1] + float(rng.uniform(0.2, 0.8)) * label.bar_height
    rx, ry = (b[0] - a[2]) / 2 * 0.9, 3 * label.module_mm
    return {"kind": "extra ink", "what": "blot between bars", "shape": "ellipse",
            "box_mm": [cx - rx, cy - ry, cx + rx, cy + ry]}


def label_thick(label, rng):
    """A bar printed one module too wide along its whole height."""
    bars = label.bars()
    x1, y1, x2, y2 = bars[int(rng.integers(2, len(bars) - 2))]
    return {"kind": "extra ink", "what": "bar one module too wide", "shape": "rect",
            "box_mm": [x2, y1, x2 + label.module_mm, label.origin[1] + label.bar_height]}


def label_missing(label, rng):
    """A character of the lot text left out."""
    chars = label.char_boxes(0)
    i = int(rng.integers(3, len(chars)))
    ch, box = chars[i]
    index = [j for j, c in enumerate(label.lot) if c.strip()][i]
    return {"kind": "missing ink", "what": "character '%s' of the lot missing" % ch, "shape": "missing",
            "box_mm": list(box), "missing": (0, index)}


def label_wrinkle(label, rng):
    """A ribbon wrinkle: a thin slanted line of lost ink across the bars."""
    x1, y1, x2, y2 = label.symbol_box
    slant = float(rng.uniform(0.25, 0.6)) * (x2 - x1)
    ax = x1 + float(rng.uniform(0.1, 0.4)) * (x2 - x1)
    line = ((ax, y1 - 0.5), (ax + slant, y2 + 0.5))
    return {"kind": "missing ink", "what": "ribbon wrinkle", "shape": "line", "line_mm": line, "width_mm": 0.3,
            "box_mm": [ax - 0.3, y1 - 0.5, ax + slant + 0.3, y2 + 0.5]}


LABEL_DEFECTS = {"gap": label_gap, "blot": label_blot, "thick": label_thick, "missing": label_missing,
                 "wrinkle": label_wrinkle}


class Belt:
    """The scene the camera sees: a belt, lit by a lamp whose gain and
    gradient vary, with sensor noise, optics blur and line jitter."""

    def __init__(self, size=(1280, 1024), seed=0, paper=214.0, ink=32.0, belt=92.0, edge=True):
        self.size, self.paper, self.ink = size, paper, ink
        self.belt = belt if edge else paper
        w, _ = size
        rng = np.random.default_rng(seed)
        x = (np.arange(w) - w / 2.0) / (w / 2.0)
        self.columns = (1.0 - 0.10 * x * x) * (1.0 + rng.normal(0, 0.005, w))

    def shoot(self, label, angle, centre, seed, growth=0.0, defects=(), gain=1.0, gradient=(0.0, 0.0), blur=1.1,
              noise=2.5, clean=False):
        """The frame, and the matrix taking label pixels to frame pixels.
        `angle` turns the label counter-clockwise; `gradient` (per frame
        width, x and y) tilts the lamp's light across the frame."""
        w, h = self.size
        lw, lh = label.size_px()
        missing = next((d["missing"] for d in defects if d.get("missing")), None)
        cover = label.coverage(growth, [d for d in defects if d["shape"] != "missing"], missing)
        m = cv2.getRotationMatrix2D((lw / 2.0, lh / 2.0), angle, 1.0)
        m[0, 2] += centre[0] - lw / 2.0
        m[1, 2] += centre[1] - lh / 2.0
        big = np.float64(m).copy()
        big[:, 2] = big[:, 2] * SUPER + (SUPER - 1) / 2.0 * (1 - big[:, 0] - big[:, 1])
        up = cv2.resize(cover.astype(np.float32), (lw * SUPER, lh * SUPER), interpolation=cv2.INTER_NEAREST)
        ink = cv2.warpAffine(up, big, (w * SUPER, h * SUPER), flags=cv2.INTER_LINEAR)
        paper = cv2.warpAffine(np.ones((lh * SUPER, lw * SUPER), np.float32), big, (w * SUPER, h * SUPER),
                               flags=cv2.INTER_LINEAR)
        ink = cv2.resize(ink, (w, h), interpolation=cv2.INTER_AREA).astype(np.float64)
        paper = cv2.resize(paper, (w, h), interpolation=cv2.INTER_AREA).astype(np.float64)
        grey = self.belt * (1 - paper) + paper * (self.paper - (self.paper - self.ink) * ink)
        rng = np.random.default_rng(seed)
        yy, xx = np.mgrid[0:h, 0:w]
        light = gain * (1.0 + gradient[0] * (xx / w - 0.5) + gradient[1] * (yy / h - 0.5))
        if not clean:
            light = light * self.columns[None, :] * (1.0 + rng.normal(0, 0.003, (h, 1)))
        grey = cv2.GaussianBlur(grey * light, (0, 0), blur)
        if not clean:
            grey = cv2.blur(grey, (1, 2))
        grey += rng.normal(0.0, noise, grey.shape)
        return np.clip(np.rint(grey), 0, 255).astype(np.uint8), m


def write_png_with_dpi(path, image, px_per_mm):
    """A PNG that records its resolution, as an artwork export does."""
    from PIL import Image

    dpi = px_per_mm * 25.4
    Image.fromarray(image).save(path, dpi=(dpi, dpi))


def label_set(out, label, belt, plan, seed):
    """Write standard.png (the label upright, as printed, bars up and down,
    under even light, with its resolution recorded), frames/<name>.jpg for
    every entry of `plan` and truth.json. An entry is (name, expected
    status, angle, centre, defects, options: gain, gradient, growth, blur,
    noise, quality, label, note); a centre of None is the bare belt."""
    frames_dir = os.path.join(out, "frames")
    os.makedirs(frames_dir, exist_ok=True)
    w, h = belt.size
    standard, _ = belt.shoot(label, 0.0, (w / 2.0, h / 2.0), seed * 1000, noise=0.6, clean=True)
    write_png_with_dpi(os.path.join(out, "standard.png"), standard, label.px_per_mm)
    truth = {"scene": "label", "symbology": label.symbology, "size": list(belt.size), "px_per_mm": label.px_per_mm,
             "standard": "standard.png", "frames": {}}
    for n, (name, expect, angle, centre, defects, opts) in enumerate(plan):
        printed = opts.get("label", label)
        gain, grad, grow = opts.get("gain", 1.0), opts.get("gradient", (0.0, 0.0)), opts.get("growth", 0.0)
        where = centre if centre is not None else (w * 3.0, h * 3.0)
        image, matrix = belt.shoot(printed, angle, where, seed * 1000 + n + 1, grow, defects, gain, grad,
                                   opts.get("blur", 1.1), opts.get("noise", 2.5))
        file = name + ".jpg"
        cv2.imwrite(os.path.join(frames_dir, file), image, [cv2.IMWRITE_JPEG_QUALITY, opts.get("quality", 88)])
        k = label.px_per_mm
        truth["frames"][file] = {
            "expect": expect, "angle": round(angle, 3), "centre": None if centre is None else [round(v, 1) for v in centre],
            "gain": round(gain, 3), "gradient": [round(v, 3) for v in grad], "growth_mm": round(grow, 3),
            "defects": [dict(kind=d["kind"], what=d["what"], box_label_mm=[round(v, 2) for v in d["box_mm"]],
                             box_camera=camera_box(matrix, [v * k for v in d["box_mm"]], belt.size))
                        for d in defects],
            "note": opts.get("note")}
    with open(os.path.join(out, "truth.json"), "w", encoding="utf-8") as f:
        json.dump(truth, f, indent=1)
        f.write("\n")
    return truth


def in_sight(label, angle, centre, size):
    """The centre moved, if need be, so the whole label is in the frame:
    a camera is placed so labels are."""
    lw, lh = label.size_px()
    w, h = size
    c, s = abs(math.cos(math.radians(angle))), abs(math.sin(math.radians(angle)))
    half = ((lw * c + lh * s) / 2 + 4, (lw * s + lh * c) / 2 + 4)
    return (min(max(centre[0], half[0]), w - half[0]), min(max(centre[1], half[1]), h - half[1]))


def label_batch(out, seed=1, good=20, defective=10, symbology="code128", size=(1280, 1024), turns=(0, 90, 180, 270),
                max_tilt=10.0, shift=0.25, gain=(0.55, 1.05), gradient=0.25, growth=0.1, edge=True, empty=1,
                kinds=tuple(LABEL_DEFECTS), data="40171234", module_mm=0.375):
    """A shuffled batch of labels on a belt: `good` good ones, `defective`
    with one defect each (cycling through `kinds`), `empty` frames of the
    bare belt. Each label lies anywhere within `shift` of the frame's size
    from its centre, turned by one of `turns` and tilted up to `max_tilt`
    degrees, lit with a gain in `gain` and a gradient up to `gradient`,
    printed with growth up to +-`growth` mm, its symbol's module
    `module_mm` wide."""
    label = ThermalLabel(symbology, data, module_mm=module_mm)
    belt = Belt(size, seed=seed, edge=edge)
    rng = np.random.default_rng(seed)
    w, h = size
    names = [("frame_%04d" % i, kinds[(i - good) % len(kinds)] if i >= good else None)
             for i in range(good + defective)] + [("empty_%02d" % i, "empty") for i in range(empty)]
    plan = []
    for n in rng.permutation(len(names)):
        name, kind = names[n]
        angle = int(turns[int(rng.integers(len(turns)))]) + float(rng.uniform(-max_tilt, max_tilt))
        centre = (w / 2.0 + float(rng.uniform(-shift, shift)) * w, h / 2.0 + float(rng.uniform(-shift, shift)) * h)
        defects = [LABEL_DEFECTS[kind](label, rng)] if kind in LABEL_DEFECTS else []
        opts = {"gain": float(rng.uniform(*gain)),
                "gradient": (float(rng.uniform(-gradient, gradient)), float(rng.uniform(-gradient, gradient))),
                "growth": float(rng.uniform(-growth, growth)), "blur": float(rng.uniform(0.9, 1.3)),
                "noise": float(rng.uniform(1.5, 3.5)), "quality": int(rng.integers(80, 93))}
        if kind == "empty":
            plan.append((name, "error", angle, None, [], opts))
        else:
            plan.append((name, "reject" if defects else "pass", angle, in_sight(label, angle, centre, size),
                         defects, opts))
    return label_set(out, label, belt, plan, seed)


# --- labels that change: serial numbers, lot text, 2D codes ---------------------------

GTIN = "09501101530003"


def variable_label(symbology, serial, lot="2612A7", date="270630"):
    """A label carrying `serial`: in a Code 128 symbol with "SN <serial>"
    printed under it, or in a GS1 element string (GTIN, serial, expiry,
    lot) in a DataMatrix or QR symbol; `serial` None keeps a 2D code's
    content the same on every label (no serial)."""
    day = "%s.%s.20%s" % (date[4:], date[2:4], date[:2])
    if symbology == "code128":
        return ThermalLabel("code128", serial, lot="LOT " + lot, date="BB " + day, serial_text="SN " + serial)
    content = "01" + GTIN + ("21" + serial + "\x1d" if serial else "") + "17" + date + "10" + lot
    return ThermalLabel(symbology, content, lot="LOT " + lot, date="BB " + day)


def code_void(label, rng):
    """A patch of the symbol left unprinted."""
    x1, y1, x2, y2 = label.symbol_box
    w, h = 0.35 * (x2 - x1), 0.3 * (y2 - y1)
    x, y = x1 + float(rng.uniform(0.2, 0.45)) * (x2 - x1), y1 + float(rng.uniform(0.25, 0.55)) * (y2 - y1)
    return {"kind": "missing ink", "what": "void in the code", "shape": "rect", "box_mm": [x, y, x + w, y + h]}


def code_smudge(label, rng):
    """A smear of ink across the symbol."""
    x1, y1, x2, y2 = label.symbol_box
    cx, cy = x1 + float(rng.uniform(0.35, 0.65)) * (x2 - x1), y1 + float(rng.uniform(0.35, 0.65)) * (y2 - y1)
    rx, ry = 0.16 * (x2 - x1), 0.12 * (y2 - y1)
    return {"kind": "extra ink", "what": "smudge on the code", "shape": "ellipse",
            "box_mm": [cx - rx, cy - ry, cx + rx, cy + ry]}


def variable_batch(out, symbology="code128", good=20, seed=1, size=(1280, 1024), faults=("void", "smudge", "missing",
                   "wrong_lot", "skip", "duplicate"), first=26120581, serialised=True, teach=3, quality=88):
    """Labels in the order they were printed, each with the next serial
    (or, with `serialised` off, the same 2D content), anywhere on the
    belt and any way up; among the good ones, one of each of `faults`:
    a void or a smudge on the code, a missing lot character, a wrong lot,
    a skipped serial, a serial printed twice. `teach` more good labels,
    with serials of their own, go to teach/ for a recipe taught from
    prints. Writes standard.png (the first label, upright), frames/,
    teach/ and truth.json (with each frame's serial and expected reason)."""
    rng = np.random.default_rng(seed)
    belt = Belt(size, seed=seed)
    w, h = size
    serial = first
    plan, serials = [], []
    every = max(1, good // max(1, len(faults)))
    faults = list(faults)
    names = []
    for i in range(good + len(faults)):
        fault = faults.pop(0) if faults and i % (every + 1) == every else None
        if fault == "skip":
            serial += 1
        value = serials[-1] if fault == "duplicate" else serial
        names.append((i, fault, value))
        if fault != "duplicate":
            serial += 1
        serials.append(value)
    for i, fault, value in names:
        text = str(value) if serialised else None
        lot = "2612A6" if fault == "wrong_lot" else "2612A7"
        label = variable_label(symbology, text, lot)
        defects = []
        if fault == "void":
            defects = [code_void(label, rng)]
        elif fault == "smudge":
            defects = [code_smudge(label, rng)]
        elif fault == "missing":
            defects = [label_missing(label, rng)]
        angle = int(rng.integers(4)) * 90 + float(rng.uniform(-8, 8))
        centre = in_sight(label, angle, (w / 2 + float(rng.uniform(-0.2, 0.2)) * w,
                                         h / 2 + float(rng.uniform(-0.2, 0.2)) * h), size)
        opts = {"label": label, "gain": float(rng.uniform(0.6, 1.0)), "growth": float(rng.uniform(-0.06, 0.06)),
                "gradient": (float(rng.uniform(-0.2, 0.2)), float(rng.uniform(-0.2, 0.2))), "note": fault,
                "serial": text, "lot": lot, "quality": quality}
        plan.append(("frame_%04d" % i, "reject" if fault else "pass", angle, centre, defects, opts))
    standard_label = variable_label(symbology, str(first - 1) if serialised else None)
    truth = label_set(out, standard_label, belt, plan, seed)
    for (name, *_rest, opts) in plan:
        entry = truth["frames"][name + ".jpg"]
        entry.update(serial=opts["serial"], lot=opts["lot"])
    teach_dir = os.path.join(out, "teach")
    os.makedirs(teach_dir, exist_ok=True)
    for k in range(teach):
        value = str(first + 1000 + 17 * k) if serialised else None
        angle = int(rng.integers(4)) * 90 + float(rng.uniform(-5, 5))
        image, _ = belt.shoot(variable_label(symbology, value), angle, in_sight(standard_label, angle, (w / 2, h / 2),
                                                                              size), seed + 77 + k)
        cv2.imwrite(os.path.join(teach_dir, "print_%d.jpg" % (k + 1)), image, [cv2.IMWRITE_JPEG_QUALITY, quality])
    truth.update(symbology=symbology, serialised=serialised, first_serial=first)
    with open(os.path.join(out, "truth.json"), "w", encoding="utf-8") as f:
        json.dump(truth, f, indent=1)
        f.write("\n")
    return truth


def bundled_serials(out):
    """Labels that change: a serial number in a Code 128 symbol and under
    it, the lot beside it; three more good prints to teach a recipe from;
    a void and a smudge on the code, a lot character missing, last
    shift's lot, a skipped and a repeated serial."""
    return variable_batch(out, "code128", good=8, seed=12, quality=84)


def bundled_labels(out):
    """Code 128 labels on a belt, as a line camera sees them: every way up,
    anywhere, a dimming lamp, print a little heavier or lighter; one of
    each fault; a label too dark to judge, another product's label and the
    bare belt."""
    label = ThermalLabel()
    belt = Belt((1280, 1024), seed=7)
    rng = np.random.default_rng(77)
    other = ThermalLabel(data="31415926", lot="LOT 2612B2")
    size = belt.size

    def at(angle, dx, dy):
        return in_sight(label, angle, (640 + dx, 512 + dy), size)

    plan = [
        ("good_upright", "pass", 2.4, at(2.4, -180, 120), [], {"gain": 0.95, "growth": 0.04}),
        ("good_up_and_down", "pass", 93.7, at(93.7, 150, -40), [], {"gain": 0.8, "gradient": (0.2, -0.1)}),
        ("good_upside_down", "pass", 176.0, at(176.0, 60, 90), [], {"gain": 0.9, "growth": -0.07}),
        ("good_dim_lamp", "pass", -84.5, at(-84.5, -220, 30), [], {"gain": 0.57, "gradient": (-0.25, 0.1)}),
        ("gap_in_bar", "reject", 7.5, at(7.5, 120, -100), [label_gap(label, rng)], {"gain": 0.85}),
        ("blot_between_bars", "reject", 268.2, at(268.2, -60, 60), [label_blot(label, rng)], {"gain": 1.0}),
        ("thick_bar", "reject", -3.1, at(-3.1, 20, 140), [label_thick(label, rng)], {"gain": 0.75}),
        ("lot_character_missing", "reject", 181.6, at(181.6, -100, -80), [label_missing(label, rng)], {}),
        ("ribbon_wrinkle", "reject", 86.0, at(86.0, 200, 10), [label_wrinkle(label, rng)], {"gain": 0.9}),
        ("too_dark", "error", 12.0, at(12.0, 0, 0), [], {"gain": 0.2, "note": "the lamp nearly out"}),
        ("other_product", "error", -1.0, at(-1.0, 30, -20), [], {"label": other, "note": "another product's label"}),
        ("empty_belt", "error", 0.0, None, [], {"note": "the gap between two labels"}),
    ]
    return label_set(out, label, belt, plan, seed=900)


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
    parser.add_argument("--module", type=int, default=4, help="pixels per module (--scene label: 3.75, "
                                                               "0.375 mm, unless given)")
    parser.add_argument("--bar-length", type=int, help="pixels along a bar (default: 5/8 of the width)")
    parser.add_argument("--data", default="27182818", help="digits to encode (an even number)")
    parser.add_argument("--polarity", choices=("dark-bars", "knock-out"), default="dark-bars")
    parser.add_argument("--max-tilt", type=float, default=3.0)
    parser.add_argument("--max-shift", type=int, default=12)
    parser.add_argument("--sort", action="store_true", help="also file the frames into good/ and bad/")
    label = parser.add_argument_group("labels on a belt (--scene label): the label anywhere in the frame, any way up")
    label.add_argument("--scene", choices=("symbol", "label"), default="symbol",
                       help="symbol: a symbol with its bars across, near its place (the default); label: a "
                            "thermal-transfer label on a belt, 10 px/mm")
    label.add_argument("--symbology", choices=("code128", "ean13"), default="code128")
    label.add_argument("--no-edge", action="store_true", help="a belt of the paper's shade: no label edge to see")
    label.add_argument("--empty", type=int, default=1, help="frames of the bare belt")
    args = parser.parse_args(argv)
    if args.out and args.scene == "label":
        w, h = (int(v) for v in (args.size if args.size != "640x512" else "1280x1024").lower().split("x"))
        data = args.data if args.data != "27182818" else ("4006381333931" if args.symbology == "ean13" else "40171234")
        truth = label_batch(args.out, args.seed, args.good, args.defective, args.symbology, (w, h),
                            max_tilt=args.max_tilt if args.max_tilt != 3.0 else 10.0, edge=not args.no_edge,
                            empty=args.empty, data=data,
                            module_mm=args.module / 10.0 if args.module != 4 else 0.375)
        if args.sort:
            sort_by_truth(args.out, truth)
        print("wrote %d frames, standard.png and truth.json to %s%s" % (
            len(truth["frames"]), args.out, " (and good/, bad/)" if args.sort else ""))
        return 0
    if args.out:
        w, h = (int(v) for v in args.size.lower().split("x"))
        truth = random_batch(args.out, args.seed, args.good, args.defective, (w, h), args.module, args.data,
                             args.polarity, args.bar_length or w * 5 // 8, args.max_tilt, args.max_shift)
        if args.sort:
            sort_by_truth(args.out, truth)
        print("wrote %d frames, standard.png and truth.json to %s%s" % (
            len(truth["frames"]), args.out, " (and good/, bad/)" if args.sort else ""))
        return 0
    for name, make in (("dark", bundled_dark), ("knockout", bundled_knockout), ("labels", bundled_labels),
                       ("serials", bundled_serials)):
        out = os.path.join(HERE, "frames", name)
        truth = make(out)
        print("wrote %d frames, standard.png and truth.json to %s" % (len(truth["frames"]), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

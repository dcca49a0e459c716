#!/usr/bin/python3
"""Labels printed by a thermal printhead and seen by a line camera
(deterministic), and linear symbols of every symbology the verifier grades.

The printhead is a row of heating elements, `dots_per_mm` of them a
millimetre (8: a 203-dpi head), under which the label moves in the print
direction; the label is printed dot by dot on that grid, so every edge
falls on a dot. The print direction lies across the bars (ladder
printing, the default) or along them (picket fence). A dead element never
prints: a light line of its width runs through the label in the print
direction; a dirty one (a smear on the head, a fold in the ribbon) lays
ink all along its line. Ink spread widens every printed area by `growth`
millimetres (half on each side; negative thins it).

The printed label is seen by a camera of 10 pixels a millimetre, its bars
running across the image, one above the other: turned and shifted a
little, the lens blurring, the lighting falling off towards the ends of
the line, with sensor noise, stored as JPEG.

    /usr/bin/python3 examples/printhead.py --out /tmp/streaks    # a few frames to look at
"""
import argparse
import os
import sys
from dataclasses import dataclass, field

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
from qel_inspect.verify import code128, code39, itf  # noqa: E402

PX_PER_MM = 10.0
SUPER = 4                        # the label is drawn at SUPER times the camera's resolution
DRAW_PER_MM = PX_PER_MM * SUPER

# --- symbols -----------------------------------------------------------------------------

_WRITER = {"code128": "Code128", "ean13": "EAN13", "ean8": "EAN8", "upca": "UPCA", "upce": "UPCE",
           "code39": "Code39", "itf": "ITF"}


def _runs(row):
    edges = np.flatnonzero(np.diff(row.astype(np.int16))) + 1
    bounds = np.concatenate(([0], edges, [row.size]))
    return np.diff(bounds), row[0] < 128


def symbol_modules(symbology, text, ratio=2.5):
    """Widths in modules of the elements of a symbol, bar first, quiet
    zones left out. Two-width symbologies get wide elements of `ratio`
    modules. GS1-128 is encoded here from the symbol table (`text` holds
    the data after the leading FNC1, with "\\x1d" for a later FNC1); the
    others come from zxingcpp's writer."""
    if symbology == "gs1-128":
        return _code128(text, gs1=True)
    if symbology == "code39" and ratio != 2.0:
        return _two_width([code39.pattern(c) for c in "*" + text + "*"], ratio, gap=True)
    if symbology == "itf" and ratio != 3.0:
        digits = [int(c) for c in text]
        inner = "".join(a + b for p, q in zip(digits[0::2], digits[1::2])
                        for a, b in zip(itf.pattern(p), itf.pattern(q)))
        return _two_width(["0000" + inner + "100"], ratio, gap=False)
    import zxingcpp
    row = zxingcpp.write_barcode(getattr(zxingcpp, _WRITER[symbology]), text, 0, 0, 0)[0]
    widths, dark_first = _runs(row)
    widths = widths[1:-1] if not dark_first else widths
    return widths.astype(np.float64)


def _two_width(patterns, ratio, gap):
    out = []
    for i, p in enumerate(patterns):
        out += [ratio if c == "1" else 1.0 for c in p]
        if gap and i < len(patterns) - 1:
            out.append(1.0)
    return np.array(out)


def _code128(text, gs1=False):
    """Code 128 symbol values for `text`: code set C for runs of four or
    more digits, B otherwise, FNC1 first for GS1-128."""
    values, i, current = [], 0, None
    while i < len(text):
        run = 0
        while i + run < len(text) and text[i + run].isdigit():
            run += 1
        if run >= 4 or (run >= 2 and run == len(text) - i and current == "C"):
            take = run - run % 2
            if current != "C":
                values.append(code128.START_C if current is None else 99)
                current = "C"
            values += [int(text[i + k:i + k + 2]) for k in range(0, take, 2)]
            i += take
            continue
        if current != "B":
            values.append(code128.START_B if current is None else 100)
            current = "B"
        ch = text[i]
        if ch != code128.GS and not 32 <= ord(ch) < 128:
            raise ValueError("only printable ASCII and FNC1 are encoded here, not %r" % ch)
        values.append(code128.FNC1 if ch == code128.GS else ord(ch) - 32)
        i += 1
    if not values:
        values = [code128.START_B]
    if gs1:
        values.insert(1, code128.FNC1)
    check = (values[0] + sum(k * v for k, v in enumerate(values[1:], 1))) % 103
    return code128.modules(tuple(values + [check, code128.STOP])).copy()


def symbol_image(widths, module=4, bar_length=200, quiet=12, paper=212.0, ink=38.0, blur=0.8, growth=0.0,
                 spots=(), noise=0.0, seed=0):
    """A symbol seen by the camera with its bars across the image: element
    `widths` (modules, bar first) of `module` pixels, bars `bar_length`
    long, `quiet` modules of paper around. `growth` (modules; one for all
    bars, or one a bar) widens a bar by that much in all (half on each
    side), narrowing the spaces beside it.
    Each spot (y, x, height, width, grey level), in pixels from the first
    bar's top-left corner, is painted over the print."""
    m = module * SUPER
    q = int(round(quiet * m))
    edges = np.concatenate(([0.0], np.cumsum(widths))) * m
    h = int(round(edges[-1])) + 2 * q
    w = bar_length * SUPER + 2 * q
    cover = np.zeros((h, w), np.float32)
    g = np.broadcast_to(np.asarray(growth, np.float64), ((len(widths) + 1) // 2,)) * m / 2.0
    for k in range(0, len(widths), 2):
        top, bottom = edges[k] - g[k // 2] + q, edges[k + 1] + g[k // 2] + q
        lo, hi = int(np.floor(top)), int(np.ceil(bottom))
        rows = np.clip(np.minimum(np.arange(lo, hi) + 1, bottom) - np.maximum(np.arange(lo, hi), top), 0, 1)
        cover[lo:hi, q:w - q] = np.maximum(cover[lo:hi, q:w - q], rows[:, None])
    grey = paper - (paper - ink) * cover
    for y, x, sh, sw, level in spots:
        grey[q + int(y * SUPER):q + int((y + sh) * SUPER), q + int(x * SUPER):q + int((x + sw) * SUPER)] = level
    grey = cv2.resize(grey, (w // SUPER, h // SUPER), interpolation=cv2.INTER_AREA)
    if blur > 0:
        grey = cv2.GaussianBlur(grey, (0, 0), blur)
    if noise > 0:
        grey = grey + np.random.default_rng(seed).normal(0.0, noise, grey.shape)
    return np.clip(np.rint(grey), 0, 255).astype(np.uint8)


# --- the printhead ---------------------------------------------------------------------------

@dataclass
class Head:
    dots_per_mm: float = 8.0
    direction: str = "across"          # the print direction relative to the bars: "across" or "along"
    dead: tuple = ()                   # elements that never print (dot indices across the head)
    dirty: tuple = ()                  # elements that lay ink all along their line
    growth: float = 0.0                # ink spread, millimetres added to a printed width


@dataclass
class Label:
    """A label with one linear symbol, its bars across the image."""
    widths: np.ndarray                 # modules, bar first
    module: float = 0.4                # millimetres
    bar_length: float = 40.0           # millimetres
    size: tuple = (64.0, 51.2)         # millimetres (width, height): 640 x 512 camera pixels
    origin: tuple = field(default=None)  # top-left corner of the first bar, millimetres

    def __post_init__(self):
        self.widths = np.asarray(self.widths, np.float64)
        if self.origin is None:
            height = self.widths.sum() * self.module
            self.origin = ((self.size[0] - self.bar_length) / 2, (self.size[1] - height) / 2)

    def bars(self):
        """Every bar as (x1, y1, x2, y2) in millimetres."""
        x0, y0 = self.origin
        edges = y0 + np.concatenate(([0.0], np.cumsum(self.widths))) * self.module
        return [(x0, edges[k], x0 + self.bar_length, edges[k + 1]) for k in range(0, len(self.widths), 2)]

    def bar_box_px(self):
        """(x1, y1, x2, y2) of the bars together, camera pixels of the upright label."""
        rects = self.bars()
        return tuple(int(round(v * PX_PER_MM)) for v in (rects[0][0], rects[0][1], rects[-1][2], rects[-1][3]))


def recipe(label, standard="standard.png", margin=30, **extra):
    """Recipe settings (as the TOML file holds them) for frames of `label`:
    the area of interest around the bars with `margin` pixels to spare, bar
    bands around the bars' areas and outline lengths with room for blur,
    ink spread and tilt (as `qel-inspect recipe` makes them), and the
    comparison settings for its module. `extra` is added (checks, tables)."""
    x1, y1, x2, y2 = label.bar_box_px()
    w, h = (int(round(v * PX_PER_MM)) for v in label.size)
    module = label.module * PX_PER_MM
    # Outlines as bar finding measures them: through the outermost pixels'
    # centres, a pixel inside the print's edges all round.
    sides = [((r[2] - r[0]) * PX_PER_MM - 1, (r[3] - r[1]) * PX_PER_MM - 1) for r in label.bars()]
    areas = [w * h for w, h in sides]
    perims = [2 * (w + h) for w, h in sides]
    out = {"standard": standard,
           "aoi": [max(0, x1 - margin), max(0, y1 - margin), min(w, x2 + margin), min(h, y2 + margin)],
           "polarity": "dark-bars", "max_shift": max(1, int(module // 2)), "threshold": 70,
           "dirty_width": max(3, int(round(1.25 * module))), "min_match_score": 0.7,
           "bars": {"area": [int(0.5 * min(areas)), int(1.5 * max(areas)) + 1],
                    "perimeter": [int(0.6 * min(perims)), int(1.4 * max(perims)) + 1]}}
    out.update(extra)
    return out


def dot_position_px(head, dot):
    """The centre of a dot across the head, camera pixels from the label's
    edge (x for a head printing across the bars, y along them)."""
    return (dot + 0.5) / head.dots_per_mm * PX_PER_MM


def dots_inside_bars(label, head, clear=1):
    """Dots across a head printing along the bars whose lines run inside a
    bar with at least `clear` dots of the bar either side (a dead element
    elsewhere falls in a space, or only thins a bar's edge)."""
    pitch = 1.0 / head.dots_per_mm
    out = []
    for _, y1, _, y2 in label.bars():
        first = int(np.ceil(y1 / pitch)) + clear
        last = int(np.floor(y2 / pitch)) - 1 - clear
        out += range(first, last + 1)
    return out


def printed(label, head):
    """Ink (0..1, float32) of the printed label, drawn at DRAW_PER_MM."""
    w_mm, h_mm = label.size
    # The dot grid: columns across the head, rows along the print direction.
    across, along = (w_mm, h_mm) if head.direction == "across" else (h_mm, w_mm)
    n_across, n_along = int(np.ceil(across * head.dots_per_mm)), int(np.ceil(along * head.dots_per_mm))
    centres_a = (np.arange(n_across) + 0.5) / head.dots_per_mm
    centres_b = (np.arange(n_along) + 0.5) / head.dots_per_mm
    dots = np.zeros((n_along, n_across), bool)
    for x1, y1, x2, y2 in label.bars():
        a1, a2, b1, b2 = (x1, x2, y1, y2) if head.direction == "across" else (y1, y2, x1, x2)
        ia = (centres_a >= a1) & (centres_a < a2)
        ib = (centres_b >= b1) & (centres_b < b2)
        dots[np.ix_(ib, ia)] = True
    dots[:, [d for d in head.dead if 0 <= d < n_across]] = False
    dots[:, [d for d in head.dirty if 0 <= d < n_across]] = True
    if head.direction == "along":
        dots = dots.T                  # rows y, columns x
    # Each dot drawn as a square of the grid's pitch on the drawing grid.
    ys = (np.arange(int(round(h_mm * DRAW_PER_MM))) + 0.5) / DRAW_PER_MM
    xs = (np.arange(int(round(w_mm * DRAW_PER_MM))) + 0.5) / DRAW_PER_MM
    iy = np.minimum((ys * head.dots_per_mm).astype(int), dots.shape[0] - 1)
    ix = np.minimum((xs * head.dots_per_mm).astype(int), dots.shape[1] - 1)
    ink = dots[np.ix_(iy, ix)].astype(np.uint8) * 255
    g = int(round(abs(head.growth) / 2 * DRAW_PER_MM))
    if g:
        kernel = np.ones((2 * g + 1, 2 * g + 1), np.uint8)
        ink = cv2.dilate(ink, kernel) if head.growth > 0 else cv2.erode(ink, kernel)
    return ink


@dataclass
class Camera:
    """A line camera: lighting falling off towards the ends of the line, a
    response of its own in every column, per-line gain, blur, noise."""
    size: tuple = (640, 512)
    paper: float = 212.0
    ink: float = 38.0
    falloff: float = 0.14
    seed: int = 0

    def shoot(self, ink, degrees=0.0, shift=(0.0, 0.0), blur=1.1, noise=3.0, seed=0, quality=90):
        """The frame of printed ink (as `printed` gives it), the label turned
        by `degrees` about the frame's centre and moved by `shift` pixels."""
        w, h = self.size
        m = cv2.getRotationMatrix2D((w / 2.0, h / 2.0), degrees, 1.0)
        m[:, 2] += shift
        m[:, 2] *= SUPER
        big = cv2.warpAffine(ink, m, (w * SUPER, h * SUPER), flags=cv2.INTER_LINEAR,
                             borderMode=cv2.BORDER_CONSTANT, borderValue=0)
        cover = cv2.resize(big, (w, h), interpolation=cv2.INTER_AREA).astype(np.float64) / 255.0
        rng = np.random.default_rng(self.seed)
        x = (np.arange(w) - w / 2.0) / (w / 2.0)
        columns = (1.0 - self.falloff * x * x) * (1.0 + rng.normal(0, 0.005, w))
        rng = np.random.default_rng(seed)
        grey = (self.paper - (self.paper - self.ink) * cover) * columns[None, :] * (1 + rng.normal(0, 0.004, (h, 1)))
        grey = cv2.GaussianBlur(grey, (0, 0), blur)
        grey = cv2.blur(grey, (1, 2))          # the label moves during a line's exposure
        grey += rng.normal(0.0, noise, grey.shape)
        frame = np.clip(np.rint(grey), 0, 255).astype(np.uint8)
        if quality:
            frame = cv2.imdecode(cv2.imencode(".jpg", frame, [cv2.IMWRITE_JPEG_QUALITY, quality])[1],
                                 cv2.IMREAD_GRAYSCALE)
        return frame


def frame(label, head=None, camera=None, degrees=0.0, shift=(0.0, 0.0), seed=0, **shoot):
    """A camera frame of `label` printed by `head` (a sound 203-dpi head by default)."""
    return (camera or Camera()).shoot(printed(label, head or Head()), degrees, shift, seed=seed, **shoot)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--data", default="QEL-22-0042")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    label = Label(symbol_modules("code128", args.data), module=0.375)
    cases = {"standard": Head(), "dead_1": Head(dead=(250,)), "dead_2": Head(dead=(250, 251)),
             "dirty": Head(dirty=(180,)), "dead_along": Head(direction="along", dead=(205,))}
    for i, (name, head) in enumerate(cases.items()):
        tilt, shift = (0.0, (0, 0)) if name == "standard" else (1.5 - i, (3 * i, -2 * i))
        cv2.imwrite(os.path.join(args.out, name + ".png"), frame(label, head, degrees=tilt, shift=shift, seed=i))
    print("wrote %d frames to %s" % (len(cases), args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

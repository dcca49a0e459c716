#!/usr/bin/python3
"""Synthesise the bundled sample prints (deterministic).

A Code 128 symbol (code set C, encoded from the published symbol table) is
printed light on a dark grey part (a knock-out print: the dark ink is left
out where the bars are), turned so that its bars run horizontally, one above
the other, as the barcode check expects.  Each print
is rendered at 4x resolution, reduced with area averaging, blurred and given
its own sensor noise, so no two prints are pixel-equal.

Writes examples/samples/{standard,good,dark_spot,light_spot}.png and
examples/samples/samples.json (the area of interest, the comparison
parameters and where each defect was planted).

    /usr/bin/python3 examples/make_samples.py
"""
import json
import os

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "samples")

# The Code 128 symbol table (widths of bar, space, ... in modules) is the verifier's.
from qel_inspect.verify.code128 import PATTERNS as CODE128, START_C, STOP  # noqa: E402

DATA = "843019"   # code set C: two digits per symbol
MODULE = 5        # pixels per module
BAR_LENGTH = 480  # pixels along a bar
ORIGIN = (70, 70)  # top-left corner of the first bar in the standard print
SIZE = (620, 480)  # width, height of every print
AOI = (35, 35, 585, 445)
SUPER = 4         # supersampling factor of the renderer

BACKGROUND = 62.0  # grey level of the part
INK = 198.0        # grey level of the bars


def code128c_values(digits):
    """Symbol values of `digits` in code set C, with start, check and stop."""
    if len(digits) % 2 or not digits.isdigit():
        raise ValueError("code set C needs an even number of digits")
    values = [START_C] + [int(digits[i:i + 2]) for i in range(0, len(digits), 2)]
    check = (values[0] + sum(i * v for i, v in enumerate(values[1:], start=1))) % 103
    return values + [check, STOP]


def bar_runs(values):
    """(first module, width) of every bar, in modules from the start."""
    runs, pos = [], 0
    for v in values:
        for k, width in enumerate(CODE128[v]):
            width = int(width)
            if k % 2 == 0:
                runs.append((pos, width))
            pos += width
    return runs, pos


def ink_mask(runs, transform, holes=(), blots=()):
    """Ink coverage (0..1) of one print: bars one above the other, optionally
    turned/shifted by `transform` (a 2x3 matrix in print pixels), with gaps
    cut out of the ink and blots added between the bars."""
    w, h = SIZE
    big = np.zeros((h * SUPER, w * SUPER), np.uint8)
    x0, y0 = ORIGIN
    for first, width in runs:
        top = (y0 + first * MODULE) * SUPER
        cv2.rectangle(big, (x0 * SUPER, top), ((x0 + BAR_LENGTH) * SUPER - 1,
                      top + width * MODULE * SUPER - 1), 255, cv2.FILLED)
    for (hx, hy, hw, hh) in holes:
        cv2.rectangle(big, (hx * SUPER, hy * SUPER),
                      ((hx + hw) * SUPER - 1, (hy + hh) * SUPER - 1), 0, cv2.FILLED)
    for (bx, by, ax, ay) in blots:
        cv2.ellipse(big, (bx * SUPER, by * SUPER), (ax * SUPER, ay * SUPER), 20, 0, 360, 255, cv2.FILLED)
    m = np.float64(transform).copy()
    m[:, 2] *= SUPER
    big = cv2.warpAffine(big, m, (w * SUPER, h * SUPER), flags=cv2.INTER_LINEAR)
    return cv2.resize(big, (w, h), interpolation=cv2.INTER_AREA).astype(np.float64) / 255.0


def print_image(coverage, seed):
    """Grey print of an ink coverage: lit part, blur, sensor noise."""
    rng = np.random.default_rng(seed)
    h, w = coverage.shape
    # Uneven lighting across the part, the same for every print.
    yy, xx = np.mgrid[0:h, 0:w]
    light = 1.0 + 0.08 * (xx / w - 0.5) - 0.05 * (yy / h - 0.5)
    grey = (BACKGROUND + (INK - BACKGROUND) * coverage) * light
    grey = cv2.GaussianBlur(grey, (0, 0), 1.1)
    grey += rng.normal(0.0, 1.8, grey.shape)
    return np.clip(np.rint(grey), 0, 255).astype(np.uint8)


def tilt(degrees, dx, dy):
    """Turn by `degrees` (counter-clockwise as displayed) about the print's
    centre, then move by (dx, dy) pixels."""
    w, h = SIZE
    m = cv2.getRotationMatrix2D((w / 2.0, h / 2.0), degrees, 1.0)
    m[0, 2] += dx
    m[1, 2] += dy
    return m


def main():
    values = code128c_values(DATA)
    runs, modules = bar_runs(values)
    x0, y0 = ORIGIN

    # A dark gap: a notch 18 pixels long, 11 deep, out of a wide bar.
    wide = max(range(len(runs)), key=lambda i: (runs[i][1], -i))
    first, width = runs[wide]
    gap = (x0 + 300, y0 + first * MODULE, 18, 11)
    # A light spot in the middle of a wide space between two bars.
    spaces = [(runs[i][0] + runs[i][1], runs[i + 1][0]) for i in range(len(runs) - 1)]
    s0, s1 = max(spaces, key=lambda s: s[1] - s[0])
    blot = (x0 + 140, y0 + (s0 + s1) * MODULE // 2, 7, 4)

    # name: (tilt in degrees, shift, gaps, blots, noise seed, what was planted)
    prints = {
        "standard": (0.0, (0, 0), (), (), 1, None),
        "good": (1.5, (6, -4), (), (), 2, None),
        "dark_spot": (-1.2, (-5, 3), (gap,), (), 3, "dark gap in a bar"),
        "light_spot": (2.0, (4, 5), (), (blot,), 4, "light spot between two bars"),
    }
    os.makedirs(OUT, exist_ok=True)
    for name, (degrees, (dx, dy), gaps, blots, seed, _) in prints.items():
        image = print_image(ink_mask(runs, tilt(degrees, dx, dy), gaps, blots), seed)
        cv2.imwrite(os.path.join(OUT, name + ".png"), image, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    # Where the defects lie in the standard's frame, as (x1, y1, x2, y2).
    planted = {
        "dark_spot": [gap[0], gap[1], gap[0] + gap[2], gap[1] + gap[3]],
        "light_spot": [blot[0] - blot[2], blot[1] - blot[3], blot[0] + blot[2], blot[1] + blot[3]],
    }
    targets = {}
    for name, (degrees, shift, _, _, _, what) in prints.items():
        if name != "standard":
            targets[name] = {"file": name + ".png", "tilt": degrees, "shift": list(shift),
                             "planted": what, "defect": planted.get(name)}

    meta = {
        "symbology": "Code 128 (code set C)",
        "data": DATA,
        "modules": modules,
        "module_pixels": MODULE,
        "bar_count": len(runs),
        "aoi": list(AOI),
        "max_shift": 2,
        "threshold": 50,
        "dirty_width": 6,
        "standard": "standard.png",
        "targets": targets,
    }
    with open(os.path.join(OUT, "samples.json"), "w", encoding="utf-8") as f:
        json.dump(meta, f, indent=2)
        f.write("\n")
    print("wrote", ", ".join(n + ".png" for n in prints), "and samples.json to", OUT)


if __name__ == "__main__":
    main()

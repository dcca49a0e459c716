"""Fit a circle to a disc whose edge has notches, refining it by peeling, and
draw the fit of every pass on the picture.

    /usr/bin/python3 examples/peel_circle.py [output.png]
"""
import os
import sys
import tempfile

import cv2
import numpy as np

import qel_cv


def notched_disc():
    image = np.zeros((400, 400), np.uint8)
    cv2.circle(image, (200, 200), 150, 255, -1)
    for angle in (20, 75, 140, 230, 300):  # chips bitten out of the edge
        t = np.deg2rad(angle)
        cv2.circle(image, (int(200 + 150 * np.cos(t)), int(200 + 150 * np.sin(t))), 28, 0, -1)
    return image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "peeled_circle.png"
    image = notched_disc()
    peeler = qel_cv.CirclePeeler(image, 128)
    picture = cv2.cvtColor(image // 2, cv2.COLOR_GRAY2BGR)
    colours = [(255, 128, 0), (0, 200, 255), (0, 255, 0)]
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch:  # peel writes its pass masks here
        os.chdir(scratch)
        try:
            fits = [peeler.peel(passes) for passes in (1, 2, 3)]
        finally:
            os.chdir(here)
    for passes, (fit, colour) in enumerate(zip(fits, colours), start=1):
        (x, y), r = fit.center, fit.radius
        cv2.circle(picture, (int(round(x)), int(round(y))), int(round(r)), colour, 2)
        print(f"after {passes} pass(es): centre ({x:.1f}, {y:.1f}), radius {r:.1f}")
    cv2.imwrite(out, picture)
    print("picture:", out)


if __name__ == "__main__":
    main()

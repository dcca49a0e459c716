#!/usr/bin/python3
"""Check barcode prints against a standard print and report the verdicts.

With no arguments, every bundled sample target (examples/samples/) is checked
against the bundled standard print with the area of interest and parameters
of examples/samples/samples.json. The marked picture of each defective target
is saved to the output directory (default examples/output/). With targets
given, the exit status is 1 when any of them failed the check.

    /usr/bin/python3 examples/check_barcode.py
    /usr/bin/python3 examples/check_barcode.py --out /tmp/marks
    /usr/bin/python3 examples/check_barcode.py --standard std.png --aoi 35,35,585,445 tgt1.png tgt2.png
"""
import argparse
import contextlib
import io
import json
import os
import shutil
import sys
import tempfile

import cv2

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "samples")
# Prefer a module built in this checkout over an installed one.
_BUILD = os.path.join(os.path.dirname(HERE), "build")
if os.path.isdir(_BUILD):
    sys.path.insert(0, _BUILD)

import qel_cv  # noqa: E402

PICTURE = "shift_compare_barcode.jpg"  # the name the check writes on defects


def read_grey(path):
    image = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    if image is None:
        sys.exit("cannot read image %s" % path)
    return image


def check(std, tgt, aoi, max_shift, threshold, dirty_width, picture_path):
    """Run the check in a scratch directory, so the picture it writes there
    never replaces a file of the caller's; move that picture to
    `picture_path`. Returns (result, diagnostic lines, picture path or None)."""
    here = os.getcwd()
    out = io.StringIO()
    with tempfile.TemporaryDirectory(prefix="qel_cv_check_") as scratch:
        try:
            os.chdir(scratch)
            with contextlib.redirect_stdout(out):
                result = qel_cv.shift_compare_barcode(std, tgt, aoi, max_shift, threshold, dirty_width)
        finally:
            os.chdir(here)
        written = os.path.join(scratch, PICTURE)
        if not os.path.exists(written):
            return result, out.getvalue().splitlines(), None
        shutil.move(written, picture_path)
    return result, out.getvalue().splitlines(), picture_path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("targets", nargs="*", help="target prints (default: the bundled sample targets)")
    parser.add_argument("--standard", help="standard print (default: the bundled standard)")
    parser.add_argument("--aoi", help="area of interest x1,y1,x2,y2 (default: from samples.json)")
    parser.add_argument("--max-shift", type=int)
    parser.add_argument("--threshold", type=int)
    parser.add_argument("--dirty-width", type=int)
    parser.add_argument("--out", default=os.path.join(HERE, "output"), help="where marked pictures are saved")
    parser.add_argument("-v", "--verbose", action="store_true", help="show the check's own diagnostic lines")
    args = parser.parse_args(argv)

    with open(os.path.join(SAMPLES, "samples.json"), encoding="utf-8") as f:
        meta = json.load(f)
    aoi = tuple(int(v) for v in args.aoi.split(",")) if args.aoi else tuple(meta["aoi"])
    max_shift = args.max_shift if args.max_shift is not None else meta["max_shift"]
    threshold = args.threshold if args.threshold is not None else meta["threshold"]
    dirty_width = args.dirty_width if args.dirty_width is not None else meta["dirty_width"]
    std = read_grey(args.standard or os.path.join(SAMPLES, meta["standard"]))
    if args.targets:
        targets = [(os.path.splitext(os.path.basename(p))[0], p) for p in args.targets]
    else:
        targets = [(name, os.path.join(SAMPLES, t["file"])) for name, t in meta["targets"].items()]

    os.makedirs(args.out, exist_ok=True)
    print("standard %s, aoi %s, max_shift %d, threshold %d, dirty_width %d"
          % (args.standard or os.path.join("examples", "samples", meta["standard"]), list(aoi), max_shift,
             threshold, dirty_width))
    failed = 0
    for name, path in targets:
        picture = os.path.join(args.out, name + "_marked.jpg")
        result, lines, picture = check(std, read_grey(path), aoi, max_shift, threshold, dirty_width, picture)
        verdict = "ok" if result.ok else "ng"
        print("%-12s %s  ng_count=%d" % (name, verdict, result.ng_count))
        if args.verbose:
            for line in lines:
                print("    | " + line)
        for desc in result.descriptions:
            print("    " + desc)
        if picture is not None:
            print("    marked picture: " + os.path.relpath(picture))
        failed += result.ng
    # Given targets: the exit status says whether any failed the check.
    return 1 if failed and args.targets else 0


if __name__ == "__main__":
    sys.exit(main())

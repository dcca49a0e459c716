#!/usr/bin/python3
"""The station's verdicts on fixed sets of frames, kept in
tests/verdicts.json, so that a change meant only to make the station
faster is shown to change none of them: each frame's status, reason and
defects (kind, box in the camera frame, box in the standard's
coordinates).

The sets: the bundled frames with their recipes; the label batches the
tests generate (same makers, same seeds), each with the recipe proposed
or taught from it; frames of a printhead with dead and dirty elements;
and `mixed`, 500 frames of labels on a belt (Code 128 at two module
widths, EAN-13 found by its print; 1280 x 1024 and 2048 x 1024; good,
every kind of fault, too dark, the bare belt). Rendering a label frame
takes a third of a second, so the mixed frames are made from a few
renderings each: turned half round, moved, under another lamp, with more
noise and another JPEG quality. Every set is made from fixed seeds.

    /usr/bin/python3 tests/verdicts.py write            # record the verdicts (before a change)
    /usr/bin/python3 tests/verdicts.py check [--every 1] # compare (the suite runs every 5th mixed frame)
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
FRAMES = os.path.join(EXAMPLES, "frames")
GOLDEN = os.path.join(ROOT, "tests", "verdicts.json")
if EXAMPLES not in sys.path:
    sys.path.insert(0, EXAMPLES)


def child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), os.path.join(ROOT, "build")]))


def qel_inspect(*args, env=None):
    done = subprocess.run([sys.executable, "-m", "qel_inspect"] + [str(a) for a in args], env=env or child_env(),
                          capture_output=True, text=True, timeout=900)
    if done.returncode not in (0, 1, 2) or "Traceback" in done.stderr:
        raise RuntimeError("qel-inspect %s: exit %d\n%s" % (args[0], done.returncode, done.stderr))
    return done


def propose(folder, env=None, teach=()):
    path = os.path.join(folder, "recipe.toml")
    # --force: a folder kept from an earlier check (--keep) already holds one.
    done = qel_inspect("recipe", os.path.join(folder, "standard.png"), *teach, "-o", path, "--force", env=env)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return path


def compact(record):
    """What must not change of a record: [status, reason, defects as
    [kind, box in the frame, box in the standard's coordinates]]."""
    return [record["status"], record.get("reason"),
            [[d["kind"], d["box_frame"], d["box_aligned"]] for d in record["defects"]]]


def made(folder, make, every=1):
    """Call make() unless an earlier call in this folder finished (a
    folder given with --keep is reused)."""
    mark = os.path.join(folder, ".made-%d" % every)
    if not os.path.exists(mark):
        make()
        open(mark, "w").close()


def read(out):
    """{frame file: compact record} of a run's output folder."""
    got = {}
    with open(os.path.join(out, "results.jsonl"), encoding="utf-8") as f:
        for line in f:
            r = json.loads(line)
            got[os.path.basename(r["key"])] = compact(r)
    return got


def run_set(recipe, frames, out, env=None, extra=()):
    """{frame file: compact record} of a run with two workers."""
    qel_inspect("run", recipe, frames, "-o", out, "--workers", 2, *extra, env=env)
    return read(out)


# --- the sets --------------------------------------------------------------------------

def bundled(name, extra=()):
    def make(folder, env=None, every=1):
        return run_set(os.path.join(FRAMES, name, "recipe.toml"), os.path.join(FRAMES, name, "frames"),
                       os.path.join(folder, "out"), env, extra)
    return make


def labels(**batch):
    """A label batch as the tests make it, with the recipe proposed from its standard."""
    def make(folder, env=None, every=1):
        from make_frames import label_batch

        made(folder, lambda: label_batch(folder, **batch))
        return run_set(propose(folder, env), os.path.join(folder, "frames"), os.path.join(folder, "out"), env)
    return make


def taught(folder, env=None, every=1):
    """A standard as the median of three good prints."""
    from make_frames import label_batch

    made(folder, lambda: label_batch(os.path.join(folder, "batch"), seed=31, good=6, defective=0, empty=0,
                                     size=(1280, 1024)))
    frames = os.path.join(folder, "batch", "frames")
    prints = [os.path.join(frames, f) for f in sorted(os.listdir(frames))[:3]]
    recipe = os.path.join(folder, "taught.toml")
    qel_inspect("recipe", *prints, "-o", recipe, "--force", env=env)
    return run_set(recipe, frames, os.path.join(folder, "out"), env)


def datamatrix(folder, env=None, every=1):
    """Serialised DataMatrix labels, the recipe taught from three prints."""
    from make_frames import variable_batch

    made(folder, lambda: variable_batch(folder, "datamatrix", good=8, seed=41,
                                        faults=("void", "smudge", "wrong_lot", "duplicate", "skip")))
    teach = sorted(os.path.join(folder, "teach", f) for f in os.listdir(os.path.join(folder, "teach")))
    recipe = propose(folder, env, teach)
    with open(recipe) as f:
        text = f.read().replace("gs1 = true", 'gs1 = true\nserial = { step = 1, ai = "21" }')
    with open(recipe, "w") as f:
        f.write(text)
    return run_set(recipe, os.path.join(folder, "frames"), os.path.join(folder, "out"), env)


def symbols(polarity, seed, good, defective):
    """Symbols near their place, without a label (640 x 512)."""
    def make(folder, env=None, every=1):
        from make_frames import random_batch

        made(folder, lambda: random_batch(folder, seed, good, defective, (640, 512), 4, "27182818", polarity, 400,
                                          3.0, 12))
        return run_set(propose(folder, env), os.path.join(folder, "frames"), os.path.join(folder, "out"), env)
    return make


def printhead(folder, env=None, every=1):
    """Code 128 printed by a head with dead and dirty elements, lighter and
    heavier, judged by the comparison, streaks, widths and grade."""
    import printhead as ph
    from qel_inspect import recipe as recipes

    label = ph.Label(ph.symbol_modules("code128", "27182818"), module=0.5)
    cv2.imwrite(os.path.join(folder, "standard.png"), ph.frame(label, seed=0))
    settings = ph.recipe(label, checks=["compare", "streaks", "widths", "grade"],
                         streaks={"dots_per_mm": 8.0, "px_per_mm": 10.0})
    path = os.path.join(folder, "recipe.toml")
    with open(path, "w") as f:
        f.write(recipes.to_toml(recipes.parse(settings, path).settings()))

    def frames():
        os.makedirs(os.path.join(folder, "frames"), exist_ok=True)
        rng = np.random.default_rng(8)
        heads = [{}, {"dead": (250,)}, {"dirty": (190,)}, {"dead": (301, 302)}, {"growth": 0.1}, {"growth": -0.1},
                 {"growth": 0.25}, {"dirty": (262, 263)}]
        for i in range(16):
            head = ph.Head(**heads[i % len(heads)])
            image = ph.frame(label, head, degrees=float(rng.uniform(-2.5, 2.5)),
                             shift=(float(rng.uniform(-12, 12)), float(rng.uniform(-10, 10))), seed=i,
                             quality=int(rng.integers(80, 93)))
            cv2.imwrite(os.path.join(folder, "frames", "p%02d.png" % i), image)

    made(folder, frames)
    return run_set(path, os.path.join(folder, "frames"), os.path.join(folder, "out"), env)


# Groups of the mixed set: (name, symbology, module (mm), frame size, label edge, frames).
MIXED = [("c128-1280", "code128", 0.375, (1280, 1024), True, 130),
         ("c128-wide-1280", "code128", 0.5, (1280, 1024), True, 130),
         ("ean13-print-1280", "ean13", 0.33, (1280, 1024), False, 90),
         ("c128-wide-2048", "code128", 0.5, (2048, 1024), True, 90),
         ("c128-2048", "code128", 0.375, (2048, 1024), True, 60)]
RENDERINGS = 7                  # label renderings a group's frames are made from
EVERY = 5                       # the suite checks every 5th mixed frame


def mixed_frames(folder, group, seed, first, count, every=1):
    """The frames of one group of the mixed set into folder/frames: frame
    i (counted over the whole set from `first`) is made when i % every is
    0. Returns the names written."""
    from make_frames import LABEL_DEFECTS, Belt, ThermalLabel, in_sight, write_png_with_dpi

    name, symbology, module, size, edge, _ = group
    data = "4006381333931" if symbology == "ean13" else "40171234"
    label = ThermalLabel(symbology, data, module_mm=module)
    belt = Belt(size, seed=seed, edge=edge)
    w, h = size
    standard, _ = belt.shoot(label, 0.0, (w / 2.0, h / 2.0), seed * 1000, noise=0.6, clean=True)
    write_png_with_dpi(os.path.join(folder, "standard.png"), standard, label.px_per_mm)
    rng = np.random.default_rng(seed)
    kinds = list(LABEL_DEFECTS)
    plans = []
    for k in range(RENDERINGS):
        angle = 90.0 * int(rng.integers(4)) + float(rng.uniform(-10, 10))
        centre = in_sight(label, angle, (w / 2 + float(rng.uniform(-0.15, 0.15)) * w,
                                         h / 2 + float(rng.uniform(-0.15, 0.15)) * h), size)
        defects = [LABEL_DEFECTS[kinds[(k + seed) % len(kinds)]](label, rng)] if k >= 4 else []
        plans.append((angle, centre, defects, float(rng.uniform(-0.08, 0.08)), float(rng.uniform(0.9, 1.3))))
    renders = {}

    def rendering(k):
        if k not in renders:
            if k == "belt":
                renders[k] = (belt.shoot(label, 0.0, (w * 3.0, h * 3.0), seed * 1000 + 99)[0], None)
            else:
                angle, centre, defects, growth, blur = plans[k]
                image, m = belt.shoot(label, angle, centre, seed * 1000 + k + 1, growth, defects, blur=blur)
                lw, lh = label.size_px()
                corners = np.float64([[0, 0, 1], [lw, 0, 1], [lw, lh, 1], [0, lh, 1]]) @ np.float64(m).T
                renders[k] = (image, (corners.min(0), corners.max(0)))
        return renders[k]

    os.makedirs(os.path.join(folder, "frames"), exist_ok=True)
    names = []
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    for i in range(first, first + count):
        if i % every:
            continue
        r = np.random.default_rng([seed, i])
        turn, gain = int(r.integers(2)), float(r.uniform(0.7, 1.05))
        gx, gy, noise = float(r.uniform(-0.2, 0.2)), float(r.uniform(-0.2, 0.2)), float(r.uniform(0.5, 1.5))
        quality, dx, dy = int(r.integers(80, 93)), float(r.uniform()), float(r.uniform())
        image, box = rendering("belt" if i % 41 == 20 else (i - first) % RENDERINGS)
        if i % 50 == 7:
            gain = 0.22                 # the lamp nearly out
        if turn:
            image = image[::-1, ::-1]
            if box is not None:
                box = (np.float64([w, h]) - box[1], np.float64([w, h]) - box[0])
        if box is not None:
            # Moved by whole pixels, the label kept in sight.
            lo, hi = -(box[0] - 6), (np.float64([w, h]) - 6) - box[1]
            move = np.floor(lo + np.float64([dx, dy]) * np.maximum(hi - lo, 0)).astype(int)
            image = np.roll(image, (int(move[1]), int(move[0])), axis=(0, 1))
        lamp = gain * (1.0 + gx * (xx / w - 0.5) + gy * (yy / h - 0.5))
        grey = image.astype(np.float32) * lamp + r.normal(0.0, noise, image.shape).astype(np.float32)
        frame = np.clip(np.rint(grey), 0, 255).astype(np.uint8)
        file = "m%03d.jpg" % i
        cv2.imwrite(os.path.join(folder, "frames", file), frame, [cv2.IMWRITE_JPEG_QUALITY, quality])
        names.append(file)
    return names


def mixed(group, seed, first):
    def make(folder, env=None, every=1):
        made(folder, lambda: mixed_frames(folder, group, seed, first, group[-1], every), every)
        return run_set(propose(folder, env), os.path.join(folder, "frames"), os.path.join(folder, "out"), env)
    return make


def _mixed_sets():
    out, first = {}, 0
    for n, group in enumerate(MIXED):
        out["mixed-" + group[0]] = mixed(group, 60 + n, first)
        first += group[-1]
    return out


SETS = {
    "bundled-dark": bundled("dark"),
    "bundled-knockout": bundled("knockout"),
    "bundled-labels": bundled("labels"),
    "bundled-serials": bundled("serials", ("--expect", "lot=2612A7")),
    # The label batches of tests/test_inspect_labels.py and tests/test_inspect_checks.py.
    "belt": labels(seed=21, good=10, defective=10, size=(1280, 1024), empty=1),
    "print-found": labels(seed=23, good=8, defective=4, symbology="ean13", data="4006381333931", edge=False,
                          kinds=("gap", "blot", "missing", "wrinkle"), empty=0),
    "graded": labels(seed=7, good=4, defective=2, kinds=("thick", "gap"), empty=0, module_mm=0.5),
    "taught": taught,
    "datamatrix": datamatrix,
    "symbols-dark": symbols("dark-bars", 23, 9, 6),
    "symbols-knockout": symbols("knock-out", 31, 12, 4),
    "printhead": printhead,
    **_mixed_sets(),
}


def verdicts(names=None, every=1, env=None, keep=None):
    """{set: {frame: compact record}} of the named sets (all by default);
    of the mixed sets only every `every`-th frame."""
    out = {}
    top = keep or tempfile.mkdtemp(prefix="qel-verdicts-")
    try:
        for name in names or SETS:
            folder = os.path.join(top, name)
            os.makedirs(folder, exist_ok=True)
            out[name] = SETS[name](folder, env, every)
    finally:
        if not keep:
            shutil.rmtree(top, ignore_errors=True)
    return out


def load():
    with open(GOLDEN, encoding="utf-8") as f:
        return json.load(f)


def expected(golden, name, every=1):
    """The recorded verdicts of a set, for the frames `verdicts(..., every)` makes."""
    got = golden[name]
    if not name.startswith("mixed-") or every == 1:
        return got
    return {f: v for f, v in got.items() if int(f[1:4]) % every == 0}


def as_recorded(name, out):
    """Lines naming each frame of set `name` whose verdict in the run
    into `out` differs from the recorded one (for the tests that make the
    set themselves)."""
    return differences(load(), {name: read(out)})


def dump(sets):
    """JSON with one frame a line: small to keep, readable in a diff."""
    lines = ["{"]
    for n, (name, frames) in enumerate(sets.items()):
        lines.append("%s: {" % json.dumps(name))
        items = sorted(frames.items())
        for k, (frame, v) in enumerate(items):
            lines.append(" %s: %s%s" % (json.dumps(frame), json.dumps(v, separators=(",", ":")),
                                        "," if k < len(items) - 1 else ""))
        lines.append("}" + ("," if n < len(sets) - 1 else ""))
    lines.append("}")
    return "\n".join(lines) + "\n"


def differences(golden, got, every=1):
    """Lines naming each frame whose verdict differs."""
    out = []
    for name, frames in got.items():
        want = expected(golden, name, every)
        for frame in sorted(set(want) | set(frames)):
            if want.get(frame) != frames.get(frame):
                out.append("%s/%s: recorded %s, now %s" % (name, frame, json.dumps(want.get(frame)),
                                                           json.dumps(frames.get(frame))))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=("write", "check"))
    parser.add_argument("--every", type=int, default=1, help="check: only every N-th frame of the mixed sets")
    parser.add_argument("--sets", nargs="*", help="only these sets")
    parser.add_argument("--keep", help="make the frames and runs in this folder and keep them")
    args = parser.parse_args(argv)
    if args.action == "write":
        got = verdicts(args.sets, 1, keep=args.keep)
        if args.sets and os.path.exists(GOLDEN):
            got = dict(load(), **got)
        with open(GOLDEN, "w", encoding="utf-8") as f:
            f.write(dump(got))
        print("%d sets, %d frames recorded in %s" % (len(got), sum(map(len, got.values())), GOLDEN))
        return 0
    got = verdicts(args.sets, args.every, keep=args.keep)
    wrong = differences(load(), got, args.every)
    for line in wrong:
        print(line)
    print("%d frames in %d sets: %d differ from the recorded verdicts"
          % (sum(map(len, got.values())), len(got), len(wrong)))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())

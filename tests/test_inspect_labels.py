"""Labels as they arrive: found anywhere in the frame and any way up, under
a lamp that dims and lights unevenly, printed a little heavier or lighter;
the whole label compared; one defect a fault; a picture of every frame
that could not be inspected; a standard made from several good prints."""
import json
import os
import sys

import cv2
import numpy as np
import pytest

from test_inspect_run import ROOT, qel_inspect, records

sys.path.insert(0, os.path.join(ROOT, "examples"))
from make_frames import LABEL_DEFECTS, Belt, ThermalLabel, label_batch  # noqa: E402
from verdicts import as_recorded  # noqa: E402


def overlaps(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def inspected(top, **batch):
    """A generated batch, a recipe proposed from its standard, and a run."""
    truth = label_batch(str(top), **batch)
    proposed = qel_inspect("recipe", top / "standard.png", "-o", top / "recipe.toml")
    assert proposed.returncode == 0, proposed.stderr
    done = qel_inspect("run", top / "recipe.toml", top / "frames", "-o", top / "out", "--workers", 2)
    got = {os.path.basename(r["key"]): r for r in records(top / "out")}
    return truth["frames"], got, done, proposed, top


@pytest.fixture(scope="module")
def belt(tmp_path_factory):
    """Code 128 labels with an edge against the belt: every quarter turn,
    tilted up to 10 degrees, anywhere within a quarter of the frame, a
    lamp from 55 % to 105 % with a gradient, print growth up to 0.1 mm;
    every kind of fault; the bare belt."""
    top = tmp_path_factory.mktemp("belt")
    return inspected(top, seed=21, good=10, defective=10, size=(1280, 1024), empty=1)


def test_labels_anywhere_any_way_up_get_their_verdicts(belt):
    truth, got, done, _, _ = belt
    assert set(got) == set(truth)
    assert {t["angle"] // 90 % 4 for t in truth.values()} == {0, 1, 2, 3}      # every way up was there
    assert min(t["gain"] for t in truth.values()) < 0.7
    wrong = {n: (t["expect"], got[n]["status"], got[n]["reason"]) for n, t in truth.items()
             if got[n]["status"] != t["expect"]}
    assert wrong == {}
    for name, t in truth.items():
        r = got[name]
        for planted in t["defects"]:
            hits = [d for d in r["defects"] if overlaps(d["box_frame"], planted["box_camera"])]
            assert [d["kind"] for d in hits] == [planted["kind"]], (name, planted["what"], r["defects"])
            if planted["what"] == "ribbon wrinkle":
                # One fault, one defect, with the outline of the whole streak and its length.
                [streak] = hits
                assert streak["spots"] >= 3 and streak["length"] > 60 and len(streak["outline"]) >= 4
        if t["expect"] == "error":
            assert r["reason"].startswith("label not found"), r
    assert done.returncode == 2                                            # the bare belt
    assert as_recorded("belt", belt[4] / "out") == []


def test_records_carry_millimetres_and_the_labels_turn(belt):
    truth, got, _, _, top = belt
    assert "px_per_mm = 10.0" in (top / "recipe.toml").read_text()
    for name, r in got.items():
        if r["status"] == "pass":
            # The label's turn relative to the standard's, whichever way up it came.
            assert abs((r["tilt_frame"] - truth[name]["angle"] + 180) % 360 - 180) < 0.5, (name, r["tilt_frame"])
            assert abs(r["ink_spread_mm"] - truth[name]["growth_mm"]) < 0.05, name
        for d in r["defects"]:
            assert d["size_mm"] == round(d["size"] / 10.0, 2) and len(d["at_mm"]) == 2


def test_frames_not_inspected_have_a_picture_with_what_was_found(belt, tmp_path):
    truth, got, _, _, top = belt
    [empty] = [n for n, t in truth.items() if t["expect"] == "error"]
    out = top / "out"
    picture = cv2.imread(os.path.join(out, got[empty]["marked"]))
    assert picture is not None and picture.shape[:2] == (1024, 1280)
    assert os.path.exists(os.path.join(out, got[empty]["thumb"]))
    # A label too dark to judge is drawn with the outline that was found.
    label = ThermalLabel()
    dark, _ = Belt((1280, 1024), seed=3).shoot(label, 33.0, (600.0, 520.0), 9, gain=0.2)
    frames = tmp_path / "frames"
    frames.mkdir()
    cv2.imwrite(str(frames / "dark.png"), dark)
    done = qel_inspect("run", top / "recipe.toml", frames, "-o", tmp_path / "out")
    [r] = records(tmp_path / "out")
    assert r["status"] == "error" and r["reason"].startswith("contrast too low (paper"), r
    marked = cv2.imread(str(tmp_path / "out" / r["marked"]))
    orange = np.all(marked == (0, 170, 255), axis=2)
    assert orange.any() and done.returncode == 2
    report = (tmp_path / "out" / "report.html").read_text()
    assert 'class="error-pic"' in report and "contrast too low" in report


def test_without_a_label_edge_the_print_is_found(tmp_path):
    """EAN-13 labels on a belt of the paper's shade: the label is found by
    the extent of its print; its human-readable digits are compared too."""
    kinds = ("gap", "blot", "missing", "wrinkle")
    truth, got, done, proposed, _ = inspected(tmp_path, seed=23, good=8, defective=4, symbology="ean13",
                                           data="4006381333931", edge=False, kinds=kinds, empty=0)
    assert "label found by its print" in proposed.stdout
    wrong = {n: (t["expect"], got[n]["status"], got[n]["reason"]) for n, t in truth.items()
             if got[n]["status"] != t["expect"]}
    assert wrong == {} and done.returncode == 1
    assert as_recorded("print-found", tmp_path / "out") == []


def test_an_ignored_region_is_not_compared(tmp_path):
    """--ignore leaves a box of the label out of the comparison: a missing
    lot character inside it passes, the same frame without the box is
    rejected there."""
    label = ThermalLabel()
    belt = Belt((1280, 1024), seed=4)
    standard, _ = belt.shoot(label, 0.0, (640.0, 512.0), 1, noise=0.6, clean=True)
    cv2.imwrite(str(tmp_path / "standard.png"), standard)
    rng = np.random.default_rng(2)
    missing = LABEL_DEFECTS["missing"](label, rng)
    frame, matrix = belt.shoot(label, 183.0, (620.0, 500.0), 5, defects=[missing])
    (tmp_path / "frames").mkdir()
    cv2.imwrite(str(tmp_path / "frames" / "lot.png"), frame)
    plain = qel_inspect("recipe", tmp_path / "standard.png", "-o", tmp_path / "plain.toml")
    assert plain.returncode == 0, plain.stderr
    ran = qel_inspect("run", tmp_path / "plain.toml", tmp_path / "frames", "-o", tmp_path / "plain")
    assert ran.returncode == 1, ran.stdout
    # The lot line, in label-space pixels: the label is turned so its bars run across.
    margin = int(open(tmp_path / "plain.toml").read().split("margin = ")[1].split()[0])
    x1, y1, x2, y2 = (v * 10 for v in missing["box_mm"])
    box = (margin + int(y1) - 15, margin + int(800 - x2) - 40, margin + int(y2) + 15, margin + int(800 - x1) + 40)
    done = qel_inspect("recipe", tmp_path / "standard.png", "-o", tmp_path / "ignoring.toml",
                       "--ignore", "%d,%d,%d,%d" % box)
    assert done.returncode == 0, done.stderr
    assert "[[region]]\nkind = \"ignore\"\nbox = [%d, %d, %d, %d]" % box in open(tmp_path / "ignoring.toml").read()
    ran = qel_inspect("run", tmp_path / "ignoring.toml", tmp_path / "frames", "-o", tmp_path / "ignoring")
    assert ran.returncode == 0, ran.stdout
    bad = qel_inspect("recipe", tmp_path / "standard.png", "-o", tmp_path / "bad.toml", "--ignore", "5,5,4,9")
    assert (bad.returncode, bad.stderr) == (2, "qel-inspect: --ignore: [5, 5, 4, 9] is not a rectangle with "
                                                "x1 < x2, y1 < y2, both corners at 0 or above\n")


def test_a_standard_from_several_camera_frames(tmp_path):
    """Three good camera frames make a standard as their median: less
    noisy than any of them, the recipe from it passes good frames, and a
    single camera frame as the standard draws a note."""
    label_batch(str(tmp_path / "batch"), seed=31, good=6, defective=0, empty=0, size=(1280, 1024))
    frames = sorted(os.listdir(tmp_path / "batch" / "frames"))
    prints = [tmp_path / "batch" / "frames" / f for f in frames[:3]]
    done = qel_inspect("recipe", *prints, "-o", tmp_path / "taught.toml")
    assert done.returncode == 0, done.stderr
    assert "standard: %s, the median of 3 prints" % (tmp_path / "taught.standard.png") in done.stdout
    median = cv2.imread(str(tmp_path / "taught.standard.png"), cv2.IMREAD_GRAYSCALE)
    first = cv2.imread(str(prints[0]), cv2.IMREAD_GRAYSCALE)
    assert median.shape == first.shape

    def noise(image):
        return float(np.std(image.astype(np.float32) - cv2.GaussianBlur(image, (0, 0), 3).astype(np.float32)))
    assert noise(median) < noise(first)
    ran = qel_inspect("run", tmp_path / "taught.toml", tmp_path / "batch" / "frames", "-o", tmp_path / "out")
    assert ran.returncode == 0, ran.stdout
    assert as_recorded("taught", tmp_path / "out") == []
    single = qel_inspect("recipe", prints[0], "-o", tmp_path / "single.toml")
    assert "note: the standard looks like a camera frame" in single.stdout
    assert json.load(open(tmp_path / "batch" / "truth.json"))["frames"]

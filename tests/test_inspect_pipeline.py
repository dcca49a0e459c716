"""The station's own composition of the barcode steps: equal to the library's
pipeline where it should be, and what it adds (polarity, ink terms, camera
boxes, minimum match score)."""
import contextlib
import io
import json
import os
import re

import cv2
import numpy as np
import pytest

import qel_cv
from qel_inspect import pipeline, recipe

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = os.path.join(ROOT, "examples", "samples")
KNOCKOUT = os.path.join(ROOT, "examples", "frames", "knockout")
DARK = os.path.join(ROOT, "examples", "frames", "dark")


def grey(path):
    return cv2.imread(path, cv2.IMREAD_GRAYSCALE)


def library_call(std, tgt, aoi, params, cwd):
    """shift_compare_barcode in a scratch directory: (result, printed lines, wrote picture)."""
    out = io.StringIO()
    here = os.getcwd()
    os.chdir(cwd)
    try:
        with contextlib.redirect_stdout(out):
            result = qel_cv.shift_compare_barcode(std, tgt, aoi, *params)
    finally:
        os.chdir(here)
    picture = os.path.join(cwd, "shift_compare_barcode.jpg")
    wrote = os.path.exists(picture)
    if wrote:
        os.remove(picture)
    return result, out.getvalue().splitlines(), wrote


def widest(standard):
    """Boxes (x1, y1, x2, y2) in the middle of the widest bar and of the
    widest space of an upright standard, `w` wide and 6 high."""
    x0, y0 = standard.aoi[:2]
    rects = [cv2.boundingRect(b) for b in standard.bars]
    bar = max(rects, key=lambda r: r[3])
    space = max(zip(rects, rects[1:]), key=lambda p: p[1][1] - p[0][1] - p[0][3])
    bx, by = x0 + bar[0] + bar[2] // 3, y0 + bar[1] + bar[3] // 2 - 3
    sx, sy = x0 + space[0][0] + space[0][2] // 2, y0 + (space[0][1] + space[0][3] + space[1][1]) // 2 - 3
    return (bx, by, bx + 14, by + 6), (sx, sy, sx + 14, sy + 6)


def cases():
    """(standard, target, aoi): the bundled knock-out samples, the generated
    knock-out frames that the library can align, and moved copies."""
    meta = json.load(open(os.path.join(SAMPLES, "samples.json")))
    std = os.path.join(SAMPLES, "standard.png")
    out = [(std, os.path.join(SAMPLES, t["file"]), tuple(meta["aoi"])) for t in meta["targets"].values()]
    aoi = tuple(recipe.load(os.path.join(KNOCKOUT, "recipe.toml"))[0].aoi)
    truth = json.load(open(os.path.join(KNOCKOUT, "truth.json")))
    out += [(os.path.join(KNOCKOUT, "standard.png"), os.path.join(KNOCKOUT, "frames", f), aoi)
            for f, t in truth["frames"].items() if t["expect"] != "error"]
    return out


@pytest.mark.parametrize("std_path, tgt_path, aoi", cases(), ids=lambda c: os.path.basename(str(c)))
def test_light_bars_with_library_bands_equal_the_library(std_path, tgt_path, aoi, tmp_path, capsys):
    std, tgt = grey(std_path), grey(tgt_path)
    params = (2, 50, 6)
    result, lines, wrote = library_call(std, tgt, aoi, params, tmp_path)
    standard = pipeline.prepare_standard(std, aoi, "light-bars")
    out = pipeline.inspect(standard, tgt, *params, min_match_score=0.0)
    assert out.status == ("reject" if result.ng else "pass")
    assert [d.description for d in out.defects] == result.descriptions
    assert [d.box_aligned for d in out.defects] == [list(r.rect) for r in result.ng_regions]
    assert wrote == result.ng
    # The values the library only prints.
    printed = dict(re.match(r"(STD|TGT) Degree: (\S+)", l).groups() for l in lines if "Degree" in l)
    assert float(printed["STD"]) == pytest.approx(-out.tilt_standard, abs=0.006)
    assert float(printed["TGT"]) == pytest.approx(-out.tilt_frame, abs=0.006)
    assert float(lines[-1].split("：")[1]) == pytest.approx(out.match_score, abs=6e-5)
    # Library lines are captured, never shown; nothing was written here.
    assert capsys.readouterr().out == ""
    assert os.listdir(tmp_path) == []


def test_comparison_rect_with_library_bands_is_the_library_helper(capsys):
    std = grey(os.path.join(SAMPLES, "standard.png"))
    rotated = qel_cv.translate_and_rotate(std, (300, 240), (304, 236), 1.0)
    aoi = (35, 35, 585, 445)
    assert pipeline.comparison_rect(rotated, aoi, pipeline.LIBRARY_BANDS) == \
        tuple(qel_cv.cmp_rect_after_rotate_correcting(rotated, aoi))


@pytest.mark.parametrize("tilt", [-2.5, 0.0, 1.7])
def test_boxes_go_back_to_the_camera_frame(tilt):
    """Spots planted on a dark-bars standard that is then turned and moved
    are reported, in ink terms, where they lie in the camera frame."""
    std = grey(os.path.join(DARK, "standard.png"))
    rec = recipe.load(os.path.join(DARK, "recipe.toml"))[0]
    standard = pipeline.prepare_standard(std, rec.aoi, rec.polarity, rec.bars)
    spotted = std.copy()
    in_bar, in_space = widest(standard)
    spotted[in_bar[1]:in_bar[3], in_bar[0]:in_bar[2]] = 210        # paper where a bar was: missing ink
    spotted[in_space[1]:in_space[3], in_space[0]:in_space[2]] = 40  # ink between two bars: extra ink
    frame = qel_cv.translate_and_rotate(spotted, (320, 256), (327, 250), tilt)
    matrix = cv2.getRotationMatrix2D((327, 250), tilt, 1)

    def moved(box):
        x1, y1, x2, y2 = box
        pts = np.float64([[x + 7, y - 6, 1] for x in (x1, x2) for y in (y1, y2)]) @ matrix.T
        return pts[:, 0].min(), pts[:, 1].min(), pts[:, 0].max(), pts[:, 1].max()

    out = pipeline.inspect(standard, frame, rec.max_shift, rec.threshold, rec.dirty_width, 0.7)
    assert out.status == "reject"
    found = {d.kind: d.box_frame for d in out.defects}
    assert set(found) == {"missing ink", "extra ink"}
    for kind, box in (("missing ink", in_bar), ("extra ink", in_space)):
        x1, y1, x2, y2 = moved(box)
        bx1, by1, bx2, by2 = found[kind]
        # Inside the planted spot's place, give or take blur and rounding.
        assert x1 - 2 <= bx1 < bx2 <= x2 + 2 and y1 - 2 <= by1 < by2 <= y2 + 2, (kind, found[kind], (x1, y1, x2, y2))
    marked = pipeline.marked_picture(frame, out.defects)
    x1, y1, x2, y2 = found["extra ink"]
    assert tuple(marked[y1 - 1, x1 + 2]) == (0, 0, 255)      # red frame on the camera's own picture
    assert marked[y1 + 1, x1 + 1, 0] == marked[y1 + 1, x1 + 1, 2] == frame[y1 + 1, x1 + 1]


def test_knock_out_terms_are_the_other_way_round():
    std = grey(os.path.join(SAMPLES, "standard.png"))
    standard = pipeline.prepare_standard(std, (35, 35, 585, 445), "light-bars")
    frame = std.copy()
    in_bar, in_space = widest(standard)
    frame[in_bar[1]:in_bar[3], in_bar[0]:in_bar[2]] = 60          # dark in a light bar: ink over it
    frame[in_space[1]:in_space[3], in_space[0]:in_space[2]] = 200  # light between bars: missing ink
    kinds = sorted(d.kind for d in pipeline.inspect(standard, frame, 2, 50, 6).defects)
    assert kinds == ["extra ink", "missing ink"]


def test_minimum_match_score_turns_a_poor_match_into_an_alignment_failure():
    std = grey(os.path.join(DARK, "standard.png"))
    rec = recipe.load(os.path.join(DARK, "recipe.toml"))[0]
    standard = pipeline.prepare_standard(std, rec.aoi, rec.polarity, rec.bars)
    other = grey(os.path.join(DARK, "frames", "wrong_label.jpg"))
    lenient = pipeline.inspect(standard, other, rec.max_shift, rec.threshold, rec.dirty_width, 0.0)
    assert lenient.status == "reject" and len(lenient.defects) > 10
    strict = pipeline.inspect(standard, other, rec.max_shift, rec.threshold, rec.dirty_width, 0.7)
    assert strict.status == "error" and strict.defects == []
    assert strict.reason == "alignment failed (match score %.2f, minimum 0.70)" % lenient.match_score
    assert strict.match_score == lenient.match_score and strict.tilt_frame == lenient.tilt_frame


def test_judge_reuses_one_alignment_under_other_settings():
    std = grey(os.path.join(DARK, "standard.png"))
    rec = recipe.load(os.path.join(DARK, "recipe.toml"))[0]
    standard = pipeline.prepare_standard(std, rec.aoi, rec.polarity, rec.bars)
    aligned = pipeline.align(standard, grey(os.path.join(DARK, "frames", "gap_and_blot.jpg")), 0.7)
    strict = pipeline.judge(aligned, rec.max_shift, rec.threshold, rec.dirty_width)
    assert len(strict) == 2
    assert pipeline.judge(aligned, rec.max_shift, rec.threshold, 40) == []
    assert pipeline.judge(aligned, rec.max_shift, rec.threshold, rec.dirty_width) == strict


@pytest.mark.parametrize("frame, reason", [
    (np.zeros((100, 100), np.uint8), "wrong size (100x100, the standard is 620x480)"),
    (np.full((480, 620), 62, np.uint8), "no bars found"),
])
def test_frames_that_cannot_be_inspected(frame, reason):
    standard = pipeline.prepare_standard(grey(os.path.join(SAMPLES, "standard.png")), (35, 35, 585, 445),
                                         "light-bars")
    out = pipeline.inspect(standard, frame, 2, 50, 6)
    assert (out.status, out.reason, out.defects) == ("error", reason, [])


def test_reused_comparators_judge_as_fresh_ones():
    """A sweep sets max_shift and threshold on one comparator per
    dirty_width; in any order it must find what a comparator made for each
    setting finds."""
    rec = recipe.load(os.path.join(DARK, "recipe.toml"))[0]
    standard = pipeline.prepare_standard(grey(os.path.join(DARK, "standard.png")), rec.aoi, rec.polarity, rec.bars)
    frames = [pipeline.align(standard, grey(os.path.join(DARK, "frames", f)), 0.7)
              for f in ("good_01.jpg", "thick_bar.jpg", "gap_and_blot.jpg")]
    settings = [(s, t, d) for d in (3, 5, 9) for s in (0, 1, 3) for t in (20, 62, 120)]
    order = np.random.default_rng(5).permutation(len(settings))
    for aligned in frames:
        for i in order:
            s, t, d = settings[i]
            fresh = qel_cv.ShiftComparator(standard.rotated, max_shift=s, threshold=t, judge_parameter=d,
                                           cmp_region=standard.aoi)
            result = qel_cv.CompareResult(aligned.work)
            fresh.compare(aligned.work, result)
            got = pipeline.judge(aligned, s, t, d)
            assert [g.description for g in got] == result.descriptions, settings[i]


def test_capture_keeps_each_threads_lines_apart(capsys):
    """Library lines printed in several threads at once each land in their
    own thread's record; other output goes on to the terminal."""
    import threading

    rec = recipe.load(os.path.join(DARK, "recipe.toml"))[0]
    standard = pipeline.prepare_standard(grey(os.path.join(DARK, "standard.png")), rec.aoi, rec.polarity, rec.bars)
    names = ("good_01.jpg", "wrong_label.jpg", "gap_in_bar.jpg", "blot_between_bars.jpg")
    frames = [grey(os.path.join(DARK, "frames", f)) for f in names]
    alone = [pipeline.inspect(standard, f, rec.max_shift, rec.threshold, rec.dirty_width).library_output for f in frames]
    assert all(alone) and len({tuple(a) for a in alone}) == len(alone)
    got = [[] for _ in frames]

    def work(i):
        for _ in range(5):
            got[i].append(pipeline.inspect(standard, frames[i], rec.max_shift, rec.threshold, rec.dirty_width).library_output)

    def chatter():
        for n in range(200):
            print("chatter %d" % n)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(frames))]
    threads.append(threading.Thread(target=chatter))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [[a] * 5 for a in alone]
    assert capsys.readouterr().out.splitlines() == ["chatter %d" % n for n in range(200)]


def test_a_box_goes_back_to_the_camera_frame_exactly():
    """Ends excluded: the frame box holds every pixel the aligned box
    holds, no more, clipped to the frame."""
    aligned = pipeline.Aligned(None, np.zeros((100, 120), np.uint8), None, 0.0, (50, 40), (3, -4), 1.0, 0)
    assert aligned.to_frame([10, 20, 30, 40]) == [7, 24, 27, 44]
    assert aligned.to_frame([10, 20, 11, 21]) == [7, 24, 8, 25]          # one pixel stays one pixel
    assert aligned.to_frame([0, 0, 120, 100]) == [0, 4, 117, 100]        # clipped where it leaves the frame


def test_knock_out_kinds_name_the_place_they_were_found():
    """Ink over a light bar is extra ink, paper between the bars missing
    ink: each kind at its own spot, not merely both present."""
    std = grey(os.path.join(SAMPLES, "standard.png"))
    standard = pipeline.prepare_standard(std, (35, 35, 585, 445), "light-bars")
    frame = std.copy()
    in_bar, in_space = widest(standard)
    frame[in_bar[1]:in_bar[3], in_bar[0]:in_bar[2]] = 60
    frame[in_space[1]:in_space[3], in_space[0]:in_space[2]] = 200

    def at(box):
        return [d.kind for d in pipeline.inspect(standard, frame, 2, 50, 6).defects
                if overlaps_box(d.box_frame, box)]
    assert (at(in_bar), at(in_space)) == (["extra ink"], ["missing ink"])


def overlaps_box(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def test_a_verbose_record_says_where_its_time_went():
    """--verbose records carry milliseconds by step: every step the frame
    took, the checks by name, pictures of a reject; a frame that stops
    early has only the steps it reached; other records carry none."""
    from qel_inspect import records, tasks

    labels = os.path.join(ROOT, "examples", "frames", "labels")
    rec, _ = recipe.load(os.path.join(labels, "recipe.toml"))
    frames = os.path.join(labels, "frames")
    verbose, plain = tasks.make_job(rec, verbose=True), tasks.make_job(rec)
    path = os.path.join(frames, "blot_between_bars.jpg")
    record, _ = tasks.inspect(verbose, path, "blot", "marked/blot.png")
    assert record.status.value == "reject"
    assert list(record.timings) == ["decode", "locate", "anchors", "warp", "light", "ink"] + list(rec.checks) \
        + ["pictures"]
    assert all(ms >= 0 for ms in record.timings.values())
    line = json.loads(record.line())
    assert line["timings"] == record.timings and records.Record.from_json(line).timings == record.timings
    dark, _ = tasks.inspect(verbose, os.path.join(frames, "too_dark.jpg"), "dark", "marked/dark.png")
    assert dark.status.value == "error" and list(dark.timings) == ["decode", "locate", "anchors", "warp", "light",
                                                                   "pictures"]
    quiet, _ = tasks.inspect(plain, path, "blot", "marked/blot.png")
    assert quiet.timings is None and "timings" not in json.loads(quiet.line())


def test_marked_pictures_decode_to_the_picture_drawn():
    """The marked picture's PNG holds exactly what was drawn: with a
    palette when the drawn colours fit in grey levels the frame leaves
    free (a streak's outline included), as a colour PNG when they do not
    (a frame using every level)."""
    from qel_inspect import pictures
    from qel_inspect.records import Defect

    rng = np.random.default_rng(5)
    lit = rng.integers(40, 220, (120, 160)).astype(np.uint8)
    full = rng.integers(0, 256, (120, 160)).astype(np.uint8)
    full.ravel()[:256] = np.arange(256)
    boxes = [Defect("missing ink", "white spot: 4", [10, 12, 30, 40], [0, 0, 1, 1], 28),
             Defect("extra ink", "black spot: 3", [140, 100, 160, 120], [0, 0, 1, 1], 20)]
    streak = [Defect("missing ink", "streak", [50, 20, 120, 90], [0, 0, 1, 1], 70,
                     {"outline": [[50, 20], [120, 60], [100, 90]]})]
    for frame, defects, palette in ((lit, boxes, True), (full, boxes, False), (lit, streak, True)):
        drawn = pipeline.marked_picture(frame, defects)
        data = pictures.marked_pictures(frame, defects, "marked/f.png")["marked/f.png"]
        assert (pictures.indexed_png(drawn, frame) is not None) == palette
        assert data[25] == (3 if palette else 2)        # the colour type in the header
        back = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
        assert back.shape == drawn.shape and (back == drawn).all()

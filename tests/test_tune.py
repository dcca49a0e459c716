"""qel-inspect tune on generated labelled frames with planted defects: the
choice, the tuning page, --write, the equality with `run` at the chosen
setting, and bad grids and labels."""
import json
import os
import shutil
import sys
import tomllib

import cv2
import numpy as np
import pytest

from test_inspect_run import ROOT, browser, qel_inspect, records

sys.path.insert(0, os.path.join(ROOT, "examples"))
from make_frames import random_batch  # noqa: E402

from qel_inspect import tune  # noqa: E402


@pytest.fixture(scope="module")
def labelled(tmp_path_factory):
    """Generated frames sorted into good/ and bad/ by their planted truth,
    plus a good frame that cannot be read and a bad one with no label in
    sight; a recipe proposed for their standard; one tuning with --write."""
    top = tmp_path_factory.mktemp("tune")
    truth = random_batch(str(top / "batch"), 23, 9, 6, (640, 512), 4, "27182818", "dark-bars", 400, 3.0, 10)
    for label in ("good", "bad"):
        (top / label).mkdir()
    for name, t in truth["frames"].items():
        shutil.copy(top / "batch" / "frames" / name, top / ("good" if t["expect"] == "pass" else "bad") / name)
    (top / "good" / "cut.jpg").write_bytes((top / "good" / os.listdir(top / "good")[0]).read_bytes()[:300])
    cv2.imwrite(str(top / "bad" / "no_label.png"), np.full((512, 640), 205, np.uint8))
    proposed = qel_inspect("recipe", top / "batch" / "standard.png", "-o", top / "recipe.toml")
    assert proposed.returncode == 0, proposed.stderr
    original = (top / "recipe.toml").read_bytes()
    tuned = qel_inspect("tune", top / "recipe.toml", "--good", top / "good", "--bad", top / "bad", "-o", top / "out",
                        "--write", "--workers", 2)
    return {"top": top, "original": original, "tuned": tuned, "out": top / "out"}


def chosen_setting(out):
    with open(out / "tuning.csv", encoding="utf-8") as f:
        rows = [line.split(",") for line in f.read().splitlines()[1:]]
    [row] = [r for r in rows if r[-1] == "yes"]
    return tuple(int(v) for v in row[:3])


def sweep_records(out):
    with open(out / "tuning.jsonl", encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def test_the_chosen_setting_passes_no_bad_frame(labelled):
    done, out = labelled["tuned"], labelled["out"]
    assert done.returncode == 0, done.stderr
    # Nothing but the plain progress lines a slow machine (a sanitizer build, say) prints.
    assert all(l.startswith("qel-inspect: tuning ") and "frames/s" in l for l in done.stderr.splitlines()), done.stderr
    setting = chosen_setting(out)
    at = [r for r in sweep_records(out) if tune.setting_of(r) == setting]
    assert len(at) == 9 + 1 + 6 + 1                         # every frame once at the chosen setting
    assert [r["frame"] for r in at if r["label"] == "bad" and r["status"] == "pass"] == []
    assert {r["status"] for r in at if r["label"] == "bad" and r["frame"].endswith("no_label.png")} == {"error"}
    false_rejects = sorted(r["frame"] for r in at if r["label"] == "good" and r["status"] != "pass")
    assert false_rejects == [str(labelled["top"] / "good" / "cut.jpg")]
    assert "chosen: threshold %d, max_shift %d, dirty_width %d" % setting in done.stdout
    assert "false rejects 1 of 10 good frames, false accepts 0 of 7 bad frames" in done.stdout
    assert "1 bad frame could not be inspected" in done.stdout
    # Every frame under every setting of the grid, each once.
    keys = [(r["key"], tune.setting_of(r)) for r in sweep_records(out)]
    assert len(keys) == len(set(keys)) == 17 * len({k[1] for k in keys})


def test_write_changes_only_the_three_keys(labelled):
    before = labelled["original"].decode().splitlines(keepends=True)
    after = (labelled["top"] / "recipe.toml").read_text().splitlines(keepends=True)
    assert len(before) == len(after)
    changed = [(a, b) for a, b in zip(before, after) if a != b]
    assert {a.split("=")[0].strip() for a, _ in changed} <= set(tune.AXES)
    new = tomllib.loads("".join(after))
    old = tomllib.loads("".join(before))
    setting = chosen_setting(labelled["out"])
    assert new == dict(old, **dict(zip(tune.AXES, setting)))
    assert all(a.index("#") == b.index("#") for a, b in changed)    # comments stay in their column


def test_tune_verdicts_equal_run_verdicts_at_the_chosen_setting(labelled, tmp_path):
    top, setting = labelled["top"], chosen_setting(labelled["out"])
    done = qel_inspect("run", top / "recipe.toml", top / "good", top / "bad", "-o", tmp_path / "run")
    assert done.returncode == 2, done.stderr                       # the unreadable and the empty frames
    ran = {r["key"]: r for r in records(tmp_path / "run")}
    swept = {r["key"]: r for r in sweep_records(labelled["out"]) if tune.setting_of(r) == setting}
    assert set(ran) == set(swept)
    for key, r in ran.items():
        s = swept[key]
        assert (s["status"], s.get("reason"), s["defects"]) == (r["status"], r.get("reason"), len(r["defects"])), key
        assert s.get("boxes", []) == [[d["kind"]] + d["box_frame"] for d in r["defects"][:10]], key
    assert sum(r["status"] == "reject" for r in ran.values()) == 6


def test_tuning_page_shows_the_table_the_plot_and_the_misjudged_frames(labelled):
    out = labelled["out"]
    plot = cv2.imread(str(out / "tuning.png"))
    assert plot is not None and plot.shape[1] >= 800
    settings = len({tune.setting_of(r) for r in sweep_records(out)})
    driver, profile = browser()
    try:
        driver.get("file://" + str(out / "tuning.html"))
        loaded = driver.execute_script("const i = document.getElementById('plot'); return [i.complete, i.naturalWidth]")
        assert loaded == [True, plot.shape[1]]
        rows = driver.find_elements("css selector", "#settings tr")
        assert len(rows) == settings + 1
        [chosen] = driver.find_elements("css selector", "#settings tr.chosen")
        cells = [c.text for c in chosen.find_elements("css selector", "td")]
        assert tuple(int(c) for c in cells[:3]) == chosen_setting(out)
        assert cells[3:5] == ["1", "0"]
        assert driver.find_element("id", "count-bad-errors").text == "1"
        cards = driver.find_elements("css selector", ".card .name")
        assert [c.text for c in cards] == ["cut.jpg"]                 # unreadable: listed, no picture
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def test_no_setting_without_false_accepts_writes_nothing(labelled, tmp_path):
    top = labelled["top"]
    shutil.copy(top / "recipe.toml", tmp_path / "recipe.toml")
    shutil.copytree(top / "batch", tmp_path / "batch")
    before = (tmp_path / "recipe.toml").read_bytes()
    good = sorted(f for f in os.listdir(top / "good") if f.startswith("frame"))
    # A good print labelled bad passes under every setting.
    done = qel_inspect("tune", tmp_path / "recipe.toml", "--good", top / "good" / good[0], "--bad",
                       top / "good" / good[1], "-o", tmp_path / "out", "--write",
                       "--grid", "threshold=60:90:30,max_shift=2", "--grid", "dirty_width=6")
    assert done.returncode == 1, done.stderr
    assert "NO setting of the grid passes no bad frame" in done.stdout
    assert "passed under every setting: %s" % (top / "good" / good[1]) in done.stdout
    assert (tmp_path / "recipe.toml").read_bytes() == before
    assert 'class="choice none"' in (tmp_path / "out" / "tuning.html").read_text()


@pytest.mark.parametrize("grid, message", [
    ("thresold=40", "--grid: unknown axis 'thresold' (did you mean 'threshold'?)"),
    ("threshold=40:20", "--grid threshold: 40:20 runs backwards (write LO:HI:STEP with LO <= HI)"),
    ("max_shift=1:3:0", "--grid max_shift: the step of 1:3:0 must be 1 or more"),
    ("threshold=300", "--grid threshold: 300 is outside 0..254"),
    ("dirty_width=five", "--grid dirty_width: not a whole number: 'five'"),
    ("40,50", "--grid '40,50': start with an axis, as in threshold=40:80:10"),
    ("threshold=0:254,max_shift=0:50", "--grid: 52020 settings are too many (at most 5000); use coarser steps"),
    ("threshold=0:1000000000:1", "--grid threshold: 1000000000 is outside 0..254"),
    ("dirty_width=-99999999999999999999:5", "--grid dirty_width: -99999999999999999999 is outside 1..1000"),
    ("max_shift=" + "9" * 5000, "--grid max_shift: not a whole number: '%s'" % ("9" * 5000)),
])
def test_bad_grids_stop_with_one_line(grid, message, tmp_path):
    frames = os.path.join(ROOT, "examples", "frames", "dark")
    done = qel_inspect("tune", os.path.join(frames, "recipe.toml"), "--good", os.path.join(frames, "frames", "good_01.jpg"),
                       "--bad", os.path.join(frames, "frames", "gap_in_bar.jpg"), "-o", tmp_path / "out", "--grid", grid)
    assert (done.returncode, done.stderr) == (2, "qel-inspect: %s\n" % message)
    assert not (tmp_path / "out").exists()


def test_grid_axes_take_lists_and_ranges():
    base = {"threshold": [1], "max_shift": [2], "dirty_width": [3]}
    assert tune.parse_grid(["threshold=40:60:10,75", "dirty_width=5;max_shift=3,1"], base) == \
        {"threshold": [40, 50, 60, 75], "max_shift": [1, 3], "dirty_width": [5]}


def test_a_frame_labelled_both_ways_is_refused(tmp_path):
    frames = os.path.join(ROOT, "examples", "frames", "dark")
    one = os.path.join(frames, "frames", "good_01.jpg")
    done = qel_inspect("tune", os.path.join(frames, "recipe.toml"), "--good", one, "--bad", os.path.join(frames, "frames"),
                       "-o", tmp_path / "out")
    assert (done.returncode, done.stderr) == (2, "qel-inspect: %s is labelled both good and bad\n" % one)


def test_resume_finishes_a_cut_tuning_to_the_same_lines(tmp_path):
    """A tuning cut off in the middle of a frame's lines (as by a crash)
    is continued by --resume: the frame is judged again, each (frame,
    setting) ends up once."""
    frames = os.path.join(ROOT, "examples", "frames", "dark", "frames")
    args = ["tune", os.path.join(ROOT, "examples", "frames", "dark", "recipe.toml"), "--good",
            os.path.join(frames, "good_0*"), "--bad", os.path.join(frames, "gap_*"), "-o", tmp_path,
            "--grid", "threshold=40:80:20,max_shift=1:2,dirty_width=5", "--workers", 1]
    assert qel_inspect(*args).returncode == 0
    whole = (tmp_path / "tuning.jsonl").read_text().splitlines(keepends=True)
    (tmp_path / "tuning.jsonl").write_text("".join(whole[:-4]) + whole[-4][:20])
    resumed = qel_inspect(*args, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    again = sweep_records(tmp_path)
    assert len(again) == len(whole) - 4 + 6                     # two lines of the cut frame were whole

    def lines(records):
        return sorted(json.dumps({k: v for k, v in r.items() if k != "seconds"}, sort_keys=True) for r in records)
    assert sorted(set(lines(again))) == lines(json.loads(line) for line in whole)


def sweep_lines(labels, thresholds, passing):
    """Lines of a sweep over thresholds: good frames pass everywhere, a
    bad one passes where `passing` says."""
    return [{"key": k, "frame": k, "label": v, "threshold": t, "max_shift": 2, "dirty_width": 5, "defects": 0,
             "status": "pass" if v == "good" or passing(t) else "reject"}
            for k, v in labels.items() for t in thresholds]


def test_among_equal_settings_the_one_farthest_from_a_false_accept_is_chosen():
    """No good frame is rejected anywhere, so distance from the settings
    that pass a bad frame decides, and then nearness to the recipe."""
    labels = {"g": "good", "b": "bad"}
    grid = {"threshold": [10, 20, 30, 40, 50], "max_shift": [2], "dirty_width": [5]}
    summary = tune.summarise(sweep_lines(labels, grid["threshold"], lambda t: t >= 50), labels, grid, (40, 2, 5))
    assert summary.rows[summary.chosen].setting == (10, 2, 5)            # though the recipe has 40
    assert [r.margin for r in summary.rows] == [1.0, 0.75, 0.5, 0.25, 0.0]
    grid = {"threshold": [10, 20, 30, 40, 50, 60], "max_shift": [2], "dirty_width": [5]}
    lines = sweep_lines(labels, grid["threshold"], lambda t: t in (10, 60))
    for current, chosen in ((40, 40), (30, 30), (10, 30)):
        summary = tune.summarise(lines, labels, grid, (current, 2, 5))
        assert summary.rows[summary.chosen].setting == (chosen, 2, 5), current

"""Batch runs through the command: verdicts on the bundled frames, bad
frames, isolation, interruption and resume, and the report in a browser."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import cv2
import pytest

import verdicts
from conftest import CHILD_ENV, QEL_INSPECT

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FRAMES = os.path.join(ROOT, "examples", "frames")
ENV = CHILD_ENV
TIMEOUT = 120


def qel_inspect(*args, cwd=None, launcher=False):
    command = [QEL_INSPECT] if launcher else [sys.executable, "-m", "qel_inspect"]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, env=ENV, capture_output=True, text=True,
                          timeout=TIMEOUT)


def records(outdir):
    with open(os.path.join(outdir, "results.jsonl"), encoding="utf-8") as f:
        return [json.loads(line) for line in f]


VERIFIER_KINDS = {"low grade", "undecodable", "decode mismatch", "bar width", "printhead streak"}


def overlaps(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


@pytest.fixture(scope="module")
def bundled_runs():
    """Both bundled sets run once through the command, from an empty
    working directory that must stay empty."""
    top = tempfile.mkdtemp(prefix="qel-inspect-test-")
    cwd = os.path.join(top, "cwd")
    os.mkdir(cwd)
    runs = {}
    for name in ("dark", "knockout", "labels"):
        out = os.path.join(top, name)
        done = qel_inspect("run", os.path.join(FRAMES, name, "recipe.toml"), os.path.join(FRAMES, name, "frames"),
                           "-o", out, "--workers", 2, cwd=cwd)
        runs[name] = (done, out)
    runs["cwd"] = cwd
    yield runs
    shutil.rmtree(top, ignore_errors=True)


@pytest.mark.parametrize("name", ["dark", "knockout", "labels"])
def test_bundled_frames_get_their_verdicts_and_boxes(bundled_runs, name):
    done, out = bundled_runs[name]
    assert done.returncode == 2, done.stderr        # the misaligned frames could not be inspected
    # No library lines: at most the plain progress lines of a slow machine.
    assert all(l.startswith("qel-inspect: ") and "frames/s" in l for l in done.stderr.splitlines()), done.stderr
    assert "report: %s" % os.path.join(out, "report.html") in done.stdout
    meta = json.load(open(os.path.join(FRAMES, name, "truth.json")))
    truth, (width, height) = meta["frames"], meta["size"]
    got = {os.path.basename(r["frame"]): r for r in records(out)}
    assert set(got) == set(truth)
    for file, t in truth.items():
        r = got[file]
        assert r["status"] == t["expect"], (file, r)
        if t["expect"] == "reject":
            for planted in t["defects"]:
                # The comparison names the planted fault once; the verifier's checks may add their own.
                hits = [d for d in r["defects"] if overlaps(d["box_frame"], planted["box_camera"])
                        and d["kind"] not in VERIFIER_KINDS]
                assert [d["kind"] for d in hits] == [planted["kind"]], (file, r["defects"], planted)
            assert os.path.exists(os.path.join(out, r["marked"]))
            assert cv2.imread(os.path.join(out, r["marked"])).shape == (height, width, 3)
        elif t["expect"] == "error":
            assert r["reason"].startswith(("alignment failed", "no bars found", "label not found",
                                           "contrast too low")), r
            if r["reason"].startswith(("label not found", "contrast too low", "alignment failed")) and name == "labels":
                assert cv2.imread(os.path.join(out, r["marked"])).shape == (height, width, 3)   # what was found, drawn
        if r.get("tilt_frame") is not None and "tilt" in t:
            assert abs(r["tilt_frame"] - t["tilt"]) < 0.1, (file, r["tilt_frame"], t["tilt"])
        elif r.get("tilt_frame") is not None and t["expect"] != "error":
            # A label's whole turn, any way up.
            assert abs((r["tilt_frame"] - t["angle"] + 180) % 360 - 180) < 0.5, (file, r["tilt_frame"], t["angle"])
    assert os.listdir(bundled_runs["cwd"]) == []    # nothing written where the command was started
    with open(os.path.join(out, "results.csv"), encoding="utf-8") as f:
        assert len(f.read().splitlines()) == len(truth) + 1
    # Every verdict and box as recorded before the station was made faster.
    assert verdicts.as_recorded("bundled-" + name, out) == []


def test_bad_frames_are_recorded_and_the_batch_goes_on(tmp_path):
    frames = tmp_path / "frames"
    frames.mkdir()
    shutil.copy(os.path.join(FRAMES, "dark", "frames", "good_01.jpg"), frames / "good.jpg")
    (frames / "text.jpg").write_text("not a picture")
    (frames / "empty.png").write_bytes(b"")
    small = cv2.imread(os.path.join(FRAMES, "dark", "frames", "good_01.jpg"))
    cv2.imwrite(str(frames / "small.png"), cv2.resize(small, (320, 256)))
    done = qel_inspect("run", os.path.join(FRAMES, "dark", "recipe.toml"), frames, "-o", tmp_path / "out",
                       "--workers", 1, launcher=True)
    assert done.returncode == 2, done.stderr
    got = {os.path.basename(r["frame"]): (r["status"], r["reason"]) for r in records(tmp_path / "out")}
    assert got == {"good.jpg": ("pass", None),
                   "text.jpg": ("error", "unreadable (not an image OpenCV can decode)"),
                   "empty.png": ("error", "unreadable (not an image OpenCV can decode)"),
                   "small.png": ("error", "wrong size (320x256, the standard is 640x512)")}
    assert "  error   %s: wrong size (320x256, the standard is 640x512)" % (frames / "small.png") in done.stdout


@pytest.mark.parametrize("targets, message", [
    (["nowhere"], "qel-inspect: no such file or folder: nowhere\n"),
    (["*.nothing"], "qel-inspect: pattern '*.nothing' matches no image\n"),
])
def test_targets_that_name_nothing(tmp_path, targets, message):
    done = qel_inspect("run", os.path.join(FRAMES, "dark", "recipe.toml"), *targets, "-o", tmp_path / "out",
                       cwd=tmp_path)
    assert (done.returncode, done.stderr) == (2, message)


def test_exit_status_says_pass_or_reject(tmp_path):
    dark = os.path.join(FRAMES, "dark", "frames")
    recipe = os.path.join(FRAMES, "dark", "recipe.toml")
    passed = qel_inspect("run", recipe, os.path.join(dark, "good_0[12].jpg"), "-o", tmp_path / "a")
    rejected = qel_inspect("run", recipe, os.path.join(dark, "good_01.jpg"), os.path.join(dark, "gap_in_bar.jpg"),
                           "-o", tmp_path / "b")
    assert (passed.returncode, rejected.returncode) == (0, 1), (passed.stderr, rejected.stderr)


def comparable(outdir):
    """The records as a set, without the time each took."""
    return sorted(json.dumps({k: v for k, v in r.items() if k != "seconds"}, sort_keys=True)
                  for r in records(outdir))


def test_interrupted_run_resumes_to_the_same_results(tmp_path):
    frames = tmp_path / "frames"
    frames.mkdir()
    source = os.path.join(FRAMES, "dark", "frames")
    for i in range(6):
        for name in os.listdir(source):
            shutil.copy(os.path.join(source, name), frames / ("%d_%s" % (i, name)))
    recipe = os.path.join(FRAMES, "dark", "recipe.toml")
    whole = qel_inspect("run", recipe, frames, "-o", tmp_path / "whole", "--workers", 2)
    assert whole.returncode == 2

    out = tmp_path / "cut"
    proc = subprocess.Popen([sys.executable, "-m", "qel_inspect", "run", recipe, str(frames), "-o", str(out),
                             "--workers", "1"], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        path = out / "results.jsonl"
        if path.exists() and path.read_text().count("\n") >= 3:
            break
        time.sleep(0.005)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 2, stderr
    kept = records(out)
    assert 3 <= len(kept) < 66, "the run was not cut short"
    assert "stopped after %d of 66 frames" % len(kept) in stdout
    assert json.load(open(out / "run.json"))["stopped"] is True
    assert 'id="stopped"' in (out / "report.html").read_text()

    resumed = qel_inspect("run", recipe, frames, "-o", out, "--resume", "--workers", 2)
    assert resumed.returncode == 2, resumed.stderr
    assert len(records(out)) == 66
    assert comparable(out) == comparable(tmp_path / "whole")
    assert json.load(open(out / "run.json"))["stopped"] is False


def test_resume_refuses_results_of_another_recipe(tmp_path):
    first = qel_inspect("run", os.path.join(FRAMES, "dark", "recipe.toml"),
                        os.path.join(FRAMES, "dark", "frames", "good_01.jpg"), "-o", tmp_path)
    assert first.returncode == 0
    other = qel_inspect("run", os.path.join(FRAMES, "knockout", "recipe.toml"),
                        os.path.join(FRAMES, "knockout", "frames", "good_01.jpg"), "-o", tmp_path, "--resume")
    assert other.returncode == 2
    assert other.stderr == "qel-inspect: %s holds results made with another recipe; give another folder or leave " \
                           "out --resume\n" % tmp_path


# --- the report in a browser --------------------------------------------------------

def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service
    if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
        pytest.skip("chromium and chromedriver are not installed")
    options = webdriver.ChromeOptions()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1280,1000"):
        options.add_argument(arg)
    profile = tempfile.mkdtemp(prefix="qel-inspect-chromium-")
    options.add_argument("--user-data-dir=" + profile)
    options.binary_location = "/usr/bin/chromium"
    # The browser gets no sanitizer runtime preloaded, whatever the tests run under.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=env), options=options), profile


def test_report_opens_in_a_browser_with_counts_and_pictures(bundled_runs):
    _, out = bundled_runs["dark"]
    truth = json.load(open(os.path.join(FRAMES, "dark", "truth.json")))["frames"]
    expected = {s: sum(t["expect"] == s for t in truth.values()) for s in ("pass", "reject", "error")}
    driver, profile = browser()
    try:
        driver.get("file://" + os.path.join(out, "report.html"))
        counts = {s: int(driver.find_element("id", "count-" + s).text) for s in expected}
        assert counts == expected
        pictures = driver.execute_script(
            "return [...document.querySelectorAll('img.reject-pic')].map(i => [i.complete, i.naturalWidth])")
        assert len(pictures) == expected["reject"]
        assert all(complete and width > 0 for complete, width in pictures), pictures
        links = driver.execute_script(
            "return [...document.querySelectorAll('.card a.pic')].map(a => a.getAttribute('href'))")
        assert all(os.path.exists(os.path.join(out, link)) for link in links)
        rows = driver.find_elements("css selector", "#frames tr")
        assert len(rows) == len(truth) + 1
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


# --- what is derived from the records -----------------------------------------------

def hostile_records():
    """A reject with two defects, an error, a pass; names and texts as a
    hostile file system or check might make them."""
    from qel_inspect.records import Defect, Record

    reject = Record("/f/<b>bold</b>.png", "<b>bold</b>.png", "reject", defects=[
        Defect("missing ink", "black spot: 3", [1, 2, 5, 9], [0, 1, 4, 8], 7),
        Defect("<i>odd</i> ink", "white spot: 2", [10, 20, 12, 21], [9, 19, 11, 20], 2)],
        tilt_frame=1.5, tilt_standard=-0.25, match_score=0.9876, shift=[3, -4], marked="marked/b.png", seconds=0.5)
    error = Record("/f/e.png", "e.png", "error", "cannot read <script>alert(1)</script>")
    return [reject, error, Record("/f/p.png", "p,\"q\".png", "pass", tilt_frame=0.0, match_score=1.0, seconds=0.25)]


def test_the_csv_has_its_columns_and_each_records_values(tmp_path):
    import csv

    from qel_inspect.sinks import write_csv

    write_csv(str(tmp_path), hostile_records())
    with open(tmp_path / "results.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    assert rows == [
        ["frame", "status", "reason", "defects", "kinds", "boxes_in_frame", "tilt_frame", "tilt_standard",
         "match_score", "shift_x", "shift_y", "seconds", "marked", "key"],
        ["<b>bold</b>.png", "reject", "", "2", "missing ink; <i>odd</i> ink", "1 2 5 9; 10 20 12 21", "1.5", "-0.25",
         "0.9876", "3", "-4", "0.5", "marked/b.png", "/f/<b>bold</b>.png"],
        ["e.png", "error", "cannot read <script>alert(1)</script>", "0", "", "", "", "", "", "", "", "", "",
         "/f/e.png"],
        ["p,\"q\".png", "pass", "", "0", "", "", "0.0", "", "1.0", "", "", "0.25", "", "/f/p.png"]]


def test_the_report_shows_markup_in_names_and_reasons_as_text(tmp_path):
    from qel_inspect import recipe, report
    from qel_inspect.files import write_json

    rec = recipe.load(os.path.join(FRAMES, "dark", "recipe.toml"))[0]
    write_json(str(tmp_path / "run.json"), {"recipe": rec.settings(), "recipe_file": rec.path, "frames": 3,
                                            "stopped": False})
    page = open(report.write(str(tmp_path), hostile_records()), encoding="utf-8").read()
    for markup in ("<b>bold</b>", "<i>odd</i>", "<script>alert(1)</script>"):
        assert markup not in page
    assert "&lt;b&gt;bold&lt;/b&gt;.png" in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert "&lt;i&gt;odd&lt;/i&gt; ink" in page

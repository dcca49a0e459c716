"""The station under a hostile or careless operator: workers killed at any
moment, Ctrl-C and SIGTERM, the command itself killed, two runs into one
folder, damaged results and headers, read-only and full folders, bad
recipes, FIFOs and devices, escape sequences in names, images declaring
huge sizes, the libraries' noise. Every command runs in a child process
with a timeout, so a hang fails its test instead of stalling the suite."""
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import cv2
import numpy as np
import pytest

from conftest import CHILD_ENV
from qel_inspect import images
from test_inspect_run import FRAMES, TIMEOUT, records

DARK = os.path.join(FRAMES, "dark")
RECIPE = os.path.join(DARK, "recipe.toml")
TRUTH = {name: t["expect"] for name, t in json.load(open(os.path.join(DARK, "truth.json")))["frames"].items()}
DIED = "worker died (signal 9, SIGKILL)"


def command(*args, stdin=None, timeout=TIMEOUT):
    return subprocess.run([sys.executable, "-m", "qel_inspect"] + [str(a) for a in args], input=stdin,
                          env=CHILD_ENV, capture_output=True, text=True, timeout=timeout)


def start(*args):
    # A command that hangs shows where each of its threads waits when it is aborted.
    return subprocess.Popen([sys.executable, "-m", "qel_inspect"] + [str(a) for a in args],
                            env=dict(CHILD_ENV, PYTHONFAULTHANDLER="1"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=TIMEOUT, stdin=None):
    """(stdout, stderr) of a started command, given the rest of `stdin`;
    it is aborted, and the test fails with its threads' stacks, when it has
    not ended within `timeout` seconds."""
    try:
        return proc.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGABRT)
        try:
            stdout, stderr = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            stdout, stderr = proc.communicate()
        pytest.fail("the command hung; it printed:\n%s\n%s" % (stdout[-2000:], stderr[-8000:]))


def copies(folder, rounds, names=None):
    """`rounds` copies of the bundled dark-on-light frames (or of `names`)."""
    folder.mkdir()
    for i in range(rounds):
        for name in names or sorted(TRUTH):
            shutil.copy(os.path.join(DARK, "frames", name), folder / ("%d_%s" % (i, name)))
    return folder


def processes():
    """{pid: (parent pid, command line)} of the living processes (zombies,
    which no init here may reap, are dead)."""
    out = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        state, ppid = stat[stat.rindex(")") + 2:].split()[:2]
        if state != "Z":
            out[int(name)] = (int(ppid), cmdline)
    return out


def workers(parent):
    return sorted(p for p, (pp, cmd) in processes().items() if pp == parent and "spawn_main" in cmd)


def until(what, timeout=TIMEOUT):
    """Wait for `what()` to be true (returning it); fail after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        got = what()
        if got:
            return got
        assert time.monotonic() < deadline, "waited in vain"
        time.sleep(0.003)


def recorded(out):
    try:
        with open(os.path.join(out, "results.jsonl"), encoding="utf-8") as f:
            return f.read().count("\n")
    except FileNotFoundError:
        return 0


def only_progress(stderr):
    """No line on standard error but the tool's own (no traceback, no
    library noise)."""
    return all(line.startswith("qel-inspect: ") for line in stderr.splitlines())


def check_verdicts(got, total):
    """Each frame recorded once, with its verdict or as killed with its worker."""
    assert len(got) == len({r["key"] for r in got}) == total
    for r in got:
        if r["reason"] != DIED:
            assert r["status"] == TRUTH[os.path.basename(r["frame"]).split("_", 1)[1]], r


# --- workers that die, stops, a command that is killed --------------------------------

def test_workers_killed_and_their_replacements_killed_while_starting_cost_no_frame(tmp_path):
    """The out-of-memory killer's way, three times over: a working worker
    killed, then the process started in its place killed while it is still
    starting. The run ends; each frame is recorded once, at worst as
    killed with its worker."""
    # Enough frames that some are left after the third kill however fast
    # the workers run: a run that has ended starts no replacement.
    frames = copies(tmp_path / "frames", 12)
    out = tmp_path / "out"
    run = start("run", RECIPE, frames, "-o", out, "--workers", 2)
    seen, killed = set(), 0
    try:
        for n in range(3):
            until(lambda: recorded(out) >= 10 * (n + 1))
            busy = until(lambda: workers(run.pid))
            seen.update(busy)
            os.kill(busy[0], signal.SIGKILL)
            try:
                new = until(lambda: [p for p in workers(run.pid) if p not in seen] or run.poll() is not None)
            except AssertionError:
                raise AssertionError("no worker in place of %d: run %s, its processes %s" % (
                    busy[0], run.poll(), [(p, c[1][:60]) for p, c in processes().items() if c[0] == run.pid]))
            assert new is not True, "the run ended before a worker was started in place of the one killed"
            os.kill(new[0], signal.SIGKILL)
            seen.update(new)
            killed += 1
        stdout, stderr = finish(run)
    finally:
        if run.poll() is None:
            run.kill()
    assert killed == 3 and run.returncode == 2, stderr
    got = records(out)
    check_verdicts(got, 132)
    assert 1 <= sum(r["reason"] == DIED for r in got) <= 6
    assert "132 frames: " in stdout and only_progress(stderr), stderr
    assert not set(processes()) & seen


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_a_stop_while_a_replacement_worker_starts_ends_the_run(tmp_path, sig):
    frames = copies(tmp_path / "frames", 4)
    out = tmp_path / "out"
    run = start("run", RECIPE, frames, "-o", out, "--workers", 2)
    try:
        until(lambda: recorded(out) >= 5)
        busy = until(lambda: workers(run.pid))
        os.kill(busy[0], signal.SIGKILL)
        until(lambda: [p for p in workers(run.pid) if p not in busy])
        run.send_signal(sig)
        stdout, stderr = finish(run, 60)
    finally:
        if run.poll() is None:
            run.kill()
    assert run.returncode == 2, stderr
    got = records(out)
    assert len(got) == len({r["key"] for r in got}) < 44
    assert "stopped after %d of 44 frames" % len(got) in stdout
    assert json.load(open(out / "run.json"))["stopped"] is True
    assert workers(run.pid) == [] and only_progress(stderr), stderr


def test_a_killed_command_leaves_no_process_and_its_folder_resumes(tmp_path):
    frames = copies(tmp_path / "frames", 2)
    out = tmp_path / "out"
    run = start("run", RECIPE, frames, "-o", out, "--workers", 2)
    try:
        until(lambda: recorded(out) >= 3 and len(workers(run.pid)) == 2)
        children = [p for p, (pp, _) in processes().items() if pp == run.pid]
        assert any("resource_tracker" in processes()[p][1] for p in children)
        run.kill()
        run.wait(TIMEOUT)
        # The workers notice their parent is gone; the resource tracker follows them.
        until(lambda: not set(processes()) & set(children), 60)
    finally:
        if run.poll() is None:
            run.kill()
    done_before = len(records(out))
    resumed = command("run", RECIPE, frames, "-o", out, "--resume", "--workers", 2)
    assert resumed.returncode == 2, resumed.stderr
    assert resumed.stderr.startswith("qel-inspect: %s: taking over the lock left by qel-inspect run, process %d, "
                                     "started " % (out, run.pid)), resumed.stderr
    check_verdicts(records(out), 22)
    assert 3 <= done_before < 22 and not os.path.exists(out / ".qel-inspect.lock")


def test_a_second_command_into_a_folder_in_use_is_refused(tmp_path):
    """The first run reads frame names from standard input, so it holds the
    folder for as long as the test keeps writing."""
    frames = copies(tmp_path / "frames", 2)
    names = sorted(str(p) for p in frames.iterdir())
    out = tmp_path / "out"
    first = subprocess.Popen([sys.executable, "-m", "qel_inspect", "run", RECIPE, "-", "-o", str(out), "--workers",
                              "1"], env=CHILD_ENV, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        first.stdin.write("".join(n + "\n" for n in names[:5]))
        first.stdin.flush()
        until(lambda: recorded(out) >= 5)
        second = command("run", RECIPE, frames, "-o", out)
        tuning = command("tune", RECIPE, "--good", frames / "0_good_01.jpg", "--bad", frames / "0_gap_in_bar.jpg",
                         "-o", out)
        watching = command("watch", RECIPE, frames, "-o", out, timeout=60)
        stdout, stderr = finish(first, stdin="".join(n + "\n" for n in names[5:]))
    finally:
        if first.poll() is None:
            first.kill()
    owner = "qel-inspect: %s is in use by another run (qel-inspect run, process %d, started " % (out, first.pid)
    for refused in (second, tuning, watching):
        assert refused.returncode == 2 and refused.stdout == ""
        assert refused.stderr.startswith(owner) and refused.stderr.count("\n") == 1, refused.stderr
        assert refused.stderr.endswith("); wait for it to end, or give another folder\n")
    # The first run lost nothing to the second.
    assert first.returncode == 2, stderr
    check_verdicts(records(out), 22)
    assert "22 frames: 8 passed, 8 rejected, 6 not inspected" in stdout


# --- damaged results, headers, folders -----------------------------------------------

THREE = ("good_01.jpg", "good_02.jpg", "gap_in_bar.jpg")


@pytest.fixture(scope="module")
def finished_run(tmp_path_factory):
    """A run of three frames, whole."""
    top = tmp_path_factory.mktemp("finished")
    frames = copies(top / "frames", 1, THREE)
    done = command("run", RECIPE, frames, "-o", top / "out")
    assert done.returncode == 1, done.stderr
    return frames, top / "out"


def damage(line):
    """The second record (good_02) made unreadable in several ways."""
    r = json.loads(line)
    return {"not JSON": line[:40] + "\n",
            "not an object": json.dumps([r["key"]]) + "\n",
            "no key": json.dumps({k: v for k, v in r.items() if k != "key"}) + "\n",
            "unknown status": json.dumps(dict(r, status="passed")) + "\n",
            "a box of text": json.dumps(dict(r, defects=[{"kind": "extra ink", "description": "x",
                                                         "box_frame": "1 2 3 4", "box_aligned": [1, 2, 3, 4],
                                                         "size": 3}])) + "\n",
            "nested too deeply": "[" * 100000 + "]" * 100000 + "\n"}


@pytest.mark.parametrize("how, reason", [
    ("not JSON", "not JSON (Unterminated string starting at: line 1 column 9 (char 8))"),
    ("not an object", "not a record (a JSON list)"),
    ("no key", "no 'key'"),
    ("unknown status", "unknown status 'passed'"),
    ("a box of text", "a defect's 'box_frame' is not four whole numbers"),
    ("nested too deeply", "not a record (nested too deeply)"),
])
def test_resume_skips_a_damaged_line_and_inspects_its_frame_again(finished_run, tmp_path, how, reason):
    frames, whole = finished_run
    out = tmp_path / "out"
    shutil.copytree(whole, out)
    lines = (whole / "results.jsonl").read_text().splitlines(keepends=True)
    order = [os.path.basename(json.loads(l)["frame"]) for l in lines]
    n = order.index("0_good_02.jpg")
    lines[n] = damage(lines[n])[how]
    (out / "results.jsonl").write_text("".join(lines))
    done = command("run", RECIPE, frames, "-o", out, "--resume")
    assert done.returncode == 1, done.stderr
    assert done.stderr == ("qel-inspect: %s line %d is damaged (%s): skipped, its frame is inspected again\n"
                           % (out / "results.jsonl", n + 1, reason))
    got = (out / "results.jsonl").read_text().splitlines(keepends=True)
    assert got[:3] == lines                                  # the damaged line is kept as it was
    again = json.loads(got[3])
    assert len(got) == 4 and (os.path.basename(again["frame"]), again["status"]) == ("0_good_02.jpg", "pass")
    assert "3 frames: 2 passed, 1 rejected, 0 not inspected" in done.stdout
    assert "0_good_02.jpg" in (out / "report.html").read_text()


@pytest.mark.parametrize("text, why", [("{\"recipe\": ", "Expecting value: line 1 column 12 (char 11)"),
                                        ("[]", "not a JSON object"), ("\xff", "'utf-8' codec can't decode byte "
                                                                             "0xff in position 0: invalid start byte")])
def test_a_damaged_header_is_one_line(finished_run, tmp_path, text, why):
    frames, whole = finished_run
    out = tmp_path / "out"
    shutil.copytree(whole, out)
    (out / "run.json").write_bytes(text.encode("latin-1"))
    before = (out / "results.jsonl").read_bytes()
    done = command("run", RECIPE, frames, "-o", out, "--resume")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == ("qel-inspect: %s is damaged (%s); the work in it cannot be continued: give another "
                           "folder or leave out --resume\n" % (out / "run.json", why))
    assert (out / "results.jsonl").read_bytes() == before
    report = command("report", out)
    assert report.returncode == 2 and report.stderr.startswith("qel-inspect: %s is damaged (" % (out / "run.json"))
    assert command("run", RECIPE, frames, "-o", out).returncode == 1          # a fresh run replaces it


def test_tune_resume_judges_a_frame_of_a_damaged_line_again(tmp_path):
    frames = os.path.join(DARK, "frames")
    args = ["tune", RECIPE, "--good", os.path.join(frames, "good_01.jpg"), "--bad",
            os.path.join(frames, "gap_in_bar.jpg"), "-o", tmp_path,
            "--grid", "threshold=40:80:20,max_shift=2,dirty_width=5"]
    assert command(*args).returncode == 0
    lines = (tmp_path / "tuning.jsonl").read_text().splitlines(keepends=True)
    lines[1] = json.dumps(dict(json.loads(lines[1]), threshold="60")) + "\n"
    (tmp_path / "tuning.jsonl").write_text("".join(lines))
    resumed = command(*args, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert resumed.stderr == ("qel-inspect: %s line 2 is damaged ('threshold' is not a whole number): skipped, its "
                              "frame is inspected again\n" % (tmp_path / "tuning.jsonl"))
    assert len((tmp_path / "tuning.jsonl").read_text().splitlines()) == 6 + 3
    (tmp_path / "tune.json").write_text("{")
    refused = command(*args, "--resume")
    assert refused.returncode == 2 and refused.stderr.startswith("qel-inspect: %s is damaged (" % (tmp_path /
                                                                                                   "tune.json"))


@pytest.fixture
def small_disk(tmp_path):
    """A tmpfs of 700 KiB mounted at tmp_path/disk for the test (unmounted
    after); skipped where mounting is not allowed."""
    disk = tmp_path / "disk"
    disk.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=700k", "tmpfs", str(disk)], capture_output=True,
                          text=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here (%s)" % done.stderr.strip())
    try:
        yield disk
    finally:
        subprocess.run(["umount", "-l", str(disk)], capture_output=True)


def leftovers(folder):
    return [os.path.join(d, f) for d, _, files in os.walk(folder) for f in files if ".part" in f]


def test_a_full_folder_stops_the_run_in_one_line_keeping_every_record_whole(small_disk, tmp_path):
    """Rejected frames' pictures fill the disk: one line, status 2, no
    partial file, every line whole and its pictures there; --resume
    finishes once there is room."""
    frames = copies(tmp_path / "frames", 6, ("gap_in_bar.jpg", "good_01.jpg"))
    out = small_disk / "out"
    done = command("run", RECIPE, frames, "-o", out, "--workers", 1)
    assert (done.returncode, done.stdout) == (2, ""), done.stderr
    kept = records(out)
    # Whichever file the disk fills up on: a picture, the database or the line.
    assert re.fullmatch(r"qel-inspect: cannot write %s/(marked/\S+|results\.sqlite|results\.jsonl) \((No space left "
                        r"on device|database or disk is full)\); the %d frames recorded are kept, whole \(--resume "
                        r"continues\)\n" % (re.escape(str(out)), len(kept)), done.stderr), done.stderr
    assert 0 < len(kept) < 12 and leftovers(out) == []
    for r in kept:
        assert r["status"] == "pass" or os.path.getsize(out / r["marked"]) > 0
    subprocess.run(["mount", "-o", "remount,size=20m", str(small_disk)], check=True)
    resumed = command("run", RECIPE, frames, "-o", out, "--resume", "--workers", 1)
    assert resumed.returncode == 1, resumed.stderr
    assert sorted(r["key"] for r in records(out)) == sorted(str(p) for p in frames.iterdir())


def test_a_read_only_folder_is_one_line_and_left_as_it_was(small_disk, tmp_path):
    frames = copies(tmp_path / "frames", 1, THREE)
    out = small_disk / "out"
    assert command("run", RECIPE, frames, "-o", out).returncode == 1
    before = {p: open(os.path.join(out, p), "rb").read() for p in ("results.jsonl", "run.json", "results.csv")}
    subprocess.run(["mount", "-o", "remount,ro", str(small_disk)], check=True)
    for extra in ([], ["--resume"]):
        done = command("run", RECIPE, frames, "-o", out, *extra)
        assert (done.returncode, done.stdout) == (2, "")
        assert done.stderr == "qel-inspect: cannot write into the output folder %s (Read-only file system)\n" % out
    assert {p: open(os.path.join(out, p), "rb").read() for p in before} == before


# --- bad recipes, FIFOs, devices, names --------------------------------------------------

@pytest.fixture
def folder(tmp_path):
    shutil.copy(os.path.join(DARK, "standard.png"), tmp_path / "standard.png")
    return tmp_path


@pytest.mark.parametrize("text, message", [
    ((open(RECIPE).read().replace("# Recipe", "# R\xe9cipe", 1)).encode("latin-1"),
     "not UTF-8 text (byte 0xe9 on line 1); save it as UTF-8"),
    (open(RECIPE).read().replace('"standard.png"', '"standard.png\\u0000.txt"').encode(),
     "key 'standard': holds a NUL character (\\0), which no file name can"),
    (open(RECIPE).read().replace("[bars]", "deep = " + "[" * 3000 + "]" * 3000 + "\n[bars]").encode(),
     "not a recipe (arrays or tables nested too deeply)"),
    (open(RECIPE).read().replace("min_match_score = 0.7", "min_match_score = nan").encode(),
     "key 'min_match_score': must be a number, not nan"),
    (open(RECIPE).read().replace("dirty_width = 5", "max_frame_pixels = 1000\ndirty_width = 5").encode(),
     "key 'max_frame_pixels': 1000 is below the 640x512 standard's 327680 pixels, so every frame would be "
     "refused"),
], ids=["not UTF-8", "NUL", "3000 deep", "nan", "limit below the standard"])
def test_bad_recipes_are_one_line(folder, text, message):
    (folder / "recipe.toml").write_bytes(text)
    done = command("run", folder / "recipe.toml", os.path.join(DARK, "frames"), "-o", folder / "out")
    assert (done.returncode, done.stdout, done.stderr) == (2, "", "qel-inspect: %s: %s\n"
                                                           % (folder / "recipe.toml", message))
    assert not (folder / "out").exists()


def test_fifos_devices_and_folders_are_not_read_as_files(folder):
    os.mkfifo(folder / "pipe.png")
    text = open(RECIPE).read()
    cases = [("standard = \"pipe.png\"", "key 'standard': cannot read 'pipe.png': unreadable (a FIFO, not a "
                                         "regular file)"),
             ("standard = \"/dev/zero\"", "key 'standard': cannot read '/dev/zero': unreadable (a character "
                                          "device, not a regular file)"),
             ("standard = \".\"", "key 'standard': cannot read '.': unreadable (a folder, not a regular file)")]
    for line, message in cases:
        (folder / "recipe.toml").write_text(text.replace('standard = "standard.png"', line))
        done = command("run", folder / "recipe.toml", os.path.join(DARK, "frames"), "-o", folder / "out", timeout=60)
        assert (done.returncode, done.stderr) == (2, "qel-inspect: %s: %s\n" % (folder / "recipe.toml", message))
    recipe = folder / "recipe.toml"
    recipe.write_text(text)
    done = command("run", folder / "pipe.png", os.path.join(DARK, "frames"), "-o", folder / "out", timeout=60)
    assert done.stderr == "qel-inspect: %s: cannot read (a FIFO, not a regular file)\n" % (folder / "pipe.png")
    # As a frame named on the command line: refused at once; on standard input: recorded as not inspected.
    done = command("run", recipe, folder / "pipe.png", "-o", folder / "out", timeout=60)
    assert (done.returncode, done.stderr) == (2, "qel-inspect: %s is a FIFO, not an image file\n"
                                              % (folder / "pipe.png"))
    good = os.path.join(DARK, "frames", "good_01.jpg")
    for workers in ("1", "2"):
        out = folder / ("out" + workers)
        done = command("run", recipe, "-", "-o", out, "--workers", workers, stdin="%s\n/dev/zero\n%s\n"
                       % (folder / "pipe.png", good), timeout=60)
        assert done.returncode == 2, done.stderr
        assert {r["frame"]: r["reason"] for r in records(out)} == {
            str(folder / "pipe.png"): "unreadable (a FIFO, not a regular file)",
            "/dev/zero": "unreadable (a character device, not a regular file)", good: None}


def test_names_reach_the_terminal_with_their_control_characters_escaped(tmp_path):
    frames = tmp_path / "frames"
    frames.mkdir()
    hostile = "\x1b[2J\x1b]0;owned\x07gap\rin\nbar\u202e.jpg"
    shutil.copy(os.path.join(DARK, "frames", "gap_in_bar.jpg"), frames / hostile)
    (frames / "text\x1b[31m.jpg").write_text("not a picture")
    done = command("run", RECIPE, frames, "-o", tmp_path / "out")
    assert done.returncode == 2, done.stderr
    shown = str(frames) + "/\\x1b[2J\\x1b]0;owned\\x07gap\\x0din\\x0abar\\u202e.jpg"
    assert "  reject  %s: missing ink " % shown in done.stdout
    assert "  error   %s/text\\x1b[31m.jpg: unreadable (not an image OpenCV can decode)" % frames in done.stdout
    missing = command("run", RECIPE, str(frames / "gone\x1bc.jpg"), "-o", tmp_path / "out2")
    assert missing.stderr == "qel-inspect: no such file or folder: %s/gone\\x1bc.jpg\n" % frames
    for text in (done.stdout, done.stderr, missing.stderr):
        assert not any(c in text for c in "\x1b\x07\r\u202e")


# --- sizes declared in headers ---------------------------------------------------------

def png_header(width, height, body=b""):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", body) + chunk(b"IEND", b""))


def test_a_32000_square_png_is_refused_from_its_header_without_allocating(tmp_path):
    bomb = png_header(32000, 32000, zlib.compress(b"\0" * (32001 * 300), 9))
    (tmp_path / "bomb.png").write_bytes(bomb)
    script = textwrap.dedent("""
        import resource, sys
        from qel_inspect import pipeline
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(3):
            try:
                pipeline.read_frame(sys.argv[1], 4 * 640 * 512)
            except pipeline.InspectionError as e:
                reason = str(e)
        print(reason)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "bomb.png")], env=CHILD_ENV,
                          capture_output=True, text=True, timeout=60)
    reason, grown = done.stdout.splitlines()
    assert reason == ("unreadable (too large: the PNG header declares 32000x32000 pixels, more than the limit of "
                      "1310720 (set max_frame_pixels in the recipe to allow more))")
    assert int(grown) < 64 * 1024, "KiB"                         # a decoded frame would be 1 000 000 KiB
    # In a run: that frame is not inspected, the others are; a recipe's limit counts instead of the default.
    frames = copies(tmp_path / "frames", 1, ("good_01.jpg",))
    shutil.copy(tmp_path / "bomb.png", frames / "bomb.png")
    cv2.imwrite(str(frames / "wide.png"), np.zeros((512, 1400), np.uint8))
    done = command("run", RECIPE, frames, "-o", tmp_path / "out", "--workers", 2)
    assert {os.path.basename(r["frame"]): r["reason"] for r in records(tmp_path / "out")} == {
        "0_good_01.jpg": None, "bomb.png": reason, "wide.png": "wrong size (1400x512, the standard is 640x512)"}
    shutil.copy(os.path.join(DARK, "standard.png"), tmp_path / "standard.png")
    (tmp_path / "recipe.toml").write_text(open(RECIPE).read().replace("dirty_width = 5", "dirty_width = 5\n"
                                                                      "max_frame_pixels = 400000"))
    done = command("run", tmp_path / "recipe.toml", frames / "wide.png", "-o", tmp_path / "limited")
    assert [r["reason"] for r in records(tmp_path / "limited")] == [
        "unreadable (too large: the PNG header declares 1400x512 pixels, more than the limit of 400000 (set "
        "max_frame_pixels in the recipe to allow more))"]


# Each format's header cut where it is still recognised, but not whole.
CUT = {".png": 20, ".jpg": 4, ".bmp": 20, ".tif": 6, ".webp": 20, ".jp2": 16, ".pgm": 5, ".ppm": 5, ".pam": 20,
       ".ras": 8}
FORMATS = sorted(CUT)


@pytest.mark.parametrize("ext", FORMATS)
def test_headers_of_every_format_give_the_size_decoding_would(ext):
    for shape in ((37, 53), (300, 200, 3)):
        image = np.random.default_rng(1).integers(0, 255, shape, np.uint8)
        if ext == ".pgm" and image.ndim == 3 or ext == ".ppm" and image.ndim == 2:
            continue
        # The raster encoder reads a byte past an odd-width image: give it a spare row to read.
        room = np.zeros((shape[0] + 1,) + shape[1:], np.uint8)
        room[:-1] = image
        data = cv2.imencode(ext, room[:-1])[1].tobytes()
        assert images.declared(data)[1:] == (shape[1], shape[0])
        assert images.decode(data).shape == shape[:2]
        with pytest.raises(images.Unreadable, match="header is cut short or damaged"):
            images.declared(data[:CUT[ext]])
        with pytest.raises(images.Unreadable, match=r"^too large: the \S+( \S+)? header declares %dx%d pixels, "
                                                    r"more than the limit of 100 " % (shape[1], shape[0])):
            images.decode(data, 100)
    assert images.declared(b"") is None and images.declared(b"GIF89a") is None


def test_damaged_images_make_no_noise_on_the_terminal(tmp_path):
    """libpng and libjpeg complain on standard error about damaged files:
    not on the command's, whether the frame is read by the command itself
    (one frame) or by workers."""
    data = cv2.imencode(".png", cv2.imread(os.path.join(DARK, "standard.png"), cv2.IMREAD_GRAYSCALE))[1].tobytes()
    frames = tmp_path / "frames"
    frames.mkdir()
    (frames / "cut.png").write_bytes(data[:len(data) // 2])
    (frames / "filter.png").write_bytes(data[:200] + b"\x7f" * 50 + data[250:])
    jpeg = open(os.path.join(DARK, "frames", "good_01.jpg"), "rb").read()
    (frames / "garbage.jpg").write_bytes(jpeg[:2000] + b"\0" * 3000 + jpeg[5000:])
    for target, workers in ((frames / "cut.png", "1"), (frames, "2")):
        done = command("run", RECIPE, target, "-o", tmp_path / ("out" + workers), "--workers", workers)
        assert done.returncode == 2 and only_progress(done.stderr), done.stderr
    got = {os.path.basename(r["frame"]): r["reason"] for r in records(tmp_path / "out2")}
    assert got["cut.png"] == got["filter.png"] == "unreadable (a damaged PNG image)"


@pytest.mark.parametrize("address, message", [
    ("", "--scheduler: the address is empty (give tcp://HOST:PORT, as tcp://127.0.0.1:8786)"),
    ("not a url", "--scheduler: 'not a url' is not a scheduler address (give tcp://HOST:PORT, as "
                  "tcp://127.0.0.1:8786)"),
    ("tcp://127.0.0.1:99999", "--scheduler: 'tcp://127.0.0.1:99999' is not a scheduler address (give "
                              "tcp://HOST:PORT, as tcp://127.0.0.1:8786)"),
    ("ftp://host:21", "--scheduler: 'ftp://host:21' is not a scheduler address (give tcp://HOST:PORT, as "
                      "tcp://127.0.0.1:8786)"),
])
def test_a_scheduler_address_of_the_wrong_form_is_refused_before_connecting(tmp_path, address, message):
    done = command("run", RECIPE, os.path.join(DARK, "frames"), "-o", tmp_path / "out", "--scheduler", address,
                   timeout=30)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", "qel-inspect: %s\n" % message)
    assert not (tmp_path / "out").exists()


def test_a_stop_the_loop_cannot_hear_cuts_the_command_short_after_a_grace():
    """Whatever holds the loop up, SIGTERM ends the command: after
    GRACE_SECONDS the stop is no longer a request."""
    script = textwrap.dedent("""
        import os, signal, time
        from qel_inspect.driver import GRACE_SECONDS, Stop
        started = time.monotonic()
        try:
            with Stop() as stop:
                os.kill(os.getpid(), signal.SIGTERM)
                time.sleep(120)                  # a loop that never comes to its next turn
        except KeyboardInterrupt:
            print("cut short", stop.asked, time.monotonic() - started >= GRACE_SECONDS)
    """)
    done = subprocess.run([sys.executable, "-c", script], env=CHILD_ENV, capture_output=True, text=True, timeout=60)
    assert done.stdout == "cut short True True\n", done.stderr


def test_a_pool_stopped_with_frames_queued_as_bytes_lets_its_process_exit(tmp_path):
    """Frames given as bytes fill the pipe to the workers; once the pool is
    stopped nobody reads it, and the process must still exit."""
    script = textwrap.dedent("""
        import sys
        from qel_inspect import executors, recipe, run, tasks
        from qel_inspect.driver import Stop, drive
        from qel_inspect.sources import Frame

        def frames(data):
            n = 0
            while True:
                n += 1
                yield Frame("f%d" % n, "f%d" % n, "marked/f%d.png" % n, data)

        if __name__ == "__main__":
            rec, _ = recipe.load(sys.argv[1])
            data = open(sys.argv[2], "rb").read() + b"\\0" * 200000      # trailing bytes JPEG readers skip
            executor = executors.LocalExecutor(2, tasks.make_job(rec))
            with Stop() as stop:
                for n, (frame, (record, _)) in enumerate(drive(frames(data), executor, run.inspect_task(), stop)):
                    if n == 5:
                        break
            print(record.status)
    """)
    (tmp_path / "stopped.py").write_text(script)
    done = subprocess.run([sys.executable, str(tmp_path / "stopped.py"), RECIPE,
                           os.path.join(DARK, "frames", "good_01.jpg")], env=CHILD_ENV, capture_output=True, text=True,
                          timeout=90)
    assert (done.returncode, done.stdout) == (0, "pass\n"), done.stderr

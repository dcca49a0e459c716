"""The station's core: sources, the driver's bound on frames in flight, a
worker that dies, a check added from outside, exit statuses, and a layout
without import cycles."""
import ast
import concurrent.futures as cf
import io
import os
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import CHILD_ENV
from qel_inspect import cli, executors, recipe, report, run, tasks
from qel_inspect.driver import Stop, Task, drive
from qel_inspect.sources import Frame, Source
from test_inspect_run import FRAMES, TIMEOUT, records

DARK = os.path.join(FRAMES, "dark")
PACKAGE = os.path.dirname(os.path.abspath(run.__file__))


def command(*args, stdin=None, env=None):
    return subprocess.run([sys.executable, "-m", "qel_inspect"] + [str(a) for a in args], input=stdin,
                          env=env or CHILD_ENV, capture_output=True, text=True, timeout=TIMEOUT)


def test_paths_on_standard_input(tmp_path):
    frames = os.path.join(DARK, "frames")
    names = ["good_01.jpg", "gap_in_bar.jpg", "good_01.jpg"]
    lines = "".join(os.path.join(frames, n) + "\n" for n in names) + "\n" + str(tmp_path / "gone.jpg") + "\n"
    done = command("run", os.path.join(DARK, "recipe.toml"), "-", "-o", tmp_path / "out", "--workers", 1, stdin=lines)
    assert done.returncode == 2, done.stderr
    got = {os.path.basename(r["frame"]): (r["status"], r["reason"]) for r in records(tmp_path / "out")}
    assert got == {"good_01.jpg": ("pass", None), "gap_in_bar.jpg": ("reject", None),
                   "gone.jpg": ("error", "unreadable (No such file or directory)")}
    assert "3 frames: 1 passed, 1 rejected, 1 not inspected" in done.stdout
    mixed = command("run", os.path.join(DARK, "recipe.toml"), "-", frames, "-o", tmp_path / "mixed")
    assert (mixed.returncode, mixed.stderr) == (2, "qel-inspect: '-' (paths on standard input) cannot be mixed "
                                                   "with other targets\n")


class Endless(Source):
    """The same frame's bytes under new keys, for ever; counts how many
    were taken."""

    def __init__(self, data):
        self.data, self.taken = data, 0

    def __iter__(self):
        while True:
            self.taken += 1
            if self.taken > 500:
                raise RuntimeError("read far ahead of the frames finished")
            yield Frame("frame-%d" % self.taken, "frame-%d" % self.taken, "marked/f%d.png" % self.taken, self.data)


def test_an_endless_source_is_read_only_as_fast_as_frames_finish():
    rec, _ = recipe.load(os.path.join(DARK, "recipe.toml"))
    with open(os.path.join(DARK, "frames", "good_01.jpg"), "rb") as f:
        source = Endless(f.read())
    executor = executors.LocalExecutor(2, tasks.make_job(rec))
    bound = executor.capacity() + 2
    finished, most = [], 0
    with Stop() as stop:
        frames = drive(source, executor, run.inspect_task(), stop)
        try:
            for frame, (record, _) in frames:
                finished.append(record)
                most = max(most, source.taken - len(finished))
                if len(finished) == 30:
                    break
        finally:
            frames.close()          # stops the workers now, not when the generator is collected
    assert [r.status for r in finished] == ["pass"] * 30
    assert len({r.key for r in finished}) == 30
    assert 0 < most <= bound, most


TOY_CHECK = '''
"""A check from outside the station: the mean grey level of a corner of the
aligned frame, and a worker that dies on a frame whose corner is black."""
import os
import signal

from qel_inspect import validate
from qel_inspect.checks import Findings, defect

NAME = "toy"


def parse(table):
    validate.only("toy", table, ("limit",))
    return validate.number("limit", table.get("limit", 300), 0)


def run(aligned, limit):
    corner = aligned.frame[:8, :8]
    if corner.max() == 0:
        os.kill(os.getpid(), signal.SIGKILL)
    mean = float(corner.mean())
    found = [defect(aligned, "toy glare", "corner %.0f" % mean, [0, 0, 8, 8])] if mean > limit else []
    return Findings(found, {"corner_mean": round(mean, 1)})
'''


@pytest.fixture
def toy_setup(tmp_path):
    """A recipe of the dark frames that also runs a check module written
    here, and frames: three copies of good ones, one with a black corner."""
    (tmp_path / "checks").mkdir()
    (tmp_path / "checks" / "toy_check.py").write_text(TOY_CHECK)
    text = open(os.path.join(DARK, "recipe.toml")).read().replace("[bars]", 'checks = ["compare", "toy_check"]\n\n'
                                                                            "[bars]")
    shutil.copy(os.path.join(DARK, "standard.png"), tmp_path / "standard.png")
    (tmp_path / "recipe.toml").write_text(text + "\n[toy]\nlimit = 200\n")
    frames = tmp_path / "frames"
    frames.mkdir()
    import cv2
    good = cv2.imread(os.path.join(DARK, "frames", "good_01.jpg"), cv2.IMREAD_GRAYSCALE)
    for i in range(6):
        cv2.imwrite(str(frames / ("good_%d.png" % i)), good)
    bright = good.copy()
    bright[:8, :8] = 255
    cv2.imwrite(str(frames / "glare.png"), bright)
    good[:8, :8] = 0
    cv2.imwrite(str(frames / "poison.png"), good)
    env = dict(CHILD_ENV, PYTHONPATH=os.pathsep.join([str(tmp_path / "checks"), CHILD_ENV.get("PYTHONPATH", "")]))
    return tmp_path, env


def test_a_check_module_from_outside_runs_and_a_worker_it_kills_costs_one_frame(toy_setup):
    top, env = toy_setup
    done = command("run", top / "recipe.toml", top / "frames", "-o", top / "out", "--workers", 2, env=env)
    assert done.returncode == 2, done.stderr
    got = {os.path.basename(r["frame"]): r for r in records(top / "out")}
    assert len(records(top / "out")) == len(got) == 8                    # each frame once
    assert {n: r["status"] for n, r in got.items()} == dict({"good_%d.png" % i: "pass" for i in range(6)},
                                                            **{"glare.png": "reject", "poison.png": "error"})
    # Killed alone once more after the pool broke: then given up with the reason.
    assert got["poison.png"]["reason"] == "worker died (signal 9, SIGKILL)"
    [glare] = got["glare.png"]["defects"]
    assert (glare["kind"], glare["box_aligned"]) == ("toy glare", [0, 0, 8, 8])
    # Taken back through the frame's tilt and shift to where the camera saw it.
    assert glare["box_frame"] == [0, 6, 6, 16]
    assert got["glare.png"]["corner_mean"] == 255.0 and got["good_0.png"]["corner_mean"] < 200
    # A bad table of the outside check is refused like any recipe key.
    (top / "recipe.toml").write_text((top / "recipe.toml").read_text().replace("limit = 200", "limt = 200"))
    refused = command("run", top / "recipe.toml", top / "frames", "-o", top / "out2", env=env)
    assert (refused.returncode, refused.stderr) == (
        2, "qel-inspect: %s: key 'toy.limt': unknown key (did you mean 'toy.limit'?)\n" % (top / "recipe.toml"))


def test_unknown_check_is_a_recipe_error(tmp_path, capsys):
    shutil.copy(os.path.join(DARK, "standard.png"), tmp_path / "standard.png")
    text = open(os.path.join(DARK, "recipe.toml")).read().replace("[bars]", 'checks = ["compare", "streak"]\n[bars]')
    (tmp_path / "recipe.toml").write_text(text)
    assert cli.main(["run", str(tmp_path / "recipe.toml"), DARK, "-o", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.startswith("qel-inspect: %s: key 'checks': unknown check 'streak' (the checks are compare"
                          % (tmp_path / "recipe.toml")) and err.count("\n") == 1


def test_a_fault_of_the_tool_is_status_3_with_its_traceback_in_a_log(tmp_path, capsys, monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("the report template is broken\nsecond line")

    monkeypatch.setattr(report, "write", broken)
    status = cli.main(["run", os.path.join(DARK, "recipe.toml"), os.path.join(DARK, "frames", "good_01.jpg"),
                       "-o", str(tmp_path / "out")])
    err = capsys.readouterr().err
    assert status == 3
    assert err.startswith("qel-inspect: internal error: RuntimeError: the report template is broken (the "
                          "traceback is in ") and err.count("\n") == 1
    log = err.rsplit("(the traceback is in ", 1)[1].rstrip(")\n")
    try:
        text = open(log).read()
        assert "Traceback (most recent call last)" in text and "in broken" in text and "second line" in text
    finally:
        os.remove(log)
    # The frame was recorded before the report failed.
    assert [r["status"] for r in records(tmp_path / "out")] == ["pass"]


def test_an_output_folder_under_a_file_is_one_line_and_status_2(tmp_path):
    (tmp_path / "afile").write_text("")
    done = command("run", os.path.join(DARK, "recipe.toml"), os.path.join(DARK, "frames", "good_01.jpg"),
                   "-o", tmp_path / "afile" / "out")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == "qel-inspect: cannot make the output folder %s (Not a directory)\n" % (
        tmp_path / "afile" / "out")


def top_level_imports(path, package):
    """The station modules a module imports when it is loaded (imports
    inside functions are made when needed, not at load)."""
    tree = ast.parse(open(path).read())
    here = os.path.relpath(path, os.path.dirname(PACKAGE))[:-3].replace(os.sep, ".")
    if here.endswith(".__init__"):
        here = here[:-9]
    parts = here.split(".")
    base = parts if path.endswith("__init__.py") else parts[:-1]
    out = set()
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.level:
            root = base[:len(base) - node.level + 1]
            mod = ".".join(root + ([node.module] if node.module else []))
            names = [mod + "." + a.name for a in node.names]
            out.update(n for n in names + [mod] if n.startswith(package))
        elif isinstance(node, ast.ImportFrom) and node.module and node.module.startswith(package):
            out.add(node.module)
    return here, out


def test_no_station_module_imports_one_that_imports_it_back():
    graph = {}
    for folder, _, files in os.walk(PACKAGE):
        for f in files:
            if f.endswith(".py"):
                name, deps = top_level_imports(os.path.join(folder, f), "qel_inspect")
                graph[name] = deps
    graph = {m: {d for d in deps if d in graph and d != m} for m, deps in graph.items()}
    state = {}

    def visit(m, path):
        state[m] = "open"
        for d in sorted(graph[m]):
            if state.get(d) == "open":
                raise AssertionError("import cycle: " + " -> ".join(path + [m, d]))
            if d not in state:
                visit(d, path + [m])
        state[m] = "done"

    for m in sorted(graph):
        if m not in state:
            visit(m, [])
    assert "qel_inspect.checks.compare" in graph and "qel_inspect.sources.lines" in graph


def test_a_one_frame_run_loads_no_report_machinery_before_the_report(tmp_path):
    """One frame is inspected in the command's own process, and the heavy
    libraries only the report or a cluster need are not loaded before."""
    script = textwrap.dedent("""
        import sys
        from qel_inspect import cli, executors, report
        seen = {}
        original = report.write
        def write(*a, **k):
            seen["modules"] = sorted(m for m in ("jinja2", "matplotlib", "distributed", "tqdm") if m in sys.modules)
            return original(*a, **k)
        report.write = write
        pools = []
        executors.LocalExecutor = lambda *a, **k: pools.append(1)
        status = cli.main(["run", %r, %r, "-o", %r])
        print(status, seen["modules"], pools)
    """ % (os.path.join(DARK, "recipe.toml"), os.path.join(DARK, "frames", "good_01.jpg"), str(tmp_path / "o")))
    done = subprocess.run([sys.executable, "-c", script], env=CHILD_ENV, capture_output=True, text=True,
                          timeout=TIMEOUT)
    assert done.stdout.splitlines()[-1] == "0 [] []", done.stderr


class Broken(Exception):
    """A fake pool's BrokenProcessPool."""


class BreakingPool:
    """An executor whose pool breaks when the frame "poison" runs. As a
    real pool does, it tells of the break through the poison's future
    first; the other frames in flight hear of it only when the pool is
    restarted. Until its first restart frames finish only then, so several
    are in flight when it breaks."""
    Lost, Killed, remote = (Broken,), (), False

    def __init__(self):
        self.pending, self.starts = [], 0

    def capacity(self):
        return 4

    def check(self):
        pass

    def stalled(self):
        return False

    def death(self):
        return "worker died (signal 9, SIGKILL)"

    def submit(self, fn, key):
        future = cf.Future()
        if key == "poison":
            future.set_exception(Broken())
        elif self.starts:
            future.set_result(key)
        else:
            self.pending.append(future)
        return future

    def restart(self):
        self.starts += 1
        for future in self.pending:
            future.set_exception(Broken())
        self.pending = []

    stop = close = lambda self: None


def test_frames_in_flight_when_a_pool_breaks_are_all_recorded():
    keys = ["a", "b", "poison", "c", "d", "e"]
    task = Task(fn=None, args=lambda frame, data: (frame.key,), failed=lambda frame, reason: "failed: " + reason)
    got = []
    with Stop() as stop:
        # A loop that lost a frame would wait for it for good: stop it then.
        timer = threading.Timer(30, setattr, (stop, "asked", True))
        timer.start()
        try:
            for frame, result in drive([Frame(k, k, k) for k in keys], BreakingPool(), task, stop):
                got.append((frame.key, result))
        finally:
            timer.cancel()
    assert sorted(got) == sorted([(k, k) for k in keys if k != "poison"]
                                 + [("poison", "failed: worker died (signal 9, SIGKILL)")])


class SilentPool(BreakingPool):
    """A pool that never hears of its dead worker: the poison's future and
    those beside it wait for good, and only `stalled()` tells."""

    def submit(self, fn, key):
        future = cf.Future()
        if key == "poison" or not self.starts:
            self.pending.append(future)
            self.dead = self.dead or key == "poison"
        else:
            future.set_result(key)
        return future

    def stalled(self):
        return self.dead

    def restart(self):
        self.starts += 1
        self.pending, self.dead = [], False

    dead = False


def test_frames_of_a_worker_dead_unheard_of_are_recorded_too():
    keys = ["a", "b", "poison", "c", "d", "e"]
    task = Task(fn=None, args=lambda frame, data: (frame.key,), failed=lambda frame, reason: "failed: " + reason)
    with Stop() as stop:
        timer = threading.Timer(30, setattr, (stop, "asked", True))
        timer.start()
        try:
            got = [(frame.key, result) for frame, result in drive([Frame(k, k, k) for k in keys], SilentPool(),
                                                                   task, stop)]
        finally:
            timer.cancel()
    assert sorted(got) == sorted([(k, k) for k in keys if k != "poison"]
                                 + [("poison", "failed: worker died (signal 9, SIGKILL)")])


def test_a_local_pool_sees_a_dead_worker_it_has_already_reaped():
    rec, _ = recipe.load(os.path.join(DARK, "recipe.toml"))
    executor = executors.LocalExecutor(1, tasks.make_job(rec))
    try:
        assert executor.submit(str).result(timeout=TIMEOUT) == "None"
        assert not executor.stalled()
        worker, = executor.known
        os.kill(worker.pid, signal.SIGKILL)
        deadline = time.monotonic() + TIMEOUT
        while not executor.stalled():
            assert time.monotonic() < deadline, "a dead worker went unseen"
            time.sleep(0.05)
        executor.restart()
        assert not executor.stalled()
    finally:
        executor.stop()


def test_a_result_cut_short_by_a_killed_worker_does_not_keep_the_command_from_ending():
    """The pool's thread, left reading half a result, would keep the
    interpreter from exiting; stopping the pool ends it."""
    rec, _ = recipe.load(os.path.join(DARK, "recipe.toml"))
    executor = executors.LocalExecutor(1, tasks.make_job(rec))
    try:
        assert executor.submit(str).result(timeout=TIMEOUT) == "None"
        thread = executor.pool._executor_manager_thread
        # What a worker killed while sending leaves: a length, then part of what it promised.
        os.write(executor.pool._result_queue._writer.fileno(), struct.pack("!i", 1000) + b"cut short")
        time.sleep(0.5)
        assert thread.is_alive()
    finally:
        executor.stop()
    thread.join(TIMEOUT)
    assert not thread.is_alive()


def test_the_plain_progress_line_catches_up_after_a_burst_and_stops_with_the_command(monkeypatch):
    # Off a terminal (a watch's log) the line is held back between frames;
    # a burst followed by a quiet belt must still end up counted.
    from qel_inspect import progress

    monkeypatch.setattr(progress, "PLAIN_SECONDS", 0.3)
    out = io.StringIO()
    shown = progress.Progress(None, 0, out)
    for status in ("pass", "reject", "error"):
        shown.update(status)
    deadline = time.monotonic() + 5
    while not out.getvalue() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.4)
    assert len(out.getvalue().splitlines()) == 1
    assert out.getvalue().startswith("qel-inspect: inspecting 3 frames, 1 rejected, 1 not inspected,")
    quiet = io.StringIO()
    closed = progress.Progress(10, 0, quiet)
    closed.update("pass")
    closed.close()
    time.sleep(0.5)
    assert quiet.getvalue() == ""

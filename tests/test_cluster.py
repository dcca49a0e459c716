"""Batches on a Dask cluster started here on 127.0.0.1 (a scheduler and two
worker processes, one with two threads), stopped at the end whatever
happens: the same results as a local run, a worker killed mid-batch, a
scheduler that cannot be reached, and no Dask without --scheduler."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

from test_inspect_run import ENV, FRAMES, TIMEOUT, comparable, qel_inspect, records

DARK = os.path.join(FRAMES, "dark")
# The test process watches the cluster through a client of its own.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
START_SECONDS = 30


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    def __init__(self, top):
        if not (os.path.exists("/usr/bin/dask-scheduler") and os.path.exists("/usr/bin/dask-worker")):
            pytest.skip("python3-distributed is not installed")
        self.top = top
        self.cwd = top / "workers-cwd"       # must stay empty: the workers write nothing where they run
        self.cwd.mkdir()
        self.processes = []
        self.address = "tcp://127.0.0.1:%d" % free_port()
        self.start("scheduler", ["/usr/bin/dask-scheduler", "--host", "127.0.0.1", "--port",
                                 self.address.rsplit(":", 1)[1], "--no-dashboard"])
        self.workers = [self.start("worker-%d" % n, self.worker_command(n, threads)) for n, threads in ((1, 2), (2, 1))]
        self.wait_for(2)

    def worker_command(self, n, threads):
        # No nanny: the process killed is the worker itself, and it stays dead.
        return ["/usr/bin/dask-worker", self.address, "--nthreads", str(threads), "--no-nanny", "--no-dashboard",
                "--local-directory", str(self.top / ("space-%d" % n)), "--name", "worker-%d" % n]

    def start(self, name, command):
        log = open(self.top / (name + ".log"), "w")
        p = subprocess.Popen(command, cwd=self.cwd, env=ENV, stdout=log, stderr=subprocess.STDOUT)
        p.log = self.top / (name + ".log")
        self.processes.append(p)
        return p

    def info(self):
        """{worker name: tasks it is processing} as the scheduler sees it."""
        workers = self.client.scheduler_info()["workers"]
        processing = self.client.processing()
        return {w["name"]: len(processing.get(a, ())) for a, w in workers.items()}

    def wait_for(self, count):
        import distributed
        deadline = time.monotonic() + START_SECONDS
        while True:
            try:
                self.client = distributed.Client(self.address, timeout=5, set_as_default=False)
                break
            except OSError:
                assert time.monotonic() < deadline, "the scheduler did not start: %s" % self.logs()
        try:
            self.client.wait_for_workers(count, timeout=START_SECONDS)
        except Exception:
            raise AssertionError("the workers did not start: %s" % self.logs())

    def logs(self):
        return {p.log.name: p.log.read_text()[-2000:] for p in self.processes}

    def stop(self):
        if getattr(self, "client", None) is not None:
            self.client.close()
        for p in self.processes:
            if p.poll() is None:
                p.kill()
        for p in self.processes:
            p.wait(10)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    c = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        yield c
    finally:
        c.stop()


def copies(folder, rounds):
    """`rounds` copies of the bundled dark-on-light frames."""
    folder.mkdir()
    source = os.path.join(DARK, "frames")
    for i in range(rounds):
        for name in os.listdir(source):
            shutil.copy(os.path.join(source, name), folder / ("%02d_%s" % (i, name)))
    return folder


def test_cluster_run_and_tune_equal_local_ones(cluster, tmp_path):
    frames = os.path.join(DARK, "frames")
    recipe = os.path.join(DARK, "recipe.toml")
    local = qel_inspect("run", recipe, frames, "-o", tmp_path / "local", "--workers", 1)
    remote = qel_inspect("run", recipe, frames, "-o", tmp_path / "remote", "--scheduler", cluster.address)
    assert (local.returncode, remote.returncode) == (2, 2), remote.stderr
    assert comparable(tmp_path / "remote") == comparable(tmp_path / "local")
    assert sorted(os.listdir(tmp_path / "remote" / "marked")) == sorted(os.listdir(tmp_path / "local" / "marked"))
    assert remote.stdout.splitlines()[:-1] == local.stdout.splitlines()[:-1]

    tune = ["tune", recipe, "--good", os.path.join(frames, "good_0*"), "--bad", os.path.join(frames, "gap_*"),
            os.path.join(frames, "blot_*"), os.path.join(frames, "thick_*"),
            "--grid", "threshold=40:80:20,max_shift=1:2,dirty_width=5,9"]
    local = qel_inspect(*tune, "-o", tmp_path / "tune-local", "--workers", 1)
    remote = qel_inspect(*tune, "-o", tmp_path / "tune-remote", "--scheduler", cluster.address)
    assert (local.returncode, remote.returncode) == (0, 0), remote.stderr
    lines = [sorted(json.dumps({k: v for k, v in json.loads(line).items() if k != "seconds"}, sort_keys=True)
                    for line in (tmp_path / out / "tuning.jsonl").read_text().splitlines())
             for out in ("tune-local", "tune-remote")]
    assert lines[0] == lines[1] and len(lines[0]) == 8 * 12
    assert remote.stdout.splitlines()[:-1] == local.stdout.splitlines()[:-1]

    # The library's lines stayed captured in the threaded worker, and nothing was written where the workers run.
    assert not any("Out of range bar" in text for text in cluster.logs().values())
    assert os.listdir(cluster.cwd) == []


def test_unreachable_scheduler_is_one_line_and_status_2(tmp_path):
    address = "tcp://127.0.0.1:%d" % free_port()
    started = time.monotonic()
    done = qel_inspect("run", os.path.join(DARK, "recipe.toml"), os.path.join(DARK, "frames"), "-o", tmp_path / "out",
                       "--scheduler", address)
    assert done.returncode == 2
    assert done.stderr.startswith("qel-inspect: cannot reach the scheduler at %s: " % address)
    assert done.stderr.count("\n") == 1 and done.stdout == ""
    assert not (tmp_path / "out").exists()
    assert time.monotonic() - started < TIMEOUT


def test_no_dask_without_a_scheduler(tmp_path):
    frames = os.path.join(DARK, "frames")
    script = ("import sys; from qel_inspect import cli; "
              "cli.main(['run', %r, %r, '-o', %r, '--workers', '1']); "
              "cli.main(['tune', %r, '--good', %r, '--bad', %r, '-o', %r, '--workers', '1', '--grid', 'threshold=60']); "
              "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
              % (os.path.join(DARK, "recipe.toml"), os.path.join(frames, "good_01.jpg"), str(tmp_path / "run"),
                 os.path.join(DARK, "recipe.toml"), os.path.join(frames, "good_01.jpg"),
                 os.path.join(frames, "gap_in_bar.jpg"), str(tmp_path / "tune")))
    done = subprocess.run([sys.executable, "-c", script], env=ENV, capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "[]"


def test_a_worker_killed_mid_batch_loses_and_repeats_no_frame(cluster, tmp_path):
    """Runs last: the killed worker stays dead."""
    frames = copies(tmp_path / "frames", 8)
    recipe = os.path.join(DARK, "recipe.toml")
    out = tmp_path / "out"
    run = subprocess.Popen([sys.executable, "-m", "qel_inspect", "run", recipe, str(frames), "-o", str(out),
                            "--scheduler", cluster.address], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True)
    try:
        victim = cluster.workers[1]
        deadline = time.monotonic() + TIMEOUT
        # Kill it while it holds frames, after the first records are in.
        while True:
            assert time.monotonic() < deadline and run.poll() is None, "the batch ended before the kill"
            path = out / "results.jsonl"
            if path.exists() and path.read_text().count("\n") >= 5 and cluster.info().get("worker-2", 0) > 0:
                break
            time.sleep(0.05)
        victim.send_signal(signal.SIGKILL)
        stdout, stderr = run.communicate(timeout=TIMEOUT)
    finally:
        if run.poll() is None:
            run.kill()
    assert run.returncode == 2, stderr
    assert victim.wait(10) == -signal.SIGKILL
    got = records(out)
    assert len(got) == len({r["key"] for r in got}) == 88
    whole = qel_inspect("run", recipe, frames, "-o", tmp_path / "whole", "--workers", 2)
    assert whole.returncode == 2
    assert comparable(out) == comparable(tmp_path / "whole")
    assert "88 frames: 32 passed, 32 rejected, 24 not inspected" in stdout


class FakeClient:
    """What DaskExecutor.check reads of a client: its status and the workers."""
    status = "running"

    def __init__(self):
        self.workers = {"tcp://w1": {"nthreads": 2}}

    def scheduler_info(self):
        return {"workers": dict(self.workers)}


def test_a_cluster_without_workers_for_too_long_is_given_up(monkeypatch):
    """Not at once (workers come back), but once WORKERS_SECONDS have gone
    by with none: otherwise the batch would wait for good."""
    cluster = pytest.importorskip("qel_inspect.cluster")
    from qel_inspect import executors

    now = [1000.0]
    monkeypatch.setattr(cluster.time, "monotonic", lambda: now[0])
    executor = object.__new__(cluster.DaskExecutor)
    executor.address, executor.client = "tcp://127.0.0.1:1", FakeClient()
    executor.threads, executor.counted, executor.unwell_since = 0, 0.0, None
    executor.check()
    executor.client.workers = {}
    for step in (cluster.REFRESH_SECONDS, cluster.WORKERS_SECONDS - 1):
        now[0] += step
        executor.check()                         # gone a while, not too long
    now[0] += cluster.REFRESH_SECONDS + 1
    with pytest.raises(executors.Gone, match="^no workers left on the cluster at tcp://127.0.0.1:1$"):
        executor.check()
    # One coming back in time resets the clock.
    executor.unwell_since = None
    executor.check()
    now[0] += cluster.WORKERS_SECONDS
    executor.client.workers = {"tcp://w2": {"nthreads": 1}}
    now[0] += cluster.REFRESH_SECONDS
    executor.check()
    executor.client.workers = {}
    now[0] += cluster.REFRESH_SECONDS
    executor.check()
    assert executor.unwell_since == now[0]
    executor.client.status = "closed"
    now[0] += cluster.WORKERS_SECONDS + 1
    with pytest.raises(executors.Gone, match="^lost the connection to the scheduler at tcp://127.0.0.1:1$"):
        executor.check()



class LostFuture:
    """A Dask future whose result went with its worker before it was
    fetched: "lost" until the scheduler has it computed again, or for good
    when the client closes meanwhile."""

    def __init__(self, value, recomputed, closes):
        self.key, self.status, self.value = "k", "lost", value
        self.recomputed, self.closes = recomputed, closes

    def add_done_callback(self, fn):
        fn(self)

    def exception(self):
        assert self.recomputed.wait(TIMEOUT)
        if self.closes:
            raise OSError("the client closed")
        self.status = "finished"

    def result(self):
        assert self.status == "finished"
        return self.value


def test_a_result_lost_with_its_worker_is_waited_for_not_taken_as_none():
    cluster = pytest.importorskip("qel_inspect.cluster")
    import threading
    from qel_inspect import executors

    executor = object.__new__(cluster.DaskExecutor)
    executor.address, executor.ref, executor.pending, executor.lock = "tcp://127.0.0.1:1", "job", {}, threading.Lock()
    for closes in (False, True):
        recomputed = threading.Event()
        executor.client = type("Client", (), {"submit": lambda self, fn, ref, *args, pure:
                                              LostFuture(("record", {}), recomputed, closes)})()
        out = executor.submit(len, "frame")
        assert not out.done()                    # the callback fired while lost: nothing yet
        recomputed.set()
        if closes:
            with pytest.raises(executors.Gone, match="lost the work"):
                out.result(TIMEOUT)
        else:
            assert out.result(TIMEOUT) == ("record", {})
            assert executor.pending == {}

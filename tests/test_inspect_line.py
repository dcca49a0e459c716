"""The station beside a line: a watched folder fed by a writer process,
restarts after SIGKILL, half-written files, the database beside the JSON
lines, export, and the reject signals (a command, MQTT on a local
mosquitto, deadlines)."""
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import CHILD_ENV
from qel_inspect import database, export
from qel_inspect.errors import UsageError
from qel_inspect.records import Record, read_records
from test_inspect_run import FRAMES, TIMEOUT

DARK = os.path.join(FRAMES, "dark")
RECIPE = os.path.join(DARK, "recipe.toml")
GOOD = os.path.join(DARK, "frames", "good_01.jpg")
GAP = os.path.join(DARK, "frames", "gap_in_bar.jpg")
MOSQUITTO = "/usr/sbin/mosquitto"

# Drops frames into a folder at a steady rate: even ones written in place
# (open, write, close), odd ones written under a hidden name and renamed in.
WRITER = textwrap.dedent("""
    import os, sys, time
    folder, count, period, first = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    frames = [open(p, "rb").read() for p in sys.argv[5:]]
    start = time.monotonic()
    for i in range(first, first + count):
        data = frames[i % len(frames)]
        name = "f%04d.jpg" % i
        if i % 2:
            with open(os.path.join(folder, "." + name + ".part"), "wb") as f:
                f.write(data)
            os.rename(os.path.join(folder, "." + name + ".part"), os.path.join(folder, name))
        else:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        time.sleep(max(0.0, start + (i - first + 1) * period - time.monotonic()))
""")


def start_watch(folder, out, *extra, log_to=None):
    err = open(log_to or (str(out) + ".stderr"), "ab")
    proc = subprocess.Popen([sys.executable, "-m", "qel_inspect", "watch", RECIPE, str(folder), "-o", str(out)]
                            + [str(a) for a in extra], env=CHILD_ENV, stdout=subprocess.PIPE, stderr=err, text=True)
    proc.err_path = err.name
    wait_for(lambda: "watching " in stderr_of(proc) or proc.poll() is not None, "the watch to start")
    assert proc.poll() is None, stderr_of(proc)
    return proc


def stderr_of(proc):
    with open(proc.err_path, encoding="utf-8") as f:
        return f.read()


def wait_for(predicate, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def finish(proc, sig=signal.SIGTERM):
    proc.send_signal(sig)
    out, _ = proc.communicate(timeout=TIMEOUT)
    return proc.returncode, out


def rows(out):
    if not os.path.exists(os.path.join(out, "results.sqlite")):
        return []
    db = sqlite3.connect(os.path.join(out, "results.sqlite"), timeout=10)
    db.row_factory = sqlite3.Row
    try:
        return db.execute("SELECT * FROM frames ORDER BY id").fetchall()
    except sqlite3.OperationalError:
        return []
    finally:
        db.close()


def lines(out):
    return read_records(os.path.join(out, "results.jsonl"))


def assert_agree(out):
    """The database and the JSON lines hold the same records, in order."""
    table, jsonl = rows(out), lines(out)
    assert [json.loads(r["record"]) for r in table] == [r.to_json() for r in jsonl]
    db = sqlite3.connect(os.path.join(out, "results.sqlite"))
    defects = db.execute("SELECT frame_id, kind, x1, y1, x2, y2 FROM defects ORDER BY frame_id, n").fetchall()
    db.close()
    assert defects == [(row["id"], d.kind, *d.box_frame) for row, r in zip(table, jsonl) for d in r.defects]


def writer(folder, count, period, first=0):
    return subprocess.Popen([sys.executable, "-c", WRITER, str(folder), str(count), str(period), str(first),
                             GOOD, GOOD, GAP])


def test_a_writer_at_a_steady_rate_every_frame_recorded_once_in_arrival_order(tmp_path):
    folder, out, done = tmp_path / "camera", tmp_path / "out", tmp_path / "done"
    folder.mkdir()
    done.mkdir()
    shutil.copy(GOOD, folder / "before.jpg")           # there at start: inspected first
    watch = start_watch(folder, out, "--workers", 2, "--move-to", done)
    feed = writer(folder, 30, 0.05)
    assert feed.wait(TIMEOUT) == 0
    wait_for(lambda: len(rows(out)) >= 31, "31 records")
    status, stdout = finish(watch)
    assert status == 1, stderr_of(watch)                 # a frame was rejected, none failed
    table = rows(out)
    names = [os.path.basename(r["frame"]) for r in table]
    assert sorted(names) == sorted(["before.jpg"] + ["f%04d.jpg" % i for i in range(30)])
    # Arrived in the order written; recorded in that order, give or take
    # the frames two workers finish at once.
    by_arrival = [os.path.basename(r["frame"]) for r in sorted(table, key=lambda r: r["arrived"])]
    assert by_arrival == ["before.jpg"] + ["f%04d.jpg" % i for i in range(30)]
    assert all(abs(by_arrival.index(n) - i) <= 4 for i, n in enumerate(names))
    assert all(r["judged"] >= r["arrived"] for r in table)
    assert {n: r["status"] for n, r in zip(names, table)} == dict(
        {"before.jpg": "pass"}, **{"f%04d.jpg" % i: "reject" if i % 3 == 2 else "pass" for i in range(30)})
    assert_agree(out)
    # Moved away once recorded, every one.
    assert sorted(os.listdir(done)) == sorted(names) and os.listdir(folder) == []
    assert "this watch: 31 frames, 21 passed, 10 rejected, 0 not inspected" in stdout
    assert os.path.exists(out / "report.html") and len(open(out / "results.csv").read().splitlines()) == 32


def test_sigkill_and_restart_lose_and_repeat_nothing(tmp_path):
    folder, out = tmp_path / "camera", tmp_path / "out"
    folder.mkdir()
    watch = start_watch(folder, out, "--workers", 1, "--keep", 4)
    feed = writer(folder, 40, 0.04)
    wait_for(lambda: len(rows(out)) >= 10, "ten records")
    watch.send_signal(signal.SIGKILL)
    watch.wait(TIMEOUT)
    # Files removed so far were all recorded first.
    recorded = {r["key"] for r in rows(out)}
    present = [i for i in range(40) if (folder / ("f%04d.jpg" % i)).exists()]
    removed = [i for i in range(max(present)) if i not in present]
    assert removed and all(os.path.join(str(folder), "f%04d.jpg" % i) in recorded for i in removed)
    assert feed.wait(TIMEOUT) == 0
    again = start_watch(folder, out, "--workers", 2, "--keep", 4)
    wait_for(lambda: len(rows(out)) >= 40, "forty records")
    time.sleep(0.5)                                        # a repeat, if any, would come now
    status, _ = finish(again, signal.SIGINT)
    assert status == 1, stderr_of(again)
    names = [os.path.basename(r["frame"]) for r in rows(out)]
    assert sorted(names) == ["f%04d.jpg" % i for i in range(40)]
    assert_agree(out)
    assert len(os.listdir(folder)) == 4                    # the newest four kept


def test_a_half_written_file_is_not_read_before_it_is_closed(tmp_path):
    data = open(GOOD, "rb").read()
    for mode in ("inotify", "polling"):
        folder, out = tmp_path / mode, tmp_path / (mode + "-out")
        folder.mkdir()
        watch = start_watch(folder, out, "--workers", 1, *(["--poll"] if mode == "polling" else []))
        assert "(%s)" % mode in stderr_of(watch)
        with open(folder / "slow.jpg", "wb") as f:
            f.write(data[:len(data) // 2])
            f.flush()
            time.sleep(2.0)                                # longer than polling lets a file settle
            assert rows(out) == [], mode
            f.write(data[len(data) // 2:])
        wait_for(lambda: len(rows(out)) == 1, "the frame's record")
        time.sleep(0.3)
        status, _ = finish(watch)
        assert (status, [(r["frame"], r["status"]) for r in rows(out)]) == (0, [(str(folder / "slow.jpg"), "pass")])


def test_new_only_passes_over_what_was_there_and_a_restart_takes_what_came_meanwhile(tmp_path):
    folder, out = tmp_path / "camera", tmp_path / "out"
    folder.mkdir()
    shutil.copy(GOOD, folder / "old.jpg")
    watch = start_watch(folder, out, "--workers", 1, "--new-only")
    shutil.copy(GOOD, folder / "new.jpg")
    wait_for(lambda: len(rows(out)) == 1, "the new frame")
    assert finish(watch)[0] == 0
    shutil.copy(GAP, folder / "meanwhile.jpg")
    os.remove(folder / "new.jpg")
    shutil.copy(GOOD, folder / "new.jpg")                 # the name again: another frame
    again = start_watch(folder, out, "--workers", 1, "--new-only")
    wait_for(lambda: len(rows(out)) == 3, "the frames that came meanwhile")
    time.sleep(0.5)
    assert finish(again)[0] == 1
    assert sorted(os.path.basename(r["frame"]) for r in rows(out)) == ["meanwhile.jpg", "new.jpg", "new.jpg"]
    marked = [r["marked"] for r in rows(out) if r["marked"]]
    assert marked == ["marked/meanwhile.png"]


def test_watch_refuses_bad_options_in_one_line(tmp_path):
    (tmp_path / "camera").mkdir()
    cases = [(["--keep", 3, "--move-to", tmp_path], "--keep and --move-to cannot be used together"),
             (["--move-to", tmp_path / "camera"], "--move-to names the watched folder itself"),
             (["--http", "127.0.0.1:notaport"], "--http 127.0.0.1:notaport: expected HOST:PORT")]
    for extra, message in cases:
        done = subprocess.run([sys.executable, "-m", "qel_inspect", "watch", RECIPE, str(tmp_path / "camera"), "-o",
                               str(tmp_path / "out")] + [str(a) for a in extra], env=CHILD_ENV, capture_output=True,
                              text=True, timeout=TIMEOUT)
        assert (done.returncode, done.stderr) == (2, "qel-inspect: %s\n" % message)
    gone = subprocess.run([sys.executable, "-m", "qel_inspect", "watch", RECIPE, str(tmp_path / "nowhere"), "-o",
                           str(tmp_path / "out")], env=CHILD_ENV, capture_output=True, text=True, timeout=TIMEOUT)
    assert (gone.returncode, gone.stderr) == (2, "qel-inspect: no such folder: %s\n" % (tmp_path / "nowhere"))


# --- the database and export --------------------------------------------------------

def record(i, status="pass", kinds=()):
    from qel_inspect.records import Defect
    return Record("/cam/f%d.png" % i, "f%d.png" % i, status,
                  defects=[Defect(k, "spot", [i, i, i + 5, i + 5], [0, 0, 5, 5], 5) for k in kinds])


def test_the_database_and_the_lines_are_mended_after_a_crash_between_them(tmp_path):
    kept = database.Recorded(str(tmp_path))
    for i in range(3):
        kept.keep(record(i, "reject", ["extra ink"]), {})
    kept.close()
    # Killed after the database's transaction, before the line.
    db = database.Database(str(tmp_path))
    db.add(record(3), database.Times(1.0, 2.0))
    db.close()
    with open(tmp_path / "results.jsonl", "a") as f:      # and a line cut short
        f.write('{"key": "/cam/f4')
    kept = database.Recorded(str(tmp_path))
    assert [r.key for r in lines(tmp_path)] == ["/cam/f%d.png" % i for i in range(4)]
    # A folder from before the database: its lines are taken in.
    kept.close()
    for name in database.FILES:
        if os.path.exists(tmp_path / name):
            os.remove(tmp_path / name)
    database.mend(str(tmp_path))
    assert_agree(tmp_path)


def test_run_writes_the_database_and_export_takes_a_span(tmp_path):
    frames = os.path.join(DARK, "frames")
    done = subprocess.run([sys.executable, "-m", "qel_inspect", "run", RECIPE, frames, "-o", str(tmp_path / "out"),
                           "--workers", "2"], env=CHILD_ENV, capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 2, done.stderr
    out = tmp_path / "out"
    assert_agree(out)
    table = rows(out)
    assert len(table) == len(os.listdir(frames)) and all(r["judged"] for r in table)
    middle = sorted(r["judged"] for r in table)[len(table) // 2]
    since = export.stamp(middle)
    exported = subprocess.run([sys.executable, "-m", "qel_inspect", "export", str(out), "--since", since,
                               "--format", "jsonl"], env=CHILD_ENV, capture_output=True, text=True, timeout=TIMEOUT)
    got = [json.loads(line) for line in exported.stdout.splitlines()]
    assert [g["key"] for g in got] == [r["key"] for r in table if r["judged"] >= middle]
    assert all(g["judged"] >= since for g in got)
    csv_out = subprocess.run([sys.executable, "-m", "qel_inspect", "export", str(out), "--until", since, "-o",
                              str(tmp_path / "early.csv")], env=CHILD_ENV, capture_output=True, text=True,
                             timeout=TIMEOUT)
    early = open(tmp_path / "early.csv").read().splitlines()
    assert early[0].endswith(",key,arrived,judged,late") and len(early) - 1 == len(table) - len(got)
    assert csv_out.stderr == "%d frames written to %s\n" % (len(early) - 1, tmp_path / "early.csv")
    with pytest.raises(UsageError, match="--since yesterday: expected a date and time"):
        export.parse_time("yesterday", "--since")
    with pytest.raises(UsageError, match="holds no results.sqlite"):
        export.export(str(tmp_path), sys.stdout)


def test_buckets_cover_the_span_in_few_bars(tmp_path):
    db = database.Database(str(tmp_path))
    start = 1_700_000_000.0
    for i in range(300):
        db.add(record(i, "reject" if i % 10 == 0 else "pass"), database.Times(start + 30 * i, start + 30 * i + 0.1))
    got = database.buckets(db.db, None, 120)
    db.close()
    step = got[1][0] - got[0][0]
    assert len(got) <= 120 and step in database.STEPS
    assert sum(b[1] for b in got) == 300 and sum(b[2] for b in got) == 30
    assert got[0][0] <= start < got[0][0] + step


# --- reject signals -----------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def broker(tmp_path):
    if not os.path.exists(MOSQUITTO):
        pytest.skip("mosquitto is not installed")
    port = free_port()
    conf = tmp_path / "mosquitto.conf"
    conf.write_text("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % port)

    class Broker:
        def start(self):
            self.proc = subprocess.Popen([MOSQUITTO, "-c", str(conf)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
            wait_for(self.listening, "mosquitto to listen", 20)

        def listening(self):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                return True
            except OSError:
                return False

        def stop(self):
            if self.proc.poll() is None:
                self.proc.terminate()
                self.proc.wait(20)

    b = Broker()
    b.port = port
    b.start()
    yield b
    b.stop()


def subscriber(port, topic):
    import paho.mqtt.client as mqtt
    got = []
    client = mqtt.Client(client_id="test-subscriber", clean_session=True)
    client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
    client.on_message = lambda c, u, m: got.append(json.loads(m.payload))
    client.connect("127.0.0.1", port)
    client.loop_start()
    wait_for(lambda: client.is_connected(), "the subscriber", 20)
    time.sleep(0.2)
    return client, got


def test_every_record_reaches_an_mqtt_subscriber_and_late_frames_are_announced(tmp_path, broker):
    folder, out = tmp_path / "camera", tmp_path / "out"
    folder.mkdir()
    client, got = subscriber(broker.port, "line/3")
    watch = start_watch(folder, out, "--workers", 1, "--mqtt", "127.0.0.1:%d" % broker.port, "--topic", "line/3",
                        "--deadline", 1)
    feed = writer(folder, 9, 0.05)
    assert feed.wait(TIMEOUT) == 0
    wait_for(lambda: len([m for m in got if m["status"] != "late"]) == 9, "nine records at the subscriber")
    status, _ = finish(watch)
    client.loop_stop()
    assert status == 1
    records = {m["key"]: m for m in got if m["status"] != "late"}
    late = [m["key"] for m in got if m["status"] == "late"]
    assert sorted(records) == sorted(r["key"] for r in rows(out))
    assert all(m["late"] and m["judged"] > m["arrived"] for m in records.values())
    assert sorted(late) == sorted(records)                # announced at the deadline, each once
    assert all(r["late"] == 1 for r in rows(out))
    assert "9 frames judged later than the deadline" in open(out / "watch.log").read()


def test_with_the_broker_gone_the_line_goes_on_and_says_so(tmp_path, broker):
    folder, out = tmp_path / "camera", tmp_path / "out"
    folder.mkdir()
    watch = start_watch(folder, out, "--workers", 1, "--mqtt", "127.0.0.1:%d" % broker.port)
    shutil.copy(GOOD, folder / "a.jpg")
    wait_for(lambda: len(rows(out)) == 1, "the first record")
    broker.stop()
    wait_for(lambda: "connection lost" in open(out / "watch.log").read(), "the outage in the log")
    for name in ("b.jpg", "c.jpg", "d.jpg"):
        shutil.copy(GOOD, folder / name)
    wait_for(lambda: len(rows(out)) == 4, "the records made while the broker is away")
    status, _ = finish(watch)
    assert status == 0
    log = open(out / "watch.log").read()
    assert "MQTT broker 127.0.0.1:%d connection lost" % broker.port in log
    assert "records are queued and the line goes on" in log


ON_REJECT = textwrap.dedent("""
    import json, sys, time
    message = json.load(sys.stdin)
    if message["frame"].endswith("slow.jpg"):
        time.sleep(30)
    if message["frame"].endswith("fail.jpg"):
        print("the kicker is jammed", file=sys.stderr)
        sys.exit(3)
    with open(sys.argv[1], "a") as f:
        f.write(json.dumps(message) + "\\n")
""")


def test_the_reject_command_gets_each_reject_and_its_failures_are_logged(tmp_path):
    folder, out = tmp_path / "camera", tmp_path / "out"
    folder.mkdir()
    (tmp_path / "kick.py").write_text(ON_REJECT)
    got = tmp_path / "kicked.jsonl"
    watch = start_watch(folder, out, "--workers", 1, "--on-reject", "%s %s %s" % (sys.executable, tmp_path / "kick.py",
                                                                                   got),
                        "--on-reject-timeout", 1)
    for name, source in (("good.jpg", GOOD), ("gap.jpg", GAP), ("slow.jpg", GAP), ("fail.jpg", GAP),
                         ("after.jpg", GAP)):
        shutil.copy(source, folder / name)
    wait_for(lambda: len(rows(out)) == 5, "five records")
    wait_for(lambda: "took longer than 1 s" in open(out / "watch.log").read(), "the slow command to be stopped")
    status, _ = finish(watch)
    assert status == 1
    kicked = [json.loads(line) for line in open(got)]
    assert sorted(os.path.basename(m["frame"]) for m in kicked) == ["after.jpg", "gap.jpg"]
    assert all(m["status"] == "reject" and m["defects"] for m in kicked)
    log = open(out / "watch.log").read()
    assert "on-reject command exited with status 3 for %s: the kicker is jammed" % (folder / "fail.jpg") in log
    assert "on-reject command took longer than 1 s for %s and was stopped" % (folder / "slow.jpg") in log


def test_sigterm_finishes_the_frames_on_a_worker_and_leaves_the_rest_for_the_next_watch(tmp_path):
    folder, out = tmp_path / "camera", tmp_path / "out"
    folder.mkdir()
    watch = start_watch(folder, out, "--workers", 1)
    for i in range(8):
        shutil.copy(GOOD, folder / ("f%d.jpg" % i))
    wait_for(lambda: len(rows(out)) >= 1, "the first record")
    status, stdout = finish(watch)
    assert status == 0, stderr_of(watch)
    first = [os.path.basename(r["frame"]) for r in rows(out)]
    assert 1 <= len(first) < 8, "the watch was not stopped with frames still to do"
    assert "this watch: %d frames" % len(first) in stdout
    assert json.load(open(out / "run.json"))["stopped"] is False
    again = start_watch(folder, out, "--workers", 1)
    wait_for(lambda: len(rows(out)) == 8, "the rest")
    time.sleep(0.3)
    assert finish(again)[0] == 0
    assert sorted(os.path.basename(r["frame"]) for r in rows(out)) == ["f%d.jpg" % i for i in range(8)]
    assert_agree(out)

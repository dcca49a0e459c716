"""The live page and the shift report: a new reject's picture on an open
page within 2 s of its verdict, without reload; only files of the output
folder served; the server's memory bounded over many frames; a report of
10,000 frames that leads with defect kinds and a chart and folds its
table."""
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time


from conftest import CHILD_ENV, skip_if_sanitized
from qel_inspect import database, live, report
from qel_inspect.records import Defect, Record
from test_inspect_line import GAP, GOOD, finish, rows, start_watch, wait_for
from test_inspect_run import TIMEOUT, browser


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def test_a_new_reject_appears_on_the_open_page_within_2_s_without_reload(tmp_path):
    from selenium.webdriver.support.ui import WebDriverWait

    folder, out = tmp_path / "camera", tmp_path / "out"
    folder.mkdir()
    shutil.copy(GOOD, folder / "first.jpg")
    port = free_port()
    watch = start_watch(folder, out, "--workers", 1, "--http", "127.0.0.1:%d" % port)
    wait_for(lambda: len(rows(out)) == 1, "the first record")
    driver, profile = browser()
    try:
        driver.get("http://127.0.0.1:%d/" % port)
        WebDriverWait(driver, 10).until(lambda d: d.find_element("id", "s-frames").text == "1")
        driver.execute_script("window.loadedOnce = true")            # gone if the page reloads
        assert driver.find_elements("css selector", "#rejects .card") == []
        shutil.copy(GAP, folder / "gap.jpg")
        wait_for(lambda: len(rows(out)) == 2, "the reject's record", 60)
        judged = time.monotonic()
        WebDriverWait(driver, 2.0, poll_frequency=0.05).until(lambda d: d.execute_script(
            "const i = document.querySelector('#rejects .card[data-frame=\"gap.jpg\"] img');"
            "return i !== null && i.complete && i.naturalWidth > 0"))
        shown_after = time.monotonic() - judged
        assert shown_after < 2.0
        assert driver.execute_script("return window.loadedOnce") is True
        assert driver.find_element("id", "s-reject").text == "1"
        assert driver.find_element("id", "s-rate").text == "50.0 %"
        kinds = [[c.text for c in row.find_elements("tag name", "td")]
                 for row in driver.find_elements("css selector", "#kinds tbody tr")]
        assert kinds == [["missing ink", "1", "1"]]
        assert driver.find_elements("css selector", "#chart svg rect")
        assert "max_shift" in driver.find_element("tag name", "body").text          # the recipe
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
        status, _ = finish(watch)
    assert status == 1


def test_serve_refuses_paths_outside_the_output_folder(tmp_path):
    out = tmp_path / "out"
    done = subprocess.run([sys.executable, "-m", "qel_inspect", "run", os.path.join(os.path.dirname(GOOD), "..",
                                                                                    "recipe.toml"), GAP, "-o", str(out)],
                          env=CHILD_ENV, capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 1, done.stderr
    (tmp_path / "secret.txt").write_text("not for the page")
    os.symlink(tmp_path / "secret.txt", out / "link.txt")
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "qel_inspect", "serve", str(out), "--http",
                               "127.0.0.1:%d" % port], env=CHILD_ENV, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline() == "live page: http://127.0.0.1:%d/ (Ctrl-C to stop)\n" % port
        wait_for(lambda: _answers(port), "the server")
        status, body = get(port, "/files/marked/gap_in_bar.png")
        assert status == 200 and body.startswith(b"\x89PNG")
        for path in ("/files/../secret.txt", "/files/..%2fsecret.txt", "/files/%2e%2e/%2e%2e/etc/passwd",
                     "/files//etc/passwd", "/files/%2Fetc%2Fpasswd", "/files/link.txt", "/files/marked",
                     "/files/nothing.png", "/../secret.txt"):
            status, body = get(port, path)
            assert status == 404 and b"not for the page" not in body and b"root:" not in body, (path, status)
        summary = json.loads(get(port, "/summary")[1])
        assert summary["shift"]["reject"] == 1 and summary["rejects"][0]["frame"] == "gap_in_bar.jpg"
    finally:
        server.send_signal(signal.SIGINT)
        server.communicate(timeout=TIMEOUT)
    assert server.returncode == 0
    assert live.inside(str(out), "results.jsonl") == os.path.realpath(out / "results.jsonl")
    assert live.inside(str(out), "../secret.txt") is None and live.inside(str(out), "/etc/passwd") is None


def _answers(port):
    try:
        return get(port, "/summary")[0] == 200
    except OSError:
        return False


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def fake_record(i):
    status = "reject" if i % 7 == 0 else "pass"
    defects = [Defect("extra ink" if i % 2 else "missing ink", "black spot", [i % 500, 10, i % 500 + 9, 19],
                      [1, 2, 3, 4], 9)] if status == "reject" else []
    return Record("/cam/f%06d.png" % i, "f%06d.png" % i, status, defects=defects, match_score=0.98, seconds=0.05,
                  marked="marked/f%06d.png" % i if defects else None)


def test_a_page_opened_before_the_first_summary_waits_for_it_quietly(tmp_path):
    # A slow first summary (a big database) once made every open stream
    # send comments in a tight loop, burying the data behind them.
    import asyncio

    feed = live.Feed(str(tmp_path))
    look = feed._look
    feed._look = lambda: time.sleep(0.6) or look()

    async def main():
        poller = asyncio.create_task(feed.run())
        await asyncio.sleep(0.05)
        got, stream = [], feed.messages(heartbeat=0.2)
        while not any(m.startswith("data: ") for m in got):
            got.append(await asyncio.wait_for(stream.__anext__(), 5))
        feed.close()
        await poller
        return got

    got = asyncio.run(main())
    assert got[-1].startswith("data: ") and json.loads(got[-1][6:])["shift"]["frames"] == 0
    assert 1 <= len(got) <= 4 and all(m == ": still here\n\n" for m in got[:-1]), got[:5]


@skip_if_sanitized
def test_the_server_holds_its_memory_over_many_frames_and_events(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "run.json").write_text(json.dumps({"recipe": {}, "recipe_file": None, "frames": None}))
    db = database.Database(str(out))
    db.db.execute("PRAGMA synchronous=OFF")                 # the test's writes need not survive a power cut
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "qel_inspect", "serve", str(out), "--http",
                               "127.0.0.1:%d" % port], env=CHILD_ENV, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    streams = []
    try:
        server.stdout.readline()
        wait_for(lambda: _answers(port), "the server")
        for _ in range(3):        # open pages that read every event, and one that never reads
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            conn.request("GET", "/events")
            streams.append((conn, conn.getresponse()))
        events, sizes, n, now = 0, [], 0, time.time() - 3600
        started = time.monotonic()
        while time.monotonic() - started < 16:
            for _ in range(400):
                db.add(fake_record(n), database.Times(now + n * 0.1, now + n * 0.1 + 0.05))
                n += 1
            for conn, response in streams[:2]:
                line = response.fp.readline()
                events += line.startswith(b"data: ")
            if time.monotonic() - started > 4 and not sizes:
                sizes.append(rss_kib(server.pid))
        sizes.append(rss_kib(server.pid))
        assert n > 10000 and events > 20
        assert sizes[1] - sizes[0] < 15 * 1024, sizes       # KiB: no growth with frames or events
    finally:
        for conn, _ in streams:
            conn.close()
        server.send_signal(signal.SIGINT)
        server.communicate(timeout=TIMEOUT)
        db.close()


def test_a_report_of_10000_frames_leads_with_kinds_and_a_chart_and_folds_its_table(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "run.json").write_text(json.dumps({"recipe": {"standard": str(tmp_path / "none.png"), "aoi": [0, 0, 9, 9]},
                                              "recipe_file": "line.toml", "frames": None}))
    kept = database.Recorded(str(out))
    kept.database.db.execute("PRAGMA synchronous=OFF")
    now = time.time() - 8 * 3600
    for i in range(10000):
        kept.keep(fake_record(i), {}, database.Times(now + 2.88 * i, now + 2.88 * i + 0.05))
    kept.close()
    page = open(report.write(str(out)), encoding="utf-8").read()
    lead = page.index('id="kinds"')
    assert lead < page.index('id="chart"') < page.index("Rejected frames") < page.index('id="frames"')
    kinds = re.findall(r'<td><span class="kind-\w+">([^<]+)</span></td><td class="num">(\d+)</td>', page)
    rejects = len(range(0, 10000, 7))
    assert sorted(kinds) == [("extra ink", str(rejects // 2)), ("missing ink", str(rejects - rejects // 2))]
    chart = page[page.index('id="chart"'):page.index("</svg>")]
    assert 60 <= chart.count("<rect") <= 3 * 120
    first_table = page[page.index('id="frames"'):page.index("</table>", page.index('id="frames"'))]
    assert first_table.count("<tr class=") == report.TABLE_ROWS
    folds = re.findall(r"<summary>Frames (\d+)–(\d+) of 10000</summary>", page)
    assert folds[0] == ("301", "2300") and folds[-1][1] == "10000"
    assert page.count('<tr class="') == 10000
    assert page.count('class="reject-pic"') == rejects and page.count('loading="lazy"') == rejects

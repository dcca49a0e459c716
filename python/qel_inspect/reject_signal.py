"""What a watch tells the line about each frame, within its latency budget:

    --on-reject CMD       a command run for every frame that must leave the
                          belt (rejected, not inspected, or late), the record
                          as JSON on its standard input; time-limited, run
                          beside the line, its failures logged
    --mqtt HOST:PORT      every record published to a topic (paho, QoS 1,
                          queued while the broker is away, the outage logged)
    --deadline MS         a frame not judged that long after it arrived is
                          announced as `late` at once (status "late"); its
                          verdict follows when it comes, marked late

Nothing here may stop or slow the line: the command runs in threads of its
own, MQTT in paho's network thread, and every failure is a logged line.
"""
import heapq
import json
import shlex
import subprocess
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Optional

from .status import Status

COMMANDS_AT_ONCE = 4
COMMANDS_WAITING = 64           # beyond this a signal is dropped (and logged) rather than queued
MQTT_QUEUED = 10000             # records kept for a broker that is away
LATE = "late"


def message(record_json: dict, arrived: Optional[float], judged: Optional[float], late: bool) -> dict:
    return dict(record_json, arrived=arrived, judged=judged, late=late)


class RejectCommand:
    """Runs CMD (split like a shell line, no shell) with a message on its
    standard input, at most `timeout` seconds, a few at a time."""

    def __init__(self, command: str, timeout: float, log: Callable[[str], None]):
        self.argv = shlex.split(command)
        if not self.argv:
            from .errors import UsageError
            raise UsageError("--on-reject: an empty command")
        self.timeout, self.log = timeout, log
        self.pool = ThreadPoolExecutor(COMMANDS_AT_ONCE, thread_name_prefix="qel-inspect-on-reject")
        self.waiting = 0
        self.lock = threading.Lock()
        self.failures = 0

    def __call__(self, msg: dict) -> None:
        with self.lock:
            if self.waiting >= COMMANDS_WAITING:
                self.failures += 1
                self.log("on-reject: %d commands still running; not run for %s" % (self.waiting, msg.get("frame")))
                return
            self.waiting += 1
        self.pool.submit(self._run, msg)

    def _run(self, msg):
        try:
            done = subprocess.run(self.argv, input=json.dumps(msg, ensure_ascii=False).encode(), timeout=self.timeout,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if done.returncode != 0:
                first = (done.stderr.decode(errors="replace").strip().splitlines() or [""])[-1]
                self._failed("exited with status %d for %s%s" % (done.returncode, msg.get("frame"),
                                                                  ": " + first if first else ""))
        except subprocess.TimeoutExpired:
            self._failed("took longer than %g s for %s and was stopped" % (self.timeout, msg.get("frame")))
        except OSError as e:
            self._failed("cannot be run (%s)" % (e.strerror or e))
        finally:
            with self.lock:
                self.waiting -= 1

    def _failed(self, what):
        with self.lock:
            self.failures += 1
        self.log("on-reject command %s" % what)

    def close(self):
        self.pool.shutdown(wait=True)


class Publisher:
    """Records published to an MQTT broker. Connecting, reconnecting and
    sending happen in paho's thread; while the broker is away records are
    queued (up to MQTT_QUEUED) and the outage is logged once, and again
    when the broker is back."""

    def __init__(self, address: str, topic: str, log: Callable[[str], None]):
        import paho.mqtt.client as mqtt

        self.mqtt = mqtt
        self.host, self.port = parse_address(address, "--mqtt")
        self.topic, self.log = topic, log
        self.client = mqtt.Client(client_id="qel-inspect-%d" % id(self), clean_session=True)
        self.client.max_queued_messages_set(MQTT_QUEUED)
        self.client.reconnect_delay_set(0.2, 5)
        self.client.on_connect = self._connected
        self.client.on_disconnect = self._disconnected
        self.client.on_connect_fail = self._connect_failed
        self.client.on_publish = self._acknowledged
        self.lock = threading.Lock()
        self.up = None                  # None before the first attempt, then True/False
        self.unacknowledged = set()
        self.published = self.dropped = 0
        self.client.connect_async(self.host, self.port, keepalive=10)
        self.client.loop_start()

    def _connected(self, client, userdata, flags, rc):
        if rc == 0:
            if self.up is False:
                self.log("MQTT broker %s:%d reachable again; queued records sent" % (self.host, self.port))
            self.up = True
        else:
            self._down("refused the connection (%s)" % self.mqtt.connack_string(rc))

    def _disconnected(self, client, userdata, rc):
        if rc != 0:
            self._down("connection lost (%s)" % self.mqtt.error_string(rc))

    def _connect_failed(self, client, userdata):
        self._down("cannot be reached")

    def _down(self, why):
        if self.up is not False:
            self.log("MQTT broker %s:%d %s; records are queued and the line goes on" % (self.host, self.port, why))
        self.up = False

    def _acknowledged(self, client, userdata, mid):
        with self.lock:
            self.unacknowledged.discard(mid)

    def __call__(self, msg: dict) -> None:
        info = self.client.publish(self.topic, json.dumps(msg, ensure_ascii=False), qos=1)
        if info.rc == self.mqtt.MQTT_ERR_QUEUE_SIZE:
            self.dropped += 1
            self.log("MQTT: %d records queued for the broker; %s dropped" % (MQTT_QUEUED, msg.get("frame")))
            return
        with self.lock:
            self.published += 1
            if info.mid is not None:
                self.unacknowledged.add(info.mid)

    def close(self, wait: float = 5.0) -> None:
        """Give the broker a few seconds for what is queued, then stop."""
        deadline = time.monotonic() + wait
        while self.up and time.monotonic() < deadline:
            with self.lock:
                if not self.unacknowledged:
                    break
            time.sleep(0.02)
        with self.lock:
            left = len(self.unacknowledged)
        if left:
            self.log("MQTT: %d record%s not acknowledged by the broker at the end" % (left, "" if left == 1 else "s"))
        self.client.disconnect()
        self.client.loop_stop()


class Deadlines:
    """Frames on their way, each with its due time; a thread announces a
    frame still not judged when it is due."""

    def __init__(self, seconds: float, announce: Callable[[object], None]):
        self.seconds, self.announce = seconds, announce
        self.cond = threading.Condition()
        self.heap = []                 # (due, n, frame)
        self.open = {}                 # (key, file_id) -> due
        self.n = 0
        self.late = 0
        self.closed = False
        threading.Thread(target=self._watch, daemon=True, name="qel-inspect-deadlines").start()

    def arrived(self, frame) -> None:
        due = (frame.arrived or time.time()) + self.seconds
        with self.cond:
            self.open[(frame.key, frame.file_id)] = due
            self.n += 1
            heapq.heappush(self.heap, (due, self.n, frame))
            self.cond.notify()

    def judged(self, frame) -> None:
        with self.cond:
            self.open.pop((frame.key, getattr(frame, "file_id", None)), None)

    def _watch(self):
        while True:
            with self.cond:
                while not self.closed and (not self.heap or self.heap[0][0] > time.time()):
                    self.cond.wait(None if not self.heap else max(0.0, self.heap[0][0] - time.time()))
                if self.closed:
                    return
                due, _, frame = heapq.heappop(self.heap)
                if self.open.pop((frame.key, frame.file_id), None) is None:
                    continue                   # judged in time
                self.late += 1
            self.announce(frame)

    def close(self):
        with self.cond:
            self.closed = True
            self.cond.notify()


class Signals:
    """The reject signals of a watch, as configured."""

    def __init__(self, log: Callable[[str], None], on_reject: Optional[str] = None, timeout: float = 5.0,
                 mqtt: Optional[str] = None, topic: str = "qel-inspect/records", deadline_ms: Optional[float] = None):
        self.log = log
        self.command = RejectCommand(on_reject, timeout, log) if on_reject else None
        self.publisher = Publisher(mqtt, topic, log) if mqtt else None
        self.deadline = deadline_ms / 1000.0 if deadline_ms else None
        self.deadlines = Deadlines(self.deadline, self._late) if self.deadline else None

    def arrived(self, frame) -> None:
        if self.deadlines is not None:
            self.deadlines.arrived(frame)

    def is_late(self, arrived: Optional[float], judged: float) -> bool:
        return self.deadline is not None and arrived is not None and judged - arrived > self.deadline

    def _late(self, frame):
        msg = {"key": frame.key, "frame": frame.shown, "status": LATE, "arrived": frame.arrived,
               "deadline_ms": round(self.deadline * 1000), "late": True}
        self._send(msg, kick=True)

    def judged(self, frame, record_json: dict, arrived: Optional[float], judged: float, late: bool) -> None:
        if self.deadlines is not None:
            self.deadlines.judged(frame)
        msg = message(record_json, arrived, judged, late)
        # A late frame was announced (and kicked) at its deadline already.
        self._send(msg, kick=record_json.get("status") != Status.PASS.value and not late)

    def _send(self, msg, kick):
        for send, wanted in ((self.publisher, True), (self.command, kick)):
            if send is not None and wanted:
                try:
                    send(msg)
                except Exception as e:  # noqa: BLE001 - a signal never stops the line
                    self.log("reject signal: %s: %s" % (type(e).__name__, e))

    @property
    def late(self) -> int:
        return self.deadlines.late if self.deadlines is not None else 0

    def close(self) -> None:
        if self.deadlines is not None:
            self.deadlines.close()
        if self.command is not None:
            self.command.close()
        if self.publisher is not None:
            self.publisher.close()


def parse_address(text: str, option: str, default_port: Optional[int] = None):
    """HOST:PORT (IPv6 hosts in brackets) as (host, port); UsageError when bad."""
    from .errors import UsageError

    host, sep, port = text.rpartition(":")
    if not sep:
        host, port = text, default_port
    host = host.strip("[]")
    try:
        port = int(port)
        if not 0 <= port < 65536:
            raise ValueError
    except (TypeError, ValueError):
        raise UsageError("%s %s: expected HOST:PORT" % (option, text))
    if not host:
        raise UsageError("%s %s: expected HOST:PORT" % (option, text))
    return host, port

#!/usr/bin/python3
"""A soak run: every front end at once under one virtual camera, with faults on a schedule.

  /usr/bin/python3 bench/soak.py [--build build] [--minutes 30] [--size 256x192] [--check] [--keep]

Under one `vivazuzoz-vcam --unplug-every 20 --replug-after 3` (every process
under it loses its camera at the same moments) it runs:
  rtsp      with an ffmpeg client reading rtsp:// over TCP for the whole run,
  serve     with a page stream (WebSocket, reconnecting as the page does) and
            an MJPEG viewer (stream.mjpg?fps=10),
  monitor   --reconnect into a real mosquitto, read from /metrics and with
            mosquitto_sub,
  python    a reader: vivazuzoz.Camera(0, reconnect=True) and read(),
  record    --reconnect (a time-lapse, so that the file stays small);
and meanwhile: the camera unplugs every 20 s and comes back 3 s later, the
broker restarts every 45 s, and in every period of the camera more clients
join and leave (an ffmpeg client, a page stream and an MJPEG viewer).

It prints, per front end: frames delivered against frames the camera sent
while plugged in (over the reader's life), resumes after a replug, the
longest time to resume (from the replug to frames at half the rate or more
over a second), and RSS, descriptors and threads of its process after a
warm-up and at the end, both taken just before an unplug.

--check: a short run for CI (default 2 minutes) that exits 1 when a front end
did not resume after a replug, a process ended, or descriptors or threads
grew by more than a small margin. It is a figure-printing run, not a test:
its numbers vary with the machine's load.
"""
import argparse
import base64
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

PERIOD = 20.0  # the camera unplugs every PERIOD seconds...
GAP = 3.0  # ...and comes back GAP seconds later
BROKER_EVERY = 45.0
WARMUP_PERIODS = 2  # the first snapshot: just before the unplug that ends period 2
FD_MARGIN = 8
THREAD_MARGIN = 4
MJPEG_FPS = 10
STOP = threading.Event()


def log(message):
    print("soak: %s" % message, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def plain_env():
    """The environment without the virtual camera, for programs that are not front ends."""
    env = dict(os.environ)
    env.pop("VIVAZUZOZ_VCAM", None)
    preload = [p for p in env.get("LD_PRELOAD", "").split(":") if p and "vivazuzoz-vcam" not in p]
    if preload:
        env["LD_PRELOAD"] = ":".join(preload)
    else:
        env.pop("LD_PRELOAD", None)
    return env


def wait_until(when):
    while not STOP.is_set() and time.monotonic() < when:
        STOP.wait(min(0.5, max(0.0, when - time.monotonic())))
    return not STOP.is_set()


class Schedule:
    """The camera's unplugs, on the wrapper's clock (its scheduleOrigin)."""

    def __init__(self, origin, end):
        self.origin = origin
        self.end = end

    def unplugs(self):
        k = 1
        while self.origin + k * PERIOD < self.end:
            yield self.origin + k * PERIOD
            k += 1

    def plugged_seconds(self, start, end):
        total = max(0.0, end - start)
        for u in self.unplugs():
            total -= max(0.0, min(end, u + GAP) - max(start, u))
        return total


class Probe:
    """Frames seen by one reader, as (time, cumulative count) samples."""

    def __init__(self, name, rate, process=None, counted_before=False):
        self.name = name
        self.rate = rate  # frames per second the camera's stream gives this reader while plugged in
        self.process = process  # the front end's Process (for the figures of its process)
        # A reader that connects when the probe is made counts from 0 then;
        # one that was counting before (a front end's own counter) counts
        # from its first report.
        self.counted_before = counted_before
        self.samples = [(time.monotonic(), 0)]
        self.count = 0
        self.ended = None  # why the reader stopped before the end
        self.reconnects = 0
        self.lock = threading.Lock()

    def add(self, n=1):
        with self.lock:
            self.count += n
            self.samples.append((time.monotonic(), self.count))

    def set(self, count):
        with self.lock:
            if self.counted_before:
                self.counted_before = False
                self.samples = [(time.monotonic(), count)]
                self.count = count
            elif count != self.count:
                self.count = count
                self.samples.append((time.monotonic(), count))

    def end(self, why):
        if self.ended is None and not STOP.is_set():
            self.ended = (time.monotonic(), why)

    def count_at(self, t):
        with self.lock:
            n = 0
            for when, count in self.samples:
                if when > t:
                    break
                n = count
            return n

    def base(self):
        """From when, and from what count, frames are counted; None before a reader's first report."""
        with self.lock:
            return None if self.counted_before else self.samples[0]

    def resumed_at(self, replug, limit):
        """The first time after `replug` (before `limit`) with frames at half the rate over a window."""
        window = max(1.0, 3.0 / self.rate)
        with self.lock:
            samples = list(self.samples)
        for when, count in samples:
            if when <= replug or when >= limit:
                continue
            if count - self.count_at(max(replug, when - window)) >= 0.5 * self.rate * window:
                return when
        return None


class Process:
    """A front end's process: its figures at the snapshots."""

    def __init__(self, name, popen):
        self.name = name
        self.popen = popen
        self.snapshots = []

    def figures(self):
        pid = self.popen.pid
        try:
            status = pathlib.Path("/proc/%d/status" % pid).read_text()
            rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1)) / 1024.0
            threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
            fds = len(os.listdir("/proc/%d/fd" % pid))
            return (rss, fds, threads)
        except (OSError, AttributeError):
            return None

    def snapshot(self):
        self.snapshots.append(self.figures())


# ----------------------------------------------------------------- readers


def read_lines(stream, on_line):
    for raw in iter(stream.readline, b""):
        on_line(raw.decode(errors="replace").strip())


def ffmpeg_client(url, probe, seconds=None):
    """Reads the RTSP stream over TCP and counts the decoded frames."""
    args = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats", "-progress", "pipe:1",
            "-stats_period", "0.25", "-rtsp_transport", "tcp", "-i", url, "-map", "0:v", "-fps_mode", "passthrough",
            "-f", "null", "-"]
    if seconds:
        args[args.index("-f"):args.index("-f")] = ["-t", str(seconds)]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=plain_env())

    def on_line(line):
        if probe and line.startswith("frame="):
            probe.set(int(line.split("=", 1)[1]))

    reader = threading.Thread(target=read_lines, args=(process.stdout, on_line), daemon=True)
    reader.start()
    return process


class WebSocket:
    """A client of the page's stream: the stdlib's socket and RFC 6455 framing."""

    def __init__(self, port, path):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=15)
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (path, port, key)).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self._fill()
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise OSError("no WebSocket: " + head.split(b"\r\n")[0].decode(errors="replace"))

    def _fill(self):
        chunk = self.socket.recv(65536)
        if not chunk:
            raise EOFError("closed by the server")
        self.buffer += chunk

    def _take(self, n):
        while len(self.buffer) < n:
            self._fill()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def _send(self, opcode, payload):
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.socket.sendall(bytes([0x80 | opcode, 0x80 | len(payload)]) + mask + masked)

    def message(self):
        """The next complete message's opcode (1 text, 2 binary); answers pings; EOFError at a close."""
        opcode = None
        while True:
            b0, b1 = self._take(2)
            length = b1 & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._take(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._take(8))[0]
            mask = self._take(4) if b1 & 0x80 else None
            payload = self._take(length)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            op = b0 & 0x0F
            if op == 8:
                raise EOFError("closed by the server")
            if op == 9:
                self._send(10, payload[:125])
                continue
            if op == 10:
                continue
            if op != 0:
                opcode = op
            if b0 & 0x80:
                return opcode

    def close(self):
        try:
            self.socket.close()
        except OSError:
            pass


def page_client(port, probe, until):
    """Counts the frames of the page's stream; reconnects 2 s after a close, as the page does."""
    while not STOP.is_set() and time.monotonic() < until:
        ws = None
        try:
            ws = WebSocket(port, "/api/cameras/0/stream")
            while not STOP.is_set() and time.monotonic() < until:
                if ws.message() == 2:
                    probe.add()
        except (OSError, EOFError, ValueError) as e:
            if probe.ended is None and not STOP.is_set():
                probe.reconnects += 1
                log("%s: %s; connecting again in 2 s" % (probe.name, e))
            STOP.wait(2)
        finally:
            if ws:
                ws.close()


def mjpeg_client(port, probe, until):
    """Counts the pictures of stream.mjpg; reconnects 2 s after an end, as a player would."""
    marker = b"content-type: image/jpeg"
    while not STOP.is_set() and time.monotonic() < until:
        try:
            url = "http://127.0.0.1:%d/api/cameras/0/stream.mjpg?fps=%d" % (port, MJPEG_FPS)
            with urllib.request.urlopen(url, timeout=15) as response:
                tail = b""
                while not STOP.is_set() and time.monotonic() < until:
                    chunk = response.read1(65536)
                    if not chunk:
                        raise EOFError("the stream ended")
                    text = (tail + chunk).lower()
                    probe.add(text.count(marker))
                    tail = text[-(len(marker) - 1):]
        except (OSError, EOFError, ValueError) as e:
            if not STOP.is_set() and time.monotonic() < until:
                probe.reconnects += 1
                log("%s: %s; connecting again in 2 s" % (probe.name, e))
                STOP.wait(2)


def metrics_reader(port, probe):
    """vivazuzoz_frames_total from monitor's /metrics, every 0.25 s."""
    while not STOP.is_set():
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as response:
                text = response.read().decode()
            m = re.search(r"^vivazuzoz_frames_total(?:\{[^}]*\})? (\d+)", text, re.M)
            if m:
                probe.set(int(m.group(1)))
        except (OSError, ValueError):
            pass
        STOP.wait(0.25)


def tiff_pages(path, state):
    """Pages of a TIFF (classic or BigTIFF) written so far, walking its IFD chain from where the last call stopped."""
    try:
        with open(path, "rb") as f:
            if not state:
                head = f.read(16)
                if len(head) < 16:
                    return 0
                order = "<" if head[:2] == b"II" else ">"
                big = struct.unpack(order + "H", head[2:4])[0] == 43
                # Offsets, entry counts and entry sizes of the two layouts.
                state.update(order=order, pages=0, pointer=8 if big else 4, offset="Q" if big else "I",
                             count="Q" if big else "H", entry=20 if big else 12)
            order, offset_size = state["order"], struct.calcsize(state["offset"])
            count_size = struct.calcsize(state["count"])
            while True:
                f.seek(state["pointer"])
                raw = f.read(offset_size)
                if len(raw) < offset_size:
                    break
                offset = struct.unpack(order + state["offset"], raw)[0]
                if offset == 0:
                    break
                f.seek(offset)
                raw = f.read(count_size)
                if len(raw) < count_size:
                    break
                entries = struct.unpack(order + state["count"], raw)[0]
                state["pointer"] = offset + count_size + state["entry"] * entries
                state["pages"] += 1
            return state["pages"]
    except OSError:
        return state.get("pages", 0)


def record_reader(path, pages_per_frame, probe):
    state = {}
    while not STOP.is_set():
        probe.set(tiff_pages(path, state) // pages_per_frame)
        STOP.wait(0.25)


class Broker:
    """A mosquitto of the soak's own, on one port through its restarts."""

    def __init__(self, folder, port):
        self.port = port
        self.conf = folder / "mosquitto.conf"
        self.conf.write_text("listener %d 127.0.0.1\npersistence false\nallow_anonymous true\nuser %s\n"
                             % (port, pwd.getpwuid(os.getuid()).pw_name))
        self.log = open(folder / "mosquitto.log", "ab")
        self.process = None
        self.started = []  # times the broker listened again
        self.subscriber = None

    def start(self):
        mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.process = subprocess.Popen([mosquitto, "-c", str(self.conf)], stdout=self.log, stderr=self.log,
                                        env=plain_env())
        until = time.monotonic() + 10
        while time.monotonic() < until:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                self.started.append(time.monotonic())
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("mosquitto does not listen on port %d" % self.port)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


def mqtt_reader(broker, probe):
    """Fresh (not retained) state messages of monitor, through mosquitto_sub, which restarts with the broker."""
    while not STOP.is_set():
        sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-R", "-t",
                                "vivazuzoz/+/frame/state"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=plain_env())
        broker.subscriber = sub
        read_lines(sub.stdout, lambda line: probe.add())
        sub.wait()
        STOP.wait(0.5)


PYTHON_READER = r"""
import sys, time
import vivazuzoz
count, said, cam = 0, 0.0, None
while True:
    try:
        if cam is None:
            cam = vivazuzoz.Camera(0, reconnect=True)
        cam.read(timeout=1.0)
        count += 1
    except vivazuzoz.Timeout:
        pass
    except vivazuzoz.Disconnected:
        time.sleep(0.05)
    except vivazuzoz.Error as e:
        print("error", e, flush=True)
        time.sleep(0.5)
    now = time.monotonic()
    if now - said >= 0.25:
        print("frames", count, flush=True)
        said = now
"""


# ----------------------------------------------------------------- the run


class Soak:
    def __init__(self, args, folder):
        self.args = args
        self.folder = folder
        self.tool = str(args.build / "bin" / "vivazuzoz")
        width, height = (int(v) for v in args.size.split("x"))
        self.frame_bytes = width * height * 2
        self.fps = args.fps
        origin = float(re.search(r"(?:^|;)scheduleOrigin=([0-9.e+]+)", os.environ["VIVAZUZOZ_VCAM"]).group(1))
        self.schedule = Schedule(origin, origin + args.minutes * 60)
        self.processes = []
        self.probes = []
        self.churn = []  # short-lived clients: (process or thread)
        self.ports = {name: free_port() for name in ("rtsp", "serve", "metrics", "broker")}
        self.broker = Broker(folder, self.ports["broker"])
        self.broker_restarts = 0
        self.watcher = None

    def front_end(self, name, args, env=None):
        out = open(self.folder / ("%s.out" % name), "wb")
        err = open(self.folder / ("%s.err" % name), "wb")
        popen = subprocess.Popen(args, stdout=out if name != "python" else subprocess.PIPE, stderr=err,
                                 cwd=self.folder, env=env)
        process = Process(name, popen)
        self.processes.append(process)
        return process

    def wait_port(self, port, what):
        until = time.monotonic() + 30
        while time.monotonic() < until:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("%s does not listen on port %d; see %s" % (what, port, self.folder))

    def start(self):
        self.broker.start()
        tool = self.tool
        rtsp = self.front_end("rtsp", [tool, "rtsp", "--listen", "127.0.0.1:%d" % self.ports["rtsp"]])
        serve = self.front_end("serve", [tool, "serve", "--listen", "127.0.0.1:%d" % self.ports["serve"]])
        monitor = self.front_end("monitor", [tool, "monitor", "--reconnect", "--mqtt",
                                             "mqtt://127.0.0.1:%d" % self.ports["broker"], "--metrics",
                                             "127.0.0.1:%d" % self.ports["metrics"]])
        env = dict(os.environ, PYTHONPATH=str(self.args.build / "python"))
        python = self.front_end("python", ["/usr/bin/python3", "-c", PYTHON_READER], env=env)
        # A time-lapse that keeps the file under about 1 MB a second.
        pages = 2  # image and temperatures
        every = max(0.2, round(self.frame_bytes * pages / 1e6, 1))
        record_path = self.folder / "soak.tiff"
        record = self.front_end("record", [tool, "record", "--reconnect", "--every", str(every), "-o",
                                           str(record_path)])
        self.wait_port(self.ports["rtsp"], "rtsp")
        self.wait_port(self.ports["serve"], "serve")
        self.wait_port(self.ports["metrics"], "monitor --metrics")

        forever = float("inf")
        watcher = Probe("rtsp (ffmpeg client)", self.fps, rtsp)
        self.watcher = ffmpeg_client("rtsp://127.0.0.1:%d/0" % self.ports["rtsp"], watcher)
        page = Probe("serve (page stream)", self.fps, serve)
        mjpeg = Probe("serve (MJPEG viewer)", MJPEG_FPS, serve)
        metrics = Probe("monitor (/metrics frames)", self.fps, monitor, counted_before=True)
        mqtt = Probe("monitor (MQTT states, 1/s)", 1.0, monitor)
        reader = Probe("python (reader)", self.fps, python, counted_before=True)
        recorded = Probe("record (time-lapse)", 1.0 / every, record, counted_before=True)
        self.probes = [watcher, page, mjpeg, metrics, mqtt, reader, recorded]
        self.mqtt_probe = mqtt
        for target, args in ((page_client, (self.ports["serve"], page, forever)),
                             (mjpeg_client, (self.ports["serve"], mjpeg, forever)),
                             (metrics_reader, (self.ports["metrics"], metrics)),
                             (mqtt_reader, (self.broker, mqtt)),
                             (record_reader, (record_path, pages, recorded))):
            threading.Thread(target=target, args=args, daemon=True).start()

        def python_lines(line):
            if line.startswith("frames "):
                reader.set(int(line.split()[1]))
            else:
                log("python: " + line)

        threading.Thread(target=read_lines, args=(python.popen.stdout, python_lines), daemon=True).start()
        threading.Thread(target=self.watch_ffmpeg, args=(self.watcher, watcher), daemon=True).start()

    @staticmethod
    def watch_ffmpeg(process, probe):
        err = process.stderr.read().decode(errors="replace").strip()
        process.wait()
        probe.end("ffmpeg ended with status %d%s" % (process.returncode, (": " + err.splitlines()[-1]) if err else ""))

    def faults(self):
        """Broker restarts every BROKER_EVERY s; clients that join and leave in every period of the camera."""
        origin = self.schedule.origin
        events = []
        k = 1
        while origin + k * BROKER_EVERY < self.schedule.end:
            events.append((origin + k * BROKER_EVERY, "broker"))
            k += 1
        for u in self.schedule.unplugs():
            events.append((u + GAP + 3, "clients"))  # they leave before the next snapshot
        events.append((origin, "clients"))
        for when, what in sorted(events):
            if not wait_until(when):
                return
            if what == "broker":
                self.broker.stop()
                STOP.wait(1.5)
                self.broker.start()
                self.broker_restarts += 1
            else:
                self.join_and_leave(8)

    def join_and_leave(self, seconds):
        until = time.monotonic() + seconds
        self.churn.append(ffmpeg_client("rtsp://127.0.0.1:%d/0" % self.ports["rtsp"], None, seconds))
        for target in (page_client, mjpeg_client):
            probe = Probe("churn", 1)
            threading.Thread(target=target, args=(self.ports["serve"], probe, until), daemon=True).start()

    def run(self):
        self.start()
        threading.Thread(target=self.faults, daemon=True).start()
        snapshots = [u - 2 for u in self.schedule.unplugs()]
        if len(snapshots) < WARMUP_PERIODS + 1:
            raise SystemExit("soak: too short a run: at least %d s" % ((WARMUP_PERIODS + 1) * PERIOD))
        chosen = [snapshots[WARMUP_PERIODS - 1], snapshots[-1]]
        for when in chosen:
            wait_until(when)
            for p in self.processes:
                p.snapshot()
            log("snapshot at %.0f s" % (when - self.schedule.origin))
        self.end = chosen[-1]
        wait_until(self.schedule.end)
        self.stop()

    def stop(self):
        STOP.set()
        clients = self.churn + ([self.watcher] if self.watcher else [])
        for popen in [p.popen for p in self.processes] + clients:
            if popen.poll() is None:
                popen.send_signal(signal.SIGINT if popen in clients else signal.SIGTERM)
        for popen in [p.popen for p in self.processes] + clients:
            try:
                popen.wait(20)
            except subprocess.TimeoutExpired:
                popen.kill()
                popen.wait()
        if self.broker.subscriber and self.broker.subscriber.poll() is None:
            self.broker.subscriber.terminate()
        self.broker.stop()

    # ------------------------------------------------------------- report

    def report(self):
        failures = []
        origin = self.schedule.origin
        replugs = [u + GAP for u in self.schedule.unplugs() if u + GAP < self.end]
        print("Soak: %.1f minutes, %s at %g fps; an unplug every %g s for %g s (%d), the broker restarted "
              "every %g s (%d); clients joining and leaving every %g s" %
              (self.args.minutes, self.args.size, self.fps, PERIOD, GAP, len(replugs), BROKER_EVERY,
               self.broker_restarts, PERIOD))
        print("Process figures: after %d periods of warm-up -> at %.0f s, each just before an unplug." %
              (WARMUP_PERIODS, self.end - origin))
        header = "%-27s %17s %9s %9s  %-17s %-11s %-9s" % ("front end", "frames got/sent", "resumed", "longest",
                                                          "RSS MB", "descriptors", "threads")
        print(header)
        print("-" * len(header))
        shown = set()
        for probe in self.probes:
            line, failed = self.probe_line(probe, replugs, shown)
            print(line)
            failures += failed
        failures += self.broker_line()
        for p in self.processes:
            first, last = p.snapshots[0], p.snapshots[-1]
            if p.popen.returncode not in (0, 130, -signal.SIGTERM):
                failures.append("%s exited with status %s (see %s)" % (p.name, p.popen.returncode, self.folder))
            if first is None or last is None:
                failures.append("%s was not running at a snapshot" % p.name)
                continue
            if last[1] > first[1] + FD_MARGIN:
                failures.append("%s: descriptors grew from %d to %d" % (p.name, first[1], last[1]))
            if last[2] > first[2] + THREAD_MARGIN:
                failures.append("%s: threads grew from %d to %d" % (p.name, first[2], last[2]))
        return failures

    def probe_line(self, probe, replugs, shown):
        failures = []
        base = probe.base()
        first = base[0] if base and probe.count > base[1] else None
        stop = probe.ended[0] if probe.ended else self.end
        got = probe.count_at(stop) - base[1] if first else 0
        sent = probe.rate * self.schedule.plugged_seconds(first, stop) if first else 0
        resumed, longest, missed = 0, 0.0, []
        for r in replugs:
            if first is None or r < first:
                continue
            at = probe.resumed_at(r, r + PERIOD - GAP)
            if at is None:
                missed.append(r - self.schedule.origin)
            else:
                resumed += 1
                longest = max(longest, at - r)
        counted = resumed + len(missed)
        figures = ""
        if probe.process not in shown and probe.process.snapshots:
            shown.add(probe.process)
            a, b = probe.process.snapshots[0], probe.process.snapshots[-1]
            if a and b:
                figures = "%-17s %-11s %-9s" % ("%.1f -> %.1f" % (a[0], b[0]), "%d -> %d" % (a[1], b[1]),
                                               "%d -> %d" % (a[2], b[2]))
        line = "%-27s %17s %9s %9s  %s" % (
            probe.name, "%d/%d (%.0f%%)" % (got, sent, 100.0 * got / sent if sent else 0),
            "%d/%d" % (resumed, counted), "%.1f s" % longest if resumed else "-", figures)
        notes = []
        if first is None:
            notes.append("no frame at all")
            failures.append("%s: no frame at all" % probe.name)
        if probe.ended:
            notes.append("ended at %.0f s: %s" % (probe.ended[0] - self.schedule.origin, probe.ended[1]))
        if probe.reconnects:
            notes.append("%d reconnection(s)" % probe.reconnects)
        if missed and probe is not self.mqtt_probe:
            notes.append("no resume after the replug(s) at %s s" % ", ".join("%.0f" % m for m in missed[:6]) +
                         (" ..." if len(missed) > 6 else ""))
            failures.append("%s did not resume after %d of %d replugs" % (probe.name, len(missed), counted))
        for n in notes:
            line += "\n%29s%s" % ("", n)
        return line, failures

    def broker_line(self):
        probe = self.mqtt_probe
        waits = []
        restarted = [t for t in self.broker.started[1:] if t < self.end - 10]
        for started in restarted:
            with probe.lock:
                after = next((when for when, _ in probe.samples if when > started), None)
            if after is not None and after < started + BROKER_EVERY:
                waits.append(after - started)
        restarts = len(restarted)
        print("monitor after a broker restart: fresh states again after %d of %d restarts, the longest %s" %
              (len(waits), restarts, "%.1f s" % max(waits) if waits else "-"))
        return ["monitor published nothing after %d of %d broker restarts" % (restarts - len(waits), restarts)] \
            if len(waits) < restarts else []


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", type=pathlib.Path, default=pathlib.Path("build"))
    parser.add_argument("--minutes", type=float, default=None, help="how long (default 30; 2 with --check)")
    parser.add_argument("--size", default="256x192", help="the camera's size (default 256x192)")
    parser.add_argument("--fps", type=float, default=25)
    parser.add_argument("--check", action="store_true", help="exit 1 when a front end did not resume or leaked")
    parser.add_argument("--keep", action="store_true", help="keep the folder with the logs and the recording")
    args = parser.parse_args()
    if args.minutes is None:
        args.minutes = 2 if args.check else 30
    args.build = args.build.resolve()
    for program in ("ffmpeg", "mosquitto_sub"):
        if not shutil.which(program):
            raise SystemExit("soak: %s is missing (scripts/install-deps.sh --tests installs it)" % program)
    if "VIVAZUZOZ_VCAM" not in os.environ:
        # Every front end under one virtual camera that unplugs on a schedule.
        vcam = str(args.build / "bin" / "vivazuzoz-vcam")
        os.execv(vcam, [vcam, "--size", args.size, "--fps", "%g" % args.fps, "--unplug-every", "%g" % PERIOD,
                        "--replug-after", "%g" % GAP, "--", "/usr/bin/python3", os.path.abspath(__file__)] +
                 sys.argv[1:])
    folder = pathlib.Path(tempfile.mkdtemp(prefix="vivazuzoz-soak-"))
    soak = Soak(args, folder)
    try:
        soak.run()
    except BaseException:
        STOP.set()
        soak.stop()
        raise
    failures = soak.report()
    for f in failures:
        print("FAILED: " + f)
    if args.keep or failures:
        print("Logs: %s" % folder)
    else:
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures and args.check else 0


if __name__ == "__main__":
    sys.exit(main())

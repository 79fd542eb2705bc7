#!/usr/bin/python3
"""Ours beside the generic peers in one run: the CPU of the server process
(% of one core) for RTSP and MJPEG at 640x512 and 1280x1024, with ratios.

  bench/colour_figures.py [--build build] [--seconds 10] [--size 640x512]...

RTSP: `vivazuzoz rtsp` under the virtual camera (colours every frame with
thermalcolorize, encodes with x264) against bench/rtsp_peer.py, a stock
gst-rtsp-server mount (videotestsrc of 16-bit grey ! videoconvert ! x264enc
ultrafast zerolatency, no colours); one ffmpeg client each, over TCP.
MJPEG: `vivazuzoz serve`'s stream.mjpg (iron, 25 fps) against ffmpeg encoding
16-bit grey frames of its own test source with `-c:v mjpeg -q:v 5 -f mpjpeg`
as a child process; one reader each, which reads and drops the bytes.
Each figure is the process's user and system time over --seconds after 3 s
of warm-up, ours and the peer's interleaved (ours, peer, ours, peer) so that
the machine's load falls on both alike. A ratio below 1.0 means ours costs
less. The peers' own sources (videotestsrc, testsrc2) are counted in theirs,
as the virtual camera's scene is counted in ours.

The RTSP latency (the driver's buffer to a decoded frame, per client) is
printed by the gstreamer_bench program, which needs the camera's driver
timestamps; run it beside this one.
"""
import argparse
import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

TICKS = os.sysconf("SC_CLK_TCK")
WARM_UP = 3.0
FPS = 25


def cpu_seconds(pid):
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def busy_percent(pid, seconds):
    start, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (cpu_seconds(pid) - start) / (time.monotonic() - t0)


class Server:
    """A server process that prints its address on standard output."""

    def __init__(self, command, pattern, env, child_of_wrapper):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                                        text=True, start_new_session=True)
        self.url = None
        deadline = time.monotonic() + 30
        while self.url is None and time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            match = re.search(pattern, line.strip())
            self.url = match.group(1) if match else None
        if self.url is None:
            self.stop()
            sys.exit("colour_figures: %s printed no address" % command[0])
        threading.Thread(target=self.process.stdout.read, daemon=True).start()
        self.pid = self.process.pid
        if child_of_wrapper:  # the virtual camera's wrapper runs the tool as its child: measure the tool
            time.sleep(0.5)
            children = pathlib.Path("/proc/%d/task/%d/children" % (self.pid, self.pid)).read_text().split()
            self.pid = int(children[0]) if children else self.pid

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=20)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


def rtsp_client(url, seconds):
    return subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-t",
                             str(seconds), "-f", "null", "-"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def http_reader(url, seconds):
    """Reads an HTTP stream for `seconds`, dropping the bytes; returns the thread and a byte counter."""
    parts = urllib.parse.urlsplit(url)
    got = [0, 0]  # bytes, JPEG pictures (start-of-image markers)

    def run():
        with socket.create_connection((parts.hostname, parts.port), timeout=10) as s:
            path = parts.path + ("?" + parts.query if parts.query else "")
            s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (path, parts.netloc)).encode())
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                data = s.recv(1 << 20)
                if not data:
                    break
                got[0] += len(data)
                got[1] += data.count(b"\xff\xd8\xff")

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, got


def stop_client(client):
    try:
        os.killpg(client.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    client.wait()


def rtsp_cpu(server, seconds):
    """The server's CPU while one ffmpeg client reads its stream."""
    try:
        client = rtsp_client(server.url, seconds + WARM_UP + 5)
        time.sleep(WARM_UP)
        figure = busy_percent(server.pid, seconds)
        stop_client(client)
        return figure
    finally:
        server.stop()


def rtsp_ours(build, size, seconds, env):
    return rtsp_cpu(Server([str(build / "bin/vivazuzoz-vcam"), "--size", size, "--", str(build / "bin/vivazuzoz"),
                            "rtsp", "--listen", "127.0.0.1:0"], r"(rtsp://\S+/0)$", env, True), seconds)


def rtsp_peer(size, seconds, env):
    peer = pathlib.Path(__file__).resolve().parent / "rtsp_peer.py"
    return rtsp_cpu(Server(["/usr/bin/python3", str(peer), "--size", size, "--fps", str(FPS)], r"(rtsp://\S+)$",
                           env, False), seconds)


def mjpeg_ours(build, size, seconds, env):
    server = Server([str(build / "bin/vivazuzoz-vcam"), "--size", size, "--", str(build / "bin/vivazuzoz"), "serve",
                     "--listen", "127.0.0.1:0"], r"(https?://\S+?)/\S*$", env, True)
    try:
        reader, got = http_reader(server.url + "/api/cameras/0/stream.mjpg?colormap=iron&fps=%d" % FPS,
                                  seconds + WARM_UP + 5)
        time.sleep(WARM_UP)
        before = got[1]
        figure = busy_percent(server.pid, seconds)
        if got[0] == 0:
            sys.exit("colour_figures: stream.mjpg sent nothing")
        rate = (got[1] - before) / seconds
        if rate < FPS * 0.8:
            print("  (stream.mjpg at %s sent %.1f pictures a second, not %d)" % (size, rate, FPS), flush=True)
        return figure
    finally:
        server.stop()


def mjpeg_peer(size, seconds):
    width, height = size.split("x")
    encoder = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                                "testsrc2=size=%sx%s:rate=%d,format=gray16le" % (width, height, FPS), "-c:v",
                                "mjpeg", "-q:v", "5", "-f", "mpjpeg", "-"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    threading.Thread(target=lambda: [None for _ in iter(lambda: encoder.stdout.read(1 << 20), b"")],
                     daemon=True).start()
    try:
        time.sleep(WARM_UP)
        return busy_percent(encoder.pid, seconds)
    finally:
        stop_client(encoder)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--size", action="append", help="640x512 and 1280x1024 unless given")
    parser.add_argument("--rounds", type=int, default=2, help="interleaved measurements of each")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    sizes = args.size or ["640x512", "1280x1024"]
    env = dict(os.environ, XDG_STATE_HOME=tempfile.mkdtemp())
    rows = []
    for size in sizes:
        for path, ours, peer, name in (
                ("RTSP", lambda: rtsp_ours(build, size, args.seconds, env),
                 lambda: rtsp_peer(size, args.seconds, env), "gst-rtsp-server videoconvert ! x264enc (grey)"),
                ("MJPEG", lambda: mjpeg_ours(build, size, args.seconds, env),
                 lambda: mjpeg_peer(size, args.seconds), "ffmpeg -c:v mjpeg -q:v 5 -f mpjpeg (grey)")):
            a, b = [], []
            for _ in range(args.rounds):
                a.append(ours())
                b.append(peer())
            row = (path, size, sum(a) / len(a), sum(b) / len(b), name, a, b)
            rows.append(row)
            print("%-5s %-9s ours %5.1f%%  peer %5.1f%%  ratio %.2f   (ours %s; peer %s: %s)" % (
                row[0], row[1], row[2], row[3], row[2] / row[3] if row[3] else 0,
                " ".join("%.1f" % v for v in a), " ".join("%.1f" % v for v in b), name), flush=True)
    print("\nServer CPU, %% of one core, mean of %d interleaved runs of %.0f s (target: ratio <= 1.0)" % (
        args.rounds, args.seconds))
    print("%-6s %-10s %8s %8s %7s" % ("path", "size", "ours", "peer", "ratio"))
    for path, size, ours, peer, *_ in rows:
        print("%-6s %-10s %7.1f%% %7.1f%% %7.2f" % (path, size, ours, peer, ours / peer if peer else 0))


if __name__ == "__main__":
    main()

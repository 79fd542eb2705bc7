#!/usr/bin/python3
"""Figures of `vivazuzoz monitor` on the virtual camera (not run by CTest).

  bench/monitor_figures.py [--build build] [--seconds 20] [--backoff-seconds 64]

CPU: the monitor at 640x512, 25 fps, 4 regions, an alarm, publishing once a
second to a mosquitto broker of its own, beside `vivazuzoz stream` with the
same regions (the cost of receiving and measuring the frames) in the same
run: CPU seconds per wall second of each, and their ratio.

Latency: the hot plate switched every 0.5 s raises and clears the alarm;
for 20 crossings, the time from the crossing frame's arrival in the monitor
(the event's "time") to mosquitto_sub receiving the event; the median.

Back-off: a server that takes each connection and closes it at once, for
--backoff-seconds (0: left out); the times of the monitor's attempts, and the
waits between them beside the documented 1 s doubling to 30 s.
"""
import argparse
import calendar
import json
import os
import pathlib
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "tool" / "monitor"))
os.environ.setdefault("VIVAZUZOZ_TOOL", "")
os.environ.setdefault("VIVAZUZOZ_VCAM_RUN", "")
import conftest  # noqa: E402  (Broker, Subscriber, eventually)

REGIONS = ["--roi", "a=0,0,320,256", "--roi", "b=320,0,320,256", "--roi", "c=0,256,320,256",
           "--roi", "d=320,256,320,256"]
CAMERA = ["--size", "640x512", "--fps", "25"]


def cpu_seconds(pid):
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(command, seconds, folder):
    """CPU seconds per wall second of `command` (the tool: the wrapper execs it), after a 2 s warm-up."""
    process = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, XDG_STATE_HOME=str(folder)))
    time.sleep(2)
    start_cpu, start = cpu_seconds(process.pid), time.monotonic()
    time.sleep(seconds)
    share = (cpu_seconds(process.pid) - start_cpu) / (time.monotonic() - start)
    process.send_signal(signal.SIGINT)
    process.wait(30)
    return share


def backoff(tool, vcam, seconds, folder):
    """The times of the monitor's connection attempts to a server that closes each at once."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(16)
        server.settimeout(0.1)
        monitor = subprocess.Popen([vcam, "--", tool, "monitor", "--mqtt", "mqtt://127.0.0.1:%d" % server.getsockname()[1],
                                    "--seconds", str(seconds)], cwd=folder, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=dict(os.environ, XDG_STATE_HOME=str(folder)))
        attempts = []
        while monitor.poll() is None:
            try:
                connection, _ = server.accept()
            except socket.timeout:
                continue
            attempts.append(time.monotonic())
            connection.close()
        return [t - attempts[0] for t in attempts]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--backoff-seconds", type=float, default=64)
    args = parser.parse_args()
    tool = str(pathlib.Path(args.build, "bin", "vivazuzoz").resolve())
    vcam = str(pathlib.Path(args.build, "bin", "vivazuzoz-vcam").resolve())
    folder = pathlib.Path(tempfile.mkdtemp(prefix="monitor-figures-"))
    broker = conftest.Broker(folder).start()
    try:
        url = "mqtt://127.0.0.1:%d/bench" % broker.port
        stream = cpu_share([vcam] + CAMERA + ["--", tool, "stream"] + REGIONS + ["--alarm-above", "80", "--json"],
                           args.seconds, folder)
        monitor = cpu_share([vcam] + CAMERA + ["--", tool, "monitor", "--mqtt", url, "--ha-discovery",
                                              "--interval", "1"] + REGIONS + ["--alarm-above", "80"],
                            args.seconds, folder)
        print("cpu stream  %.3f s/s (baseline: frames received and measured, 4 regions)" % stream)
        print("cpu monitor %.3f s/s (the same, published once a second)" % monitor)
        print("ratio monitor/stream %.2f" % (monitor / stream if stream else float("nan")))

        sub = conftest.Subscriber(broker, folder, "latency")
        time.sleep(0.5)
        monitor = subprocess.Popen([vcam, "--size", "640x512", "--hot-object-period", "0.5", "--", tool, "monitor",
                                    "--mqtt", url, "--camera-id", "lat", "--roi", "plate=480,130,60,50",
                                    "--alarm-above", "80"], cwd=folder, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=dict(os.environ, XDG_STATE_HOME=str(folder)))
        events = conftest.eventually(lambda: [m for m in sub.messages() if m[2] == "bench/lat/event"][:20]
                                     if len([m for m in sub.messages() if m[2] == "bench/lat/event"]) >= 20 else None,
                                     "20 alarm events", limit=60)
        monitor.send_signal(signal.SIGINT)
        monitor.wait(30)
        sub.stop()
        delays = []
        for received, _, _, payload in events:
            stamp = json.loads(payload)["time"]
            crossed = calendar.timegm(time.strptime(stamp[:19], "%Y-%m-%dT%H:%M:%S")) + float("0" + stamp[19:-1])
            delays.append((received - crossed) * 1000)
        print("latency crossing frame -> mosquitto_sub: median %.1f ms, min %.1f, max %.1f over %d crossings"
              % (statistics.median(delays), min(delays), max(delays), len(delays)))
        if args.backoff_seconds > 0:
            times = backoff(tool, vcam, args.backoff_seconds, folder)
            waits = [b - a for a, b in zip(times, times[1:])]
            print("back-off: attempts at %s s" % " ".join("%.1f" % t for t in times))
            print("back-off: waits %s s (documented: 1 2 4 8 16 30 30 ...)" % " ".join("%.1f" % w for w in waits))
    finally:
        broker.stop()


if __name__ == "__main__":
    main()

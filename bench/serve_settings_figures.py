#!/usr/bin/python3
"""Prints how long `vivazuzoz serve` takes to answer GET settings and a PUT of
one environment value on the virtual camera, beside GET /api/cameras (which
touches no camera) as the baseline measured in the same run.

    bench/serve_settings_figures.py build/bin/vivazuzoz-vcam build/bin/vivazuzoz
"""
import http.client
import statistics
import subprocess
import sys
import time


def timed(port, method, path, body=None, runs=30):
    times = []
    for _ in range(runs):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        start = time.perf_counter()
        connection.request(method, path, body=body)
        response = connection.getresponse()
        response.read()
        times.append((time.perf_counter() - start) * 1000)
        connection.close()
        if response.status != 200:
            raise SystemExit(f"{method} {path}: {response.status}")
    return statistics.median(times), max(times)


def main():
    vcam, tool = sys.argv[1], sys.argv[2]
    server = subprocess.Popen([vcam, "--", tool, "serve", "--listen", "127.0.0.1:0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        line = server.stdout.readline().decode()
        port = int(line.split("http://127.0.0.1:")[1].split("/")[0])
        timed(port, "GET", "/api/cameras/0/settings", runs=1)  # waits for the read at open
        for name, method, path, body, runs in (
                ("GET /api/cameras (baseline)", "GET", "/api/cameras", None, 30),
                ("GET /api/cameras/0/settings", "GET", "/api/cameras/0/settings", None, 30),
                ("PUT emissivity", "PUT", "/api/cameras/0/settings/emissivity", "0.93", 5)):
            median, worst = timed(port, method, path, body, runs)
            print(f"{name:32s} median {median:8.2f} ms   worst {worst:8.2f} ms   ({runs} runs)")
    finally:
        server.terminate()
        server.wait(30)


if __name__ == "__main__":
    main()

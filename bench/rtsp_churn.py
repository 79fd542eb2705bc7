#!/usr/bin/python3
"""RSS of `vivazuzoz rtsp` while RTSP clients join and leave (not run by CTest).

  bench/rtsp_churn.py [--build build] [--seconds 180] [--size 640x512]

One camera on the virtual camera; ffmpeg clients one after another, over TCP
and UDP in turn, each for 1 to 3 s, so that the shared stream (the camera's
and the encoder's threads) starts and stops again and again. Prints the
server's RSS after the first client, its highest while clients came and went
(sampled every 0.2 s), and after 5 s idle at the end, and the number of clients. Run it twice to see what the bounded allocator arenas
save: as it is, and with MALLOC_ARENA_MAX=16 in the environment (glibc's own
limit on two cores, 8 per core; the server leaves a limit the user set alone).
"""
import argparse
import os
import pathlib
import random
import re
import subprocess
import sys
import tempfile
import threading
import time


def rss_mb(pid):
    for line in pathlib.Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=180)
    parser.add_argument("--size", default="640x512")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    scratch = tempfile.mkdtemp()
    env = dict(os.environ, XDG_STATE_HOME=scratch)
    server = subprocess.Popen([str(build / "bin/vivazuzoz-vcam"), "--size", args.size, "--",
                               str(build / "bin/vivazuzoz"), "rtsp", "--listen", "127.0.0.1:0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
    url = None
    while url is None:
        line = server.stdout.readline()
        if not line:
            sys.exit("the server ended: no address")
        match = re.search(r"(rtsp://\S+/0)$", line.strip())
        url = match.group(1) if match else None
    # The wrapper runs the tool as its child: measure the tool.
    time.sleep(0.5)
    children = pathlib.Path("/proc/%d/task/%d/children" % (server.pid, server.pid)).read_text().split()
    pid = int(children[0]) if children else server.pid
    random.seed(1)

    def client(transport, seconds):
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", transport, "-i", url, "-t",
                        str(seconds), "-f", "null", "-"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)

    client("tcp", 2)
    first = rss_mb(pid)
    highest = [first]
    done = threading.Event()

    def sample():
        while not done.wait(0.2):
            highest[0] = max(highest[0], rss_mb(pid))

    sampler = threading.Thread(target=sample)
    sampler.start()
    clients = 1
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        client("tcp" if clients % 2 else "udp", random.uniform(1, 3))
        clients += 1
    done.set()
    sampler.join()
    time.sleep(5)
    idle = rss_mb(pid)
    server.terminate()
    server.wait(timeout=30)
    arenas = os.environ.get("MALLOC_ARENA_MAX", "bounded by rtsp")
    print("rtsp RSS, MALLOC_ARENA_MAX=%s: after the first client %.1f MB; %d clients in %.0f s, highest %.1f MB; "
          "idle at the end %.1f MB" % (arenas, first, clients, args.seconds, highest[0], idle))


if __name__ == "__main__":
    main()

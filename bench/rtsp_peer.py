#!/usr/bin/python3
"""A stock RTSP server to measure `vivazuzoz rtsp` against (run by
bench/colour_figures.py; not a test).

  bench/rtsp_peer.py --size 640x512 [--fps 25] [--port 0]

gst-rtsp-server with one shared mount built from stock elements only:
videotestsrc of 16-bit grey at the camera's size and rate, converted to I420
by videoconvert and encoded by x264enc as a user would for low latency
(ultrafast, zerolatency, a key frame a second). No colours: the peer does less
than ours, which colours every frame. Prints the stream's address, then serves
until it is ended. Needs Debian's python3-gi and gir1.2-gst-rtsp-server-1.0.
"""
import argparse
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", default="640x512")
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--pattern", default="ball",
                        help="videotestsrc's pattern (ball: a moving disc, like a warm object in a scene)")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(
        "( videotestsrc is-live=true pattern=%s ! video/x-raw,format=GRAY16_LE,width=%d,height=%d,framerate=%d/1"
        " ! videoconvert ! video/x-raw,format=I420"
        " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=%d"
        " ! rtph264pay name=pay0 pt=96 config-interval=-1 )" % (args.pattern, width, height, args.fps, args.fps))
    factory.set_shared(True)
    server.get_mount_points().add_factory("/peer", factory)
    if server.attach(None) == 0:
        sys.exit("rtsp_peer: cannot listen on 127.0.0.1:%d" % args.port)
    print("rtsp://127.0.0.1:%d/peer" % server.get_bound_port(), flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()

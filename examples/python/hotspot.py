#!/usr/bin/python3
"""Prints the hottest point of each frame of a thermal camera.

With OpenCV (Debian: python3-opencv) and a display, also shows the frames in
false colour with the hot point marked; press q or Esc to stop.

    build/bin/vivazuzoz-vcam -- env PYTHONPATH=build/python /usr/bin/python3 examples/python/hotspot.py
"""
import argparse
import os
import sys

DEBIAN_PYTHON = "/usr/bin/python3"

try:
    import numpy as np
    import vivazuzoz
except ImportError as missing:
    # Another python3 first on PATH (pyenv, a virtual environment) lacks
    # Debian's numpy, and the package is built for Debian's interpreter.
    if os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON) and os.access(DEBIAN_PYTHON, os.X_OK):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    sys.exit("hotspot: %s. Run it with Debian's /usr/bin/python3 (python3-numpy) and "
             "PYTHONPATH=build/python after building the project." % missing)


def parse_args():
    parser = argparse.ArgumentParser(description="Print the hottest point of each frame of a thermal camera.")
    parser.add_argument("-d", "--device", default="0",
                        help="camera index, or its video or command node path (default 0)")
    parser.add_argument("-n", "--frames", type=int, default=10,
                        help="number of frames; 0 runs until interrupted (default 10)")
    parser.add_argument("--no-window", action="store_true", help="do not show a window even if OpenCV is installed")
    return parser.parse_args()


def open_window(disabled):
    """cv2 when a false-colour window can be shown, else None."""
    if disabled or not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return None
    try:
        import cv2
    except ImportError:
        return None
    return cv2


def hottest(frame):
    """(x, y, value, unit) of the hottest point: degrees on a radiometric
    stream, the raw image level otherwise."""
    plane = frame.temperature if frame.temperature is not None else frame.image
    y, x = np.unravel_index(np.argmax(plane), plane.shape)
    unit = "degrees" if frame.temperature is not None else "image level"
    return int(x), int(y), float(plane[y, x]), unit


def show(cv2, frame, x, y):
    """False colour of the frame with the hot point circled; False when the user quits."""
    plane = frame.temperature if frame.temperature is not None else frame.image.astype(np.float32)
    low, high = float(plane.min()), float(plane.max())
    grey = ((plane - low) * (255.0 / max(high - low, 1e-6))).astype(np.uint8)
    colour = cv2.applyColorMap(grey, cv2.COLORMAP_INFERNO)
    cv2.circle(colour, (x, y), 8, (255, 255, 255), 2)
    cv2.imshow("hotspot", colour)
    return cv2.waitKey(1) & 0xFF not in (ord("q"), 27)


def keep_stdout_for_results():
    """The library's capture core prints its progress on standard output;
    send that to standard error and keep standard output for the results."""
    sys.stdout.flush()
    results = os.fdopen(os.dup(sys.stdout.fileno()), "w")
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    return results


def main():
    args = parse_args()
    out = keep_stdout_for_results()
    device = int(args.device) if args.device.isdigit() else args.device
    cv2 = open_window(args.no_window)
    try:
        with vivazuzoz.Camera(device) as cam:
            print("%s: %dx%d, %s" % (cam.info.name, cam.width, cam.height,
                                     "image and temperature" if cam.radiometric else "image only"), file=out)
            for frame in cam.frames(count=args.frames or None, timeout=5.0):
                x, y, value, unit = hottest(frame)
                print("frame %d: hottest x %d, y %d (%.1f %s)" % (frame.sequence, x, y, value, unit),
                      file=out, flush=True)
                if cv2 is not None and not show(cv2, frame, x, y):
                    break
    except vivazuzoz.Error as error:
        sys.exit("hotspot: %s" % error)
    except KeyboardInterrupt:
        pass
    finally:
        if cv2 is not None:
            cv2.destroyAllWindows()


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Cost per frame of Camera.read beside a plain numpy copy of the same bytes.

Run under the virtual camera at 1280x1024 with temperature:

    build/bin/vivazuzoz-vcam --size 1280x1024 -- \\
        env PYTHONPATH=build/python /usr/bin/python3 python/bench/read_bench.py

The cost of read is the reading thread's CPU time per call: waiting for the
camera's next frame costs none, copying the planes out and converting the
temperatures does. The baseline, measured in the same run the same way, is
numpy copying the image and raw temperature planes of a frame (the bytes read
copies before the conversion to degrees) into arrays allocated beforehand, so
that the figure is the copy itself and not the allocator's mood; a second
line shows numpy doing all of read's work (both copies and raw / 10 in
float32) into such arrays.
"""
import argparse
import statistics
import sys
import time

import numpy as np

import vivazuzoz


def cpu_per_call(call, repeats):
    costs = []
    for _ in range(repeats):
        start = time.thread_time()
        call()
        costs.append(time.thread_time() - start)
    return statistics.median(costs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-n", "--frames", type=int, default=60, help="frames to read (default 60)")
    args = parser.parse_args()

    with vivazuzoz.Camera(0) as cam:
        if not cam.radiometric:
            sys.exit("read_bench: the camera streams images only; run the virtual camera with --mode temp")
        first = cam.read(timeout=5)
        for _ in range(3):  # warm up allocator and caches
            cam.read(timeout=5)
        read_cost = cpu_per_call(lambda: cam.read(timeout=5), args.frames)
        dropped = cam.dropped

    image, raw = first.image, first.raw_temperature
    image_out, raw_out = np.empty_like(image), np.empty_like(raw)
    degrees_out = np.empty(raw.shape, np.float32)

    def copy():
        np.copyto(image_out, image)
        np.copyto(raw_out, raw)

    def same_work():
        copy()
        np.divide(raw, np.float32(10), out=degrees_out, dtype=np.float32)

    copy_cost = cpu_per_call(copy, args.frames)
    same_cost = cpu_per_call(same_work, args.frames)

    megabytes = (image.nbytes + raw.nbytes) / 1e6
    print("frame %dx%d with temperature, median of %d" % (cam.width, cam.height, args.frames))
    print("  Camera.read                              %7.3f ms per frame" % (read_cost * 1e3))
    print("  numpy copy of image + raw (%.1f MB)       %7.3f ms" % (megabytes, copy_cost * 1e3))
    print("  numpy copies + raw / 10 as float32       %7.3f ms" % (same_cost * 1e3))
    print("  ratio read / copy                        %7.2f" % (read_cost / copy_cost))
    print("  ratio read / numpy doing the same work   %7.2f" % (read_cost / same_cost))
    print("  frames dropped while reading             %7d" % dropped)


if __name__ == "__main__":
    main()

# OpenCV's GStreamer backend reads 16-bit frames from vivazuzozsrc that equal
# the library's (read with the Python package), in both planes. Run under the
# virtual camera's wrapper with no camera configured.
import sys

import cv2
import numpy as np

import vcam_control
import vivazuzoz

vcam_control.add_camera(width=256, height=192)
cam = vivazuzoz.Camera(0)
frame = cam.read(timeout=5)
image, tenths = frame.image.copy(), frame.raw_temperature.copy()
cam.close()

static = np.array([[vcam_control.is_static(0, x, y) for x in range(256)] for y in range(192)])
assert static.sum() > 256 * 192 // 2

for plane, want in (("image", image.astype(np.int64)), ("temperature", tenths.astype(np.int64) + 32768)):
    capture = cv2.VideoCapture(f"vivazuzozsrc plane={plane} num-buffers=5 ! appsink", cv2.CAP_GSTREAMER)
    assert capture.isOpened(), f"OpenCV could not open the {plane} pipeline"
    ok, got = capture.read()
    capture.release()
    assert ok, f"no {plane} frame"
    assert got.dtype == np.uint16 and got.shape == (192, 256), (plane, got.dtype, got.shape)
    differ = np.count_nonzero((got.astype(np.int64) != want) & static)
    assert differ == 0, f"{plane}: {differ} static pixels differ from the library's"
print("ok")

# An OpenCV program reads frames from vivazuzozsrc through its GStreamer
# backend and prints one line of its own: the only line on its standard
# output (the library's lines stay out). Run under the virtual camera's
# wrapper, which gives it one camera.
import cv2

capture = cv2.VideoCapture("vivazuzozsrc num-buffers=5 ! appsink", cv2.CAP_GSTREAMER)
assert capture.isOpened(), "OpenCV could not open the pipeline"
read = sum(1 for _ in range(3) if capture.read()[0])
capture.release()
print(f"{read} frames")

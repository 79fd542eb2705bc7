#include "v4l2core.h"

extern "C" {
struct v4l2core_dev* v4l2core_dev_open(const char*) { return nullptr; }
void v4l2core_dev_getinfo(struct v4l2core_dev*) {}
int v4l2core_dev_init(struct v4l2core_dev*, int, int, int) { return 0; }
int v4l2core_capture_start(struct v4l2core_dev*) { return -1; }
int v4l2core_capture_getframe(struct v4l2core_dev*) { return -1; }
void v4l2core_capture_loop(struct v4l2core_dev*) {}
void v4l2core_capture_stop(struct v4l2core_dev*) {}
void v4l2core_dev_uninit(struct v4l2core_dev*) {}
void v4l2core_dev_clean(struct v4l2core_dev*) {}
}

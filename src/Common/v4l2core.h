// v4l2core - a small capture core that drives one V4L2 video capture node:
// open it and print what it offers, switch it to 16-bit greyscale at its
// current size and rate, map the driver's buffers, stream, dequeue frames one
// at a time, and take everything down again. Progress goes to standard
// output, failures to standard error; nothing is written to the log file.
//
// Every line the core prints ends with a newline and standard output is
// flushed after each one, so the lines appear in order with those of
// standard error and a program that captures its output sees them at once.
//
// Every function declared with default visibility is exported by the shared
// library. Names such as xioctl and check_sum are common in applications'
// own V4L2 code, so the library is linked with -Bsymbolic-functions: its own
// calls always reach its own definitions, whatever the application defines.
//
// Threads: the core has none. `capturing` is read and written only with
// __atomic builtins (sequentially consistent); everything else in the record
// belongs to the thread that drives it, which holds `mutex` around each frame
// wait.
#pragma once

#include <linux/videodev2.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

struct v4l2core_buffer {
    void* start;    // mapped address
    size_t length;  // mapped length (the driver's buffer length)
};

struct v4l2core_dev {
    int fd;
    char* dev_path;
    pthread_mutex_t mutex;  // held by the user around each frame wait
    struct v4l2_capability cap;
    struct v4l2_format set_format;
    struct v4l2_format cur_format;
    struct v4l2_streamparm stream_parm;
    struct v4l2_fmtdesc fmt_desc;
    struct v4l2_frmsizeenum frame_size;
    struct v4l2_frmivalenum frame_ival;
    uint32_t width;
    uint32_t height;
    uint32_t fps;
    uint32_t stream_kind;  // 0 H264, 1 YU12, 2 MJPG; unchanged for other formats
    void* frame_data;      // start of the last dequeued frame, inside a mapped buffer
    uint64_t frame_bytes;  // bytesused of that frame
    uint32_t io_method;    // always 1: memory-mapped streaming
    struct v4l2core_buffer* buffers;
    uint32_t n_buffers;  // entries of `buffers` that are mapped
    uint32_t capturing;  // read and written with __atomic builtins only
    int last_errno;      // errno of the last failed dequeue (written by the frame-waiting thread)
    // Index + 1 of the dequeued buffer that frame_data points into (0: none).
    // The caller reads the frame in place, so the buffer goes back to the
    // driver only at the next frame wait (or is released by the stop): the
    // driver never refills a frame while it is being read.
    uint32_t held_buffer;
};

// A new record with the node open and its information printed, or null.
__attribute__((visibility("default"))) struct v4l2core_dev* v4l2core_dev_open(const char* path);
__attribute__((visibility("default"))) void v4l2core_dev_getinfo(struct v4l2core_dev* vd);
// Y16 at the given size, 1/fps per frame (fps -1 keeps the rate), buffers
// mapped. Always 0: failures show in what the record reads back and in n_buffers.
__attribute__((visibility("default"))) int v4l2core_dev_init(struct v4l2core_dev* vd, int width, int height, int fps);
// Queues every mapped buffer and starts the stream: 0 or -1.
__attribute__((visibility("default"))) int v4l2core_capture_start(struct v4l2core_dev* vd);
// Waits at most 1 s: 1 frame dequeued, 0 none ready, -1 wait error, time-out or failed dequeue.
__attribute__((visibility("default"))) int v4l2core_capture_getframe(struct v4l2core_dev* vd);
__attribute__((visibility("default"))) void v4l2core_capture_loop(struct v4l2core_dev* vd);
__attribute__((visibility("default"))) void v4l2core_capture_stop(struct v4l2core_dev* vd);
__attribute__((visibility("default"))) void v4l2core_dev_uninit(struct v4l2core_dev* vd);
__attribute__((visibility("default"))) void v4l2core_dev_clean(struct v4l2core_dev* vd);

__attribute__((visibility("default"))) void v4l2vore_dev_getCurrentInfo(struct v4l2core_dev* vd);
__attribute__((visibility("default"))) void enum_frame_sizes(struct v4l2core_dev* vd, uint32_t pixelformat);
__attribute__((visibility("default"))) void enum_frame_inval(struct v4l2core_dev* vd, uint32_t pixelformat,
                                                             uint32_t width, uint32_t height);
// ioctl retried while it fails with EINTR.
__attribute__((visibility("default"))) int xioctl(int fd, int request, void* arg);
// 32-bit sum of `count` bytes; 0 for a count of 0 or less.
__attribute__((visibility("default"))) unsigned check_sum(const unsigned char* bytes, int count);
// Unmaps every mapped buffer and frees the table, without asking the driver
// for anything: the half of v4l2core_dev_uninit that also works on a camera
// that has gone away.
void mmapRelease(struct v4l2core_dev* vd);

}  // extern "C"

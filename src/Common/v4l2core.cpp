#include "v4l2core.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The core's invariants hold in release builds too, so they cannot rest on
// assert(), which NDEBUG compiles away. The message keeps assert's shape.
#define V4L2CORE_REQUIRE(cond, text)                                                                    \
    do {                                                                                                \
        if (!(cond)) {                                                                                  \
            fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__, text); \
            abort();                                                                                    \
        }                                                                                               \
    } while (0)

// Progress and information: standard output, flushed per line so that it
// interleaves correctly with standard error and reaches a capturing parent.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// Failures: standard error (unbuffered).
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

void errno_show(const char* what)
{
    const int err = errno;
    complain("%s error %d, %s\n", what, err, strerror(err));
}

bool load_capturing(const v4l2core_dev* vd)
{
    return __atomic_load_n(&vd->capturing, __ATOMIC_SEQ_CST) != 0;
}

// Frees a record that v4l2core_dev_open gives up on.
void discard(v4l2core_dev* vd)
{
    if (vd->fd >= 0)
        close(vd->fd);
    free(vd->dev_path);
    free(vd);
}

int mmapInit(v4l2core_dev* vd)
{
    struct v4l2_requestbuffers req;
    memset(&req, 0, sizeof req);
    req.count = 2;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(vd->fd, VIDIOC_REQBUFS, &req) == -1) {
        if (errno == EINVAL)
            complain("%s does not support memory mapping\n", vd->dev_path);
        else
            errno_show("VIDIOC_REQBUFS");
        return -1;
    }
    if (req.count < 2) {
        complain("Insufficient buffer memory on %s\n", vd->dev_path);
        return -1;
    }
    vd->buffers = static_cast<v4l2core_buffer*>(calloc(req.count, sizeof(v4l2core_buffer)));
    if (vd->buffers == NULL) {
        complain("Out of memory\n");
        return -1;
    }
    for (uint32_t i = 0; i < req.count; ++i) {
        struct v4l2_buffer buf;
        memset(&buf, 0, sizeof buf);
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(vd->fd, VIDIOC_QUERYBUF, &buf) == -1) {
            errno_show("VIDIOC_QUERYBUF");
            return -1;
        }
        vd->buffers[i].length = buf.length;
        void* start = mmap(NULL, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, vd->fd, buf.m.offset);
        const int mmapErrno = errno;
        say("V4L2_CORE: mapped buffer[%i] with length %i to pos %p\n", static_cast<int>(i),
            static_cast<int>(buf.length), start);
        if (start == MAP_FAILED) {
            errno = mmapErrno;
            errno_show("mmap");
            return -1;
        }
        // Only a successful mapping is recorded, so uninit never unmaps MAP_FAILED.
        vd->buffers[i].start = start;
        vd->n_buffers = i + 1;
    }
    return 0;
}

int frameRead(v4l2core_dev* vd)
{
    struct v4l2_buffer buf;
    memset(&buf, 0, sizeof buf);
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (xioctl(vd->fd, VIDIOC_DQBUF, &buf) == -1) {
        vd->last_errno = errno;
        if (errno == EAGAIN)
            return 0;
        errno_show("VIDIOC_DQBUF");
        return -1;
    }
    V4L2CORE_REQUIRE(buf.index < vd->n_buffers, "buf.index < vd->n_buffers");
    vd->frame_data = vd->buffers[buf.index].start;
    vd->frame_bytes = buf.bytesused;
    // The caller reads the frame in place: the buffer stays ours until the
    // next wait (returnHeldBuffer), while the driver fills the other one.
    vd->held_buffer = buf.index + 1;
    return 1;
}

// Gives the buffer of the last frame back to the driver, if one is held.
void returnHeldBuffer(v4l2core_dev* vd)
{
    if (vd->held_buffer == 0)
        return;
    struct v4l2_buffer buf;
    memset(&buf, 0, sizeof buf);
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = vd->held_buffer - 1;
    vd->held_buffer = 0;
    if (xioctl(vd->fd, VIDIOC_QBUF, &buf) == -1)
        errno_show("VIDIOC_QBUF");
}

enum WaitResult { WAIT_READY, WAIT_FAILED, WAIT_TIMEOUT };

// One select on the node with the 1-second time-out, with its messages.
WaitResult waitReadable(v4l2core_dev* vd)
{
    // FD_SET beyond FD_SETSIZE would write past the set: refuse instead.
    if (vd->fd < 0 || vd->fd >= FD_SETSIZE) {
        errno = EBADF;
        complain("Could not grab image (select error): %s\n", strerror(errno));
        return WAIT_FAILED;
    }
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(vd->fd, &fds);
    struct timeval tv;
    tv.tv_sec = 1;
    tv.tv_usec = 0;
    const int r = select(vd->fd + 1, &fds, NULL, NULL, &tv);
    if (r == -1) {
        complain("Could not grab image (select error): %s\n", strerror(errno));
        return WAIT_FAILED;
    }
    if (r == 0) {
        complain("Could not grab image (select timeout): %s\n", strerror(errno));
        return WAIT_TIMEOUT;
    }
    return WAIT_READY;
}

}  // namespace

extern "C" {

int xioctl(int fd, int request, void* arg)
{
    // The request travels as int; widen it without sign extension so that
    // codes with the top bit set (most VIDIOC_ ones) reach ioctl unchanged.
    const unsigned long code = static_cast<unsigned int>(request);
    int r;
    do {
        r = ioctl(fd, code, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

unsigned check_sum(const unsigned char* bytes, int count)
{
    unsigned sum = 0;
    if (bytes == NULL)
        return 0;
    for (int i = 0; i < count; ++i)
        sum += bytes[i];
    return sum;
}

struct v4l2core_dev* v4l2core_dev_open(const char* path)
{
    v4l2core_dev* vd = static_cast<v4l2core_dev*>(calloc(1, sizeof(v4l2core_dev)));
    V4L2CORE_REQUIRE(vd != NULL, "vd != NULL");
    vd->fd = -1;
    vd->io_method = 1;
    vd->fps = 25;
    vd->width = 0;
    vd->height = 0;
    vd->frame_data = NULL;
    vd->frame_bytes = 0;
    vd->dev_path = strdup(path != NULL ? path : "");
    V4L2CORE_REQUIRE(vd->dev_path != NULL, "vd->dev_path != NULL");

    struct stat st;
    if (stat(vd->dev_path, &st) == -1) {
        const int err = errno;
        complain("Cannot identify '%s': %d, %s\n", vd->dev_path, err, strerror(err));
        discard(vd);
        return NULL;
    }
    if (!S_ISCHR(st.st_mode)) {
        complain("%s is no device\n", vd->dev_path);
        discard(vd);
        return NULL;
    }
    vd->fd = open(vd->dev_path, O_RDWR | O_NONBLOCK);
    if (vd->fd == -1) {
        const int err = errno;
        complain("Cannot open '%s': %d, %s\n", vd->dev_path, err, strerror(err));
        discard(vd);
        return NULL;
    }
    v4l2core_dev_getinfo(vd);
    pthread_mutex_init(&vd->mutex, NULL);
    return vd;
}

void v4l2core_dev_getinfo(struct v4l2core_dev* vd)
{
    say("************UVC Device Information************\n");
    memset(&vd->cap, 0, sizeof vd->cap);
    if (xioctl(vd->fd, VIDIOC_QUERYCAP, &vd->cap) == -1) {
        if (errno == EINVAL) {
            complain("%s is no V4L2 device\n", vd->dev_path);
            exit(1);
        }
        return;
    }
    say("driver:\t\t%s\n", reinterpret_cast<const char*>(vd->cap.driver));
    say("card:\t\t%s\n", reinterpret_cast<const char*>(vd->cap.card));
    say("bus_info:\t%s\n", reinterpret_cast<const char*>(vd->cap.bus_info));
    say("version:\t%d\n", static_cast<int>(vd->cap.version));
    say("capabilities:\t%x\n", vd->cap.capabilities);
    if (vd->cap.capabilities & V4L2_CAP_VIDEO_CAPTURE)
        say("Device %s: supports capture.\n", vd->dev_path);
    if (vd->cap.capabilities & V4L2_CAP_STREAMING)
        say("Device %s: supports streaming.\n", vd->dev_path);
    else
        complain("%s does not support streaming i/o\n", vd->dev_path);

    say("************Support Image Formats Information************\n");
    say("Support format:\n");
    memset(&vd->fmt_desc, 0, sizeof vd->fmt_desc);
    vd->fmt_desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (vd->fmt_desc.index = 0; ioctl(vd->fd, VIDIOC_ENUM_FMT, &vd->fmt_desc) == 0; ++vd->fmt_desc.index) {
        say("\t%d.%s\n", static_cast<int>(vd->fmt_desc.index + 1),
            reinterpret_cast<const char*>(vd->fmt_desc.description));
        enum_frame_sizes(vd, vd->fmt_desc.pixelformat);
    }
    v4l2vore_dev_getCurrentInfo(vd);
}

void enum_frame_sizes(struct v4l2core_dev* vd, uint32_t pixelformat)
{
    say("\t\tSupport frame size:\n");
    v4l2_frmsizeenum& fs = vd->frame_size;
    memset(&fs, 0, sizeof fs);
    fs.pixel_format = pixelformat;
    for (fs.index = 0; ioctl(vd->fd, VIDIOC_ENUM_FRAMESIZES, &fs) == 0; ++fs.index) {
        switch (fs.type) {
        case V4L2_FRMSIZE_TYPE_DISCRETE:
            say("\t\t{ discrete: width = %u, height = %u }\n", fs.discrete.width, fs.discrete.height);
            enum_frame_inval(vd, pixelformat, fs.discrete.width, fs.discrete.height);
            break;
        case V4L2_FRMSIZE_TYPE_CONTINUOUS:
            say("\t\t{ continuous: min { width = %u, height = %u } .. max { width = %u, height = %u } }\n",
                fs.stepwise.min_width, fs.stepwise.min_height, fs.stepwise.max_width, fs.stepwise.max_height);
            break;
        case V4L2_FRMSIZE_TYPE_STEPWISE:
            say("\t\t{ stepwise: min { width = %u, height = %u } .. max { width = %u, height = %u } / "
                "stepsize { width = %u, height = %u } }\n",
                fs.stepwise.min_width, fs.stepwise.min_height, fs.stepwise.max_width, fs.stepwise.max_height,
                fs.stepwise.step_width, fs.stepwise.step_height);
            break;
        default:
            complain("V4L2_CORE: fsize.type not supported: %d\n", static_cast<int>(fs.type));
            complain("    (Discrete: %d   Continuous: %d  Stepwise: %d)\n", V4L2_FRMSIZE_TYPE_DISCRETE,
                     V4L2_FRMSIZE_TYPE_CONTINUOUS, V4L2_FRMSIZE_TYPE_STEPWISE);
            break;
        }
    }
}

void enum_frame_inval(struct v4l2core_dev* vd, uint32_t pixelformat, uint32_t width, uint32_t height)
{
    say("\t\tinterval:\n");
    v4l2_frmivalenum& fi = vd->frame_ival;
    memset(&fi, 0, sizeof fi);
    fi.pixel_format = pixelformat;
    fi.width = width;
    fi.height = height;
    for (fi.index = 0; ioctl(vd->fd, VIDIOC_ENUM_FRAMEINTERVALS, &fi) == 0; ++fi.index) {
        switch (fi.type) {
        case V4L2_FRMIVAL_TYPE_DISCRETE:
            say("\t\t{ discrete: %u/%u }\n", fi.discrete.numerator, fi.discrete.denominator);
            break;
        case V4L2_FRMIVAL_TYPE_CONTINUOUS:
            say("\t\t{ continuous: min { %u/%u } .. max { %u/%u } }\n", fi.stepwise.min.numerator,
                fi.stepwise.min.denominator, fi.stepwise.max.numerator, fi.stepwise.max.denominator);
            break;
        case V4L2_FRMIVAL_TYPE_STEPWISE:
            say("\t\t{ stepwise: min { %u/%u } .. max { %u/%u } / stepsize { %u/%u } }\n", fi.stepwise.min.numerator,
                fi.stepwise.min.denominator, fi.stepwise.max.numerator, fi.stepwise.max.denominator,
                fi.stepwise.step.numerator, fi.stepwise.step.denominator);
            break;
        default:
            break;
        }
    }
}

void v4l2vore_dev_getCurrentInfo(struct v4l2core_dev* vd)
{
    say("************Current Image Formats Information************\n");
    memset(&vd->cur_format, 0, sizeof vd->cur_format);
    vd->cur_format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(vd->fd, VIDIOC_G_FMT, &vd->cur_format) == -1) {
        errno_show("VIDIOC_G_FMT");
        say("Unable to get format\n");
        return;
    }
    const v4l2_pix_format& pix = vd->cur_format.fmt.pix;
    say("fmt.type:\t\t%d\n", static_cast<int>(vd->cur_format.type));
    say("pix.pixelformat:\t%c%c%c%c\n", static_cast<char>(pix.pixelformat & 0xFF),
        static_cast<char>((pix.pixelformat >> 8) & 0xFF), static_cast<char>((pix.pixelformat >> 16) & 0xFF),
        static_cast<char>((pix.pixelformat >> 24) & 0xFF));
    say("pix.width:\t\t%d\n", static_cast<int>(pix.width));
    say("pix.height:\t\t%d\n", static_cast<int>(pix.height));
    say("pix.field:\t\t%d\n", static_cast<int>(pix.field));
    vd->width = pix.width;
    vd->height = pix.height;
    switch (pix.pixelformat) {
    case V4L2_PIX_FMT_H264:
        vd->stream_kind = 0;
        break;
    case V4L2_PIX_FMT_YUV420:
        vd->stream_kind = 1;
        break;
    case V4L2_PIX_FMT_MJPEG:
        vd->stream_kind = 2;
        break;
    default:
        break;
    }

    memset(&vd->stream_parm, 0, sizeof vd->stream_parm);
    vd->stream_parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(vd->fd, VIDIOC_G_PARM, &vd->stream_parm) == -1) {
        complain("Unable to set frame interval.\n");
        return;
    }
    const v4l2_fract& tpf = vd->stream_parm.parm.capture.timeperframe;
    say("capture fps:\t\t%d/%d\n", static_cast<int>(tpf.numerator), static_cast<int>(tpf.denominator));
    vd->fps = tpf.numerator != 0 ? tpf.denominator / tpf.numerator : 0;
}

int v4l2core_dev_init(struct v4l2core_dev* vd, int width, int height, int fps)
{
    say("************Set Video Parameters************\n");
    memset(&vd->set_format, 0, sizeof vd->set_format);
    vd->set_format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    vd->set_format.fmt.pix.width = static_cast<uint32_t>(width);
    vd->set_format.fmt.pix.height = static_cast<uint32_t>(height);
    vd->set_format.fmt.pix.pixelformat = V4L2_PIX_FMT_Y16;
    vd->set_format.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(vd->fd, VIDIOC_S_FMT, &vd->set_format) == -1) {
        errno_show("VIDIOC_S_FMT");
        say("Unable to set format\n");
    } else {
        say("Set format success,%dx%d.\n", width, height);
    }

    if (fps != -1) {
        memset(&vd->stream_parm, 0, sizeof vd->stream_parm);
        vd->stream_parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        vd->stream_parm.parm.capture.timeperframe.numerator = 1;
        vd->stream_parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(fps);
        if (xioctl(vd->fd, VIDIOC_S_PARM, &vd->stream_parm) == -1) {
            errno_show("VIDIOC_S_PARM");
            complain("Unable to set frame interval.\n");
        } else {
            say("Set fps success,%d\n", fps);
        }
    }

    v4l2vore_dev_getCurrentInfo(vd);
    // A mapping failure is visible only in n_buffers; init itself always succeeds.
    (void)mmapInit(vd);
    return 0;
}

int v4l2core_capture_start(struct v4l2core_dev* vd)
{
    say("v4l2core_capture_start:\tn_buffers:%d\n", static_cast<int>(vd->n_buffers));
    for (uint32_t i = 0; i < vd->n_buffers; ++i) {
        say("v4l2core_capture_start:\tn_buffers:%d\n", static_cast<int>(i));
        struct v4l2_buffer buf;
        memset(&buf, 0, sizeof buf);
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(vd->fd, VIDIOC_QBUF, &buf) == -1) {
            errno_show("VIDIOC_QBUF");
            return -1;
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(vd->fd, VIDIOC_STREAMON, &type) == -1) {
        errno_show("VIDIOC_STREAMON");
        return -1;
    }
    return 0;
}

int v4l2core_capture_getframe(struct v4l2core_dev* vd)
{
    returnHeldBuffer(vd);
    if (waitReadable(vd) != WAIT_READY)
        return -1;
    return frameRead(vd);
}

void v4l2core_capture_loop(struct v4l2core_dev* vd)
{
    while (load_capturing(vd)) {
        returnHeldBuffer(vd);
        if (waitReadable(vd) == WAIT_READY)
            (void)frameRead(vd);
    }
}

void v4l2core_capture_stop(struct v4l2core_dev* vd)
{
    // The stop takes every buffer back from the driver, the held one too.
    vd->held_buffer = 0;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctl(vd->fd, VIDIOC_STREAMOFF, &type) == -1)
        say("VIDIOC_STREAMOFF error.\n");
}

void mmapRelease(struct v4l2core_dev* vd)
{
    vd->held_buffer = 0;
    for (uint32_t i = 0; i < vd->n_buffers; ++i) {
        if (munmap(vd->buffers[i].start, vd->buffers[i].length) == -1)
            errno_show("munmap");
    }
    free(vd->buffers);
    vd->buffers = NULL;
    vd->n_buffers = 0;
}

void v4l2core_dev_uninit(struct v4l2core_dev* vd)
{
    mmapRelease(vd);
    struct v4l2_requestbuffers req;
    memset(&req, 0, sizeof req);
    req.count = 0;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(vd->fd, VIDIOC_REQBUFS, &req) == -1) {
        if (errno == EINVAL)
            complain("%s does not support memory mapping\n", vd->dev_path);
        else
            errno_show("VIDIOC_REQBUFS");
        return;
    }
    pthread_mutex_destroy(&vd->mutex);
}

void v4l2core_dev_clean(struct v4l2core_dev* vd)
{
    V4L2CORE_REQUIRE(vd != NULL, "vd!=NULL");
    free(vd->dev_path);
    if (vd->fd >= 0)
        close(vd->fd);
    free(vd);
}

}  // extern "C"

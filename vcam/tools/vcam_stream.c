/* vcam-stream - streams a V4L2 capture node with mmap buffers and reports
 * what arrived: frame count, byte counts, the measured rate.
 *
 *   vivazuzoz-vcam -- vcam-stream /dev/vivazuzoz-vcam/video0 50
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#define NBUF 2

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static int request(int fd, unsigned long req, void* arg, const char* name)
{
    if (ioctl(fd, req, arg) == 0)
        return 0;
    fprintf(stderr, "%s: %s\n", name, strerror(errno));
    return -1;
}

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "/dev/vivazuzoz-vcam/video0";
    const int frames = argc > 2 ? atoi(argv[2]) : 50;
    const int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "open %s: %s\n", path, strerror(errno));
        return 1;
    }
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (request(fd, VIDIOC_G_FMT, &fmt, "VIDIOC_G_FMT"))
        return 1;
    struct v4l2_streamparm parm;
    memset(&parm, 0, sizeof parm);
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (request(fd, VIDIOC_G_PARM, &parm, "VIDIOC_G_PARM"))
        return 1;
    printf("%s: %ux%u, %u bytes per frame, %u/%u s per frame\n", path, fmt.fmt.pix.width, fmt.fmt.pix.height,
           fmt.fmt.pix.sizeimage, parm.parm.capture.timeperframe.numerator, parm.parm.capture.timeperframe.denominator);

    struct v4l2_requestbuffers rb;
    memset(&rb, 0, sizeof rb);
    rb.count = NBUF;
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_MMAP;
    if (request(fd, VIDIOC_REQBUFS, &rb, "VIDIOC_REQBUFS") || rb.count < NBUF)
        return 1;
    void* start[NBUF];
    size_t length[NBUF];
    for (unsigned i = 0; i < NBUF; ++i) {
        struct v4l2_buffer b;
        memset(&b, 0, sizeof b);
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        if (request(fd, VIDIOC_QUERYBUF, &b, "VIDIOC_QUERYBUF"))
            return 1;
        length[i] = b.length;
        start[i] = mmap(NULL, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
        if (start[i] == MAP_FAILED) {
            perror("mmap");
            return 1;
        }
        if (request(fd, VIDIOC_QBUF, &b, "VIDIOC_QBUF"))
            return 1;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (request(fd, VIDIOC_STREAMON, &type, "VIDIOC_STREAMON"))
        return 1;

    int got = 0;
    double first = 0, last = 0;
    unsigned long minBytes = ~0ul, maxBytes = 0;
    while (got < frames) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval tv = {2, 0};
        const int r = select(fd + 1, &set, NULL, NULL, &tv);
        if (r == 0) {
            fprintf(stderr, "no frame for 2 s\n");
            break;
        }
        if (r < 0) {
            perror("select");
            break;
        }
        struct v4l2_buffer b;
        memset(&b, 0, sizeof b);
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (ioctl(fd, VIDIOC_DQBUF, &b) != 0) {
            if (errno == EAGAIN)
                continue;
            fprintf(stderr, "VIDIOC_DQBUF: %s\n", strerror(errno));
            break;
        }
        const double t = now();
        if (got == 0)
            first = t;
        last = t;
        if (b.bytesused < minBytes)
            minBytes = b.bytesused;
        if (b.bytesused > maxBytes)
            maxBytes = b.bytesused;
        ++got;
        if (request(fd, VIDIOC_QBUF, &b, "VIDIOC_QBUF"))
            break;
    }
    if (got > 1)
        printf("%d frames, bytesused %lu..%lu, %.2f frames per second\n", got, minBytes, maxBytes,
               (got - 1) / (last - first));
    else
        printf("%d frames\n", got);
    ioctl(fd, VIDIOC_STREAMOFF, &type);
    for (unsigned i = 0; i < NBUF; ++i)
        munmap(start[i], length[i]);
    rb.count = 0;
    ioctl(fd, VIDIOC_REQBUFS, &rb);
    close(fd);
    return got == frames ? 0 : 1;
}

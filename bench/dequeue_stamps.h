// dequeue_stamps.h - for a benchmark program: sees the driver timestamp of
// every buffer the library dequeues, by interposing ioctl (the program's own
// definition comes before the C library's). Include it in one source file of
// the program, and define OnBufferDequeued there.
#pragma once

#include <linux/videodev2.h>

#include <dlfcn.h>
#include <cstdarg>
#include <cstdint>

// Called on the thread that dequeued the buffer, with its driver timestamp
// (CLOCK_MONOTONIC) in microseconds.
void OnBufferDequeued(int64_t driverUs);

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    const int result = next(fd, request, arg);
    if (result == 0 && request == VIDIOC_DQBUF) {
        const auto* buf = static_cast<const v4l2_buffer*>(arg);
        OnBufferDequeued(int64_t(buf->timestamp.tv_sec) * 1000000 + buf->timestamp.tv_usec);
    }
    return result;
}

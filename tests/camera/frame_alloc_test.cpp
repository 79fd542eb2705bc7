// Nothing is allocated per frame. This test binary replaces the global
// operator new with one that counts the allocations made on threads that
// asked to be watched, and streams a thousand frames through the frame path.
#include "../support/wire_camera.h"

#include "VIVAZUZOZ.h"

#include "../support/eventually.h"
#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <string>

namespace {

thread_local bool t_watched = false;
std::atomic<long> g_allocations{0};

void* Allocate(std::size_t size, std::size_t alignment = 0)
{
    if (t_watched)
        ++g_allocations;
    if (size == 0)
        size = 1;
    void* p = nullptr;
    if (alignment > alignof(std::max_align_t)) {
        if (posix_memalign(&p, alignment, size) != 0)
            p = nullptr;
    } else {
        p = std::malloc(size);
    }
    return p;
}

}  // namespace

void* operator new(std::size_t size)
{
    if (void* p = Allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new(std::size_t size, std::align_val_t a)
{
    if (void* p = Allocate(size, static_cast<std::size_t>(a)))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t a) { return operator new(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

// Device requests go to the virtual camera, which stands in for a driver in
// the kernel; its own bookkeeping (queues of buffers) is not the frame
// path's, so allocations inside a request are not counted.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    const bool watched = t_watched;
    t_watched = false;
    const int result = next(fd, request, arg);
    t_watched = watched;
    return result;
}

namespace {

// Frame callbacks that allocate nothing (unless told to, which proves that
// the count sees what happens inside the frame path).
struct Frames {
    std::atomic<int> video{0};
    std::atomic<int> temps{0};
    std::atomic<bool> allocateInCallback{false};
    unsigned sum = 0;
};

void OnVideo(unsigned long, OZL_USB_VIDEO_INFO_CB* f, void* user)
{
    auto* frames = static_cast<Frames*>(user);
    frames->sum += f->data[0];
    if (frames->allocateInCallback)
        frames->sum += static_cast<unsigned>(std::string(100, 'x').size());
    ++frames->video;
}
void OnTemp(unsigned long, OZL_USB_TEMP_INFO_CB* f, void* user)
{
    auto* frames = static_cast<Frames*>(user);
    frames->sum += static_cast<unsigned short>(f->data[f->width * f->height - 1]);
    ++frames->temps;
}

Bytes MakeFrame(size_t bytes)
{
    Bytes frame(bytes);
    for (size_t i = 0; i < bytes; ++i)
        frame[i] = uint8_t(i * 2654435761u >> 13);
    return frame;
}

}  // namespace

TEST(FrameAllocations, AThousandFramesThroughTheFrameHandlerAllocateNothing)
{
    // Image and temperature, then image only; the formula changes midway.
    for (size_t bytes : {size_t(0x30000), size_t(0x18000)}) {
        SCOPED_TRACE(bytes);
        Bytes frame = MakeFrame(bytes);
        WireCamera camera;
        camera.OnDataRecv(frame.data(), frame.size());  // first frame: layout and planes
        Frames frames;
        camera.StartPreview(&OnVideo, &frames);
        camera.StartPullTemp(&OnTemp, &frames);

        // The count sees an allocation made on this thread inside the handler.
        t_watched = true;
        g_allocations = 0;
        frames.allocateInCallback = true;
        camera.OnDataRecv(frame.data(), frame.size());
        frames.allocateInCallback = false;
        t_watched = false;
        ASSERT_GE(g_allocations.load(), 1);
        ASSERT_EQ(frames.video.load(), 1);

        g_allocations = 0;
        t_watched = true;
        for (int i = 0; i < 1000; ++i) {
            if (i == 500) {
                camera.m_tempScale = 80;
                camera.m_tempOffset = -2000;
            }
            camera.OnDataRecv(frame.data(), frame.size());
        }
        t_watched = false;
        EXPECT_EQ(g_allocations.load(), 0);
        EXPECT_EQ(frames.video.load(), 1001);
        EXPECT_EQ(frames.temps.load(), bytes == 0x30000 ? 1001 : 0);
    }
}

namespace {

// On the camera's read thread: from the first callback on, every allocation
// on that thread is counted, including those of the frame wait, the
// dequeue and the requeue between frames.
struct Watched : Frames {
    std::atomic<long> atFirst{-1};
    std::atomic<long> atLast{-1};
    int stopAfter = 0;
};

void OnWatchedVideo(unsigned long handle, OZL_USB_VIDEO_INFO_CB* f, void* user)
{
    auto* w = static_cast<Watched*>(user);
    if (w->atFirst < 0) {
        t_watched = true;
        w->atFirst = g_allocations.load();
    }
    OnVideo(handle, f, user);
    if (w->video.load() == w->stopAfter)
        w->atLast = g_allocations.load();
}

}  // namespace

TEST(FrameAllocations, TheReadThreadAllocatesNothingBetweenFramesOnTheVirtualCamera)
{
    ScratchDir dir;
    OZL_USB_Init();
    vcam::CameraSetup setup;
    setup.fps = 250;
    vcam::AddCamera(setup);
    OZL_USB_SearchDev([](OZL_USB_DEV_INFO*, void*) {}, nullptr);
    unsigned long h = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h));

    // Proof that the read thread's allocations are seen: one per frame while
    // the callback allocates.
    Watched probe;
    probe.allocateInCallback = true;
    probe.stopAfter = 6;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPreview(h, &OnWatchedVideo, &probe));
    ASSERT_TRUE(Eventually([&] { return probe.atLast.load() >= 0; }));
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StopPreview(h));
    EXPECT_GE(probe.atLast - probe.atFirst, 5);

    Watched w;
    w.stopAfter = 300;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPreview(h, &OnWatchedVideo, &w));
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPullTemp(h, &OnTemp, &w));
    ASSERT_TRUE(Eventually([&] { return w.atLast.load() >= 0; }, std::chrono::milliseconds(60000)));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(h));
    EXPECT_EQ(w.atLast - w.atFirst, 0) << "allocations on the read thread over " << w.stopAfter << " frames";
    EXPECT_GE(w.temps.load(), w.stopAfter - 1);
    OZL_USB_Deinit();
    vcam::RemoveAll();
}

// frame_latency - how long a frame takes from the moment the driver marks its
// buffer done to the moment the application's preview callback runs, on the
// virtual camera, through the public functions.
//
// The driver stamps each buffer with CLOCK_MONOTONIC when it completes it
// (the V4L2 buffer timestamp); this program wraps ioctl to note the stamp of
// every buffer the library dequeues on its read thread, and the preview
// callback, on that same thread, subtracts it from the clock. The delay
// covers the wake-up from select, the dequeue, the split and conversion of
// the frame and the call itself.
//
// Usage: frame_latency [--frames N] [--fps F] [--size WxH]... [--image-only]
// Prints, per size, the median, 99th percentile and maximum delay. Writes
// the library's log file (VIVAZUZOZ.log) in the working directory.
#include "VIVAZUZOZ.h"

#include <vcam/VirtualCamera.h>

#include "dequeue_stamps.h"

#include <linux/videodev2.h>

#include <dlfcn.h>
#include <time.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Driver timestamp (microseconds, CLOCK_MONOTONIC) of the last buffer this
// thread dequeued; 0 before the first.
thread_local int64_t t_readyUs = 0;

int64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

void OnBufferDequeued(int64_t driverUs)
{
    t_readyUs = driverUs;
}

namespace {

struct Delays {
    std::vector<int64_t> us;  // read thread only, until `done`
    size_t wanted = 0;
    std::atomic<bool> done{false};
};

void OnPreview(unsigned long, OZL_USB_VIDEO_INFO_CB*, void* user)
{
    auto* d = static_cast<Delays*>(user);
    if (d->done.load() || t_readyUs == 0)
        return;
    d->us.push_back(NowUs() - t_readyUs);
    if (d->us.size() >= d->wanted)
        d->done = true;
}

int64_t Percentile(const std::vector<int64_t>& sorted, double p)
{
    size_t rank = static_cast<size_t>(p * double(sorted.size()) + 0.999999);
    rank = std::min(std::max<size_t>(rank, 1), sorted.size());
    return sorted[rank - 1];
}

// One size; its result line goes to `report` (printed after every run, so
// that the capture core's progress lines on standard output come first).
int Measure(int width, int height, bool withTemp, int frames, double fps, std::string& report)
{
    vcam::CameraSetup setup;
    setup.width = width;
    setup.height = height;
    setup.withTemp = withTemp;
    setup.fps = fps;
    vcam::AddCamera(setup);
    OZL_USB_Init();
    int found = 0;
    OZL_USB_SearchDev([](OZL_USB_DEV_INFO*, void* user) { ++*static_cast<int*>(user); }, &found);
    unsigned long handle = 0;
    if (found < 1 || OZL_USB_OpenDev(0, &handle) != OZL_USB_SUCCESS) {
        std::fprintf(stderr, "frame_latency: cannot open the virtual camera (%dx%d)\n", width, height);
        OZL_USB_Deinit();
        vcam::RemoveAll();
        return 1;
    }
    Delays delays;
    delays.wanted = static_cast<size_t>(frames);
    delays.us.reserve(delays.wanted);
    OZL_USB_StartPreview(handle, &OnPreview, &delays);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(frames / fps * 3 + 10);
    while (!delays.done.load() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    OZL_USB_StopPreview(handle);
    OZL_USB_CloseDev(handle);
    OZL_USB_Deinit();
    vcam::RemoveAll();

    std::vector<int64_t> sorted = delays.us;  // the read thread has been joined
    if (sorted.empty()) {
        std::fprintf(stderr, "frame_latency: no frame arrived (%dx%d)\n", width, height);
        return 1;
    }
    std::sort(sorted.begin(), sorted.end());
    char line[256];
    std::snprintf(
        line, sizeof line,
        "latency %dx%d %s: %zu frames at %.0f fps (period %.1f ms): median %.3f ms, p99 %.3f ms, max %.3f ms\n", width,
        height, withTemp ? "image+temp" : "image", sorted.size(), fps, 1000.0 / fps, Percentile(sorted, 0.5) / 1000.0,
        Percentile(sorted, 0.99) / 1000.0, sorted.back() / 1000.0);
    report += line;
    return 0;
}

void Usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: frame_latency [--frames N] [--fps F] [--size WxH]... [--image-only]\n"
                 "Measures, on the virtual camera, the delay from the driver completing a frame's\n"
                 "buffer to the preview callback, and prints its median, 99th percentile and maximum.\n"
                 "  --frames N     frames measured per size (default 300)\n"
                 "  --fps F        the camera's frame rate (default 25)\n"
                 "  --size WxH     256x192, 384x288, 640x512 or 1280x1024; repeatable\n"
                 "                 (default 256x192 and 1280x1024)\n"
                 "  --image-only   image-only streams (default: image and temperature)\n");
}

}  // namespace

int main(int argc, char** argv)
{
    int frames = 300;
    double fps = 25;
    bool withTemp = true;
    std::vector<std::pair<int, int>> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        int w = 0, h = 0;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--frames" && hasValue) {
            frames = std::atoi(argv[++i]);
        } else if (a == "--fps" && hasValue) {
            fps = std::atof(argv[++i]);
        } else if (a == "--size" && hasValue && std::sscanf(argv[++i], "%dx%d", &w, &h) == 2) {
            sizes.emplace_back(w, h);
        } else if (a == "--image-only") {
            withTemp = false;
        } else {
            std::fprintf(stderr, "frame_latency: unexpected argument '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (frames < 1 || !(fps > 0)) {
        std::fprintf(stderr, "frame_latency: --frames and --fps must be positive\n");
        return 2;
    }
    if (sizes.empty())
        sizes = {{256, 192}, {1280, 1024}};
    int failures = 0;
    std::string report;
    for (const auto& s : sizes)
        failures += Measure(s.first, s.second, withTemp, frames, fps, report);
    std::fflush(stdout);
    std::printf("\n%s", report.c_str());
    return failures ? 1 : 0;
}

// gstreamer_bench - figures for the GStreamer plugin and `vivazuzoz rtsp` on
// the virtual camera. Prints figures; asserts none.
//
//  1. The source's cost per frame beside the library's own callback: the
//     CPU time of this process per frame while (a) empty preview and
//     temperature callbacks receive frames through the public functions and
//     (b) `vivazuzozsrc ! fakesink` runs, same camera, same run. Both include
//     the virtual camera's own work, so the difference is the source's.
//  2. Latency from the driver's buffer time to a decoded frame in an RTSP
//     client: the `rtsp` command runs in this process, ffmpeg reads its
//     stream (decoded to grey on a pipe). The scene's hot plate is switched
//     at random moments; the first buffer the driver completes after a
//     switch (its V4L2 timestamp, noted by wrapping ioctl) is the first that
//     shows it, and the client's first frame that shows it ends the delay.
//
// Usage: gstreamer_bench [--frames N] [--switches N] [--size WxH]...
#include "VIVAZUZOZ.h"

#include <commands.h>
#include <elements.h>

#include <vcam/VirtualCamera.h>

#include "dequeue_stamps.h"

#include <gst/gst.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

int64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

double CpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Driver timestamps of the buffers the library dequeued (CLOCK_MONOTONIC, us).
std::mutex g_stampsMutex;
std::deque<int64_t> g_stamps;  // guarded by g_stampsMutex

}  // namespace

void OnBufferDequeued(int64_t driverUs)
{
    std::lock_guard<std::mutex> hold(g_stampsMutex);
    g_stamps.push_back(driverUs);
    if (g_stamps.size() > 4096)
        g_stamps.pop_front();
}

namespace {

std::atomic<uint64_t> g_frames{0};

void OnImage(unsigned long, OZL_USB_VIDEO_INFO_CB*, void*) {}
void OnTemps(unsigned long, OZL_USB_TEMP_INFO_CB*, void*) { ++g_frames; }
void Found(OZL_USB_DEV_INFO*, void*) {}

void WaitFrames(uint64_t n)
{
    const uint64_t until = g_frames + n;
    while (g_frames < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// CPU seconds per frame with the library's callbacks alone.
double ApiCostPerFrame(int frames)
{
    OZL_USB_Init();
    OZL_USB_SearchDev(Found, nullptr);
    unsigned long handle = 0;
    if (OZL_USB_OpenDev(0, &handle) != OZL_USB_SUCCESS) {
        std::fprintf(stderr, "gstreamer_bench: the virtual camera does not open\n");
        std::exit(1);
    }
    OZL_USB_StartPullTemp(handle, OnTemps, nullptr);
    OZL_USB_StartPreview(handle, OnImage, nullptr);
    WaitFrames(10);
    const double start = CpuSeconds();
    WaitFrames(static_cast<uint64_t>(frames));
    const double cost = (CpuSeconds() - start) / frames;
    OZL_USB_CloseDev(handle);
    OZL_USB_Deinit();
    return cost;
}

GstPadProbeReturn CountBuffer(GstPad*, GstPadProbeInfo*, gpointer)
{
    ++g_frames;
    return GST_PAD_PROBE_OK;
}

// CPU seconds per frame with `vivazuzozsrc ! fakesink`.
double SourceCostPerFrame(int frames)
{
    GstElement* pipeline = gst_parse_launch("vivazuzozsrc ! fakesink name=sink", nullptr);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountBuffer, nullptr, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    WaitFrames(10);
    const double start = CpuSeconds();
    WaitFrames(static_cast<uint64_t>(frames));
    const double cost = (CpuSeconds() - start) / frames;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return cost;
}

// Grey frames of an ffmpeg client, and when each switch of the hot plate
// reached it.
class Client {
public:
    Client(const std::string& url, int width, int height, int x, int y) : width_(width), height_(height), at_(y * width + x)
    {
        int fds[2];
        if (pipe(fds) != 0)
            std::exit(1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const char* args[] = {"ffmpeg", "-v", "error", "-nostdin", "-fflags", "nobuffer", "-flags", "low_delay",
                              "-probesize", "32", "-analyzeduration", "0", "-threads", "1", "-rtsp_transport", "tcp", "-i",
                              url.c_str(), "-f", "rawvideo", "-pix_fmt", "gray", "pipe:1", nullptr};
        if (posix_spawnp(&pid_, "ffmpeg", &actions, nullptr, const_cast<char**>(args), environ) != 0) {
            std::fprintf(stderr, "gstreamer_bench: ffmpeg does not start\n");
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        pipe_ = fdopen(fds[0], "r");
        reader_ = std::thread([this] { Read(); });
    }
    ~Client()
    {
        stop_ = true;
        kill(pid_, SIGTERM);
        reader_.join();
        std::fclose(pipe_);
        waitpid(pid_, nullptr, 0);
    }
    // The time the client first showed the plate `on` after `since`, or 0.
    int64_t SeenAfter(bool on, int64_t since, int64_t timeoutUs)
    {
        const int64_t end = NowUs() + timeoutUs;
        while (NowUs() < end) {
            {
                std::lock_guard<std::mutex> hold(mutex_);
                for (const auto& [time, state] : changes_)
                    if (time > since && state == on)
                        return time;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    }
    uint64_t frames() const { return frames_; }

private:
    void Read()
    {
        std::vector<uint8_t> frame(static_cast<size_t>(width_) * height_);
        bool last = false;
        while (!stop_ && std::fread(frame.data(), 1, frame.size(), pipe_) == frame.size()) {
            const int64_t now = NowUs();
            ++frames_;
            const bool on = frame[static_cast<size_t>(at_)] > 128;
            if (on != last || frames_ == 1) {
                std::lock_guard<std::mutex> hold(mutex_);
                changes_.push_back({now, on});
            }
            last = on;
        }
    }

    const int width_, height_, at_;
    pid_t pid_ = 0;
    FILE* pipe_ = nullptr;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
    std::mutex mutex_;
    std::vector<std::pair<int64_t, bool>> changes_;  // guarded by mutex_
};

std::string ServeInThread(std::thread& server, FILE*& out)
{
    out = std::tmpfile();
    server = std::thread([out] {
        vivatool::RunTool({"rtsp", "--listen", "127.0.0.1:0"}, out, stderr, false);
    });
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::fflush(out);
        std::rewind(out);
        char line[512];
        while (std::fgets(line, sizeof line, out))
            if (const char* url = std::strstr(line, "rtsp://")) {
                std::string u = url;
                u.erase(u.find_last_not_of("\r\n") + 1);
                return u;
            }
    }
    return "";
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

void Latency(vcam::Camera& cam, int width, int height, int switches)
{
    cam.SetHotObject(true);
    const int x = cam.HotspotX(), y = cam.HotspotY();
    std::thread server;
    FILE* out = nullptr;
    const std::string url = ServeInThread(server, out);
    if (url.empty()) {
        std::fprintf(stderr, "gstreamer_bench: the rtsp command printed no address\n");
        std::exit(1);
    }
    std::vector<double> delays;
    {
        Client client(url, width, height, x, y);
        while (client.frames() < 25)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::mt19937 random(1);
        bool on = true;
        int missed = 0;
        for (int i = 0; i < switches; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250 + random() % 200));
            on = !on;
            cam.SetHotObject(on);
            const int64_t switched = NowUs();
            const int64_t seen = client.SeenAfter(on, switched, 3000000);
            int64_t driver = 0;
            {
                std::lock_guard<std::mutex> hold(g_stampsMutex);
                for (int64_t t : g_stamps)
                    if (t > switched) {
                        driver = t;
                        break;
                    }
            }
            if (seen == 0 || driver == 0 || seen < driver) {
                ++missed;
                continue;
            }
            delays.push_back((seen - driver) / 1000.0);
        }
        std::printf("rtsp latency %dx%d: driver buffer -> decoded in ffmpeg: median %.1f ms, p99 %.1f ms, max %.1f ms "
                    "(%zu switches, %d not seen)\n",
                    width, height, Percentile(delays, 0.5), Percentile(delays, 0.99), Percentile(delays, 1.0),
                    delays.size(), missed);
    }
    std::raise(SIGTERM);
    server.join();
    std::fclose(out);
}

}  // namespace

int main(int argc, char** argv)
{
    int frames = 250, switches = 60;
    std::vector<std::pair<int, int>> sizes;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--frames")
            frames = std::atoi(argv[i + 1]);
        else if (option == "--switches")
            switches = std::atoi(argv[i + 1]);
        else if (option == "--size") {
            int w = 0, h = 0;
            if (std::sscanf(argv[i + 1], "%dx%d", &w, &h) == 2)
                sizes.push_back({w, h});
        }
    }
    if (sizes.empty())
        sizes = {{640, 512}, {1280, 1024}};
    gst_init(&argc, &argv);
    vivazuzoz_register_elements(nullptr);
    for (const auto& [width, height] : sizes) {
        vcam::CameraSetup setup;
        setup.width = width;
        setup.height = height;
        vcam::Camera& cam = vcam::AddCamera(setup);
        const double api = ApiCostPerFrame(frames);
        const double source = SourceCostPerFrame(frames);
        std::printf("source cost %dx%d: library callbacks %.3f ms/frame, vivazuzozsrc ! fakesink %.3f ms/frame, "
                    "source adds %.3f ms/frame (ratio %.2f)\n",
                    width, height, api * 1e3, source * 1e3, (source - api) * 1e3, api > 0 ? source / api : 0);
        std::fflush(stdout);
        Latency(cam, width, height, switches);
        std::fflush(stdout);
        vcam::RemoveAll();
    }
    return 0;
}

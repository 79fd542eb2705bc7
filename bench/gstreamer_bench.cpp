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
//     Ours and a stock gst-rtsp-server mount on the same source (videoconvert
//     ! x264enc), each with ffmpeg's and GStreamer's low-latency client
//     settings, then ours with each client's defaults. BENCH_TRACE=1 in the
//     environment prints each decoded frame's time and the plate's grey, and
//     each switch, on stderr: where a delay builds up shows there.
//
// Usage: gstreamer_bench [--frames N] [--switches N] [--size WxH]...
#include "VIVAZUZOZ.h"

#include <commands.h>
#include <elements.h>

#include <vcam/VirtualCamera.h>

#include "dequeue_stamps.h"

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
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
    Client(const std::vector<std::string>& command, int width, int height, int x, int y)
        : width_(width), height_(height), at_(y * width + x)
    {
        int fds[2];
        if (pipe(fds) != 0)
            std::exit(1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> args;
        for (const std::string& a : command)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
            std::fprintf(stderr, "gstreamer_bench: %s does not start\n", args[0]);
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
        // A switch is a jump of the plate's grey between two frames: up when
        // it heats, down when it cools. Not a threshold, because the colour
        // map's range follows the scene: the plate off, its place becomes
        // the frame's warmest and brightens again over a second or so.
        int last = -1;
        while (!stop_ && std::fread(frame.data(), 1, frame.size(), pipe_) == frame.size()) {
            const int64_t now = NowUs();
            ++frames_;
            const int grey = frame[static_cast<size_t>(at_)];
            if (std::getenv("BENCH_TRACE"))
                std::fprintf(stderr, "TRACE %lld frame %llu grey %d\n", static_cast<long long>(now / 1000),
                             static_cast<unsigned long long>(frames_.load()), grey);
            if (last >= 0 && std::abs(grey - last) > kJump) {
                std::lock_guard<std::mutex> hold(mutex_);
                changes_.push_back({now, grey > last});
            }
            last = grey;
        }
    }

    static constexpr int kJump = 40;
    const int width_, height_, at_;
    pid_t pid_ = 0;
    FILE* pipe_ = nullptr;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
    std::mutex mutex_;
    std::vector<std::pair<int64_t, bool>> changes_;  // guarded by mutex_
};

// The RTSP clients measured: each decodes to grey frames on its standard
// output. "ffmpeg" and "gst latency=0" with the settings for the lowest
// latency (README: "Lowest latency"), the others as they come.
struct ClientKind {
    const char* name;
    std::vector<std::string> (*command)(const std::string& url);
};
// GStreamer's player pipeline on its standard output: rtspsrc with
// `options`, H.264 decoded to grey, and a sink that syncs or not.
std::vector<std::string> GstClient(const std::string& url, std::vector<std::string> options, const char* sync)
{
    std::vector<std::string> command = {"gst-launch-1.0", "-q", "rtspsrc", "location=" + url, "protocols=tcp"};
    command.insert(command.end(), options.begin(), options.end());
    for (const char* part : {"!", "rtph264depay", "!", "h264parse", "!", "openh264dec", "!", "videoconvert", "!",
                             "video/x-raw,format=GRAY8", "!", "fdsink", "fd=1"})
        command.push_back(part);
    command.push_back(sync);
    return command;
}

std::vector<std::string> FfmpegClient(const std::string& url, std::vector<std::string> options,
                                      const char* transport = "tcp")
{
    std::vector<std::string> command = {"ffmpeg", "-v", "error", "-nostdin"};
    command.insert(command.end(), options.begin(), options.end());
    for (const char* part : {"-rtsp_transport", transport, "-i"})
        command.push_back(part);
    command.push_back(url);
    for (const char* part : {"-f", "rawvideo", "-pix_fmt", "gray", "pipe:1"})
        command.push_back(part);
    return command;
}

std::vector<std::string> FfmpegLowDelay(const std::string& url, const char* transport)
{
    return FfmpegClient(url,
                        {"-fflags", "nobuffer", "-flags", "low_delay", "-probesize", "32", "-analyzeduration", "0",
                         "-threads", "1"},
                        transport);
}

const ClientKind kClients[] = {
    {"ffmpeg low-delay", [](const std::string& url) { return FfmpegLowDelay(url, "tcp"); }},
    {"gst rtspsrc latency=0", [](const std::string& url) { return GstClient(url, {"latency=0"}, "sync=false"); }},
    {"ffmpeg low-delay, UDP", [](const std::string& url) { return FfmpegLowDelay(url, "udp"); }},
    {"ffmpeg defaults", [](const std::string& url) { return FfmpegClient(url, {}); }},
    {"gst rtspsrc defaults", [](const std::string& url) { return GstClient(url, {}, "sync=true"); }},
};

// An RTSP server on loopback, until destroyed: ours (the `rtsp` command in
// this process) or the peer, a stock gst-rtsp-server mount on the same
// source with stock elements after it (videoconvert to grey I420, x264enc
// with the usual low-latency settings and its own threads).
class Server {
public:
    explicit Server(bool ours) : ours_(ours)
    {
        if (ours) {
            out_ = std::tmpfile();
            thread_ = std::thread([this] {
                vivatool::RunTool({"rtsp", "--listen", "127.0.0.1:0"}, out_, stderr, false);
            });
            for (int i = 0; i < 200 && url_.empty(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                std::fflush(out_);
                std::rewind(out_);
                char line[512];
                while (std::fgets(line, sizeof line, out_))
                    if (const char* url = std::strstr(line, "rtsp://")) {
                        url_ = url;
                        url_.erase(url_.find_last_not_of("\r\n") + 1);
                    }
            }
            return;
        }
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        server_ = gst_rtsp_server_new();
        gst_rtsp_server_set_address(server_, "127.0.0.1");
        gst_rtsp_server_set_service(server_, "0");
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory,
                                          "( vivazuzozsrc ! videoconvert ! video/x-raw,format=I420"
                                          " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25"
                                          " ! video/x-h264,profile=constrained-baseline"
                                          " ! rtph264pay name=pay0 pt=96 config-interval=-1 )");
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
        gst_rtsp_mount_points_add_factory(mounts, "/peer", factory);
        g_object_unref(mounts);
        gst_rtsp_server_attach(server_, context_);
        url_ = "rtsp://127.0.0.1:" + std::to_string(gst_rtsp_server_get_bound_port(server_)) + "/peer";
        thread_ = std::thread([this] { g_main_loop_run(loop_); });
    }
    ~Server()
    {
        if (ours_) {
            std::raise(SIGTERM);
            thread_.join();
            std::fclose(out_);
            return;
        }
        g_main_loop_quit(loop_);
        thread_.join();
        // Closes the sessions and their media before the server goes.
        GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(server_);
        gst_rtsp_session_pool_cleanup(pool);
        g_object_unref(pool);
        g_object_unref(server_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    const std::string& url() const { return url_; }

private:
    const bool ours_;
    std::string url_;
    std::thread thread_;
    FILE* out_ = nullptr;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GstRTSPServer* server_ = nullptr;
};

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

// The median delay from the driver's buffer to the client's decoded frame,
// over `switches` switches of the hot plate.
void Latency(vcam::Camera& cam, int width, int height, int switches, bool ours, const ClientKind& kind)
{
    cam.SetHotObject(true);
    const int x = cam.HotspotX(), y = cam.HotspotY();
    std::vector<double> delays;
    int missed = 0;
    {
        Server server(ours);
        if (server.url().empty()) {
            std::fprintf(stderr, "gstreamer_bench: the rtsp server printed no address\n");
            std::exit(1);
        }
        Client client(kind.command(server.url()), width, height, x, y);
        for (int i = 0; i < 1000 && client.frames() < 25; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::mt19937 random(1);
        bool on = true;
        for (int i = 0; i < switches && client.frames() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250 + random() % 200));
            on = !on;
            cam.SetHotObject(on);
            const int64_t switched = NowUs();
            if (std::getenv("BENCH_TRACE"))
                std::fprintf(stderr, "TRACE %lld switch %d\n", static_cast<long long>(switched / 1000), on);
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
    }
    if (delays.empty() && missed == 0) {
        std::printf("rtsp latency %dx%d, %-4s server, %-21s: the client decoded no frame\n", width, height,
                    ours ? "ours" : "peer", kind.name);
    } else {
        std::printf(
            "rtsp latency %dx%d, %-4s server, %-21s: driver buffer -> decoded frame: median %6.1f ms, p99 "
            "%6.1f ms, max %6.1f ms (%zu switches, %d not seen)\n",
            width, height, ours ? "ours" : "peer", kind.name, Percentile(delays, 0.5), Percentile(delays, 0.99),
            Percentile(delays, 1.0), delays.size(), missed);
    }
    std::fflush(stdout);
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
        // Ours and the peer in turn with the low-latency clients, then ours
        // with the clients as they come.
        for (const ClientKind* kind : {&kClients[0], &kClients[1], &kClients[2]})
            for (bool ours : {false, true})
                Latency(cam, width, height, switches, ours, *kind);
        for (const ClientKind* kind : {&kClients[3], &kClients[4]})
            Latency(cam, width, height, switches, true, *kind);
        vcam::RemoveAll();
    }
    return 0;
}

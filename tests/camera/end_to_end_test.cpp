// The camera through the public functions only, on virtual cameras: search,
// open, frames to callbacks with the scene's temperatures, settings on the
// camera model, unplug and shutdown with cameras still open.
#include "VIVAZUZOZ.h"

#include "../support/eventually.h"
#include "../support/public_api.h"
#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;


// What a temperature callback saw of the latest frame.
struct TempSink {
    std::mutex lock;
    std::vector<short> plane;
    int width = 0;
    int height = 0;
    std::atomic<int> frames{0};
    static void Take(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
    {
        auto* self = static_cast<TempSink*>(user);
        std::lock_guard<std::mutex> hold(self->lock);
        self->plane.assign(frame->data, frame->data + frame->width * frame->height);
        self->width = frame->width;
        self->height = frame->height;
        ++self->frames;
    }
};

class CameraEndToEnd : public testing::Test {
protected:
    void SetUp() override { OZL_USB_Init(); }
    void TearDown() override
    {
        OZL_USB_Deinit();
        vcam::RemoveAll();
    }
    ScratchDir dir_;
};

}  // namespace

TEST_F(CameraEndToEnd, TemperaturesInTheCallbackAreTheScenesAtEveryStaticPixel)
{
    vcam::CameraSetup setup;
    setup.width = 384;
    setup.height = 288;
    vcam::Camera& cam = vcam::AddCamera(setup);
    ASSERT_EQ(1u, Search().size());
    unsigned long h = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h));
    int w = 0, ht = 0;
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_GetFPASize(h, &w, &ht));
    EXPECT_EQ(384, w);
    EXPECT_EQ(288, ht);

    TempSink sink;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPullTemp(h, &TempSink::Take, &sink));
    // The preview keeps frames coming after the temperatures stop, so that a
    // late temperature callback would be seen.
    static std::atomic<int> previews{0};
    previews = 0;
    auto onPreview = [](unsigned long, OZL_USB_VIDEO_INFO_CB*, void*) { ++previews; };
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPreview(h, onPreview, nullptr));
    ASSERT_TRUE(Eventually([&] { return sink.frames.load() >= 2; }));
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StopPullTemp(h));
    const int seen = sink.frames.load();
    const int previewsAtStop = previews.load();
    ASSERT_TRUE(Eventually([&] { return previews.load() >= previewsAtStop + 3; }));
    EXPECT_EQ(seen, sink.frames.load()) << "a temperature callback ran after StopPullTemp returned";
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_StopPreview(h));

    ASSERT_EQ(384, sink.width);
    ASSERT_EQ(288, sink.height);
    int compared = 0;
    for (int y = 0; y < 288; y += 7)
        for (int x = 0; x < 384; x += 5) {
            if (!cam.IsStatic(x, y))
                continue;
            ASSERT_EQ(cam.SceneTenths(x, y), sink.plane[y * 384 + x]) << "at " << x << "," << y;
            ++compared;
        }
    EXPECT_GT(compared, 1000);
    const int hot = sink.plane[cam.HotspotY() * 384 + cam.HotspotX()];
    EXPECT_EQ(cam.SceneTenths(cam.HotspotX(), cam.HotspotY()), hot);
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(h));
    EXPECT_EQ(OZL_USB_INVALID_PARAM, OZL_USB_CloseDev(h));
}

TEST_F(CameraEndToEnd, SettingsReachTheCameraModelAndReadBack)
{
    vcam::Camera& cam = vcam::AddCamera();
    ASSERT_EQ(1u, Search().size());
    unsigned long h = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h));

    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_SetPalleteType(h, 4));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_SeTempLevel(h, 2));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_SetTempUnit(h, 1));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_SetImageLevel(h, 6));
    OZL_USB_ENV_PARAM env{-12.5f, 3.25f, 0.9f, 30.0f, 0.8f};
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_SetEnvParam(h, &env));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_SetImageParam(h, OZL_USB_IMAGE_PARAM_CONTRAST, 300));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CorrectShutter(h));

    const vcam::Model m = cam.model();
    EXPECT_EQ(4, m.palette);
    EXPECT_EQ(3, m.tempLevelCode);
    EXPECT_EQ(1, m.tempUnit);
    EXPECT_EQ(6, m.imageLevel);
    EXPECT_EQ(-125000, m.env[0]);
    EXPECT_EQ(32500, m.env[1]);
    EXPECT_EQ(9000, m.env[2]);
    EXPECT_EQ(300000, m.env[3]);
    EXPECT_EQ(8000, m.env[4]);
    EXPECT_EQ(300, m.tuning[2]);
    EXPECT_EQ(1, m.shutterCount);

    int v = -1;
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_GetPalleteType(h, &v));
    EXPECT_EQ(4, v);
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_GetTempLevel(h, &v));
    EXPECT_EQ(2, v);
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_GetImageParam(h, OZL_USB_IMAGE_PARAM_CONTRAST, &v));
    EXPECT_EQ(300, v);
    OZL_USB_ENV_PARAM back{};
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_GetEnvParam(h, &back));
    EXPECT_FLOAT_EQ(-12.5f, back.atmosTemp);
    EXPECT_FLOAT_EQ(0.9f, back.emissivity);
    float t = 0;
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_GetFPATemp(h, &t));
    EXPECT_FLOAT_EQ(m.fpaTemp / 100.0f, t);

    // A camera that stops answering fails the command, and recovers.
    cam.SetPortFault(vcam::PortFault::Silence);
    EXPECT_EQ(OZL_USB_FAILURE, OZL_USB_GetPalleteType(h, &v));
    cam.SetPortFault(vcam::PortFault::WrongStatus);
    EXPECT_EQ(OZL_USB_FAILURE, OZL_USB_SetPalleteType(h, 1));
    cam.SetPortFault(vcam::PortFault::None);
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_GetPalleteType(h, &v));
    EXPECT_EQ(cam.model().palette, v);
}

TEST_F(CameraEndToEnd, AnUnplugWhileStreamingIsReportedOnceAndTheCameraStillCloses)
{
    vcam::Camera& first = vcam::AddCamera();
    vcam::Camera& second = vcam::AddCamera();
    // Opened later, only to show that the poll went round again.
    vcam::Camera& third = vcam::AddCamera();
    vcam::Camera& fourth = vcam::AddCamera();
    ASSERT_EQ(4u, Search().size());
    unsigned long a = 0, b = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &a));
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(1, &b));
    EXPECT_NE(a, b);

    struct Seen {
        std::mutex lock;
        std::vector<std::pair<unsigned long, int>> events;
    } seen;
    auto onException = [](unsigned long handle, int code, void* user) {
        auto* s = static_cast<Seen*>(user);
        std::lock_guard<std::mutex> hold(s->lock);
        s->events.push_back({handle, code});
    };
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_SetExceptionCallback(a, onException, &seen));
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_SetExceptionCallback(b, onException, &seen));
    TempSink sinkB;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPullTemp(b, &TempSink::Take, &sinkB));

    first.Unplug();
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> hold(seen.lock);
        return !seen.events.empty();
    }));
    // The onset must not be reported again, however often the poll goes
    // round. A camera opened after that report is polled from a later round
    // on; one opened after its unplug was reported, from a later round still,
    // so the round before it, which saw the first camera again, has finished.
    for (const auto& [index, camera] : {std::pair<int, vcam::Camera*>{2, &third}, {3, &fourth}}) {
        unsigned long later = 0;
        ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(index, &later));
        ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_SetExceptionCallback(later, onException, &seen));
        camera->Unplug();
        ASSERT_TRUE(Eventually([&] {
            std::lock_guard<std::mutex> hold(seen.lock);
            return std::any_of(seen.events.begin(), seen.events.end(), [&](const auto& e) { return e.first == later; });
        }));
        EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(later));
    }
    {
        std::lock_guard<std::mutex> hold(seen.lock);
        seen.events.erase(std::remove_if(seen.events.begin(), seen.events.end(),
                                         [&](const auto& e) { return e.first != a && e.first != b; }),
                          seen.events.end());
    }
    {
        std::lock_guard<std::mutex> hold(seen.lock);
        ASSERT_EQ(1u, seen.events.size());
        EXPECT_EQ(a, seen.events[0].first);
        EXPECT_EQ(OZL_USB_EXCEPTION_DEV_STATE, seen.events[0].second);
    }
    // The other camera goes on streaming.
    const int before = sinkB.frames.load();
    EXPECT_TRUE(Eventually([&] { return sinkB.frames.load() > before + 2; }));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(a));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "closing an unplugged camera hung";
    // b is still open and streaming: Deinit takes it down, and its callback
    // (whose sink lives in this scope) is not called afterwards.
    OZL_USB_Deinit();
    const int last = sinkB.frames.load();
    // Once the capture node is closed no frame handler is left to run.
    ASSERT_TRUE(Eventually([&] { return !second.videoOpen(); }));
    EXPECT_EQ(last, sinkB.frames.load()) << "a temperature callback ran after Deinit returned";
}

TEST_F(CameraEndToEnd, DeinitWithCamerasStreamingWhileACallbackCallsTheLibrary)
{
    vcam::Camera& cam = vcam::AddCamera();
    ASSERT_EQ(1u, Search().size());
    unsigned long h = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h));
    static std::atomic<int> calls{0};
    auto onFrame = [](unsigned long handle, OZL_USB_VIDEO_INFO_CB*, void*) {
        int w, ht;
        OZL_USB_GetFPASize(handle, &w, &ht);  // 0 while open, 3 once shutdown has begun
        ++calls;
    };
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPreview(h, onFrame, nullptr));
    ASSERT_TRUE(Eventually([&] { return calls.load() >= 2; }));
    OZL_USB_Deinit();
    const int after = calls.load();
    // Once the capture node is closed no frame handler is left to run.
    ASSERT_TRUE(Eventually([&] { return !cam.videoOpen(); }));
    EXPECT_EQ(after, calls.load()) << "a frame was delivered after Deinit returned";
    EXPECT_EQ(OZL_USB_INVALID_PARAM, OZL_USB_CloseDev(h));

    // The library can be started again and the camera reopened.
    OZL_USB_Init();
    ASSERT_EQ(1u, Search().size());
    unsigned long again = 0;
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &again));
}

namespace {

// The mean of a 10x10 block of the wall at (20, 20) in the sink's latest frame, in tenths.
double WallMean(TempSink& sink)
{
    std::lock_guard<std::mutex> hold(sink.lock);
    double sum = 0;
    for (int y = 20; y < 30; ++y)
        for (int x = 20; x < 30; ++x)
            sum += sink.plane[static_cast<size_t>(y * sink.width + x)];
    return sum / 100;
}

bool Flat(TempSink& sink)
{
    std::lock_guard<std::mutex> hold(sink.lock);
    return std::all_of(sink.plane.begin(), sink.plane.end(), [&](short t) { return t == sink.plane.front(); });
}

}  // namespace

TEST_F(CameraEndToEnd, ReadingsDriftWithTheFpaUntilACorrectionThatShowsItsShutterAndResetsThem)
{
    vcam::CameraSetup setup;
    setup.driftPerMinute = 3;  // 3 degrees per simulated minute, one simulated minute per real second
    setup.timeScale = 60;
    setup.shutterMs = 400;
    setup.shutterLook = vcam::ShutterLook::Flat;
    vcam::Camera& cam = vcam::AddCamera(setup);
    ASSERT_EQ(1u, Search().size());
    unsigned long h = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h));
    const double truth = cam.SceneTenths(25, 25);
    TempSink sink;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPullTemp(h, &TempSink::Take, &sink));
    ASSERT_TRUE(Eventually([&] { return sink.frames.load() >= 2; }));

    // The FPA cools and the wall's reading rises as much.
    float fpa1 = 0, fpa2 = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_GetFPATemp(h, &fpa1));
    ASSERT_TRUE(Eventually([&] { return WallMean(sink) > truth + 40; }, 10s)) << WallMean(sink) << " " << truth;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_GetFPATemp(h, &fpa2));
    EXPECT_LT(fpa2, fpa1 - 0.5f);

    // A correction: flat frames at 15 C while the command waits for it, and
    // the reading back at the truth once it has answered.
    std::atomic<bool> done{false};
    std::atomic<int> flatSeen{0};
    std::thread watcher([&] {
        for (int last = sink.frames.load(); !done; std::this_thread::sleep_for(5ms))
            if (sink.frames.load() != last) {
                last = sink.frames.load();
                flatSeen += Flat(sink) ? 1 : 0;
            }
    });
    const uint64_t before = cam.corrections();
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CorrectShutter(h));
    done = true;
    watcher.join();
    EXPECT_GE(flatSeen.load(), 3);
    EXPECT_EQ(before + 1, cam.corrections());
    const int after = sink.frames.load();
    ASSERT_TRUE(Eventually([&] { return sink.frames.load() >= after + 2; }));
    EXPECT_LT(WallMean(sink), truth + 5);  // the drift of the few frames since, at most
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(h));
}

TEST_F(CameraEndToEnd, AnAutomaticCorrectionFreezesTheFramesWithoutAWordOnThePort)
{
    vcam::CameraSetup setup;
    setup.autoShutter = 30;
    setup.timeScale = 60;  // every half second
    setup.shutterMs = 300;
    vcam::Camera& cam = vcam::AddCamera(setup);
    ASSERT_EQ(1u, Search().size());
    unsigned long h = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h));
    TempSink sink;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPullTemp(h, &TempSink::Take, &sink));
    cam.ClearRequests();
    ASSERT_TRUE(Eventually([&] { return cam.corrections() >= 3; }, 20s));
    // The rolling ball stops while the shutter is closed: identical planes in a row.
    std::vector<short> previous;
    int repeats = 0;
    for (int last = sink.frames.load(), seen = 0; seen < 60; std::this_thread::sleep_for(5ms)) {
        if (sink.frames.load() == last)
            continue;
        last = sink.frames.load();
        ++seen;
        std::lock_guard<std::mutex> hold(sink.lock);
        repeats += sink.plane == previous ? 1 : 0;
        previous = sink.plane;
    }
    EXPECT_GE(repeats, 3);
    EXPECT_TRUE(cam.requests().empty());
    EXPECT_EQ(0, cam.model().shutterCount);
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(h));
}

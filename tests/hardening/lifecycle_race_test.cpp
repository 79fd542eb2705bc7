// Races between the ways a camera's life can end: two closers, a close or a
// shutdown against a frame callback's shutdown, the exception callback
// against a close, a shutdown from the exception callback. Each runs its
// racing threads released together, many rounds, through the public
// functions on a virtual camera. A hang shows as the test's time-out.
#include "VIVAZUZOZ.h"

#include "../support/eventually.h"
#include "../support/public_api.h"
#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool Documented(int result) { return result == OZL_USB_SUCCESS || result == OZL_USB_INVALID_PARAM; }

int SearchCount()
{
    int found = 0;
    OZL_USB_SearchDev([](OZL_USB_DEV_INFO*, void* n) { ++*static_cast<int*>(n); }, &found);
    return found;
}

// A frame callback that, once armed, meets the application thread at the
// start line and then shuts the library down.
struct ShutdownFromCallback {
    std::atomic<bool> armed{false};
    std::atomic<bool> done{false};
    StartLine* start = nullptr;
    static void OnFrame(unsigned long, OZL_USB_VIDEO_INFO_CB*, void* user)
    {
        auto* self = static_cast<ShutdownFromCallback*>(user);
        if (!self->armed.exchange(false))
            return;
        self->start->Arrive();
        OZL_USB_Deinit();
        self->done = true;
    }
};

class LifecycleRaces : public testing::Test {
protected:
    void SetUp() override
    {
        cam_ = &vcam::AddCamera();
        OZL_USB_Init();
        ASSERT_EQ(1, SearchCount());
    }
    void TearDown() override
    {
        OZL_USB_Deinit();
        vcam::RemoveAll();
    }
    // Opens the camera and waits for its frames to flow.
    unsigned long OpenStreaming(OZL_USB_VIDEO_CB callback, void* user)
    {
        unsigned long h = 0;
        EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h));
        EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPreview(h, callback, user));
        return h;
    }
    ScratchDir dir_;
    vcam::Camera* cam_ = nullptr;
};

}  // namespace

TEST_F(LifecycleRaces, TwoThreadsClosingOneCameraBothReturnAndItIsReleasedOnce)
{
    for (int round = 0; round < 8; ++round) {
        std::atomic<int> frames{0};
        const unsigned long h = OpenStreaming(&CountFrame, &frames);
        ASSERT_TRUE(Eventually([&] { return frames.load() >= 1; }));
        StartLine start(2);
        int results[2] = {-1, -1};
        std::thread closers[2];
        for (int t = 0; t < 2; ++t)
            closers[t] = std::thread([&, t] {
                start.Arrive();
                results[t] = OZL_USB_CloseDev(h);
            });
        for (std::thread& t : closers)
            t.join();
        EXPECT_TRUE(Documented(results[0]) && Documented(results[1])) << results[0] << " " << results[1];
        EXPECT_TRUE(results[0] == OZL_USB_SUCCESS || results[1] == OZL_USB_SUCCESS) << "round " << round;
        EXPECT_FALSE(cam_->videoOpen()) << "round " << round;
        EXPECT_EQ(OZL_USB_INVALID_PARAM, OZL_USB_StopPreview(h));
    }
}

TEST_F(LifecycleRaces, ACloseAgainstAFrameCallbacksShutdown)
{
    for (int round = 0; round < 6; ++round) {
        OZL_USB_Init();
        ShutdownFromCallback callback;
        StartLine start(2);
        callback.start = &start;
        const unsigned long h = OpenStreaming(&ShutdownFromCallback::OnFrame, &callback);
        callback.armed = true;
        start.Arrive();
        const int closed = OZL_USB_CloseDev(h);
        EXPECT_TRUE(Documented(closed)) << closed;
        ASSERT_TRUE(Eventually([&] { return callback.done.load(); })) << "round " << round;
        EXPECT_TRUE(Eventually([&] { return !cam_->videoOpen(); })) << "round " << round;
    }
}

TEST_F(LifecycleRaces, AShutdownAgainstAFrameCallbacksShutdown)
{
    for (int round = 0; round < 6; ++round) {
        OZL_USB_Init();
        ShutdownFromCallback callback;
        StartLine start(2);
        callback.start = &start;
        const unsigned long h = OpenStreaming(&ShutdownFromCallback::OnFrame, &callback);
        callback.armed = true;
        start.Arrive();
        OZL_USB_Deinit();
        EXPECT_EQ(OZL_USB_INVALID_PARAM, OZL_USB_StopPreview(h));
        ASSERT_TRUE(Eventually([&] { return callback.done.load(); })) << "round " << round;
        EXPECT_TRUE(Eventually([&] { return !cam_->videoOpen(); })) << "round " << round;
    }
}

namespace {

struct ExceptionWatch {
    std::atomic<bool> closeReturned{false};
    std::atomic<int> calls{0};
    std::atomic<int> afterClose{0};
    static void OnException(unsigned long, int, void* user)
    {
        auto* self = static_cast<ExceptionWatch*>(user);
        if (self->closeReturned.load())
            ++self->afterClose;
        std::this_thread::sleep_for(20ms);  // a close meanwhile must wait for this call
        if (self->closeReturned.load())
            ++self->afterClose;
        ++self->calls;
    }
};

}  // namespace

TEST_F(LifecycleRaces, NoExceptionCallbackRunsOnceCloseHasReturned)
{
    std::mt19937 rng(7);
    int reported = 0;
    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            cam_->Replug();
            ASSERT_EQ(1, SearchCount());
        }
        std::atomic<int> frames{0};
        const unsigned long h = OpenStreaming(&CountFrame, &frames);
        ExceptionWatch watch;
        ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_SetExceptionCallback(h, &ExceptionWatch::OnException, &watch));
        cam_->Unplug();
        // Close around the poll's next pass (every 100 ms), before or after
        // it reports the unplug.
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 160));
        EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(h));
        watch.closeReturned = true;
        std::this_thread::sleep_for(250ms);  // two more passes of the poll
        EXPECT_EQ(0, watch.afterClose.load()) << "round " << round;
        reported += watch.calls.load();
    }
    // The callback did run in some rounds: a late one would have been seen.
    EXPECT_GT(reported, 0);
}

TEST_F(LifecycleRaces, TheExceptionCallbackMayShutTheLibraryDown)
{
    struct Watch {
        std::atomic<int> calls{0};
        std::atomic<bool> deinitReturned{false};
        static void OnException(unsigned long, int, void* user)
        {
            auto* self = static_cast<Watch*>(user);
            ++self->calls;
            OZL_USB_Deinit();
            self->deinitReturned = true;
        }
    } watch;
    std::atomic<int> frames{0};
    const unsigned long h = OpenStreaming(&CountFrame, &frames);
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_SetExceptionCallback(h, &Watch::OnException, &watch));
    cam_->Unplug();
    ASSERT_TRUE(Eventually([&] { return watch.deinitReturned.load(); }));
    EXPECT_EQ(1, watch.calls.load());
    EXPECT_EQ(OZL_USB_INVALID_PARAM, OZL_USB_StopPreview(h));
    OZL_USB_Deinit();  // returns: the library is down already

    // And it comes up again.
    cam_->Replug();
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_Init());
    ASSERT_EQ(1, SearchCount());
    const unsigned long again = OpenStreaming(&CountFrame, &frames);
    const int before = frames.load();
    EXPECT_TRUE(Eventually([&] { return frames.load() > before; }));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(again));
}

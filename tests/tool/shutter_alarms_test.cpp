// Alarms across the camera's own shutter corrections, on the virtual
// camera's drifting detector: the same frames fed to alarms as the session
// flags them and with the flags wiped.
#include "../support/eventually.h"
#include "../support/scratch_dir.h"
#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/frame_stream.h>
#include "plane_stats.h"
#include "watches.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

using namespace vivaclient;

using namespace vivatool;
using namespace std::chrono_literals;

TEST(ShutterAlarms, AnAlarmBelowTheColdestObjectHoldsThroughTenCorrectionsAndWouldFireWithoutTheFlags)
{
    ScratchDir scratch;
    setenv("XDG_STATE_HOME", scratch.path().c_str(), 1);
    OZL_USB_Init();
    vcam::CameraSetup setup;
    setup.autoShutter = 30;
    setup.timeScale = 60;  // a correction every half second
    setup.shutterMs = 300;
    setup.shutterLook = vcam::ShutterLook::Flat;  // the shutter reads 15 C
    setup.driftPerMinute = 0.5;
    vcam::Camera& camera = vcam::AddCamera(setup);
    // The coldest thing in view is the wall, 22 C and up.
    const AlarmRule below{AlarmKind::Below, 200, 10};
    std::mutex mutex;
    std::vector<Watch> flagged = {Watch{"frame", -1, Alarm(below)}};
    std::vector<Watch> unflagged = flagged;
    std::vector<AlarmEvent> withFlags, withoutFlags;  // guarded by mutex
    uint64_t frames = 0, measured = 0;
    {
        SessionOptions options;
        options.shutter.settleTime = 200ms;  // shorter than the time between corrections
        CameraSession session(options, [&](const FrameRef& frame) {
            int min = 0, max = 0;
            MinMax(frame.temps, static_cast<int>(frame.samples()), min, max);
            FrameRef bare = frame;
            bare.shutter = bare.settling = false;
            std::lock_guard<std::mutex> lock(mutex);
            ++frames;
            measured += !frame.flagged();
            FeedAlarms(flagged, max, {}, frame, frames, 0, withFlags);
            FeedAlarms(unflagged, max, {}, bare, frames, 0, withoutFlags);
        });
        OpenFailure failure;
        ASSERT_TRUE(session.Start(failure)) << failure.message;
        ASSERT_TRUE(Eventually([&] { return session.counters().corrections >= 10; }, 30s));
        session.Close();
    }
    OZL_USB_Deinit();
    EXPECT_GE(camera.corrections(), 10u);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_GE(measured, 50u);  // the alarm was fed between the corrections
    EXPECT_TRUE(withFlags.empty()) << withFlags.size() << " alarm changes, the first at frame " << withFlags[0].frame;
    // Without them every flat field raises it, and the picture's return clears it.
    size_t raised = 0;
    for (const AlarmEvent& e : withoutFlags)
        raised += e.raised;
    EXPECT_GE(raised, 9u);
    vcam::RemoveAll();
}

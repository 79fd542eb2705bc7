// CameraSession and the shutter correction on the virtual camera's drifting
// detector: commanded corrections, the camera's own seen in its frames, the
// flags on the frames, and the correction policy.
#include <vivaclient/camera_session.h>

#include "../support/eventually.h"
#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <vector>

using namespace vivaclient;
using namespace std::chrono_literals;

namespace {

// What a front end sees of a session: its events and, per frame, the flags
// and whether the picture was flat.
struct Seen {
    struct Frame {
        bool shutter, settling, flat;
        FrameClock::time_point arrival;
    };
    std::mutex mutex;
    std::vector<SessionEvent> events;  // guarded by mutex
    std::vector<Frame> frames;         // guarded by mutex

    void Event(const SessionEvent& e)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
    }
    void Take(const FrameRef& f)
    {
        const bool flat = std::all_of(f.temps, f.temps + f.samples(), [&](int16_t t) { return t == f.temps[0]; });
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(Frame{f.shutter, f.settling, flat, f.arrival});
    }
    std::vector<SessionEvent> Shutters(SessionEvent::Kind kind)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<SessionEvent> out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                     [kind](const SessionEvent& e) { return e.kind == kind; });
        return out;
    }
    size_t Count(bool Frame::*flag)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<size_t>(
            std::count_if(frames.begin(), frames.end(), [flag](const Frame& f) { return f.*flag; }));
    }
    size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
};

class SessionShutterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_STATE_HOME", scratch_.path().c_str(), 1);
        OZL_USB_Init();
    }
    void TearDown() override
    {
        session_.reset();
        vcam::RemoveAll();
        OZL_USB_Deinit();
    }

    CameraSession& Start(const vcam::CameraSetup& setup, SessionOptions options = SessionOptions())
    {
        camera_ = &vcam::AddCamera(setup);
        session_ = std::make_unique<CameraSession>(std::move(options), [this](const FrameRef& f) { seen_.Take(f); });
        session_->OnEvent([this](const SessionEvent& e) { seen_.Event(e); });
        OpenFailure failure;
        EXPECT_TRUE(session_->Start(failure)) << failure.message;
        return *session_;
    }

    ScratchDir scratch_;
    vcam::Camera* camera_ = nullptr;
    Seen seen_;
    std::unique_ptr<CameraSession> session_;
};

}  // namespace

TEST_F(SessionShutterTest, ACommandedCorrectionFlagsItsFramesAndSaysItsStartAndEndWithTheFpa)
{
    vcam::CameraSetup setup;
    setup.shutterMs = 400;
    CameraSession& session = Start(setup);
    ASSERT_TRUE(Eventually([&] { return seen_.size() >= 12; }));

    EXPECT_EQ(OZL_USB_SUCCESS, session.CorrectShutter());
    const auto starts = seen_.Shutters(SessionEvent::Kind::ShutterStart);
    const auto ends = seen_.Shutters(SessionEvent::Kind::ShutterEnd);
    ASSERT_EQ(1u, starts.size());
    ASSERT_EQ(1u, ends.size());
    EXPECT_TRUE(starts[0].commanded && ends[0].commanded);
    EXPECT_NEAR(31.25, ends[0].fpaTemp, 0.01);
    EXPECT_GE(ends[0].shutterSeconds, 0.35);
    EXPECT_EQ(1, camera_->model().shutterCount);
    // Frames while the command ran are flagged, then a second of settling.
    EXPECT_GE(seen_.Count(&Seen::Frame::shutter), 5u);
    const size_t before = seen_.size();
    ASSERT_TRUE(Eventually([&] { return seen_.size() >= before + 40; }));
    EXPECT_GE(seen_.Count(&Seen::Frame::settling), 10u);
    {
        std::lock_guard<std::mutex> lock(seen_.mutex);
        for (const Seen::Frame& f : seen_.frames) {
            EXPECT_FALSE(f.shutter && f.settling);
            if (f.arrival < starts[0].at || f.arrival > ends[0].at + 1100ms) {
                EXPECT_FALSE(f.shutter || f.settling);
            }
        }
    }
    const CameraSession::Counters c = session.counters();
    EXPECT_EQ(1u, c.corrections);
    EXPECT_EQ(1u, c.commandedCorrections);
    // The frozen frames of its own command are not taken for the camera's own correction.
    EXPECT_EQ(1u, seen_.Shutters(SessionEvent::Kind::ShutterStart).size());
}

TEST_F(SessionShutterTest, TheCamerasOwnCorrectionsAreSeenWhetherTheyFreezeOrFlattenThePicture)
{
    for (const vcam::ShutterLook look : {vcam::ShutterLook::Freeze, vcam::ShutterLook::Flat}) {
        SCOPED_TRACE(look == vcam::ShutterLook::Flat ? "flat" : "freeze");
        vcam::CameraSetup setup;
        setup.autoShutter = 60;
        setup.timeScale = 60;  // a correction every second
        setup.shutterMs = 300;
        setup.shutterLook = look;
        setup.driftPerMinute = 1;
        CameraSession& session = Start(setup);
        ASSERT_TRUE(Eventually([&] { return seen_.Shutters(SessionEvent::Kind::ShutterEnd).size() >= 3; }, 20s));
        const auto starts = seen_.Shutters(SessionEvent::Kind::ShutterStart);
        const auto ends = seen_.Shutters(SessionEvent::Kind::ShutterEnd);
        for (size_t i = 0; i < ends.size(); ++i) {
            EXPECT_FALSE(starts[i].commanded);
            EXPECT_LT(starts[i].at, ends[i].at);
            EXPECT_GT(ends[i].shutterSeconds, 0.1);
            EXPECT_LT(ends[i].shutterSeconds, 0.6);
            EXPECT_FALSE(std::isnan(ends[i].fpaTemp));
        }
        EXPECT_GE(session.counters().corrections, 3u);
        EXPECT_LE(session.counters().corrections, camera_->corrections());
        EXPECT_EQ(0, camera_->model().shutterCount);
        if (look == vcam::ShutterLook::Flat) {
            // Every flat picture is flagged, from its first frame.
            std::lock_guard<std::mutex> lock(seen_.mutex);
            size_t flat = 0;
            for (const Seen::Frame& f : seen_.frames) {
                flat += f.flat;
                EXPECT_TRUE(!f.flat || f.shutter);
            }
            EXPECT_GE(flat, 10u);
        }
        session_.reset();
        vcam::RemoveAll();
        seen_.events.clear();
        seen_.frames.clear();
    }
}

TEST_F(SessionShutterTest, APictureStillForLongerThanACorrectionIsNotOne)
{
    vcam::CameraSetup setup;
    setup.autoShutter = 3000;
    setup.timeScale = 1000;  // after 3 s
    setup.shutterMs = 5000;  // frozen for 5 s
    CameraSession& session = Start(setup);
    ASSERT_TRUE(Eventually([&] { return seen_.Shutters(SessionEvent::Kind::ShutterEnd).size() >= 1; }, 15s));
    // Ended by its length while the picture was still frozen: later frozen frames are not flagged.
    const size_t flagged = seen_.Count(&Seen::Frame::shutter);
    const size_t before = seen_.size();
    ASSERT_TRUE(Eventually([&] { return seen_.size() >= before + 10; }));
    EXPECT_EQ(flagged, seen_.Count(&Seen::Frame::shutter));
    EXPECT_GE(seen_.Shutters(SessionEvent::Kind::ShutterEnd).back().shutterSeconds, 2.9);
    (void)session;
}

TEST_F(SessionShutterTest, ThePolicyCorrectsOnItsScheduleWaitsWhileHeldAndFollowsTheFpa)
{
    {
        vcam::CameraSetup setup;
        setup.shutterMs = 100;
        SessionOptions options;
        options.shutter.every = 1000ms;
        CameraSession& session = Start(setup, options);
        ASSERT_TRUE(Eventually([&] { return camera_->model().shutterCount >= 2; }, 10s));
        session.HoldCorrections(true);
        ASSERT_TRUE(Eventually([&] { return !session.counters().live || session.counters().corrections >= 2; }));
        const int held = camera_->model().shutterCount;
        // Two and a half periods of frames with no correction while held ...
        const size_t before = seen_.size();
        ASSERT_TRUE(Eventually([&] { return seen_.size() >= before + 62; }, 10s));
        EXPECT_LE(camera_->model().shutterCount, held + 1);  // one may have been under way
        // ... and the due one as soon as they are let go.
        session.HoldCorrections(false);
        EXPECT_TRUE(Eventually([&] { return camera_->model().shutterCount >= held + 2; }, 3s));
        session_.reset();
        vcam::RemoveAll();
        seen_.events.clear();
    }
    {
        vcam::CameraSetup setup;
        setup.shutterMs = 100;
        setup.driftPerMinute = 6;
        setup.timeScale = 10;  // the FPA falls a degree a second
        SessionOptions options;
        options.shutter.onDrift = 1.5;
        options.shutter.driftCheckEvery = 200ms;
        Start(setup, options);
        ASSERT_TRUE(Eventually([&] { return seen_.Shutters(SessionEvent::Kind::ShutterStart).size() >= 3; }, 15s));
        const auto starts = seen_.Shutters(SessionEvent::Kind::ShutterStart);
        const auto ends = seen_.Shutters(SessionEvent::Kind::ShutterEnd);
        // Each correction came when the FPA had moved about 1.5 degrees from the last one.
        for (size_t i = 1; i < starts.size() && i <= ends.size(); ++i) {
            EXPECT_TRUE(starts[i].commanded);
            const double moved = std::fabs(starts[i].fpaTemp - ends[i - 1].fpaTemp);
            EXPECT_GE(moved, 1.4);
            EXPECT_LT(moved, 2.5);
        }
    }
}

TEST_F(SessionShutterTest, ADriftPolicyKeepsASteadyObjectWithinHalfADegreeWhereNoneLetsItDriftPastTwo)
{
    // Ten simulated minutes of 0.3 degrees a minute in ten seconds; the mug's
    // inside is a steady 58.0 C.
    vcam::CameraSetup setup;
    setup.driftPerMinute = 0.3;
    setup.timeScale = 60;
    setup.shutterMs = 300;
    setup.shutterLook = vcam::ShutterLook::Flat;
    for (const bool policy : {false, true}) {
        SCOPED_TRACE(policy ? "--shutter-on-drift 0.25" : "no policy");
        std::mutex mutex;
        double worst = 0;  // over the frames a front end measures
        SessionOptions options;
        if (policy) {
            options.shutter.onDrift = 0.25;
            options.shutter.driftCheckEvery = 100ms;  // six simulated seconds
        }
        camera_ = &vcam::AddCamera(setup);
        CameraSession session(options, [&](const FrameRef& f) {
            // Before its first correction the picture carries the drift of the camera's past.
            if (f.flagged() || (policy && f.lastCorrection == FrameClock::time_point{}))
                return;
            double sum = 0;
            for (int y = 100; y < 130; ++y)
                for (int x = 145; x < 161; ++x)
                    sum += f.temps[y * f.width + x];
            std::lock_guard<std::mutex> lock(mutex);
            worst = std::max(worst, std::fabs(sum / (16 * 30) / 10 - 58.0));
        });
        OpenFailure failure;
        ASSERT_TRUE(session.Start(failure)) << failure.message;
        const FrameClock::time_point start = FrameClock::now();
        ASSERT_TRUE(Eventually([&] { return session.counters().lastFrame - start >= 10s; }, 30s));
        session.Close();
        std::lock_guard<std::mutex> lock(mutex);
        if (policy) {
            EXPECT_LT(worst, 0.5);
            EXPECT_GE(session.counters().commandedCorrections, 5u);
        } else {
            EXPECT_GT(worst, 2.0);
        }
        vcam::RemoveAll();
    }
}

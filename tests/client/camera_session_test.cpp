// CameraSession on the virtual camera: the events a front end hears, the
// frames its sink gets across an unplug and a stall, and how it ends.
#include <vivaclient/camera_session.h>

#include "../support/eventually.h"
#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

using namespace vivaclient;
using namespace std::chrono_literals;

namespace {

// What a front end would keep of the session's feeds.
struct Recorder {
    std::mutex mutex;
    std::vector<SessionEvent> events;  // guarded by mutex
    std::vector<uint64_t> sequences;   // guarded by mutex
    std::vector<bool> gaps;            // guarded by mutex
    size_t framesWithTemps = 0;        // guarded by mutex

    void Event(const SessionEvent& e)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
    }
    void Frame(const FrameRef& f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        sequences.push_back(f.sequence);
        gaps.push_back(f.afterGap);
        framesWithTemps += f.temps != nullptr;
    }
    size_t frames()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return sequences.size();
    }
    std::vector<std::string> kinds()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> names;
        for (const SessionEvent& e : events)
            names.push_back(EventName(e.kind));
        return names;
    }
    bool heard(SessionEvent::Kind kind)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const SessionEvent& e : events)
            if (e.kind == kind)
                return true;
        return false;
    }
};

class CameraSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_STATE_HOME", scratch_.path().c_str(), 1);
        OZL_USB_Init();
        camera_ = &vcam::AddCamera();
    }
    void TearDown() override
    {
        vcam::RemoveAll();
        OZL_USB_Deinit();
    }

    std::unique_ptr<CameraSession> Start(SessionOptions options, Recorder& recorder)
    {
        auto session = std::make_unique<CameraSession>(std::move(options),
                                                       [&recorder](const FrameRef& f) { recorder.Frame(f); });
        session->OnEvent([&recorder](const SessionEvent& e) { recorder.Event(e); });
        OpenFailure failure;
        EXPECT_TRUE(session->Start(failure)) << failure.message;
        return session;
    }

    ScratchDir scratch_;
    vcam::Camera* camera_ = nullptr;
};

TEST_F(CameraSessionTest, AnUnplugIsLostThenBackAndTheFramesNumberOnWithTheGapMarked)
{
    Recorder recorder;
    SessionOptions options;
    options.reconnect = true;
    options.searchEvery = 100ms;
    auto session = Start(options, recorder);
    ASSERT_TRUE(Eventually([&] { return recorder.frames() >= 3; }, 20s));
    EXPECT_TRUE(session->withTemps());

    camera_->Unplug();
    ASSERT_TRUE(Eventually([&] { return recorder.heard(SessionEvent::Kind::Lost); }, 20s));
    EXPECT_EQ(session->Command([](unsigned long) { return OZL_USB_SUCCESS; }), OZL_USB_INVALID_PARAM)
        << "a command reached a camera that is away";
    const size_t before = recorder.frames();
    camera_->Replug();
    ASSERT_TRUE(Eventually([&] { return recorder.heard(SessionEvent::Kind::Back); }, 20s));
    ASSERT_TRUE(Eventually([&] { return recorder.frames() >= before + 3; }, 20s));
    EXPECT_EQ(session->Command([](unsigned long) { return OZL_USB_SUCCESS; }), OZL_USB_SUCCESS);

    const CameraSession::Counters counters = session->counters();
    session->Close();
    session->Close();  // a second close says nothing more
    EXPECT_EQ(recorder.kinds(), (std::vector<std::string>{"opened", "lost", "opened", "back", "closed"}));
    EXPECT_EQ(counters.opens, 2u);
    EXPECT_EQ(counters.losses, 1u);
    EXPECT_EQ(counters.resumes, 1u);
    EXPECT_GT(counters.longestGap, 0.0);

    std::lock_guard<std::mutex> lock(recorder.mutex);
    for (size_t i = 1; i < recorder.sequences.size(); ++i)
        ASSERT_GT(recorder.sequences[i], recorder.sequences[i - 1]) << "at frame " << i;
    size_t marked = 0;
    for (size_t i = 0; i < recorder.gaps.size(); ++i)
        if (recorder.gaps[i]) {
            ++marked;
            EXPECT_GE(i, before) << "a frame before the gap is marked";
        }
    EXPECT_EQ(marked, 1u) << "exactly the first frame after the gap carries the mark";
    EXPECT_EQ(recorder.framesWithTemps, recorder.sequences.size()) << "the reopened camera lost its temperatures";
    const SessionEvent& lost = recorder.events[1];
    EXPECT_NE(lost.message.find("waiting for it to come back to USB port"), std::string::npos) << lost.message;
    EXPECT_EQ(recorder.events[3].sequence, lost.sequence) << "the numbering jumped over the gap";
}

TEST_F(CameraSessionTest, WithoutReconnectALossEndsTheSessionAndSaysWhy)
{
    Recorder recorder;
    auto session = Start(SessionOptions{}, recorder);
    ASSERT_TRUE(Eventually([&] { return recorder.frames() >= 1; }, 20s));
    camera_->Unplug();
    ASSERT_TRUE(session->WaitEnded(20s));
    EXPECT_EQ(session->endReason().kind, SessionEvent::Kind::Lost);
    EXPECT_EQ(session->endReason().message, "the camera was lost (unplugged or no longer answering)");
    session->Close();
    EXPECT_EQ(recorder.kinds(), (std::vector<std::string>{"opened", "lost", "closed"}));
}

TEST_F(CameraSessionTest, AStallPastTheLimitReopensTheCamera)
{
    Recorder recorder;
    SessionOptions options;
    options.reconnect = true;
    options.stallLimit = 1s;
    options.searchEvery = 100ms;
    auto session = Start(options, recorder);
    ASSERT_TRUE(Eventually([&] { return recorder.frames() >= 1; }, 20s));
    camera_->Stall(3);
    ASSERT_TRUE(Eventually([&] { return recorder.heard(SessionEvent::Kind::Back); }, 20s));
    const size_t back = recorder.frames();
    ASSERT_TRUE(Eventually([&] { return recorder.frames() > back; }, 20s)) << "no frame after the reopen";
    EXPECT_EQ(session->counters().stalls, 1u);
    EXPECT_TRUE(recorder.heard(SessionEvent::Kind::Stalled));
}

TEST_F(CameraSessionTest, ACameraThatComesBackUnfitEndsTheSessionWithTheReason)
{
    Recorder recorder;
    SessionOptions options;
    options.reconnect = true;
    options.searchEvery = 100ms;
    std::atomic<int> prepared{0};
    options.prepare = [&prepared](Camera&, bool reopened) {
        ++prepared;
        return reopened ? std::string("the settings could not be applied again") : std::string();
    };
    auto session = Start(options, recorder);
    ASSERT_TRUE(Eventually([&] { return recorder.frames() >= 1; }, 20s));
    camera_->Unplug();
    ASSERT_TRUE(Eventually([&] { return recorder.heard(SessionEvent::Kind::Lost); }, 20s));
    camera_->Replug();
    ASSERT_TRUE(session->WaitEnded(20s));
    EXPECT_EQ(prepared.load(), 2);
    EXPECT_EQ(session->endReason().kind, SessionEvent::Kind::Error);
    EXPECT_EQ(session->endReason().message, "the settings could not be applied again");
    EXPECT_EQ(recorder.kinds(), (std::vector<std::string>{"opened", "lost", "error", "closed"}));
}

}  // namespace

namespace {

TEST_F(CameraSessionTest, ARunningSessionWithoutFramesHoldsBackTheOldestProgressUntilItCloses)
{
    Recorder recorder;
    SessionOptions options;
    options.stallLimit = 60s;  // the stall is not acted on: only its progress is watched
    auto session = Start(options, recorder);
    ASSERT_TRUE(Eventually([&] { return recorder.frames() >= 1; }, 20s));
    camera_->Stall(30);
    const size_t stalledAt = recorder.frames();
    // Frames stop; the oldest progress stays where the last frame left it.
    ASSERT_TRUE(Eventually([&] { return FrameClock::now() - CameraSession::OldestProgress() > 1s; }, 20s));
    EXPECT_LE(CameraSession::OldestProgress(), session->progress());
    EXPECT_LE(recorder.frames(), stalledAt + 2) << "frames kept coming: the stall was not a stall";
    session->Close();
    EXPECT_LT(FrameClock::now() - CameraSession::OldestProgress(), 1s) << "a closed session still counts";
}

}  // namespace

#include "Common/SerialPort.h"
#include "UVCInterface.h"

#include "frame_recorder.h"
#include "../support/eventually.h"

#include <vcam/VirtualCamera.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}


// The channel's chatter (the capture core's lines) is captured for every
// test, so that tests can look at it and the output stays readable.
class VideoChannel : public testing::Test {
protected:
    void SetUp() override
    {
        CaptureStdout();
        CaptureStderr();
    }
    void TearDown() override
    {
        err_ += GetCapturedStderr();
        out_ += GetCapturedStdout();
        // Failure reports went to the captured stdout too: show them.
        if (HasFailure())
            printf("%s\n--- stderr ---\n%s\n", out_.c_str(), err_.c_str());
        vcam::RemoveAll();
    }
    // Everything printed since the last call (or the start of the test).
    std::pair<std::string, std::string> Printed()
    {
        err_ += GetCapturedStderr();
        out_ += GetCapturedStdout();
        std::pair<std::string, std::string> p(out_, err_);
        out_.clear();
        err_.clear();
        CaptureStdout();
        CaptureStderr();
        return p;
    }
    std::vector<OZL_USB_DEV_INFO> Search()
    {
        std::vector<OZL_USB_DEV_INFO> devs;
        EXPECT_EQ(0, UVCInterface::SearchDev(devs));
        return devs;
    }

    std::string out_;
    std::string err_;
};

TEST_F(VideoChannel, DeliversTheCamerasFramesOnItsReadThreadAtTheCameraRateUntilClosed)
{
    vcam::CameraSetup setup;
    setup.fps = 25.0;
    setup.withTemp = true;
    vcam::AddCamera();  // a first camera, so index 1 must be looked up
    vcam::Camera& cam = vcam::AddCamera(setup);
    const std::vector<OZL_USB_DEV_INFO> devs = Search();
    ASSERT_EQ(2u, devs.size());

    FrameRecorder recorder;
    UVCInterface channel;
    ASSERT_EQ(0, channel.OpenDev(1, &recorder));
    EXPECT_TRUE(cam.streaming());
    ASSERT_TRUE(recorder.WaitFrames(26)) << "frames: " << recorder.Count();
    channel.CloseDev();
    EXPECT_FALSE(cam.videoOpen());
    EXPECT_EQ(0u, cam.buffersMapped());

    const std::vector<FrameRecorder::Frame> frames = recorder.Frames();
    for (const FrameRecorder::Frame& f : frames) {
        EXPECT_EQ(196608u, f.size) << "256x192 image and temperature";
        EXPECT_NE(std::this_thread::get_id(), f.thread);
        EXPECT_EQ(frames[0].thread, f.thread);
    }
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_LE(frames[i - 1].when, frames[i].when);
    // Every frame the channel took from the driver was handed over, and the
    // stream is down: nothing more can come.
    EXPECT_EQ(cam.framesDequeued(), recorder.Count());
    EXPECT_FALSE(cam.streaming());
    EXPECT_EQ(0, channel.GetDevState());
}

TEST_F(VideoChannel, TheSerialNodeOfTheSameSearchAnswersACommand)
{
    vcam::Camera& cam = vcam::AddCamera();
    const std::vector<OZL_USB_DEV_INFO> devs = Search();
    ASSERT_EQ(1u, devs.size());

    SerialPort port;
    ASSERT_EQ(0, port.OpenPort(devs[0].serialPath));
    const char request[] = {'\xAA', '\x04', '\x01', '\x42', '\x00', '\xF1', '\xEB', '\xAA'};
    ASSERT_EQ(8, port.WritePort(request, sizeof request));
    // A read flushes both directions of the line, so a request the camera
    // has not taken in yet would be lost: wait as the device control does.
    std::this_thread::sleep_for(100ms);
    char reply[512] = {};
    long n = -1;
    ASSERT_TRUE(Eventually([&] { return (n = port.ReadPort(reply, sizeof reply)) > 0; }));
    ASSERT_GE(n, 4);
    EXPECT_EQ(0x55, static_cast<unsigned char>(reply[0]));
    EXPECT_EQ(0x42, static_cast<unsigned char>(reply[2]));
    EXPECT_EQ(0x33, static_cast<unsigned char>(reply[3]));
    ASSERT_EQ(1u, cam.requests().size());
    EXPECT_EQ(std::vector<uint8_t>(request, request + 8), cam.requests()[0].bytes);
    port.ClosePort();
}

TEST_F(VideoChannel, FramesShorterThanThePixelCountAreNotHandedOver)
{
    vcam::CameraSetup setup;
    setup.withTemp = false;
    vcam::Camera& cam = vcam::AddCamera(setup);
    Search();
    FrameRecorder recorder;
    UVCInterface channel;
    ASSERT_EQ(0, channel.OpenDev(0, &recorder));
    ASSERT_TRUE(recorder.WaitFrames(1));

    cam.SetShortFrames(256 * 192 - 1);
    // Frames of the full size may still be in the two buffers.
    const uint64_t atSwitch = cam.framesDequeued();
    ASSERT_TRUE(Eventually([&] { return cam.framesDequeued() >= atSwitch + 3; }));
    const size_t before = recorder.Count();
    const uint64_t dequeuedBefore = cam.framesDequeued();
    ASSERT_TRUE(Eventually([&] { return cam.framesDequeued() >= dequeuedBefore + 5; }));
    EXPECT_EQ(before, recorder.Count()) << "49151 bytes are fewer than 256 x 192";

    cam.SetShortFrames(256 * 192);
    ASSERT_TRUE(recorder.WaitFrames(before + 1));
    EXPECT_EQ(49152u, recorder.Frames().back().size) << "half a frame is delivered as it is";
    channel.CloseDev();
}

TEST_F(VideoChannel, AStallIsReportedAfterThreeSecondsPrintsATimeOutPerSecondAndThenResumes)
{
    vcam::Camera& cam = vcam::AddCamera();
    Search();
    FrameRecorder recorder;
    UVCInterface channel;
    ASSERT_EQ(0, channel.OpenDev(0, &recorder));
    ASSERT_TRUE(recorder.WaitFrames(1));
    Printed();

    cam.Stall(3.5);
    // Three seconds without a frame: the channel reports the stall.
    ASSERT_TRUE(Eventually([&] { return channel.GetDevState() == 1; }, 10000ms));
    const size_t during = recorder.Count();
    EXPECT_EQ(cam.framesDequeued(), during) << "nothing but dequeued frames was delivered";
    ASSERT_TRUE(recorder.WaitFrames(during + 3)) << "delivery resumes after the stall";
    EXPECT_EQ(0, channel.GetDevState()) << "frames flow again";
    channel.CloseDev();

    // One time-out line per second of the stall, the next wait following at once.
    const size_t timeouts = Occurrences(Printed().second, "Could not grab image (select timeout): ");
    EXPECT_GE(timeouts, 3u);
    EXPECT_LE(timeouts, 4u);
}

TEST_F(VideoChannel, ReopeningAnOpenChannelReleasesTheOldStreamFirst)
{
    vcam::Camera& first = vcam::AddCamera();
    vcam::Camera& second = vcam::AddCamera();
    Search();
    FrameRecorder oldOwner;
    FrameRecorder newOwner;
    UVCInterface channel;
    ASSERT_EQ(0, channel.OpenDev(0, &oldOwner));
    ASSERT_TRUE(oldOwner.WaitFrames(2));

    ASSERT_EQ(0, channel.OpenDev(1, &newOwner));
    const size_t oldCount = oldOwner.Count();
    EXPECT_FALSE(first.videoOpen()) << "the old record was released before the new open";
    EXPECT_EQ(0u, first.buffersMapped());
    ASSERT_TRUE(newOwner.WaitFrames(3));
    EXPECT_EQ(oldCount, oldOwner.Count()) << "the old thread has ended";
    EXPECT_EQ(2u, second.buffersMapped());

    ASSERT_EQ(0, channel.OpenDev(1, &newOwner)) << "the same camera again";
    EXPECT_EQ(2u, second.buffersMapped());
    channel.CloseDev();
    channel.CloseDev();
    EXPECT_FALSE(second.videoOpen());
}

TEST_F(VideoChannel, OpeningAnIndexWithoutCaptureNodeFailsWith4AndLeavesTheChannelClosed)
{
    vcam::CameraSetup webcam;
    webcam.captureNodes = 0;
    vcam::AddCamera(webcam);
    Search();
    FrameRecorder recorder;
    UVCInterface channel;
    EXPECT_EQ(0, channel.GetDevState());
    EXPECT_EQ(4, channel.OpenDev(0, &recorder));
    EXPECT_THAT(Printed().second, HasSubstr("Cannot identify '': 2, "));
    EXPECT_EQ(4, channel.OpenDev(12345, &recorder)) << "an index no search produced";
    channel.CloseDev();
    EXPECT_EQ(0u, recorder.Count());
}

TEST_F(VideoChannel, AStreamWithoutBuffersDeliversNothingDoesNotSpinAndIsReportedAsStalled)
{
    vcam::CameraSetup setup;
    setup.buffersGranted = 1;  // too few: nothing is mapped or queued
    vcam::Camera& cam = vcam::AddCamera(setup);
    Search();
    FrameRecorder recorder;
    UVCInterface channel;
    // The stream starts, but with no buffer queued: the node reports itself
    // ready and every dequeue finds nothing, at once. The read thread pauses
    // after each such wait: a few dequeues a second, not tens of thousands.
    ASSERT_EQ(0, channel.OpenDev(0, &recorder));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] { return cam.dequeueRequests() >= 3; })) << "the read thread is waiting for frames";
    const uint64_t dequeues = cam.dequeueRequests();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(dequeues, static_cast<uint64_t>(20 * (seconds + 1))) << "in " << seconds << " s";
    // Three seconds without a frame: a stall, reported as any other.
    EXPECT_TRUE(Eventually([&] { return channel.GetDevState() == 1; }, 10000ms));
    channel.CloseDev();
    EXPECT_EQ(0u, recorder.Count());
    EXPECT_FALSE(cam.videoOpen());
    EXPECT_EQ(0u, Occurrences(Printed().second, "VIDIOC_DQBUF error")) << "nothing ready is not an error";
}

// The camera's exception: the device state goes to 1 when the camera is gone.
TEST_F(VideoChannel, AnUnpluggedCameraSetsTheDeviceStateAndStillClosesPromptly)
{
    vcam::Camera& cam = vcam::AddCamera();
    Search();
    FrameRecorder recorder;
    UVCInterface channel;
    ASSERT_EQ(0, channel.OpenDev(0, &recorder));
    ASSERT_TRUE(recorder.WaitFrames(1));
    EXPECT_EQ(0, channel.GetDevState());
    Printed();

    cam.Unplug();
    ASSERT_TRUE(Eventually([&] { return channel.GetDevState() == 1; }));
    const size_t count = recorder.Count();
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(count, recorder.Count());

    const auto start = std::chrono::steady_clock::now();
    channel.CloseDev();
    const double closeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(closeSeconds, 5.0) << "no hang";
    EXPECT_FALSE(cam.videoOpen());
    EXPECT_EQ(0u, cam.buffersMapped());
    EXPECT_EQ(1, channel.GetDevState()) << "the channel was closed on a camera that is gone";

    const auto printed = Printed();
    // A pause between the failing waits: a handful of lines a second, not thousands.
    const size_t failures = Occurrences(printed.second, "VIDIOC_DQBUF error " + std::to_string(ENODEV) + ", ");
    EXPECT_GE(failures, 1u);
    EXPECT_LE(failures, 40u);
    EXPECT_EQ(std::string::npos, printed.first.find("VIDIOC_STREAMOFF error.")) << "a gone camera is not asked";
}

TEST_F(VideoChannel, ClosingFromInsideTheFrameCallbackNeitherDeadlocksNorDeliversAgain)
{
    vcam::Camera& cam = vcam::AddCamera();
    Search();
    FrameRecorder recorder;
    UVCInterface channel;
    recorder.onFrame = [&] { channel.CloseDev(); };
    ASSERT_EQ(0, channel.OpenDev(0, &recorder));
    ASSERT_TRUE(recorder.WaitFrames(1));
    ASSERT_TRUE(Eventually([&] { return !cam.videoOpen(); })) << "the read thread released the record";
    EXPECT_EQ(1u, recorder.Count());
    EXPECT_EQ(0u, cam.buffersMapped());

    // The channel is usable again.
    recorder.onFrame = nullptr;
    ASSERT_EQ(0, channel.OpenDev(0, &recorder));
    EXPECT_TRUE(recorder.WaitFrames(3));
    channel.CloseDev();
}

TEST_F(VideoChannel, DestroyingTheChannelFromInsideTheFrameCallbackIsSafe)
{
    vcam::Camera& cam = vcam::AddCamera();
    Search();
    FrameRecorder recorder;
    auto channel = std::make_unique<UVCInterface>();
    std::atomic<UVCInterface*> owned{channel.get()};
    recorder.onFrame = [&] { delete owned.exchange(nullptr); };
    ASSERT_EQ(0, channel.release()->OpenDev(0, &recorder));
    ASSERT_TRUE(recorder.WaitFrames(1));
    ASSERT_TRUE(Eventually([&] { return !cam.videoOpen(); }));
    EXPECT_EQ(nullptr, owned.load());
    EXPECT_EQ(1u, recorder.Count());
}

}  // namespace

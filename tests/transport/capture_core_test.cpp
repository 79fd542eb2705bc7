#include "Common/v4l2core.h"

#include "../support/eventually.h"

#include <vcam/VirtualCamera.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "../support/printed.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;



// Drives one virtual camera through the core the way the video channel does.
class CaptureCoreOnCamera : public testing::Test {
protected:
    void TearDown() override
    {
        if (vd_ != nullptr)
            Release();
        vcam::RemoveAll();
    }

    vcam::Camera& Add(const vcam::CameraSetup& setup = vcam::CameraSetup())
    {
        cam_ = &vcam::AddCamera(setup);
        return *cam_;
    }
    Printed Open()
    {
        return Capture([&] { vd_ = v4l2core_dev_open(cam_->videoPath().c_str()); });
    }
    Printed Init()
    {
        return Capture([&] {
            EXPECT_EQ(0, v4l2core_dev_init(vd_, static_cast<int>(vd_->width), static_cast<int>(vd_->height),
                                           static_cast<int>(vd_->fps)));
        });
    }
    // The next frame, waiting through at most a few empty wakeups.
    int NextFrame()
    {
        int got = 0;
        for (int i = 0; i < 5 && got == 0; ++i)
            got = v4l2core_capture_getframe(vd_);
        return got;
    }
    Printed Release()
    {
        Printed p = Capture([&] {
            v4l2core_capture_stop(vd_);
            v4l2core_dev_uninit(vd_);
            v4l2core_dev_clean(vd_);
        });
        vd_ = nullptr;
        return p;
    }

    vcam::Camera* cam_ = nullptr;
    v4l2core_dev* vd_ = nullptr;
};

TEST_F(CaptureCoreOnCamera, OpenPrintsTheCameraAndReadsItsCurrentFormat)
{
    vcam::CameraSetup setup;
    setup.width = 384;
    setup.height = 288;
    vcam::Camera& cam = Add(setup);
    const Printed p = Open();
    ASSERT_NE(nullptr, vd_) << p.err;
    const std::string path = cam.videoPath();

    EXPECT_EQ(0u, p.out.find("************UVC Device Information************\ndriver:\t\t"));
    EXPECT_THAT(p.out, HasSubstr("Device " + path + ": supports capture.\n"));
    EXPECT_THAT(p.out, HasSubstr("Device " + path + ": supports streaming.\n"));
    EXPECT_THAT(p.out, HasSubstr("************Support Image Formats Information************\nSupport format:\n\t1."));
    EXPECT_THAT(p.out, HasSubstr("\t\tSupport frame size:\n"));
    EXPECT_THAT(p.out, HasSubstr("************Current Image Formats Information************\nfmt.type:\t\t1\n"));
    // An image-and-temperature stream carries both planes side by side in
    // each row: the driver's format is twice the detector's width.
    EXPECT_THAT(p.out, HasSubstr("pix.width:\t\t768\npix.height:\t\t288\n"));
    EXPECT_THAT(p.out, HasSubstr("capture fps:\t\t1/25\n"));
    EXPECT_EQ("", p.err);
    EXPECT_EQ(768u, vd_->width);
    EXPECT_EQ(288u, vd_->height);
    EXPECT_EQ(25u, vd_->fps);
    EXPECT_TRUE(cam.videoOpen());
}

TEST_F(CaptureCoreOnCamera, StreamsY16FramesOfTheDriversByteCountFromTheMappedBuffers)
{
    vcam::CameraSetup setup;
    setup.withTemp = false;
    vcam::Camera& cam = Add(setup);
    Open();
    ASSERT_NE(nullptr, vd_);
    const Printed init = Init();
    EXPECT_THAT(init.out, HasSubstr("Set format success,256x192.\n"));
    EXPECT_THAT(init.out, HasSubstr("Set fps success,25\n"));
    EXPECT_THAT(init.out, HasSubstr("V4L2_CORE: mapped buffer[0] with length "));
    EXPECT_THAT(init.out, HasSubstr("V4L2_CORE: mapped buffer[1] with length "));
    EXPECT_EQ("", init.err);
    EXPECT_EQ(static_cast<uint32_t>(V4L2_PIX_FMT_Y16), vd_->cur_format.fmt.pix.pixelformat);
    ASSERT_EQ(2u, vd_->n_buffers);
    EXPECT_EQ(2u, cam.buffersMapped());

    ASSERT_EQ(0, v4l2core_capture_start(vd_));
    EXPECT_TRUE(cam.streaming());
    ASSERT_EQ(1, NextFrame());
    EXPECT_EQ(98304u, vd_->frame_bytes);
    EXPECT_TRUE(vd_->frame_data == vd_->buffers[0].start || vd_->frame_data == vd_->buffers[1].start);
    ASSERT_EQ(1, NextFrame());
    EXPECT_EQ(2u, cam.framesDequeued());

    const Printed down = Release();
    EXPECT_EQ("", down.out + down.err);
    EXPECT_FALSE(cam.streaming());
    EXPECT_EQ(0u, cam.buffersMapped());
    EXPECT_FALSE(cam.videoOpen());
}

TEST_F(CaptureCoreOnCamera, FourGrantedBuffersAreAllMappedAndQueued)
{
    vcam::CameraSetup setup;
    setup.buffersGranted = 4;
    vcam::Camera& cam = Add(setup);
    Open();
    ASSERT_NE(nullptr, vd_);
    Init();
    EXPECT_EQ(4u, vd_->n_buffers);
    EXPECT_EQ(4u, cam.buffersMapped());

    int result = -1;
    const Printed p = Capture([&] { result = v4l2core_capture_start(vd_); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("v4l2core_capture_start:\tn_buffers:4\n"
              "v4l2core_capture_start:\tn_buffers:0\n"
              "v4l2core_capture_start:\tn_buffers:1\n"
              "v4l2core_capture_start:\tn_buffers:2\n"
              "v4l2core_capture_start:\tn_buffers:3\n",
              p.out);
    EXPECT_EQ(1, NextFrame());
}

TEST_F(CaptureCoreOnCamera, OneGrantedBufferIsTooFewAndNoneIsMapped)
{
    vcam::CameraSetup setup;
    setup.buffersGranted = 1;
    vcam::Camera& cam = Add(setup);
    Open();
    ASSERT_NE(nullptr, vd_);
    const Printed p = Init();  // still returns 0
    EXPECT_EQ("Insufficient buffer memory on " + cam.videoPath() + "\n", p.err);
    EXPECT_EQ(0u, vd_->n_buffers);
    EXPECT_EQ(0u, cam.buffersMapped());
}

TEST_F(CaptureCoreOnCamera, AZeroIntervalNumeratorGivesFps0AndInitAsksFor1Over0)
{
    vcam::CameraSetup setup;
    setup.intervalNumeratorZero = true;
    Add(setup);
    const Printed open = Open();
    ASSERT_NE(nullptr, vd_);
    EXPECT_THAT(open.out, HasSubstr("capture fps:\t\t0/25\n"));
    EXPECT_EQ(0u, vd_->fps);

    const Printed init = Init();
    // Whether the driver takes 1/0 is its business; the request was made with 0.
    EXPECT_TRUE(init.out.find("Set fps success,0\n") != std::string::npos ||
                init.err.find("VIDIOC_S_PARM error") != std::string::npos)
        << init.out << init.err;
}

TEST_F(CaptureCoreOnCamera, AStallTimesOutAfterASecondAndKeepsTheLastFrame)
{
    vcam::Camera& cam = Add();
    Open();
    ASSERT_NE(nullptr, vd_);
    Init();
    ASSERT_EQ(0, v4l2core_capture_start(vd_));
    ASSERT_EQ(1, NextFrame());
    void* data = vd_->frame_data;
    uint64_t bytes = vd_->frame_bytes;

    cam.Stall(3.0);
    // Frames already under way may still arrive (the last one is what the
    // record keeps); the stall shows within a few waits.
    Printed p;
    int got = 1;
    for (int i = 0; i < 5 && got != -1; ++i) {
        p = Capture([&] { got = v4l2core_capture_getframe(vd_); });
        if (got == 1) {
            data = vd_->frame_data;
            bytes = vd_->frame_bytes;
        }
    }
    ASSERT_EQ(-1, got);
    EXPECT_THAT(p.err, HasSubstr("Could not grab image (select timeout): "));
    EXPECT_EQ(data, vd_->frame_data);
    EXPECT_EQ(bytes, vd_->frame_bytes);
}

TEST_F(CaptureCoreOnCamera, TheDriverDoesNotRefillAFrameWhileItIsReadUntilTheNextWait)
{
    vcam::Camera& cam = Add();
    Open();
    ASSERT_NE(nullptr, vd_);
    Init();
    ASSERT_EQ(0, v4l2core_capture_start(vd_));
    ASSERT_EQ(1, NextFrame());
    const auto* data = static_cast<const uint8_t*>(vd_->frame_data);
    const std::vector<uint8_t> held(data, data + vd_->frame_bytes);

    // Several frame times pass while the frame is read. With the buffer back
    // in the driver's queue, the camera would have written into it by now.
    const uint64_t times = cam.framesProduced() + cam.framesDropped();
    ASSERT_TRUE(Eventually([&] { return cam.framesProduced() + cam.framesDropped() >= times + 4; }));
    EXPECT_TRUE(std::equal(held.begin(), held.end(), data)) << "the frame changed while it was read";

    // The next wait gives it back, and frames flow on.
    ASSERT_EQ(1, NextFrame());
    ASSERT_EQ(1, NextFrame());
    ASSERT_EQ(1, NextFrame());
    const auto* later = static_cast<const uint8_t*>(vd_->frame_data);
    EXPECT_FALSE(std::equal(held.begin(), held.end(), later)) << "frames differ over time (the check above can fail)";
}

TEST_F(CaptureCoreOnCamera, AnUnplugMakesEveryDequeueFailWithEnodevAndTheCameraIsStillTakenDown)
{
    vcam::Camera& cam = Add();
    Open();
    ASSERT_NE(nullptr, vd_);
    Init();
    ASSERT_EQ(0, v4l2core_capture_start(vd_));
    ASSERT_EQ(1, NextFrame());

    cam.Unplug();
    for (int i = 0; i < 3; ++i) {
        int got = 0;
        const Printed p = Capture([&] { got = v4l2core_capture_getframe(vd_); });
        EXPECT_EQ(-1, got);
        EXPECT_EQ(ENODEV, vd_->last_errno);
        // The first wait also fails to give the last frame's buffer back.
        const std::string dqbuf = "VIDIOC_DQBUF error " + std::to_string(ENODEV) + ", " + strerror(ENODEV) + "\n";
        const std::string qbuf = "VIDIOC_QBUF error " + std::to_string(ENODEV) + ", " + strerror(ENODEV) + "\n";
        EXPECT_EQ(i == 0 ? qbuf + dqbuf : dqbuf, p.err);
    }

    const Printed down = Release();
    EXPECT_EQ("VIDIOC_STREAMOFF error.\n", down.out);
    EXPECT_THAT(down.err, HasSubstr("VIDIOC_REQBUFS error " + std::to_string(ENODEV)));
    EXPECT_EQ(0u, cam.buffersMapped());
    EXPECT_FALSE(cam.videoOpen());
}

TEST(CaptureCoreDeathTest, ANodeThatRefusesTheCapabilityQueryWithEinvalEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    vcam::CameraSetup setup;
    setup.querycapErrno = EINVAL;
    const std::string path = vcam::AddCamera(setup).videoPath();
    EXPECT_EXIT(v4l2core_dev_open(path.c_str()), testing::ExitedWithCode(1), path + " is no V4L2 device\n");
    vcam::RemoveAll();
}

TEST_F(CaptureCoreOnCamera, ACapabilityQueryFailingOtherwiseOpensWithNothingRead)
{
    vcam::CameraSetup setup;
    setup.querycapErrno = EIO;
    Add(setup);
    const Printed p = Open();
    ASSERT_NE(nullptr, vd_);
    EXPECT_EQ("************UVC Device Information************\n", p.out);
    EXPECT_EQ(0u, vd_->width);
    EXPECT_EQ(0u, vd_->height);
    EXPECT_EQ(25u, vd_->fps);
}

}  // namespace

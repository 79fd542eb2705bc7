#include "Common/v4l2core.h"

#include "../support/scratch_dir.h"

#include <gtest/gtest.h>

#include "../support/printed.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// The line errno_show prints for a request that failed with `err`.
std::string ErrorLine(const char* what, int err)
{
    return std::string(what) + " error " + std::to_string(err) + ", " + strerror(err) + "\n";
}


TEST(CaptureCore, OpenRefusesPathsThatAreNoDeviceAndSaysWhy)
{
    v4l2core_dev* vd = reinterpret_cast<v4l2core_dev*>(1);
    Printed p = Capture([&] { vd = v4l2core_dev_open("/nonexistent/video9"); });
    EXPECT_EQ(nullptr, vd);
    EXPECT_EQ("Cannot identify '/nonexistent/video9': 2, " + std::string(strerror(ENOENT)) + "\n", p.err);
    EXPECT_EQ("", p.out);

    ScratchDir dir;
    std::ofstream("frames.raw") << "not a device";
    p = Capture([&] { vd = v4l2core_dev_open("frames.raw"); });
    EXPECT_EQ(nullptr, vd);
    EXPECT_EQ("frames.raw is no device\n", p.err);

    p = Capture([&] { vd = v4l2core_dev_open(""); });
    EXPECT_EQ(nullptr, vd);
    EXPECT_EQ("Cannot identify '': 2, " + std::string(strerror(ENOENT)) + "\n", p.err);
}

// /dev/null is a character device that answers every V4L2 request with an
// error: the capture core must get through each step with the step's message
// and take everything down again (no leak under the sanitizers). The error is
// the kernel's ENOTTY, or ENOSYS from a user-mode emulator (qemu-user) that
// does not pass requests it does not know on to the kernel; asked here first.
TEST(CaptureCore, ANodeThatRefusesEveryRequestIsOpenedInitialisedAndReleasedWithItsMessages)
{
    int refused = 0;
    {
        const int fd = ::open("/dev/null", O_RDWR);
        ASSERT_GE(fd, 0);
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ASSERT_EQ(-1, ::ioctl(fd, VIDIOC_S_FMT, &format));
        refused = errno;
        ::close(fd);
    }
    ASSERT_TRUE(refused == ENOTTY || refused == ENOSYS) << refused;

    v4l2core_dev* vd = nullptr;
    Printed p = Capture([&] { vd = v4l2core_dev_open("/dev/null"); });
    ASSERT_NE(nullptr, vd);
    EXPECT_EQ("************UVC Device Information************\n", p.out)
        << "a capability query failing with other than EINVAL prints nothing more";
    EXPECT_EQ("", p.err);
    EXPECT_EQ(0u, vd->width);
    EXPECT_EQ(0u, vd->height);
    EXPECT_EQ(25u, vd->fps);
    EXPECT_EQ(1u, vd->io_method);
    EXPECT_STREQ("/dev/null", vd->dev_path);
    EXPECT_GE(vd->fd, 0);

    int result = -1;
    p = Capture([&] { result = v4l2core_dev_init(vd, vd->width, vd->height, vd->fps); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("************Set Video Parameters************\n"
              "Unable to set format\n"
              "************Current Image Formats Information************\n"
              "Unable to get format\n",
              p.out);
    EXPECT_EQ(ErrorLine("VIDIOC_S_FMT", refused) + ErrorLine("VIDIOC_S_PARM", refused) +
                  "Unable to set frame interval.\n" + ErrorLine("VIDIOC_G_FMT", refused) +
                  ErrorLine("VIDIOC_REQBUFS", refused),
              p.err);
    // What was asked for: Y16 at 0x0, one frame per 1/25 s.
    EXPECT_EQ(static_cast<uint32_t>(V4L2_PIX_FMT_Y16), vd->set_format.fmt.pix.pixelformat);
    EXPECT_EQ(0u, vd->set_format.fmt.pix.width);
    EXPECT_EQ(0u, vd->set_format.fmt.pix.height);
    EXPECT_EQ(1u, vd->stream_parm.parm.capture.timeperframe.numerator);
    EXPECT_EQ(25u, vd->stream_parm.parm.capture.timeperframe.denominator);
    EXPECT_EQ(0u, vd->n_buffers);

    p = Capture([&] { result = v4l2core_capture_start(vd); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ("v4l2core_capture_start:\tn_buffers:0\n", p.out);
    EXPECT_EQ(ErrorLine("VIDIOC_STREAMON", refused), p.err);

    // /dev/null is always readable, so the wait ends at once in a failed dequeue.
    p = Capture([&] { result = v4l2core_capture_getframe(vd); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ(refused, vd->last_errno);
    EXPECT_EQ(ErrorLine("VIDIOC_DQBUF", refused), p.err);
    EXPECT_EQ(nullptr, vd->frame_data);
    EXPECT_EQ(0u, vd->frame_bytes);

    p = Capture([&] {
        v4l2core_capture_stop(vd);
        v4l2core_dev_uninit(vd);
        v4l2core_dev_clean(vd);
    });
    EXPECT_EQ("VIDIOC_STREAMOFF error.\n", p.out);
    EXPECT_EQ(ErrorLine("VIDIOC_REQBUFS", refused), p.err);
}

TEST(CaptureCore, CheckSumIsThe32BitSumOfTheBytes)
{
    const unsigned char frame[] = {0xAA, 0x04, 0x01, 0x42, 0x00};
    EXPECT_EQ(0xF1u, check_sum(frame, 5));
    EXPECT_EQ(0xAEu, check_sum(frame, 2));

    const std::vector<unsigned char> ones(300, 0xFF);
    EXPECT_EQ(300u * 0xFF, check_sum(ones.data(), 300)) << "no 8-bit wrap";
    EXPECT_EQ(0u, check_sum(frame, 0));
    EXPECT_EQ(0u, check_sum(frame, -3));
}

TEST(CaptureCoreDeathTest, CleaningANullRecordIsFatalEvenInReleaseBuilds)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(v4l2core_dev_clean(nullptr), "vd!=NULL");
}

}  // namespace

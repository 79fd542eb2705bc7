#include "UVCInterface.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class Discovery : public testing::Test {
protected:
    void TearDown() override { vcam::RemoveAll(); }

    std::vector<OZL_USB_DEV_INFO> Search()
    {
        std::vector<OZL_USB_DEV_INFO> devs(1);  // not empty: the search clears it
        EXPECT_EQ(0, UVCInterface::SearchDev(devs));
        return devs;
    }
};

// Every byte after the terminator is 0, as in a record zeroed before filling.
bool ZeroPadded(const char (&field)[256])
{
    const size_t len = strnlen(field, sizeof field);
    for (size_t i = len; i < sizeof field; ++i)
        if (field[i] != 0)
            return false;
    return true;
}

TEST_F(Discovery, NoCameraAttachedGivesAnEmptyList)
{
    EXPECT_TRUE(Search().empty());
}

TEST_F(Discovery, CamerasAndAWebcamAreListedInOrderWithTheirOwnCaptureAndSerialNodes)
{
    vcam::CameraSetup thermal;
    thermal.name = "Thermal A";
    vcam::CameraSetup webcam;
    webcam.name = "Plain Webcam";
    webcam.ttyNodes = 0;
    vcam::CameraSetup second;
    second.name = "Thermal B";
    second.metadataNode = false;
    vcam::Camera& a = vcam::AddCamera(thermal);
    vcam::Camera& w = vcam::AddCamera(webcam);
    vcam::Camera& b = vcam::AddCamera(second);
    ASSERT_NE("", a.metadataPath());

    const std::vector<OZL_USB_DEV_INFO> devs = Search();
    ASSERT_EQ(3u, devs.size());
    const vcam::Camera* cams[] = {&a, &w, &b};
    const char* names[] = {"Thermal A", "Plain Webcam", "Thermal B"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(i, devs[i].index);
        EXPECT_STREQ(names[i], devs[i].name);
        EXPECT_EQ(cams[i]->videoPath(), devs[i].videoPath) << "the capture node, not the metadata node";
        EXPECT_EQ(UVCInterface::m_videoMap[i], devs[i].videoPath);
        EXPECT_TRUE(ZeroPadded(devs[i].name) && ZeroPadded(devs[i].serialPath) && ZeroPadded(devs[i].videoPath));
    }
    EXPECT_EQ(a.serialPath(), devs[0].serialPath);
    EXPECT_EQ(b.serialPath(), devs[2].serialPath);
    EXPECT_EQ(std::string(256, '\0'), std::string(devs[1].serialPath, 256)) << "a webcam has no serial port";
}

TEST_F(Discovery, OneDevicePairsItsFirstTtyAndItsLastCaptureNode)
{
    vcam::CameraSetup setup;
    setup.ttyNodes = 2;
    setup.captureNodes = 2;
    vcam::Camera& cam = vcam::AddCamera(setup);

    const std::vector<OZL_USB_DEV_INFO> devs = Search();
    ASSERT_EQ(1u, devs.size());
    EXPECT_EQ(cam.serialPath(0), devs[0].serialPath);
    EXPECT_EQ(cam.videoPath(1), devs[0].videoPath);
}

TEST_F(Discovery, ProductNamesAreCutTo255CharactersOrUnknownWhenMissing)
{
    vcam::CameraSetup nameless;
    nameless.hasName = false;
    vcam::CameraSetup verbose;
    verbose.name = std::string(300, 'x');
    vcam::AddCamera(nameless);
    vcam::AddCamera(verbose);

    const std::vector<OZL_USB_DEV_INFO> devs = Search();
    ASSERT_EQ(2u, devs.size());
    EXPECT_STREQ("Unknown", devs[0].name);
    EXPECT_EQ(std::string(255, 'x'), devs[1].name);
    EXPECT_EQ('\0', devs[1].name[255]);
}

TEST_F(Discovery, NodesWithoutUsbParentArePassedOverAndOnlyListedDevicesGetRecords)
{
    vcam::CameraSetup detached;
    detached.usbParent = false;
    vcam::CameraSetup unlisted;
    unlisted.uvcListed = false;
    vcam::CameraSetup noCapture;
    noCapture.captureNodes = 0;
    vcam::AddCamera(detached);
    vcam::AddCamera(unlisted);
    vcam::Camera& last = vcam::AddCamera(noCapture);

    const std::vector<OZL_USB_DEV_INFO> devs = Search();
    ASSERT_EQ(2u, devs.size()) << "the device libuvc does not list gets no record";
    EXPECT_STREQ("", devs[0].videoPath);
    EXPECT_STREQ("", devs[0].serialPath);
    EXPECT_STREQ("", devs[1].videoPath) << "a device without capture node";
    EXPECT_EQ(last.serialPath(), devs[1].serialPath);
    EXPECT_EQ("", UVCInterface::m_videoMap[1]);
}

TEST_F(Discovery, ALaterSearchWithFewerDevicesLeavesTheOldVideoPathsInTheMap)
{
    for (int i = 0; i < 3; ++i)
        vcam::AddCamera();
    const std::vector<OZL_USB_DEV_INFO> three = Search();
    ASSERT_EQ(3u, three.size());
    const std::string thirdPath = three[2].videoPath;
    ASSERT_NE("", thirdPath);

    vcam::RemoveAll();
    vcam::CameraSetup webcam;
    webcam.captureNodes = 0;
    vcam::AddCamera();
    vcam::AddCamera(webcam);
    const std::vector<OZL_USB_DEV_INFO> two = Search();
    ASSERT_EQ(2u, two.size());
    EXPECT_EQ(two[0].videoPath, UVCInterface::m_videoMap[0]);
    EXPECT_EQ("", UVCInterface::m_videoMap[1]) << "overwritten, even with an empty path";
    EXPECT_EQ(thirdPath, UVCInterface::m_videoMap[2]) << "never cleared";
}

}  // namespace

namespace {

TEST_F(Discovery, OnlyNodesWhoseOwnCapsSayCaptureAreCaptureNodes)
{
    vcam::Camera& cam = vcam::AddCamera();
    EXPECT_TRUE(is_video_capture_node(cam.videoPath().c_str()));
    EXPECT_FALSE(is_video_capture_node(cam.metadataPath().c_str()));
    EXPECT_FALSE(is_video_capture_node("/dev/null"));
    EXPECT_FALSE(is_video_capture_node("/dev/no-such-video"));
}

}  // namespace

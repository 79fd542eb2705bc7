#include "VIVAZUZOZ.h"

#include "../support/fake_device.h"
#include "../support/scratch_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

void VideoCb(unsigned long, OZL_USB_VIDEO_INFO_CB*, void*) {}
void TempCb(unsigned long, OZL_USB_TEMP_INFO_CB*, void*) {}
void ExceptionCb(unsigned long, int, void*) {}

// Every per-device export, called with a given handle and valid arguments,
// together with the operation it must reach.
struct PerDeviceCall {
    const char* name;
    std::function<int(unsigned long)> call;
    std::string expectedJournal;
};

std::vector<PerDeviceCall> PerDeviceCalls()
{
    static int i;
    static float f;
    static char buf[16];
    static OZL_USB_ENV_PARAM env;
    static int user;
    return {
        {"SetExceptionCallback", [](unsigned long h) { return OZL_USB_SetExceptionCallback(h, ExceptionCb, &user); }, ""},
        {"StartPreview", [](unsigned long h) { return OZL_USB_StartPreview(h, VideoCb, &user); }, "StartPreview ptr,ptr"},
        {"StopPreview", [](unsigned long h) { return OZL_USB_StopPreview(h); }, "StopPreview"},
        {"StartPullTemp", [](unsigned long h) { return OZL_USB_StartPullTemp(h, TempCb, nullptr); }, "StartPullTemp ptr,null"},
        {"StopPullTemp", [](unsigned long h) { return OZL_USB_StopPullTemp(h); }, "StopPullTemp"},
        {"ReadPort", [](unsigned long h) { return OZL_USB_ReadPort(h, buf, 16, &i, 250); }, "ReadPort ptr,16,ptr,250"},
        {"WritePort", [](unsigned long h) { return OZL_USB_WritePort(h, buf, 8); }, "WritePort ptr,8"},
        {"CorrectShutter", [](unsigned long h) { return OZL_USB_CorrectShutter(h); }, "CorrectShutter"},
        {"GetPalleteType", [](unsigned long h) { return OZL_USB_GetPalleteType(h, &i); }, "GetPalleteType ptr"},
        {"SetPalleteType", [](unsigned long h) { return OZL_USB_SetPalleteType(h, 259); }, "SetPalleteType 259"},
        {"GetTempLevel", [](unsigned long h) { return OZL_USB_GetTempLevel(h, &i); }, "GetTempLevel ptr"},
        {"SeTempLevel", [](unsigned long h) { return OZL_USB_SeTempLevel(h, 2); }, "SetTempLevel 2"},
        {"GetFPATemp", [](unsigned long h) { return OZL_USB_GetFPATemp(h, &f); }, "GetFPATemp ptr"},
        {"GetCameraTemp", [](unsigned long h) { return OZL_USB_GetCameraTemp(h, &f); }, "GetCameraTemp ptr"},
        {"GetFPASize", [](unsigned long h) { return OZL_USB_GetFPASize(h, &i, &i); }, "GetFPASize ptr,ptr"},
        {"GetEnvParam", [](unsigned long h) { return OZL_USB_GetEnvParam(h, &env); }, "GetEnvParam ptr"},
        {"SetEnvParam", [](unsigned long h) { return OZL_USB_SetEnvParam(h, &env); }, "SetEnvParam ptr"},
        {"GetTempUnit", [](unsigned long h) { return OZL_USB_GetTempUnit(h, &i); }, "GetTempUnit ptr"},
        {"SetTempUnit", [](unsigned long h) { return OZL_USB_SetTempUnit(h, -5); }, "SetTempUnit -5"},
        {"GetImageLevel", [](unsigned long h) { return OZL_USB_GetImageLevel(h, &i); }, "GetImageLevel ptr"},
        {"SetImageLevel", [](unsigned long h) { return OZL_USB_SetImageLevel(h, 7); }, "SetImageLevel 7"},
        {"GetImageParam", [](unsigned long h) { return OZL_USB_GetImageParam(h, 6, &i); }, "GetImageParam 6,ptr"},
        {"SetImageParam", [](unsigned long h) { return OZL_USB_SetImageParam(h, 2, 300); }, "SetImageParam 2,300"},
    };
}

class Exports : public ::testing::Test {
protected:
    ScratchDir dir;
    FakeFamily family;

    unsigned long Open()
    {
        unsigned long handle = 0;
        EXPECT_EQ(OZL_USB_OpenDev(0, &handle), OZL_USB_SUCCESS);
        EXPECT_NE(handle, 0u);
        return handle;
    }
    static std::vector<std::string> Journal() { return FakeDevice::world().journal; }
    static void ClearJournal() { FakeDevice::world().journal.clear(); }
};

}  // namespace

TEST_F(Exports, PerDeviceCallsRefuseHandleZeroUnknownAndClosedHandles)
{
    const unsigned long open = Open();
    unsigned long closed = Open();
    ASSERT_EQ(OZL_USB_CloseDev(closed), OZL_USB_SUCCESS);
    ClearJournal();

    const unsigned long bad[] = {0ul, open + 8, closed};
    for (const PerDeviceCall& c : PerDeviceCalls()) {
        for (unsigned long handle : bad)
            EXPECT_EQ(c.call(handle), OZL_USB_INVALID_PARAM) << c.name << " with handle " << handle;
    }
    EXPECT_EQ(OZL_USB_CloseDev(0), OZL_USB_INVALID_PARAM);
    EXPECT_EQ(OZL_USB_CloseDev(open + 8), OZL_USB_INVALID_PARAM);
    EXPECT_TRUE(Journal().empty()) << "nothing may reach a device";
}

TEST_F(Exports, PerDeviceCallsForwardArgumentsAndPassResultsThrough)
{
    const unsigned long handle = Open();
    for (int result : {OZL_USB_SUCCESS, OZL_USB_FAILURE, OZL_USB_NOT_SUPPORTED, 77}) {
        FakeDevice::world().opResult = result;
        for (const PerDeviceCall& c : PerDeviceCalls()) {
            if (c.expectedJournal.empty())
                continue;
            ClearJournal();
            EXPECT_EQ(c.call(handle), result) << c.name;
            EXPECT_EQ(Journal(), std::vector<std::string>{c.expectedJournal}) << c.name;
        }
    }
    EXPECT_EQ(OZL_USB_SetExceptionCallback(handle, ExceptionCb, nullptr), OZL_USB_SUCCESS);
}

TEST_F(Exports, CheckedArgumentsAreRefusedBeforeTheLookup)
{
    const unsigned long handle = Open();
    ClearJournal();
    char buf[4] = {};
    int received = 0;
    for (unsigned long h : {handle, handle + 8}) {
        EXPECT_EQ(OZL_USB_SetExceptionCallback(h, nullptr, nullptr), OZL_USB_INVALID_PARAM);
        EXPECT_EQ(OZL_USB_StartPreview(h, nullptr, nullptr), OZL_USB_INVALID_PARAM);
        EXPECT_EQ(OZL_USB_StartPullTemp(h, nullptr, nullptr), OZL_USB_INVALID_PARAM);
        EXPECT_EQ(OZL_USB_ReadPort(h, nullptr, 4, &received, 10), OZL_USB_INVALID_PARAM);
        EXPECT_EQ(OZL_USB_WritePort(h, nullptr, 4), OZL_USB_INVALID_PARAM);
        EXPECT_EQ(OZL_USB_WritePort(h, buf, 0), OZL_USB_INVALID_PARAM);
        EXPECT_EQ(OZL_USB_GetEnvParam(h, nullptr), OZL_USB_INVALID_PARAM);
        EXPECT_EQ(OZL_USB_SetEnvParam(h, nullptr), OZL_USB_INVALID_PARAM);
    }
    EXPECT_TRUE(Journal().empty());

    // What is not checked here reaches the device: a negative length, a null
    // received pointer, null out-pointers of the getters.
    FakeDevice::world().opResult = OZL_USB_SUCCESS;
    EXPECT_EQ(OZL_USB_WritePort(handle, buf, -1), OZL_USB_SUCCESS);
    EXPECT_EQ(OZL_USB_ReadPort(handle, buf, 4, nullptr, 10), OZL_USB_SUCCESS);
    EXPECT_EQ(OZL_USB_GetPalleteType(handle, nullptr), OZL_USB_SUCCESS);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"WritePort ptr,-1", "ReadPort ptr,4,null,10", "GetPalleteType null"}));
}

TEST_F(Exports, OpenPassesTheIndexAndAFailedOpenRegistersNothing)
{
    unsigned long handle = 0xdead;
    EXPECT_EQ(OZL_USB_OpenDev(0, nullptr), OZL_USB_INVALID_PARAM);
    EXPECT_EQ(FakeDevice::world().created, 0);

    FakeDevice::world().openResult = OZL_USB_OPEN_FAILED;
    EXPECT_EQ(OZL_USB_OpenDev(3, &handle), OZL_USB_OPEN_FAILED);
    EXPECT_EQ(handle, 0xdeadul) << "the handle is not written on failure";
    EXPECT_EQ(DevCtrlMgr::GetInstance().DeviceCount(), 0u);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"Init", "OpenDev 3", "Deinit"}));
    EXPECT_EQ(FakeDevice::world().destroyed, 1);

    FakeDevice::world().probeResult = OZL_USB_NOT_SUPPORTED;
    EXPECT_EQ(OZL_USB_OpenDev(0, &handle), OZL_USB_FAILURE) << "no family serves the devices";
    EXPECT_EQ(handle, 0xdeadul);
}

TEST_F(Exports, CloseTwiceReturnsSuccessThenInvalidAndAFailedCloseKeepsTheHandle)
{
    const unsigned long handle = Open();
    FakeDevice::world().closeResult = OZL_USB_FAILURE;
    EXPECT_EQ(OZL_USB_CloseDev(handle), OZL_USB_FAILURE);
    EXPECT_EQ(OZL_USB_CorrectShutter(handle), FakeDevice::world().opResult) << "still registered";

    FakeDevice::world().closeResult = OZL_USB_SUCCESS;
    EXPECT_EQ(OZL_USB_CloseDev(handle), OZL_USB_SUCCESS);
    EXPECT_EQ(OZL_USB_CloseDev(handle), OZL_USB_INVALID_PARAM);
    EXPECT_EQ(DevCtrlMgr::GetInstance().DeviceCount(), 0u);
}

TEST_F(Exports, SearchRefusesANullCallbackAndReportsEveryRecord)
{
    EXPECT_EQ(OZL_USB_SearchDev(nullptr, nullptr), OZL_USB_INVALID_PARAM);
    EXPECT_TRUE(Journal().empty());

    int calls = 0;
    auto count = [](OZL_USB_DEV_INFO*, void* user) { ++*static_cast<int*>(user); };
    EXPECT_EQ(OZL_USB_SearchDev(count, &calls), OZL_USB_SUCCESS);
    EXPECT_EQ(calls, 0) << "nothing attached";

    FakeDevice::world().searchResult.resize(3);
    EXPECT_EQ(OZL_USB_SearchDev(count, &calls), OZL_USB_SUCCESS);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(DevCtrlMgr::GetInstance().DeviceCount(), 0u) << "a search registers nothing";
}

TEST_F(Exports, InitAndDeinitAreRepeatableAndDeinitEmptiesTheRegistry)
{
    OZL_USB_Deinit();  // before any Init: changes nothing
    const unsigned long handle = Open();
    OZL_USB_Deinit();
    EXPECT_EQ(OZL_USB_CorrectShutter(handle), FakeDevice::world().opResult) << "Deinit without Init keeps devices";

    EXPECT_EQ(OZL_USB_Init(), OZL_USB_SUCCESS);
    EXPECT_EQ(OZL_USB_Init(), OZL_USB_SUCCESS);
    OZL_USB_Deinit();
    EXPECT_EQ(OZL_USB_CorrectShutter(handle), OZL_USB_INVALID_PARAM);
    OZL_USB_Deinit();
    EXPECT_EQ(FakeDevice::world().created, FakeDevice::world().destroyed);
}

#include "BaseDevCtrl.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Exposes the exception bookkeeping to the test.
class ReportingDevice : public BaseDevCtrl {
public:
    using BaseDevCtrl::ResetException;
    using BaseDevCtrl::SendException;
    int SetExceptionCallback(OZL_USB_EXCEPTION_CB cb, void* user) override
    {
        StoreExceptionCallback(cb, user);
        return OZL_USB_SUCCESS;
    }
    const std::set<int>& Active() const { return m_exceptions; }
};

struct Call {
    unsigned long handle;
    int code;
    void* user;
};

void Record(unsigned long handle, int code, void* user)
{
    static_cast<std::vector<Call>*>(user)->push_back({handle, code, user});
}

}  // namespace

TEST(BaseDevCtrl, EveryDefaultAnswersNotSupportedAndTouchesNothing)
{
    BaseDevCtrl device;
    const int kUntouched = 12345;
    int value = kUntouched, width = kUntouched, height = kUntouched, received = kUntouched;
    float temperature = 1.5f;
    OZL_USB_ENV_PARAM env = {1, 2, 3, 4, 5};
    char buffer[4] = {'a', 'b', 'c', 'd'};
    std::vector<OZL_USB_DEV_INFO> list(1);
    list[0].index = 7;

    EXPECT_EQ(device.Init(), 0);
    EXPECT_EQ(device.Probe(), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SearchDev(list), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.OpenDev(0), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.CloseDev(), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.ReadPort(buffer, 4, &received, 100), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.WritePort(buffer, 4), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SetExceptionCallback(Record, nullptr), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.StartPreview([](unsigned long, OZL_USB_VIDEO_INFO_CB*, void*) {}, nullptr), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.StopPreview(), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.StartPullTemp([](unsigned long, OZL_USB_TEMP_INFO_CB*, void*) {}, nullptr), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.StopPullTemp(), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.CorrectShutter(), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetPalleteType(&value), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SetPalleteType(1), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetTempLevel(&value), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SetTempLevel(1), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetFPATemp(&temperature), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetCameraTemp(&temperature), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetFPASize(&width, &height), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetEnvParam(&env), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SetEnvParam(&env), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetTempUnit(&value), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SetTempUnit(1), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetImageLevel(&value), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SetImageLevel(1), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.GetImageParam(0, &value), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(device.SetImageParam(0, 1), OZL_USB_NOT_SUPPORTED);
    device.OnDataRecv(reinterpret_cast<unsigned char*>(buffer), sizeof buffer);
    device.CollectException();
    device.Deinit();

    EXPECT_EQ(value, kUntouched);
    EXPECT_EQ(width, kUntouched);
    EXPECT_EQ(height, kUntouched);
    EXPECT_EQ(received, kUntouched);
    EXPECT_EQ(temperature, 1.5f);
    EXPECT_EQ(env.atmosTemp, 1.0f);
    EXPECT_EQ(env.transmittance, 5.0f);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].index, 7);
}

TEST(BaseDevCtrl, DefaultSetExceptionCallbackStoresNothing)
{
    // The default refuses the callback, so a condition is never reported.
    class Device : public BaseDevCtrl {
    public:
        using BaseDevCtrl::SendException;
    } device;
    std::vector<Call> calls;
    EXPECT_EQ(device.SetExceptionCallback(Record, &calls), OZL_USB_NOT_SUPPORTED);
    device.SendException(OZL_USB_EXCEPTION_DEV_STATE);
    EXPECT_TRUE(calls.empty());
}

TEST(BaseDevCtrl, ExceptionIsReportedOncePerOnset)
{
    ReportingDevice device;
    std::vector<Call> calls;

    // No callback yet: nothing is called and nothing is recorded.
    device.SendException(OZL_USB_EXCEPTION_DEV_STATE);
    EXPECT_TRUE(device.Active().empty());

    device.SetExceptionCallback(Record, &calls);
    for (int poll = 0; poll < 10; ++poll)
        device.SendException(OZL_USB_EXCEPTION_DEV_STATE);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handle, reinterpret_cast<unsigned long>(&device));
    EXPECT_EQ(calls[0].code, OZL_USB_EXCEPTION_DEV_STATE);
    EXPECT_EQ(calls[0].user, &calls);

    // Cleared, then present again: one more call, and no call for the clearing.
    device.ResetException(OZL_USB_EXCEPTION_DEV_STATE);
    EXPECT_EQ(calls.size(), 1u);
    device.SendException(OZL_USB_EXCEPTION_DEV_STATE);
    device.SendException(OZL_USB_EXCEPTION_DEV_STATE);
    EXPECT_EQ(calls.size(), 2u);
}

TEST(BaseDevCtrl, CodesAreTrackedIndependently)
{
    ReportingDevice device;
    std::vector<Call> calls;
    device.SetExceptionCallback(Record, &calls);

    device.ResetException(7);  // not active: changes nothing, calls nothing
    EXPECT_TRUE(calls.empty());

    device.SendException(1001);
    device.SendException(7);
    device.ResetException(1001);
    device.SendException(7);
    device.SendException(1001);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].code, 1001);
    EXPECT_EQ(calls[1].code, 7);
    EXPECT_EQ(calls[2].code, 1001);
    EXPECT_EQ(device.Active(), (std::set<int>{7, 1001}));
}

TEST(BaseDevCtrl, ReplacingTheCallbackReplacesItsUserPointerToo)
{
    ReportingDevice device;
    std::vector<Call> first, second;
    device.SetExceptionCallback(Record, &first);
    device.SendException(1);
    device.SetExceptionCallback(Record, &second);
    device.SendException(2);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].code, 2);
    EXPECT_EQ(second[0].user, &second);
}

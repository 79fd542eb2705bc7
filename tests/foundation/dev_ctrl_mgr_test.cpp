#include "DevCtrlMgr.h"

#include "../support/fake_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct ExceptionLog {
    std::mutex mutex;
    std::vector<std::pair<unsigned long, int>> calls;
    void Add(unsigned long handle, int code)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.emplace_back(handle, code);
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
};

void OnException(unsigned long handle, int code, void* user)
{
    static_cast<ExceptionLog*>(user)->Add(handle, code);
}

size_t CollectCount()
{
    std::lock_guard<std::mutex> lock(FakeDevice::world().mutex);
    return FakeDevice::world().collected.size();
}

// Waits (generously) until the poll has made at least `passes` more checks.
void WaitForChecks(size_t checks)
{
    const size_t target = CollectCount() + checks;
    for (int i = 0; i < 200 && CollectCount() < target; ++i)
        std::this_thread::sleep_for(20ms);
    ASSERT_GE(CollectCount(), target) << "the exception poll did not run";
}

FakeDevice& AsFake(const DevCtrlMgr::DevPtr& p) { return static_cast<FakeDevice&>(*p); }

}  // namespace

TEST(DevCtrlMgr, CreateRegistersUnderTheObjectsAddressAndDestroyUnregisters)
{
    FakeFamily family;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    DevCtrlMgr::DevPtr device = manager.CreateDevCtrl();
    ASSERT_TRUE(device);
    const unsigned long handle = reinterpret_cast<unsigned long>(device.get());
    EXPECT_EQ(manager.GetDevCtrlPtr(handle), device);
    EXPECT_EQ(manager.DeviceCount(), 1u);
    EXPECT_EQ(FakeDevice::world().journal, (std::vector<std::string>{"Init"}));

    manager.DestroyDevCtrl(handle + 1);  // unknown handle: nothing happens
    EXPECT_EQ(manager.DeviceCount(), 1u);

    manager.DestroyDevCtrl(handle);
    EXPECT_FALSE(manager.GetDevCtrlPtr(handle));
    EXPECT_EQ(manager.DeviceCount(), 0u);
    EXPECT_EQ(FakeDevice::world().journal.back(), "Deinit");
    EXPECT_EQ(FakeDevice::world().destroyed, 0) << "the caller still holds a reference";
    device.reset();
    EXPECT_EQ(FakeDevice::world().destroyed, 1);
}

TEST(DevCtrlMgr, AFamilyThatDoesNotProbeGivesNoObject)
{
    FakeFamily family;
    FakeDevice::world().probeResult = OZL_USB_NOT_SUPPORTED;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    EXPECT_FALSE(manager.CreateDevCtrl());
    EXPECT_EQ(manager.DeviceCount(), 0u);
    EXPECT_EQ(FakeDevice::world().created, 1);
    EXPECT_EQ(FakeDevice::world().destroyed, 1) << "the refused candidate is dropped at once";
}

TEST(DevCtrlMgr, SearchUsesAFreshUnregisteredObjectAndReportsInOrder)
{
    FakeFamily family;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    OZL_USB_DEV_INFO a = {}, b = {};
    a.index = 0;
    std::strcpy(a.name, "first");
    b.index = 1;
    std::strcpy(b.name, "second");
    FakeDevice::world().searchResult = {a, b};

    std::vector<std::string> seen;
    manager.SearchDev(
        [](OZL_USB_DEV_INFO* info, void* user) {
            auto* out = static_cast<std::vector<std::string>*>(user);
            out->push_back(std::to_string(info->index) + ":" + info->name);
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"0:first", "1:second"}));
    EXPECT_EQ(manager.DeviceCount(), 0u);
    EXPECT_EQ(FakeDevice::world().destroyed, 1) << "the search object is dropped afterwards";
}

TEST(DevCtrlMgr, InitTwiceStartsOnePollThreadAndDeinitStopsIt)
{
    FakeFamily family;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    DevCtrlMgr::DevPtr device = manager.CreateDevCtrl();
    manager.Init();
    manager.Init();
    WaitForChecks(5);
    {
        std::lock_guard<std::mutex> lock(FakeDevice::world().mutex);
        std::set<std::thread::id> threads(FakeDevice::world().collectorThreads.begin(),
                                          FakeDevice::world().collectorThreads.end());
        EXPECT_EQ(threads.size(), 1u);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    }
    manager.Deinit();
    EXPECT_EQ(manager.DeviceCount(), 0u);
    manager.Deinit();  // second Deinit does nothing

    // The poll can be started again.
    DevCtrlMgr::DevPtr again = manager.CreateDevCtrl();
    manager.Init();
    WaitForChecks(2);
}

TEST(DevCtrlMgr, DeinitWithoutInitKeepsRegisteredDevices)
{
    FakeFamily family;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    DevCtrlMgr::DevPtr device = manager.CreateDevCtrl();
    manager.Deinit();
    EXPECT_EQ(manager.DeviceCount(), 1u);
    EXPECT_EQ(FakeDevice::world().journal, (std::vector<std::string>{"Init"}));
}

TEST(DevCtrlMgr, DeinitDeinitialisesEveryDeviceInHandleOrderAndReleasesThem)
{
    FakeFamily family;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    manager.CreateDevCtrl();
    manager.CreateDevCtrl();
    manager.Init();
    manager.Deinit();
    EXPECT_EQ(manager.DeviceCount(), 0u);
    EXPECT_EQ(FakeDevice::world().destroyed, 2);
    const std::vector<std::string>& journal = FakeDevice::world().journal;
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "Deinit"), 2);
}

TEST(DevCtrlMgr, PollReportsEachOnsetOnceAndChecksLowerHandleFirst)
{
    FakeFamily family;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    DevCtrlMgr::DevPtr first = manager.CreateDevCtrl();
    DevCtrlMgr::DevPtr second = manager.CreateDevCtrl();
    ExceptionLog log;

    // A condition present before any callback is registered is not recorded...
    AsFake(first).condition = true;
    manager.Init();
    WaitForChecks(4);
    EXPECT_EQ(log.Count(), 0u);

    // ...and is reported at the next poll after registration, once.
    first->SetExceptionCallback(OnException, &log);
    second->SetExceptionCallback(OnException, &log);
    WaitForChecks(10);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.calls[0].first, first->Handle());
    EXPECT_EQ(log.calls[0].second, OZL_USB_EXCEPTION_DEV_STATE);

    // Gone and back again: exactly one more.
    AsFake(first).condition = false;
    WaitForChecks(4);
    AsFake(first).condition = true;
    WaitForChecks(6);
    EXPECT_EQ(log.Count(), 2u);

    AsFake(second).condition = true;
    WaitForChecks(6);
    ASSERT_EQ(log.Count(), 3u);
    EXPECT_EQ(log.calls[2].first, second->Handle());

    manager.Deinit();
    {
        // Every pass checks both devices, the lower handle first.
        const unsigned long low = std::min(first->Handle(), second->Handle());
        const unsigned long high = std::max(first->Handle(), second->Handle());
        std::lock_guard<std::mutex> lock(FakeDevice::world().mutex);
        const std::vector<unsigned long>& order = FakeDevice::world().collected;
        ASSERT_EQ(order.size() % 2, 0u);
        for (size_t i = 0; i < order.size(); i += 2) {
            EXPECT_EQ(order[i], low);
            EXPECT_EQ(order[i + 1], high);
        }
    }
}

// FakeDevice - a device family for tests of the manager and the exported
// functions: it records every operation called on it with its arguments and
// answers with results the test chose, and its exception condition is a flag
// the test sets.
#pragma once

#include "BaseDevCtrl.h"
#include "DevCtrlMgr.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeDevice : public BaseDevCtrl {
public:
    // Shared configuration and journal of all FakeDevice objects.
    struct World {
        std::mutex mutex;
        int probeResult = OZL_USB_SUCCESS;
        int openResult = OZL_USB_SUCCESS;
        int closeResult = OZL_USB_SUCCESS;
        int opResult = 40;  // what every forwarding operation answers
        std::vector<OZL_USB_DEV_INFO> searchResult;
        std::vector<std::string> journal;      // "Operation arg,arg"
        std::vector<unsigned long> collected;  // handles in CollectException order
        std::vector<std::thread::id> collectorThreads;
        int created = 0;
        int destroyed = 0;
    };
    static World& world()
    {
        static World w;
        return w;
    }
    static DevCtrlMgr::DevPtr Make() { return std::make_shared<FakeDevice>(); }

    FakeDevice()
    {
        std::lock_guard<std::mutex> lock(world().mutex);
        ++world().created;
    }
    ~FakeDevice() override
    {
        std::lock_guard<std::mutex> lock(world().mutex);
        ++world().destroyed;
    }

    std::atomic<bool> condition{false};  // the exception condition the poll checks

    void Note(const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(world().mutex);
        world().journal.push_back(entry);
    }
    static std::string P(const void* p) { return p == nullptr ? "null" : "ptr"; }

    int Init() override
    {
        Note("Init");
        return 1;
    }
    void Deinit() override { Note("Deinit"); }
    int Probe() override { return world().probeResult; }
    int SearchDev(std::vector<OZL_USB_DEV_INFO>& list) override
    {
        Note("SearchDev");
        list = world().searchResult;
        return OZL_USB_SUCCESS;
    }
    int OpenDev(int index) override
    {
        Note("OpenDev " + std::to_string(index));
        return world().openResult;
    }
    int CloseDev() override
    {
        Note("CloseDev");
        return world().closeResult;
    }
    void CollectException() override
    {
        {
            std::lock_guard<std::mutex> lock(world().mutex);
            world().collected.push_back(Handle());
            world().collectorThreads.push_back(std::this_thread::get_id());
        }
        if (condition)
            SendException(OZL_USB_EXCEPTION_DEV_STATE);
        else
            ResetException(OZL_USB_EXCEPTION_DEV_STATE);
    }
    int SetExceptionCallback(OZL_USB_EXCEPTION_CB cb, void* user) override
    {
        StoreExceptionCallback(cb, user);
        return OZL_USB_SUCCESS;
    }
    int ReadPort(char* b, int l, int* r, int t) override
    {
        Note("ReadPort " + P(b) + "," + std::to_string(l) + "," + P(r) + "," + std::to_string(t));
        return world().opResult;
    }
    int WritePort(char* b, int l) override
    {
        Note("WritePort " + P(b) + "," + std::to_string(l));
        return world().opResult;
    }
    int StartPreview(OZL_USB_VIDEO_CB cb, void* u) override
    {
        Note("StartPreview " + P((void*)cb) + "," + P(u));
        return world().opResult;
    }
    int StopPreview() override
    {
        Note("StopPreview");
        return world().opResult;
    }
    int StartPullTemp(OZL_USB_TEMP_CB cb, void* u) override
    {
        Note("StartPullTemp " + P((void*)cb) + "," + P(u));
        return world().opResult;
    }
    int StopPullTemp() override
    {
        Note("StopPullTemp");
        return world().opResult;
    }
    int CorrectShutter() override
    {
        Note("CorrectShutter");
        return world().opResult;
    }
    int GetPalleteType(int* p) override
    {
        Note("GetPalleteType " + P(p));
        return world().opResult;
    }
    int SetPalleteType(int v) override
    {
        Note("SetPalleteType " + std::to_string(v));
        return world().opResult;
    }
    int GetTempLevel(int* p) override
    {
        Note("GetTempLevel " + P(p));
        return world().opResult;
    }
    int SetTempLevel(int v) override
    {
        Note("SetTempLevel " + std::to_string(v));
        return world().opResult;
    }
    int GetFPATemp(float* p) override
    {
        Note("GetFPATemp " + P(p));
        return world().opResult;
    }
    int GetCameraTemp(float* p) override
    {
        Note("GetCameraTemp " + P(p));
        return world().opResult;
    }
    int GetFPASize(int* w, int* h) override
    {
        Note("GetFPASize " + P(w) + "," + P(h));
        return world().opResult;
    }
    int GetEnvParam(OZL_USB_ENV_PARAM* p) override
    {
        Note("GetEnvParam " + P(p));
        return world().opResult;
    }
    int SetEnvParam(const OZL_USB_ENV_PARAM* p) override
    {
        Note("SetEnvParam " + P(p));
        return world().opResult;
    }
    int GetTempUnit(int* p) override
    {
        Note("GetTempUnit " + P(p));
        return world().opResult;
    }
    int SetTempUnit(int v) override
    {
        Note("SetTempUnit " + std::to_string(v));
        return world().opResult;
    }
    int GetImageLevel(int* p) override
    {
        Note("GetImageLevel " + P(p));
        return world().opResult;
    }
    int SetImageLevel(int v) override
    {
        Note("SetImageLevel " + std::to_string(v));
        return world().opResult;
    }
    int GetImageParam(int t, int* p) override
    {
        Note("GetImageParam " + std::to_string(t) + "," + P(p));
        return world().opResult;
    }
    int SetImageParam(int t, int v) override
    {
        Note("SetImageParam " + std::to_string(t) + "," + std::to_string(v));
        return world().opResult;
    }
};

// Installs FakeDevice as the manager's family for one test, and restores the
// camera family afterwards.
class FakeFamily {
public:
    FakeFamily()
    {
        // The journal is built before the manager so that it outlives it:
        // devices still registered at exit are released by the manager's
        // destructor and write to the journal then.
        FakeDevice::world();
        DevCtrlMgr::GetInstance().SetFamilyFactory(&FakeDevice::Make);
    }
    ~FakeFamily()
    {
        DevCtrlMgr::GetInstance().Deinit();
        DevCtrlMgr::GetInstance().SetFamilyFactory(nullptr);
    }
};

// DevCtrlMgr - the one owner of every device-control object of the process.
//
// It probes the device families, creates and registers device-control objects
// under their handles (their addresses), looks handles up for the exported
// functions, runs searches, and runs the exception poll: a thread that asks
// every registered device every 100 ms to check its exception conditions.
#pragma once

#include "BaseDevCtrl.h"

#include <Poco/Mutex.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

// The runnable of the exception-poll thread.
class ExeptionCollector : public Poco::Runnable {
public:
    ~ExeptionCollector() override = default;
    void run() override;
};

class DevCtrlMgr {
public:
    using DevPtr = std::shared_ptr<BaseDevCtrl>;

    // The process's manager, built on first use and destroyed at exit.
    static DevCtrlMgr& GetInstance();

    // Starts the exception poll the first time; later calls do nothing. Waits
    // for a shutdown under way on another thread to finish first.
    void Init();
    // Stops the poll, then deinitialises and releases every registered device.
    // Does nothing when Init was not called. One thread does the work, with
    // no lock held; a concurrent Deinit waits until it is done, except on a
    // library thread (a frame callback's or the exception poll's), which the
    // work may be joining: there it returns at once.
    void Deinit();
    // A new, unregistered object of the first family whose Probe answers 0.
    DevPtr Probe();
    // A new object, initialised and registered under its address; empty when
    // no family serves the attached devices.
    DevPtr CreateDevCtrl();
    // Deinitialises and unregisters the object; an unknown handle is ignored.
    void DestroyDevCtrl(unsigned long handle);
    // A shared reference to the registered object, or empty.
    DevPtr GetDevCtrlPtr(unsigned long handle);
    // Runs a search on a fresh, unregistered object and calls `callback` once
    // per record found, on this thread and without the registry lock.
    void SearchDev(OZL_USB_SEARCH_CB callback, void* user);
    // The poll loop; returns once a stop is requested.
    void DoExeptionCollect();

    // Number of registered devices (for diagnostics and tests).
    size_t DeviceCount();

    // Device families are created through this hook so that tests can put a
    // family of their own in place of the camera family. Null restores it.
    using FamilyFactory = DevPtr (*)();
    void SetFamilyFactory(FamilyFactory factory);

    DevCtrlMgr(const DevCtrlMgr&) = delete;
    DevCtrlMgr& operator=(const DevCtrlMgr&) = delete;

private:
    DevCtrlMgr();
    ~DevCtrlMgr();

    void StopPoll();
    void ReleaseAll();

    enum class State { Down, Up, GoingDown };
    State m_state = State::Down;  // guarded by m_lifecycle
    Poco::Mutex m_mutex;          // recursive; guards m_devMap and m_family only
    std::map<unsigned long, DevPtr> m_devMap;
    ExeptionCollector m_collector;
    Poco::Thread m_thread;
    std::atomic<bool> m_stop{false};  // written by Deinit, read by the poll thread
    // Guards m_state; never held while a thread is joined or a device is
    // deinitialised. m_lifecycleCv signals the end of a shutdown.
    std::mutex m_lifecycle;
    std::condition_variable m_lifecycleCv;
    FamilyFactory m_family = nullptr;
};

#include "DevCtrlMgr.h"

#include "UVCDevCtrl.h"

#include <vector>

namespace {

DevCtrlMgr::DevPtr MakeCameraFamily()
{
    return std::make_shared<UVCDevCtrl>();
}

}  // namespace

void ExeptionCollector::run()
{
    DevCtrlMgr::GetInstance().DoExeptionCollect();
}

DevCtrlMgr& DevCtrlMgr::GetInstance()
{
    static DevCtrlMgr instance;  // thread-safe construction, destroyed at exit
    return instance;
}

DevCtrlMgr::DevCtrlMgr() : m_thread("ExceptionPoll") {}

DevCtrlMgr::~DevCtrlMgr()
{
    // At process exit the poll must end before the registry and the lock go,
    // and cameras the application left open are closed like in Deinit.
    StopPoll();
    ReleaseAll();
}

void DevCtrlMgr::Init()
{
    std::unique_lock<std::mutex> lock(m_lifecycle);
    if (m_state == State::GoingDown) {
        if (BaseDevCtrl::OnLibraryThread())
            return;
        m_lifecycleCv.wait(lock, [&] { return m_state != State::GoingDown; });
    }
    if (m_state == State::Up)
        return;
    // A poll that shut the library down from its own callback may still be
    // finishing its pass.
    while (m_thread.isRunning() && Poco::Thread::current() != &m_thread) {
        lock.unlock();
        m_thread.join();
        lock.lock();
    }
    if (m_state != State::Down)
        return;
    m_state = State::Up;
    m_stop = false;
    m_thread.start(m_collector);
}

void DevCtrlMgr::Deinit()
{
    std::unique_lock<std::mutex> lock(m_lifecycle);
    if (m_state == State::Down)
        return;
    if (m_state == State::GoingDown) {
        if (!BaseDevCtrl::OnLibraryThread())
            m_lifecycleCv.wait(lock, [&] { return m_state != State::GoingDown; });
        return;
    }
    m_state = State::GoingDown;
    lock.unlock();
    StopPoll();
    ReleaseAll();
    lock.lock();
    m_state = State::Down;
    m_lifecycleCv.notify_all();
}

void DevCtrlMgr::StopPoll()
{
    m_stop = true;
    // An exception callback that deinitialises the library would wait for its
    // own thread; the poll then ends after the current pass instead.
    if (m_thread.isRunning() && Poco::Thread::current() != &m_thread)
        m_thread.join();
}

// Shutdown of devices that may still be streaming. A device's Deinit closes
// its video channel, which joins its read thread; that thread may at this very
// moment be inside a frame callback that calls an exported function and so
// waits for the registry lock. Deinitialising under the lock would deadlock,
// so the registry is emptied under the lock and the devices are deinitialised
// (ascending handle order) and released after it is released. A read thread
// that looks its handle up meanwhile finds it unregistered and gets 3. Each
// device's Deinit stops its read thread before its planes are released, so no
// frame is handled after that.
void DevCtrlMgr::ReleaseAll()
{
    std::map<unsigned long, DevPtr> devices;
    {
        Poco::Mutex::ScopedLock lock(m_mutex);
        devices.swap(m_devMap);
    }
    for (auto& entry : devices)
        entry.second->Deinit();
    devices.clear();
}

DevCtrlMgr::DevPtr DevCtrlMgr::Probe()
{
    FamilyFactory family;
    {
        Poco::Mutex::ScopedLock lock(m_mutex);
        family = m_family != nullptr ? m_family : MakeCameraFamily;
    }
    // One family today; the loop is where further families would be tried.
    const FamilyFactory families[] = {family};
    for (FamilyFactory make : families) {
        DevPtr candidate = make();
        if (candidate && candidate->Probe() == OZL_USB_SUCCESS)
            return candidate;
    }
    return nullptr;
}

DevCtrlMgr::DevPtr DevCtrlMgr::CreateDevCtrl()
{
    DevPtr device = Probe();
    if (!device)
        return device;
    Poco::Mutex::ScopedLock lock(m_mutex);
    device->Init();
    m_devMap[device->Handle()] = device;
    return device;
}

void DevCtrlMgr::DestroyDevCtrl(unsigned long handle)
{
    // The device is deinitialised and released after the lock: both may join
    // threads, which must not happen while the registry is locked.
    DevPtr device;
    {
        Poco::Mutex::ScopedLock lock(m_mutex);
        auto it = m_devMap.find(handle);
        if (it == m_devMap.end())
            return;
        device = it->second;
        m_devMap.erase(it);
    }
    // Unregistered first: Deinit may join the device's read thread, whose
    // callback may be waiting for the registry lock.
    device->Deinit();
}

DevCtrlMgr::DevPtr DevCtrlMgr::GetDevCtrlPtr(unsigned long handle)
{
    Poco::Mutex::ScopedLock lock(m_mutex);
    auto it = m_devMap.find(handle);
    return it == m_devMap.end() ? nullptr : it->second;
}

size_t DevCtrlMgr::DeviceCount()
{
    Poco::Mutex::ScopedLock lock(m_mutex);
    return m_devMap.size();
}

void DevCtrlMgr::SetFamilyFactory(FamilyFactory factory)
{
    Poco::Mutex::ScopedLock lock(m_mutex);
    m_family = factory;
}

void DevCtrlMgr::SearchDev(OZL_USB_SEARCH_CB callback, void* user)
{
    DevPtr device = Probe();
    if (!device)
        return;
    device->Init();
    std::vector<OZL_USB_DEV_INFO> list;
    device->SearchDev(list);
    for (OZL_USB_DEV_INFO& info : list)
        callback(&info, user);
}

void DevCtrlMgr::DoExeptionCollect()
{
    BaseDevCtrl::PollScope poll;
    while (!m_stop) {
        std::map<unsigned long, DevPtr> snapshot;
        {
            Poco::Mutex::ScopedLock lock(m_mutex);
            snapshot = m_devMap;
        }
        for (auto& entry : snapshot)
            entry.second->CollectException();
        Poco::Thread::sleep(100);
    }
}

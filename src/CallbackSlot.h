// CallbackSlot - one frame callback with its user pointer, replaced as a pair
// and waited for when it is stopped.
#pragma once

#include <mutex>

// One registered frame callback with its user pointer.
//
// The pair is replaced as a unit, so a frame never sees a new callback with
// an old user pointer. Store from an application thread also waits for a
// running call of the previous callback to return, so once it returns the
// old callback is not running and will not run again. Store from a read
// thread (a callback re-registering or stopping) must not wait: it may be
// the very thread that runs the callback, or wait on another camera whose
// callback waits on it.
template <typename Callback>
class CallbackSlot {
public:
    void Store(Callback callback, void* user, bool waitForRunning)
    {
        std::unique_lock<std::mutex> running(m_running, std::defer_lock);
        if (waitForRunning)
            running.lock();
        std::lock_guard<std::mutex> pair(m_pairMutex);
        m_callback = callback;
        m_user = user;
    }

    bool Armed()
    {
        std::lock_guard<std::mutex> pair(m_pairMutex);
        return m_callback != nullptr;
    }

    // Calls the registered callback, if any, holding m_running for the call.
    template <typename Record>
    void Invoke(unsigned long handle, Record* record)
    {
        std::lock_guard<std::mutex> running(m_running);
        Callback callback;
        void* user;
        {
            std::lock_guard<std::mutex> pair(m_pairMutex);
            callback = m_callback;
            user = m_user;
        }
        if (callback != nullptr)
            callback(handle, record, user);
    }

private:
    std::mutex m_running;           // held by the read thread while the callback runs
    std::mutex m_pairMutex;         // guards m_callback and m_user; never held across a call
    Callback m_callback = nullptr;  // guarded by m_pairMutex
    void* m_user = nullptr;         // guarded by m_pairMutex
};

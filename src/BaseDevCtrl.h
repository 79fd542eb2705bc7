// BaseDevCtrl - the device-control interface every camera family implements.
//
// Every operation has a default body that answers OZL_USB_NOT_SUPPORTED, so a
// family overrides only what it supports. The class also keeps the exception
// bookkeeping: derived classes report conditions with SendException /
// ResetException from their CollectException override and the callback is
// called once per onset of a condition.
#pragma once

#include "VIVAZUZOZ.h"

#include <mutex>
#include <set>
#include <vector>

class BaseDevCtrl {
public:
    BaseDevCtrl() = default;
    virtual ~BaseDevCtrl();

    BaseDevCtrl(const BaseDevCtrl&) = delete;
    BaseDevCtrl& operator=(const BaseDevCtrl&) = delete;

    // 1 when initialised, 0 when not; the manager ignores the result.
    virtual int Init();
    // Releases what the object acquired for streaming; safe on an unopened object.
    virtual void Deinit();
    // 0 when this family serves the attached devices.
    virtual int Probe();
    // Replaces `list` with the devices found, in index order.
    virtual int SearchDev(std::vector<OZL_USB_DEV_INFO>& list);
    virtual int OpenDev(int index);
    virtual int CloseDev();
    virtual int ReadPort(char* buffer, int length, int* received, int timeoutMs);
    virtual int WritePort(char* buffer, int length);
    // Called by the exception poll thread once per pass.
    virtual void CollectException();
    virtual int SetExceptionCallback(OZL_USB_EXCEPTION_CB callback, void* user);
    virtual int StartPreview(OZL_USB_VIDEO_CB callback, void* user);
    virtual int StopPreview();
    virtual int StartPullTemp(OZL_USB_TEMP_CB callback, void* user);
    virtual int StopPullTemp();
    virtual int CorrectShutter();
    virtual int GetPalleteType(int* palette);
    virtual int SetPalleteType(int palette);
    virtual int GetTempLevel(int* level);
    virtual int SetTempLevel(int level);
    virtual int GetFPATemp(float* temperature);
    virtual int GetCameraTemp(float* temperature);
    virtual int GetFPASize(int* width, int* height);
    virtual int GetEnvParam(OZL_USB_ENV_PARAM* param);
    virtual int SetEnvParam(const OZL_USB_ENV_PARAM* param);
    virtual int GetTempUnit(int* unit);
    virtual int SetTempUnit(int unit);
    virtual int GetImageLevel(int* level);
    virtual int SetImageLevel(int level);
    virtual int GetImageParam(int type, int* value);
    virtual int SetImageParam(int type, int value);
    // Called on the read thread with one frame; `frame` is valid only during the call.
    virtual void OnDataRecv(unsigned char* frame, unsigned long size);

    // The handle under which the manager registers this object: its address.
    unsigned long Handle() const { return reinterpret_cast<unsigned long>(this); }

    // The library's own threads. A thread that a lifecycle operation would
    // join, or wait for, must not wait for that operation in turn: when it
    // finds one under way it returns at once instead.
    //
    // The device whose frame this thread is handling (a family's frame
    // handler marks it with a DeliveryScope), or null.
    static const BaseDevCtrl* DeliveringDevice();
    // True on the exception poll (marked by the manager with a PollScope).
    static bool OnPollThread();
    // Either of the two.
    static bool OnLibraryThread() { return DeliveringDevice() != nullptr || OnPollThread(); }

    class DeliveryScope {
    public:
        explicit DeliveryScope(const BaseDevCtrl* device);
        ~DeliveryScope();
        DeliveryScope(const DeliveryScope&) = delete;
        DeliveryScope& operator=(const DeliveryScope&) = delete;

    private:
        const BaseDevCtrl* m_previous;
    };
    class PollScope {
    public:
        PollScope();
        ~PollScope();
        PollScope(const PollScope&) = delete;
        PollScope& operator=(const PollScope&) = delete;
    };

protected:
    // Report that the condition behind `code` is present: calls the exception
    // callback unless the code is already active, then marks it active. Does
    // nothing (records nothing) while no callback is registered.
    void SendException(int code);
    // Report that the condition behind `code` is absent: clears it, no call.
    void ResetException(int code);

    // Stores the exception callback and its user pointer as one pair. The poll
    // thread reads the pair under the same lock, so it never combines a new
    // callback with an old user pointer or the reverse. False (nothing
    // stored) while exceptions are closed.
    bool StoreExceptionCallback(OZL_USB_EXCEPTION_CB callback, void* user);
    // Closing a device: forgets the callback, waits for a running call of it
    // to return (unless it is this thread's own) and refuses new ones, so
    // that once the close returns the exception callback does not run again.
    void CloseExceptions();
    // Opening a device: callbacks may be registered again.
    void OpenExceptions();

    bool m_init = false;  // never set: the default Init answers 0

    // Guards m_exceptionCb and m_exceptionUser (written by application
    // threads, read by the poll thread). The callback itself runs without it.
    std::mutex m_exceptionMutex;
    OZL_USB_EXCEPTION_CB m_exceptionCb = nullptr;
    void* m_exceptionUser = nullptr;
    bool m_exceptionsClosed = false;  // guarded by m_exceptionMutex
    // Held by the poll thread while the exception callback runs; recursive
    // so that the callback may close its own device.
    std::recursive_mutex m_exceptionRunning;

    // Active exception codes. Touched only on the poll thread.
    std::set<int> m_exceptions;
};

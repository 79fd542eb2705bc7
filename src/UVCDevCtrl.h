// UVCDevCtrl - device control of the thermal camera family: command frames on
// the serial port, open and close, frames to callbacks, settings.
//
// Threads that meet here: application threads (every operation), the
// camera's read thread (OnDataRecv, the first frame's queries and the frame
// callbacks) and the manager's poll thread (CollectException). Command
// exchanges are not serialised against each other; what is shared is listed
// with each field below.
#pragma once

#include "BaseDevCtrl.h"
#include "Common/SerialPort.h"
#include "TempConversion.h"
#include "UVCInterface.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

enum FrameMode { FRAME_MODE_IMAGE = 0, FRAME_MODE_IMAGE_TEMP = 1, FRAME_MODE_NONE = 2 };

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
    std::mutex m_running;        // held by the read thread while the callback runs
    std::mutex m_pairMutex;      // guards m_callback and m_user; never held across a call
    Callback m_callback = nullptr;  // guarded by m_pairMutex
    void* m_user = nullptr;         // guarded by m_pairMutex
};

class UVCDevCtrl : public BaseDevCtrl, public std::enable_shared_from_this<UVCDevCtrl> {
public:
    struct DevFuncUsability {
        bool detail = false;
        bool spatialDenoising = false;
        bool contrast = false;
        bool brightness = false;
        bool timeDenoising = false;
        bool dynamicRange = false;
        bool detailAlt = false;
        bool spatialDenoisingAlt = false;
        bool contrastAlt = false;
        bool brightnessAlt = false;
        bool timeDenoisingAlt = false;
        bool dynamicRangeAlt = false;
    };

    UVCDevCtrl();
    // Closes the video channel (joining the read thread) before the port.
    ~UVCDevCtrl() override;

    int Init() override;
    // Closes what is still open, then releases the planes.
    void Deinit() override;
    int Probe() override;
    int SearchDev(std::vector<OZL_USB_DEV_INFO>& list) override;
    int OpenDev(int index) override;
    int CloseDev() override;
    // Polls the command port every 20 ms until bytes arrive or `timeoutMs`
    // passes, then copies `len` bytes (bounded to 0..512) of what arrived.
    int ReadPort(char* buf, int len, int* count, int timeoutMs) override;
    int WritePort(char* buf, int len) override;
    void CollectException() override;
    int SetExceptionCallback(OZL_USB_EXCEPTION_CB cb, void* user) override;
    int StartPreview(OZL_USB_VIDEO_CB cb, void* user) override;
    int StopPreview() override;
    int StartPullTemp(OZL_USB_TEMP_CB cb, void* user) override;
    int StopPullTemp() override;
    int CorrectShutter() override;
    int GetPalleteType(int* palette) override;
    int SetPalleteType(int palette) override;
    int GetTempLevel(int* level) override;
    int SetTempLevel(int level) override;
    int GetFPATemp(float* temperature) override;
    int GetCameraTemp(float* temperature) override;
    int GetFPASize(int* width, int* height) override;
    int GetEnvParam(OZL_USB_ENV_PARAM* param) override;
    int SetEnvParam(const OZL_USB_ENV_PARAM* param) override;
    int GetTempUnit(int* unit) override;
    int SetTempUnit(int unit) override;
    int GetImageLevel(int* level) override;
    int SetImageLevel(int level) override;
    int GetImageParam(int type, int* value) override;
    int SetImageParam(int type, int value) override;
    void OnDataRecv(unsigned char* data, unsigned long size) override;

    // Formula query for m_tempLevel; fills m_tempScale and m_tempOffset.
    void GetTempFormula();
    // Capability query; fills m_devFunc.
    void GetDevFunc();
    // 8-bit sum of the first `len` bytes; 0 for len <= 0.
    static unsigned char VEL_AAL_CKSUM(unsigned char* buf, int len);

    // Environment parameters one at a time; the setters take value x 10000.
    int GetAtmosTemp(float* value);
    int SetAtmosTemp(int value);
    int GetDistance(float* value);
    int SetDistance(int value);
    int GetEmissivity(float* value);
    int SetEmissivity(int value);
    int GetReflectedTemp(float* value);
    int SetReflectedTemp(int value);
    int GetTransmittance(float* value);
    int SetTransmittance(int value);

    // Image tuning one parameter at a time; variant 0 uses the primary
    // command code, any other the alternate one.
    int GetDetail(int variant, int* value);
    int SetDetail(int variant, int value);
    int GetSpatialDenoising(int variant, int* value);
    int SetSpatialDenoising(int variant, int value);
    int GetContrast(int variant, int* value);
    int SetContrast(int variant, int value);
    int GetBrightness(int variant, int* value);
    int SetBrightness(int variant, int value);
    int GetTimeDenoising(int variant, int* value);
    int SetTimeDenoising(int variant, int value);
    int GetDynamicRange(int variant, int* value);
    int SetDynamicRange(int variant, int value);

    // The list of the last successful search, shared by all objects. No
    // lock: the application keeps searches and opens apart.
    static std::vector<OZL_USB_DEV_INFO> m_devList;

    // One command of the wire protocol, as the tables of the .cpp give it.
    struct Command {
        uint8_t group;
        uint8_t code;
        uint8_t op;
        int timeoutMs;
    };
    struct Reply {
        uint8_t bytes[512];
        int dataAt;  // index of the first data byte, by group
        const uint8_t* Data() const { return bytes + dataAt; }
    };
    enum class StatusCheck { Required, Ignored };

protected:
    // The pause between request and reply; a real 100 ms sleep.
    virtual void PauseBeforeReply();

    // One request/reply exchange: 0 when the reply carries the head, the
    // echo of the command code and (unless ignored) the status byte.
    int Exchange(const Command& cmd, const uint8_t* arg, int argLen, StatusCheck status, Reply& reply);
    // Exchange plus the acknowledgement of a setting.
    int Setting(const Command& cmd, const uint8_t* arg, int argLen);
    int SettingByte(const Command& cmd, int value);

    int GetEnvValue(uint8_t code, float* value);
    int SetEnvValue(uint8_t code, int value);
    int GetTuning(int type, int variant, int* value);
    int SetTuning(int type, int variant, int value);

    // The read thread's side of the first frame: layout, planes, queries.
    void HandleFirstFrame(unsigned long size);
    // Stops exchanges, closes the video channel (joining the read thread,
    // unless called on it) and then the port.
    void Shutdown();
    bool OnOwnReadThread() const;

    UVCInterface m_uvc;
    SerialPort m_serial;  // opened/closed by the opening thread while no exchange can run (see m_closing)
    bool m_isOpened = false;  // opening/closing thread only
    CallbackSlot<OZL_USB_VIDEO_CB> m_videoSlot;  // thread-safe by itself
    CallbackSlot<OZL_USB_TEMP_CB> m_tempSlot;    // thread-safe by itself
    // Stored by the read thread after every other first-frame field has been
    // written; OpenDev waits for it. Sequentially consistent.
    std::atomic<bool> m_firstFrame{false};

    // The stream's layout. Written only by the read thread on the first
    // recognised frame, before m_firstFrame is stored; other threads read
    // them only after OpenDev has seen m_firstFrame (or joined the thread).
    int32_t m_frameMode = FRAME_MODE_NONE;
    int32_t m_width = 0;
    int32_t m_height = 0;
    unsigned long m_frameBytes = 0;  // the first frame's size; later frames must match it
    // Planes: allocated on the read thread with the layout; released by
    // Deinit once the read thread has been joined.
    std::unique_ptr<uint16_t[]> m_imageData;
    std::unique_ptr<uint16_t[]> m_tempData;

    // The formula: written on the read thread by the first frame's queries
    // (under the same publication rule as the layout).
    int32_t m_tempScale = 10;
    int32_t m_tempOffset = 0;
    int32_t m_tempLevel = 0;
    // Splits and converts frames under the formula it was last given
    // (re-set when m_tempScale/m_tempOffset differ); read thread only.
    TempConversion m_conversion;

    // Written by the opening thread once the first frame is in, before the
    // handle is returned; read by application threads afterwards.
    DevFuncUsability m_devFunc;

    // Set while the camera closes: exchanges on any thread stop polling and
    // refuse to start. m_exchanges counts the port operations under way; a
    // close waits for it to reach 0 before it closes the port. Both
    // sequentially consistent, which is what makes the pair race-free.
    std::atomic<bool> m_closing{false};
    std::atomic<int> m_exchanges{0};
};

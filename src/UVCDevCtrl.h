// UVCDevCtrl - device control of the thermal camera family: command frames on
// the serial port, open and close, frames to callbacks, settings. One class,
// one source file per job: UVCDevCtrl.cpp (lifecycle and capabilities),
// UVCCommandExchange.cpp (the port and the request/reply exchange),
// UVCFrameDecoder.cpp (frame layouts, planes, temperature conversion) and
// UVCSettings.cpp (the setting commands); UVCWire.h holds what they share.
//
// Threads that meet here: application threads (every operation), the
// camera's read thread (OnDataRecv, the first frame's queries and the frame
// callbacks) and the manager's poll thread (CollectException). Command
// exchanges are not serialised against each other; what is shared is listed
// with each field below.
#pragma once

#include "BaseDevCtrl.h"
#include "CallbackSlot.h"
#include "CameraClaim.h"
#include "Common/SerialPort.h"
#include "TempConversion.h"
#include "UVCInterface.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

enum FrameMode { FRAME_MODE_IMAGE = 0, FRAME_MODE_IMAGE_TEMP = 1, FRAME_MODE_NONE = 2 };

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
    // The camera's one lifecycle. Whichever thread gets there first closes
    // (CloseDev, Deinit, the destructor, from any thread); the others wait
    // for it, or return at once on a library thread that the close may be
    // joining. Nothing on a closed camera.
    void Shutdown();
    // The work of a close: exceptions closed, exchanges stopped, the video
    // channel closed (the read thread joined unless this is it), the port
    // closed, the claim released. True when the read thread was joined.
    bool TearDown();
    // The work of OpenDev, between the Opening and the Open or Closed state.
    int Open(int index);
    bool OnOwnReadThread() const;

    UVCInterface m_uvc;
    // Held from the start of a successful open to the end of its shutdown;
    // opening/closing thread only.
    CameraClaim m_claim;
    SerialPort m_serial;  // opened/closed by the opening and closing threads while no exchange can run (see m_closing)
    // The lifecycle: Closed -> Opening -> Open or Closed; Open -> Closing ->
    // Closed. m_lifeCv signals the end of Opening and Closing.
    enum class Life { Closed, Opening, Open, Closing };
    std::mutex m_lifeMutex;
    std::condition_variable m_lifeCv;
    Life m_life = Life::Closed;      // guarded by m_lifeMutex
    bool m_readThreadJoined = true;  // guarded by m_lifeMutex: false when the last close ran on the read thread
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

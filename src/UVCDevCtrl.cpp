#include "UVCDevCtrl.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

std::vector<OZL_USB_DEV_INFO> UVCDevCtrl::m_devList;

namespace {

using Command = UVCDevCtrl::Command;
using Flags = UVCDevCtrl::DevFuncUsability;

constexpr uint8_t kHead = 0xAA;
constexpr uint8_t kTail[2] = {0xEB, 0xAA};
constexpr uint8_t kReplyHead = 0x55;
constexpr uint8_t kStatusOk = 0x33;
constexpr uint8_t kAck = 0x01;
constexpr int kReplySize = 512;
constexpr int kMaxArg = 4;

constexpr int kShortTimeout = 1000;
constexpr int kShutterTimeout = 10000;
constexpr int kTempLevelTimeout = 100000;

// group, code, op, time-out
constexpr Command kCapabilities{0x01, 0x12, 0x00, kShortTimeout};
constexpr Command kFormula{0x07, 0x62, 0x00, kShortTimeout};
constexpr Command kShutter{0x01, 0x11, 0x02, kShutterTimeout};
constexpr Command kPaletteGet{0x01, 0x42, 0x00, kShortTimeout};
constexpr Command kPaletteSet{0x01, 0x42, 0x02, kShortTimeout};
constexpr Command kTempLevelGet{0x07, 0x01, 0x00, kTempLevelTimeout};
constexpr Command kTempLevelSet{0x07, 0x01, 0x01, kTempLevelTimeout};
constexpr Command kFpaTemp{0x01, 0xC3, 0x00, kShortTimeout};
constexpr Command kCameraTemp{0x01, 0x7C, 0x00, kShortTimeout};
constexpr Command kTempUnitGet{0x07, 0x02, 0x00, kShortTimeout};
constexpr Command kTempUnitSet{0x07, 0x02, 0x01, kShortTimeout};
constexpr Command kImageLevelGet{0x01, 0x19, 0x00, kShortTimeout};
constexpr Command kImageLevelSet{0x01, 0x19, 0x01, kShortTimeout};

// Environment parameters: group 07, one code per field.
constexpr uint8_t kEnvGroup = 0x07;
constexpr uint8_t kAtmosTemp = 0x10;
constexpr uint8_t kDistance = 0x13;
constexpr uint8_t kEmissivity = 0x12;
constexpr uint8_t kReflectedTemp = 0x0F;
constexpr uint8_t kTransmittance = 0x11;
constexpr float kEnvScale = 10000.0f;

// The camera's code for the level that the interface calls 2.
constexpr int kTempLevelTopCode = 3;
constexpr int kTempLevelTop = 2;

// Capability report: which reply bit says which command code is accepted.
struct CapabilityBit {
    bool Flags::*flag;
    int byte;
    int bit;
};
constexpr CapabilityBit kCapabilityBits[] = {
    {&Flags::detail, 7, 1},           {&Flags::spatialDenoising, 7, 2},
    {&Flags::contrast, 7, 3},         {&Flags::brightness, 7, 4},
    {&Flags::timeDenoising, 7, 5},    {&Flags::dynamicRange, 7, 6},
    {&Flags::detailAlt, 15, 3},       {&Flags::spatialDenoisingAlt, 15, 4},
    {&Flags::contrastAlt, 15, 2},     {&Flags::brightnessAlt, 15, 1},
    {&Flags::timeDenoisingAlt, 15, 5},
};

// Image tuning parameters by type number (group 01).
constexpr uint8_t kTuningGroup = 0x01;
constexpr uint8_t kNoCode = 0x00;
struct TuningParam {
    uint8_t primary;
    uint8_t alternate;  // kNoCode: the parameter has none
    uint8_t setOp;
    int width;          // value bytes on the wire
    bool Flags::*primaryFlag;
    bool Flags::*alternateFlag;
    int (UVCDevCtrl::*get)(int, int*);
    int (UVCDevCtrl::*set)(int, int);
};
constexpr TuningParam kTuning[] = {
    {0x1E, 0x38, 0x02, 1, &Flags::detail, &Flags::detailAlt, &UVCDevCtrl::GetDetail, &UVCDevCtrl::SetDetail},
    {0x1D, 0x39, 0x02, 1, &Flags::spatialDenoising, &Flags::spatialDenoisingAlt, &UVCDevCtrl::GetSpatialDenoising,
     &UVCDevCtrl::SetSpatialDenoising},
    {0x24, 0x37, 0x01, 2, &Flags::contrast, &Flags::contrastAlt, &UVCDevCtrl::GetContrast, &UVCDevCtrl::SetContrast},
    {0x26, 0x36, 0x01, 1, &Flags::brightness, &Flags::brightnessAlt, &UVCDevCtrl::GetBrightness,
     &UVCDevCtrl::SetBrightness},
    {0x05, 0x3A, 0x01, 1, &Flags::timeDenoising, &Flags::timeDenoisingAlt, &UVCDevCtrl::GetTimeDenoising,
     &UVCDevCtrl::SetTimeDenoising},
    {0x21, kNoCode, 0x01, 1, &Flags::dynamicRange, &Flags::dynamicRangeAlt, &UVCDevCtrl::GetDynamicRange,
     &UVCDevCtrl::SetDynamicRange},
};
constexpr int kTuningCount = sizeof(kTuning) / sizeof(kTuning[0]);
enum TuningType { kDetail = 0, kSpatialDenoising, kContrast, kBrightness, kTimeDenoising, kDynamicRange };

// Frame sizes the cameras stream, recognised by byte count alone.
struct FrameLayout {
    unsigned long bytes;
    FrameMode mode;
    int32_t width;
    int32_t height;
};
constexpr FrameLayout kFrameLayouts[] = {
    {0x18000, FRAME_MODE_IMAGE, 256, 192},    {0x30000, FRAME_MODE_IMAGE_TEMP, 256, 192},
    {0x36000, FRAME_MODE_IMAGE, 384, 288},    {0x6C000, FRAME_MODE_IMAGE_TEMP, 384, 288},
    {0xA0000, FRAME_MODE_IMAGE, 640, 512},    {0x140000, FRAME_MODE_IMAGE_TEMP, 640, 512},
    {0x280000, FRAME_MODE_IMAGE, 1280, 1024}, {0x500000, FRAME_MODE_IMAGE_TEMP, 1280, 1024},
};

constexpr int kFirstFramePolls = 50;
constexpr auto kFirstFramePoll = std::chrono::milliseconds(100);
constexpr auto kReplyPause = std::chrono::milliseconds(100);
constexpr auto kPortPoll = std::chrono::milliseconds(20);
constexpr auto kDrainPoll = std::chrono::milliseconds(1);

// The camera whose OnDataRecv runs on this thread, if any. Lets registration
// and shutdown tell a read thread (which must never wait for a callback) from
// an application thread.
thread_local const UVCDevCtrl* t_receiving = nullptr;

class ReceivingScope {
public:
    explicit ReceivingScope(const UVCDevCtrl* device) : m_previous(t_receiving) { t_receiving = device; }
    ~ReceivingScope() { t_receiving = m_previous; }
    ReceivingScope(const ReceivingScope&) = delete;
    ReceivingScope& operator=(const ReceivingScope&) = delete;

private:
    const UVCDevCtrl* m_previous;
};

bool OnAnyReadThread() { return t_receiving != nullptr; }

// Counts a port operation for the duration of its body.
class PortUse {
public:
    explicit PortUse(std::atomic<int>& count) : m_count(count) { ++m_count; }
    ~PortUse() { --m_count; }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;

private:
    std::atomic<int>& m_count;
};

int32_t LittleEndian32(const uint8_t* p)
{
    const uint32_t bits = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return static_cast<int32_t>(bits);
}

uint16_t LittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// value x 10000 in single precision, truncated toward zero; beyond the 32-bit
// range it saturates and NaN becomes 0.
int32_t ScaleForWire(float value)
{
    const float scaled = value * kEnvScale;
    if (std::isnan(scaled))
        return 0;
    if (scaled >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    if (scaled <= -2147483648.0f)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(scaled);
}

}  // namespace

UVCDevCtrl::UVCDevCtrl() = default;

UVCDevCtrl::~UVCDevCtrl() { Shutdown(); }

int UVCDevCtrl::Init() { return BaseDevCtrl::Init(); }

void UVCDevCtrl::Deinit()
{
    Shutdown();
    m_isOpened = false;
    // A frame callback that shuts the library down runs inside OnDataRecv,
    // which still holds the planes; the destructor releases them then.
    if (OnOwnReadThread())
        return;
    m_imageData.reset();
    m_tempData.reset();
}

int UVCDevCtrl::Probe() { return OZL_USB_SUCCESS; }

int UVCDevCtrl::SearchDev(std::vector<OZL_USB_DEV_INFO>& list)
{
    if (UVCInterface::SearchDev(list) != 0)
        return OZL_USB_FAILURE;
    m_devList = list;
    return OZL_USB_SUCCESS;
}

// The command port is opened before the stream so that the first frame's
// temperature level and formula queries, which run on the read thread as soon
// as that frame arrives, find it open.
int UVCDevCtrl::OpenDev(int index)
{
    m_firstFrame.store(false);
    if (index < 0 || static_cast<size_t>(index) >= m_devList.size())
        return OZL_USB_OPEN_FAILED;
    m_closing.store(false);

    int result = m_serial.OpenPort(m_devList[static_cast<size_t>(index)].serialPath);
    if (result != OZL_USB_SUCCESS)
        return result;
    result = m_uvc.OpenDev(index, this);
    if (result != OZL_USB_SUCCESS) {
        m_serial.ClosePort();
        return result;
    }

    for (int poll = 0; poll < kFirstFramePolls; ++poll) {
        std::this_thread::sleep_for(kFirstFramePoll);
        if (m_firstFrame.load())
            break;
    }
    if (!m_firstFrame.load()) {
        Shutdown();
        return OZL_USB_FAILURE;
    }
    m_isOpened = true;
    GetDevFunc();
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::CloseDev()
{
    if (m_isOpened) {
        Shutdown();
        m_isOpened = false;
    }
    m_firstFrame.store(false);
    return OZL_USB_SUCCESS;
}

void UVCDevCtrl::Shutdown()
{
    // Exchanges under way (the read thread's first-frame queries among them)
    // see the flag within one poll and end; none starts afterwards. Only then
    // may the port go, and the channel goes first so that the read thread
    // has ended before the port's descriptor is closed.
    m_closing.store(true);
    while (m_exchanges.load() != 0)
        std::this_thread::sleep_for(kDrainPoll);
    m_uvc.CloseDev();
    m_serial.ClosePort();
}

bool UVCDevCtrl::OnOwnReadThread() const { return t_receiving == this; }

// ---------------------------------------------------------------- the port

int UVCDevCtrl::ReadPort(char* buf, int len, int* count, int timeoutMs)
{
    if (buf == nullptr || count == nullptr)
        return OZL_USB_INVALID_PARAM;
    PortUse use(m_exchanges);
    if (m_closing.load() || !m_serial.IsOpen())
        return OZL_USB_FAILURE;

    char received[kReplySize] = {};
    long got = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::microseconds(static_cast<long long>(timeoutMs) * 1000);
    while (std::chrono::steady_clock::now() - start < limit && !m_closing.load()) {
        std::this_thread::sleep_for(kPortPoll);
        got = m_serial.ReadPort(received, sizeof received);
        if (got >= 1)
            break;
    }
    const int copy = len < 0 ? 0 : (len > kReplySize ? kReplySize : len);
    std::memcpy(buf, received, static_cast<size_t>(copy));
    *count = static_cast<int>(got);
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::WritePort(char* buf, int len)
{
    if (buf == nullptr || len < 0)
        return OZL_USB_INVALID_PARAM;
    PortUse use(m_exchanges);
    if (m_closing.load() || !m_serial.IsOpen())
        return OZL_USB_FAILURE;
    return m_serial.WritePort(buf, static_cast<unsigned long>(len)) >= 0 ? OZL_USB_SUCCESS : OZL_USB_FAILURE;
}

unsigned char UVCDevCtrl::VEL_AAL_CKSUM(unsigned char* buf, int len)
{
    unsigned char sum = 0;
    for (int i = 0; i < len; ++i)
        sum = static_cast<unsigned char>(sum + buf[i]);
    return sum;
}

void UVCDevCtrl::PauseBeforeReply() { std::this_thread::sleep_for(kReplyPause); }

int UVCDevCtrl::Exchange(const Command& cmd, const uint8_t* arg, int argLen, StatusCheck status, Reply& reply)
{
    unsigned char request[8 + kMaxArg];
    int n = 0;
    request[n++] = kHead;
    request[n++] = static_cast<unsigned char>(4 + argLen);
    request[n++] = cmd.group;
    request[n++] = cmd.code;
    request[n++] = cmd.op;
    for (int i = 0; i < argLen; ++i)
        request[n++] = arg[i];
    request[n] = VEL_AAL_CKSUM(request, n);
    ++n;
    request[n++] = kTail[0];
    request[n++] = kTail[1];

    if (WritePort(reinterpret_cast<char*>(request), n) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    PauseBeforeReply();

    std::memset(reply.bytes, 0, sizeof reply.bytes);
    int count = 0;
    if (ReadPort(reinterpret_cast<char*>(reply.bytes), kReplySize, &count, cmd.timeoutMs) != OZL_USB_SUCCESS ||
        count < 0)
        return OZL_USB_FAILURE;

    // Group 07 replies repeat the group before the echo, so everything after
    // the head sits one byte further on.
    const int echoAt = cmd.group == 0x07 ? 3 : 2;
    reply.dataAt = echoAt + 2;
    if (reply.bytes[0] != kReplyHead || reply.bytes[echoAt] != cmd.code)
        return OZL_USB_FAILURE;
    if (status == StatusCheck::Required && reply.bytes[echoAt + 1] != kStatusOk)
        return OZL_USB_FAILURE;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::Setting(const Command& cmd, const uint8_t* arg, int argLen)
{
    Reply reply;
    if (Exchange(cmd, arg, argLen, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    return reply.Data()[0] == kAck ? OZL_USB_SUCCESS : OZL_USB_FAILURE;
}

int UVCDevCtrl::SettingByte(const Command& cmd, int value)
{
    const uint8_t arg = static_cast<uint8_t>(value);
    return Setting(cmd, &arg, 1);
}

// ------------------------------------------------- lifecycle and capabilities

void UVCDevCtrl::CollectException()
{
    if (m_uvc.GetDevState() == 1)
        SendException(OZL_USB_EXCEPTION_DEV_STATE);
    else
        ResetException(OZL_USB_EXCEPTION_DEV_STATE);
}

int UVCDevCtrl::SetExceptionCallback(OZL_USB_EXCEPTION_CB cb, void* user)
{
    StoreExceptionCallback(cb, user);
    return OZL_USB_SUCCESS;
}

void UVCDevCtrl::GetDevFunc()
{
    Reply reply;
    if (Exchange(kCapabilities, nullptr, 0, StatusCheck::Ignored, reply) != OZL_USB_SUCCESS)
        return;
    for (const CapabilityBit& cap : kCapabilityBits)
        m_devFunc.*cap.flag = ((reply.bytes[cap.byte] >> cap.bit) & 1) != 0;
}

void UVCDevCtrl::GetTempFormula()
{
    const uint8_t level = static_cast<uint8_t>(m_tempLevel);
    Reply reply;
    if (Exchange(kFormula, &level, 1, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return;
    m_tempScale = LittleEndian16(reply.Data());
    m_tempOffset = static_cast<int16_t>(LittleEndian16(reply.Data() + 2));
}

// ----------------------------------------------------------------- frames

void UVCDevCtrl::HandleFirstFrame(unsigned long size)
{
    for (const FrameLayout& layout : kFrameLayouts) {
        if (layout.bytes != size)
            continue;
        const size_t pixels = static_cast<size_t>(layout.width) * static_cast<size_t>(layout.height);
        const bool withTemp = layout.mode == FRAME_MODE_IMAGE_TEMP;
        m_imageData.reset(new (std::nothrow) uint16_t[pixels]);
        if (withTemp)
            m_tempData.reset(new (std::nothrow) uint16_t[pixels]);
        // Without memory the stream stays unrecognised and the open fails.
        if (!m_imageData || (withTemp && !m_tempData)) {
            m_imageData.reset();
            m_tempData.reset();
            break;
        }
        m_frameMode = layout.mode;
        m_width = layout.width;
        m_height = layout.height;
        m_frameBytes = size;
        break;
    }
    GetTempLevel(&m_tempLevel);
    GetTempFormula();
    if (m_frameMode != FRAME_MODE_NONE)
        m_firstFrame.store(true);
}

void UVCDevCtrl::OnDataRecv(unsigned char* data, unsigned long size)
{
    ReceivingScope receiving(this);
    // A callback may drop the last reference to this camera (by shutting the
    // library down); the object then lives until this frame is done.
    const std::shared_ptr<UVCDevCtrl> keepAlive = weak_from_this().lock();

    if (m_frameMode == FRAME_MODE_NONE)
        HandleFirstFrame(size);
    if (m_frameMode == FRAME_MODE_NONE || data == nullptr || !m_imageData)
        return;
    // A frame of another size than the first cannot be laid out; it is
    // dropped rather than read beyond its end or misread.
    if (size != m_frameBytes)
        return;

    const bool withTemp = m_frameMode == FRAME_MODE_IMAGE_TEMP;
    if (!m_videoSlot.Armed() && !(withTemp && m_tempSlot.Armed()))
        return;

    if (withTemp) {
        if (m_conversion.Scale() != m_tempScale || m_conversion.Offset() != m_tempOffset)
            m_conversion.SetFormula(m_tempScale, m_tempOffset);
        m_conversion.SplitFrame(data, static_cast<size_t>(m_width), static_cast<size_t>(m_height), m_imageData.get(),
                                m_tempData.get());
    } else {
        std::memcpy(m_imageData.get(), data, static_cast<size_t>(m_width) * static_cast<size_t>(m_height) * 2);
    }

    OZL_USB_VIDEO_INFO_CB video{m_imageData.get(), m_width, m_height, withTemp ? 1 : 0};
    m_videoSlot.Invoke(Handle(), &video);
    if (!withTemp || m_closing.load())
        return;
    OZL_USB_TEMP_INFO_CB temp{reinterpret_cast<short*>(m_tempData.get()), m_width, m_height};
    m_tempSlot.Invoke(Handle(), &temp);
}

int UVCDevCtrl::StartPreview(OZL_USB_VIDEO_CB cb, void* user)
{
    m_videoSlot.Store(cb, user, !OnAnyReadThread());
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::StopPreview()
{
    m_videoSlot.Store(nullptr, nullptr, !OnAnyReadThread());
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::StartPullTemp(OZL_USB_TEMP_CB cb, void* user)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    m_tempSlot.Store(cb, user, !OnAnyReadThread());
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::StopPullTemp()
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    m_tempSlot.Store(nullptr, nullptr, !OnAnyReadThread());
    return OZL_USB_SUCCESS;
}

// --------------------------------------------------------------- settings
//
// Null outputs are refused before anything else: nothing is sent and nothing
// written. Gates on the stream's layout come next.

int UVCDevCtrl::CorrectShutter() { return SettingByte(kShutter, 0x01); }

int UVCDevCtrl::GetPalleteType(int* palette)
{
    if (palette == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kPaletteGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *palette = reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetPalleteType(int palette) { return SettingByte(kPaletteSet, palette); }

int UVCDevCtrl::GetTempLevel(int* level)
{
    if (level == nullptr)
        return OZL_USB_INVALID_PARAM;
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    Reply reply;
    if (Exchange(kTempLevelGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    const int code = reply.Data()[0];
    *level = code == kTempLevelTopCode ? kTempLevelTop : code;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetTempLevel(int level)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    return SettingByte(kTempLevelSet, level == kTempLevelTop ? kTempLevelTopCode : level);
}

namespace {

// Detector and camera temperatures travel in hundredths of a degree.
float HundredthsToDegrees(const uint8_t* data)
{
    return static_cast<float>(static_cast<int16_t>(LittleEndian16(data))) / 100.0f;
}

}  // namespace

int UVCDevCtrl::GetFPATemp(float* temperature)
{
    if (temperature == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kFpaTemp, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *temperature = HundredthsToDegrees(reply.Data());
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::GetCameraTemp(float* temperature)
{
    if (temperature == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kCameraTemp, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *temperature = HundredthsToDegrees(reply.Data());
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::GetFPASize(int* width, int* height)
{
    if (width == nullptr || height == nullptr)
        return OZL_USB_INVALID_PARAM;
    *width = m_width;
    *height = m_height;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::GetTempUnit(int* unit)
{
    if (unit == nullptr)
        return OZL_USB_INVALID_PARAM;
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    Reply reply;
    if (Exchange(kTempUnitGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *unit = reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetTempUnit(int unit)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    return SettingByte(kTempUnitSet, unit);
}

int UVCDevCtrl::GetImageLevel(int* level)
{
    if (level == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kImageLevelGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *level = reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetImageLevel(int level) { return SettingByte(kImageLevelSet, level); }

// ------------------------------------------------------------ environment

int UVCDevCtrl::GetEnvValue(uint8_t code, float* value)
{
    if (value == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(Command{kEnvGroup, code, 0x00, kShortTimeout}, nullptr, 0, StatusCheck::Required, reply) !=
        OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *value = static_cast<float>(LittleEndian32(reply.Data())) / kEnvScale;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetEnvValue(uint8_t code, int value)
{
    const uint32_t bits = static_cast<uint32_t>(value);
    const uint8_t arg[4] = {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)};
    return Setting(Command{kEnvGroup, code, 0x01, kShortTimeout}, arg, 4);
}

int UVCDevCtrl::GetAtmosTemp(float* value) { return GetEnvValue(kAtmosTemp, value); }
int UVCDevCtrl::SetAtmosTemp(int value) { return SetEnvValue(kAtmosTemp, value); }
int UVCDevCtrl::GetDistance(float* value) { return GetEnvValue(kDistance, value); }
int UVCDevCtrl::SetDistance(int value) { return SetEnvValue(kDistance, value); }
int UVCDevCtrl::GetEmissivity(float* value) { return GetEnvValue(kEmissivity, value); }
int UVCDevCtrl::SetEmissivity(int value) { return SetEnvValue(kEmissivity, value); }
int UVCDevCtrl::GetReflectedTemp(float* value) { return GetEnvValue(kReflectedTemp, value); }
int UVCDevCtrl::SetReflectedTemp(int value) { return SetEnvValue(kReflectedTemp, value); }
int UVCDevCtrl::GetTransmittance(float* value) { return GetEnvValue(kTransmittance, value); }
int UVCDevCtrl::SetTransmittance(int value) { return SetEnvValue(kTransmittance, value); }

namespace {

// The record's fields in wire order, with their single-parameter operations.
struct EnvField {
    float OZL_USB_ENV_PARAM::*field;
    int (UVCDevCtrl::*get)(float*);
    int (UVCDevCtrl::*set)(int);
};
constexpr EnvField kEnvFields[] = {
    {&OZL_USB_ENV_PARAM::atmosTemp, &UVCDevCtrl::GetAtmosTemp, &UVCDevCtrl::SetAtmosTemp},
    {&OZL_USB_ENV_PARAM::distance, &UVCDevCtrl::GetDistance, &UVCDevCtrl::SetDistance},
    {&OZL_USB_ENV_PARAM::emissivity, &UVCDevCtrl::GetEmissivity, &UVCDevCtrl::SetEmissivity},
    {&OZL_USB_ENV_PARAM::reflectedTemp, &UVCDevCtrl::GetReflectedTemp, &UVCDevCtrl::SetReflectedTemp},
    {&OZL_USB_ENV_PARAM::transmittance, &UVCDevCtrl::GetTransmittance, &UVCDevCtrl::SetTransmittance},
};

}  // namespace

int UVCDevCtrl::GetEnvParam(OZL_USB_ENV_PARAM* param)
{
    if (param == nullptr)
        return OZL_USB_INVALID_PARAM;
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    for (const EnvField& f : kEnvFields) {
        if ((this->*f.get)(&(param->*f.field)) != OZL_USB_SUCCESS)
            return OZL_USB_FAILURE;
    }
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetEnvParam(const OZL_USB_ENV_PARAM* param)
{
    if (param == nullptr)
        return OZL_USB_INVALID_PARAM;
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    for (const EnvField& f : kEnvFields) {
        if ((this->*f.set)(ScaleForWire(param->*f.field)) != OZL_USB_SUCCESS)
            return OZL_USB_FAILURE;
    }
    return OZL_USB_SUCCESS;
}

// ----------------------------------------------------------- image tuning

int UVCDevCtrl::GetImageParam(int type, int* value)
{
    if (value == nullptr)
        return OZL_USB_INVALID_PARAM;
    if (type < 0 || type >= kTuningCount)
        return OZL_USB_FAILURE;
    const TuningParam& p = kTuning[type];
    if (m_devFunc.*p.primaryFlag)
        return (this->*p.get)(0, value);
    if (m_devFunc.*p.alternateFlag)
        return (this->*p.get)(1, value);
    return OZL_USB_NOT_SUPPORTED;
}

int UVCDevCtrl::SetImageParam(int type, int value)
{
    if (type < 0 || type >= kTuningCount)
        return OZL_USB_FAILURE;
    const TuningParam& p = kTuning[type];
    if (m_devFunc.*p.primaryFlag)
        return (this->*p.set)(0, value);
    if (m_devFunc.*p.alternateFlag)
        return (this->*p.set)(1, value);
    return OZL_USB_NOT_SUPPORTED;
}

int UVCDevCtrl::GetTuning(int type, int variant, int* value)
{
    if (value == nullptr)
        return OZL_USB_INVALID_PARAM;
    const TuningParam& p = kTuning[type];
    const uint8_t code = variant == 0 ? p.primary : p.alternate;
    if (code == kNoCode)
        return OZL_USB_NOT_SUPPORTED;
    Reply reply;
    if (Exchange(Command{kTuningGroup, code, 0x00, kShortTimeout}, nullptr, 0, StatusCheck::Required, reply) !=
        OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *value = p.width == 2 ? LittleEndian16(reply.Data()) : reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetTuning(int type, int variant, int value)
{
    const TuningParam& p = kTuning[type];
    const uint8_t code = variant == 0 ? p.primary : p.alternate;
    if (code == kNoCode)
        return OZL_USB_NOT_SUPPORTED;
    const uint8_t arg[2] = {uint8_t(value), uint8_t(value >> 8)};
    return Setting(Command{kTuningGroup, code, p.setOp, kShortTimeout}, arg, p.width);
}

int UVCDevCtrl::GetDetail(int variant, int* value) { return GetTuning(kDetail, variant, value); }
int UVCDevCtrl::SetDetail(int variant, int value) { return SetTuning(kDetail, variant, value); }
int UVCDevCtrl::GetSpatialDenoising(int variant, int* value) { return GetTuning(kSpatialDenoising, variant, value); }
int UVCDevCtrl::SetSpatialDenoising(int variant, int value) { return SetTuning(kSpatialDenoising, variant, value); }
int UVCDevCtrl::GetContrast(int variant, int* value) { return GetTuning(kContrast, variant, value); }
int UVCDevCtrl::SetContrast(int variant, int value) { return SetTuning(kContrast, variant, value); }
int UVCDevCtrl::GetBrightness(int variant, int* value) { return GetTuning(kBrightness, variant, value); }
int UVCDevCtrl::SetBrightness(int variant, int value) { return SetTuning(kBrightness, variant, value); }
int UVCDevCtrl::GetTimeDenoising(int variant, int* value) { return GetTuning(kTimeDenoising, variant, value); }
int UVCDevCtrl::SetTimeDenoising(int variant, int value) { return SetTuning(kTimeDenoising, variant, value); }
int UVCDevCtrl::GetDynamicRange(int variant, int* value) { return GetTuning(kDynamicRange, variant, value); }
int UVCDevCtrl::SetDynamicRange(int variant, int value) { return SetTuning(kDynamicRange, variant, value); }

// UVCDevCtrl - the camera's lifecycle: search, open and close (one owner per
// camera, one teardown whichever thread gets there first), the exception
// condition, and the capability and formula queries of an open.
#include "UVCDevCtrl.h"
#include "UVCWire.h"

#include "Common/v4l2core.h"
#include "Logger.h"

#include <chrono>
#include <thread>

std::vector<OZL_USB_DEV_INFO> UVCDevCtrl::m_devList;

namespace {

using namespace uvcwire;
using Flags = UVCDevCtrl::DevFuncUsability;

// Capability report: which reply bit says which command code is accepted.
struct CapabilityBit {
    bool Flags::*flag;
    int byte;
    int bit;
};
constexpr CapabilityBit kCapabilityBits[] = {
    {&Flags::detail, 7, 1},         {&Flags::spatialDenoising, 7, 2},     {&Flags::contrast, 7, 3},
    {&Flags::brightness, 7, 4},     {&Flags::timeDenoising, 7, 5},        {&Flags::dynamicRange, 7, 6},
    {&Flags::detailAlt, 15, 3},     {&Flags::spatialDenoisingAlt, 15, 4}, {&Flags::contrastAlt, 15, 2},
    {&Flags::brightnessAlt, 15, 1}, {&Flags::timeDenoisingAlt, 15, 5},
};

constexpr int kFirstFramePolls = 50;
constexpr auto kFirstFramePoll = std::chrono::milliseconds(100);
constexpr auto kDrainPoll = std::chrono::milliseconds(1);

}  // namespace

UVCDevCtrl::UVCDevCtrl() = default;

UVCDevCtrl::~UVCDevCtrl()
{
    Shutdown();
}

int UVCDevCtrl::Init()
{
    return BaseDevCtrl::Init();
}

void UVCDevCtrl::Deinit()
{
    Shutdown();
    // No further callback of the frame being handled, if any.
    m_closing.store(true);
    // The planes go only when no frame handler can be running on them. A
    // close made on the read thread itself (a frame callback that closes or
    // shuts down) leaves its frame handler still running, and a close still
    // under way on another thread will end it later; the destructor
    // releases them then.
    if (OnOwnReadThread())
        return;
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    if (m_life != Life::Closed || !m_readThreadJoined)
        return;
    m_imageData.reset();
    m_tempData.reset();
}

int UVCDevCtrl::Probe()
{
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SearchDev(std::vector<OZL_USB_DEV_INFO>& list)
{
    if (UVCInterface::SearchDev(list) != 0)
        return OZL_USB_FAILURE;
    m_devList = list;
    return OZL_USB_SUCCESS;
}

// The camera is claimed before anything of it is touched, so a second open of
// a camera in use fails at once and leaves the owner alone. The command port
// is opened before the stream so that the first frame's temperature level and
// formula queries, which run on the read thread as soon as that frame
// arrives, find it open.
int UVCDevCtrl::OpenDev(int index)
{
    {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        if (m_life != Life::Closed)
            return OZL_USB_FAILURE;
        m_life = Life::Opening;
    }
    const int result = Open(index);
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    m_life = result == OZL_USB_SUCCESS ? Life::Open : Life::Closed;
    m_lifeCv.notify_all();
    return result;
}

int UVCDevCtrl::Open(int index)
{
    m_firstFrame.store(false);
    if (index < 0 || static_cast<size_t>(index) >= m_devList.size()) {
        // Not in the last search: fail as the video channel does for an index
        // it never stored, with the capture core's line for an empty path.
        v4l2core_dev* vd = v4l2core_dev_open("");
        if (vd != nullptr)
            v4l2core_dev_clean(vd);
        return OZL_USB_OPEN_FAILED;
    }
    const OZL_USB_DEV_INFO& info = m_devList[static_cast<size_t>(index)];
    if (!m_claim.Acquire({info.videoPath, info.serialPath})) {
        Logger::Print(Logger::Warning, __FILE__, __LINE__, "OpenDev",
                      "Camera %d (%s) is already open: one handle per camera", index, info.videoPath);
        return OZL_USB_OPEN_FAILED;
    }
    m_closing.store(false);
    OpenExceptions();

    int result = m_serial.OpenPort(info.serialPath);
    if (result != OZL_USB_SUCCESS) {
        m_claim.Release();
        return result;
    }
    result = m_uvc.OpenDev(index, this);
    if (result != OZL_USB_SUCCESS) {
        m_serial.ClosePort();
        m_claim.Release();
        return result;
    }

    for (int poll = 0; poll < kFirstFramePolls; ++poll) {
        std::this_thread::sleep_for(kFirstFramePoll);
        if (m_firstFrame.load())
            break;
    }
    if (!m_firstFrame.load()) {
        TearDown();
        return OZL_USB_FAILURE;
    }
    GetDevFunc();
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::CloseDev()
{
    Shutdown();
    m_firstFrame.store(false);
    return OZL_USB_SUCCESS;
}

void UVCDevCtrl::Shutdown()
{
    std::unique_lock<std::mutex> lock(m_lifeMutex);
    // A thread that the work may join (or wait for) returns at once when it
    // finds an open or a close under way; any other thread waits for it.
    if (m_life == Life::Opening || m_life == Life::Closing) {
        if (OnLibraryThread())
            return;
        m_lifeCv.wait(lock, [&] { return m_life == Life::Open || m_life == Life::Closed; });
    }
    if (m_life == Life::Closed)
        return;
    // This thread does the work; no lock is held meanwhile.
    m_life = Life::Closing;
    lock.unlock();
    const bool joined = TearDown();
    lock.lock();
    m_readThreadJoined = joined;
    m_life = Life::Closed;
    m_lifeCv.notify_all();
}

bool UVCDevCtrl::TearDown()
{
    // No exception callback runs once the close has returned.
    CloseExceptions();
    // Exchanges under way (the read thread's first-frame queries among them)
    // see the flag within one poll and end; none starts afterwards. Only then
    // may the port go, and the channel goes first so that the read thread
    // has ended before the port's descriptor is closed.
    m_closing.store(true);
    while (m_exchanges.load() != 0)
        std::this_thread::sleep_for(kDrainPoll);
    // On the read thread the channel cannot join it: it hands the record's
    // teardown to that thread, which is still inside this frame's handler.
    const bool joined = !OnOwnReadThread();
    m_uvc.CloseDev();
    m_serial.ClosePort();
    m_claim.Release();
    m_firstFrame.store(false);
    return joined;
}

bool UVCDevCtrl::OnOwnReadThread() const
{
    return DeliveringDevice() == this;
}

void UVCDevCtrl::CollectException()
{
    if (m_uvc.GetDevState() == 1)
        SendException(OZL_USB_EXCEPTION_DEV_STATE);
    else
        ResetException(OZL_USB_EXCEPTION_DEV_STATE);
}

int UVCDevCtrl::SetExceptionCallback(OZL_USB_EXCEPTION_CB cb, void* user)
{
    // Refused while the camera closes (or before it opened): the callback
    // would never be called, or called after the close returned.
    return StoreExceptionCallback(cb, user) ? OZL_USB_SUCCESS : OZL_USB_INVALID_PARAM;
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

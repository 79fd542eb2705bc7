// UVCDevCtrl's frame decoder: the frame layouts, the first frame's handling,
// the split of each frame into the image and temperature planes with the
// temperature conversion, and the callback slots they are delivered to.
#include "UVCDevCtrl.h"
#include "UVCWire.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

using namespace uvcwire;

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

// True on any camera's read thread while it handles a frame: such a thread
// must never wait for a callback (it may be the one running it).
bool OnAnyReadThread()
{
    return BaseDevCtrl::DeliveringDevice() != nullptr;
}

}  // namespace

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
    DeliveryScope delivering(this);
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

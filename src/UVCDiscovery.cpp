// UVCInterface's discovery: the cameras' capture and command nodes from udev,
// paired by USB location with libuvc's device list.
#include "UVCInterface.h"

#include "Common/v4l2core.h"

#include <fcntl.h>
#include <libudev.h>
#include <libuvc/libuvc.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

std::map<int, std::string> UVCInterface::m_videoMap;

namespace {

struct UdevDeleter {
    void operator()(udev* p) const { udev_unref(p); }
};
struct EnumerateDeleter {
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
};
struct DeviceDeleter {
    void operator()(udev_device* p) const { udev_device_unref(p); }
};
struct DescriptorDeleter {
    void operator()(uvc_device_descriptor_t* p) const { uvc_free_device_descriptor(p); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, EnumerateDeleter>;
using DevicePtr = std::unique_ptr<udev_device, DeviceDeleter>;
using DescriptorPtr = std::unique_ptr<uvc_device_descriptor_t, DescriptorDeleter>;

// A libuvc context and its device list, released in reverse order.
class UvcDeviceList {
public:
    UvcDeviceList()
    {
        if (uvc_init(&m_ctx, nullptr) != UVC_SUCCESS) {
            m_ctx = nullptr;
            return;
        }
        if (uvc_get_device_list(m_ctx, &m_list) != UVC_SUCCESS)
            m_list = nullptr;
    }
    ~UvcDeviceList()
    {
        if (m_list != nullptr)
            uvc_free_device_list(m_list, 1);
        if (m_ctx != nullptr)
            uvc_exit(m_ctx);
    }
    UvcDeviceList(const UvcDeviceList&) = delete;
    UvcDeviceList& operator=(const UvcDeviceList&) = delete;

    uvc_device_t** devices() const { return m_list; }  // null-terminated, or null

private:
    uvc_context_t* m_ctx = nullptr;
    uvc_device_t** m_list = nullptr;
};

// Bus number and device address of a USB device, as discovery pairs nodes by.
std::string LocationKey(const std::string& busnum, const std::string& devnum)
{
    return busnum + "-" + devnum;
}

// Calls visit(devnode, key) for every node of `subsystem` that sits on a USB
// device whose bus number, device address and node path are all known.
template <typename Visit>
void ForEachUsbNode(udev* ctx, const char* subsystem, Visit visit)
{
    EnumeratePtr enumerate(udev_enumerate_new(ctx));
    if (!enumerate)
        return;
    udev_enumerate_add_match_subsystem(enumerate.get(), subsystem);
    udev_enumerate_scan_devices(enumerate.get());
    udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate.get());
    for (; entry != nullptr; entry = udev_list_entry_get_next(entry)) {
        DevicePtr dev(udev_device_new_from_syspath(ctx, udev_list_entry_get_name(entry)));
        if (!dev)
            continue;
        // The parent belongs to the device and goes with it.
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device");
        if (usb == nullptr)
            continue;
        const char* busnum = udev_device_get_sysattr_value(usb, "busnum");
        const char* devnum = udev_device_get_sysattr_value(usb, "devnum");
        const char* node = udev_device_get_devnode(dev.get());
        if (busnum == nullptr || devnum == nullptr || node == nullptr)
            continue;
        visit(node, LocationKey(busnum, devnum));
    }
}

// Copies `text` into a record field, cut to 255 characters; the field was
// zeroed, so it stays terminated and NUL-padded.
void CopyField(char (&field)[256], const char* text)
{
    strncpy(field, text, sizeof field - 1);
    field[sizeof field - 1] = '\0';
}

}  // namespace

bool is_video_capture_node(const char* path)
{
    const int fd = open(path, O_RDWR);
    if (fd == -1)
        return false;
    struct v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    // device_caps, not capabilities: the latter is the whole device's, and a
    // UVC camera's metadata node would pass on it.
    const bool capture = xioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && (cap.device_caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
    close(fd);
    return capture;
}

int UVCInterface::SearchDev(std::vector<OZL_USB_DEV_INFO>& devs)
{
    devs.clear();
    UdevPtr ctx(udev_new());
    if (!ctx)
        return 1;

    // A later capture node of the same device replaces an earlier one.
    std::map<std::string, std::string> videoNodes;
    ForEachUsbNode(ctx.get(), "video4linux", [&](const char* node, const std::string& key) {
        if (is_video_capture_node(node))
            videoNodes[key] = node;
    });
    // In enumeration order; the first tty of a device is the one paired.
    std::vector<std::pair<std::string, std::string>> serialNodes;
    ForEachUsbNode(ctx.get(), "tty",
                   [&](const char* node, const std::string& key) { serialNodes.emplace_back(node, key); });

    UvcDeviceList uvc;
    if (uvc.devices() == nullptr)
        return 0;
    int index = 0;
    for (uvc_device_t** it = uvc.devices(); *it != nullptr; ++it) {
        OZL_USB_DEV_INFO info;
        memset(&info, 0, sizeof info);
        info.index = index++;

        uvc_device_descriptor_t* rawDesc = nullptr;
        if (uvc_get_device_descriptor(*it, &rawDesc) != UVC_SUCCESS)
            rawDesc = nullptr;
        DescriptorPtr desc(rawDesc);
        CopyField(info.name, desc && desc->product != nullptr ? desc->product : "Unknown");

        const std::string key = LocationKey(std::to_string(uvc_get_bus_number(*it)),
                                            std::to_string(uvc_get_device_address(*it)));
        for (const auto& serial : serialNodes) {
            if (serial.second == key) {
                CopyField(info.serialPath, serial.first.c_str());
                break;
            }
        }
        const auto video = videoNodes.find(key);
        if (video != videoNodes.end())
            CopyField(info.videoPath, video->second.c_str());

        devs.push_back(info);
        m_videoMap[info.index] = info.videoPath;
    }
    return 0;
}

// Arbitrary devices to the search, as the virtual camera reports them through
// udev and libuvc: product strings of any bytes and length, missing names,
// nodes and parents, any bus numbers and addresses. Every record must come
// out zero-filled, terminated and cut to its field, indexed in order.
#include "UVCInterface.h"

#include "ScriptedCamera.h"  // FuzzInput

#include <vcam/VirtualCamera.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// A string field of a record: terminated within the field, zeros after it.
size_t CheckField(const char (&field)[256])
{
    const void* end = std::memchr(field, '\0', sizeof field);
    Check(end != nullptr);
    const size_t length = static_cast<const char*>(end) - field;
    for (size_t i = length; i < sizeof field; ++i)
        Check(field[i] == '\0');
    return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const int cameras = 1 + in.Byte() % 3;
    int listed = 0;
    for (int c = 0; c < cameras; ++c) {
        vcam::CameraSetup setup;
        const uint8_t flags = in.Byte();
        setup.hasName = (flags & 1) == 0;
        setup.metadataNode = (flags & 2) != 0;
        setup.usbParent = (flags & 4) == 0;
        setup.uvcListed = (flags & 8) == 0;
        setup.captureNodes = (flags >> 4) % 3;
        setup.ttyNodes = (flags >> 6) % 3;
        setup.busnum = in.Byte();
        setup.devnum = in.Byte();
        uint8_t name[512];
        const size_t n = in.Take(name, in.Byte() + (in.Byte() & 1 ? 200 : 0));
        setup.name.assign(reinterpret_cast<const char*>(name), n);
        vcam::AddCamera(setup);
        listed += setup.uvcListed ? 1 : 0;
    }

    std::vector<OZL_USB_DEV_INFO> devs;
    Check(UVCInterface::SearchDev(devs) == 0);
    Check(static_cast<int>(devs.size()) == listed);
    for (size_t i = 0; i < devs.size(); ++i) {
        Check(devs[i].index == static_cast<int>(i));
        Check(CheckField(devs[i].name) <= 255);
        const size_t video = CheckField(devs[i].videoPath);
        Check(video == 0 || std::strncmp(devs[i].videoPath, "/dev/", 5) == 0);
        const size_t serial = CheckField(devs[i].serialPath);
        Check(serial == 0 || std::strncmp(devs[i].serialPath, "/dev/", 5) == 0);
        Check(UVCInterface::m_videoMap[static_cast<int>(i)] == devs[i].videoPath);
    }
    vcam::RemoveAll();
    return 0;
}

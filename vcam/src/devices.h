// Devices - the virtual devices as the kernel's device model lists them: one
// record per device, shared by the libudev stand-in (UdevShim.cpp) and the
// emulated sysfs and /dev entries (DeviceFiles.cpp), so that both tell the
// same story.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vcam {
namespace detail {

struct Record {
    std::string syspath;
    std::string sysname;
    std::string subsystem;
    std::string devtype;
    std::string devnode;     // udev's device node (DEVNAME property)
    std::string kernelName;  // the kernel's name below /dev (uevent DEVNAME), "" for none
    std::string parent;      // syspath of the parent device, "" for none
    std::vector<std::pair<std::string, std::string>> sysattrs;
    std::vector<std::pair<std::string, std::string>> properties;
};

// With Lock() held: every virtual device that is plugged in, in a stable
// order (per camera: its USB device, its video nodes, its ttys).
std::vector<Record> Snapshot();

// The character-device major number of V4L2 nodes.
constexpr unsigned kVideoMajor = 81;

}  // namespace detail
}  // namespace vcam

// usb_port.h - which physical USB port a camera is plugged into.
//
// Unplugged and plugged back into the same port, a camera gets a new device
// address and new device nodes, but the kernel names its USB device after the
// port: bus number, then the chain of hub ports ("1-1.2"). That name is the
// camera's identity across a replug.
#pragma once

#include <map>
#include <string>

namespace vivaclient {

// The USB port of every capture node udev knows, by device node path. A node
// without a USB parent is left out.
std::map<std::string, std::string> UsbPortsOfCaptureNodes();

}  // namespace vivaclient

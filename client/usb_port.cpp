#include <vivaclient/usb_port.h>

#include <libudev.h>

namespace vivaclient {

std::map<std::string, std::string> UsbPortsOfCaptureNodes()
{
    std::map<std::string, std::string> ports;
    udev* context = udev_new();
    if (!context)
        return ports;
    udev_enumerate* list = udev_enumerate_new(context);
    if (list && udev_enumerate_add_match_subsystem(list, "video4linux") >= 0 &&
        udev_enumerate_scan_devices(list) >= 0) {
        for (udev_list_entry* e = udev_enumerate_get_list_entry(list); e; e = udev_list_entry_get_next(e)) {
            udev_device* node = udev_device_new_from_syspath(context, udev_list_entry_get_name(e));
            if (!node)
                continue;
            const char* path = udev_device_get_devnode(node);
            // The parent belongs to `node` and goes with it.
            udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device");
            const char* port = usb ? udev_device_get_sysname(usb) : nullptr;
            if (path && port)
                ports[path] = port;
            udev_device_unref(node);
        }
    }
    if (list)
        udev_enumerate_unref(list);
    udev_unref(context);
    return ports;
}

}  // namespace vivaclient

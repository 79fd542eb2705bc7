/* vcam-list-devices - what discovery sees: udev's video4linux and tty nodes
 * with the bus number and device address of their USB parent, and libuvc's
 * device list. Run it under vivazuzoz-vcam to see the virtual cameras:
 *
 *   vivazuzoz-vcam --cameras 2 -- vcam-list-devices
 */
#include <libudev.h>
#include <libuvc/libuvc.h>
#include <stdio.h>

static void list_subsystem(struct udev* udev, const char* subsystem)
{
    struct udev_enumerate* e = udev_enumerate_new(udev);
    udev_enumerate_add_match_subsystem(e, subsystem);
    udev_enumerate_scan_devices(e);
    for (struct udev_list_entry* l = udev_enumerate_get_list_entry(e); l; l = udev_list_entry_get_next(l)) {
        struct udev_device* dev = udev_device_new_from_syspath(udev, udev_list_entry_get_name(l));
        if (!dev)
            continue;
        struct udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
        const char* node = udev_device_get_devnode(dev);
        if (usb)
            printf("%-12s %-32s busnum %s devnum %s\n", subsystem, node ? node : "-",
                   udev_device_get_sysattr_value(usb, "busnum"), udev_device_get_sysattr_value(usb, "devnum"));
        else
            printf("%-12s %-32s (no USB parent)\n", subsystem, node ? node : "-");
        udev_device_unref(dev);
    }
    udev_enumerate_unref(e);
}

int main(void)
{
    struct udev* udev = udev_new();
    if (!udev) {
        fprintf(stderr, "udev_new failed\n");
        return 1;
    }
    printf("udev:\n");
    list_subsystem(udev, "video4linux");
    list_subsystem(udev, "tty");
    udev_unref(udev);

    printf("libuvc:\n");
    uvc_context_t* ctx = NULL;
    uvc_error_t err = uvc_init(&ctx, NULL);
    if (err != UVC_SUCCESS) {
        printf("  uvc_init: %s\n", uvc_strerror(err));
        return 0;
    }
    uvc_device_t** list = NULL;
    err = uvc_get_device_list(ctx, &list);
    if (err != UVC_SUCCESS) {
        printf("  uvc_get_device_list: %s\n", uvc_strerror(err));
    } else {
        for (int i = 0; list[i]; ++i) {
            uvc_device_descriptor_t* desc = NULL;
            const char* name = "Unknown";
            if (uvc_get_device_descriptor(list[i], &desc) == UVC_SUCCESS && desc->product)
                name = desc->product;
            printf("  %d: bus %u address %u  %s\n", i, uvc_get_bus_number(list[i]), uvc_get_device_address(list[i]),
                   name);
            if (desc)
                uvc_free_device_descriptor(desc);
        }
        uvc_free_device_list(list, 1);
    }
    uvc_exit(ctx);
    return 0;
}

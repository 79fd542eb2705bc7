// device_provider.cpp - the cameras for gst-device-monitor-1.0 and for
// applications that list video sources.
#include "driver_rate.h"
#include "elements.h"
#include "library_use.h"

#include <vivaclient/camera.h>

#include <memory>
#include <string>
#include <vector>

struct VivazuzozDevice {
    GstDevice parent;
    gint index;
};

struct VivazuzozDeviceClass {
    GstDeviceClass parent_class;
};

G_DEFINE_TYPE(VivazuzozDevice, vivazuzoz_device, GST_TYPE_DEVICE)

static GstElement* CreateElement(GstDevice* device, const gchar* name)
{
    GstElement* element = gst_element_factory_make("vivazuzozsrc", name);
    if (element)
        g_object_set(element, "device", reinterpret_cast<VivazuzozDevice*>(device)->index, nullptr);
    return element;
}

static void vivazuzoz_device_init(VivazuzozDevice* self)
{
    self->index = -1;
}

static void vivazuzoz_device_class_init(VivazuzozDeviceClass* klass)
{
    GST_DEVICE_CLASS(klass)->create_element = CreateElement;
}

struct VivazuzozDeviceProvider {
    GstDeviceProvider parent;
};

struct VivazuzozDeviceProviderClass {
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(VivazuzozDeviceProvider, vivazuzoz_device_provider, GST_TYPE_DEVICE_PROVIDER)

// The caps the source fixes once it streams this camera: the size of its
// frames asked of the camera (which opens it for a moment) and the rate its
// capture node states. What cannot be learnt is left open, as in the
// source's template: a camera that another program streams cannot be
// opened, so its caps say no size.
static GstCaps* CameraCaps(const vivaclient::CameraInfo& camera)
{
    GstCaps* caps = gst_caps_from_string("video/x-raw, format=(string)GRAY16_LE");
    vivaclient::CameraChoice choice;
    choice.identity = camera.identity();
    vivaclient::OpenFailure failure;
    int width = 0, height = 0;
    if (std::unique_ptr<vivaclient::Camera> open = vivaclient::Camera::Open(choice, failure)) {
        if (open->Command([&](unsigned long handle) { return OZL_USB_GetFPASize(handle, &width, &height); }) ==
                OZL_USB_SUCCESS &&
            width > 0 && height > 0)
            gst_caps_set_simple(caps, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height, nullptr);
    } else {
        GST_INFO("camera %d: no size in its caps: %s", camera.index, failure.message.c_str());
    }
    int num = 0, den = 1;
    if (vivagst::DriverRate(camera.videoPath, num, den))
        gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, num, den, nullptr);
    return caps;
}

// One device per camera that can be opened (a capture node and a command
// port), with the caps its source will have.
static GList* Probe(GstDeviceProvider*)
{
    vivagst::LibraryUse library;
    std::vector<vivaclient::CameraInfo> cameras;
    if (!vivaclient::SearchCameras(cameras).ok())
        return nullptr;
    GList* devices = nullptr;
    for (const vivaclient::CameraInfo& camera : cameras) {
        if (!camera.complete())
            continue;
        GstCaps* caps = CameraCaps(camera);
        GstStructure* props = gst_structure_new("vivazuzoz-proplist", "device.api", G_TYPE_STRING, "vivazuzoz",
                                                "device.index", G_TYPE_INT, camera.index, "device.path", G_TYPE_STRING,
                                                camera.videoPath.c_str(), "device.serial-port", G_TYPE_STRING,
                                                camera.serialPath.c_str(), "device.usb-port", G_TYPE_STRING,
                                                camera.usbPort.c_str(), nullptr);
        const std::string name = camera.name + " (thermal camera " + std::to_string(camera.index) + ")";
        auto* device = static_cast<VivazuzozDevice*>(g_object_new(vivazuzoz_device_get_type(), "display-name",
                                                                  name.c_str(), "caps", caps, "device-class",
                                                                  "Video/Source", "properties", props, nullptr));
        device->index = camera.index;
        gst_caps_unref(caps);
        gst_structure_free(props);
        devices = g_list_append(devices, gst_object_ref_sink(device));
    }
    return devices;
}

static void vivazuzoz_device_provider_init(VivazuzozDeviceProvider*) {}

static void vivazuzoz_device_provider_class_init(VivazuzozDeviceProviderClass* klass)
{
    GST_DEVICE_PROVIDER_CLASS(klass)->probe = Probe;
    gst_device_provider_class_set_static_metadata(GST_DEVICE_PROVIDER_CLASS(klass), "USB thermal cameras",
                                                  "Video/Source", "Lists the USB thermal cameras attached",
                                                  "libVIVAZUZOZ maintainers");
}

gboolean vivazuzoz_register_elements(GstPlugin* plugin)
{
    vivazuzoz_meta_get_info();
    return gst_element_register(plugin, "vivazuzozsrc", GST_RANK_NONE, vivazuzoz_src_get_type()) &&
           gst_element_register(plugin, "thermalcolorize", GST_RANK_NONE, thermal_colorize_get_type()) &&
           gst_device_provider_register(plugin, "vivazuzozdeviceprovider", GST_RANK_PRIMARY,
                                        vivazuzoz_device_provider_get_type());
}

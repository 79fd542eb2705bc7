// device_provider.cpp - the cameras for gst-device-monitor-1.0 and for
// applications that list video sources.
#include "elements.h"
#include "library_use.h"

#include <vivaclient/camera.h>

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

// One device per camera that can be opened (a capture node and a command
// port); the caps are the source's, the size is known once it is opened.
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
        GstCaps* caps = gst_caps_from_string("video/x-raw, format=(string)GRAY16_LE");
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

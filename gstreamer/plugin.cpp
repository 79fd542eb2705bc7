// plugin.cpp - the entry point of libgstvivazuzoz.so.
#include "elements.h"

static gboolean PluginInit(GstPlugin* plugin)
{
    return vivazuzoz_register_elements(plugin);
}

// The project has published no license yet (see packaging/copyright).
#define PACKAGE "libvivazuzoz"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vivazuzoz,
                  "USB thermal cameras: a live source, false colours and a device provider", PluginInit,
                  VIVAZUZOZ_GST_VERSION, "unknown", "libVIVAZUZOZ", "libVIVAZUZOZ")

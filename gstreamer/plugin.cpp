// plugin.cpp - the entry point of libgstvivazuzoz.so.
#include "elements.h"

static gboolean PluginInit(GstPlugin* plugin)
{
    return vivazuzoz_register_elements(plugin);
}

// The project has published no license: its sources and packages are not
// to be redistributed without asking (packaging/copyright), which is
// GStreamer's "Proprietary". The origin: the package's copyright file, which
// names the project and its maintainers.
#define PACKAGE "libvivazuzoz"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vivazuzoz,
                  "USB thermal cameras: a live source, false colours and a device provider", PluginInit,
                  VIVAZUZOZ_GST_VERSION, "Proprietary", "libVIVAZUZOZ",
                  "file:///usr/share/doc/gstreamer1.0-vivazuzoz/copyright")

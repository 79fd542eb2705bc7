// monitor_options.h - what the command line asks of `vivazuzoz monitor`.
#pragma once

#include "mqtt_url.h"
#include "watches.h"

#include <optional>
#include <string>

namespace vivatool::monitor {

struct MonitorOptions {
    int device = 0;
    WatchSetup watch;
    double interval = 1.0;    // seconds between state messages
    double secondsLimit = 0;  // 0: until interrupted
    bool reconnect = false;
    std::optional<MqttUrl> mqtt;
    std::string caFile;       // --mqtt-ca, from the user's folder (absolute)
    std::string caFileTyped;  // as typed, for messages
    bool haDiscovery = false;
    std::string haPrefix = "homeassistant";
    std::string cameraId;  // "" until the camera is open: then from its USB port
    bool metrics = false;
    std::string metricsAddress;
    uint16_t metricsPort = 0;
};

// Reads the command line. Returns kExitOk or the status of the usage error
// it reported.
int ParseMonitorOptions(Context& ctx, const ParsedArgs& args, MonitorOptions& o);

// A camera id for topics and metrics made of what stays the same across a
// replug: "usb-" and the USB port ("usb-1-1_2"), else the capture node's name.
std::string DefaultCameraId(const vivaclient::CameraInfo& info);

}  // namespace vivatool::monitor

#include "monitor_options.h"

#include "metrics_server.h"
#include "../listen_address.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vivaclient/camera.h>
#include <vivaclient/number_text.h>
#include <vivaclient/state_dir.h>

namespace vivatool::monitor {
using namespace vivaclient;

namespace {

constexpr const char* kCommand = "monitor";

bool IsIdText(const std::string& text)
{
    if (text.empty() || text.size() > 64)
        return false;
    for (const char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            return false;
    return true;
}

int ParseSeconds(Context& ctx, const ParsedArgs& args, const char* name, double min, double max, double& value)
{
    if (!args.has(name))
        return kExitOk;
    const auto seconds = ParseDecimal(args.value(name));
    if (!seconds || *seconds < min || *seconds > max)
        return UsageError(ctx, kCommand, "--" + std::string(name) + " takes seconds from " + FormatDecimal(min, 1) +
                                             " to " + FormatDecimal(max, 1) + ", not '" + args.value(name) + "'");
    value = *seconds;
    return kExitOk;
}

int ParseMqtt(Context& ctx, const ParsedArgs& args, MonitorOptions& o)
{
    if (args.has("mqtt")) {
        o.mqtt.emplace();
        if (const std::string error = ParseMqttUrl(args.value("mqtt"), *o.mqtt); !error.empty())
            return UsageError(ctx, kCommand, error);
        // A password kept out of the command line (and so out of `ps`).
        if (!o.mqtt->user.empty() && !o.mqtt->hasPassword)
            if (const char* password = std::getenv("VIVAZUZOZ_MQTT_PASSWORD")) {
                o.mqtt->password = password;
                o.mqtt->hasPassword = true;
            }
    }
    for (const char* name : {"mqtt-ca", "ha-discovery", "ha-prefix"})
        if (args.has(name) && !o.mqtt)
            return UsageError(ctx, kCommand, "--" + std::string(name) + " needs --mqtt");
    if (args.has("mqtt-ca") && !o.mqtt->tls)
        return UsageError(ctx, kCommand, "--mqtt-ca is for an mqtts:// broker");
    if (args.has("mqtt-ca")) {
        // Typed relative to the user's folder; the connection is made from
        // the tool's state folder, and its thread reads the file at each attempt.
        o.caFileTyped = args.value("mqtt-ca");
        o.caFile = UserPath(o.caFileTyped);
        if (o.caFile.empty() || access(o.caFile.c_str(), R_OK) != 0)
            return UsageError(ctx, kCommand,
                              "--mqtt-ca: cannot read '" + o.caFileTyped +
                                  "': " + std::strerror(o.caFile.empty() ? ENOENT : errno));
    }
    o.haDiscovery = args.has("ha-discovery");
    if (args.has("ha-prefix")) {
        o.haPrefix = args.value("ha-prefix");
        if (o.haPrefix.empty() || o.haPrefix.find_first_of("+#") != std::string::npos)
            return UsageError(ctx, kCommand, "--ha-prefix takes a topic without '+' or '#', not '" + o.haPrefix + "'");
    }
    return kExitOk;
}

}  // namespace

int ParseMonitorOptions(Context& ctx, const ParsedArgs& args, MonitorOptions& o)
{
    if (const int status = DeviceOption(ctx, kCommand, args, o.device))
        return status;
    if (const int status = ParseWatches(ctx, kCommand, args, o.watch))
        return status;
    if (const int status = ParseSeconds(ctx, args, "interval", 0.1, 86400, o.interval))
        return status;
    if (const int status = ParseSeconds(ctx, args, "seconds", 0.1, 1e6, o.secondsLimit))
        return status;
    o.reconnect = args.has("reconnect");
    if (const int status = ParseMqtt(ctx, args, o))
        return status;
    if (args.has("camera-id")) {
        o.cameraId = args.value("camera-id");
        if (!IsIdText(o.cameraId))
            return UsageError(ctx, kCommand, "--camera-id takes 1 to 64 letters, digits, '-' and '_', not '" +
                                                 o.cameraId + "'");
    }
    if (args.has("metrics")) {
        o.metrics = true;
        if (!ParseListen(args.value("metrics"), o.metricsAddress, o.metricsPort))
            return UsageError(ctx, kCommand, "--metrics takes ADDR:PORT (127.0.0.1:9108, 0.0.0.0:9108 or [::]:9108 "
                                             "for every address), not '" + args.value("metrics") + "'");
    }
    if (!o.mqtt && !o.metrics)
        return UsageError(ctx, kCommand, "say where to publish: --mqtt URL, --metrics ADDR:PORT or both");
    return kExitOk;
}

std::string DefaultCameraId(const CameraInfo& info)
{
    std::string source = info.usbPort.empty() ? info.videoPath.substr(info.videoPath.rfind('/') + 1) : info.usbPort;
    std::string id = info.usbPort.empty() ? "" : "usb-";
    for (const char c : source)
        id += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return id.empty() ? "camera" : id;
}

}  // namespace vivatool::monitor

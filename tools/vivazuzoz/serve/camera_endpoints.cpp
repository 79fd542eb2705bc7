#include "camera_endpoints.h"

#include "../json.h"
#include "http_answers.h"
#include "request_rules.h"

#include <vivaclient/colormaps.h>
#include <vivaclient/settings.h>

#include <VIVAZUZOZ.h>

namespace vivatool::serve {

using Poco::Net::HTTPResponse;
using vivaclient::Setting;

namespace {

const char* GroupName(vivaclient::SettingGroup group)
{
    switch (group) {
    case vivaclient::SettingGroup::Camera:
        return "camera";
    case vivaclient::SettingGroup::Environment:
        return "environment";
    case vivaclient::SettingGroup::ImageTuning:
        return "image-tuning";
    case vivaclient::SettingGroup::ReadOnly:
        return "read-only";
    }
    return "";
}

void SendNotConnected(Exchange& exchange)
{
    SendError(exchange.response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
              "camera " + std::to_string(exchange.camera) + " is not connected");
}

// The shutter fields of a camera: whether the newest frame is of a
// correction, and the corrections so far.
void WriteShutterFields(JsonWriter& json, const CameraSummary& camera,
                        const vivaclient::CameraSession::Counters& counters)
{
    json.Key("shutter").Bool(camera.shutter).Key("settling").Bool(camera.settling);
    json.Key("corrections").Int(static_cast<long long>(counters.corrections)).Key("seconds_since_correction");
    if (counters.lastCorrection == vivaclient::FrameClock::time_point{})
        json.Null();
    else
        json.Number(std::chrono::duration<double>(vivaclient::FrameClock::now() - counters.lastCorrection).count(), 1);
}

}  // namespace

void ListCameras(Exchange& exchange)
{
    ServerState& server = exchange.server;
    JsonWriter json;
    json.BeginArray();
    for (const CameraSummary& c : server.hub.Cameras()) {
        json.BeginObject().Key("index").Int(c.index);
        WriteCameraFields(json, c.info);
        json.Key("width").Int(c.width).Key("height").Int(c.height).Key("radiometric").Bool(c.radiometric);
        WriteUnitFields(json, server.settings->Unit(c.index));  // what its temperatures are in
        json.Key("live").Bool(c.live);
        WriteShutterFields(json, c, server.hub.Counters(c.index));
        json.EndObject();
    }
    json.EndArray();
    SendJson(exchange.response, json.str());
}

void ListSettings(Exchange& exchange)
{
    JsonWriter json;
    json.BeginArray();
    for (const Setting& s : vivaclient::Settings()) {
        json.BeginObject().Key("name").String(s.name).Key("description").String(s.description);
        json.Key("label").String(s.label).Key("unit").String(s.unit);
        json.Key("group").String(GroupName(s.group)).Key("readOnly").Bool(s.readOnly());
        json.Key("integer").Bool(s.isInteger());
        json.Key("temperature").Bool(IsTemperatureSetting(s));  // in the camera's unit (/api/cameras)
        if (!s.readOnly())
            json.Key("min")
                .Number(s.min, s.decimals)
                .Key("max")
                .Number(s.max, s.decimals)
                .Key("range")
                .String(SettingRange(s));
        json.EndObject();
    }
    json.EndArray();
    SendJson(exchange.response, json.str());
}

// The tool's colour maps, so the page draws with the very tables the tool's
// PNG files use: [{"name", "description", "rgb": [r, g, b, ... 256 times]}],
// the default first.
void ListColormaps(Exchange& exchange)
{
    JsonWriter json;
    json.BeginArray();
    for (const vivaclient::ColormapInfo& map : vivaclient::Colormaps()) {
        json.BeginObject().Key("name").String(map.name).Key("description").String(map.description).Key("rgb");
        json.BeginArray();
        for (const vivaclient::Rgb& c : map.build())
            json.Int(c.r).Int(c.g).Int(c.b);
        json.EndArray().EndObject();
    }
    json.EndArray();
    SendJson(exchange.response, json.str());
}

// From what the server read when the camera opened (settings_cache.h).
void ReadSettings(Exchange& exchange)
{
    std::string json;
    if (!exchange.server.settings->SettingsJson(exchange.camera, json, std::chrono::seconds(10)))
        return SendNotConnected(exchange);
    SendJson(exchange.response, json);
}

void WriteSetting(Exchange& exchange)
{
    auto& response = exchange.response;
    const std::string& name = exchange.name;
    const Setting* setting = vivaclient::FindSetting(name);
    if (!setting)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND,
                         "unknown setting '" + name + "'; settings are: " + vivaclient::SettingNames(false));
    if (setting->readOnly())
        return SendError(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED, "setting '" + name + "' is read-only");
    std::string error;
    const auto value = ParseSettingValue(*setting, SettingBodyValue(exchange.body), error);
    if (!value)
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    SettingsCache& settings = *exchange.server.settings;
    bool open = true;
    vivaclient::SettingValue stored;
    const vivaclient::Call write = settings.Write(exchange.camera, *setting, *value, stored, open);
    if (!open)
        return SendNotConnected(exchange);
    if (!write.ok())
        return SendCallFailure(response, write);
    JsonWriter json;
    json.BeginObject().Key("name").String(setting->name).Key("value");
    WriteSettingJson(json, *setting, stored);
    if (IsTemperatureSetting(*setting))
        WriteUnitFields(json, settings.Unit(exchange.camera));
    json.EndObject();
    SendJson(response, json.str());
}

void CorrectShutter(Exchange& exchange)
{
    // Through the session: the frames of the correction are flagged and
    // its events told, as for one the camera makes on its own.
    const vivaclient::Call call{"OZL_USB_CorrectShutter", exchange.server.hub.CorrectShutter(exchange.camera)};
    if (call.result == OZL_USB_INVALID_PARAM)
        return SendNotConnected(exchange);
    if (!call.ok())
        return SendCallFailure(exchange.response, call);
    SendJson(exchange.response, "{\"ok\":true}");
}

}  // namespace vivatool::serve

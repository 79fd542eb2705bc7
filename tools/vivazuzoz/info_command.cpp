#include "info_command.h"

#include <vivaclient/settings.h>
#include <vivaclient/temperature_unit.h>
#include "json.h"
#include "snapshot_output.h"

#include <VIVAZUZOZ.h>

#include <algorithm>

namespace vivatool {
using namespace vivaclient;

namespace {

const char* GroupTitle(SettingGroup group)
{
    switch (group) {
    case SettingGroup::Camera:
        return "Camera settings";
    case SettingGroup::Environment:
        return "Environment parameters";
    case SettingGroup::ImageTuning:
        return "Image tuning";
    case SettingGroup::ReadOnly:
        return "Read-only";
    }
    return "";
}

struct SettingReading {
    const Setting* setting;
    Call call;
    SettingValue value;
};

// Everything `info` shows, read from the camera: the stream's layout and
// size, and every setting with one exchange per value.
struct InfoReading {
    CameraInfo camera;
    Call probe;
    bool withTemp = false;
    Call size;
    int width = 0;
    int height = 0;
    std::vector<SettingReading> readings;

    // A failure other than "not supported" (which is shown as such).
    static bool Failed(const Call& call) { return !call.ok() && call.result != OZL_USB_NOT_SUPPORTED; }
    bool failed() const
    {
        return !probe.ok() || !size.ok() ||
               std::any_of(readings.begin(), readings.end(), [](const SettingReading& r) { return Failed(r.call); });
    }
};

InfoReading ReadInfo(Session& session)
{
    InfoReading info;
    info.camera = session.info();
    info.probe = session.camera->ProbeTemperatures(info.withTemp);
    info.size = Call{"OZL_USB_GetFPASize", OZL_USB_GetFPASize(session.handle(), &info.width, &info.height)};
    std::vector<const Setting*> shown;
    for (const Setting& s : Settings())
        shown.push_back(&s);
    std::vector<Call> calls;
    std::vector<SettingValue> values;
    ReadSettings(session.handle(), shown, calls, values);
    for (size_t i = 0; i < shown.size(); ++i)
        info.readings.push_back(SettingReading{shown[i], calls[i], values[i]});
    return info;
}

void PrintInfoJson(FILE* out, const InfoReading& in)
{
    const CameraInfo& info = in.camera;
    JsonWriter json;
    json.BeginObject().Key("index").Int(info.index);
    WriteCameraFields(json, info);
    json.Key("stream").BeginObject().Key("width").Int(in.width).Key("height").Int(in.height);
    json.Key("temperatures");
    if (in.probe.ok())
        json.Bool(in.withTemp);
    else
        json.Null();
    json.EndObject();
    json.Key("settings").BeginObject();
    for (const SettingReading& r : in.readings) {
        json.Key(r.setting->name);
        if (r.call.ok())
            WriteSettingJson(json, *r.setting, r.value);
        else
            json.Null();
    }
    json.EndObject().Key("not_supported").BeginArray();
    for (const SettingReading& r : in.readings)
        if (r.call.result == OZL_USB_NOT_SUPPORTED)
            json.String(r.setting->name);
    json.EndArray().Key("errors").BeginObject();
    for (const Call& c : {in.probe, in.size})
        if (!c.ok())
            json.Key(c.function).String(DescribeFailure(c));
    for (const SettingReading& r : in.readings)
        if (InfoReading::Failed(r.call))
            json.Key(r.setting->name).String(DescribeFailure(r.call));
    json.EndObject().EndObject();
    std::fprintf(out, "%s\n", json.str().c_str());
}

// What the camera's temperature unit number means, after its value: " (°C)",
// or " (not declared: VIVAZUZOZ_TEMP_UNITS)".
std::string UnitMeaning(const Setting& setting, const SettingReading& reading)
{
    if (std::string(setting.name) != "temp-unit" || !reading.call.ok())
        return "";
    const TemperatureUnit unit = DeclaredUnit(static_cast<int>(reading.value.number));
    return unit.declared() ? " (" + unit.label + ")" : std::string(" (not declared: ") + kTempUnitsVariable + ")";
}

void PrintInfoText(FILE* out, const InfoReading& in)
{
    const CameraInfo& info = in.camera;
    std::fprintf(out, "Camera %d: %s\n", info.index, info.name.c_str());
    std::fprintf(out, "  %-20s%s\n", "video node", NodeText(info.videoPath).c_str());
    std::fprintf(out, "  %-20s%s\n", "serial node", NodeText(info.serialPath).c_str());
    const std::string layout = !in.probe.ok() ? "layout unknown (" + DescribeFailure(in.probe) + ")"
                               : in.withTemp  ? "image and temperature"
                                              : "image only";
    std::fprintf(out, "  %-20s%dx%d, %s\n", "stream", in.width, in.height, layout.c_str());
    const SettingGroup* current = nullptr;
    for (const SettingReading& r : in.readings) {
        if (!current || *current != r.setting->group) {
            current = &r.setting->group;
            std::fprintf(out, "%s\n", GroupTitle(*current));
        }
        const std::string text = r.call.ok()                              ? FormatSettingValue(*r.setting, r.value)
                                 : r.call.result == OZL_USB_NOT_SUPPORTED ? "not supported"
                                                                          : "failed: " + DescribeFailure(r.call);
        std::fprintf(out, "  %-20s%s%s\n", r.setting->name, text.c_str(), UnitMeaning(*r.setting, r).c_str());
    }
}

// Every failure of `in` on the error stream, one line each.
int ReportFailures(Context& ctx, const InfoReading& in)
{
    for (const SettingReading& r : in.readings)
        if (InfoReading::Failed(r.call))
            Fail(ctx, std::string(r.setting->name) + ": " + DescribeFailure(r.call));
    for (const Call& c : {in.probe, in.size})
        if (!c.ok())
            FailCall(ctx, c);
    return kExitFailure;
}

}  // namespace

CommandSyntax InfoSyntax()
{
    return {"info",
            "Show a camera's detector, stream, settings and supported image tuning",
            "[FILE]",
            {kDeviceOption, kJsonOption},
            0,
            1,
            "Opens the camera and prints its detector size and stream layout, palette, temperature level and\n"
            "unit, image level, detector and camera temperatures, the environment parameters and the\n"
            "image-tuning parameters, asking the camera once for each. Items the camera or its stream does\n"
            "not support are shown as \"not supported\"; any other failed query is shown and makes the\n"
            "command exit with 1. With FILE (a .tiff or .jpg snapshot) it shows what the file holds\n"
            "instead: size, unit, temperature range and the camera's settings when it was taken.\n"};
}

int RunInfo(Context& ctx, const ParsedArgs& args)
{
    if (!args.positional.empty()) {
        if (args.has("device"))
            return UsageError(ctx, "info", "give --device or a FILE, not both");
        return RunFileInfo(ctx, args.positional[0], args.has("json"));
    }
    int index = 0;
    if (const int status = DeviceOption(ctx, "info", args, index))
        return status;
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    const InfoReading info = ReadInfo(session);
    if (args.has("json"))
        PrintInfoJson(ctx.out, info);
    else
        PrintInfoText(ctx.out, info);
    std::fflush(ctx.out);
    return info.failed() ? ReportFailures(ctx, info) : kExitOk;
}

}  // namespace vivatool

#include "commands.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/colormaps.h>
#include <vivaclient/core_output.h>
#include <vivaclient/frame_stream.h>
#include <vivaclient/interrupt.h>
#include <vivaclient/number_text.h>
#include <vivaclient/recording.h>
#include <vivaclient/result_text.h>
#include <vivaclient/settings.h>
#include <vivaclient/state_dir.h>
#include <vivaclient/thermal_snapshot.h>
#include "json.h"
#include "monitor/monitor_command.h"
#include "plane_stats.h"
#include "png_writer.h"
#include "progress.h"
#include "record_command.h"
#include "snapshot_output.h"
#ifdef VIVAZUZOZ_WITH_RTSP
#include "rtsp_command.h"
#endif
#include "serve/serve_command.h"
#include "stream.h"
#include "temperature_csv.h"
#include "tool_support.h"

#include <VIVAZUZOZ.h>
#include <vivaclient/radiometric_jpeg.h>
#include <vivaclient/temperature_tiff.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#ifndef VIVAZUZOZ_TOOL_VERSION
#define VIVAZUZOZ_TOOL_VERSION "unknown"
#endif

namespace vivatool {
using namespace vivaclient;

namespace {

using Clock = std::chrono::steady_clock;

// How long a snapshot waits for its frame. The library itself waits up to
// 5 s for the first frame when it opens a camera.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

const CameraInfo* DefaultCamera(const std::vector<CameraInfo>& cameras)
{
    std::string ignored;
    return ChooseCamera(cameras, CameraChoice{}, ignored);
}

std::string NodeText(const std::string& path)
{
    return path.empty() ? "-" : path;
}

// ------------------------------------------------------------------ list

int RunList(Context& ctx, const ParsedArgs& args)
{
    LibrarySession library;
    std::vector<CameraInfo> cameras;
    const Call search = library.Search(cameras);
    if (!search.ok())
        return FailCall(ctx, search);

    if (args.has("json")) {
        JsonWriter json;
        json.BeginArray();
        for (const CameraInfo& c : cameras) {
            json.BeginObject().Key("index").Int(c.index);
            WriteCameraFields(json, c);
            json.Key("command_port").Bool(!c.serialPath.empty());
            json.Key("default").Bool(&c == DefaultCamera(cameras));
            json.EndObject();
        }
        json.EndArray();
        std::fprintf(ctx.out, "%s\n", json.str().c_str());
        return kExitOk;
    }
    if (cameras.empty()) {
        std::fprintf(ctx.out, "No cameras found.\n");
        return kExitOk;
    }
    size_t nameWidth = 4, videoWidth = 5;
    for (const CameraInfo& c : cameras) {
        nameWidth = std::max(nameWidth, c.name.size());
        videoWidth = std::max(videoWidth, NodeText(c.videoPath).size());
    }
    const int nw = static_cast<int>(nameWidth), vw = static_cast<int>(videoWidth);
    const CameraInfo* chosen = DefaultCamera(cameras);
    std::fprintf(ctx.out, "%-5s  %-*s  %-*s  %s\n", "INDEX", nw, "NAME", vw, "VIDEO", "SERIAL");
    for (const CameraInfo& c : cameras) {
        const std::string serial = c.serialPath.empty() ? "-  (no command port: cannot be driven)"
                                   : &c == chosen   ? c.serialPath + "  (default)"
                                                    : c.serialPath;
        std::fprintf(ctx.out, "%-5d  %-*s  %-*s  %s\n", c.index, nw, c.name.c_str(), vw, NodeText(c.videoPath).c_str(),
                     serial.c_str());
    }
    return kExitOk;
}

// ------------------------------------------------------------------ info

const char* GroupTitle(SettingGroup group)
{
    switch (group) {
    case SettingGroup::Camera: return "Camera settings";
    case SettingGroup::Environment: return "Environment parameters";
    case SettingGroup::ImageTuning: return "Image tuning";
    case SettingGroup::ReadOnly: return "Read-only";
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

int RunInfo(Context& ctx, const ParsedArgs& args)
{
    if (!args.positional.empty()) {
        if (args.has("device"))
            return UsageError(ctx, "info", "give --device or a FILE, not both");
        return RunFileInfo(ctx, args.positional[0], args.has("json"));
    }
    int index = 0;
    if (!DeviceOption(ctx, "info", args, index))
        return kExitUsage;
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    const InfoReading info = ReadInfo(session);
    if (args.has("json"))
        PrintInfoJson(ctx.out, info);
    else
        PrintInfoText(ctx.out, info);
    std::fflush(ctx.out);
    if (!info.failed())
        return kExitOk;
    for (const SettingReading& r : info.readings)
        if (InfoReading::Failed(r.call))
            Fail(ctx, std::string(r.setting->name) + ": " + DescribeFailure(r.call));
    for (const Call& c : {info.probe, info.size})
        if (!c.ok())
            FailCall(ctx, c);
    return kExitFailure;
}

// ------------------------------------------------------------ get and set

const Setting* SettingArgument(Context& ctx, const char* command, const std::string& name)
{
    const Setting* setting = FindSetting(name);
    if (!setting)
        UsageError(ctx, command, "unknown setting '" + name + "'; settings are: " + SettingNames(false));
    return setting;
}

int RunGet(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (!DeviceOption(ctx, "get", args, index))
        return kExitUsage;
    const Setting* setting = SettingArgument(ctx, "get", args.positional[0]);
    if (!setting)
        return kExitUsage;
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    SettingValue value;
    const Call call = ReadSetting(session.handle(), *setting, value);
    if (!call.ok())
        return FailCall(ctx, call);
    if (args.has("json")) {
        JsonWriter json;
        json.BeginObject().Key("name").String(setting->name).Key("value");
        WriteSettingJson(json, *setting, value);
        json.EndObject();
        std::fprintf(ctx.out, "%s\n", json.str().c_str());
    } else {
        std::fprintf(ctx.out, "%s: %s\n", setting->name, FormatSettingValue(*setting, value).c_str());
    }
    return kExitOk;
}

int RunSet(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (!DeviceOption(ctx, "set", args, index))
        return kExitUsage;
    const Setting* setting = SettingArgument(ctx, "set", args.positional[0]);
    if (!setting)
        return kExitUsage;
    std::string error;
    const auto value = ParseSettingValue(*setting, args.positional[1], error);
    if (!value)
        return UsageError(ctx, "set", error);
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    const Call call = WriteSetting(session.handle(), *setting, *value);
    if (call.result == OZL_USB_FAILURE && call.function == setting->setFunction)
        return Fail(ctx, DescribeRefusal(*setting, args.positional[1], call));
    if (!call.ok())
        return FailCall(ctx, call);
    std::fprintf(ctx.out, "%s set to %s\n", setting->name, FormatDecimal(*value, setting->decimals).c_str());
    return kExitOk;
}

// --------------------------------------------------------------- shutter

int RunShutter(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (!DeviceOption(ctx, "shutter", args, index))
        return kExitUsage;
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    const Call call{"OZL_USB_CorrectShutter", OZL_USB_CorrectShutter(session.handle())};
    if (!call.ok())
        return FailCall(ctx, call);
    std::fprintf(ctx.out, "Shutter correction done.\n");
    return kExitOk;
}

// -------------------------------------------------------------- snapshot

// The first complete frame, copied out of the read thread's callback.
struct Snapshot {
    std::mutex mutex;
    std::condition_variable arrived;
    // Guarded by `mutex`: written once by the read thread, read by the
    // command's thread after `done` is seen.
    bool done = false;
    int width = 0;
    int height = 0;
    std::vector<uint16_t> image;
    std::vector<int16_t> temp;
    SnapshotFacts facts;  // the command's thread only

    void Take(const FrameRef& frame)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (done)
            return;
        width = frame.width;
        height = frame.height;
        image.assign(frame.image, frame.image + frame.samples());
        if (frame.temps)
            temp.assign(frame.temps, frame.temps + frame.samples());
        done = true;
        arrived.notify_all();
    }
};

// The first complete frame of camera `index`, and with `facts` the
// camera's settings at that moment. Returns kExitOk or the exit status of a
// failure that has been reported.
int GrabSnapshot(Context& ctx, int index, bool facts, Snapshot& shot)
{
    StreamingSession session;
    if (const int status = OpenStreaming(ctx, session, StreamingOptions(index, false)))
        return status;
    CameraSession& camera = *session.camera;
    camera.SetCallback([&shot](const FrameRef& f) { shot.Take(f); });
    OpenFailure failure;
    if (!camera.Stream(failure))
        return Fail(ctx, failure.message);
    {
        // The session ends by itself when the camera is lost or sends no frame.
        std::unique_lock<std::mutex> lock(shot.mutex);
        while (!shot.done && !camera.ended() && !Interrupted())
            shot.arrived.wait_for(lock, kPollInterval);
    }
    // The settings at the frame's moment, while the camera is still open.
    if (facts && shot.done) {
        const std::string name = camera.info().name;
        camera.Command([&](unsigned long handle) {
            shot.facts = ReadSnapshotFacts(handle, name);
            return 0;
        });
    }
    camera.Close();  // callbacks stopped: `shot` is the command thread's alone from here
    if (Interrupted())
        return kExitInterrupted;
    if (!shot.done)
        return Fail(ctx, camera.endReason().message + " before a frame arrived");
    return kExitOk;
}

// The frame of a file instead of a camera's: a recording's frame `frame`, a
// radiometric JPEG or a TIFF snapshot. Returns "" or a message.
std::string LoadSnapshot(const std::string& path, long long frame, Snapshot& shot)
{
    ThermalSnapshot file;
    const bool jpeg = LooksLikeJpeg(path);
    const std::string error = jpeg ? ReadRadiometricJpeg(path, file) : ReadTemperatureTiff(path, file);
    if (jpeg && !error.empty())
        return error;
    if (error.empty()) {
        if (frame != 0)
            return path + " holds one frame (0), no frame " + std::to_string(frame);
        shot.width = file.width;
        shot.height = file.height;
        shot.temp = std::move(file.tenths);
        shot.facts = std::move(file.facts);
        return "";
    }
    RecordingReader reader;
    if (std::string error = reader.Open(path); !error.empty())
        return error;
    shot.facts = RecordingFacts(reader.description(), reader.layout().unit);
    return LoadRecordedFrame(path, frame, shot.width, shot.height, shot.image, shot.temp);
}

int RunSnapshot(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (!DeviceOption(ctx, "snapshot", args, index))
        return kExitUsage;
    if (args.has("output") && !args.positional.empty())
        return UsageError(ctx, "snapshot", "give the picture's name once, as FILE.png or with -o, not both");
    if (!args.has("output") && args.positional.empty())
        return UsageError(ctx, "snapshot", "missing FILE.png (the picture to write)");
    const std::string output = args.has("output") ? args.value("output") : args.positional[0];
    const std::string csvPath = args.value("temperature");
    // Typed relative to the user's folder; the library runs in another.
    const std::string outputFile = UserPath(output), csvFile = UserPath(csvPath);
    const ColormapInfo* palette = FindColormap(args.value("colormap", Colormaps().front().name));
    if (!palette)
        return UsageError(ctx, "snapshot",
                          "unknown colormap '" + args.value("colormap") + "'; colormaps are: " + ColormapNames());
    if (output.empty() || (args.has("temperature") && csvPath.empty()))
        return UsageError(ctx, "snapshot", "a file name may not be empty");
    if (args.has("frame") && !args.has("from"))
        return UsageError(ctx, "snapshot", "--frame needs --from FILE.tiff");
    if (args.has("from") && args.has("device"))
        return UsageError(ctx, "snapshot", "give --device or --from, not both");
    long long frameIndex = 0;
    if (!IntegerOption(ctx, "snapshot", args, "frame", 0, INT32_MAX, 0, frameIndex))
        return kExitUsage;
    SnapshotFormat format = SnapshotFormat::Png;
    if (!ChooseSnapshotFormat(ctx, args, output, format))
        return kExitUsage;
    // The files can be written: checked before the camera is opened and
    // anything is printed.
    for (const auto& [file, typed] : {std::pair(outputFile, output), std::pair(csvFile, csvPath)})
        if (!typed.empty())
            if (const std::string error = CannotCreate(file); !error.empty())
                return Fail(ctx, AsTyped(error, file, typed));

    Snapshot shot;
    if (args.has("from")) {
        // A frame of a recording or a snapshot file instead of a camera's.
        const std::string from = UserPath(args.value("from"));
        if (const std::string error = LoadSnapshot(from, frameIndex, shot); !error.empty())
            return Fail(ctx, AsTyped(error, from, args.value("from")));
        if (!shot.temp.empty() && format == SnapshotFormat::Png)
            shot.image.clear();
        shot.done = true;
    } else if (const int status = GrabSnapshot(ctx, index, FormatNeedsTemperatures(format), shot)) {
        return status;
    }

    const bool withTemp = !shot.temp.empty();
    std::fprintf(ctx.out, "Frame: %dx%d, %s\n", shot.width, shot.height,
                 withTemp ? "image and temperature" : "image only");
    if (withTemp) {
        const PlaneStats stats = ComputeStats(shot.temp.data(), shot.width, shot.height);
        std::fprintf(ctx.out, "Temperature: min %s, max %s, mean %s degrees\n", FormatTenths(stats.min).c_str(),
                     FormatTenths(stats.max).c_str(), FormatTenths(static_cast<int>(std::lround(stats.mean))).c_str());
        std::fprintf(ctx.out, "Hottest pixel: x %d, y %d (%s degrees)\n", stats.hottestX, stats.hottestY,
                     FormatTenths(stats.max).c_str());
    } else {
        const auto [lo, hi] = std::minmax_element(shot.image.begin(), shot.image.end());
        std::fprintf(ctx.out, "The stream carries no temperatures (raw image samples %u to %u)\n",
                     static_cast<unsigned>(*lo), static_cast<unsigned>(*hi));
    }
    if (!withTemp && FormatNeedsTemperatures(format))
        return Fail(ctx, output + " not written: the stream carries no temperatures (a " + SnapshotFormatName(format) +
                             " snapshot holds them)");
    ThermalSnapshot data;
    data.width = shot.width;
    data.height = shot.height;
    data.tenths = std::move(shot.temp);
    data.image = std::move(shot.image);
    data.facts = std::move(shot.facts);
    std::string what;
    if (const std::string error = WriteSnapshot(format, outputFile, output, data, *palette, what); !error.empty())
        return Fail(ctx, error);
    std::fprintf(ctx.out, "Wrote %s (%s)\n", output.c_str(), what.c_str());

    if (args.has("temperature")) {
        if (!withTemp)
            return Fail(ctx, csvPath + " not written: the stream carries no temperatures");
        if (const std::string error = WriteTemperatureCsv(csvFile, data.tenths.data(), data.width, data.height);
            !error.empty())
            return Fail(ctx, AsTyped(error, csvFile, csvPath));
        std::fprintf(ctx.out, "Wrote %s (degrees, one row per line)\n", csvPath.c_str());
    }
    return kExitOk;
}

// ------------------------------------------------------------ the table

std::string SettingsHelp(bool writableOnly)
{
    std::string text = writableOnly ? "Settings:\n" : "Settings (read-only ones marked):\n";
    for (const Setting& s : Settings()) {
        if (writableOnly && s.readOnly())
            continue;
        char line[160];
        std::snprintf(line, sizeof line, "  %-18s %s%s\n", s.name, s.description,
                      s.readOnly() && !writableOnly ? " (read-only)" : "");
        text += line;
    }
    return text;
}

// Every command of the tool, in the order the overview lists them. A command
// kept in a file of its own declares its syntax and handler in a header and
// takes one row here.
const std::vector<Command>& Commands()
{
    static const std::vector<Command> commands = {
        {{"list",
          "List the cameras found: index, name, video and serial nodes",
          "",
          {kJsonOption},
          0,
          0,
          "A device without a command port (a webcam, say) is listed but marked: the tool cannot drive\n"
          "it. The default camera of the other commands, the first with a command port, is marked too.\n"},
         RunList},
        {{"info",
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
          "instead: size, unit, temperature range and the camera's settings when it was taken.\n"},
         RunInfo},
        {{"snapshot",
          "Grab one frame and write it as a picture or as temperature data",
          "[FILE]",
          {kDeviceOption,
           {"output", 'o', "FILE", "the file to write (or give FILE as the argument)"},
           {"format", 'f', "FORMAT",
            "the file's format: png, tiff, jpeg, csv (default: from FILE's extension .png, .tiff, .jpg "
            "or .csv; png without one)"},
           {"colormap", 'c', "NAME",
            "the tool's colouring: " + ColormapNames() + " (default " + Colormaps().front().name +
                "); not the camera's palette setting",
            false, "palette"},
           {"temperature", 't', "FILE.csv", "also write the temperatures in degrees, one row of pixels per line"},
           {"from", 0, "FILE", "take the frame from a recording, a .jpg or a .tiff snapshot instead of a camera"},
           {"frame", 0, "N", "with --from: the frame to take, from 0 (default 0)"}},
          0,
          1,
          "On a stream with temperatures the picture shows the temperature plane, and the minimum,\n"
          "maximum and mean temperature and the hottest pixel are printed, in degrees with one decimal\n"
          "(in the camera's temperature unit). On an image-only stream the picture shows the raw image\n"
          "and no temperatures can be written.\n"
          "Formats: png a false-colour picture; tiff the temperatures as 32-bit floats in degrees (GDAL,\n"
          "QGIS, rasterio and ImageJ read them as such; the image plane as a second page); jpeg a\n"
          "false-colour picture that also carries the exact temperatures and the camera's settings\n"
          "(README: \"Files and units\"); csv the temperatures in degrees. The unit is the one declared\n"
          "for the camera's temp-unit number in VIVAZUZOZ_TEMP_UNITS (default 0=C; others \"unit N\").\n"},
         RunSnapshot},
        {RecordSyntax(), RunRecord},
        {ReplaySyntax(), [](Context& ctx, const ParsedArgs& args) { return RunReplay(args, ctx.out, ctx.err); }},
        {StreamSyntax(), RunStream},
        {MonitorSyntax(), RunMonitor},
        {{"get", "Read one setting of a camera", "NAME", {kDeviceOption, kJsonOption}, 1, 1, SettingsHelp(false)},
         RunGet},
        {{"set",
          "Change one setting of a camera",
          "NAME VALUE",
          {kDeviceOption},
          2,
          2,
          SettingsHelp(true) +
              "\nEnvironment values are kept to four decimals and read back exactly; the others are\n"
              "written back unchanged. A camera that refuses a value cannot be told apart from one that\n"
              "does not answer: both make set exit with 1.\n"},
         RunSet},
        {{"shutter", "Trigger the camera's shutter (flat-field) correction", "", {kDeviceOption}, 0, 0, ""},
         RunShutter},
        {ServeSyntax(), RunServe},
#ifdef VIVAZUZOZ_WITH_RTSP
        {RtspSyntax(), RunRtsp},
#endif
    };
    return commands;
}

const Command* FindCommand(const std::string& name)
{
    for (const Command& c : Commands())
        if (name == c.setup.name)
            return &c;
    return nullptr;
}

std::string ToolHelp()
{
    std::string text =
        "vivazuzoz - find, capture from and configure USB thermal cameras\n"
        "\n"
        "Usage: vivazuzoz COMMAND [OPTIONS] [ARGUMENTS]\n"
        "       vivazuzoz COMMAND --help\n"
        "\n"
        "Commands:\n";
    for (const Command& c : Commands()) {
        char line[200];
        std::snprintf(line, sizeof line, "  %-10s %s\n", c.setup.name, c.setup.summary);
        text += line;
    }
    text +=
        "\n"
        "Options:\n"
        "  -h, --help      show this help (after a command: that command's help)\n"
        "  -v, --verbose   show the library's own progress lines (given before or\n"
        "                  after the command); without it they are shown only when\n"
        "                  opening a camera fails, since they say why\n"
        "  --version       print the version\n"
        "\n" +
        SettingsHelp(false) +
        "\n"
        "Files:\n"
        "  The library's log, VIVAZUZOZ.log (rotated at 20 MB), is written to the tool's\n"
        "  state folder, $XDG_STATE_HOME/vivazuzoz, else ~/.local/state/vivazuzoz\n"
        "  (the current folder when neither can be used). File names on the command\n"
        "  line mean what they mean in the current folder.\n"
        "\n"
        "Exit status (the same for every command):\n"
        "  0    success\n"
        "  1    a library call, the camera or a file failed, or no usable camera was\n"
        "       found; the message names the failing call and what its result means\n"
        "  2    the command line is wrong; no camera was touched (monitor: also when the\n"
        "       broker refuses the user name or password)\n"
        "  3    stream --exit-on-alarm: an alarm was raised\n"
        "  4    serve, rtsp, monitor --metrics: another program listens on the port\n"
        "  5    monitor --seconds: the MQTT broker never accepted the connection\n"
        "  130  interrupted by Ctrl-C (SIGINT) or SIGTERM before the command was done,\n"
        "       after closing the camera; a stream or recording without --frames or\n"
        "       --seconds runs until interrupted and then ends with 0\n"
        "\n"
        "Examples:\n"
        "  vivazuzoz list\n"
        "  vivazuzoz snapshot thermal.png --colormap iron --temperature thermal.csv\n"
        "  vivazuzoz set emissivity 0.95\n"
        "  vivazuzoz stream --seconds 10 --roi plate=180,40,40,40 --alarm-above 80\n"
        "  vivazuzoz record -o run.tiff --seconds 60 --every 1\n";
    return text;
}

}  // namespace

int RunTool(const std::vector<std::string>& arguments, FILE* out, FILE* err, bool terminal, CoreOutput* core)
{
    Context ctx{out, err, terminal, core};
    // -v/--verbose may also come before the command.
    std::vector<std::string> args = arguments;
    bool verbose = false;
    while (!args.empty() && (args[0] == "-v" || args[0] == "--verbose")) {
        verbose = true;
        args.erase(args.begin());
    }
    if (args.empty()) {
        std::fprintf(err, "%s", ToolHelp().c_str());
        return kExitUsage;
    }
    const std::string& first = args[0];
    if (first == "-h" || first == "--help" || (first == "help" && args.size() == 1)) {
        std::fprintf(out, "%s", ToolHelp().c_str());
        return kExitOk;
    }
    if (first == "--version") {
        std::fprintf(out, "vivazuzoz %s\n", VIVAZUZOZ_TOOL_VERSION);
        return kExitOk;
    }
    const bool helpFor = first == "help";
    const std::string name = helpFor ? args[1] : first;
    const Command* command = FindCommand(name);
    if (!command) {
        std::fprintf(err, "vivazuzoz: unknown command '%s'\nTry 'vivazuzoz --help'.\n", name.c_str());
        return kExitUsage;
    }
    if (helpFor) {
        std::fprintf(out, "%s", CommandHelp(command->setup).c_str());
        return kExitOk;
    }
    std::string error;
    const auto parsed = ParseArgs(command->setup, std::vector<std::string>(args.begin() + 1, args.end()), error);
    if (!parsed)
        return UsageError(ctx, command->setup.name, error);
    if (parsed->help) {
        std::fprintf(out, "%s", CommandHelp(command->setup).c_str());
        return kExitOk;
    }
    if (core)
        core->SetVerbose(verbose || parsed->verbose);
    int status;
    {
        InterruptGuard interrupts;
        status = command->run(ctx, *parsed);
        // A command that finished its work keeps its success; one that
        // was cut short says so.
        if (Interrupted() && status != kExitOk) {
            std::fprintf(err, "vivazuzoz: interrupted\n");
            status = kExitInterrupted;
        }
    }
    std::fflush(out);
    return status;
}

}  // namespace vivatool

#include "commands.h"

#include "camera.h"
#include "cli.h"
#include "json.h"
#include "number_text.h"
#include "palette.h"
#include "plane_stats.h"
#include "png_writer.h"
#include "progress.h"
#include "record_command.h"
#include "serve/serve_command.h"
#include "settings.h"
#include "temperature_csv.h"

#include <VIVAZUZOZ.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <mutex>

#ifndef VIVAZUZOZ_TOOL_VERSION
#define VIVAZUZOZ_TOOL_VERSION "unknown"
#endif

namespace vivatool {

namespace {

using Clock = std::chrono::steady_clock;

// How long a snapshot waits for its frame, and how long a stream may go
// without one before the camera counts as gone. The library itself waits up
// to 5 s for the first frame when it opens a camera.
constexpr auto kFrameTimeout = std::chrono::seconds(5);
constexpr auto kStallTimeout = std::chrono::seconds(5);
constexpr auto kPollInterval = std::chrono::milliseconds(100);

struct Context {
    FILE* out;
    FILE* err;
    bool terminal;
};

using Handler = int (*)(Context&, const ParsedArgs&);

struct Command {
    CommandSyntax setup;
    Handler run;
};

// ------------------------------------------------------------- messages

int Fail(Context& ctx, const std::string& message)
{
    std::fprintf(ctx.err, "vivazuzoz: %s\n", message.c_str());
    return kExitFailure;
}

int FailCall(Context& ctx, const Call& call)
{
    return Fail(ctx, DescribeFailure(call));
}

int UsageError(Context& ctx, const char* command, const std::string& message)
{
    std::fprintf(ctx.err, "vivazuzoz %s: %s\nTry 'vivazuzoz %s --help'.\n", command, message.c_str(), command);
    return kExitUsage;
}

// ------------------------------------------------------- option values

const OptionSyntax kDeviceOption{"device", 'd', "INDEX", "camera to use, as 'vivazuzoz list' numbers them (default 0)"};
const OptionSyntax kJsonOption{"json", 0, nullptr, "print JSON for scripts"};

// Reads an integer option within [min, max]; `fallback` when absent.
bool IntegerOption(Context& ctx, const char* command, const ParsedArgs& args, const char* name, long long min,
                   long long max, long long fallback, long long& value)
{
    if (!args.has(name)) {
        value = fallback;
        return true;
    }
    const std::string text = args.value(name);
    const auto parsed = ParseInteger(text);
    if (!parsed || *parsed < min || *parsed > max) {
        UsageError(ctx, command,
                   "--" + std::string(name) + " takes a whole number from " + std::to_string(min) +
                       (max == INT32_MAX ? " up" : " to " + std::to_string(max)) + ", not '" + text + "'");
        return false;
    }
    value = *parsed;
    return true;
}

bool DeviceOption(Context& ctx, const char* command, const ParsedArgs& args, int& index)
{
    long long value = 0;
    if (!IntegerOption(ctx, command, args, "device", 0, INT32_MAX, 0, value))
        return false;
    index = static_cast<int>(value);
    return true;
}

// ------------------------------------------------------- opening a camera

// The library session and the camera of one command; members are destroyed
// in reverse order, so the camera is closed before the library goes.
struct Session {
    LibrarySession library;
    CameraInfo info;
    OpenCamera camera;
};

// Searches, picks camera `index` and opens it. Returns kExitOk or the exit
// status of a failure that has been reported.
int OpenSelected(Context& ctx, Session& session, int index)
{
    std::vector<CameraInfo> cameras;
    const Call search = session.library.Search(cameras);
    if (!search.ok())
        return FailCall(ctx, search);
    if (cameras.empty())
        return Fail(ctx, "no camera found");
    const auto it = std::find_if(cameras.begin(), cameras.end(), [index](const CameraInfo& c) { return c.index == index; });
    if (it == cameras.end())
        return Fail(ctx, "no camera with index " + std::to_string(index) + " (" + std::to_string(cameras.size()) +
                             (cameras.size() == 1 ? " camera" : " cameras") + " found; see 'vivazuzoz list')");
    session.info = *it;
    const Call open = session.camera.Open(index);
    if (!open.ok()) {
        std::string message = DescribeFailure(open) + " for camera " + std::to_string(index) + " (" + it->name + ")";
        if (open.result == OZL_USB_OPEN_FAILED) {
            const std::string hint = PermissionHint({ProbeNodeAccess(it->video), ProbeNodeAccess(it->serial)});
            if (!hint.empty())
                message += "\n" + hint;
        }
        return Fail(ctx, message);
    }
    return kExitOk;
}

std::string NodeText(const std::string& path)
{
    return path.empty() ? "-" : path;
}

void JsonNode(JsonWriter& json, const std::string& path)
{
    if (path.empty())
        json.Null();
    else
        json.String(path);
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
            json.BeginObject().Key("index").Int(c.index).Key("name").String(c.name).Key("video");
            JsonNode(json, c.video);
            json.Key("serial");
            JsonNode(json, c.serial);
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
        videoWidth = std::max(videoWidth, NodeText(c.video).size());
    }
    const int nw = static_cast<int>(nameWidth), vw = static_cast<int>(videoWidth);
    std::fprintf(ctx.out, "%-5s  %-*s  %-*s  %s\n", "INDEX", nw, "NAME", vw, "VIDEO", "SERIAL");
    for (const CameraInfo& c : cameras)
        std::fprintf(ctx.out, "%-5d  %-*s  %-*s  %s\n", c.index, nw, c.name.c_str(), vw, NodeText(c.video).c_str(),
                     NodeText(c.serial).c_str());
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

int RunInfo(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (!DeviceOption(ctx, "info", args, index))
        return kExitUsage;
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    const unsigned long handle = session.camera.handle();

    bool withTemp = false;
    const Call probe = ProbeTemperatureStream(handle, withTemp);
    int width = 0, height = 0;
    const Call size{"OZL_USB_GetFPASize", OZL_USB_GetFPASize(handle, &width, &height)};

    // A setting the camera or its stream does not support is shown as such;
    // any other failure is shown too and makes the command fail at the end.
    std::vector<SettingReading> readings;
    bool failed = !probe.ok() || !size.ok();
    for (const Setting& s : Settings()) {
        SettingReading r{&s, {}, {}};
        r.call = ReadSetting(handle, s, r.value);
        failed |= !r.call.ok() && r.call.result != OZL_USB_NOT_SUPPORTED;
        readings.push_back(r);
    }

    const CameraInfo& info = session.info;
    if (args.has("json")) {
        JsonWriter json;
        json.BeginObject().Key("index").Int(info.index).Key("name").String(info.name).Key("video");
        JsonNode(json, info.video);
        json.Key("serial");
        JsonNode(json, info.serial);
        json.Key("stream").BeginObject().Key("width").Int(width).Key("height").Int(height);
        json.Key("temperatures");
        if (probe.ok())
            json.Bool(withTemp);
        else
            json.Null();
        json.EndObject();
        json.Key("settings").BeginObject();
        for (const SettingReading& r : readings) {
            json.Key(r.setting->name);
            if (r.call.ok())
                WriteSettingJson(json, *r.setting, r.value);
            else
                json.Null();
        }
        json.EndObject().Key("not_supported").BeginArray();
        for (const SettingReading& r : readings)
            if (r.call.result == OZL_USB_NOT_SUPPORTED)
                json.String(r.setting->name);
        json.EndArray().Key("errors").BeginObject();
        for (const Call& c : {probe, size})
            if (!c.ok())
                json.Key(c.function).String(DescribeFailure(c));
        for (const SettingReading& r : readings)
            if (!r.call.ok() && r.call.result != OZL_USB_NOT_SUPPORTED)
                json.Key(r.setting->name).String(DescribeFailure(r.call));
        json.EndObject().EndObject();
        std::fprintf(ctx.out, "%s\n", json.str().c_str());
    } else {
        std::fprintf(ctx.out, "Camera %d: %s\n", info.index, info.name.c_str());
        std::fprintf(ctx.out, "  %-20s%s\n", "video node", NodeText(info.video).c_str());
        std::fprintf(ctx.out, "  %-20s%s\n", "serial node", NodeText(info.serial).c_str());
        const std::string layout = !probe.ok() ? "layout unknown (" + DescribeFailure(probe) + ")"
                                   : withTemp  ? "image and temperature"
                                               : "image only";
        std::fprintf(ctx.out, "  %-20s%dx%d, %s\n", "stream", width, height, layout.c_str());
        const SettingGroup* current = nullptr;
        for (const SettingReading& r : readings) {
            if (!current || *current != r.setting->group) {
                current = &r.setting->group;
                std::fprintf(ctx.out, "%s\n", GroupTitle(*current));
            }
            const std::string text = r.call.ok()                                   ? FormatSettingValue(*r.setting, r.value)
                                     : r.call.result == OZL_USB_NOT_SUPPORTED ? "not supported"
                                                                                   : "failed: " + DescribeFailure(r.call);
            std::fprintf(ctx.out, "  %-20s%s\n", r.setting->name, text.c_str());
        }
    }
    std::fflush(ctx.out);
    if (failed) {
        for (const SettingReading& r : readings)
            if (!r.call.ok() && r.call.result != OZL_USB_NOT_SUPPORTED)
                Fail(ctx, std::string(r.setting->name) + ": " + DescribeFailure(r.call));
        for (const Call& c : {probe, size})
            if (!c.ok())
                FailCall(ctx, c);
        return kExitFailure;
    }
    return kExitOk;
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
    const Call call = ReadSetting(session.camera.handle(), *setting, value);
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
    const Call call = WriteSetting(session.camera.handle(), *setting, *value);
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
    const Call call{"OZL_USB_CorrectShutter", OZL_USB_CorrectShutter(session.camera.handle())};
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

    void Take(const FrameView& frame)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (done)
            return;
        const size_t count = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
        width = frame.width;
        height = frame.height;
        if (frame.temp)
            temp.assign(frame.temp, frame.temp + count);
        if (frame.image)
            image.assign(frame.image, frame.image + count);
        done = true;
        arrived.notify_all();
    }
};

// The first complete frame of camera `index`. Returns kExitOk or the exit
// status of a failure that has been reported.
int GrabSnapshot(Context& ctx, int index, Snapshot& shot)
{
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    if (const Call watch = session.library.WatchForLoss(session.camera.handle()); !watch.ok())
        return FailCall(ctx, watch);

    {
        FrameSource source(session.camera.handle(), [&shot](const FrameView& f) { shot.Take(f); });
        if (const Call start = source.Start(); !start.ok())
            return FailCall(ctx, start);
        std::unique_lock<std::mutex> lock(shot.mutex);
        const auto deadline = Clock::now() + kFrameTimeout;
        while (!shot.done && !session.library.lost() && Clock::now() < deadline)
            shot.arrived.wait_for(lock, kPollInterval);
    }  // callbacks stopped: `shot` is the command thread's alone from here
    if (!shot.done)
        return Fail(ctx, session.library.lost() ? "the camera was lost before a frame arrived"
                                                : "no frame from the camera within 5 s");
    return kExitOk;
}

int RunSnapshot(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (!DeviceOption(ctx, "snapshot", args, index))
        return kExitUsage;
    const std::string output = args.value("output");
    const std::string csvPath = args.value("temperature");
    const PaletteInfo* palette = FindPalette(args.value("palette", Palettes().front().name));
    if (!palette)
        return UsageError(ctx, "snapshot",
                          "unknown palette '" + args.value("palette") + "'; palettes are: " + PaletteNames());
    if (output.empty() || (args.has("temperature") && csvPath.empty()))
        return UsageError(ctx, "snapshot", "a file name may not be empty");
    if (args.has("frame") && !args.has("from"))
        return UsageError(ctx, "snapshot", "--frame needs --from FILE.tiff");
    if (args.has("from") && args.has("device"))
        return UsageError(ctx, "snapshot", "give --device or --from, not both");
    long long frameIndex = 0;
    if (!IntegerOption(ctx, "snapshot", args, "frame", 0, INT32_MAX, 0, frameIndex))
        return kExitUsage;

    Snapshot shot;
    if (args.has("from")) {
        // A frame of a recording instead of a camera's.
        if (const std::string error = LoadRecordedFrame(args.value("from"), frameIndex, shot.width, shot.height,
                                                        shot.image, shot.temp);
            !error.empty())
            return Fail(ctx, error);
        if (!shot.temp.empty())
            shot.image.clear();
        shot.done = true;
    } else if (const int status = GrabSnapshot(ctx, index, shot)) {
        return status;
    }

    const bool withTemp = !shot.temp.empty();
    std::fprintf(ctx.out, "Frame: %dx%d, %s\n", shot.width, shot.height,
                 withTemp ? "image and temperature" : "image only");
    std::vector<uint8_t> rgb;
    if (withTemp) {
        const PlaneStats stats = ComputeStats(shot.temp.data(), shot.width, shot.height);
        std::fprintf(ctx.out, "Temperature: min %s, max %s, mean %s degrees\n", FormatTenths(stats.min).c_str(),
                     FormatTenths(stats.max).c_str(), FormatTenths(static_cast<int>(std::lround(stats.mean))).c_str());
        std::fprintf(ctx.out, "Hottest pixel: x %d, y %d (%s degrees)\n", stats.hottestX, stats.hottestY,
                     FormatTenths(stats.max).c_str());
        rgb = Colourise(shot.temp.data(), shot.width, shot.height, palette->build());
    } else {
        const auto [lo, hi] = std::minmax_element(shot.image.begin(), shot.image.end());
        std::fprintf(ctx.out, "The stream carries no temperatures (raw image samples %u to %u)\n",
                     static_cast<unsigned>(*lo), static_cast<unsigned>(*hi));
        rgb = Colourise(shot.image.data(), shot.width, shot.height, palette->build());
    }
    if (const std::string error = WritePng(output, shot.width, shot.height, rgb); !error.empty())
        return Fail(ctx, error);
    std::fprintf(ctx.out, "Wrote %s (%s palette)\n", output.c_str(), palette->name);

    if (args.has("temperature")) {
        if (!withTemp)
            return Fail(ctx, csvPath + " not written: the stream carries no temperatures");
        if (const std::string error = WriteTemperatureCsv(csvPath, shot.temp.data(), shot.width, shot.height);
            !error.empty())
            return Fail(ctx, error);
        std::fprintf(ctx.out, "Wrote %s (degrees, one row per line)\n", csvPath.c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------- stream

// Set by SIGINT and SIGTERM during a stream.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void OnInterrupt(int)
{
    g_interrupted.store(true);
}

// Catches SIGINT and SIGTERM for its lifetime, so an interrupted stream
// still stops the callbacks, closes the camera and deinitialises the library.
class InterruptGuard {
public:
    InterruptGuard()
    {
        g_interrupted.store(false);
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~InterruptGuard()
    {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// What the read thread has counted.
struct StreamState {
    explicit StreamState(uint64_t limit) : frameLimit(limit) {}

    const uint64_t frameLimit;  // 0: no limit
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by `mutex`: written by the read thread, read by the command's.
    uint64_t frames = 0;
    bool withTemp = false;
    int min = 0;
    int max = 0;
    Clock::time_point first;
    Clock::time_point last;

    void Count(const FrameView& frame)
    {
        int frameMin = 0, frameMax = 0;
        if (frame.temp)
            MinMax(frame.temp, frame.width * frame.height, frameMin, frameMax);
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (frameLimit != 0 && frames >= frameLimit)
            return;
        if (frames == 0) {
            first = now;
            min = frameMin;
            max = frameMax;
        }
        withTemp = frame.temp != nullptr;
        min = std::min(min, frameMin);
        max = std::max(max, frameMax);
        last = now;
        ++frames;
        changed.notify_all();
    }

    // Needs `mutex` held.
    StreamFigures Figures(Clock::time_point start, Clock::time_point now) const
    {
        StreamFigures f;
        f.frames = frames;
        f.seconds = std::chrono::duration<double>(now - start).count();
        const double span = std::chrono::duration<double>(last - first).count();
        f.rate = frames >= 2 && span > 0 ? static_cast<double>(frames - 1) / span : 0.0;
        f.withTemp = withTemp || frames == 0;
        f.min = min;
        f.max = max;
        return f;
    }
};

enum class StreamEnd { Done, Interrupted, Lost, Stalled, Unlimited };

int RunStream(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (!DeviceOption(ctx, "stream", args, index))
        return kExitUsage;
    if (args.has("frames") && args.has("seconds"))
        return UsageError(ctx, "stream", "give --frames or --seconds, not both");
    long long frameLimit = 0;
    if (!IntegerOption(ctx, "stream", args, "frames", 1, INT32_MAX, 0, frameLimit))
        return kExitUsage;
    double secondsLimit = 0;
    if (args.has("seconds")) {
        const auto seconds = ParseDecimal(args.value("seconds"));
        if (!seconds || *seconds <= 0 || *seconds > 1e6)
            return UsageError(ctx, "stream", "--seconds takes a positive number, not '" + args.value("seconds") + "'");
        secondsLimit = *seconds;
    }

    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    if (const Call watch = session.library.WatchForLoss(session.camera.handle()); !watch.ok())
        return FailCall(ctx, watch);

    InterruptGuard interrupts;
    StreamState state(static_cast<uint64_t>(frameLimit));
    ProgressLine progress(ctx.out, ctx.terminal);
    const auto updateEvery = ctx.terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
    const Clock::time_point start = Clock::now();
    StreamEnd end = StreamEnd::Done;
    StreamFigures figures;
    {
        FrameSource source(session.camera.handle(), [&state](const FrameView& f) { state.Count(f); });
        if (const Call call = source.Start(); !call.ok())
            return FailCall(ctx, call);
        Clock::time_point nextUpdate = start + updateEvery;
        std::unique_lock<std::mutex> lock(state.mutex);
        for (;;) {
            state.changed.wait_for(lock, kPollInterval);
            const Clock::time_point now = Clock::now();
            const Clock::time_point lastSign = state.frames ? state.last : start;
            if (frameLimit && state.frames >= static_cast<uint64_t>(frameLimit))
                break;
            if (secondsLimit > 0 && now - start >= std::chrono::duration<double>(secondsLimit))
                break;
            if (g_interrupted.load()) {
                end = frameLimit || secondsLimit > 0 ? StreamEnd::Interrupted : StreamEnd::Unlimited;
                break;
            }
            if (session.library.lost()) {
                end = StreamEnd::Lost;
                break;
            }
            if (now - lastSign >= kStallTimeout) {
                end = StreamEnd::Stalled;
                break;
            }
            if (now >= nextUpdate) {
                const std::string text = DescribeStream(state.Figures(start, now));
                lock.unlock();
                progress.Update(text);
                lock.lock();
                nextUpdate = now + updateEvery;
            }
        }
        figures = state.Figures(start, Clock::now());
    }  // callbacks stopped
    progress.Finish();
    std::fprintf(ctx.out, "Received %s\n", DescribeStream(figures).c_str());
    switch (end) {
    case StreamEnd::Done:
    case StreamEnd::Unlimited:
        return kExitOk;
    case StreamEnd::Interrupted:
        std::fprintf(ctx.err, "vivazuzoz: interrupted\n");
        return kExitInterrupted;
    case StreamEnd::Lost:
        return Fail(ctx, "the camera was lost (unplugged or no longer answering); stream ended");
    case StreamEnd::Stalled:
        return Fail(ctx, "no frame from the camera for 5 s; stream ended");
    }
    return kExitFailure;
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

const std::vector<Command>& Commands()
{
    static const std::vector<Command> commands = {
        {{"list", "List the cameras found: index, name, video and serial nodes", "", {kJsonOption}, 0, 0, ""},
         RunList},
        {{"info",
          "Show a camera's detector, stream, settings and supported image tuning",
          "",
          {kDeviceOption, kJsonOption},
          0,
          0,
          "Opens the camera and prints its detector size and stream layout, palette, temperature level and\n"
          "unit, image level, detector and camera temperatures, the environment parameters and the\n"
          "image-tuning parameters. Items the camera or its stream does not support are shown as\n"
          "\"not supported\"; any other failed query is shown and makes the command exit with 1.\n"},
         RunInfo},
        {{"snapshot",
          "Grab one frame and write it as a false-colour PNG",
          "",
          {kDeviceOption,
           {"output", 'o', "FILE.png", "the picture to write", true},
           {"palette", 'p', "NAME",
            "colours: " + PaletteNames() + " (default " + Palettes().front().name + ")"},
           {"temperature", 't', "FILE.csv", "also write the temperatures in degrees, one row of pixels per line"},
           {"from", 0, "FILE.tiff", "take the frame from a recording instead of a camera"},
           {"frame", 0, "N", "with --from: the frame to take, from 0 (default 0)"}},
          0,
          0,
          "On a stream with temperatures the picture shows the temperature plane, and the minimum,\n"
          "maximum and mean temperature and the hottest pixel are printed, in degrees with one decimal\n"
          "(in the camera's temperature unit). On an image-only stream the picture shows the raw image\n"
          "and no temperatures can be written.\n"},
         RunSnapshot},
        {RecordSyntax(),
         [](Context& ctx, const ParsedArgs& args) { return RunRecord(args, ctx.out, ctx.err, ctx.terminal); }},
        {ReplaySyntax(),
         [](Context& ctx, const ParsedArgs& args) { return RunReplay(args, ctx.out, ctx.err, ctx.terminal); }},
        {{"stream",
          "Receive frames and report frames received, frame rate and temperature range",
          "",
          {kDeviceOption,
           {"frames", 'n', "N", "stop after N frames"},
           {"seconds", 's', "S", "stop after S seconds"}},
          0,
          0,
          "Without --frames or --seconds the stream runs until interrupted (Ctrl-C).\n"
          "On a terminal the status line is updated in place, otherwise one line is printed per second.\n"},
         RunStream},
        {{"get", "Read one setting of a camera", "NAME", {kDeviceOption, kJsonOption}, 1, 1, SettingsHelp(false)},
         RunGet},
        {{"set", "Change one setting of a camera", "NAME VALUE", {kDeviceOption}, 2, 2, SettingsHelp(true)},
         RunSet},
        {{"shutter", "Trigger the camera's shutter (flat-field) correction", "", {kDeviceOption}, 0, 0, ""},
         RunShutter},
        {ServeSyntax(), [](Context& ctx, const ParsedArgs& args) { return RunServe(ctx.out, ctx.err, args); }},
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
        "  -h, --help   show this help\n"
        "  --version    print the version\n"
        "\n" +
        SettingsHelp(false) +
        "\n"
        "Exit status:\n"
        "  0    success\n"
        "  1    a library call, the camera or a file failed; the message names the\n"
        "       failing call and what its result means\n"
        "  2    the command line is wrong\n"
        "  130  a stream or recording with --frames or --seconds was interrupted\n"
        "\n"
        "Examples:\n"
        "  vivazuzoz list\n"
        "  vivazuzoz snapshot -o thermal.png --palette iron --temperature thermal.csv\n"
        "  vivazuzoz set emissivity 0.95\n"
        "  vivazuzoz stream --seconds 10\n"
        "  vivazuzoz record -o run.tiff --seconds 60 --every 1\n";
    return text;
}

}  // namespace

int RunTool(const std::vector<std::string>& args, FILE* out, FILE* err, bool terminal)
{
    Context ctx{out, err, terminal};
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
    const int status = command->run(ctx, *parsed);
    std::fflush(out);
    return status;
}

}  // namespace vivatool

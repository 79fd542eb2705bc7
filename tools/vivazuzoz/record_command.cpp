#include "record_command.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/interrupt.h>
#include <vivaclient/number_text.h>
#include <vivaclient/recording.h>
#include <vivaclient/settings.h>
#include <vivaclient/state_dir.h>
#include <vivaclient/thermal_snapshot.h>
#include "commands.h"
#include "frame_taker.h"
#include "json.h"
#include "plane_stats.h"
#include "progress.h"
#include "temperature_csv.h"
#include "watches.h"

#include <VIVAZUZOZ.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>
#include <deque>
#include <functional>
#include <future>

#ifndef VIVAZUZOZ_TOOL_VERSION
#define VIVAZUZOZ_TOOL_VERSION "unknown"
#endif

namespace vivatool {
using namespace vivaclient;

namespace {

using Clock = std::chrono::steady_clock;

// A camera that sends nothing for this long counts as gone, as in `stream`.
constexpr auto kPollInterval = std::chrono::milliseconds(100);
// The first page waits for this many frames (or for kRateWindow) so that the
// description can state the camera's frame rate.
constexpr uint64_t kRateFrames = 5;
constexpr auto kRateWindow = std::chrono::seconds(1);
// Recordings that may grow past this use 64-bit offsets (BigTIFF).
constexpr double kClassicTiffLimit = 3.5e9;

int Fail(FILE* err, const std::string& message)
{
    std::fprintf(err, "vivazuzoz: %s\n", message.c_str());
    return kExitFailure;
}

int UsageError(FILE* err, const char* command, const std::string& message)
{
    std::fprintf(err, "vivazuzoz %s: %s\nTry 'vivazuzoz %s --help'.\n", command, message.c_str(), command);
    return kExitUsage;
}

std::string Seconds(double s, int decimals = 1)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, s);
    return text;
}

std::string Megabytes(uint64_t bytes)
{
    return Seconds(static_cast<double>(bytes) / 1e6, 1) + " MB";
}

std::string LayoutName(bool withTemp)
{
    return withTemp ? "image and temperature" : "image only";
}

// --------------------------------------------------------- description

// The camera's settings and environment, as `info` names them. A value the
// camera does not give is left out.
// Each read is a command of its own, so that others (the session's) are
// not held up behind all of them.
void WriteSettings(JsonWriter& json, CameraSession& camera)
{
    json.Key("settings").BeginObject();
    for (const Setting& s : Settings()) {
        const bool wanted = s.group == SettingGroup::Camera ||
                            (s.group == SettingGroup::ReadOnly && s.access == SettingAccess::FloatQuery);
        if (!wanted)
            continue;
        SettingValue value;
        Call read{s.getFunction, OZL_USB_INVALID_PARAM};  // the camera is away
        camera.Command([&](unsigned long handle) {
            read = ReadSetting(handle, s, value);
            return read.result;
        });
        if (read.ok()) {
            json.Key(s.name);
            WriteSettingJson(json, s, value);
        }
    }
    // One query gives all five environment parameters.
    OZL_USB_ENV_PARAM env{};
    if (camera.Command([&env](unsigned long handle) { return OZL_USB_GetEnvParam(handle, &env); }) == OZL_USB_SUCCESS) {
        const std::pair<const char*, float> fields[] = {{"atmos-temp", env.atmosTemp},
                                                        {"distance", env.distance},
                                                        {"emissivity", env.emissivity},
                                                        {"reflected-temp", env.reflectedTemp},
                                                        {"transmittance", env.transmittance}};
        for (const auto& [name, value] : fields)
            json.Key(name).Number(value, 4);
    }
    json.EndObject();
}

// ---------------------------------------------------------------- record

enum class RecordEnd { Done, Interrupted, Ended, WriteFailed };

struct RecordOptions {
    int device = kAnyCamera;
    std::string output;
    FrameTaker::Limits limits;
    bool reconnect = false;
};

bool ParseRecordOptions(const ParsedArgs& args, FILE* err, RecordOptions& options)
{
    const char* command = "record";
    options.output = args.value("output");
    options.reconnect = args.has("reconnect");
    if (options.output.empty())
        return UsageError(err, command, "a file name may not be empty"), false;
    if (args.has("frames") && args.has("seconds"))
        return UsageError(err, command, "give --frames or --seconds, not both"), false;
    if (args.has("device")) {
        const auto device = ParseInteger(args.value("device"));
        if (!device || *device < 0 || *device > INT32_MAX)
            return UsageError(err, command, "--device takes a whole number from 0 up, not '" + args.value("device") + "'"),
                   false;
        options.device = static_cast<int>(*device);
    }
    if (args.has("frames")) {
        const auto frames = ParseInteger(args.value("frames"));
        if (!frames || *frames < 1 || *frames > INT32_MAX)
            return UsageError(err, command, "--frames takes a whole number from 1 up, not '" + args.value("frames") + "'"),
                   false;
        options.limits.frames = static_cast<uint64_t>(*frames);
    }
    for (const char* name : {"seconds", "every"}) {
        if (!args.has(name))
            continue;
        const auto value = ParseDecimal(args.value(name));
        if (!value || *value <= 0 || *value > 1e6)
            return UsageError(err, command,
                              "--" + std::string(name) + " takes a positive number of seconds, not '" +
                                  args.value(name) + "'"),
                   false;
        (std::string(name) == "seconds" ? options.limits.seconds : options.limits.every) = *value;
    }
    return true;
}

// Whether the file may pass what 32-bit offsets can address. The frame rate
// is not known yet: a timed recording is sized for 60 frames a second.
bool NeedsBigTiff(const RecordOptions& options, const RecordingLayout& layout)
{
    constexpr double kFastestRate = 60;
    const double frameBytes = static_cast<double>(layout.width) * layout.height * 2 * (layout.withTemp ? 2 : 1) + 1024;
    double frames = 0;
    if (options.limits.frames)
        frames = static_cast<double>(options.limits.frames);
    else if (options.limits.seconds > 0)
        frames = options.limits.every > 0 ? options.limits.seconds / options.limits.every + 1
                                          : options.limits.seconds * kFastestRate + 1;
    else
        return true;  // until interrupted
    return frames * frameBytes > kClassicTiffLimit;
}

}  // namespace

namespace {

// One recording from the first frame to the closed file: the read thread
// queues frames in the taker, this (the command's) thread writes them.
class RecordRun {
public:
    RecordRun(Context& ctx, StreamingSession& session, const RecordOptions& options, const RecordingLayout& layout,
              std::function<std::string()> readSettings, RecordingWriter& writer)
        : ctx_(ctx),
          session_(session),
          options_(options),
          layout_(layout),
          readSettings_(std::move(readSettings)),
          writer_(writer),
          taker_(layout.width, layout.height, layout.withTemp, options.limits),
          progress_(ctx.err, ProgressLine::OfWork{})
    {
    }

    int Run(const std::string& outputFile)
    {
        CameraSession& camera = *session_.camera;
        camera.SetSink(taker_);
        OpenFailure failure;
        if (!camera.Stream(failure)) {
            writer_.Close();
            return Fail(ctx_.err, failure.message);
        }
        RecordEnd end = Loop();
        // The settings are read before the camera is closed (at once when no
        // frame came).
        if (!settingsRead_.valid() && settingsJson_.empty())
            settingsJson_ = readSettings_();
        if (settingsRead_.valid())
            settingsJson_ = settingsRead_.get();
        camera.Close();  // callbacks stopped: whatever is queued is all there is
        if (end != RecordEnd::WriteFailed) {
            if (description_.empty())
                description_ = Description(taker_.counts());
            WriteHeldFrames();
            while (auto frame = taker_.Next(Clock::duration::zero()))
                WriteFrame(std::move(*frame));
            if (!failure_.empty())
                end = RecordEnd::WriteFailed;
        }
        progress_.Finish();
        return Finish(end, outputFile);
    }

private:
    RecordEnd Loop()
    {
        const auto updateEvery = std::chrono::milliseconds(250);
        Clock::time_point nextUpdate = start_ + updateEvery;
        for (;;) {
            const FrameTaker::Counts c = taker_.counts();
            const Clock::time_point now = Clock::now();
            if (!failure_.empty())
                return RecordEnd::WriteFailed;
            if (Interrupted())
                return RecordEnd::Interrupted;
            if (c.ended && c.queued == 0 && !description_.empty())
                return RecordEnd::Done;
            // While the camera is away no frame arrives to end a timed recording.
            if (options_.limits.seconds > 0 && c.received > 0 &&
                now - c.first >= std::chrono::duration<double>(options_.limits.seconds) && c.queued == 0 &&
                !description_.empty())
                return RecordEnd::Done;
            for (const SessionEvent& event : session_.events.TakeAll()) {
                progress_.Finish();
                SayEvent(ctx_, event, "recording");
            }
            if (session_.camera->ended())
                return RecordEnd::Ended;
            // The first page waits until the frame rate can be told and the
            // settings are read; the frames meanwhile are held here.
            if (description_.empty()) {
                // The camera's first frames start with commands of the
                // library's own, which the settings' would hold up.
                if (c.received > 0 && !settingsRead_.valid() && settingsJson_.empty())
                    settingsRead_ = std::async(std::launch::async, readSettings_);
                HoldFrames();
                if (c.taken == 0 || (c.received < kRateFrames && now - c.first < kRateWindow && !c.ended) ||
                    !SettingsRead()) {
                    taker_.Wait(kPollInterval);
                    continue;
                }
                description_ = Description(c);
                WriteHeldFrames();
            }
            if (auto frame = taker_.Next(kPollInterval))
                WriteFrame(std::move(*frame));
            if (now >= nextUpdate) {
                progress_.Update("Recording " + options_.output + ": " + std::to_string(writer_.frames()) +
                                 (writer_.frames() == 1 ? " frame, " : " frames, ") +
                                 Seconds(std::chrono::duration<double>(now - start_).count()) + " s, " +
                                 Megabytes(writer_.bytes()));
                nextUpdate = now + updateEvery;
            }
        }
    }

    // Until the first page can be written: the queued frames copied out of
    // the taker's small pool, which would otherwise run out and drop frames.
    void HoldFrames()
    {
        while (auto frame = taker_.Next(Clock::duration::zero())) {
            held_.push_back(*frame);
            taker_.Recycle(std::move(*frame));
        }
    }

    void WriteHeldFrames()
    {
        for (; !held_.empty(); held_.pop_front())
            Append(held_.front());
    }

    // Whether the settings for the description are there (then in settingsJson_).
    bool SettingsRead()
    {
        if (settingsRead_.valid() && settingsRead_.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            settingsJson_ = settingsRead_.get();
        return !settingsJson_.empty();
    }

    void WriteFrame(QueuedFrame&& frame)
    {
        Append(frame);
        taker_.Recycle(std::move(frame));
    }

    void Append(const QueuedFrame& frame)
    {
        PageMarks marks;
        marks.afterGap = frame.afterGap;
        marks.shutter = frame.shutter;
        marks.settling = frame.settling;
        marks.lastCorrection = frame.lastCorrection;
        if (failure_.empty())
            failure_ = writer_.Append(frame.image.data(), frame.temp.data(), frame.sequence, frame.time, description_,
                                      marks);
    }

    // The recording's description for its first page, the frame rate
    // measured from the frames received so far.
    std::string Description(const FrameTaker::Counts& c) const
    {
        const double span = std::chrono::duration<double>(c.last - c.first).count();
        JsonWriter json;
        json.BeginObject()
            .Key("format").String(kRecordingFormat)
            .Key("version").Int(1)
            .Key("camera").String(session_.camera->info().name)
            .Key("width").Int(layout_.width)
            .Key("height").Int(layout_.height)
            .Key("layout").String(LayoutName(layout_.withTemp))
            .Key("frame_rate");
        if (c.received >= 2 && span > 0)
            json.Number(static_cast<double>(c.received - 1) / span, 2);
        else
            json.Null();
        json.Key("every");
        if (options_.limits.every > 0)
            json.Number(options_.limits.every, 6);
        else
            json.Null();
        json.Key("image_plane").String("uint16, raw samples as the camera sends them");
        if (layout_.withTemp)
            json.Key("temperature_plane").String("int16, tenths of a degree in the camera's temperature unit");
        json.Key("started").String(UtcText(c.firstWall));
        json.Key("tool").String(std::string("vivazuzoz ") + VIVAZUZOZ_TOOL_VERSION);
        json.EndObject();
        // Splice the settings object in before the closing brace.
        std::string text = json.str();
        text.pop_back();
        return text + "," + settingsJson_.substr(1);
    }

    // Closes the file, says what it holds and returns the exit status.
    int Finish(RecordEnd end, const std::string& outputFile)
    {
        FILE* const err = ctx_.err;
        const FrameTaker::Counts c = taker_.counts();
        const uint64_t written = writer_.frames();
        const std::string closeError = writer_.Close();
        if (failure_.empty() && !closeError.empty()) {
            failure_ = closeError;
            end = RecordEnd::WriteFailed;
        }
        if (written > 0)
            std::fprintf(ctx_.out, "Wrote %s: %llu %s (%dx%d, %s), %s\n", options_.output.c_str(),
                         static_cast<unsigned long long>(written), written == 1 ? "frame" : "frames", layout_.width,
                         layout_.height, LayoutName(layout_.withTemp).c_str(), Megabytes(writer_.bytes()).c_str());
        if (c.dropped > 0)
            std::fprintf(err, "vivazuzoz: %llu frames dropped: the file was not written fast enough\n",
                         static_cast<unsigned long long>(c.dropped));
        if (c.foreign > 0)
            std::fprintf(err, "vivazuzoz: %llu frames of another size than %dx%d were left out\n",
                         static_cast<unsigned long long>(c.foreign), layout_.width, layout_.height);
        const std::string holds = written > 0 ? options_.output + " holds the " + std::to_string(written) +
                                                    " frames recorded before"
                                              : "no frame was recorded";
        const std::string kept = "; " + holds;
        switch (end) {
        case RecordEnd::Done:
            if (written == 0)
                return Fail(err, "no frame was recorded");
            return kExitOk;
        case RecordEnd::Interrupted:
            if (!options_.limits.frames && options_.limits.seconds <= 0 && written > 0)
                return kExitOk;  // Ctrl-C is how an unlimited recording ends
            // RunTool then says "interrupted", as for every command.
            std::fprintf(err, "vivazuzoz: %s%s\n", holds.c_str(), written > 0 ? " the interruption" : "");
            return kExitInterrupted;
        case RecordEnd::Ended:
            return Fail(err, EndMessage(session_.camera->endReason(), "recording") + kept);
        case RecordEnd::WriteFailed:
            return Fail(err, AsTyped(failure_, outputFile, options_.output) + "; recording ended" + kept);
        }
        return kExitFailure;
    }

    Context& ctx_;
    StreamingSession& session_;
    const RecordOptions& options_;
    const RecordingLayout layout_;
    const std::function<std::string()> readSettings_;
    std::future<std::string> settingsRead_;  // readSettings_ running, from the first frame on
    std::string settingsJson_;               // {"settings":{...}} once read
    std::deque<QueuedFrame> held_;           // frames that came before the first page could be written
    RecordingWriter& writer_;
    FrameTaker taker_;
    ProgressLine progress_;
    const Clock::time_point start_ = Clock::now();
    std::string description_;  // made when the first frame is written
    std::string failure_;
};

}  // namespace

int RunRecord(Context& ctx, const ParsedArgs& args)
{
    RecordOptions options;
    if (!ParseRecordOptions(args, ctx.err, options))
        return kExitUsage;
    // The camera as every command picks and opens it; the library then runs
    // in the tool's state folder, so the file name is taken as typed.
    const std::string outputFile = UserPath(options.output);
    SessionOptions sessionOptions = StreamingOptions(options.device, options.reconnect);
    if (const int status = ParseShutterPolicy(ctx, "record", args, sessionOptions.shutter))
        return status;
    // A recording under a correction policy starts from a fresh correction.
    sessionOptions.shutter.atStart = sessionOptions.shutter.commands();
    StreamingSession session;
    if (const int status = OpenStreaming(ctx, session, std::move(sessionOptions)))
        return status;
    // The session checks that a camera that comes back has the same layout.
    RecordingLayout layout;
    layout.width = session.camera->width();
    layout.height = session.camera->height();
    layout.withTemp = session.camera->withTemps();
    // The temperature pages declare their unit: the camera's number and what
    // the user declared it to mean.
    if (layout.withTemp)
        layout.unit = ReadDeclaredUnit(*session.camera);
    // Everything the description says but the frame rate, read once frames
    // flow (a dozen command exchanges, over a second): the first frame does
    // not wait for them.
    CameraSession& camera = *session.camera;
    auto settings = [&camera] {
        JsonWriter json;
        json.BeginObject();
        WriteSettings(json, camera);
        json.EndObject();
        return json.str();
    };

    // Signals are caught before the file exists: whoever sees the file can
    // interrupt the recording cleanly.
    InterruptGuard signals({/*secondSignalKills=*/false, /*ignoreFileSizeLimit=*/true, /*restartCalls=*/false});
    RecordingWriter writer;
    if (std::string error = writer.Create(outputFile, layout, NeedsBigTiff(options, layout)); !error.empty())
        return Fail(ctx.err, AsTyped(error, outputFile, options.output));
    return RecordRun(ctx, session, options, layout, settings, writer).Run(outputFile);
}

// ---------------------------------------------------------------- replay

std::string LoadRecordedFrame(const std::string& path, long long index, int& width, int& height,
                              std::vector<uint16_t>& image, std::vector<int16_t>& temp)
{
    RecordingReader reader;
    if (std::string error = reader.Open(path); !error.empty())
        return error;
    if (index < 0 || static_cast<unsigned long long>(index) >= reader.frames())
        return path + " has " + std::to_string(reader.frames()) + (reader.frames() == 1 ? " frame" : " frames") +
               " (0 to " + std::to_string(reader.frames() - 1) + "), no frame " + std::to_string(index);
    RecordedFrame frame;
    if (std::string error = reader.Read(static_cast<size_t>(index), frame); !error.empty())
        return error;
    width = reader.layout().width;
    height = reader.layout().height;
    image = std::move(frame.image);
    temp = std::move(frame.temp);
    return "";
}

int RunReplay(const ParsedArgs& args, FILE* out, FILE* err)
{
    const std::string& typed = args.positional.at(0);
    const std::string path = UserPath(typed);
    RecordingReader reader;
    if (std::string error = reader.Open(path); !error.empty())
        return Fail(err, AsTyped(error, path, typed));
    const RecordingLayout& layout = reader.layout();
    const std::string& d = reader.description();
    const size_t frames = reader.frames();
    const double duration = reader.time(frames - 1) - reader.time(0);

    std::fprintf(out, "Recording: %s\n", typed.c_str());
    std::fprintf(out, "Camera: %s, %dx%d, %s\n", JsonText(d, "camera").value_or("unknown").c_str(), layout.width,
                 layout.height, LayoutName(layout.withTemp).c_str());
    std::string timing = std::to_string(frames) + (frames == 1 ? " frame" : " frames") + " in " +
                         Seconds(duration, 2) + " s";
    if (frames >= 2)
        timing += ", " + Seconds(reader.rate()) + " fps";
    if (const auto every = JsonNumber(d, "every"))
        timing += ", one every " + FormatDecimal(*every, 3) + " s";
    std::fprintf(out, "Frames: %s (stream frames %llu to %llu)\n", timing.c_str(),
                 static_cast<unsigned long long>(reader.sequence(0)),
                 static_cast<unsigned long long>(reader.sequence(frames - 1)));
    if (const auto started = JsonText(d, "started"))
        std::fprintf(out, "Started: %s\n", started->c_str());
    if (const auto rate = JsonNumber(d, "frame_rate"))
        std::fprintf(out, "Camera frame rate: %s fps\n", Seconds(*rate).c_str());
    if (!layout.withTemp) {
        std::fprintf(out, "Temperature: none (image-only stream)\n");
        return kExitOk;
    }
    // The range needs every temperature plane.
    ProgressLine progress(err, ProgressLine::OfWork{});
    RecordedFrame frame;
    int min = 0, max = 0;
    for (size_t i = 0; i < frames; ++i) {
        if (std::string error = reader.Read(i, frame); !error.empty()) {
            progress.Finish();
            return Fail(err, error);
        }
        int lo = 0, hi = 0;
        MinMax(frame.temp.data(), static_cast<int>(frame.temp.size()), lo, hi);
        min = i == 0 ? lo : std::min(min, lo);
        max = i == 0 ? hi : std::max(max, hi);
        if (i % 50 == 49)
            progress.Update("Reading frame " + std::to_string(i + 1) + " of " + std::to_string(frames));
    }
    progress.Finish();
    std::fprintf(out, "Temperature: min %s, max %s degrees\n", FormatTenths(min).c_str(), FormatTenths(max).c_str());
    return kExitOk;
}

CommandSyntax RecordSyntax()
{
    return {"record",
            "Record a camera's stream to a multi-page 16-bit TIFF file",
            "",
            {kDeviceOption,
             {"output", 'o', "FILE.tiff", "the recording to write (replaced if it exists)", true},
             {"frames", 'n', "N", "stop after N frames written"},
             {"seconds", 's', "S", "stop after S seconds"},
             {"every", 0, "SECONDS", "time-lapse: keep one frame per interval"},
             {"reconnect", 0, nullptr,
              "when the camera is lost, wait for it at the same USB port and record on into the same file"},
             VIVAZUZOZ_SHUTTER_OPTIONS},
            0,
            0,
            "Each frame becomes one page with the image plane (16-bit unsigned) and, on a stream with\n"
            "temperatures, one page with the temperature plane (16-bit signed, tenths of a degree). Each\n"
            "page's description holds the frame's sequence number and time; the first page's also the\n"
            "camera, size, layout, frame rate, settings and environment parameters. ImageJ/Fiji, Python's\n"
            "tifffile and OpenCV read the file. Without --frames or --seconds the recording runs until\n"
            "interrupted (Ctrl-C), which ends the file cleanly. A failed write (a full disk) ends the\n"
            "recording with a message; the file then holds every frame completed before. With\n"
            "--reconnect a camera that is lost is waited for, and the first frame recorded after it came\n"
            "back has \"gap\": true in its pages' descriptions.\n"
            "Frames taken during a shutter (flat-field) correction, commanded or the camera's own, have\n"
            "\"shutter\": true, those just after it \"settling\": true, and every page after a correction\n"
            "\"last_correction\": its end in seconds on the frames' time line. With --shutter-every or\n"
            "--shutter-on-drift the recording starts with a correction and the policy runs throughout.\n"
            "See also 'vivazuzoz replay' and 'vivazuzoz snapshot --from'.\n"};
}

CommandSyntax ReplaySyntax()
{
    return {"replay",
            "Show what a recording holds: camera, frames, duration, temperature range",
            "FILE.tiff",
            {},
            1,
            1,
            "Render one of its frames with 'vivazuzoz snapshot --from FILE.tiff --frame N -o x.png', or\n"
            "serve it as a camera with 'vivazuzoz-vcam --replay FILE.tiff -- COMMAND'.\n"};
}

}  // namespace vivatool

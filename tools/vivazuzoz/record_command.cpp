#include "record_command.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/interrupt.h>
#include <vivaclient/number_text.h>
#include <vivaclient/recording.h>
#include <vivaclient/settings.h>
#include <vivaclient/state_dir.h>
#include <vivaclient/thermal_snapshot.h>
#include "frame_taker.h"
#include "json.h"
#include "progress.h"
#include "watches.h"

#include <VIVAZUZOZ.h>

#include <chrono>
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
// camera does not give is left out. Each read is a command of its own, so
// that the session's own commands are not held up behind all of them.
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

struct RecordOptions {
    int device = kAnyCamera;
    std::string output;
    FrameTaker::Limits limits;
    bool reconnect = false;
};

// The options, each checked. Returns kExitOk or the status of a usage error
// it has reported.
int ParseRecordOptions(Context& ctx, const ParsedArgs& args, RecordOptions& options)
{
    const char* const command = "record";
    options.output = args.value("output");
    options.reconnect = args.has("reconnect");
    if (options.output.empty())
        return UsageError(ctx, command, "a file name may not be empty");
    if (args.has("frames") && args.has("seconds"))
        return UsageError(ctx, command, "give --frames or --seconds, not both");
    long long frames = 0;
    if (const int status = DeviceOption(ctx, command, args, options.device))
        return status;
    if (const int status = IntegerOption(ctx, command, args, "frames", 1, INT32_MAX, 0, frames))
        return status;
    options.limits.frames = static_cast<uint64_t>(frames);
    for (const char* name : {"seconds", "every"}) {
        if (!args.has(name))
            continue;
        const auto value = ParseDecimal(args.value(name));
        if (!value || *value <= 0 || *value > 1e6)
            return UsageError(ctx, command,
                              "--" + std::string(name) + " takes a positive number of seconds, not '" +
                                  args.value(name) + "'");
        (std::string(name) == "seconds" ? options.limits.seconds : options.limits.every) = *value;
    }
    return kExitOk;
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
        // The settings are read before the camera is closed.
        const auto loop = [this] {
            const RunEnd end = Loop();
            WaitForSettings();
            return end;
        };
        RunEnd end = RunEnd::Going;
        if (const int status = StreamUntilEnd(ctx_, camera, loop, end)) {
            writer_.Close();
            return status;
        }
        // The callbacks have stopped: whatever is queued is all there is.
        if (failure_.empty()) {
            if (description_.empty())
                description_ = Description(taker_.counts());
            WriteHeldFrames();
            while (auto frame = taker_.Next(Clock::duration::zero()))
                WriteFrame(std::move(*frame));
        }
        progress_.Finish();
        return Finish(end, outputFile);
    }

private:
    bool limited() const { return options_.limits.frames || options_.limits.seconds > 0; }

    // The frames asked for are written, or the seconds asked for passed
    // since the first frame. While the camera is away no frame arrives to
    // end a timed recording, so the time is checked here.
    bool LimitReached(const FrameTaker::Counts& c, Clock::time_point now) const
    {
        if (description_.empty() || c.queued != 0)
            return false;
        return c.ended || (options_.limits.seconds > 0 && c.received > 0 &&
                           now - c.first >= std::chrono::duration<double>(options_.limits.seconds));
    }

    // Writes frames until the recording ends; a write failure ends it too
    // (failure_ says it).
    RunEnd Loop()
    {
        const auto updateEvery = std::chrono::milliseconds(250);
        Clock::time_point nextUpdate = start_ + updateEvery;
        for (;;) {
            const FrameTaker::Counts c = taker_.counts();
            const Clock::time_point now = Clock::now();
            if (!failure_.empty())
                return RunEnd::Done;
            for (const SessionEvent& event : session_.events.TakeAll()) {
                progress_.Finish();
                SayEvent(ctx_, event, "recording");
            }
            if (const RunEnd end = CheckRunEnd(*session_.camera, limited(), LimitReached(c, now)); end != RunEnd::Going)
                return end;
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
                ShowProgress(now);
                nextUpdate = now + updateEvery;
            }
        }
    }

    void ShowProgress(Clock::time_point now)
    {
        progress_.Update("Recording " + options_.output + ": " + std::to_string(writer_.frames()) +
                         (writer_.frames() == 1 ? " frame, " : " frames, ") +
                         Seconds(std::chrono::duration<double>(now - start_).count()) + " s, " +
                         Megabytes(writer_.bytes()));
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

    // The settings read to the end (at once when no frame came to start them).
    void WaitForSettings()
    {
        if (settingsRead_.valid())
            settingsJson_ = settingsRead_.get();
        else if (settingsJson_.empty())
            settingsJson_ = readSettings_();
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
            .Key("format")
            .String(kRecordingFormat)
            .Key("version")
            .Int(1)
            .Key("camera")
            .String(session_.camera->info().name)
            .Key("width")
            .Int(layout_.width)
            .Key("height")
            .Int(layout_.height)
            .Key("layout")
            .String(LayoutName(layout_.withTemp))
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
    int Finish(RunEnd end, const std::string& outputFile)
    {
        const uint64_t written = writer_.frames();
        const std::string closeError = writer_.Close();
        if (failure_.empty())
            failure_ = closeError;
        PrintOutcome(written);
        const std::string holds = written > 0 ? options_.output + " holds the " + std::to_string(written) +
                                                    " frames recorded before"
                                              : "no frame was recorded";
        const std::string kept = "; " + holds;
        if (!failure_.empty())
            return Fail(ctx_, AsTyped(failure_, outputFile, options_.output) + "; recording ended" + kept);
        if (end == RunEnd::Interrupted) {
            // RunTool then says "interrupted", as for every command.
            std::fprintf(ctx_.err, "vivazuzoz: %s%s\n", holds.c_str(), written > 0 ? " the interruption" : "");
            return kExitInterrupted;
        }
        if (end == RunEnd::Done && written == 0)
            return Fail(ctx_, "no frame was recorded");
        return EndStatus(ctx_, end, *session_.camera, "recording", kept);
    }

    // What the file holds, and the frames that could not go into it.
    void PrintOutcome(uint64_t written)
    {
        const FrameTaker::Counts c = taker_.counts();
        if (written > 0)
            std::fprintf(ctx_.out, "Wrote %s: %llu %s (%dx%d, %s), %s\n", options_.output.c_str(),
                         static_cast<unsigned long long>(written), written == 1 ? "frame" : "frames", layout_.width,
                         layout_.height, LayoutName(layout_.withTemp).c_str(), Megabytes(writer_.bytes()).c_str());
        if (c.dropped > 0)
            std::fprintf(ctx_.err, "vivazuzoz: %llu frames dropped: the file was not written fast enough\n",
                         static_cast<unsigned long long>(c.dropped));
        if (c.foreign > 0)
            std::fprintf(ctx_.err, "vivazuzoz: %llu frames of another size than %dx%d were left out\n",
                         static_cast<unsigned long long>(c.foreign), layout_.width, layout_.height);
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
    if (const int status = ParseRecordOptions(ctx, args, options))
        return status;
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
    const auto settings = [&camera] {
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
        return Fail(ctx, AsTyped(error, outputFile, options.output));
    return RecordRun(ctx, session, options, layout, settings, writer).Run(outputFile);
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

}  // namespace vivatool

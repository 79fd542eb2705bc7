#include "stream_command.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/frame_stream.h>
#include <vivaclient/interrupt.h>
#include <vivaclient/number_text.h>
#include <vivaclient/state_dir.h>
#include "json.h"
#include "plane_stats.h"
#include "progress.h"
#include "regions.h"
#include "stream_reports.h"
#include "temperature_csv.h"
#include "watches.h"

#include <VIVAZUZOZ.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>

extern char** environ;

namespace vivatool {
using namespace vivaclient;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(100);

// What the read thread has counted and measured.
struct StreamState {
    StreamState(uint64_t limit, std::vector<Region> regionList, std::vector<Watch> watchList, Clock::time_point begin)
        : frameLimit(limit), regions(std::move(regionList)), start(begin), watches(std::move(watchList))
    {
    }

    const uint64_t frameLimit;  // 0: no limit
    const std::vector<Region> regions;
    const Clock::time_point start;
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by `mutex`: written by the read thread, read by the command's.
    uint64_t frames = 0;
    bool withTemp = false;
    int min = 0;
    int max = 0;
    Clock::time_point first;
    Clock::time_point last;
    std::vector<RegionFigures> latest;  // of the last frame measured, one per region
    bool measured = false;              // a frame's temperatures went into min and max
    uint64_t shutterFrames = 0;         // frames flagged by the session
    uint64_t settlingFrames = 0;
    bool latestShutter = false;  // the flags of the last frame
    bool latestSettling = false;
    std::vector<Watch> watches;
    std::deque<AlarmEvent> events;  // taken by the command's thread

    void Count(const FrameRef& frame)
    {
        // A frame of a shutter correction (or just after one) counts, but its
        // temperatures do not: figures and alarms hold their last good values.
        const bool measure = frame.temps && !frame.flagged();
        int frameMin = 0, frameMax = 0;
        std::vector<RegionFigures> figures;
        if (measure) {
            MinMax(frame.temps, frame.width * frame.height, frameMin, frameMax);
            figures = MeasureRegions(frame, regions);
        }
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (frameLimit != 0 && frames >= frameLimit)
            return;
        if (frames == 0)
            first = now;
        withTemp = frame.temps != nullptr;
        last = now;
        ++frames;
        shutterFrames += frame.shutter ? 1 : 0;
        settlingFrames += frame.settling ? 1 : 0;
        latestShutter = frame.shutter;
        latestSettling = frame.settling;
        if (measure) {
            min = measured ? std::min(min, frameMin) : frameMin;
            max = measured ? std::max(max, frameMax) : frameMax;
            measured = true;
            latest = figures;
            std::vector<AlarmEvent> changes;
            FeedAlarms(watches, frameMax, figures, frame, frames, std::chrono::duration<double>(now - start).count(),
                       changes);
            events.insert(events.end(), changes.begin(), changes.end());
        }
        changed.notify_all();
    }

    // Needs `mutex` held.
    StreamFigures Figures(Clock::time_point now) const
    {
        StreamFigures f;
        f.frames = frames;
        f.seconds = std::chrono::duration<double>(now - start).count();
        const double span = std::chrono::duration<double>(last - first).count();
        f.rate = frames >= 2 && span > 0 ? static_cast<double>(frames - 1) / span : 0.0;
        f.withTemp = withTemp || frames == 0;
        f.min = min;
        f.max = max;
        f.shutterFrames = shutterFrames;
        f.settlingFrames = settlingFrames;
        f.shutter = latestShutter;
        f.settling = latestSettling;
        return f;
    }
};

// Starts `command` with /bin/sh in the user's folder, the event in its
// environment. Returns the child's pid, or -1.
pid_t StartAlarmCommand(const std::string& command, const AlarmEvent& e)
{
    std::vector<std::string> variables = {
        std::string("VIVAZUZOZ_ALARM_EVENT=") + (e.raised ? "raised" : "cleared"),
        std::string("VIVAZUZOZ_ALARM_KIND=") + KindName(e.kind),
        "VIVAZUZOZ_ALARM_TARGET=" + e.target,
        "VIVAZUZOZ_ALARM_VALUE=" + FormatTenths(e.value),
        "VIVAZUZOZ_ALARM_THRESHOLD=" + FormatTenths(e.threshold),
        "VIVAZUZOZ_ALARM_FRAME=" + std::to_string(e.frame),
    };
    std::vector<char*> envp;
    for (char** v = environ; v && *v; ++v)
        if (std::string(*v).rfind("VIVAZUZOZ_ALARM_", 0) != 0)
            envp.push_back(*v);
    for (std::string& v : variables)
        envp.push_back(&v[0]);
    envp.push_back(nullptr);
    const std::string folder = UserPath(".");
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (chdir(folder.c_str()) != 0)
            _exit(127);
        execve("/bin/sh", const_cast<char* const*>(argv), envp.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

CommandSyntax StreamSyntax()
{
    return {"stream",
            "Receive frames and report frame rate, temperatures, region figures and alarms",
            "",
            {kDeviceOption,
             {"frames", 'n', "N", "stop after N frames"},
             {"seconds", 's', "S", "stop after S seconds"},
             {"interval", 'i', "S", "report every S seconds (default 1)"},
             kRoiOption,
             kJsonOption,
             kAlarmAboveOption,
             kAlarmBelowOption,
             kHysteresisOption,
             {"exec", 'e', "CMD", "run CMD with /bin/sh whenever an alarm is raised or cleared"},
             {"exit-on-alarm", 0, nullptr, "end the stream with exit status 3 when an alarm is raised"},
             kReconnectOption,
             VIVAZUZOZ_SHUTTER_OPTIONS},
            0,
            0,
            "Without --frames or --seconds the stream runs until interrupted (Ctrl-C), and then ends\n"
            "with exit status 0; interrupted before its --frames or --seconds, it ends with 130.\n"
            "On a terminal the status line is updated in place, otherwise one line is printed per report.\n"
            "Each report gives the frames received, the frame rate and the temperature range so far and,\n"
            "per region, the minimum, maximum and mean of the latest frame, in degrees.\n"
            "\n"
            "--json prints one JSON object per line instead: {\"type\":\"report\",...} per report,\n"
            "{\"type\":\"alarm\",...} per alarm change, {\"type\":\"event\",\"event\":\"lost\"|\"stalled\"|\n"
            "\"back\"|\"error\",\"time\",\"message\",...} when the camera goes or comes back (also said on\n"
            "standard error), and {\"type\":\"summary\",...} at the end. Shutter (flat-field) corrections,\n"
            "commanded or the camera's own (seen as a frozen or flat picture), are events too:\n"
            "\"shutter-start\" and \"shutter-end\" with \"commanded\", \"fpa_temp\" and \"shutter_seconds\".\n"
            "Reports say whether the latest frame was taken during one (\"shutter\") or just after it\n"
            "(\"settling\") and count such frames; their temperatures are left out of the figures and\n"
            "the alarms, which hold their last good values.\n"
            "\n"
            "--shutter-every and --shutter-on-drift correct the shutter on a schedule or when the\n"
            "detector's temperature moved; a due correction waits while an alarm is raised, unless\n"
            "--shutter-during-alarm.\n"
            "\n"
            "Alarms watch the maximum of each region, or of the whole frame when no region is given.\n"
            "An --alarm-above alarm is raised when it rises above T and cleared when it falls to T minus\n"
            "the hysteresis; an --alarm-below alarm is raised below T and cleared at T plus the\n"
            "hysteresis, so noise does not make them flap. Each change is printed as a line\n"
            "(\"ALARM raised: ...\", \"Alarm cleared: ...\") and runs CMD once, in the current folder,\n"
            "with VIVAZUZOZ_ALARM_EVENT (raised or cleared), VIVAZUZOZ_ALARM_KIND (above or below),\n"
            "VIVAZUZOZ_ALARM_TARGET (frame or the region's name), VIVAZUZOZ_ALARM_VALUE and\n"
            "VIVAZUZOZ_ALARM_THRESHOLD (degrees) and VIVAZUZOZ_ALARM_FRAME in its environment. The\n"
            "stream waits for the commands it started before it exits.\n"
            "Regions and alarms need a stream with temperatures.\n"};
}

namespace {

// What the command line asks of a stream.
struct StreamOptions {
    int device = 0;
    uint64_t frameLimit = 0;  // 0: no limit
    double secondsLimit = 0;  // 0: no limit
    double interval = 1.0;
    WatchSetup watch;
    bool json = false;
    bool exitOnAlarm = false;
    bool reconnect = false;
    std::string command;  // --exec

    bool limited() const { return frameLimit != 0 || secondsLimit > 0; }
};

// The limits and the report interval. Returns kExitOk or a usage error's status.
int ParseLimits(Context& ctx, const ParsedArgs& args, StreamOptions& o)
{
    if (const int status = DeviceOption(ctx, "stream", args, o.device))
        return status;
    if (args.has("frames") && args.has("seconds"))
        return UsageError(ctx, "stream", "give --frames or --seconds, not both");
    long long frames = 0;
    if (const int status = IntegerOption(ctx, "stream", args, "frames", 1, INT32_MAX, 0, frames))
        return status;
    o.frameLimit = static_cast<uint64_t>(frames);
    if (args.has("seconds")) {
        const auto seconds = ParseDecimal(args.value("seconds"));
        if (!seconds || *seconds <= 0 || *seconds > 1e6)
            return UsageError(ctx, "stream", "--seconds takes a positive number, not '" + args.value("seconds") + "'");
        o.secondsLimit = *seconds;
    }
    if (args.has("interval")) {
        const auto value = ParseDecimal(args.value("interval"));
        if (!value || *value < 0.1 || *value > 86400)
            return UsageError(ctx, "stream",
                              "--interval takes seconds from 0.1 to 86400, not '" + args.value("interval") + "'");
        o.interval = *value;
    }
    o.json = args.has("json");
    o.exitOnAlarm = args.has("exit-on-alarm");
    o.reconnect = args.has("reconnect");
    o.command = args.value("exec");
    return kExitOk;
}

// The regions and the alarms on them, and what only the stream does on an
// alarm. Returns kExitOk or a usage error's status.
int ParseRegionsAndAlarms(Context& ctx, const ParsedArgs& args, StreamOptions& o)
{
    const bool alarms = args.has("alarm-above") || args.has("alarm-below");
    for (const char* name : {"exec", "exit-on-alarm"})
        if (args.has(name) && !alarms)
            return UsageError(ctx, "stream", "--" + std::string(name) + " needs --alarm-above or --alarm-below");
    return ParseWatches(ctx, "stream", args, o.watch);
}

// One stream from its first frame to its summary: the command's thread
// reports, prints alarms and starts their commands while the read thread
// counts frames into `state`.
class StreamRun {
public:
    StreamRun(Context& ctx, StreamingSession& session, StreamOptions& o)
        : ctx_(ctx),
          session_(session),
          o_(o),
          start_(Clock::now()),
          state_(o.frameLimit, o.watch.regions, std::move(o.watch.watches), start_),
          progress_(ctx.out, ctx.terminal && !o.json)
    {
    }

    // Streams until a limit, Ctrl-C, an alarm (--exit-on-alarm) or the
    // camera's loss ends it, then prints the summary. Returns the exit status.
    int Run()
    {
        CameraSession& camera = *session_.camera;
        camera.SetCallback(sink_);
        const auto loop = [this] { return Loop(); };
        RunEnd end = RunEnd::Going;
        if (const int status = StreamUntilEnd(ctx_, camera, loop, end))
            return status;
        return Finish(end, Report{state_.Figures(Clock::now()), state_.latest});
    }

private:
    // Reports until the stream ends; an alarm under --exit-on-alarm ends it
    // too (alarmed_ says so). Needs nothing locked.
    RunEnd Loop()
    {
        const auto updateEvery = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(ctx_.terminal && !o_.json ? 0.25 : o_.interval));
        auto nextUpdate = start_ + updateEvery;
        std::unique_lock<std::mutex> lock(state_.mutex);
        for (;;) {
            state_.changed.wait_for(lock, kPollInterval);
            if (TakeEvents(lock)) {
                alarmed_ = true;
                return RunEnd::Done;
            }
            HoldCorrectionsDuringAlarms(*session_.camera, state_.watches);
            lock.unlock();
            SayCameraEvents();
            lock.lock();
            const Clock::time_point now = Clock::now();
            const bool limitReached = (o_.frameLimit && state_.frames >= o_.frameLimit) ||
                                      (o_.secondsLimit > 0 &&
                                       now - start_ >= std::chrono::duration<double>(o_.secondsLimit));
            if (const RunEnd end = CheckRunEnd(*session_.camera, o_.limited(), limitReached); end != RunEnd::Going)
                return end;
            if (now >= nextUpdate) {
                const Report report{state_.Figures(now), state_.latest};
                lock.unlock();
                PrintReport(report);
                lock.lock();
                nextUpdate = now + updateEvery;
            }
        }
    }

    // The camera's losses and returns: a line on the error stream, and an
    // event object among the results with --json.
    void SayCameraEvents()
    {
        for (const SessionEvent& event : session_.events.TakeAll()) {
            if (event.kind == SessionEvent::Kind::Opened || event.kind == SessionEvent::Kind::Closed)
                continue;
            progress_.Finish();
            SayEvent(ctx_, event, "stream");
            if (o_.json) {
                std::fprintf(ctx_.out, "%s\n", EventJson(event).c_str());
                std::fflush(ctx_.out);
            }
        }
    }

    // Prints the alarm changes the read thread queued and starts their
    // commands; reaps commands that ended. True when --exit-on-alarm ends
    // the stream. Needs state_.mutex held (through `lock`).
    bool TakeEvents(std::unique_lock<std::mutex>& lock)
    {
        bool stop = false;
        while (!state_.events.empty() && !stop) {
            const AlarmEvent event = state_.events.front();
            state_.events.pop_front();
            lock.unlock();
            progress_.Finish();
            std::fprintf(ctx_.out, "%s\n", o_.json ? AlarmJson(event).c_str() : AlarmText(event).c_str());
            std::fflush(ctx_.out);
            if (!o_.command.empty()) {
                const pid_t pid = StartAlarmCommand(o_.command, event);
                if (pid > 0)
                    children_.push_back(pid);
                else
                    execFailed_ = true;
            }
            lock.lock();
            stop = event.raised && o_.exitOnAlarm;
        }
        for (auto it = children_.begin(); it != children_.end();)
            it = waitpid(*it, nullptr, WNOHANG) == 0 ? it + 1 : children_.erase(it);
        return stop;
    }

    void PrintReport(const Report& report)
    {
        if (o_.json) {
            std::fprintf(ctx_.out, "%s\n", ReportJson("report", report, o_.watch.regions).c_str());
            std::fflush(ctx_.out);
        } else {
            progress_.Update(ReportText(report, o_.watch.regions));
        }
    }

    // The summary, the alarm commands waited for, and the exit status.
    int Finish(RunEnd end, const Report& final)
    {
        progress_.Finish();
        if (o_.json)
            std::fprintf(ctx_.out, "%s\n", ReportJson("summary", final, o_.watch.regions).c_str());
        else
            std::fprintf(ctx_.out, "Received %s\n", ReportText(final, o_.watch.regions).c_str());
        std::fflush(ctx_.out);
        for (const pid_t pid : children_)
            waitpid(pid, nullptr, 0);
        if (execFailed_)
            Fail(ctx_, "could not start the --exec command");
        if (alarmed_)
            return kExitAlarm;
        if (end == RunEnd::Done && execFailed_)
            return kExitFailure;
        return EndStatus(ctx_, end, *session_.camera, "stream");
    }

    Context& ctx_;
    StreamingSession& session_;
    const StreamOptions& o_;
    const Clock::time_point start_;
    StreamState state_;
    ProgressLine progress_;
    const FrameStream::Callback sink_ = [this](const FrameRef& f) { state_.Count(f); };
    // Command thread only.
    std::vector<pid_t> children_;
    bool execFailed_ = false;
    bool alarmed_ = false;  // --exit-on-alarm ended the stream
};

}  // namespace

int RunStream(Context& ctx, const ParsedArgs& args)
{
    StreamOptions options;
    if (const int status = ParseLimits(ctx, args, options))
        return status;
    if (const int status = ParseRegionsAndAlarms(ctx, args, options))
        return status;
    SessionOptions sessionOptions = StreamingOptions(options.device, options.reconnect);
    if (const int status = ParseShutterPolicy(ctx, "stream", args, sessionOptions.shutter))
        return status;
    StreamingSession session;
    if (const int status = OpenStreaming(ctx, session, std::move(sessionOptions)))
        return status;
    if (const int status = CheckCameraFits(ctx, "stream", *session.camera, options.watch))
        return status;
    return StreamRun(ctx, session, options).Run();
}

}  // namespace vivatool

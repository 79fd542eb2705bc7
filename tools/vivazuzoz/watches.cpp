#include "watches.h"

#include "plane_stats.h"

#include <VIVAZUZOZ.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vivaclient/number_text.h>
#include <vivaclient/settings.h>
#include <vivaclient/thermal_snapshot.h>

namespace vivatool {
using namespace vivaclient;

const char* KindName(AlarmKind kind)
{
    return kind == AlarmKind::Above ? "above" : "below";
}

const OptionSyntax kRoiOption{"roi",
                              'r',
                              "[NAME=]X,Y,W,H[,emissivity=E]",
                              "report min, max and mean of this region (pixels; unnamed ones are roi1, roi2, "
                              "...), corrected to its own emissivity E when given",
                              false,
                              nullptr,
                              true};
const OptionSyntax kAlarmAboveOption{"alarm-above", 0, "T", "alarm when the maximum rises above T degrees"};
const OptionSyntax kAlarmBelowOption{"alarm-below", 0, "T", "alarm when the maximum falls below T degrees"};
const OptionSyntax kHysteresisOption{"hysteresis", 0, "D",
                                     "degrees the maximum must move back to clear an alarm (default 1)"};
const OptionSyntax kReconnectOption{"reconnect", 0, nullptr,
                                    "when the camera is lost, wait for it to come back to the same USB port and go on"};

const OptionSyntax kShutterEveryOption{
    "shutter-every", 0, "DURATION",
    "correct the shutter (flat field) every DURATION: seconds, or with s, m or h (90, 5m, 1h)"};
const OptionSyntax kShutterOnDriftOption{"shutter-on-drift", 0, "D",
                                         "correct the shutter when the detector (FPA) temperature, read every 2 s, "
                                         "moved D degrees since the last correction"};
const OptionSyntax kShutterDuringAlarmOption{"shutter-during-alarm", 0, nullptr,
                                             "let the policy correct while an alarm is raised (else it waits)"};
const OptionSyntax kShutterSettleOption{
    "shutter-settle", 0, "S",
    "frames up to S seconds after a correction are flagged settling and ignored by figures and alarms (default 1)"};

namespace {

// "90", "90s", "5m", "1h" in seconds; nothing for anything else.
std::optional<double> ParseDuration(std::string text)
{
    double unit = 1;
    if (!text.empty() && (text.back() == 's' || text.back() == 'm' || text.back() == 'h')) {
        unit = text.back() == 'h' ? 3600 : text.back() == 'm' ? 60 : 1;
        text.pop_back();
    }
    const auto value = ParseDecimal(text);
    if (!value)
        return std::nullopt;
    return *value * unit;
}

// --NAME in degrees as tenths. Returns kExitOk, or kExitUsage with a usage
// error reported.
int Degrees(Context& ctx, const char* command, const ParsedArgs& args, const char* name, int& tenths)
{
    const auto value = ParseDecimal(args.value(name));
    if (!value || std::fabs(*value) > 3000)
        return UsageError(ctx, command,
                          "--" + std::string(name) + " takes degrees from -3000 to 3000, not '" + args.value(name) +
                              "'");
    tenths = static_cast<int>(std::lround(*value * 10));
    return kExitOk;
}

}  // namespace

int ParseWatches(Context& ctx, const char* command, const ParsedArgs& args, WatchSetup& setup)
{
    for (const std::string& text : args.all("roi")) {
        Region region;
        if (const std::string error = ParseRegion(text, static_cast<int>(setup.regions.size()) + 1, region);
            !error.empty())
            return UsageError(ctx, command, error);
        for (const Region& r : setup.regions)
            if (r.name == region.name)
                return UsageError(ctx, command, "two regions are called " + r.name);
        setup.regions.push_back(region);
    }
    const bool alarms = args.has("alarm-above") || args.has("alarm-below");
    if (args.has("hysteresis") && !alarms)
        return UsageError(ctx, command, "--hysteresis needs --alarm-above or --alarm-below");
    int hysteresis = 10;
    if (args.has("hysteresis")) {
        if (const int status = Degrees(ctx, command, args, "hysteresis", hysteresis))
            return status;
        if (hysteresis < 0)
            return UsageError(ctx, command, "--hysteresis may not be negative");
    }
    for (const auto& [name, kind] : {std::pair<const char*, AlarmKind>{"alarm-above", AlarmKind::Above},
                                     std::pair<const char*, AlarmKind>{"alarm-below", AlarmKind::Below}}) {
        if (!args.has(name))
            continue;
        AlarmRule rule{kind, 0, hysteresis};
        if (const int status = Degrees(ctx, command, args, name, rule.threshold))
            return status;
        if (setup.regions.empty())
            setup.watches.push_back(Watch{"frame", -1, Alarm(rule)});
        for (size_t i = 0; i < setup.regions.size(); ++i)
            setup.watches.push_back(Watch{setup.regions[i].name, static_cast<int>(i), Alarm(rule)});
    }
    return kExitOk;
}

int ParseShutterPolicy(Context& ctx, const char* command, const ParsedArgs& args, ShutterPolicy& policy)
{
    using Millis = std::chrono::milliseconds;
    if (args.has("shutter-every")) {
        const auto seconds = ParseDuration(args.value("shutter-every"));
        if (!seconds || *seconds < 1 || *seconds > 7 * 86400)
            return UsageError(ctx, command,
                              "--shutter-every takes a duration from 1 s to 7 days, like 90, 5m or 1h, not '" +
                                  args.value("shutter-every") + "'");
        policy.every = Millis(std::lround(*seconds * 1000));
    }
    if (args.has("shutter-on-drift")) {
        const auto degrees = ParseDecimal(args.value("shutter-on-drift"));
        if (!degrees || *degrees < 0.01 || *degrees > 100)
            return UsageError(ctx, command,
                              "--shutter-on-drift takes degrees from 0.01 to 100, not '" +
                                  args.value("shutter-on-drift") + "'");
        policy.onDrift = *degrees;
    }
    if (args.has("shutter-settle")) {
        const auto seconds = ParseDecimal(args.value("shutter-settle"));
        if (!seconds || *seconds < 0 || *seconds > 600)
            return UsageError(ctx, command,
                              "--shutter-settle takes seconds from 0 to 600, not '" + args.value("shutter-settle") +
                                  "'");
        policy.settleTime = Millis(std::lround(*seconds * 1000));
    }
    policy.duringAlarm = args.has("shutter-during-alarm");
    if (policy.duringAlarm && !policy.commands())
        return UsageError(ctx, command, "--shutter-during-alarm needs --shutter-every or --shutter-on-drift");
    return kExitOk;
}

void HoldCorrectionsDuringAlarms(CameraSession& session, const std::vector<Watch>& watches)
{
    session.HoldCorrections(
        std::any_of(watches.begin(), watches.end(), [](const Watch& w) { return w.alarm.raised(); }));
}

// The camera's values a region's emissivity is corrected from. Returns
// kExitOk or the status of the failure it reported.
int ReadRadiometry(Context& ctx, CameraSession& camera, CameraRadiometry& radiometry)
{
    OZL_USB_ENV_PARAM env{};
    const Call call{"OZL_USB_GetEnvParam", camera.Command([&](unsigned long handle) {
                        const int result = OZL_USB_GetEnvParam(handle, &env);
                        radiometry.unit = ReadDeclaredUnit(handle);
                        return result;
                    })};
    if (!call.ok())
        return FailCall(ctx, call);
    radiometry.emissivity = EnvUnitsOfFloat(env.emissivity) / 10000.0;
    radiometry.reflectedTemp = EnvUnitsOfFloat(env.reflectedTemp) / 10000.0;
    return kExitOk;
}

int CheckCameraFits(Context& ctx, const char* command, CameraSession& camera, WatchSetup& setup)
{
    if (setup.regions.empty() && setup.watches.empty())
        return kExitOk;
    if (!camera.withTemps())
        return Fail(ctx, "regions and alarms need temperatures, and this camera's stream carries none");
    for (const Region& r : setup.regions)
        if (const std::string error = CheckRegion(r, camera.width(), camera.height()); !error.empty())
            return UsageError(ctx, command, error);
    const bool ownEmissivity = std::any_of(setup.regions.begin(), setup.regions.end(),
                                           [](const Region& r) { return r.emissivity > 0; });
    CameraRadiometry radiometry;
    if (!ownEmissivity)
        return kExitOk;
    if (const int status = ReadRadiometry(ctx, camera, radiometry))
        return status;
    for (Region& r : setup.regions)
        if (const std::string error = PrepareEmissivity(r, radiometry); !error.empty())
            return Fail(ctx, error);
    return kExitOk;
}

std::vector<RegionFigures> MeasureRegions(const FrameRef& frame, const std::vector<Region>& regions)
{
    std::vector<RegionFigures> figures;
    figures.reserve(regions.size());
    for (const Region& r : regions)
        figures.push_back(CheckRegion(r, frame.width, frame.height).empty() ? MeasureRegion(frame.temps, frame.width, r)
                                                                             : RegionFigures{});
    return figures;
}

void FeedAlarms(std::vector<Watch>& watches, int frameMax, const std::vector<RegionFigures>& figures,
                const FrameRef& frame, uint64_t frameCount, double seconds, std::vector<AlarmEvent>& events)
{
    if (frame.flagged())
        return;
    for (Watch& w : watches) {
        const int value = w.region < 0 ? frameMax : figures[static_cast<size_t>(w.region)].max;
        const AlarmChange change = w.alarm.Feed(value);
        if (change != AlarmChange::None)
            events.push_back(AlarmEvent{change == AlarmChange::Raised, w.alarm.rule().kind, w.target, value,
                                        w.alarm.rule().threshold, frameCount, seconds, frame.arrival});
    }
}

}  // namespace vivatool

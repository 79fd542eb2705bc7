// watches.h - what `stream` and `monitor` watch in every frame: the regions
// of --roi and the alarms of --alarm-above/--alarm-below with --hysteresis,
// read from the command line, checked against the camera and fed frame by
// frame; and --reconnect's way back to a lost camera's stream.
#pragma once

#include "alarm.h"
#include "regions.h"
#include "tool_support.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vivatool {

// One alarm on one thing watched: the whole frame or a region.
struct Watch {
    std::string target;  // "frame" or the region's name
    int region;          // index into the regions, -1 for the whole frame
    Alarm alarm;
};

struct AlarmEvent {
    bool raised;
    AlarmKind kind;
    std::string target;
    int value;      // tenths: the maximum that crossed
    int threshold;  // tenths
    uint64_t frame;
    double seconds;                              // since the command started
    vivaclient::FrameClock::time_point arrival;  // of the frame that crossed
};

// "above" or "below".
const char* KindName(AlarmKind kind);

// The options behind WatchSetup, for a command's syntax.
extern const OptionSyntax kRoiOption;
extern const OptionSyntax kAlarmAboveOption;
extern const OptionSyntax kAlarmBelowOption;
extern const OptionSyntax kHysteresisOption;
extern const OptionSyntax kReconnectOption;
// The shutter correction policy, the same in every command that streams.
extern const OptionSyntax kShutterEveryOption;
extern const OptionSyntax kShutterOnDriftOption;
extern const OptionSyntax kShutterDuringAlarmOption;
extern const OptionSyntax kShutterSettleOption;
#define VIVAZUZOZ_SHUTTER_OPTIONS \
    kShutterEveryOption, kShutterOnDriftOption, kShutterDuringAlarmOption, kShutterSettleOption

// The regions and the alarms on them (on every region, or on the whole
// frame when there is none).
struct WatchSetup {
    std::vector<Region> regions;
    std::vector<Watch> watches;
};

// Reads --roi, --alarm-above, --alarm-below and --hysteresis. Returns
// kExitOk or the status of the usage error it reported for `command`.
int ParseWatches(Context& ctx, const char* command, const ParsedArgs& args, WatchSetup& setup);

// Reads --shutter-every, --shutter-on-drift, --shutter-during-alarm and
// --shutter-settle into `policy`. Returns kExitOk or the status
// of the usage error it reported for `command`.
int ParseShutterPolicy(Context& ctx, const char* command, const ParsedArgs& args, vivaclient::ShutterPolicy& policy);
// Holds the session's corrections while any alarm is raised.
void HoldCorrectionsDuringAlarms(vivaclient::CameraSession& session, const std::vector<Watch>& watches);

// Regions and alarms need temperatures, and regions inside the frame; a
// region with an emissivity of its own gets its correction from the
// camera's emissivity and reflected temperature, read now. Returns kExitOk
// or the status of the failure it reported.
int CheckCameraFits(Context& ctx, const char* command, vivaclient::CameraSession& camera, WatchSetup& setup);

// Each region's figures of one frame with temperatures (zeros for a region
// outside the frame).
std::vector<RegionFigures> MeasureRegions(const vivaclient::FrameRef& frame, const std::vector<Region>& regions);

// Feeds each alarm its value of the frame (nothing for a frame the session
// flagged as taken during or just after a shutter correction: the alarms
// hold their state through it) (the frame's or its region's
// maximum) and appends the raises and clears to `events`.
void FeedAlarms(std::vector<Watch>& watches, int frameMax, const std::vector<RegionFigures>& figures,
                const vivaclient::FrameRef& frame, uint64_t frameCount, double seconds,
                std::vector<AlarmEvent>& events);

}  // namespace vivatool

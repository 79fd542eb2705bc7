// monitor_state.h - what `vivazuzoz monitor` measures of a camera's frames
// (the whole frame's and each region's figures, the alarms), shared by its
// read thread, its own thread and the metrics server, and the MQTT payloads
// made of it.
#pragma once

#include "metrics.h"
#include "regions.h"
#include "watches.h"

#include <vivaclient/camera_session.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vivatool::monitor {

using Clock = std::chrono::steady_clock;

// Figures of one target ("frame" or a region) in one frame.
struct TargetFigures {
    RegionFigures figures;
    Clock::time_point arrival;
};

// A target's state payload: {"min","max","mean","hottest":{"x","y"},"time"}.
std::string StateJson(const TargetFigures& t);

// An alarm change's event payload: {"event":"raised"|"cleared","camera",...}.
std::string AlarmEventJson(const std::string& camera, const AlarmEvent& e);

// What the read thread measures, and what the command's thread and the
// metrics server read of it.
struct MonitorState {
    MonitorState(std::vector<Region> regionList, std::vector<Watch> watchList)
        : regions(std::move(regionList)), watches(std::move(watchList))
    {
    }

    const std::vector<Region> regions;
    mutable std::mutex mutex;
    std::condition_variable changed;
    // Guarded by `mutex`: written by the read thread (frames, figures,
    // alarms, events) and the command's thread (live).
    uint64_t frames = 0;
    uint64_t lastSequence = 0;
    uint64_t firstSequence = 0;  // of the first frame received
    bool withTemps = false;
    Clock::time_point last;
    std::vector<TargetFigures> latest;  // "frame", then each region
    std::vector<Watch> watches;
    std::vector<AlarmEvent> events;  // taken by the command's thread
    bool live = true;

    // Read thread: measures a frame, feeds the alarms.
    void Count(const vivaclient::FrameRef& frame);

    // "frame", then each region's name. Needs `mutex` held.
    std::vector<std::string> Targets() const;

    // The metrics of the camera `camera` (named `name`); `session`: its
    // losses and stalls, counted where they happen. Takes `mutex`.
    CameraMetrics Metrics(const std::string& camera, const std::string& name,
                          const vivaclient::CameraSession::Counters& session) const;
};

}  // namespace vivatool::monitor

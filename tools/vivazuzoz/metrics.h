// metrics.h - cameras' figures in Prometheus's text exposition format
// (version 0.0.4), as `monitor --metrics` and `serve` answer GET /metrics:
// one format, below both commands.
#pragma once

#include <vivaclient/camera_session.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vivatool {

// Temperatures in tenths of a degree, in the camera's unit.
struct RegionMetrics {
    std::string name;  // "frame" for the whole frame
    int min = 0;
    int max = 0;
    double mean = 0;
};

struct AlarmMetrics {
    std::string target;  // "frame" or a region's name
    std::string kind;    // "above" or "below"
    int threshold = 0;   // tenths
    bool raised = false;
};

struct CameraMetrics {
    std::string camera;  // the camera's label (monitor's camera id, serve's index)
    std::string name;    // the camera's product name
    bool up = false;     // open and streaming
    uint64_t frames = 0;   // received since the start
    uint64_t dropped = 0;  // lost on the way (sequence numbers skipped)
    uint64_t unplugs = 0;  // times the camera was lost or stalled
    uint64_t resumes = 0;  // times it came back: gaps in the stream
    double secondsAway = 0;  // without frames because it was lost or stalled
    double fps = 0;        // recent frame rate
    uint64_t corrections = 0;            // shutter corrections, commanded and the camera's own
    double secondsSinceCorrection = -1;  // since the last one ended; < 0 before the first
    bool withTemps = false;  // the regions' figures are valid
    // The temperatures' unit as files name it ("degC", "degF", "K"; "unit N"
    // when nobody declared the camera's number): every temperature's `unit`
    // label, so that a camera set to Fahrenheit is never read as Celsius.
    std::string unit = "unknown";
    std::vector<RegionMetrics> regions;
    std::vector<AlarmMetrics> alarms;
};

// The session's counts of losses, returns, time away and shutter corrections into `m`.
void TakeSessionCounts(CameraMetrics& m, const vivaclient::CameraSession::Counters& counters);

// The exposition text of every camera's figures: one HELP and TYPE line per
// metric, then its samples. Regions' temperatures appear only for cameras
// with temperatures (a gap in a graph rather than a false 0). Temperatures
// carry the label unit="degC" (CameraMetrics::unit).
std::string RenderMetrics(const std::vector<CameraMetrics>& cameras);

// The Content-Type of that text.
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace vivatool

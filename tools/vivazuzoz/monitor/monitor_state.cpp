#include "monitor_state.h"

#include "json.h"
#include "plane_stats.h"
#include "temperature_csv.h"

#include <ctime>

namespace vivatool::monitor {
using namespace vivaclient;

namespace {

// `arrival` on the wall clock, as ISO 8601 UTC with milliseconds.
std::string WallTime(Clock::time_point arrival)
{
    const auto wall = std::chrono::system_clock::now() -
                      std::chrono::duration_cast<std::chrono::system_clock::duration>(Clock::now() - arrival);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

}  // namespace

std::string StateJson(const TargetFigures& t)
{
    JsonWriter json;
    json.BeginObject().Key("min").Raw(FormatTenths(t.figures.min)).Key("max").Raw(FormatTenths(t.figures.max));
    json.Key("mean").Raw(FormatMeanTenths(t.figures.mean));
    json.Key("hottest").BeginObject().Key("x").Int(t.figures.hottestX).Key("y").Int(t.figures.hottestY).EndObject();
    json.Key("time").String(WallTime(t.arrival)).EndObject();
    return json.str();
}

std::string AlarmEventJson(const std::string& camera, const AlarmEvent& e)
{
    JsonWriter json;
    json.BeginObject().Key("event").String(e.raised ? "raised" : "cleared").Key("camera").String(camera);
    json.Key("kind").String(KindName(e.kind)).Key("target").String(e.target);
    json.Key("value").Raw(FormatTenths(e.value)).Key("threshold").Raw(FormatTenths(e.threshold));
    json.Key("frame").Int(static_cast<long long>(e.frame)).Key("time").String(WallTime(e.arrival)).EndObject();
    return json.str();
}

void MonitorState::Count(const FrameRef& frame)
{
    PlaneStats whole;
    std::vector<RegionFigures> regionFigures;
    std::vector<TargetFigures> figures;
    // Figures hold their last good values through a shutter correction.
    const bool measure = frame.temps && !frame.flagged();
    if (measure) {
        whole = ComputeStats(frame.temps, frame.width, frame.height);
        regionFigures = MeasureRegions(frame, regions);
        figures.push_back(
            {RegionFigures{whole.min, whole.max, whole.mean, whole.hottestX, whole.hottestY}, frame.arrival});
        for (const RegionFigures& r : regionFigures)
            figures.push_back({r, frame.arrival});
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (frames++ == 0)
        firstSequence = frame.sequence;
    lastSequence = frame.sequence;
    last = Clock::now();
    withTemps = frame.temps != nullptr;
    if (measure) {
        FeedAlarms(watches, whole.max, regionFigures, frame, frames, 0, events);
        latest = std::move(figures);
    }
    changed.notify_all();
}

std::vector<std::string> MonitorState::Targets() const
{
    std::vector<std::string> names = {"frame"};
    for (const Region& r : regions)
        names.push_back(r.name);
    return names;
}

CameraMetrics MonitorState::Metrics(const std::string& camera, const std::string& name,
                                    const CameraSession::Counters& session) const
{
    std::lock_guard<std::mutex> lock(mutex);
    CameraMetrics m;
    m.camera = camera;
    m.name = name;
    m.up = live;
    m.frames = frames;
    m.dropped = frames ? lastSequence - firstSequence + 1 - frames : 0;
    TakeSessionCounts(m, session);
    m.fps = live ? session.recentFps : 0;  // the session's own measure, as serve's /metrics
    m.withTemps = withTemps && !latest.empty();
    const std::vector<std::string> names = Targets();
    for (size_t i = 0; i < latest.size() && i < names.size(); ++i)
        m.regions.push_back({names[i], latest[i].figures.min, latest[i].figures.max, latest[i].figures.mean});
    for (const Watch& w : watches)
        m.alarms.push_back({w.target, KindName(w.alarm.rule().kind), w.alarm.rule().threshold, w.alarm.raised()});
    return m;
}

}  // namespace vivatool::monitor

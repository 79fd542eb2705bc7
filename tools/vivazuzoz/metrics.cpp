#include "metrics.h"

#include <cmath>
#include <cstdio>
#include <functional>

namespace vivatool {
using namespace vivaclient;

namespace {

// A label value with \, " and line feeds escaped, as the format asks.
std::string LabelValue(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Number(double value)
{
    if (!std::isfinite(value))
        return std::isnan(value) ? "NaN" : (value > 0 ? "+Inf" : "-Inf");
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string Tenths(double tenths)
{
    return Number(std::round(tenths) / 10.0);
}

class Writer {
public:
    using Labels = std::vector<std::pair<std::string, std::string>>;

    void Family(const char* name, const char* type, const char* help)
    {
        name_ = name;
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }

    void Sample(const Labels& labels, const std::string& value)
    {
        text_ += name_ + "{";
        for (size_t i = 0; i < labels.size(); ++i)
            text_ += (i ? "," : "") + labels[i].first + "=\"" + LabelValue(labels[i].second) + "\"";
        text_ += "} " + value + "\n";
    }

    std::string text_;

private:
    std::string name_;
};

using CameraFigure = std::function<std::string(const CameraMetrics&)>;

struct CameraFamily {
    const char* name;
    const char* type;
    const char* help;
    CameraFigure value;
};

const CameraFamily kCameraFamilies[] = {
    {"vivazuzoz_camera_up", "gauge", "1 while the camera is open and streaming, else 0.",
     [](const CameraMetrics& c) { return std::string(c.up ? "1" : "0"); }},
    {"vivazuzoz_frames_total", "counter", "Frames received from the camera.",
     [](const CameraMetrics& c) { return std::to_string(c.frames); }},
    {"vivazuzoz_frames_dropped_total", "counter", "Frames the camera sent that never arrived whole.",
     [](const CameraMetrics& c) { return std::to_string(c.dropped); }},
    {"vivazuzoz_camera_unplugs_total", "counter", "Times the camera was lost (unplugged or no longer answering).",
     [](const CameraMetrics& c) { return std::to_string(c.unplugs); }},
    {"vivazuzoz_camera_resumes_total", "counter",
     "Times the camera came back after it was lost or stalled (gaps in the stream).",
     [](const CameraMetrics& c) { return std::to_string(c.resumes); }},
    {"vivazuzoz_camera_away_seconds_total", "counter", "Seconds without frames because the camera was lost or stalled.",
     [](const CameraMetrics& c) { return Number(std::round(c.secondsAway * 1000) / 1000); }},
    {"vivazuzoz_frame_rate_fps", "gauge", "Frames received per second, recently.",
     [](const CameraMetrics& c) { return Number(std::round(c.fps * 100) / 100); }},
    {"vivazuzoz_shutter_corrections_total", "counter",
     "Shutter (flat-field) corrections, commanded and the camera's own seen in its frames.",
     [](const CameraMetrics& c) { return std::to_string(c.corrections); }},
    {"vivazuzoz_shutter_last_correction_seconds", "gauge",
     "Seconds since the last shutter correction ended (NaN before the first).",
     [](const CameraMetrics& c) {
         return c.secondsSinceCorrection < 0 ? std::string("NaN")
                                             : Number(std::round(c.secondsSinceCorrection * 10) / 10);
     }},
};

using RegionFigure = double (*)(const RegionMetrics&);

struct RegionFamily {
    const char* name;
    const char* help;
    RegionFigure value;
};

const RegionFamily kRegionFamilies[] = {
    {"vivazuzoz_temperature_min_degrees", "Lowest temperature of the region in the latest frame.",
     [](const RegionMetrics& r) { return static_cast<double>(r.min); }},
    {"vivazuzoz_temperature_max_degrees", "Highest temperature of the region in the latest frame.",
     [](const RegionMetrics& r) { return static_cast<double>(r.max); }},
    {"vivazuzoz_temperature_mean_degrees", "Mean temperature of the region in the latest frame.",
     [](const RegionMetrics& r) { return r.mean; }},
};

}  // namespace

void TakeSessionCounts(CameraMetrics& m, const vivaclient::CameraSession::Counters& counters)
{
    m.unplugs = counters.losses + counters.stalls;
    m.resumes = counters.resumes;
    m.secondsAway = counters.secondsAway;
    m.corrections = counters.corrections;
    if (counters.lastCorrection != vivaclient::FrameClock::time_point{})
        m.secondsSinceCorrection =
            std::chrono::duration<double>(vivaclient::FrameClock::now() - counters.lastCorrection).count();
}

std::string RenderMetrics(const std::vector<CameraMetrics>& cameras)
{
    Writer out;
    for (const CameraFamily& family : kCameraFamilies) {
        out.Family(family.name, family.type, family.help);
        for (const CameraMetrics& c : cameras)
            out.Sample({{"camera", c.camera}, {"name", c.name}}, family.value(c));
    }
    for (const RegionFamily& family : kRegionFamilies) {
        out.Family(family.name, "gauge", family.help);
        for (const CameraMetrics& c : cameras)
            if (c.withTemps)
                for (const RegionMetrics& r : c.regions)
                    out.Sample({{"camera", c.camera}, {"region", r.name}, {"unit", c.unit}}, Tenths(family.value(r)));
    }
    out.Family("vivazuzoz_alarm_active", "gauge", "1 while the alarm is raised, else 0.");
    for (const CameraMetrics& c : cameras)
        for (const AlarmMetrics& a : c.alarms)
            out.Sample({{"camera", c.camera}, {"region", a.target}, {"kind", a.kind}}, a.raised ? "1" : "0");
    out.Family("vivazuzoz_alarm_threshold_degrees", "gauge", "The temperature at which the alarm is raised.");
    for (const CameraMetrics& c : cameras)
        for (const AlarmMetrics& a : c.alarms)
            out.Sample({{"camera", c.camera}, {"region", a.target}, {"kind", a.kind}, {"unit", c.unit}},
                       Tenths(a.threshold));
    return out.text_;
}

}  // namespace vivatool

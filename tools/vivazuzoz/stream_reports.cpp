#include "stream_reports.h"

#include "json.h"
#include "temperature_csv.h"

#include <cstdio>

namespace vivatool {

std::string ReportText(const Report& report, const std::vector<Region>& regions)
{
    std::string text = DescribeStream(report.figures);
    if (report.latest.size() == regions.size())
        for (size_t i = 0; i < regions.size(); ++i)
            text += "; " + regions[i].name + " min " + FormatTenths(report.latest[i].min) + " max " +
                    FormatTenths(report.latest[i].max) + " mean " + FormatMeanTenths(report.latest[i].mean);
    return text;
}

std::string ReportJson(const char* type, const Report& report, const std::vector<Region>& regions)
{
    const StreamFigures& f = report.figures;
    JsonWriter json;
    json.BeginObject()
        .Key("type")
        .String(type)
        .Key("seconds")
        .Number(f.seconds, 1)
        .Key("frames")
        .Int(static_cast<long long>(f.frames));
    json.Key("fps").Number(f.rate, 1).Key("temperatures").Bool(f.withTemp);
    json.Key("shutter").Bool(f.shutter).Key("settling").Bool(f.settling);
    json.Key("shutter_frames").Int(static_cast<long long>(f.shutterFrames));
    json.Key("settling_frames").Int(static_cast<long long>(f.settlingFrames));
    if (f.withTemp && f.frames > 0)
        json.Key("min").Raw(FormatTenths(f.min)).Key("max").Raw(FormatTenths(f.max));
    if (!regions.empty() && report.latest.size() == regions.size()) {
        json.Key("regions").BeginObject();
        for (size_t i = 0; i < regions.size(); ++i) {
            const Region& r = regions[i];
            json.Key(r.name)
                .BeginObject()
                .Key("x")
                .Int(r.x)
                .Key("y")
                .Int(r.y)
                .Key("width")
                .Int(r.width)
                .Key("height")
                .Int(r.height);
            json.Key("min").Raw(FormatTenths(report.latest[i].min)).Key("max").Raw(FormatTenths(report.latest[i].max));
            json.Key("mean").Raw(FormatMeanTenths(report.latest[i].mean)).EndObject();
        }
        json.EndObject();
    }
    json.EndObject();
    return json.str();
}

std::string AlarmText(const AlarmEvent& e)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.1f", e.seconds);
    const std::string what = e.target + " max " + FormatTenths(e.value);
    if (e.raised)
        return std::string("ALARM raised: ") + what + " is " + KindName(e.kind) + " " + FormatTenths(e.threshold) +
               " (frame " + std::to_string(e.frame) + ", " + time + " s)";
    return "Alarm cleared: " + what + " is back " + (e.kind == AlarmKind::Above ? "below " : "above ") +
           FormatTenths(e.threshold) + " (frame " + std::to_string(e.frame) + ", " + time + " s)";
}

std::string AlarmJson(const AlarmEvent& e)
{
    JsonWriter json;
    json.BeginObject().Key("type").String("alarm").Key("event").String(e.raised ? "raised" : "cleared");
    json.Key("kind").String(KindName(e.kind)).Key("target").String(e.target);
    json.Key("value").Raw(FormatTenths(e.value)).Key("threshold").Raw(FormatTenths(e.threshold));
    json.Key("frame").Int(static_cast<long long>(e.frame)).Key("seconds").Number(e.seconds, 1).EndObject();
    return json.str();
}

}  // namespace vivatool

#include "snapshot_output.h"

#include "json.h"
#include "plane_stats.h"
#include "png_writer.h"
#include "temperature_csv.h"

#include <vivaclient/radiometric_jpeg.h>
#include <vivaclient/temperature_tiff.h>

#include <cmath>
#include <vivaclient/colormaps.h>

namespace vivatool {
using namespace vivaclient;

int ChooseSnapshotFormat(Context& ctx, const ParsedArgs& args, const std::string& typed, SnapshotFormat& format)
{
    if (args.has("format")) {
        const auto chosen = ParseSnapshotFormat(args.value("format"));
        if (!chosen)
            return UsageError(ctx, "snapshot",
                              "unknown format '" + args.value("format") + "'; formats are: " + SnapshotFormatNames());
        format = *chosen;
        return kExitOk;
    }
    const size_t slash = typed.rfind('/');
    const size_t dot = typed.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const auto byName = FormatOfName(typed);
    if (hasExtension && !byName)
        return UsageError(ctx, "snapshot",
                          "cannot tell the format of '" + typed +
                              "' from its extension; name it .png, .tiff, .jpg or .csv, or give --format " +
                              SnapshotFormatNames());
    format = byName.value_or(SnapshotFormat::Png);
    return kExitOk;
}

bool FormatNeedsTemperatures(SnapshotFormat format)
{
    return format != SnapshotFormat::Png;
}

std::string WriteSnapshot(SnapshotFormat format, const std::string& file, const std::string& typed,
                          const ThermalSnapshot& shot, const ColormapInfo& palette, std::string& what)
{
    const bool withTemp = !shot.tenths.empty();
    std::string error;
    switch (format) {
    case SnapshotFormat::Png: {
        const auto rgb = withTemp ? Colourise(shot.tenths.data(), shot.width, shot.height, palette.build())
                                  : Colourise(shot.image.data(), shot.width, shot.height, palette.build());
        error = WritePng(file, shot.width, shot.height, rgb);
        what = std::string(palette.name) + " colormap";
        break;
    }
    case SnapshotFormat::Csv:
        error = WriteTemperatureCsv(file, shot.tenths.data(), shot.width, shot.height);
        what = "degrees, one row per line";
        break;
    case SnapshotFormat::Tiff:
        error = WriteTemperatureTiff(file, shot);
        what = "temperatures in " + shot.facts.unit.symbol + " as 32-bit floats" +
               (shot.image.empty() ? "" : ", then the image in raw counts");
        break;
    case SnapshotFormat::Jpeg:
        error = WriteRadiometricJpeg(file, shot,
                                     Colourise(shot.tenths.data(), shot.width, shot.height, palette.build()));
        what = std::string(palette.name) + " colormap, temperatures in " + shot.facts.unit.symbol + " inside";
        break;
    }
    return error.empty() ? "" : AsTyped(error, file, typed);
}

namespace {

void PrintFileInfoJson(FILE* out, const std::string& typed, const ThermalSnapshot& shot, const PlaneStats& stats)
{
    const SnapshotFacts& f = shot.facts;
    JsonWriter json;
    json.BeginObject().Key("file").String(typed);
    json.Key("width").Int(shot.width).Key("height").Int(shot.height);
    json.Key("unit").BeginObject().Key("number").Int(f.unit.number).Key("symbol").String(f.unit.symbol);
    json.Key("name");
    if (f.unit.declared())
        json.String(f.unit.name);
    else
        json.Null();
    json.EndObject();
    json.Key("min").Number(stats.min / 10.0, 1).Key("max").Number(stats.max / 10.0, 1);
    json.Key("mean").Number(stats.mean / 10.0, 2);
    json.Key("image").Bool(!shot.image.empty());
    json.Key("facts").BeginObject();
    for (const auto& [name, value] : FactFields(f))
        json.Key(name).String(value);
    json.EndObject().EndObject();
    std::fprintf(out, "%s\n", json.str().c_str());
}

}  // namespace

int RunFileInfo(Context& ctx, const std::string& typed, bool json)
{
    const std::string file = UserPath(typed);
    ThermalSnapshot shot;
    if (const std::string error = ReadSnapshotFile(file, shot); !error.empty())
        return Fail(ctx, AsTyped(error, file, typed));
    const PlaneStats stats = ComputeStats(shot.tenths.data(), shot.width, shot.height);
    if (json) {
        PrintFileInfoJson(ctx.out, typed, shot, stats);
        return kExitOk;
    }
    const std::string& unit = shot.facts.unit.label;
    std::fprintf(ctx.out, "File: %s (%s)\n", typed.c_str(),
                 LooksLikeJpeg(file) ? "radiometric JPEG" : "temperature TIFF");
    std::fprintf(ctx.out, "  %-24s%dx%d%s\n", "size", shot.width, shot.height,
                 shot.image.empty() ? "" : ", with the image plane");
    std::fprintf(ctx.out, "  %-24s%s (camera's unit %d)\n", "unit", unit.c_str(), shot.facts.unit.number);
    std::fprintf(ctx.out, "  %-24smin %s, max %s, mean %s %s\n", "temperature", FormatTenths(stats.min).c_str(),
                 FormatTenths(stats.max).c_str(), FormatTenths(static_cast<int>(std::lround(stats.mean))).c_str(),
                 unit.c_str());
    for (const auto& [name, value] : FactFields(shot.facts))
        if (name.rfind("temperature-unit", 0) != 0)
            std::fprintf(ctx.out, "  %-24s%s\n", name.c_str(), value.c_str());
    return kExitOk;
}

}  // namespace vivatool

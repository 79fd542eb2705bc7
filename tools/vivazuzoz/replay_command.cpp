#include "replay_command.h"

#include <vivaclient/number_text.h>
#include <vivaclient/recording.h>
#include <vivaclient/state_dir.h>
#include "plane_stats.h"
#include "progress.h"
#include "temperature_csv.h"

#include <algorithm>

namespace vivatool {
using namespace vivaclient;

namespace {

std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The camera, the frames and their timing, as the description and the
// pages' times give them.
void PrintSummary(FILE* out, const std::string& typed, RecordingReader& reader)
{
    const RecordingLayout& layout = reader.layout();
    const std::string& d = reader.description();
    const size_t frames = reader.frames();
    const double duration = reader.time(frames - 1) - reader.time(0);
    std::fprintf(out, "Recording: %s\n", typed.c_str());
    std::fprintf(out, "Camera: %s, %dx%d, %s\n", JsonText(d, "camera").value_or("unknown").c_str(), layout.width,
                 layout.height, layout.withTemp ? "image and temperature" : "image only");
    std::string timing = std::to_string(frames) + (frames == 1 ? " frame" : " frames") + " in " + Fixed(duration, 2) +
                         " s";
    if (frames >= 2)
        timing += ", " + Fixed(reader.rate(), 1) + " fps";
    if (const auto every = JsonNumber(d, "every"))
        timing += ", one every " + FormatDecimal(*every, 3) + " s";
    std::fprintf(out, "Frames: %s (stream frames %llu to %llu)\n", timing.c_str(),
                 static_cast<unsigned long long>(reader.sequence(0)),
                 static_cast<unsigned long long>(reader.sequence(frames - 1)));
    if (const auto started = JsonText(d, "started"))
        std::fprintf(out, "Started: %s\n", started->c_str());
    if (const auto rate = JsonNumber(d, "frame_rate"))
        std::fprintf(out, "Camera frame rate: %s fps\n", Fixed(*rate, 1).c_str());
}

// The temperature range over every frame, which needs every temperature
// plane. Returns "" or a message.
std::string ReadRange(FILE* err, RecordingReader& reader, int& min, int& max)
{
    ProgressLine progress(err, ProgressLine::OfWork{});
    RecordedFrame frame;
    const size_t frames = reader.frames();
    for (size_t i = 0; i < frames; ++i) {
        if (std::string error = reader.Read(i, frame); !error.empty()) {
            progress.Finish();
            return error;
        }
        int lo = 0, hi = 0;
        MinMax(frame.temp.data(), static_cast<int>(frame.temp.size()), lo, hi);
        min = i == 0 ? lo : std::min(min, lo);
        max = i == 0 ? hi : std::max(max, hi);
        if (i % 50 == 49)
            progress.Update("Reading frame " + std::to_string(i + 1) + " of " + std::to_string(frames));
    }
    progress.Finish();
    return "";
}

}  // namespace

CommandSyntax ReplaySyntax()
{
    return {"replay",
            "Show what a recording holds: camera, frames, duration, temperature range",
            "FILE.tiff",
            {},
            1,
            1,
            "Render one of its frames with 'vivazuzoz snapshot --from FILE.tiff --frame N -o x.png', or\n"
            "serve it as a camera with 'vivazuzoz-vcam --replay FILE.tiff -- COMMAND'.\n"};
}

int RunReplay(Context& ctx, const ParsedArgs& args)
{
    const std::string& typed = args.positional.at(0);
    const std::string path = UserPath(typed);
    RecordingReader reader;
    if (std::string error = reader.Open(path); !error.empty())
        return Fail(ctx, AsTyped(error, path, typed));
    PrintSummary(ctx.out, typed, reader);
    if (!reader.layout().withTemp) {
        std::fprintf(ctx.out, "Temperature: none (image-only stream)\n");
        return kExitOk;
    }
    int min = 0, max = 0;
    if (std::string error = ReadRange(ctx.err, reader, min, max); !error.empty())
        return Fail(ctx, error);
    std::fprintf(ctx.out, "Temperature: min %s, max %s degrees\n", FormatTenths(min).c_str(),
                 FormatTenths(max).c_str());
    return kExitOk;
}

}  // namespace vivatool

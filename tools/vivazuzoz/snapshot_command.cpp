#include "snapshot_command.h"

#include <vivaclient/camera_session.h>
#include <vivaclient/colormaps.h>
#include <vivaclient/number_text.h>
#include <vivaclient/radiometric_jpeg.h>
#include <vivaclient/recording.h>
#include <vivaclient/state_dir.h>
#include <vivaclient/temperature_tiff.h>
#include <vivaclient/thermal_snapshot.h>
#include "plane_stats.h"
#include "snapshot_output.h"
#include "temperature_csv.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vivatool {
using namespace vivaclient;

namespace {

// How often a snapshot looks whether its frame came, Ctrl-C or the camera's
// loss. The library itself waits up to 5 s for the first frame when it opens
// a camera.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// The first complete frame, copied out of the read thread's callback.
struct Snapshot {
    std::mutex mutex;
    std::condition_variable arrived;
    // Guarded by `mutex`: written once by the read thread, read by the
    // command's thread after `done` is seen.
    bool done = false;
    int width = 0;
    int height = 0;
    std::vector<uint16_t> image;
    std::vector<int16_t> temp;
    SnapshotFacts facts;  // the command's thread only

    void Take(const FrameRef& frame)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (done)
            return;
        width = frame.width;
        height = frame.height;
        image.assign(frame.image, frame.image + frame.samples());
        if (frame.temps)
            temp.assign(frame.temps, frame.temps + frame.samples());
        done = true;
        arrived.notify_all();
    }
};

// The first complete frame of camera `index`, and with `facts` the
// camera's settings at that moment. Returns kExitOk or the exit status of a
// failure that has been reported.
int GrabSnapshot(Context& ctx, int index, bool facts, Snapshot& shot)
{
    StreamingSession session;
    if (const int status = OpenStreaming(ctx, session, StreamingOptions(index, false)))
        return status;
    CameraSession& camera = *session.camera;
    camera.SetCallback([&shot](const FrameRef& f) { shot.Take(f); });
    OpenFailure failure;
    if (!camera.Stream(failure))
        return Fail(ctx, failure.message);
    {
        // The session ends by itself when the camera is lost or sends no frame.
        std::unique_lock<std::mutex> lock(shot.mutex);
        while (!shot.done && !camera.ended() && !Interrupted())
            shot.arrived.wait_for(lock, kPollInterval);
    }
    // The settings at the frame's moment, while the camera is still open.
    if (facts && shot.done) {
        const std::string name = camera.info().name;
        camera.Command([&](unsigned long handle) {
            shot.facts = ReadSnapshotFacts(handle, name);
            return 0;
        });
    }
    camera.Close();  // callbacks stopped: `shot` is the command thread's alone from here
    if (Interrupted())
        return kExitInterrupted;
    if (!shot.done)
        return Fail(ctx, camera.endReason().message + " before a frame arrived");
    return kExitOk;
}

// The frame of a file instead of a camera's: a recording's frame `frame`, a

// Reads frame `index` of the recording at `path` into `shot` (its
// temperatures left empty for an image-only recording). Returns "" or a
// message.
std::string LoadRecordedFrame(const std::string& path, long long index, Snapshot& shot)
{
    RecordingReader reader;
    if (std::string error = reader.Open(path); !error.empty())
        return error;
    if (index < 0 || static_cast<unsigned long long>(index) >= reader.frames())
        return path + " has " + std::to_string(reader.frames()) + (reader.frames() == 1 ? " frame" : " frames") +
               " (0 to " + std::to_string(reader.frames() - 1) + "), no frame " + std::to_string(index);
    RecordedFrame frame;
    if (std::string error = reader.Read(static_cast<size_t>(index), frame); !error.empty())
        return error;
    shot.width = reader.layout().width;
    shot.height = reader.layout().height;
    shot.image = std::move(frame.image);
    shot.temp = std::move(frame.temp);
    shot.facts = RecordingFacts(reader.description(), reader.layout().unit);
    return "";
}

// The frame of a file instead of a camera's: a recording's frame `frame`, a
// radiometric JPEG or a TIFF snapshot. Returns "" or a message.
std::string LoadSnapshot(const std::string& path, long long frame, Snapshot& shot)
{
    ThermalSnapshot file;
    const bool jpeg = LooksLikeJpeg(path);
    const std::string error = jpeg ? ReadRadiometricJpeg(path, file) : ReadTemperatureTiff(path, file);
    if (jpeg && !error.empty())
        return error;
    if (!error.empty())
        return LoadRecordedFrame(path, frame, shot);
    if (frame != 0)
        return path + " holds one frame (0), no frame " + std::to_string(frame);
    shot.width = file.width;
    shot.height = file.height;
    shot.temp = std::move(file.tenths);
    shot.facts = std::move(file.facts);
    return "";
}

// What the command line asks for, checked before anything is opened.
struct SnapshotRequest {
    int device = kAnyCamera;
    std::string output;   // as typed
    std::string csvPath;  // as typed; "" without --temperature
    // Typed relative to the user's folder; the library runs in another.
    std::string outputFile;
    std::string csvFile;
    const ColormapInfo* palette = nullptr;
    long long frame = 0;  // --frame
    SnapshotFormat format = SnapshotFormat::Png;
};

// The options and the arguments, each checked. Returns kExitOk or the
// status of a usage error it has reported.
int ParseRequest(Context& ctx, const ParsedArgs& args, SnapshotRequest& r)
{
    const char* const command = "snapshot";
    if (const int status = DeviceOption(ctx, command, args, r.device))
        return status;
    if (args.has("output") && !args.positional.empty())
        return UsageError(ctx, command, "give the picture's name once, as FILE.png or with -o, not both");
    if (!args.has("output") && args.positional.empty())
        return UsageError(ctx, command, "missing FILE.png (the picture to write)");
    r.output = args.has("output") ? args.value("output") : args.positional[0];
    r.csvPath = args.value("temperature");
    r.outputFile = UserPath(r.output);
    r.csvFile = UserPath(r.csvPath);
    r.palette = FindColormap(args.value("colormap", Colormaps().front().name));
    if (!r.palette)
        return UsageError(ctx, command,
                          "unknown colormap '" + args.value("colormap") + "'; colormaps are: " + ColormapNames());
    if (r.output.empty() || (args.has("temperature") && r.csvPath.empty()))
        return UsageError(ctx, command, "a file name may not be empty");
    if (args.has("frame") && !args.has("from"))
        return UsageError(ctx, command, "--frame needs --from FILE.tiff");
    if (args.has("from") && args.has("device"))
        return UsageError(ctx, command, "give --device or --from, not both");
    if (const int status = IntegerOption(ctx, command, args, "frame", 0, INT32_MAX, 0, r.frame))
        return status;
    return ChooseSnapshotFormat(ctx, args, r.output, r.format);
}

// The files can be written: checked before the camera is opened and
// anything is printed.
int CheckOutputs(Context& ctx, const SnapshotRequest& r)
{
    for (const auto& [file, typed] : {std::pair(r.outputFile, r.output), std::pair(r.csvFile, r.csvPath)})
        if (!typed.empty())
            if (const std::string error = CannotCreate(file); !error.empty())
                return Fail(ctx, AsTyped(error, file, typed));
    return kExitOk;
}

// The frame of --from's file, or of the camera.
int TakeFrame(Context& ctx, const ParsedArgs& args, const SnapshotRequest& r, Snapshot& shot)
{
    if (!args.has("from"))
        return GrabSnapshot(ctx, r.device, FormatNeedsTemperatures(r.format), shot);
    const std::string from = UserPath(args.value("from"));
    if (const std::string error = LoadSnapshot(from, r.frame, shot); !error.empty())
        return Fail(ctx, AsTyped(error, from, args.value("from")));
    if (!shot.temp.empty() && r.format == SnapshotFormat::Png)
        shot.image.clear();
    shot.done = true;
    return kExitOk;
}

// The frame's size and layout, and its temperature figures or raw range.
void PrintFigures(FILE* out, const Snapshot& shot)
{
    const bool withTemp = !shot.temp.empty();
    std::fprintf(out, "Frame: %dx%d, %s\n", shot.width, shot.height, withTemp ? "image and temperature" : "image only");
    if (withTemp) {
        const PlaneStats stats = ComputeStats(shot.temp.data(), shot.width, shot.height);
        std::fprintf(out, "Temperature: min %s, max %s, mean %s degrees\n", FormatTenths(stats.min).c_str(),
                     FormatTenths(stats.max).c_str(), FormatMeanTenths(stats.mean).c_str());
        std::fprintf(out, "Hottest pixel: x %d, y %d (%s degrees)\n", stats.hottestX, stats.hottestY,
                     FormatTenths(stats.max).c_str());
    } else {
        const auto [lo, hi] = std::minmax_element(shot.image.begin(), shot.image.end());
        std::fprintf(out, "The stream carries no temperatures (raw image samples %u to %u)\n",
                     static_cast<unsigned>(*lo), static_cast<unsigned>(*hi));
    }
}

// The picture or data file, and with --temperature the CSV file.
int WriteOutputs(Context& ctx, const SnapshotRequest& r, Snapshot& shot)
{
    const bool withTemp = !shot.temp.empty();
    if (!withTemp && FormatNeedsTemperatures(r.format))
        return Fail(ctx, r.output + " not written: the stream carries no temperatures (a " +
                             SnapshotFormatName(r.format) + " snapshot holds them)");
    ThermalSnapshot data;
    data.width = shot.width;
    data.height = shot.height;
    data.tenths = std::move(shot.temp);
    data.image = std::move(shot.image);
    data.facts = std::move(shot.facts);
    std::string what;
    if (const std::string error = WriteSnapshot(r.format, r.outputFile, r.output, data, *r.palette, what);
        !error.empty())
        return Fail(ctx, error);
    std::fprintf(ctx.out, "Wrote %s (%s)\n", r.output.c_str(), what.c_str());
    if (r.csvPath.empty())
        return kExitOk;
    if (!withTemp)
        return Fail(ctx, r.csvPath + " not written: the stream carries no temperatures");
    if (const std::string error = WriteTemperatureCsv(r.csvFile, data.tenths.data(), data.width, data.height);
        !error.empty())
        return Fail(ctx, AsTyped(error, r.csvFile, r.csvPath));
    std::fprintf(ctx.out, "Wrote %s (degrees, one row per line)\n", r.csvPath.c_str());
    return kExitOk;
}

}  // namespace

CommandSyntax SnapshotSyntax()
{
    return {"snapshot",
            "Grab one frame and write it as a picture or as temperature data",
            "[FILE]",
            {kDeviceOption,
             {"output", 'o', "FILE", "the file to write (or give FILE as the argument)"},
             {"format", 'f', "FORMAT",
              "the file's format: png, tiff, jpeg, csv (default: from FILE's extension .png, .tiff, .jpg "
              "or .csv; png without one)"},
             {"colormap", 'c', "NAME",
              "the tool's colouring: " + ColormapNames() + " (default " + Colormaps().front().name +
                  "); not the camera's palette setting",
              false, "palette"},
             {"temperature", 't', "FILE.csv", "also write the temperatures in degrees, one row of pixels per line"},
             {"from", 0, "FILE", "take the frame from a recording, a .jpg or a .tiff snapshot instead of a camera"},
             {"frame", 0, "N", "with --from: the frame to take, from 0 (default 0)"}},
            0,
            1,
            "On a stream with temperatures the picture shows the temperature plane, and the minimum,\n"
            "maximum and mean temperature and the hottest pixel are printed, in degrees with one decimal\n"
            "(in the camera's temperature unit). On an image-only stream the picture shows the raw image\n"
            "and no temperatures can be written.\n"
            "Formats: png a false-colour picture; tiff the temperatures as 32-bit floats in degrees (GDAL,\n"
            "QGIS, rasterio and ImageJ read them as such; the image plane as a second page); jpeg a\n"
            "false-colour picture that also carries the exact temperatures and the camera's settings\n"
            "(README: \"Files and units\"); csv the temperatures in degrees. The unit is the one declared\n"
            "for the camera's temp-unit number in VIVAZUZOZ_TEMP_UNITS (default 0=C; others \"unit N\").\n"};
}

int RunSnapshot(Context& ctx, const ParsedArgs& args)
{
    SnapshotRequest request;
    if (const int status = ParseRequest(ctx, args, request))
        return status;
    if (const int status = CheckOutputs(ctx, request))
        return status;
    Snapshot shot;
    if (const int status = TakeFrame(ctx, args, request, shot))
        return status;
    PrintFigures(ctx.out, shot);
    return WriteOutputs(ctx, request, shot);
}

}  // namespace vivatool

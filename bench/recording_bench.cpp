// recording_bench - what recording costs per frame at the largest detector
// size (1280x1024, image and temperature), beside the frame period of a
// 25 fps camera and beside a memcpy of the same bytes measured in the same
// run. "Record" is the tool's work for one frame: copying both planes off the
// read thread and appending them as two pages to the TIFF file (into the page
// cache; the disk's own speed is not measured here).
#include <vivaclient/recording.h>

#include "figure_collector.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 1024;
constexpr size_t kSamples = size_t(kWidth) * kHeight;
constexpr double kFramePeriodMs = 1000.0 / 25.0;
// Files are started afresh after this many frames, so the run does not fill
// the disk (this costs one file creation per 32 frames, counted).
constexpr int kFramesPerFile = 32;

std::string g_dir;  // scratch directory for the files

struct Planes {
    std::vector<uint16_t> image = std::vector<uint16_t>(kSamples);
    std::vector<int16_t> temp = std::vector<int16_t>(kSamples);
    Planes()
    {
        for (size_t i = 0; i < kSamples; ++i) {
            image[i] = uint16_t(i * 2654435761u >> 9);
            temp[i] = int16_t(200 + (i * 40503u >> 20) % 900);
        }
    }
};

void BM_Record(benchmark::State& state)
{
    const Planes source;
    Planes copy;
    const std::string path = g_dir + "/bench.tiff";
    const std::string description =
        "{\"format\":\"vivazuzoz recording\",\"width\":1280,\"height\":1024,\"layout\":\"image and temperature\"}";
    vivaclient::RecordingWriter writer;
    int inFile = kFramesPerFile;
    uint64_t sequence = 0;
    for (auto _ : state) {
        if (inFile == kFramesPerFile) {
            writer.Close();
            if (const std::string error = writer.Create(path, {kWidth, kHeight, true}, false); !error.empty()) {
                state.SkipWithError(error.c_str());
                break;
            }
            inFile = 0;
        }
        std::memcpy(copy.image.data(), source.image.data(), kSamples * 2);
        std::memcpy(copy.temp.data(), source.temp.data(), kSamples * 2);
        const std::string error =
            writer.Append(copy.image.data(), copy.temp.data(), sequence, double(sequence) / 25, description);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
        ++sequence;
        ++inFile;
    }
    writer.Close();
    unlink(path.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSamples * 4));
}

void BM_Memcpy(benchmark::State& state)
{
    const Planes source;
    Planes copy;
    for (auto _ : state) {
        std::memcpy(copy.image.data(), source.image.data(), kSamples * 2);
        std::memcpy(copy.temp.data(), source.temp.data(), kSamples * 2);
        benchmark::DoNotOptimize(copy.image.data());
        benchmark::DoNotOptimize(copy.temp.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSamples * 4));
}

}  // namespace

int main(int argc, char** argv)
{
    char templ[] = "/tmp/vivazuzoz-bench-XXXXXX";
    if (!mkdtemp(templ)) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = templ;
    benchmark::RegisterBenchmark("record 1280x1024 frame", BM_Record)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("memcpy 1280x1024 frame", BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    bench::FigureCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    rmdir(g_dir.c_str());

    const auto record = collector.realMs.find("record 1280x1024 frame");
    const auto copy = collector.realMs.find("memcpy 1280x1024 frame");
    if (record != collector.realMs.end()) {
        std::printf("\nRecording cost per frame at 1280x1024 (image and temperature): %.2f ms, %.1f%% of the "
                    "%.0f ms frame period at 25 fps",
                    record->second, 100.0 * record->second / kFramePeriodMs, kFramePeriodMs);
        if (copy != collector.realMs.end() && copy->second > 0)
            std::printf("; %.1f times a memcpy of the same bytes (%.2f ms)", record->second / copy->second,
                        copy->second);
        std::printf("\n");
    }
    return 0;
}

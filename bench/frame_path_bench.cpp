// frame_path_bench - the per-frame cost of the camera's frame handler for
// each of the eight stream layouts, beside memcpy of the same bytes in the
// same run. The handler runs with both callbacks registered and the formula
// known, as on a streaming camera after its first frame.
//
// After the benchmarks it prints one line per layout,
//     ratio 1280x1024 image+temp 1.42
// the handler's median CPU time over memcpy's median CPU time (CPU time, so
// that time the thread spends preempted by other processes on a shared
// machine does not count). Unless told otherwise it runs 9 short repetitions
// of every benchmark in random order, so that a burst of load from other
// processes spreads over both sides of a ratio.
// The split-and-convert kernels that this CPU can run are also timed one by
// one (split/<kernel>).
#include "TempConversion.h"
#include <support/stream_layouts.h>
#include <support/wire_camera.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Layout = StreamLayout;
const auto& kLayouts = kStreamLayouts;

// A frame with varied samples, so the conversion sees many raw values.
std::vector<uint8_t> MakeFrame(const Layout& l)
{
    std::vector<uint8_t> frame(l.Bytes());
    auto* s = reinterpret_cast<uint16_t*>(frame.data());
    for (size_t i = 0; i < frame.size() / 2; ++i)
        s[i] = uint16_t(i * 2654435761u >> 7);
    return frame;
}

void OnVideo(unsigned long, OZL_USB_VIDEO_INFO_CB* f, void* user)
{
    *static_cast<unsigned*>(user) += f->data[0];
}
void OnTemp(unsigned long, OZL_USB_TEMP_INFO_CB* f, void* user)
{
    *static_cast<unsigned*>(user) += static_cast<unsigned short>(f->data[f->width * f->height - 1]);
}

void BM_OnDataRecv(benchmark::State& state)
{
    const Layout& l = kLayouts[state.range(0)];
    std::vector<uint8_t> frame = MakeFrame(l);
    WireCamera camera;
    // The first frame fixes the layout (its queries get no answer here);
    // then the formula a camera reports for its lowest level.
    camera.OnDataRecv(frame.data(), frame.size());
    camera.m_tempScale = 80;
    camera.m_tempOffset = -2000;
    unsigned sink = 0;
    camera.StartPreview(&OnVideo, &sink);
    if (l.withTemp)
        camera.StartPullTemp(&OnTemp, &sink);
    for (auto _ : state) {
        camera.OnDataRecv(frame.data(), frame.size());
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(sink);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
    state.SetLabel(l.Name());
}

void BM_Memcpy(benchmark::State& state)
{
    const Layout& l = kLayouts[state.range(0)];
    std::vector<uint8_t> frame = MakeFrame(l);
    std::vector<uint8_t> copy(frame.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
    state.SetLabel(l.Name());
}

// The split and conversion alone, on one kernel, for the largest frame.
void BM_Split(benchmark::State& state)
{
    const auto kernel = static_cast<TempConversion::Kernel>(state.range(0));
    if (!TempConversion::Available(kernel)) {
        state.SkipWithError("kernel not available on this CPU");
        return;
    }
    const Layout l{1280, 1024, true};
    std::vector<uint8_t> frame = MakeFrame(l);
    std::vector<uint16_t> image(size_t(l.width) * l.height), temps(image.size());
    TempConversion conversion;
    conversion.SetFormula(80, -2000, kernel);
    for (auto _ : state) {
        conversion.SplitFrame(frame.data(), size_t(l.width), size_t(l.height), image.data(), temps.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
    state.SetLabel(l.Name());
}

// Keeps each run's time per layout and benchmark, and prints as usual.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred || run.report_label.empty())
                continue;
            const std::string key = run.run_name.function_name + "|" + run.report_label;
            if (run.run_type == Run::RT_Iteration)
                times_[key].push_back(run.GetAdjustedCPUTime());
            else if (run.aggregate_name == "median")
                medians_[key] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The median time of a benchmark on a layout, or 0 when it did not run.
    double Median(const std::string& function, const std::string& label) const
    {
        const std::string key = function + "|" + label;
        auto times = times_.find(key);
        if (times != times_.end() && !times->second.empty()) {
            std::vector<double> t = times->second;
            std::sort(t.begin(), t.end());
            const size_t n = t.size();
            return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
        }
        auto median = medians_.find(key);
        return median != medians_.end() ? median->second : 0.0;
    }

private:
    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, double> medians_;
};

void Register()
{
    for (int i = 0; i < 8; ++i) {
        benchmark::RegisterBenchmark("OnDataRecv", BM_OnDataRecv)->Arg(i)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("memcpy", BM_Memcpy)->Arg(i)->Unit(benchmark::kMicrosecond);
    }
    const struct {
        const char* name;
        TempConversion::Kernel kernel;
    } kernels[] = {{"split/portable", TempConversion::Kernel::Portable},
                   {"split/sse2", TempConversion::Kernel::Sse2},
                   {"split/avx2", TempConversion::Kernel::Avx2},
                   {"split/avx512", TempConversion::Kernel::Avx512},
                   {"split/neon", TempConversion::Kernel::Neon}};
    for (const auto& k : kernels)
        if (TempConversion::Available(k.kernel))
            benchmark::RegisterBenchmark(k.name, BM_Split)->Arg(int(k.kernel))->Unit(benchmark::kMicrosecond);
}

const char* KernelName(TempConversion::Kernel kernel)
{
    switch (kernel) {
    case TempConversion::Kernel::Portable:
        return "portable";
    case TempConversion::Kernel::Sse2:
        return "SSE2";
    case TempConversion::Kernel::Avx2:
        return "AVX2";
    case TempConversion::Kernel::Avx512:
        return "AVX-512";
    case TempConversion::Kernel::Neon:
        return "NEON";
    }
    return "?";
}

bool HasFlag(int argc, char** argv, const char* flag)
{
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    // Defaults that make the ratios steadier on a shared machine; any of
    // them given on the command line wins.
    std::vector<char*> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=9";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_display_aggregates_only=true";
    char minTime[] = "--benchmark_min_time=0.05";
    if (!HasFlag(argc, argv, "--benchmark_repetitions")) {
        args.push_back(repetitions);
        if (!HasFlag(argc, argv, "--benchmark_min_time"))
            args.push_back(minTime);
        if (!HasFlag(argc, argv, "--benchmark_enable_random_interleaving"))
            args.push_back(interleave);
        if (!HasFlag(argc, argv, "--benchmark_display_aggregates_only") &&
            !HasFlag(argc, argv, "--benchmark_report_aggregates_only"))
            args.push_back(aggregates);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    Register();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nOnDataRecv over memcpy of the same bytes (median CPU times; %s kernel):\n",
                KernelName(TempConversion::Best()));
    for (const Layout& l : kLayouts) {
        const double handler = reporter.Median("OnDataRecv", l.Name());
        const double copy = reporter.Median("memcpy", l.Name());
        if (handler > 0 && copy > 0)
            std::printf("ratio %s %.2f\n", l.Name().c_str(), handler / copy);
    }
    return 0;
}

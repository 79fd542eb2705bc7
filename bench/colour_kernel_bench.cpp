// The colouring kernel beside memcpy of its output bytes: a thermal scene's
// raw image plane (a gradient with noise, a few thousand values wide) to RGB
// triplets (PNG, JPEG) and to I420 planes (the RTSP encoder), the whole
// frame's work (span, table, colours), at 640x512 and 1280x1024. Prints the
// figures and, after them, each kernel as a multiple of memcpy of the same
// output bytes; asserts nothing.
#include <vivaclient/colour_kernel.h>

#include "figure_collector.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vivaclient;

struct Size {
    int width, height;
};
constexpr Size kSizes[] = {{640, 512}, {1280, 1024}};

std::vector<uint16_t> Scene(Size size)
{
    std::vector<uint16_t> plane(static_cast<size_t>(size.width) * size.height);
    std::mt19937 random(1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x)
            plane[static_cast<size_t>(y) * size.width + x] = static_cast<uint16_t>(
                7000 + 2000 * x / size.width + 1000 * y / size.height + random() % 64);
    return plane;
}

size_t OutputBytes(Size size, ColourLayout layout)
{
    const size_t pixels = static_cast<size_t>(size.width) * size.height;
    return layout == ColourLayout::I420
               ? pixels + 2 * static_cast<size_t>((size.width + 1) / 2) * static_cast<size_t>((size.height + 1) / 2)
           : layout == ColourLayout::Rgb ? pixels * 3
                                         : pixels * 4;
}

void Colour(benchmark::State& state, Size size, ColourLayout layout, ColourKernelKind kind)
{
    const std::vector<uint16_t> plane = Scene(size);
    std::vector<uint8_t> out(OutputBytes(size, layout));
    const Colormap iron = FindColormap("iron")->build();
    ColourKernel kernel;
    ColourPlanes planes;
    const size_t w = static_cast<size_t>(size.width), cw = (w + 1) / 2;
    planes.data[0] = out.data();
    if (layout == ColourLayout::I420) {
        planes.stride[0] = w, planes.stride[1] = planes.stride[2] = cw;
        planes.data[1] = out.data() + w * size.height;
        planes.data[2] = planes.data[1] + cw * ((size.height + 1) / 2);
    } else {
        planes.stride[0] = w * (layout == ColourLayout::Rgb ? 3 : 4);
    }
    for (auto _ : state) {
        const SampleSpan span = FindSpan(plane.data(), w, size.width, size.height, 0, kind);
        kernel.Prepare(iron, span, span.min, span.max, layout);
        kernel.Colour(plane.data(), w, size.width, size.height, planes, kind);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out.size()));
}

void Copy(benchmark::State& state, size_t bytes)
{
    std::vector<uint8_t> from(bytes, 7), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

std::string SizeName(Size s)
{
    return std::to_string(s.width) + "x" + std::to_string(s.height);
}

const char* KindName(ColourKernelKind k)
{
    return k == ColourKernelKind::Avx512 ? "avx512"
           : k == ColourKernelKind::Avx2 ? "avx2"
           : k == ColourKernelKind::Neon ? "neon"
                                         : "portable";
}

}  // namespace

int main(int argc, char** argv)
{
    struct Row {
        std::string kernel, copy;
    };
    std::vector<Row> rows;
    const std::pair<ColourLayout, const char*> layouts[] = {{ColourLayout::Rgb, "RGB"}, {ColourLayout::I420, "I420"}};
    for (Size size : kSizes) {
        for (const auto& [layout, layoutName] : layouts) {
            const std::string copy = "memcpy " + std::to_string(OutputBytes(size, layout)) + " bytes";
            for (ColourKernelKind kind : {ColourKernelKind::Avx512, ColourKernelKind::Avx2, ColourKernelKind::Neon,
                                          ColourKernelKind::Portable}) {
                if (!ColourKernelAvailable(kind))
                    continue;
                const std::string name = std::string("colour ") + layoutName + " " + SizeName(size) + " " +
                                         KindName(kind);
                benchmark::RegisterBenchmark(name.c_str(), Colour, size, layout, kind)
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime();
                rows.push_back({name, copy});
            }
            benchmark::RegisterBenchmark(copy.c_str(), Copy, OutputBytes(size, layout))
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    bench::FigureCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf(
        "\nColouring a whole frame (span, table, colours) as a multiple of memcpy of its output bytes, CPU time "
        "(target: at most 2):\n");
    for (const Row& row : rows) {
        const auto kernel = collector.cpuMs.find(row.kernel), copy = collector.cpuMs.find(row.copy);
        if (kernel != collector.cpuMs.end() && copy != collector.cpuMs.end() && copy->second > 0)
            std::printf("  %-34s %8.1f us  %5.2f x %s (%.1f us)\n", row.kernel.c_str(), kernel->second * 1e3,
                        kernel->second / copy->second, row.copy.c_str(), copy->second * 1e3);
    }
    return 0;
}

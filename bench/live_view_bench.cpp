// live_view_bench - what the live view adds to a camera's read thread per
// frame: copying both planes out of the callbacks into the one WebSocket
// message that every client shares, beside memcpy of the same bytes in the
// same run (the ratio is the figure to watch).
#include "frame_message.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

struct Size {
    int width;
    int height;
};
const Size kSizes[] = {{256, 192}, {384, 288}, {640, 512}, {1280, 1024}};

void BM_PublishFrame(benchmark::State& state)
{
    const Size s = kSizes[state.range(0)];
    const size_t count = size_t(s.width) * s.height;
    std::vector<uint16_t> image(count);
    std::vector<int16_t> temp(count);
    for (size_t i = 0; i < count; ++i) {
        image[i] = uint16_t(i * 2654435761u >> 7);
        temp[i] = int16_t(i % 1200);
    }
    vivatool::serve::FrameHeader header;
    header.width = uint16_t(s.width);
    header.height = uint16_t(s.height);
    for (auto _ : state) {
        // As the read thread does: the image plane into a new message at the
        // preview callback, the temperatures at the temperature callback,
        // then the header.
        std::string message(vivatool::serve::FrameMessageSize(s.width, s.height, true), '\0');
        vivatool::serve::WriteImagePlane(message, image.data(), count);
        vivatool::serve::WriteTemperaturePlane(message, temp.data(), count);
        ++header.sequence;
        vivatool::serve::WriteFrameHeader(message, header);
        benchmark::DoNotOptimize(message.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(count * 4));
    state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height) + " image+temperature");
}

// Baseline: one memcpy of both planes.
void BM_MemcpyPlanes(benchmark::State& state)
{
    const Size s = kSizes[state.range(0)];
    const size_t bytes = size_t(s.width) * s.height * 4;
    std::vector<char> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
    state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height) + " image+temperature");
}

}  // namespace

BENCHMARK(BM_MemcpyPlanes)->DenseRange(0, 3);
BENCHMARK(BM_PublishFrame)->DenseRange(0, 3);
BENCHMARK_MAIN();

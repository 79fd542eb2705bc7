// live_view_bench - what the live view adds to a camera's read thread per
// frame: copying both planes out of the callbacks into the one frame whose
// buffer every client is sent, beside memcpy of the same bytes in the
// same run (the ratio is the figure to watch); and the compact stream's
// encoding of a frame of the virtual camera's scene, once per frame for all
// its clients: the grey JPEG picture, and the temperature plane deflated.
#include "compact_frames.h"
#include "frame_message.h"

#include <vcam/VirtualCamera.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>
#include <vivaclient/frame_stream.h>

using namespace vivaclient;

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
    header.flags = vivatool::serve::kFrameHasTemperature;
    const auto buffers = std::make_shared<vivatool::serve::FrameBuffers>();
    std::shared_ptr<const vivatool::serve::Frame> newest, older;
    for (auto _ : state) {
        // As the hub's read thread does: the image plane into a new frame's
        // buffer at the preview callback, the temperatures after it at the
        // temperature callback, then the header; the frame before last is
        // let go (its buffer is used again), as clients let go of theirs.
        auto frame = std::make_shared<vivatool::serve::Frame>(s.width, s.height, buffers);
        std::memcpy(frame->imagePlane(), image.data(), count * 2);
        std::memcpy(frame->tempPlane(), temp.data(), count * 2);
        ++header.sequence;
        frame->Seal(header);
        benchmark::DoNotOptimize(frame->message());
        benchmark::ClobberMemory();
        older = std::move(newest);
        newest = std::move(frame);
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

// A raw frame message of the virtual camera's scene at that size.
std::shared_ptr<const vivatool::serve::Frame> SceneFrame(const Size& s)
{
    vcam::CameraSetup setup;
    setup.width = s.width;
    setup.height = s.height;
    vcam::Camera& camera = vcam::AddCamera(setup);
    const size_t count = size_t(s.width) * s.height;
    std::vector<uint16_t> image(count);
    std::vector<int16_t> temp(count);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            temp[size_t(y) * s.width + x] = int16_t(camera.SceneTenths(x, y));
            image[size_t(y) * s.width + x] = uint16_t(camera.SceneTenths(x, y) * 4);
        }
    vcam::RemoveAll();
    vivatool::serve::FrameHeader header;
    header.width = uint16_t(s.width);
    header.height = uint16_t(s.height);
    header.sequence = 1;
    return vivatool::serve::Frame::Make(header, image.data(), temp.data());
}

void BM_CompactPicture(benchmark::State& state)
{
    const Size s = kSizes[state.range(0)];
    const auto frame = SceneFrame(s);
    vivaclient::JpegEncoder encoder;
    std::vector<uint8_t> grey;
    std::string out;
    for (auto _ : state) {
        vivatool::serve::EncodeCompactPicture(*frame, encoder, 80, grey, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size_t(s.width) * s.height * 2));
    state.counters["message_bytes"] = double(out.size());
    state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height) + " grey JPEG of the temperatures");
}

void BM_CompactTemperatures(benchmark::State& state)
{
    const Size s = kSizes[state.range(0)];
    const auto frame = SceneFrame(s);
    std::vector<uint8_t> scratch;
    std::string out;
    for (auto _ : state) {
        vivatool::serve::EncodeCompactTemperatures(*frame, scratch, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size_t(s.width) * s.height * 2));
    state.counters["message_bytes"] = double(out.size());
    state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height) + " temperature plane deflated");
}

}  // namespace

BENCHMARK(BM_MemcpyPlanes)->DenseRange(0, 3);
BENCHMARK(BM_PublishFrame)->DenseRange(0, 3);
BENCHMARK(BM_CompactPicture)->DenseRange(2, 3);
BENCHMARK(BM_CompactTemperatures)->DenseRange(2, 3);
BENCHMARK_MAIN();

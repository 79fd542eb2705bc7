// frame_path_bench - the per-frame cost of the camera's frame handler for
// each of the eight stream layouts, beside memcpy of the same bytes in the
// same run. The handler runs with both callbacks registered and the formula
// known, as on a streaming camera after its first frame.
#include "WireCamera.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

struct Layout {
    int width;
    int height;
    bool withTemp;
    size_t Bytes() const { return size_t(width) * height * 2 * (withTemp ? 2 : 1); }
};
const Layout kLayouts[] = {{256, 192, false}, {256, 192, true},  {384, 288, false},  {384, 288, true},
                           {640, 512, false}, {640, 512, true},  {1280, 1024, false}, {1280, 1024, true}};

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
    state.SetLabel(std::to_string(l.width) + "x" + std::to_string(l.height) + (l.withTemp ? " image+temp" : " image"));
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
    state.SetLabel(std::to_string(l.width) + "x" + std::to_string(l.height) + (l.withTemp ? " image+temp" : " image"));
}

// Each layout's handler run followed by its memcpy, so the two figures sit
// side by side in the output.
void Register()
{
    for (int i = 0; i < 8; ++i) {
        benchmark::RegisterBenchmark("OnDataRecv", BM_OnDataRecv)->Arg(i)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("memcpy", BM_Memcpy)->Arg(i)->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

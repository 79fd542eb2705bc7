#include "Replay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vcam {
namespace detail {

std::unique_ptr<ReplaySource> ReplaySource::Open(const std::string& path, bool loop, std::string* error) {
    std::unique_ptr<ReplaySource> source(new ReplaySource(path, loop));
    *error = source->reader_.Open(path);
    if (!error->empty()) return nullptr;
    if (source->reader_.frames() == 0) {
        *error = path + " holds no frame";
        return nullptr;
    }
    return source;
}

void ReplaySource::ApplyTo(Model& model) const {
    for (int code = 0; code < 4; ++code) {
        model.scale[code] = 10;
        model.offset[code] = 0;
    }
    const std::string& d = reader_.description();
    auto setting = [&d](const char* name) { return vivaclient::JsonNumber(d, std::string("settings.") + name); };
    if (auto v = setting("palette")) model.palette = static_cast<int>(*v);
    if (auto v = setting("temp-level")) model.tempLevelCode = *v == 2 ? 3 : static_cast<int>(*v);
    if (auto v = setting("temp-unit")) model.tempUnit = static_cast<int>(*v);
    if (auto v = setting("image-level")) model.imageLevel = static_cast<int>(*v);
    const char* env[5] = {"atmos-temp", "distance", "emissivity", "reflected-temp", "transmittance"};
    for (int i = 0; i < 5; ++i)
        if (auto v = setting(env[i])) model.env[i] = static_cast<int32_t>(std::lround(*v * 10000.0));
    if (auto v = setting("fpa-temp")) model.fpaTemp = static_cast<int16_t>(std::lround(*v * 100.0));
    if (auto v = setting("camera-temp")) model.cameraTemp = static_cast<int16_t>(std::lround(*v * 100.0));
}

size_t ReplaySource::Render(uint8_t* dst, size_t cap) {
    if (ended_) return 0;
    if (next_ >= reader_.frames()) {
        if (!loop_) {
            std::fprintf(stderr, "vivazuzoz-vcam: end of the recording %s after %zu frames; no more frames "
                                 "(--loop repeats it)\n", path_.c_str(), reader_.frames());
            ended_ = true;
            return 0;
        }
        next_ = 0;
    }
    const std::string error = reader_.Read(next_++, frame_);
    if (!error.empty()) {
        std::fprintf(stderr, "vivazuzoz-vcam: %s; no more frames\n", error.c_str());
        ended_ = true;
        return 0;
    }
    const auto& layout = reader_.layout();
    const size_t rowSamples = static_cast<size_t>(layout.width);
    const size_t planeRow = rowSamples * 2;
    size_t written = 0;
    for (int y = 0; y < layout.height && written < cap; ++y) {
        const size_t n = std::min(planeRow, cap - written);
        std::memcpy(dst + written, frame_.image.data() + rowSamples * y, n);
        written += n;
        if (!layout.withTemp || written >= cap) continue;
        const size_t t = std::min(planeRow, cap - written);
        std::memcpy(dst + written, frame_.temp.data() + rowSamples * y, t);
        written += t;
    }
    return written;
}

}  // namespace detail
}  // namespace vcam

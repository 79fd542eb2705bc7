#include "replay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vcam {
namespace detail {

std::unique_ptr<ReplaySource> ReplaySource::Open(const std::string& path, bool loop, double speed, std::string* error)
{
    std::unique_ptr<ReplaySource> source(new ReplaySource(path, loop, speed));
    *error = source->reader_.Open(path);
    if (!error->empty())
        return nullptr;
    if (source->reader_.frames() == 0) {
        *error = path + " holds no frame";
        return nullptr;
    }
    source->Plan();
    return source;
}

void ReplaySource::Plan()
{
    const size_t n = reader_.frames();
    // The camera's rate: its frame counter's steps over the time they took
    // (a time-lapse keeps one frame in many, but the camera sent them all).
    fps_ = reader_.rate();
    if (n >= 2) {
        const double seconds = reader_.time(n - 1) - reader_.time(0);
        const uint64_t first = reader_.sequence(0), last = reader_.sequence(n - 1);
        if (seconds > 0 && last > first)
            fps_ = static_cast<double>(last - first) / seconds;
    }
    fps_ = std::min(fps_, 1000.0);
    const double rate = fps_ > 0 ? fps_ : 25.0;
    // Each frame is due its sequence step after the one before; where the
    // counter went backwards (a new stream), the recorded time tells.
    due_.assign(n, 0.0);
    double step = 1;
    for (size_t i = 1; i < n; ++i) {
        const uint64_t a = reader_.sequence(i - 1), b = reader_.sequence(i);
        step = b > a ? static_cast<double>(b - a)
                     : std::max(1.0, std::round((reader_.time(i) - reader_.time(i - 1)) * rate));
        due_[i] = due_[i - 1] + step;
    }
    // The last frame stands as long as the interval before it.
    length_ = due_.back() + step;
}

size_t ReplaySource::FrameAt(double position) const
{
    if (position >= length_)
        return reader_.frames();
    // Due times are whole periods; the margin keeps a frame due exactly now.
    const auto after = std::upper_bound(due_.begin(), due_.end(), position + 1e-9);
    return static_cast<size_t>(after - due_.begin()) - 1;
}

void ReplaySource::ApplyTo(Model& model) const
{
    for (int code = 0; code < 4; ++code) {
        model.scale[code] = 10;
        model.offset[code] = 0;
    }
    const std::string& d = reader_.description();
    auto setting = [&d](const char* name) { return vivaclient::JsonNumber(d, std::string("settings.") + name); };
    if (auto v = setting("palette"))
        model.palette = static_cast<int>(*v);
    if (auto v = setting("temp-level"))
        model.tempLevelCode = *v == 2 ? 3 : static_cast<int>(*v);
    if (auto v = setting("temp-unit"))
        model.tempUnit = static_cast<int>(*v);
    if (auto v = setting("image-level"))
        model.imageLevel = static_cast<int>(*v);
    const char* env[5] = {"atmos-temp", "distance", "emissivity", "reflected-temp", "transmittance"};
    for (int i = 0; i < 5; ++i)
        if (auto v = setting(env[i]))
            model.env[i] = static_cast<int32_t>(std::lround(*v * 10000.0));
    if (auto v = setting("fpa-temp"))
        model.fpaTemp = static_cast<int16_t>(std::lround(*v * 100.0));
    if (auto v = setting("camera-temp"))
        model.cameraTemp = static_cast<int16_t>(std::lround(*v * 100.0));
}

size_t ReplaySource::Render(uint8_t* dst, size_t cap)
{
    if (ended_)
        return 0;
    if (position_ >= length_) {
        if (!loop_) {
            std::fprintf(stderr,
                         "vivazuzoz-vcam: end of the recording %s after %zu frames; no more frames "
                         "(--loop repeats it)\n",
                         path_.c_str(), reader_.frames());
            ended_ = true;
            return 0;
        }
        position_ = std::fmod(position_, length_);
    }
    const size_t due = FrameAt(position_);
    if (due != shown_) {
        const std::string error = reader_.Read(due, frame_);
        if (!error.empty()) {
            std::fprintf(stderr, "vivazuzoz-vcam: %s; no more frames\n", error.c_str());
            ended_ = true;
            return 0;
        }
        shown_ = due;
    }
    position_ += speed_;
    const auto& layout = reader_.layout();
    const size_t rowSamples = static_cast<size_t>(layout.width);
    const size_t planeRow = rowSamples * 2;
    size_t written = 0;
    for (int y = 0; y < layout.height && written < cap; ++y) {
        const size_t n = std::min(planeRow, cap - written);
        std::memcpy(dst + written, frame_.image.data() + rowSamples * y, n);
        written += n;
        if (!layout.withTemp || written >= cap)
            continue;
        const size_t t = std::min(planeRow, cap - written);
        std::memcpy(dst + written, frame_.temp.data() + rowSamples * y, t);
        written += t;
    }
    return written;
}

}  // namespace detail
}  // namespace vcam

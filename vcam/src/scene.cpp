#include "scene.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace vcam {
namespace detail {

namespace {

// Temperature that falls off from `centre` at the middle of an ellipse to
// `edge` at its rim, or -1 outside it. Integer arithmetic keeps every size
// deterministic.
int EllipseTenths(int x, int y, int cx, int cy, int rx, int ry, int centre, int edge)
{
    const int64_t dx = x - cx;
    const int64_t dy = y - cy;
    const int64_t rx2 = static_cast<int64_t>(rx) * rx;
    const int64_t ry2 = static_cast<int64_t>(ry) * ry;
    // d = (dx/rx)^2 + (dy/ry)^2 in units of 1/1024.
    const int64_t d = (dx * dx * 1024) / rx2 + (dy * dy * 1024) / ry2;
    if (d > 1024)
        return -1;
    return centre - static_cast<int>((centre - edge) * d / 1024);
}

std::atomic<uint64_t> g_nextSceneId{1};

}  // namespace

Scene::Scene(int width, int height, bool hotObject)
    : id_(g_nextSceneId.fetch_add(1)),
      width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      tenths_(static_cast<size_t>(width_) * height_)
{
    const int w = width_;
    const int h = height_;
    ballR_ = std::max(h / 14, 2);
    ballY_ = h * 86 / 100;
    hotX_ = w * 78 / 100;
    hotY_ = h * 30 / 100;
    const int tileW = std::max(w / 16, 1);
    const int tileH = std::max(h / 12, 1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // Wall: 22.0 C at the top to 24.0 C at the bottom, tiles 0.1 C apart.
            int t = 220 + (20 * y) / std::max(h - 1, 1) + ((x / tileW + y / tileH) % 2);
            if (!IsStatic(x, y)) {
                tenths_[static_cast<size_t>(y) * w + x] = static_cast<int16_t>(t);
                continue;
            }
            // Shoulders, then the head on top of them.
            const int shoulders = EllipseTenths(x, y, w * 30 / 100, h * 74 / 100, w * 19 / 100, h * 14 / 100, 320, 300);
            if (shoulders >= 0 && y <= h * 75 / 100)
                t = shoulders;
            const int head = EllipseTenths(x, y, w * 30 / 100, h * 40 / 100, w * 10 / 100, h * 20 / 100, 365, 340);
            if (head >= 0)
                t = head;
            // Mug of coffee: a warm block with a slightly cooler rim.
            if (x >= w * 55 / 100 && x < w * 65 / 100 && y >= h * 50 / 100 && y < h * 70 / 100) {
                const bool rim = x == w * 55 / 100 || x == w * 65 / 100 - 1 || y == h * 50 / 100;
                t = rim ? 520 : 580;
            }
            // Hot plate: 110 C at the centre, 80 C at the rim.
            const int r = std::max(std::min(w, h) * 9 / 100, 2);
            const int plate = EllipseTenths(x, y, hotX_, hotY_, r, r, 1100, 800);
            if (plate >= 0 && hotObject)
                t = plate;
            tenths_[static_cast<size_t>(y) * w + x] = static_cast<int16_t>(t);
        }
    }
}

bool Scene::IsStatic(int x, int y) const
{
    (void)x;
    return y < ballY_ - ballR_ || y > ballY_ + ballR_;
}

int Scene::BallX(uint64_t seq, double fps) const
{
    // Rolls across the frame and back every 8 seconds.
    const double period = 8.0;
    const double t = fps > 0 ? static_cast<double>(seq) / fps : 0.0;
    double phase = std::fmod(t, period) / period * 2.0;  // 0..2
    if (phase > 1.0)
        phase = 2.0 - phase;
    const int span = std::max(width_ - 1 - 2 * ballR_, 0);
    return ballR_ + static_cast<int>(phase * span);
}

uint16_t ImageSample(int tenths)
{
    const int v = 4096 + (tenths - 150) * 56;
    return static_cast<uint16_t>(std::clamp(v, 0, 65535));
}

int16_t RawSample(int tenths, Formula f)
{
    const long long scaled = (static_cast<long long>(tenths) * f.scale * 2 + (tenths >= 0 ? 10 : -10)) / 20;
    const long long v = f.offset + scaled;
    return static_cast<int16_t>(std::clamp<long long>(v, -32768, 32767));
}

size_t FrameBytes(int width, int height, bool withTemp)
{
    return static_cast<size_t>(width) * height * 2 * (withTemp ? 2 : 1);
}

void FrameRenderer::Prepare(const Scene& scene, bool withTemp, Formula f)
{
    if (sceneId_ == scene.id() && withTemp_ == withTemp && formula_.scale == f.scale && formula_.offset == f.offset &&
        !static_.empty())
        return;
    sceneId_ = scene.id();
    withTemp_ = withTemp;
    formula_ = f;
    const int w = scene.width();
    const int h = scene.height();
    static_.assign(FrameBytes(w, h, withTemp), 0);
    const size_t rowSamples = static_cast<size_t>(w) * (withTemp ? 2 : 1);
    for (int y = 0; y < h; ++y) {
        uint16_t* row = reinterpret_cast<uint16_t*>(static_.data()) + rowSamples * y;
        for (int x = 0; x < w; ++x) {
            const int t = scene.Tenths(x, y);
            row[x] = ImageSample(t);
            if (withTemp)
                row[w + x] = static_cast<uint16_t>(RawSample(t, f));
        }
    }
}

size_t FrameRenderer::Render(const Scene& scene, bool withTemp, Formula f, uint64_t seq, double fps, uint8_t* dst,
                             size_t cap)
{
    Prepare(scene, withTemp, f);
    const size_t n = std::min(cap, static_.size());
    std::memcpy(dst, static_.data(), n);
    const int w = scene.width();
    const int h = scene.height();
    const size_t rowBytes = static_cast<size_t>(w) * 2 * (withTemp ? 2 : 1);
    const int bx = scene.BallX(seq, fps);
    const int r = scene.ballR();
    const uint16_t img = ImageSample(Scene::kBallTenths);
    const uint16_t raw = static_cast<uint16_t>(RawSample(Scene::kBallTenths, f));
    for (int y = std::max(scene.ballY() - r, 0); y <= std::min(scene.ballY() + r, h - 1); ++y) {
        if ((static_cast<size_t>(y) + 1) * rowBytes > n)
            break;
        uint16_t* row = reinterpret_cast<uint16_t*>(dst + rowBytes * y);
        const int dy = y - scene.ballY();
        for (int x = std::max(bx - r, 0); x <= std::min(bx + r, w - 1); ++x) {
            const int dx = x - bx;
            if (dx * dx + dy * dy > r * r)
                continue;
            row[x] = img;
            if (withTemp)
                row[w + x] = raw;
        }
    }
    return n;
}

}  // namespace detail
}  // namespace vcam

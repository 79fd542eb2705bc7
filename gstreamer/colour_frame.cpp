#include "colour_frame.h"

#include <algorithm>
#include <array>

namespace vivagst {

namespace {

// Share of the distance to a frame's own range that the auto range moves
// per frame: about a second to follow a change at 25 frames per second.
constexpr double kFollow = 0.1;

void Put(std::vector<uint8_t>& rgb, int width, int x, int y, vivaclient::Rgb c)
{
    uint8_t* p = &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
    p[0] = c.r, p[1] = c.g, p[2] = c.b;
}

// A cross of 2*arm+1 pixels each way, black on bright colours and white
// on dark ones, with a one-pixel rim of the other so that it shows anywhere.
void Marker(std::vector<uint8_t>& rgb, int width, int height, int cx, int cy, int arm)
{
    const uint8_t* at = &rgb[(static_cast<size_t>(cy) * static_cast<size_t>(width) + static_cast<size_t>(cx)) * 3];
    const bool bright = vivaclient::Luminance({at[0], at[1], at[2]}) > 127;
    const vivaclient::Rgb ink = bright ? vivaclient::Rgb{0, 0, 0} : vivaclient::Rgb{255, 255, 255};
    for (int d = -arm; d <= arm; ++d) {
        if (cx + d >= 0 && cx + d < width)
            Put(rgb, width, cx + d, cy, ink);
        if (cy + d >= 0 && cy + d < height)
            Put(rgb, width, cx, cy + d, ink);
    }
}

}  // namespace

void ColourRange::Next(const ColourSettings& settings, uint16_t min, uint16_t max, double& low, double& high)
{
    if (settings.mode == RangeMode::Fixed) {
        low = settings.low, high = settings.high;
        return;
    }
    if (settings.mode == RangeMode::Frame || !started_) {
        low_ = min, high_ = max;
        started_ = true;
    } else {
        low_ += (min - low_) * kFollow;
        high_ += (max - high_) * kFollow;
    }
    low = low_, high = high_;
}

Extremes FindExtremes(const uint16_t* samples, size_t stride, int width, int height)
{
    Extremes e;
    e.min = 0xFFFF;
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            if (row[x] < e.min)
                e.min = row[x], e.minX = x, e.minY = y;
            if (row[x] > e.max)
                e.max = row[x], e.maxX = x, e.maxY = y;
        }
    }
    return e;
}

void ColourFrame(const ColourSettings& settings, const uint16_t* samples, size_t stride, int width, int height,
                 double low, double high, std::vector<uint8_t>& rgb)
{
    rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    // One palette entry per possible sample value: a frame of a megapixel
    // costs one table lookup per sample, whatever the range.
    static thread_local std::array<uint8_t, 65536> index;
    for (int v = 0; v < 65536; ++v)
        index[static_cast<size_t>(v)] = static_cast<uint8_t>(vivaclient::ColormapIndex(v, low, high));
    uint8_t* out = rgb.data();
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x, out += 3) {
            const vivaclient::Rgb c = settings.palette[index[row[x]]];
            out[0] = c.r, out[1] = c.g, out[2] = c.b;
        }
    }
    if (settings.markers && width > 0 && height > 0) {
        const Extremes e = FindExtremes(samples, stride, width, height);
        const int arm = std::max(2, std::min(width, height) / 40);
        Marker(rgb, width, height, e.minX, e.minY, arm);
        Marker(rgb, width, height, e.maxX, e.maxY, arm);
    }
    // The colour bar: the palette from the coldest (bottom) to the hottest
    // (top) along the right edge.
    if (settings.colourBar && height > 1) {
        const int barWidth = std::min(width, std::max(4, width / 32));
        for (int y = 0; y < height; ++y) {
            const auto entry = static_cast<size_t>((height - 1 - y) * 255 / (height - 1));
            for (int x = width - barWidth; x < width; ++x)
                Put(rgb, width, x, y, settings.palette[entry]);
        }
    }
}

}  // namespace vivagst

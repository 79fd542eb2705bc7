#include "colour_frame.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

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

// Digits, the minus sign, the point and the letters of kLostLabel, 3x5
// pixels, one row per byte (bit 2: the left column). Other characters are
// spaces.
constexpr char kGlyphChars[] = "0123456789-.ACELMORST";
constexpr uint8_t kGlyphs[][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7},
    {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {0, 0, 7, 0, 0}, {0, 0, 0, 0, 2},
    {2, 5, 7, 5, 5}, {7, 4, 4, 4, 7}, {7, 4, 6, 4, 7}, {4, 4, 4, 4, 7}, {5, 7, 7, 5, 5}, {2, 5, 5, 5, 2},
    {6, 5, 6, 5, 5}, {3, 4, 2, 1, 6}, {7, 2, 2, 2, 2},
};
constexpr const char* kLostLabel = "CAMERA LOST";

// Writes `text` with its top right corner at (right, top), each font pixel
// `scale` pixels wide, white on a black rim so that it reads on any colour.
void Label(std::vector<uint8_t>& rgb, int width, int height, const std::string& text, int right, int top, int scale)
{
    const int advance = 4 * scale;
    const int left = right - static_cast<int>(text.size()) * advance;
    for (int pass = 0; pass < 2; ++pass) {
        const vivaclient::Rgb ink = pass == 0 ? vivaclient::Rgb{0, 0, 0} : vivaclient::Rgb{255, 255, 255};
        const int rim = pass == 0 ? 1 : 0;
        for (size_t c = 0; c < text.size(); ++c) {
            const char* at = std::strchr(kGlyphChars, text[c]);
            if (!at || !*at)
                continue;
            const uint8_t* glyph = kGlyphs[at - kGlyphChars];
            for (int gy = 0; gy < 5; ++gy)
                for (int gx = 0; gx < 3; ++gx) {
                    if (!(glyph[gy] & (4 >> gx)))
                        continue;
                    const int x0 = left + static_cast<int>(c) * advance + gx * scale, y0 = top + gy * scale;
                    for (int y = y0 - rim; y < y0 + scale + rim; ++y)
                        for (int x = x0 - rim; x < x0 + scale + rim; ++x)
                            if (x >= 0 && x < width && y >= 0 && y < height)
                                Put(rgb, width, x, y, ink);
                }
        }
    }
}

std::string Degrees(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
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
        if (settings.labels) {
            const int scale = std::max(1, height / 120);
            const int right = width - barWidth - 2 * scale;
            Label(rgb, width, height, Degrees(settings.highDegrees), right, scale, scale);
            Label(rgb, width, height, Degrees(settings.lowDegrees), right, height - 6 * scale, scale);
        }
    }
    if (settings.cameraLost)
        MarkLost(rgb, width, height);
}

void MarkLost(std::vector<uint8_t>& rgb, int width, int height)
{
    // The picture at half brightness, the label across the middle (at most
    // two thirds of the width).
    for (uint8_t& channel : rgb)
        channel = static_cast<uint8_t>(channel / 2);
    const int length = static_cast<int>(std::strlen(kLostLabel));
    const int scale = std::max(1, std::min(width * 2 / 3 / (4 * length), height / 12));
    const int right = (width + length * 4 * scale) / 2;
    Label(rgb, width, height, kLostLabel, right, (height - 5 * scale) / 2, scale);
}

}  // namespace vivagst

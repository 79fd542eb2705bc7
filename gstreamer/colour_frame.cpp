#include "colour_frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace vivagst {

namespace {

// Share of the distance to a frame's own range that the auto range moves
// per frame: about a second to follow a change at 25 frames per second.
constexpr double kFollow = 0.1;

// One pixel of the canvas in its layout; in I420 the pixel's 2x2 block
// takes its chroma.
void Put(const Canvas& out, int x, int y, vivaclient::Rgb c)
{
    const auto row = [&](int plane, int line) { return out.planes.data[plane] + out.planes.stride[plane] * line; };
    switch (out.layout) {
    case vivaclient::ColourLayout::Rgb: {
        uint8_t* p = row(0, y) + 3 * x;
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
        break;
    }
    case vivaclient::ColourLayout::Rgbx: {
        uint8_t* p = row(0, y) + 4 * x;
        p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 0xFF;
        break;
    }
    case vivaclient::ColourLayout::Bgrx: {
        uint8_t* p = row(0, y) + 4 * x;
        p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 0xFF;
        break;
    }
    case vivaclient::ColourLayout::I420:
        vivaclient::RgbToYuv(c, row(0, y)[x], row(1, y / 2)[x / 2], row(2, y / 2)[x / 2]);
        break;
    }
}

vivaclient::Rgb Dim(vivaclient::Rgb c)
{
    return {static_cast<uint8_t>(c.r / 2), static_cast<uint8_t>(c.g / 2), static_cast<uint8_t>(c.b / 2)};
}

// A cross of 2*arm+1 pixels each way centred on a pixel coloured `under`,
// black on bright colours and white on dark ones.
void Marker(const Canvas& out, int cx, int cy, int arm, vivaclient::Rgb under, bool dim)
{
    const bool bright = vivaclient::Luminance(under) > 127;
    vivaclient::Rgb ink = bright ? vivaclient::Rgb{0, 0, 0} : vivaclient::Rgb{255, 255, 255};
    if (dim)
        ink = Dim(ink);
    for (int d = -arm; d <= arm; ++d) {
        if (cx + d >= 0 && cx + d < out.width)
            Put(out, cx + d, cy, ink);
        if (cy + d >= 0 && cy + d < out.height)
            Put(out, cx, cy + d, ink);
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
void Label(const Canvas& out, const std::string& text, int right, int top, int scale, bool dim)
{
    const int advance = 4 * scale;
    const int left = right - static_cast<int>(text.size()) * advance;
    for (int pass = 0; pass < 2; ++pass) {
        vivaclient::Rgb ink = pass == 0 ? vivaclient::Rgb{0, 0, 0} : vivaclient::Rgb{255, 255, 255};
        if (dim)
            ink = Dim(ink);
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
                            if (x >= 0 && x < out.width && y >= 0 && y < out.height)
                                Put(out, x, y, ink);
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

Extremes FindExtremes(const uint16_t* samples, size_t stride, int width, int height, vivaclient::SampleSpan span)
{
    Extremes e;
    bool min = false, max = false;
    for (int y = 0; y < height && !(min && max); ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            const uint16_t s = row[x] ^ span.flip;
            if (!min && s == span.min)
                e.minX = x, e.minY = y, min = true;
            if (!max && s == span.max)
                e.maxX = x, e.maxY = y, max = true;
        }
    }
    return e;
}

void ColourFrame(const ColourSettings& settings, const uint16_t* samples, size_t stride, vivaclient::SampleSpan span,
                 double low, double high, vivaclient::ColourKernel& kernel, const Canvas& out)
{
    const int width = out.width, height = out.height;
    // A repeat while the camera is away: every colour at half brightness,
    // the picture's through a dimmed palette.
    const bool dim = settings.cameraLost;
    vivaclient::Colormap palette = settings.palette;
    if (dim)
        for (vivaclient::Rgb& c : palette)
            c = Dim(c);
    kernel.Prepare(palette, span, low, high, out.layout);
    kernel.Colour(samples, stride, width, height, out.planes);
    if (settings.markers && width > 0 && height > 0) {
        const Extremes e = FindExtremes(samples, stride, width, height, span);
        const int arm = std::max(2, std::min(width, height) / 40);
        const auto under = [&](uint16_t s) { return settings.palette[vivaclient::ColormapIndex(s, low, high)]; };
        Marker(out, e.minX, e.minY, arm, under(span.min), dim);
        Marker(out, e.maxX, e.maxY, arm, under(span.max), dim);
    }
    // The colour bar: the palette from the coldest (bottom) to the hottest
    // (top) along the right edge.
    if (settings.colourBar && height > 1) {
        const int barWidth = std::min(width, std::max(4, width / 32));
        for (int y = 0; y < height; ++y) {
            const auto entry = static_cast<size_t>((height - 1 - y) * 255 / (height - 1));
            for (int x = width - barWidth; x < width; ++x)
                Put(out, x, y, palette[entry]);
        }
        if (settings.labels) {
            const int scale = std::max(1, height / 120);
            const int right = width - barWidth - 2 * scale;
            Label(out, Degrees(settings.highDegrees), right, scale, scale, dim);
            Label(out, Degrees(settings.lowDegrees), right, height - 6 * scale, scale, dim);
        }
    }
    if (dim) {
        // The label across the middle, at most two thirds of the width.
        const int length = static_cast<int>(std::strlen(kLostLabel));
        const int scale = std::max(1, std::min(width * 2 / 3 / (4 * length), height / 12));
        const int right = (width + length * 4 * scale) / 2;
        Label(out, kLostLabel, right, (height - 5 * scale) / 2, scale, false);
    }
}

}  // namespace vivagst

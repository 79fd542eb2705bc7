#include <vivaclient/colormaps.h>
#include <vivaclient/colour_kernel.h>

#include <algorithm>
#include <cmath>

namespace vivaclient {

namespace {

struct Stop {
    double at;  // position 0..1 along the table
    double r, g, b;
};

// Piecewise-linear interpolation between colour stops; the stops must start
// at 0 and end at 1.
Colormap FromStops(const std::vector<Stop>& stops)
{
    Colormap table{};
    size_t segment = 0;
    for (int i = 0; i < 256; ++i) {
        const double x = i / 255.0;
        while (segment + 2 < stops.size() && x > stops[segment + 1].at)
            ++segment;
        const Stop& a = stops[segment];
        const Stop& b = stops[segment + 1];
        const double t = b.at > a.at ? std::clamp((x - a.at) / (b.at - a.at), 0.0, 1.0) : 0.0;
        auto mix = [t](double from, double to) { return static_cast<uint8_t>(std::lround(from + (to - from) * t)); };
        table[i] = Rgb{mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b)};
    }
    return table;
}

Colormap WhiteHot()
{
    return FromStops({{0.0, 0, 0, 0}, {1.0, 255, 255, 255}});
}

Colormap BlackHot()
{
    return FromStops({{0.0, 255, 255, 255}, {1.0, 0, 0, 0}});
}

// Black through deep blue and purple to red, orange, yellow and white: the
// stops are chosen so that luminance rises all the way, so the hottest parts
// stay the brightest, as in a white-hot picture.
Colormap Iron()
{
    return FromStops({{0.00, 0, 0, 0},
                      {0.15, 30, 0, 100},
                      {0.35, 120, 0, 150},
                      {0.55, 220, 40, 60},
                      {0.75, 250, 140, 0},
                      {0.90, 255, 220, 40},
                      {1.00, 255, 255, 255}});
}

// Hue sweep at full saturation from blue (cold) through cyan, green and
// yellow to red (hot).
Colormap Rainbow()
{
    Colormap table{};
    for (int i = 0; i < 256; ++i) {
        const double hue = 240.0 * (1.0 - i / 255.0);  // degrees
        const double h = hue / 60.0;
        const double x = 1.0 - std::fabs(std::fmod(h, 2.0) - 1.0);
        double r = 0, g = 0, b = 0;
        if (h < 1) {
            r = 1, g = x;
        } else if (h < 2) {
            r = x, g = 1;
        } else if (h < 3) {
            g = 1, b = x;
        } else {
            g = x, b = 1;
        }
        table[i] = Rgb{static_cast<uint8_t>(std::lround(r * 255)), static_cast<uint8_t>(std::lround(g * 255)),
                       static_cast<uint8_t>(std::lround(b * 255))};
    }
    return table;
}

// The plane's minimum to entry 0 and maximum to entry 255, through the
// colouring kernel; signed samples are ordered by flipping their sign bit.
std::vector<uint8_t> ColouriseSamples(const uint16_t* samples, uint16_t flip, int width, int height,
                                      const Colormap& palette)
{
    const size_t count = static_cast<size_t>(std::max(width, 0)) * static_cast<size_t>(std::max(height, 0));
    std::vector<uint8_t> rgb(count * 3);
    if (count == 0)
        return rgb;
    const auto stride = static_cast<size_t>(width);
    const SampleSpan span = FindSpan(samples, stride, width, height, flip);
    thread_local ColourKernel kernel;
    kernel.Prepare(palette, span, span.min, span.max, ColourLayout::Rgb);
    ColourPlanes out;
    out.data[0] = rgb.data();
    out.stride[0] = stride * 3;
    kernel.Colour(samples, stride, width, height, out);
    return rgb;
}

}  // namespace

const std::vector<ColormapInfo>& Colormaps()
{
    static const std::vector<ColormapInfo> all = {
        {"iron", "black, purple, red, yellow to white", Iron},
        {"white-hot", "grey scale, hot is white", WhiteHot},
        {"black-hot", "grey scale, hot is black", BlackHot},
        {"rainbow", "blue, cyan, green, yellow to red", Rainbow},
    };
    return all;
}

const ColormapInfo* FindColormap(const std::string& name)
{
    for (const ColormapInfo& p : Colormaps())
        if (name == p.name)
            return &p;
    return nullptr;
}

std::string ColormapNames()
{
    std::string names;
    for (const ColormapInfo& p : Colormaps())
        names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

double Luminance(Rgb c)
{
    return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

std::vector<uint8_t> Colourise(const int16_t* samples, int width, int height, const Colormap& palette)
{
    return ColouriseSamples(reinterpret_cast<const uint16_t*>(samples), 0x8000, width, height, palette);
}

std::vector<uint8_t> Colourise(const uint16_t* samples, int width, int height, const Colormap& palette)
{
    return ColouriseSamples(samples, 0, width, height, palette);
}

}  // namespace vivaclient

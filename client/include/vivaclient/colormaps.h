// colormaps.h - false-colour maps for thermal images.
//
// A palette is a 256-entry colour table computed by code; index 0 is the
// coldest value of a picture and 255 the hottest.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vivaclient {

struct Rgb {
    uint8_t r, g, b;
};

using Colormap = std::array<Rgb, 256>;

struct ColormapInfo {
    const char* name;
    const char* description;
    Colormap (*build)();
};

// Every palette the tool offers, the default first.
const std::vector<ColormapInfo>& Colormaps();

// The palette called `name`, or nullptr.
const ColormapInfo* FindColormap(const std::string& name);

// "white-hot, black-hot, iron, rainbow".
std::string ColormapNames();

// Relative luminance (Rec. 709 weights) of a colour, 0 to 255.
double Luminance(Rgb c);

// The palette entry for `value` on a range from `low` (entry 0) to `high`
// (entry 255): linear and rounded, clamped to the table; 0 for an empty
// range. The one rule every colouring (pictures, the live view, video
// elements) follows, so the same frame gets the same colours everywhere.
inline int ColormapIndex(double value, double low, double high)
{
    const double span = high - low;
    if (!(span > 0) || value <= low)
        return 0;
    if (value >= high)
        return 255;
    // Rounded half away from zero, as std::lround, inline: the position is
    // positive here, so its whole part and fraction are exact.
    const double at = (value - low) * 255.0 / span;
    const int whole = static_cast<int>(at);
    return whole + (at - whole >= 0.5 ? 1 : 0);
}

// Colours a plane of samples with `palette`, mapping the plane's minimum to
// entry 0 and its maximum to entry 255 linearly; returns width*height RGB
// triplets row after row. A flat plane maps to entry 0 everywhere. The
// colouring kernel (colour_kernel.h) does the work; other layouts and ranges
// go to it directly.
std::vector<uint8_t> Colourise(const int16_t* samples, int width, int height, const Colormap& palette);
std::vector<uint8_t> Colourise(const uint16_t* samples, int width, int height, const Colormap& palette);

}  // namespace vivaclient

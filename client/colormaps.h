// palette.h - false-colour palettes for thermal images.
//
// A palette is a 256-entry colour table computed by code; index 0 is the
// coldest value of a picture and 255 the hottest.
#pragma once

#include <array>
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

// Colours a plane of samples with `palette`, mapping the plane's minimum to
// entry 0 and its maximum to entry 255 linearly; returns width*height RGB
// triplets row after row. A flat plane maps to entry 0 everywhere.
std::vector<uint8_t> Colourise(const int16_t* samples, int width, int height, const Colormap& palette);
std::vector<uint8_t> Colourise(const uint16_t* samples, int width, int height, const Colormap& palette);

}  // namespace vivaclient

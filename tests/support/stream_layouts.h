// stream_layouts.h - the eight stream layouts a camera sends: four detector
// sizes, each as an image only or as image and temperature (per row the
// image samples, then the raw temperature samples, 16 bits each).
#pragma once

#include <cstddef>
#include <string>

struct StreamLayout {
    int width;
    int height;
    bool withTemp;

    // Bytes of one frame.
    size_t Bytes() const { return size_t(width) * height * 2 * (withTemp ? 2 : 1); }
    // "1280x1024 image+temp", "256x192 image".
    std::string Name() const
    {
        return std::to_string(width) + "x" + std::to_string(height) + (withTemp ? " image+temp" : " image");
    }
};

inline constexpr StreamLayout kStreamLayouts[] = {
    {256, 192, false}, {256, 192, true}, {384, 288, false},   {384, 288, true},
    {640, 512, false}, {640, 512, true}, {1280, 1024, false}, {1280, 1024, true},
};

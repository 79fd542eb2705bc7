// regions.h - rectangular regions of a frame and their temperature figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vivatool {

struct Region {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
};

// "X,Y,W,H" or "NAME=X,Y,W,H"; an unnamed region is called "roi<ordinal>".
// On failure returns nothing and sets `error`.
std::optional<Region> ParseRegion(const std::string& text, int ordinal, std::string& error);

// "" when the region lies inside a width x height frame, else why not.
std::string CheckRegion(const Region& region, int width, int height);

struct RegionFigures {
    int min = 0;      // tenths of a degree
    int max = 0;
    double mean = 0;  // tenths of a degree
    int hottestX = 0;  // the first pixel (row by row) that holds `max`, in frame coordinates
    int hottestY = 0;
};

// Figures of `region` (inside the frame) of a plane `width` samples wide.
RegionFigures MeasureRegion(const int16_t* tenths, int width, const Region& region);

}  // namespace vivatool

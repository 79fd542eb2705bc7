// regions.h - rectangular regions of a frame and their temperature figures.
#pragma once

#include <vivaclient/emissivity.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vivatool {

struct Region {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
    // The region's own emissivity (",emissivity=E"); 0 when it has none and
    // the camera's global value holds.
    double emissivity = 0;
    // With an emissivity of its own: the camera's reading (tenths, index
    // value + 32768) corrected to the region's, made by PrepareEmissivity.
    std::shared_ptr<const std::vector<int16_t>> corrected;
};

// "X,Y,W,H" or "NAME=X,Y,W,H", optionally followed by ",emissivity=E" with
// E above 0 and at most 1; an unnamed region is called "roi<ordinal>".
// Parses into `region`; returns "" or what is wrong.
std::string ParseRegion(const std::string& text, int ordinal, Region& region);

// "" when the region lies inside a width x height frame, else why not.
std::string CheckRegion(const Region& region, int width, int height);

// The emissivity correction of the client layer (emissivity.h).
using vivaclient::CameraRadiometry;
using vivaclient::CorrectEmissivity;

// Gives a region with an emissivity of its own its correction table. ""
// or why not (the camera's unit is not declared, or its emissivity is 0).
std::string PrepareEmissivity(Region& region, const vivaclient::CameraRadiometry& camera);

struct RegionFigures {
    int min = 0;      // tenths of a degree
    int max = 0;
    double mean = 0;  // tenths of a degree
    int hottestX = 0;  // the first pixel (row by row) that holds `max`, in frame coordinates
    int hottestY = 0;
};

// Figures of `region` (inside the frame) of a plane `width` samples wide,
// corrected to the region's emissivity when it has its own.
RegionFigures MeasureRegion(const int16_t* tenths, int width, const Region& region);

}  // namespace vivatool

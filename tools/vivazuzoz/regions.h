// regions.h - rectangular regions of a frame and their temperature figures.
#pragma once

#include <temperature_unit.h>

#include <cstdint>
#include <memory>
#include <optional>
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
// On failure returns nothing and sets `error`.
std::optional<Region> ParseRegion(const std::string& text, int ordinal, std::string& error);

// "" when the region lies inside a width x height frame, else why not.
std::string CheckRegion(const Region& region, int width, int height);

// The camera's global radiometric values a region's emissivity is
// corrected from, in the camera's temperature unit.
struct CameraRadiometry {
    double emissivity = 1;
    double reflectedTemp = 0;
    vivaclient::TemperatureUnit unit;
};

// The broadband (Stefan-Boltzmann) emissivity correction. The camera turned
// the radiance it measured into `reading` assuming `camera.emissivity` and
// the reflected temperature Tr; an object of emissivity e seen through the
// same atmosphere gives the same radiance at the temperature T with
//
//     e T^4 + (1 - e) Tr^4 = ec Tc^4 + (1 - ec) Tr^4     (kelvins)
//     T = ((ec Tc^4 - (ec - e) Tr^4) / e)^(1/4)
//
// The atmosphere's own radiation and the transmittance act on both sides
// alike and cancel. Returns T in the camera's unit; the unit must be
// declared (Celsius, Fahrenheit or Kelvin). Where the right-hand side is
// below zero (a reading colder than the reflection allows) it gives
// absolute zero; a reading at or below absolute zero is returned as it is.
double CorrectEmissivity(double reading, double emissivity, const CameraRadiometry& camera);

// Gives a region with an emissivity of its own its correction table. ""
// or why not (the camera's unit is not declared, or its emissivity is 0).
std::string PrepareEmissivity(Region& region, const CameraRadiometry& camera);

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

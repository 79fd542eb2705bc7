// plane_stats.h - summary figures of a temperature plane.
#pragma once

#include <cstdint>

namespace vivatool {

struct PlaneStats {
    int min = 0;  // tenths of a degree
    int max = 0;
    double mean = 0;   // tenths of a degree
    int hottestX = 0;  // first pixel (row by row) that holds `max`
    int hottestY = 0;
};

// Figures of a width*height plane of tenths; an empty plane gives zeros.
PlaneStats ComputeStats(const int16_t* tenths, int width, int height);

// Minimum and maximum only, for per-frame use while streaming.
void MinMax(const int16_t* tenths, int count, int& min, int& max);

}  // namespace vivatool

#include "plane_stats.h"

#include <algorithm>

namespace vivatool {

PlaneStats ComputeStats(const int16_t* tenths, int width, int height)
{
    PlaneStats stats;
    if (width <= 0 || height <= 0)
        return stats;
    const long count = static_cast<long>(width) * height;
    long hottest = 0;
    long long sum = 0;
    stats.min = stats.max = tenths[0];
    for (long i = 0; i < count; ++i) {
        const int t = tenths[i];
        sum += t;
        stats.min = std::min(stats.min, t);
        if (t > stats.max) {
            stats.max = t;
            hottest = i;
        }
    }
    stats.mean = static_cast<double>(sum) / static_cast<double>(count);
    stats.hottestX = static_cast<int>(hottest % width);
    stats.hottestY = static_cast<int>(hottest / width);
    return stats;
}

void MinMax(const int16_t* tenths, int count, int& min, int& max)
{
    if (count <= 0)
        return;
    const auto [lo, hi] = std::minmax_element(tenths, tenths + count);
    min = *lo;
    max = *hi;
}

}  // namespace vivatool

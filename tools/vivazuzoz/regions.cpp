#include "regions.h"

#include "client.h"

#include <algorithm>
#include <vector>

namespace vivatool {

std::optional<Region> ParseRegion(const std::string& text, int ordinal, std::string& error)
{
    Region region;
    std::string numbers = text;
    const size_t eq = text.find('=');
    if (eq != std::string::npos) {
        region.name = text.substr(0, eq);
        numbers = text.substr(eq + 1);
        if (region.name.empty() || region.name.find_first_of(" ,\"\\") != std::string::npos) {
            error = "a region's name may not be empty or hold spaces, commas, quotes or backslashes: '" + text + "'";
            return std::nullopt;
        }
    } else {
        region.name = "roi" + std::to_string(ordinal);
    }
    std::vector<long long> values;
    size_t start = 0;
    for (;;) {
        const size_t comma = numbers.find(',', start);
        const auto value = ParseInteger(numbers.substr(start, comma == std::string::npos ? std::string::npos
                                                                                        : comma - start));
        if (!value || *value < 0 || *value > 100000) {
            values.clear();
            break;
        }
        values.push_back(*value);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (values.size() != 4 || values[2] == 0 || values[3] == 0) {
        error = "a region is X,Y,W,H or NAME=X,Y,W,H in pixels, with W and H above 0, not '" + text + "'";
        return std::nullopt;
    }
    region.x = static_cast<int>(values[0]);
    region.y = static_cast<int>(values[1]);
    region.width = static_cast<int>(values[2]);
    region.height = static_cast<int>(values[3]);
    return region;
}

std::string CheckRegion(const Region& region, int width, int height)
{
    if (region.x + region.width <= width && region.y + region.height <= height)
        return "";
    return "region " + region.name + " (" + std::to_string(region.x) + "," + std::to_string(region.y) + " " +
           std::to_string(region.width) + "x" + std::to_string(region.height) + ") does not fit in the " +
           std::to_string(width) + "x" + std::to_string(height) + " frame";
}

RegionFigures MeasureRegion(const int16_t* tenths, int width, const Region& region)
{
    RegionFigures figures;
    figures.min = figures.max = tenths[static_cast<size_t>(region.y) * width + region.x];
    figures.hottestX = region.x;
    figures.hottestY = region.y;
    long long sum = 0;
    for (int y = region.y; y < region.y + region.height; ++y) {
        const int16_t* row = tenths + static_cast<size_t>(y) * width + region.x;
        for (int x = 0; x < region.width; ++x) {
            const int t = row[x];
            sum += t;
            figures.min = std::min(figures.min, t);
            if (t > figures.max) {
                figures.max = t;
                figures.hottestX = region.x + x;
                figures.hottestY = y;
            }
        }
    }
    figures.mean = static_cast<double>(sum) / (static_cast<double>(region.width) * region.height);
    return figures;
}

}  // namespace vivatool

#include "regions.h"

#include <vivaclient/number_text.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace vivatool {
using namespace vivaclient;

namespace {

// "X,Y,W,H": four whole numbers from 0 to 100000; empty when it is not that.
std::vector<long long> ParseRectangle(const std::string& numbers)
{
    std::vector<long long> values;
    for (size_t start = 0;;) {
        const size_t comma = numbers.find(',', start);
        const auto value = ParseInteger(
            numbers.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!value || *value < 0 || *value > 100000)
            return {};
        values.push_back(*value);
        if (comma == std::string::npos)
            return values;
        start = comma + 1;
    }
}

}  // namespace

std::string ParseRegion(const std::string& text, int ordinal, Region& region)
{
    region = Region{};
    std::string numbers = text;
    // A name comes before the first comma (",emissivity=" comes after).
    const size_t eq = text.find('=') < text.find(',') ? text.find('=') : std::string::npos;
    region.name = eq == std::string::npos ? "roi" + std::to_string(ordinal) : text.substr(0, eq);
    if (eq != std::string::npos) {
        numbers = text.substr(eq + 1);
        if (region.name.empty() || region.name.find_first_of(" ,\"\\") != std::string::npos)
            return "a region's name may not be empty or hold spaces, commas, quotes or backslashes: '" + text + "'";
    }
    const std::string kEmissivity = ",emissivity=";
    if (const size_t at = numbers.find(kEmissivity); at != std::string::npos) {
        const auto value = ParseDecimal(numbers.substr(at + kEmissivity.size()));
        if (!value || !(*value > 0) || *value > 1)
            return "a region's emissivity is above 0 and at most 1, not '" + text + "'";
        region.emissivity = *value;
        numbers.erase(at);
    }
    const std::vector<long long> values = ParseRectangle(numbers);
    if (values.size() != 4 || values[2] == 0 || values[3] == 0)
        return "a region is X,Y,W,H or NAME=X,Y,W,H in pixels, with W and H above 0 (and optionally "
               ",emissivity=E), not '" +
               text + "'";
    region.x = static_cast<int>(values[0]);
    region.y = static_cast<int>(values[1]);
    region.width = static_cast<int>(values[2]);
    region.height = static_cast<int>(values[3]);
    return "";
}

std::string CheckRegion(const Region& region, int width, int height)
{
    if (region.x + region.width <= width && region.y + region.height <= height)
        return "";
    return "region " + region.name + " (" + std::to_string(region.x) + "," + std::to_string(region.y) + " " +
           std::to_string(region.width) + "x" + std::to_string(region.height) + ") does not fit in the " +
           std::to_string(width) + "x" + std::to_string(height) + " frame";
}

std::string PrepareEmissivity(Region& region, const CameraRadiometry& camera)
{
    if (region.emissivity <= 0)
        return "";
    if (!camera.unit.declared())
        return "region " + region.name + "'s emissivity needs to know the camera's temperature unit, and " +
               camera.unit.label + " is not declared (" + kTempUnitsVariable + ", e.g. " + kTempUnitsVariable + "=" +
               std::to_string(std::max(camera.unit.number, 0)) + "=C)";
    if (!(camera.emissivity > 0))
        return "region " + region.name + "'s emissivity cannot be corrected from the camera's emissivity 0";
    auto table = std::make_shared<std::vector<int16_t>>(65536);
    for (int raw = -32768; raw <= 32767; ++raw) {
        (*table)[static_cast<size_t>(raw + 32768)] = vivaclient::CorrectEmissivityTenths(static_cast<int16_t>(raw),
                                                                                         region.emissivity, camera);
    }
    region.corrected = std::move(table);
    return "";
}

RegionFigures MeasureRegion(const int16_t* tenths, int width, const Region& region)
{
    if (region.corrected) {
        // The region alone, read through its table, measured as it is.
        Region own = region;
        own.corrected.reset();
        own.x = own.y = 0;
        std::vector<int16_t> plane(static_cast<size_t>(region.width) * region.height);
        const int16_t* table = region.corrected->data() + 32768;
        for (int y = 0; y < region.height; ++y) {
            const int16_t* row = tenths + static_cast<size_t>(region.y + y) * width + region.x;
            for (int x = 0; x < region.width; ++x)
                plane[static_cast<size_t>(y) * region.width + x] = table[row[x]];
        }
        RegionFigures figures = MeasureRegion(plane.data(), region.width, own);
        figures.hottestX += region.x;
        figures.hottestY += region.y;
        return figures;
    }
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

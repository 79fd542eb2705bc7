#include "temperature_csv.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vivatool {

void AppendTenths(std::string& out, int tenths)
{
    if (tenths < 0)
        out += '-';
    const unsigned magnitude = static_cast<unsigned>(std::abs(tenths));
    out += std::to_string(magnitude / 10);
    out += '.';
    out += static_cast<char>('0' + magnitude % 10);
}

std::string FormatTenths(int tenths)
{
    std::string s;
    AppendTenths(s, tenths);
    return s;
}

std::string FormatMeanTenths(double tenths)
{
    return FormatTenths(static_cast<int>(std::lround(tenths)));
}

std::string TemperatureCsv(const int16_t* tenths, int width, int height)
{
    std::string csv;
    if (width <= 0 || height <= 0)
        return csv;
    csv.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 6);
    for (int y = 0; y < height; ++y) {
        const int16_t* row = tenths + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x) {
            if (x > 0)
                csv += ',';
            AppendTenths(csv, row[x]);
        }
        csv += '\n';
    }
    return csv;
}

std::string WriteTemperatureCsv(const std::string& path, const int16_t* tenths, int width, int height)
{
    const std::string csv = TemperatureCsv(tenths, width, height);
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        return "cannot create " + path + ": " + std::strerror(errno);
    const bool written = std::fwrite(csv.data(), 1, csv.size(), file) == csv.size();
    const int writeErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(path.c_str());
        return "cannot write " + path + ": " + std::strerror(written ? errno : writeErrno);
    }
    return "";
}

}  // namespace vivatool

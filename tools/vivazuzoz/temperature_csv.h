// temperature_csv.h - temperatures in degrees from the library's tenths.
#pragma once

#include <cstdint>
#include <string>

namespace vivatool {

// Appends a temperature given in tenths of a degree as degrees with one
// decimal: 253 -> "25.3", -5 -> "-0.5". Exact, no floating point.
void AppendTenths(std::string& out, int tenths);
std::string FormatTenths(int tenths);
// A mean of tenths, rounded to the nearest tenth, written as FormatTenths does.
std::string FormatMeanTenths(double tenths);

// The plane as CSV: one line per row, `width` comma-separated values in
// degrees, no header, so it loads as a plain matrix.
std::string TemperatureCsv(const int16_t* tenths, int width, int height);

// Writes TemperatureCsv to `path`. Returns "" on success, else a message.
std::string WriteTemperatureCsv(const std::string& path, const int16_t* tenths, int width, int height);

}  // namespace vivatool

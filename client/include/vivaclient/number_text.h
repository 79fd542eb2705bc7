// number_text.h - strict parsing and tidy formatting of numbers.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vivaclient {

// The whole text as a decimal integer (optional sign, digits only), or
// nothing: "12abc", "", "1e3" and values beyond long long are refused.
std::optional<long long> ParseInteger(const std::string& text);

// The whole text as a finite decimal number ("0.95", "-10", "1e-2"), or
// nothing: "nan", "inf", "" and trailing characters are refused.
std::optional<double> ParseDecimal(const std::string& text);

// `value` with at most `decimals` decimals, trailing zeros and a trailing
// point dropped, never "-0": 0.95 -> "0.95", 25.0 -> "25", -0.00001 -> "0".
std::string FormatDecimal(double value, int decimals);

// A moment as UTC in ISO 8601 with milliseconds: "2026-12-08T09:35:30.123Z".
std::string UtcText(std::chrono::system_clock::time_point when);

}  // namespace vivaclient

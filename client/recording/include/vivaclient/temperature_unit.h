// temperature_unit.h - what a camera's temperature unit numbers mean.
//
// A camera numbers its temperature units, and the numbers are the camera's:
// the library passes them through. The user declares what they mean in the
// environment variable VIVAZUZOZ_TEMP_UNITS, a comma-separated list of
// NUMBER=UNIT with UNIT one of C (Celsius), F (Fahrenheit) or K (Kelvin),
// for example "1=F" or "0=K,1=C". 0 means Celsius unless declared otherwise;
// no other number means anything until it is declared. A number nobody
// declared is named "unit N" everywhere, never taken for degrees Celsius.
#pragma once

#include <optional>
#include <string>

namespace vivaclient {

// The library delivers temperatures in tenths of a degree: a stored value v
// means v * kTemperatureScale + kTemperatureOffset in the camera's unit.
constexpr double kTemperatureScale = 0.1;
constexpr double kTemperatureOffset = 0.0;

constexpr const char* kTempUnitsVariable = "VIVAZUZOZ_TEMP_UNITS";
constexpr const char* kDefaultTempUnits = "0=C";

struct TemperatureUnit {
    int number = -1;   // the camera's number; -1 when the camera did not say
    std::string name;  // "Celsius", "Fahrenheit", "Kelvin"; "" when undeclared
    // The unit as files name it: UDUNITS/CF symbols ("degC", "degF", "K"),
    // which GDAL, netCDF tools and ImageJ show as they are; "unit N" when
    // undeclared, "unknown" when the number is not known.
    std::string symbol;
    // The unit for people: "°C", "°F", "K", "unit N", "unknown unit".
    std::string label;

    bool declared() const { return !name.empty(); }
};

// Checks declarations ("0=C,1=F"): false, with `error` set, when the text
// is not such a list or declares a number twice.
bool CheckUnitDeclarations(const std::string& declarations, std::string& error);

// What the camera's `number` means under `declarations` (text as above,
// assumed checked) and the default 0=C. -1 gives the unknown unit.
TemperatureUnit DeclaredUnit(int number, const std::string& declarations);

// The user's declarations: VIVAZUZOZ_TEMP_UNITS, "" when it is not set.
std::string UnitDeclarations();

// DeclaredUnit under UnitDeclarations(). A malformed variable declares
// nothing (every number is "unit N") and sets `error` when given.
TemperatureUnit DeclaredUnit(int number, std::string* error = nullptr);

// A unit read back from a file: its number and symbol as written.
TemperatureUnit UnitFromFile(int number, const std::string& symbol);

}  // namespace vivaclient

// settings.h - every camera setting the tool can get or set, by name.
//
// The table is the one place that knows which library function serves a
// setting, how its value is written and which values `set` accepts.
#pragma once

#include "result_text.h"

#include <optional>
#include <string>
#include <vector>

namespace vivatool {

class JsonWriter;

enum class SettingGroup { Camera, Environment, ImageTuning, ReadOnly };

// How a setting reaches the camera.
enum class SettingAccess {
    IntFunctions,  // a Get/Set pair taking an int (Set may be absent)
    ImageParam,    // OZL_USB_Get/SetImageParam with `slot` as the type
    EnvParam,      // field `slot` of OZL_USB_ENV_PARAM (read, change one, write back)
    FloatQuery,    // a read-only query giving degrees as a float
    FpaSize,       // the detector's width and height
};

struct Setting {
    const char* name;
    const char* description;
    SettingGroup group;
    SettingAccess access;
    const char* getFunction = nullptr;
    int (*getInt)(unsigned long, int*) = nullptr;
    const char* setFunction = nullptr;
    int (*setInt)(unsigned long, int) = nullptr;
    int (*getFloat)(unsigned long, float*) = nullptr;
    int slot = 0;
    double min = 0;       // range accepted by `set`
    double max = 0;
    int decimals = 0;     // shown for decimal values

    bool readOnly() const;
    bool isInteger() const;  // integer value (else decimal, or a size)
};

// A setting's value: `number` for integer and decimal settings, width and
// height for the detector size.
struct SettingValue {
    double number = 0;
    int width = 0;
    int height = 0;
};

// All settings, in the order `info` and the help show them.
const std::vector<Setting>& Settings();

// The setting called `name`, or nullptr.
const Setting* FindSetting(const std::string& name);

// "palette, temp-level, ..." (optionally only the writable ones).
std::string SettingNames(bool writableOnly);

// Parses a value for `set`: an integer or a decimal as the setting needs,
// inside the setting's range. On failure returns nothing and sets `error`.
std::optional<double> ParseSettingValue(const Setting& setting, const std::string& text, std::string& error);

// Conversion of an environment value for the library, which multiplies by
// 10000 in single precision and truncates: the float returned makes that
// product land on the nearest 1/10000 of `value` instead of just below it.
float EnvValueForWire(double value);

// Reads or writes the setting on an open camera.
Call ReadSetting(unsigned long handle, const Setting& setting, SettingValue& value);
Call WriteSetting(unsigned long handle, const Setting& setting, double value);

// The value as text ("3", "0.95", "256x192") or as a JSON value.
std::string FormatSettingValue(const Setting& setting, const SettingValue& value);
void WriteSettingJson(JsonWriter& json, const Setting& setting, const SettingValue& value);

}  // namespace vivatool

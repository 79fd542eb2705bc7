// settings.h - every camera setting the tool can get or set, by name.
//
// The table is the one place that knows which library function serves a
// setting, how its value is written and which values `set` accepts.
#pragma once

#include <vivaclient/result_text.h>

#include <optional>
#include <string>
#include <vector>

namespace vivaclient {

enum class SettingGroup { Camera, Environment, ImageTuning, ReadOnly };
// "camera", "environment", "image-tuning", "read-only": the group as front
// ends name it to people and programs (the HTTP API, Python's SETTINGS).
const char* SettingGroupName(SettingGroup group);

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
    double min = 0;  // range accepted by `set`
    double max = 0;
    int decimals = 0;        // shown for decimal values
    const char* label = "";  // for people: "Emissivity", "Distance to the object"
    const char* unit = "";   // of the value: "°C", "m", "px", or "" for a plain number

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

// "0 to 255", "0 to 1": the values `set` accepts.
std::string SettingRange(const Setting& setting);
// Whether `value` is in the setting's range; if not, `error` says so, with
// the value as the user gave it (`typed`).
bool InSettingRange(const Setting& setting, double value, const std::string& typed, std::string& error);

// Environment values travel as value x 10000 in a signed 32-bit integer;
// the library multiplies the float it is given by 10000 in single precision
// and truncates toward zero, and divides what it reads in single precision.
// Within +-kEnvExactLimit every value of four decimals survives both ways.
constexpr double kEnvExactLimit = 1024;

// The float that the library's conversion turns into exactly `units`
// (value x 10000), or nothing when no float does (beyond kEnvExactLimit).
std::optional<float> EnvFloatForUnits(long long units);
// The units a float read from the library stands for (value x 10000, rounded).
long long EnvUnitsOfFloat(float value);
// The float for `value` rounded to four decimals, or nothing (see above).
std::optional<float> EnvValueForWire(double value);

// The environment record's fields, in the order of OZL_USB_ENV_PARAM:
// atmospheric temperature, distance, emissivity, reflected temperature,
// transmittance (the `slot` of the EnvParam settings).
constexpr int kEnvFieldCount = 5;
// Writes the fields of the record that `values` gives, every value converted
// exactly (EnvValueForWire). The library writes the five together: when
// some are left out, the record is read first and those are written back as
// the camera had them (so `set emissivity 0.95` changes only the emissivity).
Call WriteEnvironment(unsigned long handle, const std::optional<double> values[kEnvFieldCount]);

// Reads every setting of `settings` with one exchange per value: the
// environment record is read once for all of its fields. `calls` and
// `values` get one entry per setting.
void ReadSettings(unsigned long handle, const std::vector<const Setting*>& settings, std::vector<Call>& calls,
                  std::vector<SettingValue>& values);

// Reads or writes the setting on an open camera. Writing an environment
// value reads the record and writes it back whole, every field converted
// exactly, so the values not meant to change stay as they were.
Call ReadSetting(unsigned long handle, const Setting& setting, SettingValue& value);
Call WriteSetting(unsigned long handle, const Setting& setting, double value);

// The value as text ("3", "0.95", "256x192") or as a JSON value.
std::string FormatSettingValue(const Setting& setting, const SettingValue& value);
// Why a setter's result 1 may have come, with the range the tool knows:
// "the camera refused palette 99 or did not answer (...)".
std::string DescribeRefusal(const Setting& setting, const std::string& value, const Call& call);

// Whether the setting's value is a temperature, in the camera's temperature
// unit (temp-unit, as the user declared it: temperature_unit.h).
bool IsTemperatureSetting(const Setting& setting);

}  // namespace vivaclient

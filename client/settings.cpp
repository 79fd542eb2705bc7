#include <vivaclient/settings.h>

#include <vivaclient/number_text.h>

#include <VIVAZUZOZ.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vivaclient {

namespace {

// One byte on the wire: the library sends only the low 8 bits, so larger
// values would silently become others.
constexpr double kByteMax = 255;
// Temperatures and distances: the widest round range inside kEnvExactLimit.
constexpr double kEnvLimit = 1000;

float OZL_USB_ENV_PARAM::* const kEnvFields[] = {
    &OZL_USB_ENV_PARAM::atmosTemp,     &OZL_USB_ENV_PARAM::distance,      &OZL_USB_ENV_PARAM::emissivity,
    &OZL_USB_ENV_PARAM::reflectedTemp, &OZL_USB_ENV_PARAM::transmittance,
};

Setting IntSetting(const char* name, const char* description, SettingGroup group, const char* getFunction,
                   int (*get)(unsigned long, int*), const char* setFunction, int (*set)(unsigned long, int), double max)
{
    Setting s{name, description, group, SettingAccess::IntFunctions};
    s.getFunction = getFunction;
    s.getInt = get;
    s.setFunction = setFunction;
    s.setInt = set;
    s.max = max;
    return s;
}

Setting ImageParam(const char* name, const char* description, int type, double max)
{
    Setting s{name, description, SettingGroup::ImageTuning, SettingAccess::ImageParam};
    s.getFunction = "OZL_USB_GetImageParam";
    s.setFunction = "OZL_USB_SetImageParam";
    s.slot = type;
    s.max = max;
    return s;
}

Setting EnvParam(const char* name, const char* description, int field, double min, double max)
{
    Setting s{name, description, SettingGroup::Environment, SettingAccess::EnvParam};
    s.getFunction = "OZL_USB_GetEnvParam";
    s.setFunction = "OZL_USB_SetEnvParam";
    s.slot = field;
    s.min = min;
    s.max = max;
    s.decimals = 4;
    return s;
}

Setting FloatQuery(const char* name, const char* description, const char* function, int (*get)(unsigned long, float*))
{
    Setting s{name, description, SettingGroup::ReadOnly, SettingAccess::FloatQuery};
    s.getFunction = function;
    s.getFloat = get;
    s.decimals = 2;
    return s;
}

// A row with its label and unit for people (the page's settings panel).
Setting Shown(Setting s, const char* label, const char* unit = "")
{
    s.label = label;
    s.unit = unit;
    return s;
}

std::vector<Setting> BuildTable()
{
    Setting size{"fpa-size", "detector width x height in pixels", SettingGroup::ReadOnly, SettingAccess::FpaSize};
    size.getFunction = "OZL_USB_GetFPASize";
    // Temperatures are in the camera's unit, Celsius unless temp-unit says otherwise.
    return {
        Shown(IntSetting("palette", "palette number, as the camera numbers them", SettingGroup::Camera,
                         "OZL_USB_GetPalleteType", OZL_USB_GetPalleteType, "OZL_USB_SetPalleteType",
                         OZL_USB_SetPalleteType, kByteMax),
              "Camera palette"),
        Shown(IntSetting("temp-level", "temperature level (measuring range) 0, 1 or 2", SettingGroup::Camera,
                         "OZL_USB_GetTempLevel", OZL_USB_GetTempLevel, "OZL_USB_SeTempLevel", OZL_USB_SeTempLevel, 2),
              "Measuring range"),
        Shown(IntSetting("temp-unit", "temperature unit, as the camera numbers them", SettingGroup::Camera,
                         "OZL_USB_GetTempUnit", OZL_USB_GetTempUnit, "OZL_USB_SetTempUnit", OZL_USB_SetTempUnit,
                         kByteMax),
              "Temperature unit"),
        Shown(IntSetting("image-level", "image level", SettingGroup::Camera, "OZL_USB_GetImageLevel",
                         OZL_USB_GetImageLevel, "OZL_USB_SetImageLevel", OZL_USB_SetImageLevel, kByteMax),
              "Image level"),
        Shown(EnvParam("atmos-temp", "atmospheric temperature, -1000 to 1000", 0, -kEnvLimit, kEnvLimit),
              "Air temperature", "\u00b0C"),
        Shown(EnvParam("distance", "distance to the object, 0 to 1000", 1, 0, kEnvLimit), "Distance to the object",
              "m"),
        Shown(EnvParam("emissivity", "emissivity of the object, 0 to 1", 2, 0, 1), "Emissivity"),
        Shown(EnvParam("reflected-temp", "reflected temperature, -1000 to 1000", 3, -kEnvLimit, kEnvLimit),
              "Reflected temperature", "\u00b0C"),
        Shown(EnvParam("transmittance", "atmospheric transmittance, 0 to 1", 4, 0, 1), "Atmospheric transmittance"),
        Shown(ImageParam("detail", "detail enhancement", OZL_USB_IMAGE_PARAM_DETAIL, kByteMax), "Detail enhancement"),
        Shown(ImageParam("spatial-denoising", "spatial denoising", OZL_USB_IMAGE_PARAM_SPATIAL_DENOISING, kByteMax),
              "Spatial denoising"),
        Shown(ImageParam("contrast", "contrast, 0 to 65535", OZL_USB_IMAGE_PARAM_CONTRAST, 65535), "Contrast"),
        Shown(ImageParam("brightness", "brightness", OZL_USB_IMAGE_PARAM_BRIGHTNESS, kByteMax), "Brightness"),
        Shown(ImageParam("time-denoising", "time (temporal) denoising", OZL_USB_IMAGE_PARAM_TIME_DENOISING, kByteMax),
              "Temporal denoising"),
        Shown(ImageParam("dynamic-range", "dynamic range", OZL_USB_IMAGE_PARAM_DYNAMIC_RANGE, kByteMax),
              "Dynamic range"),
        Shown(FloatQuery("fpa-temp", "detector (FPA) temperature in degrees", "OZL_USB_GetFPATemp", OZL_USB_GetFPATemp),
              "Detector temperature", "\u00b0C"),
        Shown(FloatQuery("camera-temp", "the camera's own temperature in degrees", "OZL_USB_GetCameraTemp",
                         OZL_USB_GetCameraTemp),
              "Camera temperature", "\u00b0C"),
        Shown(size, "Detector size", "px"),
    };
}

}  // namespace

const char* SettingGroupName(SettingGroup group)
{
    switch (group) {
    case SettingGroup::Camera:
        return "camera";
    case SettingGroup::Environment:
        return "environment";
    case SettingGroup::ImageTuning:
        return "image-tuning";
    case SettingGroup::ReadOnly:
        return "read-only";
    }
    return "";
}

bool Setting::readOnly() const
{
    switch (access) {
    case SettingAccess::IntFunctions:
        return setInt == nullptr;
    case SettingAccess::ImageParam:
    case SettingAccess::EnvParam:
        return false;
    case SettingAccess::FloatQuery:
    case SettingAccess::FpaSize:
        return true;
    }
    return true;
}

bool Setting::isInteger() const
{
    return access == SettingAccess::IntFunctions || access == SettingAccess::ImageParam;
}

const std::vector<Setting>& Settings()
{
    static const std::vector<Setting> table = BuildTable();
    return table;
}

const Setting* FindSetting(const std::string& name)
{
    for (const Setting& s : Settings())
        if (name == s.name)
            return &s;
    return nullptr;
}

std::string SettingNames(bool writableOnly)
{
    std::string names;
    for (const Setting& s : Settings())
        if (!writableOnly || !s.readOnly())
            names += (names.empty() ? "" : ", ") + std::string(s.name);
    return names;
}

std::optional<double> ParseSettingValue(const Setting& setting, const std::string& text, std::string& error)
{
    const std::string name = setting.name;
    if (setting.readOnly()) {
        error = "setting '" + name + "' is read-only";
        return std::nullopt;
    }
    std::optional<double> value;
    if (setting.isInteger()) {
        if (const auto integer = ParseInteger(text))
            value = static_cast<double>(*integer);
    } else {
        value = ParseDecimal(text);
    }
    if (!value) {
        error = "'" + text + "' is not " + (setting.isInteger() ? "an integer" : "a number") + " (" + name + " takes " +
                SettingRange(setting) + ")";
        return std::nullopt;
    }
    if (!InSettingRange(setting, *value, text, error))
        return std::nullopt;
    return value;
}

std::string SettingRange(const Setting& setting)
{
    return FormatDecimal(setting.min, setting.decimals) + " to " + FormatDecimal(setting.max, setting.decimals);
}

bool InSettingRange(const Setting& setting, double value, const std::string& typed, std::string& error)
{
    if (std::isfinite(value) && value >= setting.min && value <= setting.max)
        return true;
    error = std::string(setting.name) + " must be " + SettingRange(setting) + ", not " + typed;
    return false;
}

namespace {

// What the library sends for `value`: value x 10000 in single precision,
// truncated toward zero.
long long LibraryUnits(float value)
{
    const float scaled = value * 10000.0f;
    return static_cast<long long>(scaled);
}

}  // namespace

std::optional<float> EnvFloatForUnits(long long units)
{
    if (units > kEnvExactLimit * 10000 || units < -kEnvExactLimit * 10000)
        return std::nullopt;
    // Start at the float nearest to the value and look a few steps either
    // side for one whose product the truncation does not pull below `units`.
    const float nearest = static_cast<float>(static_cast<double>(units) / 10000.0);
    float up = nearest, down = nearest;
    for (int step = 0; step < 8; ++step) {
        if (LibraryUnits(up) == units && EnvUnitsOfFloat(up) == units)
            return up;
        if (LibraryUnits(down) == units && EnvUnitsOfFloat(down) == units)
            return down;
        up = std::nextafter(up, HUGE_VALF);
        down = std::nextafter(down, -HUGE_VALF);
    }
    return std::nullopt;
}

long long EnvUnitsOfFloat(float value)
{
    return std::llround(static_cast<double>(value) * 10000.0);
}

std::optional<float> EnvValueForWire(double value)
{
    if (!std::isfinite(value) || std::fabs(value) > kEnvExactLimit)
        return std::nullopt;
    return EnvFloatForUnits(std::llround(value * 10000.0));
}

Call ReadSetting(unsigned long handle, const Setting& setting, SettingValue& value)
{
    Call call{setting.getFunction, OZL_USB_SUCCESS};
    switch (setting.access) {
    case SettingAccess::IntFunctions: {
        int v = 0;
        call.result = setting.getInt(handle, &v);
        value.number = v;
        break;
    }
    case SettingAccess::ImageParam: {
        int v = 0;
        call.result = OZL_USB_GetImageParam(handle, setting.slot, &v);
        value.number = v;
        break;
    }
    case SettingAccess::EnvParam: {
        OZL_USB_ENV_PARAM env{};
        call.result = OZL_USB_GetEnvParam(handle, &env);
        value.number = env.*kEnvFields[setting.slot];
        break;
    }
    case SettingAccess::FloatQuery: {
        float v = 0;
        call.result = setting.getFloat(handle, &v);
        value.number = v;
        break;
    }
    case SettingAccess::FpaSize:
        call.result = OZL_USB_GetFPASize(handle, &value.width, &value.height);
        break;
    }
    return call;
}

Call WriteSetting(unsigned long handle, const Setting& setting, double value)
{
    switch (setting.access) {
    case SettingAccess::IntFunctions:
        if (setting.setInt)
            return Call{setting.setFunction, setting.setInt(handle, static_cast<int>(value))};
        break;
    case SettingAccess::ImageParam:
        return Call{setting.setFunction, OZL_USB_SetImageParam(handle, setting.slot, static_cast<int>(value))};
    case SettingAccess::EnvParam: {
        std::optional<double> values[kEnvFieldCount];
        values[setting.slot] = value;
        return WriteEnvironment(handle, values);
    }
    case SettingAccess::FloatQuery:
    case SettingAccess::FpaSize:
        break;
    }
    return Call{setting.name, OZL_USB_NOT_SUPPORTED};
}

Call WriteEnvironment(unsigned long handle, const std::optional<double> values[kEnvFieldCount])
{
    OZL_USB_ENV_PARAM env{};
    if (std::any_of(values, values + kEnvFieldCount, [](const std::optional<double>& v) { return !v; })) {
        const Call read{"OZL_USB_GetEnvParam", OZL_USB_GetEnvParam(handle, &env)};
        if (!read.ok())
            return read;
        // Each field read is the float nearest to its units / 10000, which
        // the library's truncation could turn into units - 1 if written back
        // as it is: each is converted to the float that gives its units back.
        for (float OZL_USB_ENV_PARAM::*field : kEnvFields) {
            if (const auto exact = EnvFloatForUnits(EnvUnitsOfFloat(env.*field)))
                env.*field = *exact;
        }
    }
    for (int i = 0; i < kEnvFieldCount; ++i) {
        if (!values[i])
            continue;
        const auto wire = EnvValueForWire(*values[i]);
        if (!wire)
            return Call{"OZL_USB_SetEnvParam", OZL_USB_INVALID_PARAM};
        env.*kEnvFields[i] = *wire;
    }
    return Call{"OZL_USB_SetEnvParam", OZL_USB_SetEnvParam(handle, &env)};
}

void ReadSettings(unsigned long handle, const std::vector<const Setting*>& settings, std::vector<Call>& calls,
                  std::vector<SettingValue>& values)
{
    calls.assign(settings.size(), Call{});
    values.assign(settings.size(), SettingValue{});
    bool envRead = false;
    Call envCall;
    OZL_USB_ENV_PARAM env{};
    for (size_t i = 0; i < settings.size(); ++i) {
        const Setting& s = *settings[i];
        if (s.access != SettingAccess::EnvParam) {
            calls[i] = ReadSetting(handle, s, values[i]);
            continue;
        }
        if (!envRead) {
            envCall = Call{s.getFunction, OZL_USB_GetEnvParam(handle, &env)};
            envRead = true;
        }
        calls[i] = envCall;
        values[i].number = env.*kEnvFields[s.slot];
    }
}

std::string DescribeRefusal(const Setting& setting, const std::string& value, const Call& call)
{
    std::string text = "the camera refused " + std::string(setting.name) + " " + value + " or did not answer (" +
                       call.function + " gave result " + std::to_string(call.result) +
                       "; the library cannot tell the two apart). ";
    const std::string range = SettingRange(setting);
    if (setting.max == kByteMax)
        text += "The tool sends " + range + "; which of these the camera takes is up to the camera.";
    else
        text += std::string(setting.name) + " takes " + range + ".";
    return text;
}

std::string FormatSettingValue(const Setting& setting, const SettingValue& value)
{
    if (setting.access == SettingAccess::FpaSize)
        return std::to_string(value.width) + "x" + std::to_string(value.height);
    return FormatDecimal(value.number, setting.decimals);
}

bool IsTemperatureSetting(const Setting& setting)
{
    for (const char* name : {"atmos-temp", "reflected-temp", "fpa-temp", "camera-temp"})
        if (std::strcmp(setting.name, name) == 0)
            return true;
    return false;
}

}  // namespace vivaclient

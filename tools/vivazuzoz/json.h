// json.h - a small JSON writer for the tool's --json output.
#pragma once

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/settings.h>

#include <string>
#include <vector>
#include <vivaclient/temperature_unit.h>

namespace vivatool {

// The string as a JSON string literal, quotes included. Control characters
// are escaped; bytes that are not valid UTF-8 (a camera's product string may
// hold anything) become U+FFFD so the output always parses.
std::string JsonString(const std::string& text);

// Builds one JSON value incrementally; commas are placed by the writer.
// Keys are only valid directly inside an object.
class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const std::string& key);
    JsonWriter& String(const std::string& value);
    JsonWriter& Int(long long value);
    // A number with at most `decimals` decimals, trailing zeros dropped;
    // NaN and infinities become null.
    JsonWriter& Number(double value, int decimals);
    // A number given as already formatted text (e.g. "25.3").
    JsonWriter& Raw(const std::string& number);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    const std::string& str() const { return out_; }

private:
    void BeforeValue();

    std::string out_;
    std::vector<bool> first_;  // per open container: no element written yet
    bool afterKey_ = false;
};

// A setting's value: a number, or {"width", "height"} for the detector size.
void WriteSettingJson(JsonWriter& json, const vivaclient::Setting& setting, const vivaclient::SettingValue& value);

// A camera's fields, inside an object: name, video_path, serial_path and
// usb_port (null where there is none); the caller writes its "index". The same names everywhere: list
// and info --json, the live server's API, the Python package.
void WriteCameraFields(JsonWriter& json, const vivaclient::CameraInfo& camera);

// A temperature unit's fields, inside an object: "unit" (the symbol files
// use: "degC", "degF", "K", "unit N" when undeclared, "unknown"),
// "unit_label" (for people: "°C", "unit N") and "unit_number" (the camera's
// number, null when unknown).
void WriteUnitFields(JsonWriter& json, const vivaclient::TemperatureUnit& unit);

// A camera session's event as one line of JSON: {"type":"event","event":"lost",
// "time":"2026-...Z","message":"...","camera":"1-1","sequence":N} and, on
// "back", "gap_seconds".
std::string EventJson(const vivaclient::SessionEvent& event);

}  // namespace vivatool

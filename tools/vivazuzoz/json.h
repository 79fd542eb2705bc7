// json.h - the tool's JSON (--json output, the live server's API, MQTT
// payloads, a recording's description), made with Poco::JSON: objects keep
// their keys in the order they were set, Poco escapes the strings and
// writes the text.
#pragma once

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/settings.h>
#include <vivaclient/temperature_unit.h>

#include <Poco/Dynamic/Var.h>

#include <string>
#include <vector>

namespace vivatool {

// The string as a JSON string literal, quotes included. Control characters
// are escaped; bytes that are not valid UTF-8 (a camera's product string may
// hold anything) become U+FFFD so the output always parses.
std::string JsonString(const std::string& text);

// Builds one JSON value in the order it is written, as a tree of
// Poco::JSON objects and arrays that str() writes compactly. Keys are only
// valid directly inside an object.
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
    // A number given as already formatted text (e.g. "25.3"), written as it is.
    JsonWriter& Raw(const std::string& number);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The value written so far, as compact JSON text.
    std::string str() const;

private:
    // Puts `value` into the open container (under the key given last, in an
    // object), or makes it the whole value.
    void Add(const Poco::Dynamic::Var& value);

    Poco::Dynamic::Var root_;
    std::vector<Poco::Dynamic::Var> open_;  // the open objects and arrays, innermost last
    std::string key_;                       // the key of the next value in an object
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

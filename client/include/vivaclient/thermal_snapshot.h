// thermal_snapshot.h - one frame's temperatures with what a file says about
// them: the data behind the radiometric TIFF and JPEG snapshots
// (temperature_tiff.h, radiometric_jpeg.h).
#pragma once

#include <vivaclient/temperature_unit.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vivaclient {

// The environment values, in the order of OZL_USB_ENV_PARAM, by the names
// of the tool's settings.
constexpr int kEnvFields = 5;
constexpr const char* kEnvNames[kEnvFields] = {"atmos-temp", "distance", "emissivity", "reflected-temp",
                                               "transmittance"};

// What is known about the frame besides its planes.
struct SnapshotFacts {
    std::string camera;  // the camera's name; "" when not known
    std::string time;    // UTC, "2026-12-08T09:42:36.123Z"; "" when not known
    TemperatureUnit unit;
    bool hasEnv = false;          // whether `env` holds the camera's values
    double env[kEnvFields] = {};  // kEnvNames order, in the camera's units
    // Other settings as `vivazuzoz info` names and shows them ("palette", "3").
    std::vector<std::pair<std::string, std::string>> settings;
};

struct ThermalSnapshot {
    int width = 0;
    int height = 0;
    std::vector<int16_t> tenths;  // the temperature plane, width*height, row after row
    std::vector<uint16_t> image;  // the image plane (raw counts), or empty
    SnapshotFacts facts;
};

// The facts as named text fields, the one list every file format writes
// (each in its own spelling, see FieldName): "camera", "time",
// "temperature-unit" (the unit's symbol), "temperature-unit-name" (its
// name, "undeclared" when nobody declared it), "temperature-unit-number"
// (the camera's number, -1 when unknown), the five environment values and
// the settings, by the tool's setting names.
std::vector<std::pair<std::string, std::string>> FactFields(const SnapshotFacts& facts);
// The facts back from such fields; unknown fields become settings.
SnapshotFacts FactsFromFields(const std::vector<std::pair<std::string, std::string>>& fields);

// The facts of a recording's frames, from its description (the first
// page's JSON: camera, start time, settings and environment) and the unit
// its temperature pages declare.
SnapshotFacts RecordingFacts(const std::string& description, const TemperatureUnit& unit);

enum class FieldSpelling {
    Upper,  // "TEMPERATURE_UNIT": GDAL's metadata items
    Camel,  // "TemperatureUnit": XMP properties
};
// A field name ("temperature-unit") in another spelling, and back.
std::string FieldName(const std::string& field, FieldSpelling spelling);
std::string FieldFromName(const std::string& name, FieldSpelling spelling);

// Reads the facts of the open camera `handle` called `camera`: the time, the
// temperature unit (declared as UnitDeclarations() says), the environment
// values and the camera settings. What the camera does not answer is left
// out. Defined in the part of the client layer that stands on the library.
SnapshotFacts ReadSnapshotFacts(unsigned long handle, const std::string& camera);

// The open camera's temperature unit as declared (UnitDeclarations()); the
// unknown unit when the camera does not say. Also on the library's side.
TemperatureUnit ReadDeclaredUnit(unsigned long handle);
// The same through a session (a command of its own; unknown while the
// camera is away).
class CameraSession;
TemperatureUnit ReadDeclaredUnit(CameraSession& camera);

}  // namespace vivaclient

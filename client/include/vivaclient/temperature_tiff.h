// temperature_tiff.h - a snapshot as a TIFF file that analysis programs read
// as temperatures.
//
// Page 1: the temperature plane as 32-bit IEEE floats in degrees of the
// camera's unit (one strip, minimum-is-black). Its GDAL_METADATA tag (see
// gdal_metadata.h) gives the band scale 1, offset 0 and unit ("degC"), and
// every fact of the snapshot as an item (CAMERA, TIME, TEMPERATURE_UNIT,
// TEMPERATURE_UNIT_NUMBER, EMISSIVITY, ...); its ImageDescription is an
// ImageJ header ("ImageJ=1.11a\nvunit=degC\n"), so ImageJ shows the unit
// beside the value under the cursor; Model holds the camera's name,
// DateTime the time, PageName "temperature".
// Page 2 (when the snapshot has one): the image plane, 16-bit unsigned raw
// counts, GDAL unit "counts", PageName "image".
#pragma once

#include <vivaclient/thermal_snapshot.h>

#include <string>

namespace vivaclient {

// Writes `shot` (which has a temperature plane) to `path`. Returns "" or a
// message; a partly written file is removed.
std::string WriteTemperatureTiff(const std::string& path, const ThermalSnapshot& shot);

// Reads a file written by WriteTemperatureTiff: the temperatures exactly
// (tenths of a degree), the image plane if present and the facts. Returns ""
// or a message that names the file and says what is wrong.
std::string ReadTemperatureTiff(const std::string& path, ThermalSnapshot& shot);

}  // namespace vivaclient

// snapshot_file.h - the file formats a snapshot can be written in, and
// reading a radiometric snapshot back whatever its format.
#pragma once

#include <vivaclient/thermal_snapshot.h>

#include <optional>
#include <string>

namespace vivaclient {

enum class SnapshotFormat {
    Png,   // a false-colour picture
    Tiff,  // temperatures as data (temperature_tiff.h)
    Jpeg,  // a picture carrying the temperatures (radiometric_jpeg.h)
    Csv,   // temperatures in degrees, one row of pixels per line
};

// "png", "tiff", "jpeg", "csv".
const char* SnapshotFormatName(SnapshotFormat format);
// "png, tiff, jpeg, csv".
std::string SnapshotFormatNames();
// A --format value: the names above, "tif" and "jpg" too.
std::optional<SnapshotFormat> ParseSnapshotFormat(const std::string& name);
// The format a file name's extension says (any case): .png, .tif/.tiff,
// .jpg/.jpeg, .csv; nothing for another or no extension.
std::optional<SnapshotFormat> FormatOfName(const std::string& path);

// Reads a radiometric snapshot written by the tool: a TIFF snapshot or a
// radiometric JPEG, told apart by their first bytes. Returns "" or a message.
std::string ReadSnapshotFile(const std::string& path, ThermalSnapshot& shot);

// Whether the file begins as a JPEG (FF D8) does.
bool LooksLikeJpeg(const std::string& path);

}  // namespace vivaclient

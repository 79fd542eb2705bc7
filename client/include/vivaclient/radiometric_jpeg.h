// radiometric_jpeg.h - a snapshot as a JPEG picture that also carries the
// exact temperature plane and the snapshot's facts.
//
// The file is an ordinary baseline JPEG (JFIF) that every viewer shows. After
// its APP0 come:
//
// - one APP1 segment with XMP: "http://ns.adobe.com/xap/1.0/" and a NUL, then
//   an XMP packet whose rdf:Description carries xmp:CreateDate,
//   xmp:CreatorTool and, in the namespace kXmpNamespace (prefix "vzt"),
//   Width, Height, Scale, Offset and every fact of the snapshot in
//   CamelCase (Camera, Time, TemperatureUnit, TemperatureUnitName,
//   TemperatureUnitNumber, AtmosTemp, Distance, Emissivity, ReflectedTemp,
//   Transmittance, Palette, TempLevel, TempUnit, ...);
//
// - the temperature plane in APP9 segments (marker FF E9), in order. The
//   plane, width*height signed 16-bit little-endian values row after row,
//   is compressed into one zlib stream (RFC 1950), cut into parts of at
//   most kTempPartMax bytes, each part after this 60-byte header (integers
//   little-endian):
//
//     offset size  field
//          0    8  magic "VZ-TEMP" and a NUL
//          8    1  version, 1
//          9    1  sample format, 1: signed 16-bit little-endian
//         10    2  index of this segment, from 0
//         12    2  number of segments
//         14    2  width
//         16    2  height
//         18    8  scale, IEEE 754 double
//         26    8  offset, IEEE 754 double
//         34    2  the camera's unit number, signed (-1: unknown)
//         36   16  the unit's symbol ("degC", "degF", "K", "unit 2"), ASCII, NUL-padded
//         52    4  length of the whole zlib stream
//         56    4  CRC-32 (as zlib's crc32) of the uncompressed plane
//         60       this segment's part of the zlib stream
//
//   A value v means v * scale + offset in the unit (the library's planes:
//   scale 0.1, offset 0).
#pragma once

#include <vivaclient/thermal_snapshot.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vivaclient {

constexpr const char* kXmpNamespace = "http://ns.vivazuzoz.org/thermal/1.0/";
constexpr uint8_t kTempSegmentMarker = 0xE9;  // APP9
constexpr size_t kTempHeaderBytes = 60;
// A segment's length field counts itself: 65535 - 2 - the header.
constexpr size_t kTempPartMax = 65533 - kTempHeaderBytes;

// The picture `rgb` (width*height R, G, B triplets, as Colorize gives them)
// as a radiometric JPEG carrying `shot`'s temperature plane and facts.
// `quality` 1 to 100. False, with `error` set, on failure.
bool EncodeRadiometricJpeg(const ThermalSnapshot& shot, const std::vector<uint8_t>& rgb, int quality, std::string& out,
                           std::string& error);

// Reads the temperature plane and the facts back from a radiometric JPEG's
// bytes (the picture itself is not decoded; `shot.image` stays empty).
// Returns "" or what is wrong.
std::string ParseRadiometricJpeg(const std::string& bytes, ThermalSnapshot& shot);

// The same with files. Returns "" or a message naming the file.
std::string WriteRadiometricJpeg(const std::string& path, const ThermalSnapshot& shot, const std::vector<uint8_t>& rgb);
std::string ReadRadiometricJpeg(const std::string& path, ThermalSnapshot& shot);

}  // namespace vivaclient

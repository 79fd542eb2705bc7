#include <vivaclient/snapshot_file.h>

#include <vivaclient/radiometric_jpeg.h>
#include <vivaclient/temperature_tiff.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace vivaclient {

namespace {

struct FormatName {
    const char* name;
    SnapshotFormat format;
};

// The first name of each format is its own; the others are accepted too.
constexpr FormatName kFormatNames[] = {
    {"png", SnapshotFormat::Png}, {"tiff", SnapshotFormat::Tiff}, {"jpeg", SnapshotFormat::Jpeg},
    {"csv", SnapshotFormat::Csv}, {"tif", SnapshotFormat::Tiff},  {"jpg", SnapshotFormat::Jpeg},
};

}  // namespace

const char* SnapshotFormatName(SnapshotFormat format)
{
    for (const FormatName& f : kFormatNames)
        if (f.format == format)
            return f.name;
    return "";
}

std::string SnapshotFormatNames()
{
    return "png, tiff, jpeg, csv";
}

std::optional<SnapshotFormat> ParseSnapshotFormat(const std::string& name)
{
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const FormatName& f : kFormatNames)
        if (lower == f.name)
            return f.format;
    return std::nullopt;
}

std::optional<SnapshotFormat> FormatOfName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::nullopt;
    return ParseSnapshotFormat(path.substr(dot + 1));
}

bool LooksLikeJpeg(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char head[2] = {};
    return in.read(head, 2) && static_cast<unsigned char>(head[0]) == 0xFF &&
           static_cast<unsigned char>(head[1]) == 0xD8;
}

std::string ReadSnapshotFile(const std::string& path, ThermalSnapshot& shot)
{
    if (LooksLikeJpeg(path))
        return ReadRadiometricJpeg(path, shot);
    std::ifstream in(path, std::ios::binary);
    char head[4] = {};
    if (!in)
        return "cannot open " + path;
    const bool tiff = in.read(head, 4) && (std::string(head, 4) == std::string("II*\0", 4) ||
                                           std::string(head, 4) == std::string("MM\0*", 4) ||
                                           std::string(head, 4) == std::string("II+\0", 4) ||
                                           std::string(head, 4) == std::string("MM\0+", 4));
    if (!tiff)
        return path + " is neither a radiometric JPEG nor a TIFF snapshot";
    return ReadTemperatureTiff(path, shot);
}

}  // namespace vivaclient

#include <vivaclient/radiometric_jpeg.h>

#include <vivaclient/gdal_metadata.h>
#include <vivaclient/jpeg.h>
#include <vivaclient/number_text.h>

#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vivaclient {

namespace {

constexpr char kMagic[8] = {'V', 'Z', '-', 'T', 'E', 'M', 'P', '\0'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kSignedLittle16 = 1;
constexpr const char* kXmpHeader = "http://ns.adobe.com/xap/1.0/";  // and a NUL
constexpr size_t kXmpHeaderBytes = 29;

void PutLittle(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t GetLittle(const std::string& in, size_t at, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
    return value;
}

void PutDouble(std::string& out, double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    PutLittle(out, bits, 8);
}

double GetDouble(const std::string& in, size_t at)
{
    const uint64_t bits = GetLittle(in, at, 8);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// One marker segment: FF, marker, 16-bit big-endian length (counting
// itself), payload.
void PutSegment(std::string& out, uint8_t marker, const std::string& payload)
{
    const size_t length = payload.size() + 2;
    out += static_cast<char>(0xFF);
    out += static_cast<char>(marker);
    out += static_cast<char>(length >> 8);
    out += static_cast<char>(length & 0xFF);
    out += payload;
}

std::string XmpPacket(const ThermalSnapshot& shot)
{
    std::string fields;
    auto add = [&fields](const std::string& name, const std::string& value) {
        fields += "\n    vzt:" + name + "=\"" + XmlEscape(value) + "\"";
    };
    add("Width", std::to_string(shot.width));
    add("Height", std::to_string(shot.height));
    add("Scale", FormatDecimal(kTemperatureScale, 6));
    add("Offset", FormatDecimal(kTemperatureOffset, 6));
    for (const auto& [name, value] : FactFields(shot.facts))
        add(FieldName(name, FieldSpelling::Camel), value);
    std::string created;
    if (!shot.facts.time.empty())
        created = "\n    xmp:CreateDate=\"" + XmlEscape(shot.facts.time) + "\"";
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
           " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
           "  <rdf:Description rdf:about=\"\"\n"
           "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
           "    xmlns:vzt=\"" +
           std::string(kXmpNamespace) + "\"\n    xmp:CreatorTool=\"vivazuzoz\"" + created + fields +
           "/>\n"
           " </rdf:RDF>\n"
           "</x:xmpmeta>\n"
           "<?xpacket end=\"w\"?>";
}

// The vzt: properties of an XMP packet written by XmpPacket, as facts' fields.
std::vector<std::pair<std::string, std::string>> XmpFields(const std::string& xmp)
{
    std::vector<std::pair<std::string, std::string>> fields;
    for (size_t at = xmp.find("vzt:"); at != std::string::npos; at = xmp.find("vzt:", at + 1)) {
        if (at == 0 || !std::isspace(static_cast<unsigned char>(xmp[at - 1])))
            continue;  // "xmlns:vzt=" and text inside values
        const size_t eq = xmp.find("=\"", at);
        const size_t end = eq == std::string::npos ? eq : xmp.find('"', eq + 2);
        if (end == std::string::npos)
            break;
        const std::string name = xmp.substr(at + 4, eq - at - 4);
        fields.emplace_back(name, XmlUnescape(xmp.substr(eq + 2, end - eq - 2)));
    }
    return fields;
}

std::string TempSegments(const ThermalSnapshot& shot, std::string& error)
{
    std::string plane;
    plane.reserve(shot.tenths.size() * 2);
    for (const int16_t v : shot.tenths)
        PutLittle(plane, static_cast<uint16_t>(v), 2);
    uLongf packedSize = compressBound(static_cast<uLong>(plane.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedSize, reinterpret_cast<const Bytef*>(plane.data()),
                  static_cast<uLong>(plane.size()), Z_BEST_COMPRESSION) != Z_OK) {
        error = "compressing the temperature plane failed";
        return "";
    }
    packed.resize(packedSize);
    const size_t count = (packed.size() + kTempPartMax - 1) / kTempPartMax;
    if (count > 65535) {
        error = "the temperature plane is too large for a JPEG";
        return "";
    }
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(plane.data()),
                            static_cast<uInt>(plane.size()));
    std::string out;
    for (size_t index = 0; index < count; ++index) {
        std::string payload(kMagic, sizeof kMagic);
        payload += static_cast<char>(kVersion);
        payload += static_cast<char>(kSignedLittle16);
        PutLittle(payload, index, 2);
        PutLittle(payload, count, 2);
        PutLittle(payload, static_cast<uint64_t>(shot.width), 2);
        PutLittle(payload, static_cast<uint64_t>(shot.height), 2);
        PutDouble(payload, kTemperatureScale);
        PutDouble(payload, kTemperatureOffset);
        PutLittle(payload, static_cast<uint16_t>(static_cast<int16_t>(shot.facts.unit.number)), 2);
        std::string symbol = shot.facts.unit.symbol.substr(0, 15);
        symbol.resize(16, '\0');
        payload += symbol;
        PutLittle(payload, packed.size(), 4);
        PutLittle(payload, crc, 4);
        payload += packed.substr(index * kTempPartMax, kTempPartMax);
        PutSegment(out, kTempSegmentMarker, payload);
    }
    return out;
}

}  // namespace

bool EncodeRadiometricJpeg(const ThermalSnapshot& shot, const std::vector<uint8_t>& rgb, int quality, std::string& out,
                           std::string& error)
{
    const size_t samples = static_cast<size_t>(shot.width) * static_cast<size_t>(shot.height);
    if (shot.width < 1 || shot.height < 1 || shot.width > 65535 || shot.height > 65535 ||
        shot.tenths.size() != samples || rgb.size() != samples * 3) {
        error = "the snapshot has no temperature plane of its picture's size";
        return false;
    }
    std::string picture;
    JpegEncoder encoder;
    if (!encoder.EncodeRgb(rgb.data(), shot.width, shot.height, quality, picture, error))
        return false;
    const std::string segments = TempSegments(shot, error);
    if (segments.empty())
        return false;
    // After SOI and, when TurboJPEG wrote one, the JFIF APP0 segment.
    size_t insertAt = 2;
    if (picture.size() > 6 && static_cast<uint8_t>(picture[2]) == 0xFF && static_cast<uint8_t>(picture[3]) == 0xE0)
        insertAt = 4 + ((static_cast<uint8_t>(picture[4]) << 8) | static_cast<uint8_t>(picture[5]));
    std::string xmp(kXmpHeader, kXmpHeaderBytes);  // with its NUL
    xmp += XmpPacket(shot);
    std::string added;
    PutSegment(added, 0xE1, xmp);
    added += segments;
    out = picture.substr(0, insertAt) + added + picture.substr(insertAt);
    return true;
}

namespace {

// The payloads of the segments before the picture's data, by marker.
std::string Segments(const std::string& bytes, std::vector<std::pair<uint8_t, std::string>>& segments)
{
    if (bytes.size() < 4 || static_cast<uint8_t>(bytes[0]) != 0xFF || static_cast<uint8_t>(bytes[1]) != 0xD8)
        return "it is not a JPEG file";
    size_t at = 2;
    while (at + 4 <= bytes.size()) {
        if (static_cast<uint8_t>(bytes[at]) != 0xFF)
            return "its markers are damaged at byte " + std::to_string(at);
        const uint8_t marker = static_cast<uint8_t>(bytes[at + 1]);
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)  // start of scan, end of image
            return "";
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const size_t length = (static_cast<uint8_t>(bytes[at + 2]) << 8) | static_cast<uint8_t>(bytes[at + 3]);
        if (length < 2 || at + 2 + length > bytes.size())
            return "a segment at byte " + std::to_string(at) + " ends beyond the file's end";
        segments.emplace_back(marker, bytes.substr(at + 4, length - 2));
        at += 2 + length;
    }
    return "it ends before its picture";
}

}  // namespace

std::string ParseRadiometricJpeg(const std::string& bytes, ThermalSnapshot& shot)
{
    std::vector<std::pair<uint8_t, std::string>> segments;
    if (std::string error = Segments(bytes, segments); !error.empty())
        return error;
    std::string xmp;
    std::vector<const std::string*> parts;
    for (const auto& [marker, payload] : segments) {
        if (marker == 0xE1 && payload.compare(0, kXmpHeaderBytes, std::string(kXmpHeader, kXmpHeaderBytes)) == 0)
            xmp = payload.substr(kXmpHeaderBytes);
        else if (marker == kTempSegmentMarker && payload.size() >= kTempHeaderBytes &&
                 payload.compare(0, sizeof kMagic, std::string(kMagic, sizeof kMagic)) == 0)
            parts.push_back(&payload);
    }
    if (parts.empty())
        return "it carries no temperature plane (no APP9 \"VZ-TEMP\" segments)";
    const std::string& first = *parts[0];
    if (static_cast<uint8_t>(first[8]) != kVersion || static_cast<uint8_t>(first[9]) != kSignedLittle16)
        return "its temperature plane is of version " + std::to_string(static_cast<uint8_t>(first[8])) + ", format " +
               std::to_string(static_cast<uint8_t>(first[9])) + " (this reader knows 1, 1)";
    const size_t count = GetLittle(first, 12, 2);
    if (parts.size() != count)
        return "its temperature plane has " + std::to_string(parts.size()) + " of its " + std::to_string(count) +
               " segments";
    std::string packed;
    for (size_t i = 0; i < count; ++i) {
        const std::string& part = *parts[i];
        if (GetLittle(part, 10, 2) != i || part.compare(8, 2, first, 8, 2) != 0 ||
            part.compare(12, kTempHeaderBytes - 12, first, 12, kTempHeaderBytes - 12) != 0)
            return "its temperature segment " + std::to_string(i) + " is out of order or belongs to another plane";
        packed += part.substr(kTempHeaderBytes);
    }
    const int width = static_cast<int>(GetLittle(first, 14, 2));
    const int height = static_cast<int>(GetLittle(first, 16, 2));
    const size_t planeBytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 2;
    if (packed.size() != GetLittle(first, 52, 4))
        return "its temperature plane is cut short";
    // zlib cannot expand data more than about 1032 times: a size beyond
    // that is a damaged header, not a plane to make room for.
    if (planeBytes / 1032 > packed.size() + 1)
        return "its temperature plane claims " + std::to_string(width) + "x" + std::to_string(height) + " values in " +
               std::to_string(packed.size()) + " compressed bytes";
    std::string plane(planeBytes, '\0');
    uLongf planeSize = static_cast<uLongf>(planeBytes);
    if (width < 1 || height < 1 ||
        uncompress(reinterpret_cast<Bytef*>(&plane[0]), &planeSize, reinterpret_cast<const Bytef*>(packed.data()),
                   static_cast<uLong>(packed.size())) != Z_OK ||
        planeSize != planeBytes)
        return "its temperature plane does not decompress to " + std::to_string(width) + "x" + std::to_string(height) +
               " values";
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(plane.data()),
                            static_cast<uInt>(plane.size()));
    if (crc != GetLittle(first, 56, 4))
        return "its temperature plane fails its checksum";
    if (GetDouble(first, 18) != kTemperatureScale || GetDouble(first, 26) != kTemperatureOffset)
        return "its temperature plane has scale " + FormatDecimal(GetDouble(first, 18), 6) + " and offset " +
               FormatDecimal(GetDouble(first, 26), 6) + ", not tenths of a degree";
    shot.width = width;
    shot.height = height;
    shot.tenths.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (size_t i = 0; i < shot.tenths.size(); ++i)
        shot.tenths[i] = static_cast<int16_t>(GetLittle(plane, 2 * i, 2));
    shot.image.clear();
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, value] : XmpFields(xmp))
        if (name != "Width" && name != "Height" && name != "Scale" && name != "Offset")
            fields.emplace_back(FieldFromName(name, FieldSpelling::Camel), value);
    shot.facts = FactsFromFields(fields);
    // The segments' own unit wins: it is what the plane was written with.
    const std::string symbol(first.data() + 36, strnlen(first.data() + 36, 16));
    shot.facts.unit = UnitFromFile(static_cast<int16_t>(GetLittle(first, 34, 2)), symbol);
    return "";
}

std::string WriteRadiometricJpeg(const std::string& path, const ThermalSnapshot& shot, const std::vector<uint8_t>& rgb)
{
    std::string bytes, error;
    if (!EncodeRadiometricJpeg(shot, rgb, 90, bytes, error))
        return path + " not written: " + error;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return "cannot create " + path + ": " + std::strerror(errno);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::remove(path.c_str());
        return "writing " + path + " failed";
    }
    return "";
}

std::string ReadRadiometricJpeg(const std::string& path, ThermalSnapshot& shot)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot open " + path + ": " + std::strerror(errno);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (const std::string error = ParseRadiometricJpeg(bytes, shot); !error.empty())
        return path + " is no radiometric JPEG: " + error;
    return "";
}

}  // namespace vivaclient

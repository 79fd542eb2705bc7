#include <vivaclient/temperature_tiff.h>

#include <vivaclient/gdal_metadata.h>
#include <vivaclient/tiff_messages.h>

#include <tiffio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>

namespace vivaclient {

namespace {

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffFile = std::unique_ptr<TIFF, TiffCloser>;

// "2026-12-08T09:42:36.123Z" as TIFF's DateTime, "2026:12:08 09:42:36".
std::string TiffDateTime(const std::string& iso)
{
    if (iso.size() < 19)
        return "";
    std::string text = iso.substr(0, 19);
    text[4] = text[7] = ':';
    text[10] = ' ';
    return text;
}

void SetPlaneFields(TIFF* tif, const ThermalSnapshot& shot, int bits, uint16_t format, const char* pageName)
{
    const uint32_t height = static_cast<uint32_t>(shot.height);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(shot.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, format);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    TIFFSetField(tif, TIFFTAG_PAGENAME, pageName);
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "vivazuzoz");
    if (!shot.facts.camera.empty())
        TIFFSetField(tif, TIFFTAG_MODEL, shot.facts.camera.c_str());
    if (const std::string time = TiffDateTime(shot.facts.time); !time.empty())
        TIFFSetField(tif, TIFFTAG_DATETIME, time.c_str());
}

bool WritePlane(TIFF* tif, const void* data, size_t bytes)
{
    return TIFFWriteEncodedStrip(tif, 0, const_cast<void*>(data), static_cast<tmsize_t>(bytes)) ==
               static_cast<tmsize_t>(bytes) &&
           TIFFWriteDirectory(tif);
}

std::string WritePages(TIFF* tif, const ThermalSnapshot& shot)
{
    const size_t samples = static_cast<size_t>(shot.width) * static_cast<size_t>(shot.height);
    static_assert(kTemperatureScale == 0.1 && kTemperatureOffset == 0.0, "the planes hold tenths of a degree");
    std::vector<float> degrees(samples);
    for (size_t i = 0; i < samples; ++i)
        degrees[i] = static_cast<float>(shot.tenths[i]) / 10.0f;  // the float nearest to tenths / 10
    const std::string unit = shot.facts.unit.symbol;
    std::vector<GdalItem> items;
    for (const auto& [name, value] : FactFields(shot.facts))
        items.push_back({FieldName(name, FieldSpelling::Upper), value, ""});
    for (GdalItem& band : GdalBandItems(1, 0, unit, "temperature"))
        items.push_back(std::move(band));
    const std::string imagej = "ImageJ=1.11a\nvunit=" + unit + "\n";
    SetPlaneFields(tif, shot, 32, SAMPLEFORMAT_IEEEFP, "temperature");
    TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, imagej.c_str());
    TIFFSetField(tif, TIFFTAG_GDAL_METADATA, GdalMetadataXml(items).c_str());
    if (!WritePlane(tif, degrees.data(), samples * sizeof(float)))
        return "the temperature page";
    if (shot.image.size() == samples) {
        SetPlaneFields(tif, shot, 16, SAMPLEFORMAT_UINT, "image");
        TIFFSetField(tif, TIFFTAG_GDAL_METADATA,
                     GdalMetadataXml(GdalBandItems(1, 0, "counts", "image plane, raw counts")).c_str());
        if (!WritePlane(tif, shot.image.data(), samples * sizeof(uint16_t)))
            return "the image page";
    }
    return "";
}

}  // namespace

std::string WriteTemperatureTiff(const std::string& path, const ThermalSnapshot& shot)
{
    const size_t samples = static_cast<size_t>(shot.width) * static_cast<size_t>(shot.height);
    if (shot.width < 1 || shot.height < 1 || shot.tenths.size() != samples)
        return path + " not written: the snapshot has no temperature plane";
    RegisterGdalMetadataTag();
    std::string messages;
    std::string failed;
    {
        TiffMessages options(&messages);
        TiffFile tif(TIFFOpenExt(path.c_str(), "wl", options.options));
        if (!tif)
            return "cannot create " + path + (messages.empty() ? "" : ": " + messages);
        failed = WritePages(tif.get(), shot);
        if (failed.empty() && !TIFFFlush(tif.get()))
            failed = "the file's end";
    }
    if (failed.empty() && messages.empty())
        return "";
    unlink(path.c_str());
    return "writing " + path + " failed (" + failed + (messages.empty() ? "" : ": " + messages) + ")";
}

namespace {

// Reads the current page's one plane of `bytes` bytes into `out`.
bool ReadPlane(TIFF* tif, void* out, size_t bytes)
{
    uint8_t* dst = static_cast<uint8_t*>(out);
    tmsize_t left = static_cast<tmsize_t>(bytes);
    const uint32_t strips = TIFFNumberOfStrips(tif);
    for (uint32_t s = 0; s < strips && left > 0; ++s) {
        const tmsize_t n = TIFFReadEncodedStrip(tif, s, dst, left);
        if (n < 0)
            return false;
        dst += n;
        left -= n;
    }
    return left == 0;
}

bool PageIs(TIFF* tif, uint32_t width, uint32_t height, uint16_t bits, uint16_t format)
{
    uint32_t w = 0, h = 0;
    uint16_t b = 0, samples = 0, f = SAMPLEFORMAT_UINT;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &b);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &f);
    return (width == 0 || w == width) && (height == 0 || h == height) && w > 0 && h > 0 && w <= 65535 && h <= 65535 &&
           b == bits && samples == 1 && f == format && !TIFFIsTiled(tif);
}

}  // namespace

std::string ReadTemperatureTiff(const std::string& path, ThermalSnapshot& shot)
{
    RegisterGdalMetadataTag();
    std::string messages;
    TiffMessages options(&messages);
    TiffFile tif(TIFFOpenExt(path.c_str(), "r", options.options));
    if (!tif)
        return path + " is not a readable TIFF file" + (messages.empty() ? "" : " (" + messages + ")");
    char* xml = nullptr;
    if (!PageIs(tif.get(), 0, 0, 32, SAMPLEFORMAT_IEEEFP) ||
        TIFFGetField(tif.get(), TIFFTAG_GDAL_METADATA, &xml) != 1 || !xml)
        return path + " is not a temperature snapshot (its first page is no plane of floats with GDAL metadata)";
    std::vector<std::pair<std::string, std::string>> fields;
    for (const GdalItem& item : ParseGdalMetadata(xml))
        if (item.role.empty())
            fields.emplace_back(FieldFromName(item.name, FieldSpelling::Upper), item.value);
    uint32_t width = 0, height = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    const size_t samples = static_cast<size_t>(width) * height;
    // The plane is stored uncompressed (or by another program, compressed at
    // most about a thousand times): a size beyond that is a damaged file.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || samples * sizeof(float) / 1032 > static_cast<size_t>(st.st_size) + 1)
        return path + " is damaged: its " + std::to_string(width) + "x" + std::to_string(height) +
               " temperature page is larger than the file could hold";
    std::vector<float> degrees(samples);
    if (!ReadPlane(tif.get(), degrees.data(), samples * sizeof(float)))
        return path + ": cannot read the temperature page" + (messages.empty() ? "" : " (" + messages + ")");
    shot.width = static_cast<int>(width);
    shot.height = static_cast<int>(height);
    shot.facts = FactsFromFields(fields);
    shot.tenths.resize(samples);
    for (size_t i = 0; i < samples; ++i) {
        const double tenths = std::round((degrees[i] - kTemperatureOffset) / kTemperatureScale);
        if (!(tenths >= INT16_MIN && tenths <= INT16_MAX))
            return path + ": temperature " + std::to_string(degrees[i]) + " is out of the camera's range";
        shot.tenths[i] = static_cast<int16_t>(tenths);
    }
    shot.image.clear();
    if (TIFFReadDirectory(tif.get()) == 1 && PageIs(tif.get(), width, height, 16, SAMPLEFORMAT_UINT)) {
        shot.image.resize(samples);
        if (!ReadPlane(tif.get(), shot.image.data(), samples * sizeof(uint16_t)))
            return path + ": cannot read the image page" + (messages.empty() ? "" : " (" + messages + ")");
    }
    return "";
}

}  // namespace vivaclient

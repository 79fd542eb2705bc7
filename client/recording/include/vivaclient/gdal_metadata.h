// gdal_metadata.h - the GDAL_METADATA TIFF tag (42112): the XML in which
// GDAL, and the programs built on it (QGIS, rasterio), find a page's band
// scale, offset, unit and description and its named metadata items.
//
//   <GDALMetadata>
//     <Item name="CAMERA">Virtual Thermal Camera</Item>
//     <Item name="SCALE" sample="0" role="scale">0.1</Item>
//     <Item name="OFFSET" sample="0" role="offset">0</Item>
//     <Item name="UNITTYPE" sample="0" role="unittype">degC</Item>
//   </GDALMetadata>
//
// A value is band value * SCALE + OFFSET, in UNITTYPE.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vivaclient {

struct GdalItem {
    std::string name;
    std::string value;
    // The band's role ("scale", "offset", "unittype", "description") for an
    // item of band 0; "" for an item of the whole page.
    std::string role;
};

// Makes libtiff know the tag (ASCII, TIFFTAG_GDAL_METADATA), so that it can
// be set and read. Call before opening a file; any thread, any number of
// times.
void RegisterGdalMetadataTag();

// The items as the tag's XML.
std::string GdalMetadataXml(const std::vector<GdalItem>& items);

// The items of the tag's XML as GdalMetadataXml writes it (other XML gives
// what it can: every <Item> with a name).
std::vector<GdalItem> ParseGdalMetadata(const std::string& xml);

// The value of the item called `name`, if any.
std::optional<std::string> FindGdalItem(const std::vector<GdalItem>& items, const std::string& name);

// The band items of a plane whose value v means v * scale + offset in `unit`.
std::vector<GdalItem> GdalBandItems(double scale, double offset, const std::string& unit,
                                    const std::string& description);

// Text with &, <, >, " escaped for XML, and back.
std::string XmlEscape(const std::string& text);
std::string XmlUnescape(const std::string& text);

}  // namespace vivaclient

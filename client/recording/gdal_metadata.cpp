#include <vivaclient/gdal_metadata.h>

#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace vivaclient {

namespace {

// The value of attribute `name` in the tag text `tag` ("Item name=\"X\" ...").
std::string Attribute(const std::string& tag, const std::string& name)
{
    const std::string key = " " + name + "=\"";
    const size_t at = tag.find(key);
    if (at == std::string::npos)
        return "";
    const size_t start = at + key.size();
    const size_t end = tag.find('"', start);
    return end == std::string::npos ? "" : XmlUnescape(tag.substr(start, end - start));
}

// Numbers as GDAL writes them: up to 17 significant digits, no trailing zeros.
std::string NumberText(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    // Prefer the shortest text that reads back as the same double.
    for (int digits = 1; digits <= 17; ++digits) {
        char shorter[40];
        std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
        if (std::strtod(shorter, nullptr) == value)
            return shorter;
    }
    return text;
}

TIFFExtendProc previousExtender = nullptr;

// libtiff calls its tag extender for every file it opens.
void AddGdalMetadataTag(TIFF* tif)
{
    static const TIFFFieldInfo kField[] = {{TIFFTAG_GDAL_METADATA, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_ASCII,
                                            FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALMetadata")}};
    TIFFMergeFieldInfo(tif, kField, 1);
    if (previousExtender)
        previousExtender(tif);
}

}  // namespace

void RegisterGdalMetadataTag()
{
    static std::once_flag once;
    std::call_once(once, [] { previousExtender = TIFFSetTagExtender(AddGdalMetadataTag); });
}

std::string XmlEscape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string XmlUnescape(const std::string& text)
{
    static const std::pair<const char*, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [entity, c] : kEntities) {
                if (text.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
                    out += c;
                    i += std::char_traits<char>::length(entity) - 1;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += text[i];
    }
    return out;
}

std::string GdalMetadataXml(const std::vector<GdalItem>& items)
{
    std::string xml = "<GDALMetadata>\n";
    for (const GdalItem& item : items) {
        xml += "  <Item name=\"" + XmlEscape(item.name) + "\"";
        if (!item.role.empty())
            xml += " sample=\"0\" role=\"" + XmlEscape(item.role) + "\"";
        xml += ">" + XmlEscape(item.value) + "</Item>\n";
    }
    return xml + "</GDALMetadata>\n";
}

std::vector<GdalItem> ParseGdalMetadata(const std::string& xml)
{
    std::vector<GdalItem> items;
    for (size_t at = xml.find("<Item"); at != std::string::npos; at = xml.find("<Item", at + 1)) {
        const size_t tagEnd = xml.find('>', at);
        if (tagEnd == std::string::npos)
            break;
        const std::string tag = xml.substr(at, tagEnd - at);
        GdalItem item;
        item.name = Attribute(tag, "name");
        item.role = Attribute(tag, "role");
        if (tag.back() != '/') {
            const size_t close = xml.find("</Item>", tagEnd);
            if (close == std::string::npos)
                break;
            item.value = XmlUnescape(xml.substr(tagEnd + 1, close - tagEnd - 1));
        }
        if (!item.name.empty())
            items.push_back(std::move(item));
    }
    return items;
}

std::optional<std::string> FindGdalItem(const std::vector<GdalItem>& items, const std::string& name)
{
    for (const GdalItem& item : items)
        if (item.name == name)
            return item.value;
    return std::nullopt;
}

std::vector<GdalItem> GdalBandItems(double scale, double offset, const std::string& unit,
                                    const std::string& description)
{
    return {{"SCALE", NumberText(scale), "scale"},
            {"OFFSET", NumberText(offset), "offset"},
            {"UNITTYPE", unit, "unittype"},
            {"DESCRIPTION", description, "description"}};
}

}  // namespace vivaclient

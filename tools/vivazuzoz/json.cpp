#include "json.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/number_text.h>
#include <vivaclient/settings.h>

#include <cmath>
#include <cstdio>
#include <vivaclient/temperature_unit.h>

namespace vivatool {
using namespace vivaclient;

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 if invalid.
size_t Utf8SequenceLength(const std::string& s, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    unsigned min;
    unsigned code;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

void JsonWriter::BeforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back())
            out_ += ',';
        first_.back() = false;
    }
}

JsonWriter& JsonWriter::BeginObject()
{
    BeforeValue();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndObject()
{
    out_ += '}';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::BeginArray()
{
    BeforeValue();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndArray()
{
    out_ += ']';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key)
{
    BeforeValue();
    out_ += JsonString(key);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& value)
{
    BeforeValue();
    out_ += JsonString(value);
    return *this;
}

JsonWriter& JsonWriter::Int(long long value)
{
    BeforeValue();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Number(double value, int decimals)
{
    if (!std::isfinite(value))
        return Null();
    BeforeValue();
    out_ += FormatDecimal(value, decimals);
    return *this;
}

JsonWriter& JsonWriter::Raw(const std::string& number)
{
    BeforeValue();
    out_ += number;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value)
{
    BeforeValue();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null()
{
    BeforeValue();
    out_ += "null";
    return *this;
}

void WriteSettingJson(JsonWriter& json, const Setting& setting, const SettingValue& value)
{
    if (setting.access == SettingAccess::FpaSize) {
        json.BeginObject().Key("width").Int(value.width).Key("height").Int(value.height).EndObject();
        return;
    }
    json.Number(value.number, setting.decimals);
}

void WriteCameraFields(JsonWriter& json, const CameraInfo& camera)
{
    auto nodeOrNull = [&json](const std::string& path) {
        if (path.empty())
            json.Null();
        else
            json.String(path);
    };
    json.Key("name").String(camera.name).Key("video_path");
    nodeOrNull(camera.videoPath);
    json.Key("serial_path");
    nodeOrNull(camera.serialPath);
    json.Key("usb_port");
    nodeOrNull(camera.usbPort);
}

void WriteUnitFields(JsonWriter& json, const vivaclient::TemperatureUnit& unit)
{
    json.Key("unit").String(unit.symbol).Key("unit_label").String(unit.label).Key("unit_number");
    if (unit.number < 0)
        json.Null();
    else
        json.Int(unit.number);
}

std::string EventJson(const SessionEvent& event)
{
    JsonWriter json;
    json.BeginObject().Key("type").String("event").Key("event").String(EventName(event.kind));
    json.Key("time").String(UtcText(event.when)).Key("message").String(event.message);
    json.Key("camera").String(event.camera.identity()).Key("sequence").Int(static_cast<long long>(event.sequence));
    if (event.kind == SessionEvent::Kind::Back)
        json.Key("gap_seconds").Number(event.gapSeconds, 3);
    if (event.kind == SessionEvent::Kind::ShutterStart || event.kind == SessionEvent::Kind::ShutterEnd) {
        json.Key("commanded").Bool(event.commanded).Key("fpa_temp");
        if (std::isnan(event.fpaTemp))
            json.Null();
        else
            json.Number(event.fpaTemp, 2);
        if (event.kind == SessionEvent::Kind::ShutterEnd)
            json.Key("shutter_seconds").Number(event.shutterSeconds, 3);
    }
    return json.EndObject().str();
}

}  // namespace vivatool

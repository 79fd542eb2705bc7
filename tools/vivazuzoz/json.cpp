#include "json.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/number_text.h>
#include <vivaclient/settings.h>
#include <vivaclient/temperature_unit.h>

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Stringifier.h>
#include <Poco/JSONString.h>
#include <Poco/UTF8Encoding.h>

#include <cctype>
#include <cmath>
#include <sstream>

namespace vivatool {

// A number as the text the tool writes for it ("25.0", "0.95"), which
// Poco's stringifier puts out as it is: a value that is neither a number
// nor a string to Poco goes out as its text.
struct JsonNumberText {
    std::string text;
};

}  // namespace vivatool

namespace Poco::Dynamic {

template <>
class VarHolderImpl<vivatool::JsonNumberText> : public VarHolder {
public:
    explicit VarHolderImpl(const vivatool::JsonNumberText& value) : value_(value) {}
    const std::type_info& type() const override { return typeid(vivatool::JsonNumberText); }
    VarHolder* clone(Placeholder<VarHolder>* holder = nullptr) const override { return cloneHolder(holder, value_); }
    void convert(std::string& text) const override { text = value_.text; }
    const vivatool::JsonNumberText& value() const { return value_; }

private:
    vivatool::JsonNumberText value_;
};

}  // namespace Poco::Dynamic

namespace vivatool {
using namespace vivaclient;

namespace {

// `text` with every byte that does not start a valid UTF-8 sequence (a
// camera's product string may hold anything) replaced by U+FFFD, so that
// the output always parses.
std::string ValidUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = bytes[i];
        const size_t length = lead < 0x80   ? 1
                              : lead < 0xC0 ? 0
                              : lead < 0xE0 ? 2
                              : lead < 0xF0 ? 3
                              : lead < 0xF5 ? 4
                                            : 0;
        if (length == 0 || i + length > text.size() ||
            !Poco::UTF8Encoding::isLegal(bytes + i, static_cast<int>(length))) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

// Poco's text as the tool has always written it: "\u001f" in lower case,
// and DEL escaped as well, which JSON allows as it is but which is a
// control character to a terminal (it is never part of a multi-byte
// sequence). Every backslash in JSON text starts an escape.
std::string LowerCaseEscapes(const std::string& json)
{
    std::string out;
    out.reserve(json.size());
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '\x7F') {
            out += "\\u007f";
            continue;
        }
        out += c;
        if (c != '\\' || i + 1 >= json.size())
            continue;
        const bool unicode = json[++i] == 'u';
        out += json[i];
        for (int k = 0; unicode && k < 4 && i + 1 < json.size(); ++k)
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(json[++i])));
    }
    return out;
}

}  // namespace

std::string JsonString(const std::string& text)
{
    return LowerCaseEscapes(Poco::toJSON(ValidUtf8(text), Poco::JSON_WRAP_STRINGS));
}

void JsonWriter::Add(const Poco::Dynamic::Var& value)
{
    if (open_.empty()) {
        root_ = value;
        return;
    }
    const Poco::Dynamic::Var& container = open_.back();
    if (container.type() == typeid(Poco::JSON::Object::Ptr)) {
        Poco::JSON::Object::Ptr object = container.extract<Poco::JSON::Object::Ptr>();
        object->set(key_, value);
    } else {
        Poco::JSON::Array::Ptr array = container.extract<Poco::JSON::Array::Ptr>();
        array->add(value);
    }
}

JsonWriter& JsonWriter::BeginObject()
{
    const Poco::JSON::Object::Ptr object = new Poco::JSON::Object(Poco::JSON_PRESERVE_KEY_ORDER);
    Add(object);
    open_.emplace_back(object);
    return *this;
}

JsonWriter& JsonWriter::EndObject()
{
    open_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::BeginArray()
{
    const Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
    Add(array);
    open_.emplace_back(array);
    return *this;
}

JsonWriter& JsonWriter::EndArray()
{
    open_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key)
{
    key_ = ValidUtf8(key);
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& value)
{
    Add(ValidUtf8(value));
    return *this;
}

JsonWriter& JsonWriter::Int(long long value)
{
    Add(static_cast<Poco::Int64>(value));
    return *this;
}

JsonWriter& JsonWriter::Number(double value, int decimals)
{
    return std::isfinite(value) ? Raw(FormatDecimal(value, decimals)) : Null();
}

JsonWriter& JsonWriter::Raw(const std::string& number)
{
    Add(JsonNumberText{number});
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value)
{
    Add(value);
    return *this;
}

JsonWriter& JsonWriter::Null()
{
    Add(Poco::Dynamic::Var());
    return *this;
}

std::string JsonWriter::str() const
{
    std::ostringstream text;
    Poco::JSON::Stringifier::condense(root_, text);
    return LowerCaseEscapes(text.str());
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

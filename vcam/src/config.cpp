#include "config.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <vector>

namespace vcam {

namespace {

struct FaultName {
    PortFault fault;
    const char* name;
};

const FaultName kFaultNames[] = {
    {PortFault::None, "none"},
    {PortFault::Silence, "silence"},
    {PortFault::Delay, "delay"},
    {PortFault::WrongEcho, "wrong-echo"},
    {PortFault::WrongStatus, "wrong-status"},
    {PortFault::NoAck, "no-ack"},
    {PortFault::Split, "split"},
    {PortFault::Garbage, "garbage"},
    {PortFault::Late, "late"},
    {PortFault::CarriageReturn, "cr"},
};

}  // namespace

bool ParsePortFault(const std::string& name, PortFault* fault)
{
    for (const FaultName& f : kFaultNames) {
        if (name == f.name) {
            *fault = f.fault;
            return true;
        }
    }
    return false;
}

const char* PortFaultName(PortFault fault)
{
    for (const FaultName& f : kFaultNames)
        if (f.fault == fault)
            return f.name;
    return "none";
}

namespace detail {

namespace {

bool ParseInt(const std::string& s, int* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0')
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool ParseDouble(const std::string& s, double* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end != '\0')
        return false;
    *out = v;
    return true;
}

bool ParseBool(const std::string& s, bool* out)
{
    if (s == "1")
        *out = true;
    else if (s == "0")
        *out = false;
    else
        return false;
    return true;
}

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '%' || c == ';' || c == '=') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string Num(double v)
{
    std::ostringstream o;
    o.precision(17);
    o << v;
    return o.str();
}

// One row per key: how to write it and how to read it back.
struct Key {
    const char* name;
    std::function<std::string(const Config&)> get;
    std::function<bool(Config&, const std::string&)> set;
};

template <typename T>
Key IntKey(const char* name, T CameraSetup::*field)
{
    return {name, [field](const Config& c) { return std::to_string(c.setup.*field); },
            [field](Config& c, const std::string& v) {
                int i;
                if (!ParseInt(v, &i))
                    return false;
                c.setup.*field = static_cast<T>(i);
                return true;
            }};
}

Key DoubleKey(const char* name, double CameraSetup::*field)
{
    return {name, [field](const Config& c) { return Num(c.setup.*field); },
            [field](Config& c, const std::string& v) { return ParseDouble(v, &(c.setup.*field)); }};
}

Key BoolKey(const char* name, bool CameraSetup::*field)
{
    return {name, [field](const Config& c) { return std::string(c.setup.*field ? "1" : "0"); },
            [field](Config& c, const std::string& v) { return ParseBool(v, &(c.setup.*field)); }};
}

const std::vector<Key>& Keys()
{
    static const std::vector<Key> keys = {
        {"cameras", [](const Config& c) { return std::to_string(c.cameras); },
         [](Config& c, const std::string& v) { return ParseInt(v, &c.cameras) && c.cameras >= 0; }},
        {"verbose", [](const Config& c) { return std::string(c.verbose ? "1" : "0"); },
         [](Config& c, const std::string& v) { return ParseBool(v, &c.verbose); }},
        {"name", [](const Config& c) { return c.setup.name; },
         [](Config& c, const std::string& v) {
             c.setup.name = v;
             return true;
         }},
        BoolKey("hasName", &CameraSetup::hasName),
        {"size", [](const Config& c) { return std::to_string(c.setup.width) + "x" + std::to_string(c.setup.height); },
         [](Config& c, const std::string& v) { return ParseSize(v, &c.setup.width, &c.setup.height); }},
        BoolKey("withTemp", &CameraSetup::withTemp),
        {"fps", [](const Config& c) { return Num(c.setup.fps); },
         [](Config& c, const std::string& v) { return ParseDouble(v, &c.setup.fps) && c.setup.fps > 0; }},
        IntKey("captureNodes", &CameraSetup::captureNodes),
        BoolKey("metadataNode", &CameraSetup::metadataNode),
        IntKey("ttyNodes", &CameraSetup::ttyNodes),
        BoolKey("usbParent", &CameraSetup::usbParent),
        BoolKey("uvcListed", &CameraSetup::uvcListed),
        IntKey("buffersGranted", &CameraSetup::buffersGranted),
        IntKey("querycapErrno", &CameraSetup::querycapErrno),
        IntKey("sfmtErrno", &CameraSetup::sfmtErrno),
        BoolKey("intervalNumeratorZero", &CameraSetup::intervalNumeratorZero),
        {"portFault",
         [](const Config& c) {
             return std::string(PortFaultName(c.setup.portFault)) + ":" + std::to_string(c.setup.portFaultMs);
         },
         [](Config& c, const std::string& v) { return ParseFault(v, &c.setup.portFault, &c.setup.portFaultMs); }},
        {"unplugAfter", [](const Config& c) { return Num(c.setup.unplugAfter); },
         [](Config& c, const std::string& v) { return ParseDouble(v, &c.setup.unplugAfter); }},
        {"replugAfter", [](const Config& c) { return Num(c.setup.replugAfter); },
         [](Config& c, const std::string& v) { return ParseDouble(v, &c.setup.replugAfter); }},
        {"unplugEvery", [](const Config& c) { return Num(c.setup.unplugEvery); },
         [](Config& c, const std::string& v) { return ParseDouble(v, &c.setup.unplugEvery); }},
        {"scheduleOrigin", [](const Config& c) { return Num(c.setup.scheduleOrigin); },
         [](Config& c, const std::string& v) { return ParseDouble(v, &c.setup.scheduleOrigin); }},
        BoolKey("hotObject", &CameraSetup::hotObject),
        {"hotObjectPeriod", [](const Config& c) { return Num(c.setup.hotObjectPeriod); },
         [](Config& c, const std::string& v) { return ParseDouble(v, &c.setup.hotObjectPeriod); }},
        {"stateFile", [](const Config& c) { return c.setup.stateFile; },
         [](Config& c, const std::string& v) {
             c.setup.stateFile = v;
             return true;
         }},
        {"replay", [](const Config& c) { return c.setup.replayFile; },
         [](Config& c, const std::string& v) {
             c.setup.replayFile = v;
             return true;
         }},
        BoolKey("replayLoop", &CameraSetup::replayLoop),
        {"replaySpeed", [](const Config& c) { return Num(c.setup.replaySpeed); },
         [](Config& c, const std::string& v) {
             return ParseDouble(v, &c.setup.replaySpeed) && c.setup.replaySpeed > 0;
         }},
        DoubleKey("drift", &CameraSetup::driftPerMinute),
        BoolKey("fpaWarmup", &CameraSetup::fpaWarmup),
        DoubleKey("autoShutter", &CameraSetup::autoShutter),
        IntKey("shutterMs", &CameraSetup::shutterMs),
        {"shutterLook",
         [](const Config& c) { return std::string(c.setup.shutterLook == ShutterLook::Flat ? "flat" : "freeze"); },
         [](Config& c, const std::string& v) { return ParseShutterLook(v, &c.setup.shutterLook); }},
        DoubleKey("shutterTemp", &CameraSetup::shutterTemp),
        DoubleKey("timeScale", &CameraSetup::timeScale),
    };
    return keys;
}

}  // namespace

bool ParseSize(const std::string& text, int* width, int* height)
{
    const size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    int w, h;
    if (!ParseInt(text.substr(0, x), &w) || !ParseInt(text.substr(x + 1), &h) || w < 1 || h < 1)
        return false;
    *width = w;
    *height = h;
    return true;
}

bool ParseShutterLook(const std::string& text, ShutterLook* look)
{
    if (text == "freeze")
        *look = ShutterLook::Freeze;
    else if (text == "flat")
        *look = ShutterLook::Flat;
    else
        return false;
    return true;
}

bool ParseFault(const std::string& text, PortFault* fault, int* ms)
{
    const size_t colon = text.find(':');
    int value = 0;
    if (colon != std::string::npos && !ParseInt(text.substr(colon + 1), &value))
        return false;
    if (!ParsePortFault(text.substr(0, colon), fault))
        return false;
    *ms = value;
    return true;
}

std::string EncodeConfig(const Config& config)
{
    std::string out;
    for (const Key& k : Keys()) {
        if (!out.empty())
            out += ';';
        out += k.name;
        out += '=';
        out += Escape(k.get(config));
    }
    return out;
}

bool DecodeConfig(const std::string& text, Config* config, std::string* error)
{
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ';')) {
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : Unescape(item.substr(eq + 1));
        bool known = false;
        for (const Key& k : Keys()) {
            if (key != k.name)
                continue;
            known = true;
            if (!k.set(*config, value)) {
                *error = "bad value for " + key + ": " + value;
                return false;
            }
        }
        if (!known) {
            *error = "unknown key " + key;
            return false;
        }
    }
    return true;
}

}  // namespace detail
}  // namespace vcam

#include "mqtt_url.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

#include <cctype>

namespace vivatool::monitor {

namespace {

constexpr const char* kForm = "mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX]";

// `text` percent-decoded into `decoded` ("%40" is '@'), as Poco's URI does
// it; false for a bad escape.
bool PercentDecode(const std::string& text, std::string& decoded)
{
    try {
        decoded.clear();
        Poco::URI::decode(text, decoded);
        return true;
    } catch (const Poco::SyntaxException&) {
        return false;
    }
}

bool ParsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    for (const char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

// mqtt:// or mqtts://; `rest` is what follows it. Returns "" or what is wrong.
std::string TakeScheme(const std::string& text, MqttUrl& url, std::string& rest)
{
    for (const bool tls : {false, true}) {
        const std::string scheme = tls ? "mqtts://" : "mqtt://";
        if (text.rfind(scheme, 0) == 0) {
            url.tls = tls;
            rest = text.substr(scheme.size());
            return "";
        }
    }
    return "the broker's URL starts with mqtt:// or mqtts:// (" + std::string(kForm) + "), not '" + text + "'";
}

// The topic prefix after the authority's '/', without slashes at its end.
std::string TakePrefix(const std::string& path, MqttUrl& url)
{
    url.prefix = path;
    while (!url.prefix.empty() && url.prefix.back() == '/')
        url.prefix.pop_back();
    if (url.prefix.empty())
        url.prefix = "vivazuzoz";
    if (url.prefix.find_first_of("+#") != std::string::npos || url.prefix.find("//") != std::string::npos ||
        url.prefix.front() == '/')
        return "the topic prefix '" + url.prefix + "' may not hold '+', '#' or empty levels";
    return "";
}

// USER[:PASSWORD], each percent-encoded.
std::string TakeCredentials(const std::string& credentials, MqttUrl& url)
{
    const size_t colon = credentials.find(':');
    url.hasPassword = colon != std::string::npos;
    if (!PercentDecode(credentials.substr(0, colon), url.user) || url.user.empty() ||
        !PercentDecode(url.hasPassword ? credentials.substr(colon + 1) : "", url.password))
        return "the user name in the broker's URL is empty or has a bad %-escape (write '@' as %40, ':' as %3A, "
               "'%' as %25)";
    return "";
}

// HOST[:PORT] or [IPV6][:PORT]; the port's text in `port` ("x" for a colon
// with nothing after it).
std::string TakeHost(const std::string& authority, MqttUrl& url, std::string& port)
{
    if (authority.empty() || authority.front() != '[') {
        const size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port = authority.substr(colon + 1).empty() ? "x" : authority.substr(colon + 1);
        return "";
    }
    const size_t close = authority.find(']');
    if (close == std::string::npos)
        return "the IPv6 address in the broker's URL lacks its ']'";
    url.host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':')
        return "after the IPv6 address in the broker's URL only :PORT may follow, not '" + after + "'";
    port = after == ":" ? "x" : after.empty() ? "" : after.substr(1);
    return "";
}

}  // namespace

std::string MqttUrl::Display() const
{
    std::string text = tls ? "mqtts://" : "mqtt://";
    if (!user.empty())
        text += user + (hasPassword ? ":***@" : "@");
    text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return text + ":" + std::to_string(port) + "/" + prefix;
}

std::string ParseMqttUrl(const std::string& text, MqttUrl& url)
{
    url = MqttUrl{};
    std::string rest;
    if (std::string error = TakeScheme(text, url, rest); !error.empty())
        return error;
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (std::string error = TakePrefix(slash == std::string::npos ? "" : rest.substr(slash + 1), url); !error.empty())
        return error;
    // The last '@' ends the credentials.
    if (const size_t at = authority.rfind('@'); at != std::string::npos) {
        if (std::string error = TakeCredentials(authority.substr(0, at), url); !error.empty())
            return error;
        authority = authority.substr(at + 1);
    }
    std::string port;
    if (std::string error = TakeHost(authority, url, port); !error.empty())
        return error;
    if (url.host.empty())
        return "the broker's URL names no host (" + std::string(kForm) + "): '" + text + "'";
    url.port = url.tls ? 8883 : 1883;
    if (!port.empty() && !ParsePort(port, url.port))
        return "the broker's port is a number from 1 to 65535, not '" + port + "'";
    return "";
}

}  // namespace vivatool::monitor

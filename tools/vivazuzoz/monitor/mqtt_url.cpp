#include "mqtt_url.h"

#include <cctype>

namespace vivatool::monitor {

namespace {

constexpr const char* kForm = "mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX]";

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::optional<std::string> PercentDecode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
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

}  // namespace

std::string MqttUrl::Display() const
{
    std::string text = tls ? "mqtts://" : "mqtt://";
    if (!user.empty())
        text += user + (hasPassword ? ":***@" : "@");
    text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return text + ":" + std::to_string(port) + "/" + prefix;
}

std::optional<MqttUrl> ParseMqttUrl(const std::string& text, std::string& error)
{
    MqttUrl url;
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
    } else if (text.rfind("mqtts://", 0) == 0) {
        url.tls = true;
        rest = text.substr(8);
    } else {
        error = "the broker's URL starts with mqtt:// or mqtts:// (" + std::string(kForm) + "), not '" + text + "'";
        return std::nullopt;
    }
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    url.prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!url.prefix.empty() && url.prefix.back() == '/')
        url.prefix.pop_back();
    if (url.prefix.empty())
        url.prefix = "vivazuzoz";
    if (url.prefix.find_first_of("+#") != std::string::npos || url.prefix.find("//") != std::string::npos ||
        url.prefix.front() == '/') {
        error = "the topic prefix '" + url.prefix + "' may not hold '+', '#' or empty levels";
        return std::nullopt;
    }
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string credentials = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const size_t colon = credentials.find(':');
        const auto user = PercentDecode(credentials.substr(0, colon));
        const auto password = colon == std::string::npos ? std::optional<std::string>("")
                                                         : PercentDecode(credentials.substr(colon + 1));
        if (!user || !password || user->empty()) {
            error = "the user name in the broker's URL is empty or has a bad %-escape (write '@' as %40, ':' as "
                    "%3A, '%' as %25)";
            return std::nullopt;
        }
        url.user = *user;
        url.password = *password;
        url.hasPassword = colon != std::string::npos;
    }
    std::string portText;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            error = "the IPv6 address in the broker's URL lacks its ']'";
            return std::nullopt;
        }
        url.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') {
            error = "after the IPv6 address in the broker's URL only :PORT may follow, not '" + after + "'";
            return std::nullopt;
        }
        if (!after.empty())
            portText = after.substr(1);
        if (after == ":")
            portText = "x";
    } else {
        const size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            portText = authority.substr(colon + 1).empty() ? "x" : authority.substr(colon + 1);
    }
    if (url.host.empty()) {
        error = "the broker's URL names no host (" + std::string(kForm) + "): '" + text + "'";
        return std::nullopt;
    }
    url.port = url.tls ? 8883 : 1883;
    if (!portText.empty() && !ParsePort(portText, url.port)) {
        error = "the broker's port is a number from 1 to 65535, not '" + portText + "'";
        return std::nullopt;
    }
    return url;
}

}  // namespace vivatool::monitor

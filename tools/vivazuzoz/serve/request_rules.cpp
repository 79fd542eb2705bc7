#include "request_rules.h"

#include <Poco/Base64Decoder.h>
#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <sstream>

namespace vivatool::serve {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsIpLiteral(const std::string& name)
{
    Poco::Net::IPAddress address;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        return Poco::Net::IPAddress::tryParse(name.substr(1, name.size() - 2), address) &&
               address.family() == Poco::Net::IPAddress::IPv6;
    // Only dotted quads: tryParse also takes forms like "1" or "0x7f.1",
    // which browsers would resolve differently.
    if (name.empty() || name.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(name.begin(), name.end(), '.') != 3)
        return false;
    return Poco::Net::IPAddress::tryParse(name, address) && address.family() == Poco::Net::IPAddress::IPv4;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::optional<int> SmallIndex(const std::string& text)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoi(text);
}

}  // namespace

bool HostAllowed(const std::string& host, uint16_t port, const std::vector<std::string>& extraNames)
{
    std::string name = host;
    std::string portText;
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
        name = host.substr(0, colon);
        portText = host.substr(colon + 1);
        if (portText.empty())
            return false;
    }
    if (portText.empty()) {
        if (port != 80)
            return false;
    } else if (portText.find_first_not_of("0123456789") != std::string::npos || portText.size() > 5 ||
               std::stoi(portText) != port) {
        return false;
    }
    name = Lower(name);
    if (name == "localhost" || IsIpLiteral(name))
        return true;
    for (const std::string& extra : extraNames)
        if (!extra.empty() && name == Lower(extra))
            return true;
    return false;
}

bool OriginAllowed(const std::string& origin, const std::string& host, bool tls)
{
    if (origin.empty())
        return true;
    return !host.empty() && Lower(origin) == (tls ? "https://" : "http://") + Lower(host);
}

bool TokenMatches(const std::string& expected, const std::string& given)
{
    unsigned char difference = expected.size() == given.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0 && !expected.empty();
}

std::string CookieValue(const std::string& header, const std::string& name)
{
    for (std::string part : Split(header, ';')) {
        const size_t start = part.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        part = part.substr(start);
        if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
            return part.substr(name.size() + 1);
    }
    return "";
}

namespace {

// The password of "Basic base64(user:password)"; "" when it is not one.
std::string BasicPassword(const std::string& authorization)
{
    if (authorization.size() <= 6 || Lower(authorization.substr(0, 6)) != "basic ")
        return "";
    std::string decoded;
    try {
        std::istringstream encoded(authorization.substr(6));
        Poco::Base64Decoder decoder(encoded);
        decoded.assign(std::istreambuf_iterator<char>(decoder), std::istreambuf_iterator<char>());
    } catch (const Poco::Exception&) {
        return "";
    }
    const size_t colon = decoded.find(':');
    return colon == std::string::npos ? "" : decoded.substr(colon + 1);
}

}  // namespace

std::string TokenGiven(const Credentials& credentials, const std::string& cookieName)
{
    if (!credentials.query.empty())
        return credentials.query;
    const std::string& authorization = credentials.authorization;
    if (authorization.size() > 7 && Lower(authorization.substr(0, 7)) == "bearer ")
        return authorization.substr(7);
    const std::string password = BasicPassword(authorization);
    if (!password.empty())
        return password;
    if (!credentials.xToken.empty())
        return credentials.xToken;
    return CookieValue(credentials.cookie, cookieName);
}

bool PathTraverses(const std::string& rawPath)
{
    std::string path = Lower(rawPath);
    for (const char* encoded : {"%2e", "%2f", "%5c", "%00"})
        if (path.find(encoded) != std::string::npos)
            return true;
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos)
        return true;
    for (const std::string& segment : Split(path, '/'))
        if (segment == "..")
            return true;
    return false;
}

bool IsApiPath(const std::string& path)
{
    return path == "/api" || path.compare(0, 5, "/api/") == 0;
}

namespace {

// Whether `parts` (a path split at '/') match a pattern's; a "{camera}"
// segment that is not an index sets `badIndex`, one that is sets `camera`.
bool SegmentsMatch(const std::vector<std::string>& pattern, const std::vector<std::string>& parts, RouteMatch& match,
                   bool& badIndex)
{
    for (size_t i = 0; i < pattern.size() && i < parts.size(); ++i) {
        if (pattern[i] == "{camera}") {
            const auto index = SmallIndex(parts[i]);
            if (!index)
                return badIndex = true, false;
            match.camera = *index;
        } else if (pattern[i] == "{name}") {
            if (parts[i].empty())
                return false;
            match.name = parts[i];
        } else if (pattern[i] != parts[i]) {
            return false;
        }
    }
    return pattern.size() == parts.size();
}

}  // namespace

RouteMatch MatchRoute(const std::vector<Route>& routes, const std::string& path)
{
    const bool api = IsApiPath(path);
    const std::vector<std::string> parts = Split(path, '/');  // "", "api", ...
    bool badIndex = false;
    int partialCamera = -1;
    for (const Route& route : routes) {
        RouteMatch match;
        const bool matched = std::string(route.pattern) == "*"
                                 ? !api
                                 : SegmentsMatch(Split(route.pattern, '/'), parts, match, badIndex);
        if (matched) {
            match.route = &route;
            match.miss = RouteMiss::None;
            return match;
        }
        if (match.camera >= 0)
            partialCamera = match.camera;
    }
    RouteMatch miss;
    miss.miss = badIndex ? RouteMiss::BadIndex : RouteMiss::Unknown;
    miss.camera = badIndex ? -1 : partialCamera;
    return miss;
}

std::string SettingBodyValue(const std::string& body)
{
    const size_t first = body.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    const size_t last = body.find_last_not_of(" \t\r\n");
    std::string value = body.substr(first, last - first + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

}  // namespace vivatool::serve

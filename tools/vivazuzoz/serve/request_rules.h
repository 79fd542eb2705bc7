// request_rules.h - the live view's rules for accepting a request: which
// Host and Origin headers, which token, which paths. Plain functions of
// strings, so each rule is decided in one place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vivatool::serve {

// Whether a Host header names this server: "localhost", an IP address
// literal ("127.0.0.1", "[::1]") or one of `extraNames`, with the server's
// port (the port may be left out only when it is 80). Any other name could
// be a DNS name that an attacker's page points at us (DNS rebinding).
bool HostAllowed(const std::string& host, uint16_t port, const std::vector<std::string>& extraNames);

// Whether a request with this Origin header may change something or open a
// stream: no Origin (not a browser's cross-site request), or exactly
// "http://" (or under TLS "https://") + the request's Host header.
bool OriginAllowed(const std::string& origin, const std::string& host, bool tls);

// Compares a token given by a client with the server's in time that does
// not depend on where they differ.
bool TokenMatches(const std::string& expected, const std::string& given);

// The value of one cookie from a Cookie header, or "" when absent.
std::string CookieValue(const std::string& header, const std::string& name);

// Where a request may carry the token.
struct Credentials {
    std::string query;          // ?token=
    std::string authorization;  // the Authorization header
    std::string xToken;         // the X-Token header
    std::string cookie;         // the Cookie header
};
// The token a request carries, taken from the first of: ?token=, an
// Authorization header ("Bearer TOKEN", or "Basic" with the token as the
// password and any user name, as players and video recorders send it),
// X-Token, the token's cookie (named `cookieName`). "" when none.
std::string TokenGiven(const Credentials& credentials, const std::string& cookieName);

// A path that must not be served whatever the routes say: a ".." segment,
// raw or percent-encoded, a backslash or a NUL byte.
bool PathTraverses(const std::string& rawPath);

// Whether a decoded path is under /api/ (the API's, not the page's files).
bool IsApiPath(const std::string& path);

struct Exchange;
using RouteHandler = void (*)(Exchange& exchange);

// One row of a server's route table. A pattern's segments are literal, or
// "{camera}" (a camera's index: a small whole number) or "{name}" (any
// non-empty segment); the pattern "*" stands for any path outside /api/.
struct Route {
    const char* method;  // "GET", "PUT" or "POST"
    const char* pattern;
    RouteHandler handler;
    bool head;  // HEAD is answered as GET without the body
};

enum class RouteMiss {
    None,      // a route matched
    Unknown,   // no route has this path
    BadIndex,  // /api/cameras/{not a small non-negative number}/...
};

struct RouteMatch {
    const Route* route = nullptr;  // null: see `miss`
    RouteMiss miss = RouteMiss::Unknown;
    int camera = -1;   // {camera}; of a miss, the camera a partial match named
    std::string name;  // {name}
};

// The first row of `routes` whose pattern matches the decoded path.
RouteMatch MatchRoute(const std::vector<Route>& routes, const std::string& path);

// A body value for a setting: surrounding white space and one pair of
// double quotes dropped, so "0.95", " 0.95\n" and "\"0.95\"" all read 0.95.
std::string SettingBodyValue(const std::string& body);

}  // namespace vivatool::serve

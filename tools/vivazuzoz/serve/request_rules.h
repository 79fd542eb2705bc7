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

// The API's routes, from the decoded path.
enum class RouteKind {
    None,           // not an API path
    Settings,       // GET /api/settings (the setting names and ranges)
    Colormaps,      // GET /api/colormaps (the colour tables the page draws with)
    Cameras,        // GET /api/cameras
    CameraSettings, // GET /api/cameras/{index}/settings
    CameraSetting,  // PUT /api/cameras/{index}/settings/{name}
    Shutter,        // POST /api/cameras/{index}/shutter
    SnapshotPng,    // GET /api/cameras/{index}/snapshot.png
    TemperatureCsv, // GET /api/cameras/{index}/temperature.csv
    Stream,         // GET /api/cameras/{index}/stream (WebSocket)
    MjpegStream,    // GET /api/cameras/{index}/stream.mjpg
    SnapshotJpeg,   // GET /api/cameras/{index}/snapshot.jpg
    BadIndex,       // /api/cameras/{not a small non-negative number}/...
    Unknown,        // another path under /api/
};

struct Route {
    RouteKind kind = RouteKind::None;
    int camera = -1;
    std::string setting;  // CameraSetting only

    // The one method the route answers ("GET", "PUT" or "POST").
    const char* method() const;
};

Route ParseRoute(const std::string& path);

// A body value for a setting: surrounding white space and one pair of
// double quotes dropped, so "0.95", " 0.95\n" and "\"0.95\"" all read 0.95.
std::string SettingBodyValue(const std::string& body);

}  // namespace vivatool::serve

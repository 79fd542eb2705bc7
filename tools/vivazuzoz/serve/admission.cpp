#include "admission.h"

#include "file_endpoints.h"
#include "http_answers.h"
#include "listening.h"
#include "request_rules.h"

#include <Poco/String.h>

namespace vivatool::serve {

using Poco::Net::HTTPResponse;

namespace {

const char kTokenCookie[] = "vivazuzoz-token";

// The (bounded) body, read whatever the answer will be, so that the
// connection is left at the start of the next request.
bool ReadBody(Exchange& exchange)
{
    auto& request = exchange.request;
    auto& response = exchange.response;
    const size_t most = exchange.server.options.maxBody;
    const auto tooLarge = [&response, most] {
        response.setKeepAlive(false);  // the body is left unread
        SendError(response, HTTPResponse::HTTP_REQUEST_ENTITY_TOO_LARGE,
                  "request body larger than " + std::to_string(most) + " bytes");
        return false;
    };
    const auto declared = request.getContentLength64();
    if (declared > static_cast<Poco::Int64>(most))
        return tooLarge();
    if (declared <= 0 && !request.getChunkedTransferEncoding())
        return true;
    // Read one byte more than allowed, so a chunked body that is too long
    // shows itself without being read to its end.
    std::string& body = exchange.body;
    body.resize(most + 1);
    std::istream& in = request.stream();
    in.read(&body[0], static_cast<std::streamsize>(body.size()));
    body.resize(static_cast<size_t>(in.gcount()));
    // A body cut short (by the client, or by the watchdog for taking too
    // long) is never acted on.
    if (ConnectionGuard::CutByWatchdog())
        return false;
    if (declared > 0 && static_cast<Poco::Int64>(body.size()) < declared) {
        response.setKeepAlive(false);
        SendError(response, HTTPResponse::HTTP_BAD_REQUEST, "request body shorter than its Content-Length");
        return false;
    }
    return body.size() <= most || tooLarge();
}

// With a token set: the request carries it (request_rules.h TokenGiven:
// query, Authorization Bearer or Basic, X-Token, or the cookie set when the
// page was loaded with ?token=).
bool TokenAdmitted(Exchange& exchange)
{
    const ServerState& server = exchange.server;
    const Poco::URI& uri = exchange.uri;
    if (server.options.token.empty() || uri.getPath() == "/favicon.ico")
        return true;
    auto& request = exchange.request;
    auto& response = exchange.response;
    Credentials credentials;
    for (const auto& [key, value] : uri.getQueryParameters())
        if (key == "token")
            credentials.query = value;
    credentials.authorization = request.get("Authorization", "");
    credentials.xToken = request.get("X-Token", "");
    credentials.cookie = request.get("Cookie", "");
    const std::string given = TokenGiven(credentials, kTokenCookie);
    if (!TokenMatches(server.options.token, given)) {
        // A browser that opens the page without the token gets a page that
        // asks for it; programs get JSON, and the challenge that makes
        // players and video recorders send Basic credentials.
        const std::string& method = request.getMethod();
        if ((method == "GET" || method == "HEAD") && !IsApiPath(uri.getPath()) &&
            request.get("Accept", "").find("text/html") != std::string::npos)
            return SendTokenPage(response, !given.empty()), false;
        response.set("WWW-Authenticate", "Basic realm=\"vivazuzoz\"");
        return SendError(response, HTTPResponse::HTTP_UNAUTHORIZED,
                         given.empty() ? "a token is needed (?token=, Authorization: Bearer or Basic, or X-Token)"
                                       : "wrong token"),
               false;
    }
    // The page and the files and streams it loads then carry the token as a
    // cookie that other sites' requests do not get (and that goes over TLS
    // only when the server speaks it); the page takes ?token= out of the
    // address bar.
    if (!credentials.query.empty())
        response.set("Set-Cookie", std::string(kTokenCookie) + "=" + server.options.token +
                                       "; Path=/; HttpOnly; SameSite=Strict" + (server.tls ? "; Secure" : ""));
    return true;
}

}  // namespace

bool Admit(Exchange& exchange)
{
    if (!ReadBody(exchange))
        return false;
    ConnectionGuard::BodyRead();

    auto& request = exchange.request;
    auto& response = exchange.response;
    const ServerState& server = exchange.server;
    exchange.host = request.get("Host", "");
    if (!HostAllowed(exchange.host, server.port, server.options.extraHosts))
        return SendError(response, HTTPResponse::HTTP_FORBIDDEN,
                         "Host header '" + exchange.host + "' is not this server's; use localhost or an IP address"),
               false;

    const std::string rawUri = request.getURI();
    if (rawUri.size() > 2048)
        return SendError(response, HTTPResponse::HTTP_REQUEST_URI_TOO_LONG, "request URI too long"), false;
    const std::string rawPath = rawUri.substr(0, rawUri.find('?'));
    if (rawPath.empty() || rawPath[0] != '/' || PathTraverses(rawPath))
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, "path not allowed"), false;
    exchange.uri = Poco::URI(rawUri);

    if (!TokenAdmitted(exchange))
        return false;

    const std::string& method = request.getMethod();
    const bool upgrade = Poco::icompare(request.get("Upgrade", ""), "websocket") == 0;
    const bool changes = method != "GET" && method != "HEAD";
    if ((changes || upgrade) && !OriginAllowed(request.get("Origin", ""), exchange.host, server.tls))
        return SendError(response, HTTPResponse::HTTP_FORBIDDEN, "request from another origin refused"), false;
    return true;
}

bool TakeStreamSlot(Exchange& exchange, const StreamSlot& slot)
{
    if (slot.taken())
        return true;
    SendError(exchange.response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
              "too many streams open (at most " + std::to_string(exchange.server.options.maxStreams) + ")");
    return false;
}

}  // namespace vivatool::serve

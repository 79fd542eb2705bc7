#include "file_endpoints.h"

#include "browser_pages.h"
#include "http_answers.h"
#include "web_assets.h"

namespace vivatool::serve {

using Poco::Net::HTTPResponse;

void StaticFile(Exchange& exchange)
{
    auto& response = exchange.response;
    const std::string path = exchange.uri.getPath();
    const EmbeddedFile* file = FindEmbeddedFile(path);
    if (!file)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "no such file: " + path);
    response.set("Content-Security-Policy", "default-src 'self'; img-src 'self' data: blob:; connect-src 'self' ws://" +
                                                exchange.host +
                                                "; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    response.set("Referrer-Policy", "no-referrer");
    SendBody(response, HTTPResponse::HTTP_OK, ContentTypeFor(file->path),
             std::string(reinterpret_cast<const char*>(file->data), file->size));
}

void Favicon(Exchange& exchange)
{
    auto& response = exchange.response;
    const std::string& icon = FaviconIco();
    response.set("Cache-Control", "max-age=86400");
    response.setContentType("image/x-icon");
    response.setContentLength(static_cast<std::streamsize>(icon.size()));
    response.sendBuffer(icon.data(), icon.size());
}

void SendTokenPage(Poco::Net::HTTPServerResponse& response, bool wrong)
{
    response.set("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'");
    response.set("Referrer-Policy", "no-referrer");
    SendBody(response, HTTPResponse::HTTP_UNAUTHORIZED, "text/html; charset=utf-8", TokenPageHtml(wrong));
}

}  // namespace vivatool::serve

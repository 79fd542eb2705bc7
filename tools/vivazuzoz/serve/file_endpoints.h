// file_endpoints.h - the page's own files (built in: web_assets.h), its
// icon, and the page that asks for the token.
#pragma once

#include "server_state.h"

namespace vivatool::serve {

// GET and HEAD of any path outside /api/: the embedded file of that path.
void StaticFile(Exchange& exchange);

// GET /favicon.ico (no token needed).
void Favicon(Exchange& exchange);

// 401 with a form for the token, for a browser that opened the page without
// it; `wrong`: a token was given and did not match.
void SendTokenPage(Poco::Net::HTTPServerResponse& response, bool wrong);

}  // namespace vivatool::serve

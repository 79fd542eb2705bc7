// browser_pages.h - what the live view gives a browser besides the page's
// own files: its icon, and the page that asks for the token.
#pragma once

#include <string>

namespace vivatool::serve {

// A 32x32 icon (ICO holding one PNG), made once.
const std::string& FaviconIco();

// A small page with a field for the token that reloads the page with it in
// the query. `wrong`: a token was given and did not match.
std::string TokenPageHtml(bool wrong);

}  // namespace vivatool::serve

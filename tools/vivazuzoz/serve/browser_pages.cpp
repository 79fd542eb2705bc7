#include "browser_pages.h"

#include <vivaclient/colormaps.h>
#include "png_memory.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vivatool::serve {
using namespace vivaclient;

namespace {

void PutLe(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A warm spot on a cool ground in the default colour map.
std::string MakeFavicon()
{
    constexpr int kSize = 32;
    const Colormap map = Colormaps().front().build();
    std::vector<uint8_t> rgb;
    rgb.reserve(kSize * kSize * 3);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const double d = std::hypot(x - 19.5, y - 12.5) / 22.0;
            const int level = static_cast<int>(255.0 * std::max(0.0, 1.0 - d) * std::max(0.0, 1.0 - d));
            const Rgb c = map[static_cast<size_t>(std::clamp(level, 0, 255))];
            rgb.insert(rgb.end(), {c.r, c.g, c.b});
        }
    std::string png, error;
    if (!EncodePng(kSize, kSize, rgb, png, error))
        return {};
    // ICONDIR, one ICONDIRENTRY, then the PNG itself.
    std::string ico;
    PutLe(ico, 0, 2);
    PutLe(ico, 1, 2);  // an icon
    PutLe(ico, 1, 2);  // one image
    ico.push_back(static_cast<char>(kSize));
    ico.push_back(static_cast<char>(kSize));
    PutLe(ico, 0, 2);   // no palette, reserved
    PutLe(ico, 1, 2);   // planes
    PutLe(ico, 32, 2);  // bits per pixel
    PutLe(ico, static_cast<uint32_t>(png.size()), 4);
    PutLe(ico, 22, 4);  // the image's offset
    return ico + png;
}

}  // namespace

const std::string& FaviconIco()
{
    static const std::string ico = MakeFavicon();
    return ico;
}

std::string TokenPageHtml(bool wrong)
{
    return std::string(
               "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
               "<title>vivazuzoz live view: token</title>\n"
               "<style>body{font-family:sans-serif;max-width:32em;margin:3em auto;padding:0 1em}"
               "input{font-size:1em;padding:.3em;width:16em}button{font-size:1em;padding:.3em .8em}"
               ".wrong{color:#b00020}</style>\n</head>\n<body>\n<h1>vivazuzoz live view</h1>\n") +
           (wrong ? "<p class=\"wrong\" id=\"wrong\">That token is not this server's. Try again.</p>\n" : "") +
           "<p>This server asks for a token. It is the one given to <code>vivazuzoz serve --token</code>, and "
           "is part of the address that <code>serve</code> printed.</p>\n"
           "<form method=\"get\" action=\"/\">\n<label>Token <input id=\"token\" name=\"token\" type=\"password\" "
           "autocomplete=\"current-password\" required autofocus></label>\n<button type=\"submit\">Open</button>\n"
           "</form>\n</body>\n</html>\n";
}

}  // namespace vivatool::serve

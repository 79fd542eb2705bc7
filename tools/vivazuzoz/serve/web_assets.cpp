#include "web_assets.h"

namespace vivatool::serve {

const EmbeddedFile* FindEmbeddedFile(const std::string& path)
{
    const std::string wanted = path == "/" ? "/index.html" : path;
    for (const EmbeddedFile& file : EmbeddedFiles())
        if (wanted == file.path)
            return &file;
    return nullptr;
}

std::string ContentTypeFor(const std::string& path)
{
    const auto endsWith = [&path](const std::string& tail) {
        return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (endsWith(".html"))
        return "text/html; charset=utf-8";
    if (endsWith(".js"))
        return "text/javascript; charset=utf-8";
    if (endsWith(".css"))
        return "text/css; charset=utf-8";
    if (endsWith(".png"))
        return "image/png";
    if (endsWith(".svg"))
        return "image/svg+xml";
    return "application/octet-stream";
}

}  // namespace vivatool::serve

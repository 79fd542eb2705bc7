// web_assets.h - the live view's page, built into the tool from
// web/live-view/, so the server can only ever serve these files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vivatool::serve {

struct EmbeddedFile {
    const char* path;  // "/index.html"
    const unsigned char* data;
    size_t size;
};

// Every file of the page (generated at build time).
const std::vector<EmbeddedFile>& EmbeddedFiles();

// The file served for a request path ("/" is "/index.html"), or nullptr.
const EmbeddedFile* FindEmbeddedFile(const std::string& path);

// The Content-Type for a file name by its extension.
std::string ContentTypeFor(const std::string& path);

}  // namespace vivatool::serve

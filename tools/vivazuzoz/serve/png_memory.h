// png_memory.h - an 8-bit RGB picture as PNG bytes in memory, for HTTP
// responses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vivatool::serve {

// Encodes width*height RGB triplets (row after row). Returns false and sets
// `error` when libpng fails or the data does not match the size.
bool EncodePng(int width, int height, const std::vector<uint8_t>& rgb, std::string& png, std::string& error);

}  // namespace vivatool::serve

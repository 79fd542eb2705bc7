// png_writer.h - writes 8-bit RGB pictures as PNG files with libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vivatool {

// Writes width*height RGB triplets (row after row) to `path`. Returns "" on
// success, else a message saying what went wrong; a partly written file is
// removed.
std::string WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

}  // namespace vivatool

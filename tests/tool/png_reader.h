// png_reader.h - reads a PNG back with libpng, for checking written files.
#pragma once

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

struct PngPicture {
    bool ok = false;
    int width = 0;
    int height = 0;
    int colorType = -1;        // as stored in the file
    std::vector<uint8_t> rgb;  // converted to 8-bit RGB

    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

inline PngPicture ReadPng(const std::string& path)
{
    PngPicture picture;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return picture;
    picture.colorType = static_cast<int>(image.format);
    image.format = PNG_FORMAT_RGB;
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    picture.ok = png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return picture;
}

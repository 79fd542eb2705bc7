#include "png_memory.h"

#include <png.h>

#include <csetjmp>

namespace vivatool::serve {

namespace {

struct Output {
    std::string* bytes;
    std::string error;
};

void OnWrite(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<Output*>(png_get_io_ptr(png));
    out->bytes->append(reinterpret_cast<const char*>(data), length);
}

void OnFlush(png_structp) {}

void OnError(png_structp png, png_const_charp message)
{
    static_cast<Output*>(png_get_error_ptr(png))->error = message ? message : "libpng error";
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Everything that touches libpng, with no objects that need destructors
// between setjmp and a possible longjmp.
bool WriteRows(png_structp png, png_infop info, Output& out, int width, int height, const uint8_t* rgb)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, &out, OnWrite, OnFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t stride = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        png_write_row(png, rgb + stride * static_cast<size_t>(y));
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

bool EncodePng(int width, int height, const std::vector<uint8_t>& rgb, std::string& png, std::string& error)
{
    png.clear();
    if (width <= 0 || height <= 0 || rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
        error = "picture data does not match its size";
        return false;
    }
    Output out{&png, ""};
    png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, &out, OnError, OnWarning);
    png_infop info = writer ? png_create_info_struct(writer) : nullptr;
    const bool written = info && WriteRows(writer, info, out, width, height, rgb.data());
    png_destroy_write_struct(&writer, info ? &info : nullptr);
    if (!written) {
        error = out.error.empty() ? "libpng could not start" : out.error;
        png.clear();
    }
    return written;
}

}  // namespace vivatool::serve

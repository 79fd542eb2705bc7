#include "png_writer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vivatool {

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

// Owns libpng's write and info structures.
class PngWriteStruct {
public:
    PngWriteStruct()
    {
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, OnError, OnWarning);
        if (png_)
            info_ = png_create_info_struct(png_);
    }
    ~PngWriteStruct() { png_destroy_write_struct(&png_, info_ ? &info_ : nullptr); }
    PngWriteStruct(const PngWriteStruct&) = delete;
    PngWriteStruct& operator=(const PngWriteStruct&) = delete;

    bool valid() const { return png_ && info_; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }
    const std::string& error() const { return error_; }

private:
    // libpng reports errors through this and then longjmps back to the
    // setjmp in WritePng; the message is kept for the caller.
    static void OnError(png_structp png, png_const_charp message)
    {
        auto* self = static_cast<PngWriteStruct*>(png_get_error_ptr(png));
        self->error_ = message ? message : "libpng error";
        png_longjmp(png, 1);
    }
    static void OnWarning(png_structp, png_const_charp) {}

    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    std::string error_;
};

// Everything that touches libpng lives here, with no objects that need
// destructors between setjmp and a possible longjmp.
bool WriteRows(PngWriteStruct& ps, FILE* file, int width, int height, const uint8_t* rgb)
{
    if (setjmp(png_jmpbuf(ps.png())))
        return false;
    png_init_io(ps.png(), file);
    png_set_IHDR(ps.png(), ps.info(), static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(ps.png(), ps.info());
    const size_t stride = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        png_write_row(ps.png(), rgb + stride * static_cast<size_t>(y));
    png_write_end(ps.png(), nullptr);
    return true;
}

}  // namespace

std::string WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb)
{
    if (width <= 0 || height <= 0)
        return "cannot write an empty picture";
    if (rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3)
        return "picture data does not match its size";

    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return "cannot create " + path + ": " + std::strerror(errno);

    std::string error;
    {
        PngWriteStruct ps;
        if (!ps.valid())
            error = "libpng could not start";
        else if (!WriteRows(ps, file.get(), width, height, rgb.data()))
            error = ps.error();
    }
    if (error.empty() && std::fflush(file.get()) != 0)
        error = std::strerror(errno);
    if (std::fclose(file.release()) != 0 && error.empty())
        error = std::strerror(errno);
    if (!error.empty()) {
        std::remove(path.c_str());
        return "cannot write " + path + ": " + error;
    }
    return "";
}

}  // namespace vivatool

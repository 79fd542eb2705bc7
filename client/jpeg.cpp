#include <vivaclient/jpeg.h>

#include <turbojpeg.h>

namespace vivaclient {

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder()
{
    if (handle_)
        tjDestroy(static_cast<tjhandle>(handle_));
}

bool JpegEncoder::EncodeGrey(const uint8_t* pixels, int width, int height, int quality, std::string& out,
                             std::string& error)
{
    return Encode(pixels, width, height, true, quality, out, error);
}

bool JpegEncoder::EncodeRgb(const uint8_t* rgb, int width, int height, int quality, std::string& out,
                            std::string& error)
{
    return Encode(rgb, width, height, false, quality, out, error);
}

bool JpegEncoder::Encode(const uint8_t* pixels, int width, int height, bool grey, int quality, std::string& out,
                         std::string& error)
{
    if (!handle_) {
        error = "the JPEG encoder could not start (libturbojpeg)";
        return false;
    }
    if (width <= 0 || height <= 0 || quality < 1 || quality > 100) {
        error = "no JPEG of " + std::to_string(width) + "x" + std::to_string(height) + " at quality " +
                std::to_string(quality);
        return false;
    }
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    // The fast integer DCT: the pictures are shown, not archived, and it is
    // the cheaper one per frame.
    const int result = tjCompress2(static_cast<tjhandle>(handle_), pixels, width, 0, height,
                                   grey ? TJPF_GRAY : TJPF_RGB, &jpeg, &size, grey ? TJSAMP_GRAY : TJSAMP_420, quality,
                                   TJFLAG_FASTDCT);
    if (result != 0) {
        error = std::string("JPEG encoding failed: ") + tjGetErrorStr2(static_cast<tjhandle>(handle_));
        if (jpeg)
            tjFree(jpeg);
        return false;
    }
    out.assign(reinterpret_cast<const char*>(jpeg), size);
    tjFree(jpeg);
    return true;
}

}  // namespace vivaclient

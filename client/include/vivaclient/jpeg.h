// jpeg.h - JPEG encoding for the front ends that serve pictures (the live
// view's compact stream, its MJPEG stream and snapshot, the GStreamer
// element): a thin wrapper of libjpeg-turbo's TurboJPEG interface.
#pragma once

#include <cstdint>
#include <string>

namespace vivaclient {

// One compressor, reused from picture to picture (its buffers stay
// allocated). Not for use by two threads at once.
class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // A grey picture: `pixels` holds width*height bytes row after row.
    // `quality` is 1 to 100. False, with `error` set, when TurboJPEG refuses.
    bool EncodeGrey(const uint8_t* pixels, int width, int height, int quality, std::string& out, std::string& error);

    // A colour picture: `rgb` holds width*height R, G, B triplets (as
    // vivaclient::Colorize returns them); 4:2:0 chroma subsampling.
    bool EncodeRgb(const uint8_t* rgb, int width, int height, int quality, std::string& out, std::string& error);

private:
    bool Encode(const uint8_t* pixels, int width, int height, bool grey, int quality, std::string& out,
                std::string& error);

    void* handle_;  // tjhandle, or null when TurboJPEG could not start
};

}  // namespace vivaclient

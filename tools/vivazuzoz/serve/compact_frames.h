// compact_frames.h - the live view's compact stream, for viewers on a slow
// link: the picture as an 8-bit grey JPEG with its mapping back to the
// camera's values, and the temperature plane compressed without loss at a
// lower rate. Each is encoded once per camera and shared by every client.
//
// A compact message, all fields little-endian, 56 bytes of header:
//   offset  size  field
//        0     4  magic "VZLC"
//        4     2  version (1)
//        6     2  header size in bytes (56): the body starts here
//        8     2  width in pixels
//       10     2  height in pixels
//       12     4  flags: bit 0 set on a temperature message (else a picture);
//                 bit 1 set when the picture's values are temperatures in
//                 tenths of a degree (else the camera's raw image values)
//       16     8  sequence number of the frame it was made from (as in the
//                 raw stream's messages)
//       24     8  time the frame arrived, milliseconds since the Unix epoch,
//                 as an IEEE 754 double
//       32     8  picture: the value that grey 0 stands for (double)
//       40     8  picture: the value that grey 255 stands for (double); grey
//                 g stands for low + g * (high - low) / 255
//       48     4  picture: index (y * width + x) of the coldest pixel, the
//                 first in row order
//       52     4  picture: index of the hottest pixel
// then, on a picture, a baseline grey JPEG file of width x height; on a
// temperature message, a zlib stream (RFC 1950, what the browser's
// DecompressionStream('deflate') reads) of 2 * width * height bytes: the
// low bytes, then the high bytes, of the int16 differences d of the plane
// from its left neighbour (the first pixel of a row: from the first pixel
// of the row above; of the first row: from 0), taken modulo 2^16. Adding
// the differences up again row after row gives the plane exactly.
#pragma once

#include "frame_message.h"

#include <vivaclient/jpeg.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vivatool::serve {

constexpr char kCompactMagic[4] = {'V', 'Z', 'L', 'C'};
constexpr size_t kCompactHeaderSize = 56;
constexpr uint32_t kCompactTemperatures = 1;     // flag bit 0
constexpr uint32_t kCompactValuesAreTenths = 2;  // flag bit 1

// The fields at offsets 8 to 31 are the raw stream's (FrameHeader), the
// flags apart.
struct CompactHeader : FrameHeader {
    double low = 0;
    double high = 0;
    uint32_t coldestAt = 0;
    uint32_t hottestAt = 0;
};

// Reads the header of a compact message; false when it is not one.
bool DecodeCompactHeader(const std::string& message, CompactHeader& header);

// The plane a temperature message carries; false when the message is not a
// whole one.
bool DecodeCompactTemperatures(const std::string& message, std::vector<int16_t>& plane);

// A message made once and sent to many clients, with the frame it came from.
struct CompactMessage {
    uint64_t sequence = 0;
    std::string bytes;
};

// The compact messages of one camera: the picture of the newest frame, and
// the temperatures of a frame at most `temperatureEvery` older than the
// newest. Encoded on the first client's thread that asks, while the others
// that ask for the same frame wait for it; no client, no work.
class CompactFrames {
public:
    CompactFrames();

    // The picture message of `frame` (null if it cannot be encoded).
    std::shared_ptr<const CompactMessage> Picture(const std::shared_ptr<const Frame>& frame);

    // The newest temperature message, made from `frame` when the one there
    // is was made more than `temperatureEvery` ago; null on a frame without
    // temperatures.
    std::shared_ptr<const CompactMessage> Temperatures(const std::shared_ptr<const Frame>& frame);

    // The picture's JPEG quality, and how often the temperature plane is
    // sent: a new one at the first frame 190 ms after the last one, so at
    // 25 frames per second every fifth frame, and the temperatures a client
    // has are at most four frames (160 ms) older than its picture, well
    // within 200 ms at any rate of 10 frames a second or more. Set before
    // the first client.
    int quality = 80;
    std::chrono::milliseconds temperatureEvery{190};

    // Messages encoded so far (tests count them).
    uint64_t picturesEncoded() const;
    uint64_t temperaturesEncoded() const;

private:
    mutable std::mutex pictureMutex_;
    vivaclient::JpegEncoder encoder_;
    std::vector<uint8_t> grey_;
    std::shared_ptr<const CompactMessage> picture_;
    uint64_t pictures_ = 0;

    mutable std::mutex temperatureMutex_;
    std::vector<uint8_t> filtered_;
    std::shared_ptr<const CompactMessage> temperatures_;
    std::chrono::steady_clock::time_point temperaturesAt_{};
    uint64_t temperatureCount_ = 0;
};

// Encodes one picture message (the grey mapping of the frame's temperatures,
// or of its image plane on a stream without them) into `out`.
bool EncodeCompactPicture(const Frame& frame, vivaclient::JpegEncoder& encoder, int quality,
                          std::vector<uint8_t>& greyScratch, std::string& out);

// Encodes one temperature message of a frame with temperatures into `out`.
bool EncodeCompactTemperatures(const Frame& frame, std::vector<uint8_t>& scratch, std::string& out);

}  // namespace vivatool::serve

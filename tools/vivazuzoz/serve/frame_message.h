// frame_message.h - the binary WebSocket message that carries one frame to
// the live view.
//
// Layout, all fields little-endian, 32 bytes of header:
//   offset  size  field
//        0     4  magic "VZLV"
//        4     2  version (1)
//        6     2  header size in bytes (32): the image plane starts here
//        8     2  width in pixels
//       10     2  height in pixels
//       12     4  flags: bit 0 set when a temperature plane follows
//       16     8  frame sequence number of the camera, from 1, never reused
//                 for one camera while the server runs (also across a replug)
//       24     8  time the frame arrived, milliseconds since the Unix epoch,
//                 as an IEEE 754 double
// then the image plane, width*height uint16 samples row after row, and on
// streams with temperatures the temperature plane, width*height int16 values
// in tenths of a degree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vivatool::serve {

constexpr char kFrameMagic[4] = {'V', 'Z', 'L', 'V'};
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 32;
constexpr uint32_t kFrameHasTemperature = 1;

struct FrameHeader {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t flags = 0;
    uint64_t sequence = 0;
    double timestampMs = 0;
};

// The whole message: header, image plane and (when `temp` is not null) the
// temperature plane.
std::string EncodeFrame(const FrameHeader& header, const uint16_t* image, const int16_t* temp);

// Reads the header of a message; false when it is too short or not ours.
bool DecodeFrameHeader(const std::string& message, FrameHeader& header);

}  // namespace vivatool::serve

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
//       12     4  flags: bit 0 set when a temperature plane follows, bit 1
//                 when the frame was taken during a shutter (flat-field)
//                 correction, bit 2 when just after one (settling); its
//                 temperatures then say nothing of the scene
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
#include <vector>

namespace vivatool::serve {

constexpr char kFrameMagic[4] = {'V', 'Z', 'L', 'V'};
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 32;
constexpr uint32_t kFrameHasTemperature = 1;
constexpr uint32_t kFrameShutter = 2;
constexpr uint32_t kFrameSettling = 4;

struct FrameHeader {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t flags = 0;
    uint64_t sequence = 0;
    double timestampMs = 0;
};

// Bytes of a message for a frame of that size.
size_t FrameMessageSize(int width, int height, bool withTemp);

// Parts of a message of FrameMessageSize bytes, written in place, so a frame
// is copied once on its way from the camera to every client. The header's
// flags are `header.flags`.
void WriteFrameHeader(std::string& message, const FrameHeader& header);
void WriteImagePlane(std::string& message, const uint16_t* image, size_t count);
void WriteTemperaturePlane(std::string& message, const int16_t* temp, size_t count);

// The whole message: header, image plane and (when `temp` is not null) the
// temperature plane.
std::string EncodeFrame(const FrameHeader& header, const uint16_t* image, const int16_t* temp);

// Reads the header of a message; false when it is too short or not ours.
bool DecodeFrameHeader(const std::string& message, FrameHeader& header);

// Reads the header and the planes (`temp` is left empty on a frame without
// temperatures); false when the message is not a whole frame.
bool DecodeFrame(const std::string& message, FrameHeader& header, std::vector<uint16_t>& image,
                 std::vector<int16_t>& temp);

}  // namespace vivatool::serve

// frame_message.h - the binary WebSocket message that carries one frame to
// the live view, the header fields it shares with the compact stream's
// messages (compact_frames.h), and the Frame the hub keeps each frame in.
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
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vivatool::serve {

// The planes of a Frame are the message's, read in place: they are the
// machine's own samples only where it is little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the live view's frames are little-endian in memory");

constexpr char kFrameMagic[4] = {'V', 'Z', 'L', 'V'};
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 32;
constexpr uint32_t kFrameHasTemperature = 1;
constexpr uint32_t kFrameShutter = 2;
constexpr uint32_t kFrameSettling = 4;

// The fields at offsets 8 to 31, the same in the raw and the compact
// stream's messages.
struct FrameHeader {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t flags = 0;
    uint64_t sequence = 0;
    double timestampMs = 0;
};

// The one codec of the live view's message headers: the 32 bytes of
// `magic`, version 1, `headerSize` and the fields of `header` at `out`.
void WriteHeaderFields(char* out, const char (&magic)[4], size_t headerSize, const FrameHeader& header);
// Reads them; false when `size` is too short for `headerSize`, or the magic
// or the header size are not those given.
bool ReadHeaderFields(const char* in, size_t size, const char (&magic)[4], size_t headerSize, FrameHeader& header);

// Little-endian fields beyond the common ones (the compact stream's).
void PutLe32(char* out, uint32_t value);
void PutLeDouble(char* out, double value);
uint32_t GetLe32(const char* in);
double GetLeDouble(const char* in);

// Bytes of a message for a frame of that size.
size_t FrameMessageSize(int width, int height, bool withTemp);

// The whole message: header, image plane and (when `temp` is not null) the
// temperature plane.
std::string EncodeFrame(const FrameHeader& header, const uint16_t* image, const int16_t* temp);

// Reads the header of a message; false when it is too short or not ours.
bool DecodeFrameHeader(const std::string& message, FrameHeader& header);

// Reads the header and the planes (`temp` is left empty on a frame without
// temperatures); false when the message is not a whole frame.
bool DecodeFrame(const std::string& message, FrameHeader& header, std::vector<uint16_t>& image,
                 std::vector<int16_t>& temp);

class FrameBuffers;

// One received frame, kept once and shared read-only by every client and
// encoder: its parsed header, and in one buffer its message as the raw
// stream sends it (the header's 32 bytes, then the planes), so that raw
// clients are sent the buffer as it is and the encoders read the planes in
// place.
class Frame {
public:
    // A frame of `header`'s size whose planes are copied from `image` and
    // (when not null) `temp`: for tests and benchmarks.
    static std::shared_ptr<const Frame> Make(const FrameHeader& header, const uint16_t* image, const int16_t* temp);

    // A frame with room for both planes of width x height, from `buffers`
    // (or new when null): the planes are written through imagePlane() and
    // tempPlane(), then Seal() writes the header.
    Frame(int width, int height, const std::shared_ptr<FrameBuffers>& buffers);
    ~Frame();  // the buffer goes back to its FrameBuffers
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    uint16_t* imagePlane() { return reinterpret_cast<uint16_t*>(bytes_.get() + kFrameHeaderSize); }
    int16_t* tempPlane() { return reinterpret_cast<int16_t*>(bytes_.get() + kFrameHeaderSize + samples() * 2); }
    // The header, with its flags' temperature bit, into the message.
    void Seal(const FrameHeader& header);

    const FrameHeader& header() const { return header_; }
    int width() const { return width_; }
    int height() const { return height_; }
    size_t samples() const { return static_cast<size_t>(width_) * static_cast<size_t>(height_); }
    uint64_t sequence() const { return header_.sequence; }
    bool withTemp() const { return (header_.flags & kFrameHasTemperature) != 0; }
    bool shutter() const { return (header_.flags & kFrameShutter) != 0; }
    bool settling() const { return (header_.flags & kFrameSettling) != 0; }

    const uint16_t* image() const { return reinterpret_cast<const uint16_t*>(bytes_.get() + kFrameHeaderSize); }
    // Null on a stream without temperatures.
    const int16_t* temps() const
    {
        return withTemp() ? reinterpret_cast<const int16_t*>(bytes_.get() + kFrameHeaderSize + samples() * 2) : nullptr;
    }

    // The raw stream's message.
    const char* message() const { return bytes_.get(); }
    size_t messageSize() const { return FrameMessageSize(width_, height_, withTemp()); }

private:
    const int width_;
    const int height_;
    FrameHeader header_;
    std::weak_ptr<FrameBuffers> buffers_;
    std::unique_ptr<char[]> bytes_;  // FrameMessageSize(width, height, true) bytes
};

// Buffers of frames of one size, used again once no client holds their
// frame: a new frame then costs no allocation and touches no fresh page.
// Keeps a few spare; thread-safe.
class FrameBuffers {
public:
    std::unique_ptr<char[]> Take(size_t size);
    void Give(std::unique_ptr<char[]> buffer, size_t size);

private:
    static constexpr size_t kSpare = 4;
    std::mutex mutex_;
    size_t size_ = 0;                             // guarded by mutex_: of the spare buffers
    std::vector<std::unique_ptr<char[]>> spare_;  // guarded by mutex_
};

}  // namespace vivatool::serve

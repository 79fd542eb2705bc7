#include "frame_message.h"

#include <cstring>

namespace vivatool::serve {

namespace {

template <typename T>
void PutLe(std::string& out, size_t at, T value)
{
    uint64_t bits = 0;
    static_assert(sizeof(T) <= sizeof bits, "field too wide");
    std::memcpy(&bits, &value, sizeof value);
    for (size_t i = 0; i < sizeof(T); ++i)
        out[at + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

template <typename T>
T GetLe(const std::string& in, size_t at)
{
    uint64_t bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        bits |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <typename Sample>
void PutPlane(std::string& out, size_t at, const Sample* plane, size_t count)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&out[at], plane, count * sizeof(Sample));
    return;
#endif
    for (size_t i = 0; i < count; ++i)
        PutLe<uint16_t>(out, at + 2 * i, static_cast<uint16_t>(plane[i]));
}

}  // namespace

std::string EncodeFrame(const FrameHeader& header, const uint16_t* image, const int16_t* temp)
{
    const size_t count = static_cast<size_t>(header.width) * header.height;
    std::string out(kFrameHeaderSize + count * 2 * (temp ? 2 : 1), '\0');
    std::memcpy(&out[0], kFrameMagic, sizeof kFrameMagic);
    PutLe<uint16_t>(out, 4, kFrameVersion);
    PutLe<uint16_t>(out, 6, static_cast<uint16_t>(kFrameHeaderSize));
    PutLe<uint16_t>(out, 8, header.width);
    PutLe<uint16_t>(out, 10, header.height);
    PutLe<uint32_t>(out, 12, temp ? (header.flags | kFrameHasTemperature) : (header.flags & ~kFrameHasTemperature));
    PutLe<uint64_t>(out, 16, header.sequence);
    PutLe<double>(out, 24, header.timestampMs);
    PutPlane(out, kFrameHeaderSize, image, count);
    if (temp)
        PutPlane(out, kFrameHeaderSize + count * 2, temp, count);
    return out;
}

bool DecodeFrameHeader(const std::string& message, FrameHeader& header)
{
    if (message.size() < kFrameHeaderSize || std::memcmp(message.data(), kFrameMagic, sizeof kFrameMagic) != 0 ||
        GetLe<uint16_t>(message, 6) != kFrameHeaderSize)
        return false;
    header.width = GetLe<uint16_t>(message, 8);
    header.height = GetLe<uint16_t>(message, 10);
    header.flags = GetLe<uint32_t>(message, 12);
    header.sequence = GetLe<uint64_t>(message, 16);
    header.timestampMs = GetLe<double>(message, 24);
    return true;
}

}  // namespace vivatool::serve

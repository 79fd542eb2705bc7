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
#else
    for (size_t i = 0; i < count; ++i)
        PutLe<uint16_t>(out, at + 2 * i, static_cast<uint16_t>(plane[i]));
#endif
}

template <typename Sample>
void GetPlane(const std::string& in, size_t at, std::vector<Sample>& plane, size_t count)
{
    plane.resize(count);
    for (size_t i = 0; i < count; ++i)
        plane[i] = static_cast<Sample>(GetLe<uint16_t>(in, at + 2 * i));
}

}  // namespace

size_t FrameMessageSize(int width, int height, bool withTemp)
{
    return kFrameHeaderSize + static_cast<size_t>(width) * static_cast<size_t>(height) * 2 * (withTemp ? 2 : 1);
}

void WriteFrameHeader(std::string& message, const FrameHeader& header)
{
    std::memcpy(&message[0], kFrameMagic, sizeof kFrameMagic);
    PutLe<uint16_t>(message, 4, kFrameVersion);
    PutLe<uint16_t>(message, 6, static_cast<uint16_t>(kFrameHeaderSize));
    PutLe<uint16_t>(message, 8, header.width);
    PutLe<uint16_t>(message, 10, header.height);
    PutLe<uint32_t>(message, 12, header.flags);
    PutLe<uint64_t>(message, 16, header.sequence);
    PutLe<double>(message, 24, header.timestampMs);
}

void WriteImagePlane(std::string& message, const uint16_t* image, size_t count)
{
    PutPlane(message, kFrameHeaderSize, image, count);
}

void WriteTemperaturePlane(std::string& message, const int16_t* temp, size_t count)
{
    PutPlane(message, kFrameHeaderSize + count * 2, temp, count);
}

std::string EncodeFrame(const FrameHeader& header, const uint16_t* image, const int16_t* temp)
{
    const size_t count = static_cast<size_t>(header.width) * header.height;
    std::string out(FrameMessageSize(header.width, header.height, temp != nullptr), '\0');
    FrameHeader h = header;
    h.flags = temp ? (h.flags | kFrameHasTemperature) : (h.flags & ~kFrameHasTemperature);
    WriteFrameHeader(out, h);
    WriteImagePlane(out, image, count);
    if (temp)
        WriteTemperaturePlane(out, temp, count);
    return out;
}

bool DecodeFrame(const std::string& message, FrameHeader& header, std::vector<uint16_t>& image,
                 std::vector<int16_t>& temp)
{
    if (!DecodeFrameHeader(message, header))
        return false;
    const bool withTemp = (header.flags & kFrameHasTemperature) != 0;
    if (message.size() < FrameMessageSize(header.width, header.height, withTemp))
        return false;
    const size_t count = static_cast<size_t>(header.width) * header.height;
    GetPlane(message, kFrameHeaderSize, image, count);
    temp.clear();
    if (withTemp)
        GetPlane(message, kFrameHeaderSize + count * 2, temp, count);
    return true;
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

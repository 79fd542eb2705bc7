#include "compact_frames.h"

#include "frame_message.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace vivatool::serve {
using namespace vivaclient;

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
void PutLe(std::string& out, size_t at, T value)
{
    uint64_t bits = 0;
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

void WriteCompactHeader(std::string& out, const CompactHeader& h)
{
    std::memcpy(&out[0], kCompactMagic, sizeof kCompactMagic);
    PutLe<uint16_t>(out, 4, 1);
    PutLe<uint16_t>(out, 6, static_cast<uint16_t>(kCompactHeaderSize));
    PutLe<uint16_t>(out, 8, h.width);
    PutLe<uint16_t>(out, 10, h.height);
    PutLe<uint32_t>(out, 12, h.flags);
    PutLe<uint64_t>(out, 16, h.sequence);
    PutLe<double>(out, 24, h.timestampMs);
    PutLe<double>(out, 32, h.low);
    PutLe<double>(out, 40, h.high);
    PutLe<uint32_t>(out, 48, h.coldestAt);
    PutLe<uint32_t>(out, 52, h.hottestAt);
}

CompactHeader HeaderOf(const Frame& frame)
{
    FrameHeader raw;
    DecodeFrameHeader(frame.message, raw);
    CompactHeader h;
    h.width = static_cast<uint16_t>(frame.width);
    h.height = static_cast<uint16_t>(frame.height);
    h.sequence = frame.sequence;
    h.timestampMs = raw.timestampMs;
    return h;
}

// The plane's extremes (the first of each in row order), then each value
// scaled to 0..255 over them. Loops the compiler vectorises: the extremes
// first, then where they are.
template <typename Sample>
void ToGrey(const Sample* values, size_t count, std::vector<uint8_t>& grey, CompactHeader& h)
{
    grey.resize(count);
    uint8_t* __restrict out = grey.data();
    Sample low = values[0], high = values[0];
    for (size_t i = 0; i < count; ++i) {
        const Sample v = values[i];
        low = v < low ? v : low;
        high = v > high ? v : high;
    }
    h.low = low;
    h.high = high;
    h.coldestAt = static_cast<uint32_t>(std::find(values, values + count, low) - values);
    h.hottestAt = static_cast<uint32_t>(std::find(values, values + count, high) - values);
    const int32_t span = static_cast<int32_t>(high) - static_cast<int32_t>(low);
    if (span == 0) {
        std::memset(out, 0, count);
        return;
    }
    // Rounded to the nearest grey in 16.16 fixed point: the same grey for a
    // value as the page's own rounding of (v - low) * 255 / span up to one
    // part in 65536.
    const uint32_t scale = static_cast<uint32_t>((255u << 16) / static_cast<uint32_t>(span));
    const int32_t base = low;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t offset = static_cast<uint32_t>(static_cast<int32_t>(values[i]) - base);
        const uint32_t g = (offset * scale + 0x8000u) >> 16;
        out[i] = static_cast<uint8_t>(g > 255 ? 255 : g);
    }
}

}  // namespace

FramePlanes::FramePlanes(const Frame& frame)
{
    const size_t count = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The message's planes are little-endian and start at even offsets of a
    // buffer aligned for any type.
    const char* data = frame.message.data();
    image_ = reinterpret_cast<const uint16_t*>(data + kFrameHeaderSize);
    if (frame.withTemp)
        temp_ = reinterpret_cast<const int16_t*>(data + kFrameHeaderSize + count * 2);
#else
    FrameHeader header;
    DecodeFrame(frame.message, header, imageCopy_, tempCopy_);
    image_ = imageCopy_.data();
    if (frame.withTemp)
        temp_ = tempCopy_.data();
    (void)count;
#endif
}

bool EncodeCompactPicture(const Frame& frame, vivaclient::JpegEncoder& encoder, int quality,
                          std::vector<uint8_t>& grey, std::string& out)
{
    const size_t count = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    if (count == 0)
        return false;
    const FramePlanes planes(frame);
    CompactHeader h = HeaderOf(frame);
    if (planes.temp()) {
        h.flags = kCompactValuesAreTenths;
        ToGrey(planes.temp(), count, grey, h);
    } else {
        ToGrey(planes.image(), count, grey, h);
    }
    std::string jpeg, error;
    if (!encoder.EncodeGrey(grey.data(), frame.width, frame.height, quality, jpeg, error))
        return false;
    out.assign(kCompactHeaderSize, '\0');
    WriteCompactHeader(out, h);
    out += jpeg;
    return true;
}

bool EncodeCompactTemperatures(const Frame& frame, std::vector<uint8_t>& filtered, std::string& out)
{
    const FramePlanes planes(frame);
    const int16_t* t = planes.temp();
    if (!t || frame.width <= 0 || frame.height <= 0)
        return false;
    const size_t w = static_cast<size_t>(frame.width), count = w * static_cast<size_t>(frame.height);
    // Neighbours differ by little, so the high bytes are nearly all 0 or
    // 0xFF and the low bytes few: both compress well when kept apart.
    filtered.resize(2 * count);
    uint8_t* low = filtered.data();
    uint8_t* high = low + count;
    for (size_t y = 0, i = 0; i < count; ++y) {
        const uint16_t first = static_cast<uint16_t>(static_cast<uint16_t>(t[i]) -
                                                     static_cast<uint16_t>(y ? t[i - w] : 0));
        low[i] = static_cast<uint8_t>(first);
        high[i] = static_cast<uint8_t>(first >> 8);
        ++i;
        for (size_t x = 1; x < w; ++x, ++i) {
            const uint16_t d = static_cast<uint16_t>(static_cast<uint16_t>(t[i]) - static_cast<uint16_t>(t[i - 1]));
            low[i] = static_cast<uint8_t>(d);
            high[i] = static_cast<uint8_t>(d >> 8);
        }
    }
    CompactHeader h = HeaderOf(frame);
    h.flags = kCompactTemperatures | kCompactValuesAreTenths;
    uLongf size = compressBound(static_cast<uLong>(filtered.size()));
    out.assign(kCompactHeaderSize + size, '\0');
    WriteCompactHeader(out, h);
    // The fastest level: at the sizes of these cameras the stronger ones
    // cost several times the time for a few per cent.
    if (compress2(reinterpret_cast<Bytef*>(&out[kCompactHeaderSize]), &size, filtered.data(),
                  static_cast<uLong>(filtered.size()), Z_BEST_SPEED) != Z_OK)
        return false;
    out.resize(kCompactHeaderSize + size);
    return true;
}

bool DecodeCompactHeader(const std::string& message, CompactHeader& h)
{
    if (message.size() < kCompactHeaderSize || std::memcmp(message.data(), kCompactMagic, sizeof kCompactMagic) != 0 ||
        GetLe<uint16_t>(message, 6) != kCompactHeaderSize)
        return false;
    h.width = GetLe<uint16_t>(message, 8);
    h.height = GetLe<uint16_t>(message, 10);
    h.flags = GetLe<uint32_t>(message, 12);
    h.sequence = GetLe<uint64_t>(message, 16);
    h.timestampMs = GetLe<double>(message, 24);
    h.low = GetLe<double>(message, 32);
    h.high = GetLe<double>(message, 40);
    h.coldestAt = GetLe<uint32_t>(message, 48);
    h.hottestAt = GetLe<uint32_t>(message, 52);
    return true;
}

bool DecodeCompactTemperatures(const std::string& message, std::vector<int16_t>& plane)
{
    CompactHeader h;
    if (!DecodeCompactHeader(message, h) || !(h.flags & kCompactTemperatures))
        return false;
    const size_t w = h.width, count = w * h.height;
    std::vector<uint8_t> filtered(2 * count);
    uLongf size = static_cast<uLongf>(filtered.size());
    if (uncompress(filtered.data(), &size, reinterpret_cast<const Bytef*>(message.data() + kCompactHeaderSize),
                   static_cast<uLong>(message.size() - kCompactHeaderSize)) != Z_OK ||
        size != filtered.size())
        return false;
    plane.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t d = static_cast<uint16_t>(filtered[i] | (filtered[count + i] << 8));
        const uint16_t before = i % w ? static_cast<uint16_t>(plane[i - 1])
                                      : (i >= w ? static_cast<uint16_t>(plane[i - w]) : 0);
        plane[i] = static_cast<int16_t>(static_cast<uint16_t>(before + d));
    }
    return true;
}

CompactFrames::CompactFrames() = default;

std::shared_ptr<const CompactMessage> CompactFrames::Picture(const std::shared_ptr<const Frame>& frame)
{
    std::lock_guard<std::mutex> lock(pictureMutex_);
    if (picture_ && picture_->sequence >= frame->sequence)
        return picture_;
    auto message = std::make_shared<CompactMessage>();
    message->sequence = frame->sequence;
    if (!EncodeCompactPicture(*frame, encoder_, quality, grey_, message->bytes))
        return nullptr;
    ++pictures_;
    picture_ = std::move(message);
    return picture_;
}

std::shared_ptr<const CompactMessage> CompactFrames::Temperatures(const std::shared_ptr<const Frame>& frame)
{
    if (!frame->withTemp)
        return nullptr;
    std::lock_guard<std::mutex> lock(temperatureMutex_);
    const Clock::time_point now = Clock::now();
    if (temperatures_ && (temperatures_->sequence >= frame->sequence || now - temperaturesAt_ < temperatureEvery))
        return temperatures_;
    auto message = std::make_shared<CompactMessage>();
    message->sequence = frame->sequence;
    if (!EncodeCompactTemperatures(*frame, filtered_, message->bytes))
        return temperatures_;
    ++temperatureCount_;
    temperatures_ = std::move(message);
    temperaturesAt_ = now;
    return temperatures_;
}

uint64_t CompactFrames::picturesEncoded() const
{
    std::lock_guard<std::mutex> lock(pictureMutex_);
    return pictures_;
}

uint64_t CompactFrames::temperaturesEncoded() const
{
    std::lock_guard<std::mutex> lock(temperatureMutex_);
    return temperatureCount_;
}

}  // namespace vivatool::serve

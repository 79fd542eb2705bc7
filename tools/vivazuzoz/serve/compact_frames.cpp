#include "compact_frames.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace vivatool::serve {
using namespace vivaclient;

namespace {

using Clock = std::chrono::steady_clock;

void WriteCompactHeader(std::string& out, const CompactHeader& h)
{
    WriteHeaderFields(&out[0], kCompactMagic, kCompactHeaderSize, h);
    PutLeDouble(&out[32], h.low);
    PutLeDouble(&out[40], h.high);
    PutLe32(&out[48], h.coldestAt);
    PutLe32(&out[52], h.hottestAt);
}

// A compact message's header for `frame`, with `flags`.
CompactHeader HeaderFor(const Frame& frame, uint32_t flags)
{
    CompactHeader h;
    static_cast<FrameHeader&>(h) = frame.header();
    h.flags = flags;
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

bool EncodeCompactPicture(const Frame& frame, vivaclient::JpegEncoder& encoder, int quality,
                          std::vector<uint8_t>& grey, std::string& out)
{
    const size_t count = frame.samples();
    if (count == 0)
        return false;
    CompactHeader h = HeaderFor(frame, frame.temps() ? kCompactValuesAreTenths : 0);
    if (frame.temps())
        ToGrey(frame.temps(), count, grey, h);
    else
        ToGrey(frame.image(), count, grey, h);
    std::string jpeg, error;
    if (!encoder.EncodeGrey(grey.data(), frame.width(), frame.height(), quality, jpeg, error))
        return false;
    out.assign(kCompactHeaderSize, '\0');
    WriteCompactHeader(out, h);
    out += jpeg;
    return true;
}

bool EncodeCompactTemperatures(const Frame& frame, std::vector<uint8_t>& filtered, std::string& out)
{
    const int16_t* t = frame.temps();
    if (!t || frame.width() <= 0 || frame.height() <= 0)
        return false;
    const size_t w = static_cast<size_t>(frame.width()), count = frame.samples();
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
    const CompactHeader h = HeaderFor(frame, kCompactTemperatures | kCompactValuesAreTenths);
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
    if (!ReadHeaderFields(message.data(), message.size(), kCompactMagic, kCompactHeaderSize, h))
        return false;
    h.low = GetLeDouble(&message[32]);
    h.high = GetLeDouble(&message[40]);
    h.coldestAt = GetLe32(&message[48]);
    h.hottestAt = GetLe32(&message[52]);
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
    if (picture_ && picture_->sequence >= frame->sequence())
        return picture_;
    auto message = std::make_shared<CompactMessage>();
    message->sequence = frame->sequence();
    if (!EncodeCompactPicture(*frame, encoder_, quality, grey_, message->bytes))
        return nullptr;
    ++pictures_;
    picture_ = std::move(message);
    return picture_;
}

std::shared_ptr<const CompactMessage> CompactFrames::Temperatures(const std::shared_ptr<const Frame>& frame)
{
    if (!frame->withTemp())
        return nullptr;
    std::lock_guard<std::mutex> lock(temperatureMutex_);
    const Clock::time_point now = Clock::now();
    if (temperatures_ && (temperatures_->sequence >= frame->sequence() || now - temperaturesAt_ < temperatureEvery))
        return temperatures_;
    auto message = std::make_shared<CompactMessage>();
    message->sequence = frame->sequence();
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

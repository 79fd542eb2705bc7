#include "frame_message.h"

#include <cstring>

namespace vivatool::serve {

namespace {

template <typename T>
void PutLe(char* out, T value)
{
    uint64_t bits = 0;
    static_assert(sizeof(T) <= sizeof bits, "field too wide");
    std::memcpy(&bits, &value, sizeof value);
    for (size_t i = 0; i < sizeof(T); ++i)
        out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

template <typename T>
T GetLe(const char* in)
{
    uint64_t bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        bits |= static_cast<uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

void PutLe32(char* out, uint32_t value)
{
    PutLe(out, value);
}

void PutLeDouble(char* out, double value)
{
    PutLe(out, value);
}

uint32_t GetLe32(const char* in)
{
    return GetLe<uint32_t>(in);
}

double GetLeDouble(const char* in)
{
    return GetLe<double>(in);
}

void WriteHeaderFields(char* out, const char (&magic)[4], size_t headerSize, const FrameHeader& header)
{
    std::memcpy(out, magic, sizeof magic);
    PutLe<uint16_t>(out + 4, kFrameVersion);
    PutLe<uint16_t>(out + 6, static_cast<uint16_t>(headerSize));
    PutLe<uint16_t>(out + 8, header.width);
    PutLe<uint16_t>(out + 10, header.height);
    PutLe<uint32_t>(out + 12, header.flags);
    PutLe<uint64_t>(out + 16, header.sequence);
    PutLe<double>(out + 24, header.timestampMs);
}

bool ReadHeaderFields(const char* in, size_t size, const char (&magic)[4], size_t headerSize, FrameHeader& header)
{
    if (size < headerSize || std::memcmp(in, magic, sizeof magic) != 0 || GetLe<uint16_t>(in + 6) != headerSize)
        return false;
    header.width = GetLe<uint16_t>(in + 8);
    header.height = GetLe<uint16_t>(in + 10);
    header.flags = GetLe<uint32_t>(in + 12);
    header.sequence = GetLe<uint64_t>(in + 16);
    header.timestampMs = GetLe<double>(in + 24);
    return true;
}

size_t FrameMessageSize(int width, int height, bool withTemp)
{
    return kFrameHeaderSize + static_cast<size_t>(width) * static_cast<size_t>(height) * 2 * (withTemp ? 2 : 1);
}

std::string EncodeFrame(const FrameHeader& header, const uint16_t* image, const int16_t* temp)
{
    const auto frame = Frame::Make(header, image, temp);
    return std::string(frame->message(), frame->messageSize());
}

bool DecodeFrameHeader(const std::string& message, FrameHeader& header)
{
    return ReadHeaderFields(message.data(), message.size(), kFrameMagic, kFrameHeaderSize, header);
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
    const char* planes = message.data() + kFrameHeaderSize;
    image.resize(count);
    std::memcpy(image.data(), planes, count * 2);
    temp.resize(withTemp ? count : 0);
    if (withTemp)
        std::memcpy(temp.data(), planes + count * 2, count * 2);
    return true;
}

std::shared_ptr<const Frame> Frame::Make(const FrameHeader& header, const uint16_t* image, const int16_t* temp)
{
    auto frame = std::make_shared<Frame>(header.width, header.height, nullptr);
    std::memcpy(frame->imagePlane(), image, frame->samples() * 2);
    if (temp)
        std::memcpy(frame->tempPlane(), temp, frame->samples() * 2);
    FrameHeader sealed = header;
    sealed.flags = temp ? (sealed.flags | kFrameHasTemperature) : (sealed.flags & ~kFrameHasTemperature);
    frame->Seal(sealed);
    return frame;
}

Frame::Frame(int width, int height, const std::shared_ptr<FrameBuffers>& buffers)
    : width_(width), height_(height), buffers_(buffers)
{
    const size_t size = FrameMessageSize(width, height, true);
    bytes_ = buffers ? buffers->Take(size) : std::unique_ptr<char[]>(new char[size]);
    header_.width = static_cast<uint16_t>(width);
    header_.height = static_cast<uint16_t>(height);
}

Frame::~Frame()
{
    if (const auto buffers = buffers_.lock())
        buffers->Give(std::move(bytes_), FrameMessageSize(width_, height_, true));
}

void Frame::Seal(const FrameHeader& header)
{
    header_ = header;
    header_.width = static_cast<uint16_t>(width_);
    header_.height = static_cast<uint16_t>(height_);
    WriteHeaderFields(bytes_.get(), kFrameMagic, kFrameHeaderSize, header_);
}

std::unique_ptr<char[]> FrameBuffers::Take(size_t size)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (size == size_ && !spare_.empty()) {
            std::unique_ptr<char[]> buffer = std::move(spare_.back());
            spare_.pop_back();
            return buffer;
        }
    }
    return std::unique_ptr<char[]>(new char[size]);
}

void FrameBuffers::Give(std::unique_ptr<char[]> buffer, size_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (size != size_) {  // the camera's size changed: the old spares are of no use
        spare_.clear();
        size_ = size;
    }
    if (spare_.size() < kSpare)
        spare_.push_back(std::move(buffer));
}

}  // namespace vivatool::serve

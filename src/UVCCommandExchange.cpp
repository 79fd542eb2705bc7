// UVCDevCtrl's command exchange: the port operations and one request/reply
// exchange on the camera's command port, with the reply check every command
// shares.
#include "UVCDevCtrl.h"
#include "UVCWire.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace uvcwire;

constexpr uint8_t kHead = 0xAA;
constexpr uint8_t kTail[2] = {0xEB, 0xAA};
constexpr uint8_t kReplyHead = 0x55;
constexpr uint8_t kStatusOk = 0x33;
constexpr uint8_t kAck = 0x01;
constexpr int kReplySize = 512;
constexpr int kMaxArg = 4;

constexpr auto kReplyPause = std::chrono::milliseconds(100);
constexpr auto kPortPoll = std::chrono::milliseconds(20);

// Counts a port operation for the duration of its body.
class PortUse {
public:
    explicit PortUse(std::atomic<int>& count) : m_count(count) { ++m_count; }
    ~PortUse() { --m_count; }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;

private:
    std::atomic<int>& m_count;
};

}  // namespace

int UVCDevCtrl::ReadPort(char* buf, int len, int* count, int timeoutMs)
{
    if (buf == nullptr || count == nullptr)
        return OZL_USB_INVALID_PARAM;
    PortUse use(m_exchanges);
    if (m_closing.load() || !m_serial.IsOpen())
        return OZL_USB_FAILURE;

    char received[kReplySize] = {};
    long got = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::microseconds(static_cast<long long>(timeoutMs) * 1000);
    while (std::chrono::steady_clock::now() - start < limit && !m_closing.load()) {
        std::this_thread::sleep_for(kPortPoll);
        got = m_serial.ReadPort(received, sizeof received);
        if (got >= 1)
            break;
    }
    const int copy = len < 0 ? 0 : (len > kReplySize ? kReplySize : len);
    std::memcpy(buf, received, static_cast<size_t>(copy));
    *count = static_cast<int>(got);
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::WritePort(char* buf, int len)
{
    if (buf == nullptr || len < 0)
        return OZL_USB_INVALID_PARAM;
    PortUse use(m_exchanges);
    if (m_closing.load() || !m_serial.IsOpen())
        return OZL_USB_FAILURE;
    return m_serial.WritePort(buf, static_cast<unsigned long>(len)) >= 0 ? OZL_USB_SUCCESS : OZL_USB_FAILURE;
}

unsigned char UVCDevCtrl::VEL_AAL_CKSUM(unsigned char* buf, int len)
{
    unsigned char sum = 0;
    for (int i = 0; i < len; ++i)
        sum = static_cast<unsigned char>(sum + buf[i]);
    return sum;
}

void UVCDevCtrl::PauseBeforeReply()
{
    std::this_thread::sleep_for(kReplyPause);
}

int UVCDevCtrl::Exchange(const Command& cmd, const uint8_t* arg, int argLen, StatusCheck status, Reply& reply)
{
    unsigned char request[8 + kMaxArg];
    int n = 0;
    request[n++] = kHead;
    request[n++] = static_cast<unsigned char>(4 + argLen);
    request[n++] = cmd.group;
    request[n++] = cmd.code;
    request[n++] = cmd.op;
    for (int i = 0; i < argLen; ++i)
        request[n++] = arg[i];
    request[n] = VEL_AAL_CKSUM(request, n);
    ++n;
    request[n++] = kTail[0];
    request[n++] = kTail[1];

    if (WritePort(reinterpret_cast<char*>(request), n) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    PauseBeforeReply();

    std::memset(reply.bytes, 0, sizeof reply.bytes);
    int count = 0;
    if (ReadPort(reinterpret_cast<char*>(reply.bytes), kReplySize, &count, cmd.timeoutMs) != OZL_USB_SUCCESS ||
        count < 0)
        return OZL_USB_FAILURE;

    // Group 07 replies repeat the group before the echo, so everything after
    // the head sits one byte further on.
    const int echoAt = cmd.group == 0x07 ? 3 : 2;
    reply.dataAt = echoAt + 2;
    if (reply.bytes[0] != kReplyHead || reply.bytes[echoAt] != cmd.code)
        return OZL_USB_FAILURE;
    if (status == StatusCheck::Required && reply.bytes[echoAt + 1] != kStatusOk)
        return OZL_USB_FAILURE;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::Setting(const Command& cmd, const uint8_t* arg, int argLen)
{
    Reply reply;
    if (Exchange(cmd, arg, argLen, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    return reply.Data()[0] == kAck ? OZL_USB_SUCCESS : OZL_USB_FAILURE;
}

int UVCDevCtrl::SettingByte(const Command& cmd, int value)
{
    const uint8_t arg = static_cast<uint8_t>(value);
    return Setting(cmd, &arg, 1);
}

// WireCamera - a UVCDevCtrl whose command port is a script: every frame the
// camera code writes is recorded, every read takes the next scripted reply,
// and the pause between request and reply is skipped. The fields that the
// first frame and the capability query normally fill are reachable so that
// a test can put the object into any state.
#pragma once

#include "UVCDevCtrl.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A request frame: head, length byte (the body plus the checksum), body,
// then checksum and tail appended.
inline Bytes Request(std::initializer_list<uint8_t> body)
{
    Bytes frame{0xAA, static_cast<uint8_t>(body.size() + 1)};
    frame.insert(frame.end(), body);
    uint8_t sum = 0;
    for (uint8_t b : frame)
        sum = static_cast<uint8_t>(sum + b);
    frame.insert(frame.end(), {sum, 0xEB, 0xAA});
    return frame;
}

// Replies as a well-behaved camera sends them (checksum and tail are never
// looked at, so they are left out): group 01 echoes at byte 2, group 07 at 3.
inline Bytes Reply01(uint8_t code, std::initializer_list<uint8_t> data = {}, uint8_t status = 0x33)
{
    Bytes r{0x55, 0x00, code, status};
    r.insert(r.end(), data);
    return r;
}
inline Bytes Reply07(uint8_t code, std::initializer_list<uint8_t> data = {}, uint8_t status = 0x33)
{
    Bytes r{0x55, 0x00, 0x07, code, status};
    r.insert(r.end(), data);
    return r;
}

class WireCamera : public UVCDevCtrl {
public:
    struct Read {
        int len;
        int timeoutMs;
    };

    std::vector<Bytes> written;
    std::vector<Read> reads;
    std::deque<Bytes> replies;  // one per read; none left: nothing arrives
    int writeResult = OZL_USB_SUCCESS;
    int readCount = -2;  // when not -2: the count every read reports

    int WritePort(char* buf, int len) override
    {
        written.emplace_back(buf, buf + len);
        return writeResult;
    }
    int ReadPort(char* buf, int len, int* count, int timeoutMs) override
    {
        reads.push_back({len, timeoutMs});
        Bytes reply;
        if (!replies.empty()) {
            reply = replies.front();
            replies.pop_front();
        }
        if (!reply.empty())
            std::memcpy(buf, reply.data(), reply.size() < size_t(len) ? reply.size() : size_t(len));
        *count = readCount != -2 ? readCount : static_cast<int>(reply.size());
        return OZL_USB_SUCCESS;
    }

    // Puts the object into the state a first frame of this layout leaves.
    void Stream(int mode, int width = 256, int height = 192)
    {
        m_frameMode = mode;
        m_width = width;
        m_height = height;
    }

    using UVCDevCtrl::m_devFunc;
    using UVCDevCtrl::m_firstFrame;
    using UVCDevCtrl::m_frameMode;
    using UVCDevCtrl::m_height;
    using UVCDevCtrl::m_imageData;
    using UVCDevCtrl::m_tempData;
    using UVCDevCtrl::m_tempLevel;
    using UVCDevCtrl::m_tempOffset;
    using UVCDevCtrl::m_tempScale;
    using UVCDevCtrl::m_width;

protected:
    void PauseBeforeReply() override {}
};

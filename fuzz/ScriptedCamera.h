// ScriptedCamera - the camera's device control with its command port played
// from fuzz input: every read takes the next scripted piece of a reply, and
// the pause between request and reply is skipped.
#pragma once

#include "UVCDevCtrl.h"

#include <cstdint>
#include <cstring>

// Reads bytes off the front of the fuzz input; past its end, zeros.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    // Up to `n` bytes; how many there were.
    size_t Take(uint8_t* out, size_t n)
    {
        const size_t left = m_size - (m_at < m_size ? m_at : m_size);
        const size_t got = n < left ? n : left;
        if (got != 0)
            std::memcpy(out, m_data + m_at, got);
        m_at += got;
        return got;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

class ScriptedCamera : public UVCDevCtrl {
public:
    explicit ScriptedCamera(FuzzInput& in) : m_in(in) {}

    int WritePort(char*, int len) override { return len > 0 && len <= 12 ? OZL_USB_SUCCESS : (__builtin_trap(), 1); }

    // One reply per read: a length byte, that many bytes of reply, and how
    // the line delivered them: all, only a first piece (the rest was lost to
    // the port's flush), nothing (count 0) or a failed read (-1).
    int ReadPort(char* buf, int len, int* count, int) override
    {
        if (len < 0 || len > 512)
            __builtin_trap();
        uint8_t reply[255] = {};
        const size_t n = m_in.Take(reply, m_in.Byte());
        const uint8_t split = m_in.Byte();
        int delivered = static_cast<int>(n);
        if (split >= 0xFE)
            delivered = split == 0xFE ? 0 : -1;
        else if (split != 0 && split < n)
            delivered = split;
        if (delivered > 0)
            std::memcpy(buf, reply, static_cast<size_t>(delivered < len ? delivered : len));
        *count = delivered;
        return OZL_USB_SUCCESS;
    }

    using UVCDevCtrl::GetDevFunc;
    using UVCDevCtrl::m_devFunc;
    using UVCDevCtrl::m_frameMode;
    using UVCDevCtrl::m_tempLevel;
    using UVCDevCtrl::m_tempOffset;
    using UVCDevCtrl::m_tempScale;

protected:
    void PauseBeforeReply() override {}

private:
    FuzzInput& m_in;
};

#include <vivaclient/frame_ring.h>

#include <chrono>
#include <cstring>

namespace vivaclient {

FrameRing::FrameRing(int width, int height, bool withTemps) : m_width(width), m_height(height), m_withTemps(withTemps)
{
    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (Slot& slot : m_slots) {
        slot.image.resize(samples);
        if (withTemps)
            slot.temps.resize(samples);
    }
}

int FrameRing::IndexOf(const Slot* slot) const
{
    return static_cast<int>(slot - m_slots);
}

FrameRing::Slot* FrameRing::Begin(uint64_t sequence, double timestamp)
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (int i = 0; i < kSlots; ++i) {
        if (m_state[i] != State::Free)
            continue;
        m_state[i] = State::Filling;
        m_slots[i].sequence = sequence;
        m_slots[i].timestamp = timestamp;
        m_slots[i].hasTemps = false;
        m_slots[i].afterGap = false;
        return &m_slots[i];
    }
    ++m_dropped;
    return nullptr;
}

void FrameRing::Publish(Slot* slot)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_ready >= 0) {
            slot->afterGap = slot->afterGap || m_slots[m_ready].afterGap;
            m_state[m_ready] = State::Free;
            ++m_dropped;
        }
        m_ready = IndexOf(slot);
        m_state[m_ready] = State::Ready;
    }
    m_wake.notify_all();
}

void FrameRing::Abandon(Slot* slot)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_state[IndexOf(slot)] = State::Free;
    ++m_dropped;
}

void FrameRing::Skip()
{
    ++m_dropped;
}

FrameRing::Outcome FrameRing::Take(double timeout, Slot** slot)
{
    std::unique_lock<std::mutex> hold(m_lock);
    auto settled = [this] { return m_closed || m_gone || m_ready >= 0; };
    ++m_waiting;
    constexpr double kYear = 365.0 * 24 * 3600;
    if (timeout < 0 || timeout > kYear) {
        m_wake.wait(hold, settled);
    } else {
        const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(timeout));
        m_wake.wait_for(hold, limit, settled);
    }
    --m_waiting;
    if (m_closed)
        return Outcome::Closed;
    if (m_gone)
        return Outcome::Gone;
    if (m_ready < 0)
        return Outcome::Timeout;
    m_state[m_ready] = State::Reading;
    *slot = &m_slots[m_ready];
    m_ready = -1;
    return Outcome::Frame;
}

void FrameRing::Release(Slot* slot)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_state[IndexOf(slot)] = State::Free;
}

void FrameRing::CopyOut(const Slot& slot, uint16_t* image, int16_t* raw, float* degrees) const
{
    const size_t samples = slot.image.size();
    std::memcpy(image, slot.image.data(), samples * sizeof(uint16_t));
    if (!slot.hasTemps || !raw || !degrees)
        return;
    const int16_t* in = slot.temps.data();
    std::memcpy(raw, in, samples * sizeof(int16_t));
    // A division, not a multiplication by 0.1f: the result is the float32
    // nearest to raw / 10, as numpy computes it. The loop is vectorised
    // (this file is built with -O3).
    for (size_t i = 0; i < samples; ++i)
        degrees[i] = static_cast<float>(in[i]) / 10.0f;
}

void FrameRing::Close()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_closed = true;
    }
    m_wake.notify_all();
}

void FrameRing::MarkGone()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_gone = true;
    }
    m_wake.notify_all();
}

}  // namespace vivaclient

#include <vivaclient/frame_ring.h>

#include <chrono>
#include <cstring>

namespace vivaclient {

FrameRing::FrameRing(int width, int height, bool withTemps) : width_(width), height_(height), withTemps_(withTemps)
{
    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (Slot& slot : slots_) {
        slot.image.resize(samples);
        if (withTemps)
            slot.temps.resize(samples);
    }
}

int FrameRing::IndexOf(const Slot* slot) const
{
    return static_cast<int>(slot - slots_);
}

FrameRing::Slot* FrameRing::Begin(uint64_t sequence, double timestamp)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (int i = 0; i < kSlots; ++i) {
        if (state_[i] != State::Free)
            continue;
        state_[i] = State::Filling;
        slots_[i].sequence = sequence;
        slots_[i].timestamp = timestamp;
        slots_[i].hasTemps = false;
        slots_[i].afterGap = false;
        return &slots_[i];
    }
    ++dropped_;
    return nullptr;
}

void FrameRing::Publish(Slot* slot)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (ready_ >= 0) {
            slot->afterGap = slot->afterGap || slots_[ready_].afterGap;
            state_[ready_] = State::Free;
            ++dropped_;
        }
        ready_ = IndexOf(slot);
        state_[ready_] = State::Ready;
    }
    wake_.notify_all();
}

void FrameRing::Abandon(Slot* slot)
{
    std::lock_guard<std::mutex> hold(lock_);
    state_[IndexOf(slot)] = State::Free;
    ++dropped_;
}

void FrameRing::Skip()
{
    ++dropped_;
}

FrameRing::Outcome FrameRing::Take(double timeout, Slot** slot)
{
    std::unique_lock<std::mutex> hold(lock_);
    auto settled = [this] { return closed_ || gone_ || ready_ >= 0; };
    ++waiting_;
    constexpr double kYear = 365.0 * 24 * 3600;
    if (timeout < 0 || timeout > kYear) {
        wake_.wait(hold, settled);
    } else {
        const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(timeout));
        wake_.wait_for(hold, limit, settled);
    }
    --waiting_;
    if (closed_)
        return Outcome::Closed;
    if (gone_)
        return Outcome::Gone;
    if (ready_ < 0)
        return Outcome::Timeout;
    state_[ready_] = State::Reading;
    *slot = &slots_[ready_];
    ready_ = -1;
    return Outcome::Frame;
}

void FrameRing::Release(Slot* slot)
{
    std::lock_guard<std::mutex> hold(lock_);
    state_[IndexOf(slot)] = State::Free;
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
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
    }
    wake_.notify_all();
}

void FrameRing::MarkGone()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        gone_ = true;
    }
    wake_.notify_all();
}

}  // namespace vivaclient

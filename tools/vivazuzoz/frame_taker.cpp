#include "frame_taker.h"

#include <algorithm>
#include <cmath>

namespace vivatool {
using namespace vivaclient;

bool TimeLapse::Take(double time)
{
    if (every_ <= 0)
        return true;
    // Slots are counted, not summed, so rounding cannot shift a frame into
    // the next slot; a microsecond of slack absorbs the division's.
    const double slot = std::floor(time / every_ + 1e-6);
    if (slot < nextSlot_)
        return false;
    nextSlot_ = slot + 1;
    return true;
}

FrameTaker::FrameTaker(int width, int height, bool withTemp, const Limits& limits)
    : width_(width), height_(height), withTemp_(withTemp), limits_(limits), lapse_(limits.every)
{
}

std::optional<QueuedFrame> FrameTaker::Next(Clock::duration wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (ready_.empty())
        changed_.wait_for(lock, wait);
    if (ready_.empty())
        return std::nullopt;
    QueuedFrame frame = std::move(ready_.front());
    ready_.pop_front();
    return frame;
}

void FrameTaker::Wait(Clock::duration wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait);
}

void FrameTaker::Recycle(QueuedFrame&& frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pool_.push_back(std::move(frame));
}

FrameTaker::Counts FrameTaker::counts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    Counts c = counts_;
    c.queued = ready_.size();
    return c;
}

// Read thread: the image plane of a new frame goes straight into a buffer
// of the pool, when the recording keeps the frame.
uint16_t* FrameTaker::BeginFrame(int width, int height, uint64_t sequence, FrameClock::time_point now)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (width != width_ || height != height_) {
        ++counts_.foreign;
        return nullptr;
    }
    if (counts_.received == 0) {
        counts_.first = now;
        counts_.firstWall = std::chrono::system_clock::now();
    }
    counts_.last = now;
    ++counts_.received;
    const double time = std::chrono::duration<double>(now - counts_.first).count();
    if (counts_.ended || (limits_.frames && counts_.taken >= limits_.frames) ||
        (limits_.seconds > 0 && time >= limits_.seconds)) {
        counts_.ended = true;
        changed_.notify_all();
        return nullptr;
    }
    if (!lapse_.Take(time))
        return nullptr;
    QueuedFrame frame;
    if (!pool_.empty()) {
        frame = std::move(pool_.back());
        pool_.pop_back();
    } else if (allocated_ < kQueueFrames) {
        ++allocated_;
    } else {
        ++counts_.dropped;
        return nullptr;
    }
    ++counts_.taken;
    lock.unlock();
    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
    frame.sequence = sequence;
    frame.time = time;
    frame.image.resize(samples);
    frame.temp.resize(withTemp_ ? samples : 0);
    filling_ = std::move(frame);
    return filling_->image.data();
}

// Read thread: the frame being filled is complete.
void FrameTaker::CompleteFrame(const FrameRef& frame)
{
    if (!filling_)
        return;
    if (withTemp_ && frame.temps)
        std::copy(frame.temps, frame.temps + filling_->temp.size(), filling_->temp.begin());
    filling_->afterGap = frame.afterGap;
    filling_->shutter = frame.shutter;
    filling_->settling = frame.settling;
    filling_->lastCorrection.reset();
    if (frame.lastCorrection != FrameClock::time_point{})
        filling_->lastCorrection = std::chrono::duration<double>(frame.lastCorrection - counts_.first).count();
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(std::move(*filling_));
    filling_.reset();
    if (limits_.frames && ++completed_ >= limits_.frames)
        counts_.ended = true;
    changed_.notify_all();
}

// Read thread: the frame's temperature plane never came.
void FrameTaker::AbandonFrame()
{
    if (!filling_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    pool_.push_back(std::move(*filling_));
    filling_.reset();
    --counts_.taken;
}

}  // namespace vivatool

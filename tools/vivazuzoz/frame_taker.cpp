#include "frame_taker.h"

#include <algorithm>
#include <cmath>

namespace vivatool {

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

FrameTaker::~FrameTaker()
{
    Stop();
}

Call FrameTaker::Start(unsigned long handle)
{
    handle_ = handle;
    if (withTemp_) {
        // Temperatures first, so a frame is never completed with the
        // temperature plane of the next one.
        const Call temp{"OZL_USB_StartPullTemp", OZL_USB_StartPullTemp(handle, OnTemp, this)};
        if (!temp.ok())
            return temp;
        tempStarted_ = true;
    }
    const Call preview{"OZL_USB_StartPreview", OZL_USB_StartPreview(handle, OnVideo, this)};
    previewStarted_ = preview.ok();
    return preview;
}

void FrameTaker::Stop()
{
    if (tempStarted_)
        OZL_USB_StopPullTemp(handle_);
    if (previewStarted_)
        OZL_USB_StopPreview(handle_);
    tempStarted_ = previewStarted_ = false;
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

void FrameTaker::OnVideo(unsigned long, OZL_USB_VIDEO_INFO_CB* frame, void* user)
{
    auto* self = static_cast<FrameTaker*>(user);
    self->Arrived(frame->data, frame->width, frame->height);
    if (!self->withTemp_)
        self->Complete();
}

void FrameTaker::OnTemp(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
{
    auto* self = static_cast<FrameTaker*>(user);
    if (!self->filling_)
        return;  // its image plane came before the recording started
    std::copy(frame->data, frame->data + self->filling_->temp.size(), self->filling_->temp.begin());
    self->Complete();
}

// Read thread: the image plane of a new frame.
void FrameTaker::Arrived(const uint16_t* image, int width, int height)
{
    const Clock::time_point now = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (filling_) {  // its temperature plane never came
        pool_.push_back(std::move(*filling_));
        filling_.reset();
        --counts_.taken;
    }
    if (width != width_ || height != height_) {
        ++counts_.foreign;
        return;
    }
    if (counts_.received == 0) {
        counts_.first = now;
        counts_.firstWall = std::chrono::system_clock::now();
    }
    counts_.last = now;
    const uint64_t sequence = counts_.received++;
    const double time = std::chrono::duration<double>(now - counts_.first).count();
    if (counts_.ended || (limits_.frames && counts_.taken >= limits_.frames) ||
        (limits_.seconds > 0 && time >= limits_.seconds)) {
        counts_.ended = true;
        changed_.notify_all();
        return;
    }
    if (!lapse_.Take(time))
        return;
    QueuedFrame frame;
    if (!pool_.empty()) {
        frame = std::move(pool_.back());
        pool_.pop_back();
    } else if (allocated_ < kQueueFrames) {
        ++allocated_;
    } else {
        ++counts_.dropped;
        return;
    }
    ++counts_.taken;
    lock.unlock();
    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
    frame.sequence = sequence;
    frame.time = time;
    frame.image.assign(image, image + samples);
    frame.temp.resize(withTemp_ ? samples : 0);
    filling_ = std::move(frame);
}

// Read thread: the frame being filled is complete.
void FrameTaker::Complete()
{
    if (!filling_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(std::move(*filling_));
    filling_.reset();
    if (limits_.frames && ++completed_ >= limits_.frames)
        counts_.ended = true;
    changed_.notify_all();
}

}  // namespace vivatool

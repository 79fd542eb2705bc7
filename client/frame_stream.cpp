#include <vivaclient/frame_stream.h>

#include <VIVAZUZOZ.h>

#include <cstring>
#include <memory>

namespace vivaclient {

class FrameStream::OwnBuffer : public FrameSink {
public:
    explicit OwnBuffer(Callback callback) : callback_(std::move(callback)) {}

    uint16_t* BeginFrame(int width, int height, uint64_t, FrameClock::time_point) override
    {
        image_.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
        return image_.data();
    }
    void CompleteFrame(const FrameRef& frame) override { callback_(frame); }

private:
    const Callback callback_;
    std::vector<uint16_t> image_;  // read thread only
};

FrameStream::FrameStream(unsigned long handle, FrameSink& sink) : handle_(handle), sink_(sink) {}

FrameStream::FrameStream(unsigned long handle, Callback callback)
    : handle_(handle), own_(std::make_unique<OwnBuffer>(std::move(callback))), sink_(*own_)
{
}

FrameStream::~FrameStream()
{
    Stop();
}

Call FrameStream::Start(uint64_t firstSequence)
{
    nextSequence_ = firstSequence;
    pending_ = false;
    // Temperatures first: a frame whose image arrives before this
    // registration completes is simply not joined, never joined with the
    // temperatures of the next frame. The library refuses temperatures on an
    // image-only stream.
    const Call temps{"OZL_USB_StartPullTemp", OZL_USB_StartPullTemp(handle_, OnTemps, this)};
    if (temps.ok())
        tempsStarted_ = true;
    else if (temps.result != OZL_USB_NOT_SUPPORTED)
        return temps;
    const Call preview{"OZL_USB_StartPreview", OZL_USB_StartPreview(handle_, OnImage, this)};
    previewStarted_ = preview.ok();
    if (!preview.ok())
        Stop();
    return preview;
}

void FrameStream::Stop()
{
    if (tempsStarted_)
        OZL_USB_StopPullTemp(handle_);
    if (previewStarted_)
        OZL_USB_StopPreview(handle_);
    tempsStarted_ = previewStarted_ = false;
    AbandonPending();
}

void FrameStream::Forget()
{
    tempsStarted_ = previewStarted_ = false;
    AbandonPending();
}

void FrameStream::AbandonPending()
{
    if (pending_) {
        pending_ = false;
        sink_.AbandonFrame();
    }
}

void FrameStream::OnImage(unsigned long, OZL_USB_VIDEO_INFO_CB* frame, void* user)
{
    auto* self = static_cast<FrameStream*>(user);
    self->AbandonPending();  // the temperatures of the last frame never came
    const uint64_t sequence = self->nextSequence_++;
    if (!frame || !frame->data || frame->width <= 0 || frame->height <= 0)
        return;
    FrameRef& ref = self->frame_;
    ref.width = frame->width;
    ref.height = frame->height;
    ref.sequence = sequence;
    ref.arrival = FrameClock::now();
    ref.temps = nullptr;
    uint16_t* image = self->sink_.BeginFrame(ref.width, ref.height, sequence, ref.arrival);
    if (!image)
        return;
    std::memcpy(image, frame->data, ref.samples() * sizeof(uint16_t));
    ref.image = image;
    if (frame->withTemp && self->tempsStarted_) {
        self->pending_ = true;
        return;
    }
    self->sink_.CompleteFrame(ref);
}

void FrameStream::OnTemps(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
{
    auto* self = static_cast<FrameStream*>(user);
    if (!self->pending_)
        return;  // its image came before the stream started, or was skipped
    self->pending_ = false;
    FrameRef& ref = self->frame_;
    if (!frame || !frame->data || frame->width != ref.width || frame->height != ref.height) {
        self->sink_.AbandonFrame();
        return;
    }
    ref.temps = frame->data;
    self->sink_.CompleteFrame(ref);
}

}  // namespace vivaclient

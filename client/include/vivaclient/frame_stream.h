// frame_stream.h - one frame of both planes as one value.
//
// The library hands a frame over in two callbacks on its read thread: the
// image plane to the preview callback, then, on a stream with temperatures,
// the temperature plane to the temperature callback. FrameStream joins them
// (the one place that knows how) and hands each complete frame to a sink:
// temperature delivery is registered before preview, so a frame is never
// completed with the other plane of another frame, and an image whose
// temperatures never came is dropped.
#pragma once

#include <vivaclient/result_text.h>

#include <VIVAZUZOZ.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vivaclient {

using FrameClock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// A complete frame during the sink's call; the pointers are valid only then.
struct FrameRef {
    int width = 0;
    int height = 0;
    const uint16_t* image = nullptr;  // width*height raw samples
    const int16_t* temps = nullptr;   // width*height tenths of a degree; null on an image-only stream
    uint64_t sequence = 0;            // 1 for the first frame the stream received, counting dropped ones
    FrameClock::time_point arrival;   // when its image plane arrived
    bool afterGap = false;            // the first frame after the camera was lost and came back
    // Set by a CameraSession: taken while the shutter was closed for a
    // correction (a frozen or flat picture), or while the picture settles
    // after one. Statistics and alarms hold their last good values through
    // flagged frames.
    bool shutter = false;
    bool settling = false;
    FrameClock::time_point lastCorrection;  // when the last correction before it ended; epoch before any

    bool flagged() const { return shutter || settling; }
    size_t samples() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
};

// Where a FrameStream puts frames. All three run on the library's read thread.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // A frame begins: where its image plane goes (width*height samples), or
    // null to skip the frame.
    virtual uint16_t* BeginFrame(int width, int height, uint64_t sequence, FrameClock::time_point arrival) = 0;
    // The frame begun is complete; frame.image is the buffer BeginFrame gave.
    virtual void CompleteFrame(const FrameRef& frame) = 0;
    // The frame begun will not complete (its temperatures never came).
    virtual void AbandonFrame() {}
};

class FrameStream {
public:
    using Callback = std::function<void(const FrameRef&)>;

    // Frames into `sink`, which must outlive the stream.
    FrameStream(unsigned long handle, FrameSink& sink);
    // Frames to `callback`, through a buffer of the stream's own.
    FrameStream(unsigned long handle, Callback callback);
    ~FrameStream();  // Stop()
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;

    // Registers the callbacks; frames are numbered on from `firstSequence`
    // (a stream that goes on after a reconnect keeps counting).
    Call Start(uint64_t firstSequence = 1);
    // Removes the callbacks; once it returns the sink is not called any more.
    void Stop();

    // The camera was closed under the stream (the library deinitialised):
    // forget the callbacks without asking the library. A frame whose image
    // came but whose temperatures the close cut off is abandoned here, so
    // the sink is not called after this, not even by the destructor. Call
    // it once no callback can run (the close has returned).
    void Forget();

    // Temperatures were registered: the camera's stream carries them.
    bool withTemps() const { return tempsStarted_; }
    // The number the next frame would get (read it after Stop).
    uint64_t nextSequence() const { return nextSequence_; }

private:
    class OwnBuffer;
    static void OnImage(unsigned long handle, OZL_USB_VIDEO_INFO_CB* frame, void* user);
    static void OnTemps(unsigned long handle, OZL_USB_TEMP_INFO_CB* frame, void* user);
    // Tells the sink that the frame begun will not complete, if there is one.
    void AbandonPending();

    const unsigned long handle_;
    std::unique_ptr<OwnBuffer> own_;  // the sink of the callback form
    FrameSink& sink_;
    // Starting thread only.
    std::atomic<bool> tempsStarted_{false};  // read by the read thread
    bool previewStarted_ = false;
    // Read thread only (and the starting thread while no callback is registered).
    uint64_t nextSequence_ = 1;
    bool pending_ = false;  // a frame begun waits for its temperatures
    FrameRef frame_;        // that frame
};

}  // namespace vivaclient

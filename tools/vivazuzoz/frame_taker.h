// frame_taker.h - the frames a recording keeps, taken off the library's read
// thread and queued for the thread that writes them.
#pragma once

#include <vivaclient/frame_stream.h>

#include <VIVAZUZOZ.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vivatool {

// Chooses the frames of a time-lapse: the first frame, then the first frame
// at or after each later multiple of `every` seconds from it. Slots missed
// (no frame arrived within one) are skipped, not caught up. `every` 0 takes
// every frame.
class TimeLapse {
public:
    explicit TimeLapse(double every) : every_(every) {}
    // `time`: seconds since the first frame, never decreasing.
    bool Take(double time);

private:
    double every_;
    double nextSlot_ = 0;  // index of the next interval a frame may open
};

// One frame on its way to the file.
struct QueuedFrame {
    uint64_t sequence = 0;  // number in the stream as received, from 0
    double time = 0;        // seconds since the first frame received
    std::vector<uint16_t> image;
    std::vector<int16_t> temp;             // empty on an image-only stream
    bool afterGap = false;                 // the first frame kept after the camera came back
    bool shutter = false;                  // taken during a shutter correction
    bool settling = false;                 // taken just after one
    std::optional<double> lastCorrection;  // when the last correction ended, on `time`'s time line
};

// Takes frames off the library's read thread: decides which ones the
// recording keeps, copies those into a small pool of buffers and queues them
// for the command's thread, which writes them. The read thread never waits
// for the disk: when every buffer is waiting to be written, a frame to keep
// is dropped and counted.
class FrameTaker : public vivaclient::FrameSink {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        uint64_t frames = 0;  // 0: no limit
        double seconds = 0;   // 0: no limit
        double every = 0;     // 0: every frame
    };

    // What the read thread has seen so far.
    struct Counts {
        uint64_t received = 0;    // frames the camera delivered
        uint64_t taken = 0;       // frames queued (or being copied) for the file
        uint64_t dropped = 0;     // frames to keep that found no free buffer
        uint64_t foreign = 0;     // frames of another size than the recording's
        bool ended = false;       // the frame or time limit is reached
        Clock::time_point first;  // arrival of the first frame
        std::chrono::system_clock::time_point firstWall;
        Clock::time_point last;  // arrival of the latest frame
        size_t queued = 0;       // frames waiting to be written
    };

    // Buffers in the pool at most.
    static constexpr size_t kQueueFrames = 8;

    FrameTaker(int width, int height, bool withTemp, const Limits& limits);
    FrameTaker(const FrameTaker&) = delete;
    FrameTaker& operator=(const FrameTaker&) = delete;

    // Command thread: the oldest queued frame, waiting up to `wait` for one.
    std::optional<QueuedFrame> Next(Clock::duration wait);
    // Command thread: waits up to `wait` for news from the read thread.
    void Wait(Clock::duration wait);
    // Gives a written frame's buffers back to the pool.
    void Recycle(QueuedFrame&& frame);
    Counts counts() const;

    // The read thread's side (frame_stream.h): a frame stream or a camera
    // session delivers into the taker.
    uint16_t* BeginFrame(int width, int height, uint64_t sequence, vivaclient::FrameClock::time_point arrival) override;
    void CompleteFrame(const vivaclient::FrameRef& frame) override;
    void AbandonFrame() override;

private:
    const int width_;
    const int height_;
    const bool withTemp_;
    const Limits limits_;
    // Read thread only: the frame whose planes are being copied.
    std::optional<QueuedFrame> filling_;
    TimeLapse lapse_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by `mutex_`.
    std::deque<QueuedFrame> ready_;
    std::vector<QueuedFrame> pool_;
    size_t allocated_ = 0;
    uint64_t completed_ = 0;
    Counts counts_;
};

}  // namespace vivatool

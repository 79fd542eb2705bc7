// FrameRing - a few preallocated frame buffers between one camera's read
// thread (the only writer) and the Python threads that read frames.
//
// The writer never waits for a reader: it fills a free slot, and publishing
// replaces the frame that is ready but not yet taken (newest wins, the one
// replaced is counted as dropped). A reader takes the ready frame, copies it
// out and gives the slot back. With one slot being filled, one ready and one
// per reader copying out, kSlots slots leave the writer a free one unless
// more than kSlots - 2 readers copy at once; then the new frame is dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vivaclient {

class FrameRing {
public:
    static constexpr int kSlots = 4;

    struct Slot {
        std::vector<uint16_t> image;  // width*height
        std::vector<int16_t> temps;   // width*height tenths of a degree; empty on image-only streams
        uint64_t sequence = 0;        // the stream's number of the frame (FrameRef::sequence)
        double timestamp = 0;         // CLOCK_MONOTONIC seconds at arrival
        bool hasTemps = false;        // temps holds this frame's plane
        bool afterGap = false;        // the first frame handed out after the camera was away
        bool shutter = false;         // taken during a shutter correction
        bool settling = false;        // taken just after one
    };

    enum class Outcome { Frame, Timeout, Closed, Gone };

    FrameRing(int width, int height, bool withTemps);
    FrameRing(const FrameRing&) = delete;
    FrameRing& operator=(const FrameRing&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    bool withTemps() const { return withTemps_; }

    // Writer (read thread). Begin returns a slot to fill, numbered and stamped,
    // or null when none is free (the frame is counted as dropped). Publish
    // makes it the ready frame (a gap mark of the ready frame it replaces
    // moves to it, so no reader misses the gap); Abandon gives it back
    // unpublished (dropped).
    Slot* Begin(uint64_t sequence, double timestamp);
    void Publish(Slot* slot);
    void Abandon(Slot* slot);
    // A frame that could not be stored (e.g. of another size): dropped.
    void Skip();

    // Reader. Waits up to `timeout` seconds (negative: without limit) for a
    // ready frame. Closed and Gone win over a ready frame. On Frame, *slot is
    // the reader's until Release.
    Outcome Take(double timeout, Slot** slot);
    void Release(Slot* slot);

    // Wake every waiting reader; later Takes answer at once.
    void Close();     // the camera was closed
    void MarkGone();  // the camera vanished

    // Copies a taken slot out: the image, and when the frame has them the raw
    // temperatures and the same divided by 10 (degrees). Outputs hold
    // width*height samples; temperature outputs may be null.
    void CopyOut(const Slot& slot, uint16_t* image, int16_t* raw, float* degrees) const;

    uint64_t dropped() const { return dropped_.load(); }
    int waiting() const { return waiting_.load(); }

private:
    enum class State { Free, Filling, Ready, Reading };
    int IndexOf(const Slot* slot) const;

    const int width_;
    const int height_;
    const bool withTemps_;
    Slot slots_[kSlots];  // buffers sized once; a slot's contents belong to whoever holds its state

    std::mutex lock_;           // guards the fields below up to wake_
    State state_[kSlots] = {};  // Free, or owned by the writer (Filling), the ring (Ready) or a reader
    int ready_ = -1;            // index of the newest published, untaken frame
    bool closed_ = false;
    bool gone_ = false;
    std::condition_variable wake_;  // a frame was published, or the ring was closed or gone

    std::atomic<uint64_t> dropped_{0};  // frames no reader took
    std::atomic<int> waiting_{0};       // readers blocked in Take
};

}  // namespace vivaclient

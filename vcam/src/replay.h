// Replay - a recording made by `vivazuzoz record` served as a camera's
// frames, in place of the synthetic scene.
//
// The camera takes the recording's size, layout and camera frame rate, and
// streams like the recorded camera: one frame per period, each recorded
// frame held until the next one is due (a time-lapse recording thus replays
// in real time, its frames repeated in between), the recording's own gaps
// kept. The time line runs `speed` times as fast as recorded. Its raw
// temperature samples are the recorded tenths of a degree and its formula is
// scale 10, offset 0 at every level, under which the library's conversion,
// (raw - 0) / 10 * 10 truncated, gives every recorded value back exactly.
// The recorded palette, temperature level and unit, image level,
// environment parameters and detector and camera temperatures become the
// model's.
#pragma once

#include <vivaclient/recording.h>
#include "vcam/VirtualCamera.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vcam {
namespace detail {

class ReplaySource {
public:
    // Opens and checks the recording; nullptr with `error` set on failure.
    static std::unique_ptr<ReplaySource> Open(const std::string& path, bool loop, double speed, std::string* error);

    const vivaclient::RecordingLayout& layout() const { return reader_.layout(); }
    size_t frames() const { return reader_.frames(); }
    // The recorded camera's frame rate: camera frames (sequence steps) per
    // second over the recording, else the recorded rate; 0 when unknown.
    double fps() const { return fps_; }

    // The recorded settings and the identity formula, on `model`.
    void ApplyTo(Model& model) const;

    // Writes the recorded frame now due into `dst` as the capture node
    // carries it (each row: image samples, then raw temperature samples), at
    // most `cap` bytes, and moves the time line on by one camera period (times
    // the speed); returns the bytes written. The time line moves with the
    // frames delivered, not with the periods in which the reader had no
    // buffer queued: a reader that is slow to start, or that streams twice,
    // does not lose the recording meanwhile; one that keeps up sees it in
    // real time. A new stream goes on where the last one stopped. After the
    // last frame (held as long as the interval before it) it starts again
    // when looping, else returns 0 from then on (as after a read failure);
    // either end is told once on standard error. Producer thread only.
    size_t Render(uint8_t* dst, size_t cap);

private:
    // The frame due at camera period `position` of the time line, or
    // frames() once the recording is over.
    size_t FrameAt(double position) const;

    ReplaySource(std::string path, bool loop, double speed)
        : path_(std::move(path)), loop_(loop), speed_(speed > 0 ? speed : 1.0)
    {
    }
    void Plan();

    const std::string path_;
    const bool loop_;
    const double speed_;
    vivaclient::RecordingReader reader_;
    double fps_ = 0;
    // Camera periods from the first recorded frame to each frame, and to
    // the end of the last one's hold.
    std::vector<double> due_;
    double length_ = 1;
    // Producer thread only.
    double position_ = 0;      // camera periods into the time line
    size_t shown_ = SIZE_MAX;  // the frame in frame_
    bool ended_ = false;
    vivaclient::RecordedFrame frame_;
};

}  // namespace detail
}  // namespace vcam

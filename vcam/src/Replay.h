// Replay - a recording made by `vivazuzoz record` served as a camera's
// frames, in place of the synthetic scene.
//
// The camera takes the recording's size, layout and frame rate. Its raw
// temperature samples are the recorded tenths of a degree and its formula is
// scale 10, offset 0 at every level, under which the library's conversion,
// (raw - 0) / 10 * 10 truncated, gives every recorded value back exactly.
// The recorded palette, temperature level and unit, image level,
// environment parameters and detector and camera temperatures become the
// model's.
#pragma once

#include "recording.h"
#include "vcam/VirtualCamera.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vcam {
namespace detail {

class ReplaySource {
public:
    // Opens and checks the recording; nullptr with `error` set on failure.
    static std::unique_ptr<ReplaySource> Open(const std::string& path, bool loop, std::string* error);

    const vivaclient::RecordingLayout& layout() const { return reader_.layout(); }
    size_t frames() const { return reader_.frames(); }
    // The recorded rate; 0 when the recording does not tell.
    double fps() const { return reader_.rate(); }

    // The recorded settings and the identity formula, on `model`.
    void ApplyTo(Model& model) const;

    // Writes the next recorded frame into `dst` as the capture node carries
    // it (each row: image samples, then raw temperature samples), at most
    // `cap` bytes; returns the bytes written. After the last frame it starts
    // again when looping, else returns 0 from then on (as after a read
    // failure); either end is told once on standard error. Producer thread
    // only.
    size_t Render(uint8_t* dst, size_t cap);

private:
    explicit ReplaySource(std::string path, bool loop) : path_(std::move(path)), loop_(loop) {}

    const std::string path_;
    const bool loop_;
    vivaclient::RecordingReader reader_;
    // Producer thread only.
    size_t next_ = 0;
    bool ended_ = false;
    vivaclient::RecordedFrame frame_;
};

}  // namespace detail
}  // namespace vcam

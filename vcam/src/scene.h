// Scene - the synthetic thermal scene the virtual camera looks at, and the
// renderer that turns it into frames.
//
// A room wall at 22-24 C with a faint tile texture, a person's head and
// shoulders (~34-36 C), a mug of coffee (~58 C), a hot plate (80-110 C,
// hottest at its centre) and a warm ball (37 C) rolling to and fro along a
// band near the bottom. Everything is computed in whole tenths of a degree so
// that raw samples made with a formula whose scale is a multiple of 10 convert
// back exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcam {
namespace detail {

struct Formula {
    int scale;
    int offset;
};

class Scene {
public:
    // Without `hotObject` the hot plate is off: its place shows the wall.
    Scene(int width, int height, bool hotObject = true);

    uint64_t id() const { return id_; }  // unique per scene made in this process
    int width() const { return width_; }
    int height() const { return height_; }
    // Static temperature (the background where the ball rolls).
    int Tenths(int x, int y) const { return tenths_[static_cast<size_t>(y) * width_ + x]; }
    bool IsStatic(int x, int y) const;
    int hotX() const { return hotX_; }
    int hotY() const { return hotY_; }

    // The rolling ball: its row band and its centre column in frame `seq`.
    int ballY() const { return ballY_; }
    int ballR() const { return ballR_; }
    int BallX(uint64_t seq, double fps) const;
    static constexpr int kBallTenths = 370;

private:
    uint64_t id_;
    int width_;
    int height_;
    int hotX_ = 0;
    int hotY_ = 0;
    int ballY_ = 0;
    int ballR_ = 1;
    std::vector<int16_t> tenths_;
};

// The greyscale image sample for a temperature: monotone, 15 C and below
// dark, 120 C and above near white.
uint16_t ImageSample(int tenths);
// The raw temperature sample for a temperature: offset + tenths * scale / 10,
// rounded to the nearest integer and clamped to a signed 16-bit value.
int16_t RawSample(int tenths, Formula f);

// Bytes of one frame: image-only w*h*2, image-and-temperature twice that.
size_t FrameBytes(int width, int height, bool withTemp);

// Renders frames of one camera. The static part is computed once per scene,
// layout and formula; each frame copies it and draws the ball. Used by one
// thread at a time.
class FrameRenderer {
public:
    // Writes frame `seq` into dst, at most `cap` bytes; returns the bytes
    // written (the frame's size, or cap when the frame is larger).
    size_t Render(const Scene& scene, bool withTemp, Formula f, uint64_t seq, double fps, uint8_t* dst, size_t cap);

private:
    void Prepare(const Scene& scene, bool withTemp, Formula f);

    uint64_t sceneId_ = 0;  // Scene::id() of the prepared scene (ids start at 1)
    bool withTemp_ = false;
    Formula formula_ = {0, 0};
    std::vector<uint8_t> static_;
};

}  // namespace detail
}  // namespace vcam

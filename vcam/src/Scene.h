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

    uint64_t id() const { return m_id; }  // unique per scene made in this process
    int width() const { return m_width; }
    int height() const { return m_height; }
    // Static temperature (the background where the ball rolls).
    int Tenths(int x, int y) const { return m_tenths[static_cast<size_t>(y) * m_width + x]; }
    bool IsStatic(int x, int y) const;
    int hotX() const { return m_hotX; }
    int hotY() const { return m_hotY; }

    // The rolling ball: its row band and its centre column in frame `seq`.
    int ballY() const { return m_ballY; }
    int ballR() const { return m_ballR; }
    int BallX(uint64_t seq, double fps) const;
    static constexpr int kBallTenths = 370;

private:
    uint64_t m_id;
    int m_width;
    int m_height;
    int m_hotX = 0;
    int m_hotY = 0;
    int m_ballY = 0;
    int m_ballR = 1;
    std::vector<int16_t> m_tenths;
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
    size_t Render(const Scene& scene, bool withTemp, Formula f, uint64_t seq, double fps,
                  uint8_t* dst, size_t cap);

private:
    void Prepare(const Scene& scene, bool withTemp, Formula f);

    uint64_t m_sceneId = 0;  // Scene::id() of the prepared scene (ids start at 1)
    bool m_withTemp = false;
    Formula m_formula = {0, 0};
    std::vector<uint8_t> m_static;
};

}  // namespace detail
}  // namespace vcam

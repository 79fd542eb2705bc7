// colour_frame.h - false colours for a 16-bit frame: the range, the colour
// of every sample (the client's colouring kernel), the colour bar and the
// markers, drawn in the output frame's own layout. No GStreamer here, so
// that the element stays a thin shell around it.
#pragma once

#include <vivaclient/colormaps.h>
#include <vivaclient/colour_kernel.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vivagst {

enum class RangeMode { Auto, Frame, Fixed };

// How a frame is coloured.
struct ColourSettings {
    vivaclient::Colormap palette{};
    RangeMode mode = RangeMode::Auto;
    double low = 0, high = 0;  // RangeMode::Fixed, in sample values
    bool colourBar = false;
    bool markers = false;
    // With the colour bar: the degrees of its two ends, written beside it
    // (on temperatures only; the range's ends in degrees).
    bool labels = false;
    double lowDegrees = 0, highDegrees = 0;
    // A repeat of the last frame while the camera is away: marked (MarkLost).
    bool cameraLost = false;
};

// The range over frames: RangeMode::Auto follows each frame's minimum and
// maximum smoothly, so that a hot object passing by does not make the whole
// picture flicker.
class ColourRange {
public:
    // The range to colour a frame whose samples span `min` to `max`.
    void Next(const ColourSettings& settings, uint16_t min, uint16_t max, double& low, double& high);
    void Reset() { started_ = false; }

private:
    bool started_ = false;
    double low_ = 0, high_ = 0;
};

// An output frame: its planes in one of the kernel's layouts.
struct Canvas {
    vivaclient::ColourLayout layout = vivaclient::ColourLayout::Rgb;
    vivaclient::ColourPlanes planes;
    int width = 0, height = 0;
};

// Colours `samples` (width*height, rows `stride` samples apart, spanning
// `span`: vivaclient::FindSpan) straight into `out` with the colouring
// kernel, then draws the colour bar, markers and labels the settings ask
// for. `low`/`high` is the range (ColourRange::Next). A repeat sent while the
// camera is away (settings.cameraLost) is dimmed to half brightness and
// labelled "CAMERA LOST" across the middle.
void ColourFrame(const ColourSettings& settings, const uint16_t* samples, size_t stride, vivaclient::SampleSpan span,
                 double low, double high, vivaclient::ColourKernel& kernel, const Canvas& out);

// Where the coldest and the hottest sample (of `span`) first occur.
struct Extremes {
    int minX = 0, minY = 0, maxX = 0, maxY = 0;
};
Extremes FindExtremes(const uint16_t* samples, size_t stride, int width, int height, vivaclient::SampleSpan span);

}  // namespace vivagst

// colour_kernel.h - the one colouring kernel: 16-bit samples to false
// colours, written straight in the layout the consumer needs (RGB triplets
// for PNG and JPEG, RGBx/BGRx for video, I420 planes for an encoder).
//
// A frame is coloured in two passes over its samples: FindSpan (minimum and
// maximum together), then ColourKernel::Colour through a table built once
// for the frame's range (ColourKernel::Prepare), from sample value straight
// to the output colour. The table holds the colour of palette entry
// ColormapIndex(value, low, high) for every value the frame holds, so the
// colours are exactly those of the scalar rule, in integer work per sample.
//
// The widest kernel the processor has is chosen at run time. AVX-512 (with
// VBMI): the palette entry of 16 samples at once in single precision, the
// rule's exact result checked at every edge between entries when the table is
// built (else this kernel hands over to AVX2), and each output byte from a
// 256-byte table by byte permutes. AVX2: the table lookups as gathers.
// Advanced SIMD on AArch64: the span (the lookups stay scalar there, as NEON
// has no gather). Else portable C++.
// Threading: FindSpan is pure; a ColourKernel is used by one thread at a time.
#pragma once

#include <vivaclient/colormaps.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vivaclient {

// The smallest and largest sample of a plane. Samples are compared after an
// exclusive or with `flip`: 0 for unsigned samples, 0x8000 for signed ones
// (two's complement, which that orders as unsigned); min and max are in that
// flipped order, and every function here takes samples the same way.
struct SampleSpan {
    uint16_t min = 0, max = 0;
    uint16_t flip = 0;
};

// The kernels; Best() is the widest this processor runs.
enum class ColourKernelKind { Portable, Avx2, Avx512, Neon };
bool ColourKernelAvailable(ColourKernelKind kind);
ColourKernelKind BestColourKernel();

// Minimum and maximum of width*height samples, rows `stride` samples apart,
// in one pass. An empty plane gives {0, 0}.
SampleSpan FindSpan(const uint16_t* samples, size_t stride, int width, int height, uint16_t flip = 0,
                    ColourKernelKind kind = BestColourKernel());

// Output layouts: 3 or 4 bytes per pixel, or the three planes of I420
// (BT.601 limited range, chroma the rounded mean of each 2x2 block).
enum class ColourLayout { Rgb, Rgbx, Bgrx, I420 };

// The BT.601 limited-range Y, U and V of a colour, as encoders and v4l2sink
// expect I420.
void RgbToYuv(Rgb c, uint8_t& y, uint8_t& u, uint8_t& v);

// The destination of Colour: one plane for the packed layouts, three for
// I420 (planes[1] U and planes[2] V at half size, rounded up).
struct ColourPlanes {
    uint8_t* data[3] = {nullptr, nullptr, nullptr};
    size_t stride[3] = {0, 0, 0};  // bytes
};

class ColourKernel {
public:
    // The colours of every value from span.min to span.max: palette entry
    // ColormapIndex(value, low, high) in `layout`. low/high are in the
    // flipped order of the span. Costs about one step per distinct entry plus
    // one store per value of the span.
    void Prepare(const Colormap& palette, SampleSpan span, double low, double high, ColourLayout layout);

    // Colours width*height samples (rows `stride` samples apart), each
    // within the prepared span, into `out` in the prepared layout.
    void Colour(const uint16_t* samples, size_t stride, int width, int height, const ColourPlanes& out,
                ColourKernelKind kind = BestColourKernel()) const;

    ColourLayout layout() const { return layout_; }
    // Whether the prepared range's entries are exact in single precision
    // (the AVX-512 kernel's way); else that kernel hands over to AVX2.
    bool singlePrecisionExact() const { return exact_; }

private:
    std::vector<uint32_t> table_;  // per value from span_.min: the output colour's bytes, little-endian
    // The AVX-512 kernel's: entry = clamp(trunc(offset * scale_ + shift_))
    // in single precision with a fused multiply-add, and each output byte of
    // an entry; exact_ when that gives every offset of the span its entry.
    float scale_ = 0, shift_ = 0;
    bool exact_ = false;
    alignas(64) uint8_t bytes_[3][256] = {};
    SampleSpan span_;
    ColourLayout layout_ = ColourLayout::Rgb;
};

}  // namespace vivaclient

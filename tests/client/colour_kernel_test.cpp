#include <vivaclient/colour_kernel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace vivaclient;

namespace {

std::vector<ColourKernelKind> Kinds()
{
    std::vector<ColourKernelKind> kinds;
    for (ColourKernelKind k :
         {ColourKernelKind::Portable, ColourKernelKind::Avx2, ColourKernelKind::Avx512, ColourKernelKind::Neon})
        if (ColourKernelAvailable(k))
            kinds.push_back(k);
    return kinds;
}

std::string Name(ColourKernelKind k)
{
    return k == ColourKernelKind::Avx512 ? "avx512"
           : k == ColourKernelKind::Avx2 ? "avx2"
           : k == ColourKernelKind::Neon ? "neon"
                                         : "portable";
}

// The palette entry as it was computed before the kernel, in double
// arithmetic with std::lround for every sample.
int LroundIndex(double value, double low, double high)
{
    const double span = high - low;
    if (!(span > 0) || value <= low)
        return 0;
    if (value >= high)
        return 255;
    return static_cast<int>(std::lround((value - low) * 255.0 / span));
}

// The colours as they were computed before the kernel.
std::vector<uint8_t> ReferenceRgb(const std::vector<uint16_t>& plane, double low, double high, const Colormap& map)
{
    std::vector<uint8_t> rgb;
    for (uint16_t s : plane) {
        const Rgb c = map[static_cast<size_t>(LroundIndex(s, low, high))];
        rgb.insert(rgb.end(), {c.r, c.g, c.b});
    }
    return rgb;
}

// The RGB to I420 packing of the GStreamer element before the kernel: each
// pixel's BT.601 Y, U and V, U and V averaged (rounded) over each 2x2 block.
void ReferenceI420(const std::vector<uint8_t>& rgb, int width, int height, std::vector<uint8_t>& y,
                   std::vector<uint8_t>& u, std::vector<uint8_t>& v)
{
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    y.assign(static_cast<size_t>(width) * height, 0);
    u.assign(static_cast<size_t>(cw) * ch, 0);
    v.assign(u.size(), 0);
    for (int cy = 0; cy < ch; ++cy)
        for (int cx = 0; cx < cw; ++cx) {
            int uSum = 0, vSum = 0, n = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const int px = 2 * cx + dx, py = 2 * cy + dy;
                    if (px >= width || py >= height)
                        continue;
                    const uint8_t* p = &rgb[(static_cast<size_t>(py) * width + px) * 3];
                    y[static_cast<size_t>(py) * width + px] = static_cast<uint8_t>(
                        ((66 * p[0] + 129 * p[1] + 25 * p[2] + 128) >> 8) + 16);
                    uSum += ((-38 * p[0] - 74 * p[1] + 112 * p[2] + 128) >> 8) + 128;
                    vSum += ((112 * p[0] - 94 * p[1] - 18 * p[2] + 128) >> 8) + 128;
                    ++n;
                }
            u[static_cast<size_t>(cy) * cw + cx] = static_cast<uint8_t>((uSum + n / 2) / n);
            v[static_cast<size_t>(cy) * cw + cx] = static_cast<uint8_t>((vSum + n / 2) / n);
        }
}

// Colours `plane` (rows of `width`, stored `pad` samples apart further) in
// `layout`, returned as RGB triplets (packed) or the three planes one after
// another (I420).
std::vector<uint8_t> Run(ColourKernelKind kind, const std::vector<uint16_t>& plane, int width, int pad, double low,
                         double high, const Colormap& map, ColourLayout layout)
{
    const int height = static_cast<int>(plane.size()) / width;
    const size_t stride = static_cast<size_t>(width + pad);
    std::vector<uint16_t> padded(stride * height, 0xABCD);
    for (int y = 0; y < height; ++y)
        std::copy_n(&plane[static_cast<size_t>(y) * width], width, &padded[y * stride]);
    ColourKernel kernel;
    kernel.Prepare(map, FindSpan(padded.data(), stride, width, height, 0, kind), low, high, layout);
    if (layout == ColourLayout::I420) {
        const size_t cw = (width + 1) / 2, ch = (height + 1) / 2;
        std::vector<uint8_t> out(static_cast<size_t>(width) * height + 2 * cw * ch);
        ColourPlanes planes;
        planes.data[0] = out.data(), planes.stride[0] = width;
        planes.data[1] = out.data() + static_cast<size_t>(width) * height, planes.stride[1] = cw;
        planes.data[2] = planes.data[1] + cw * ch, planes.stride[2] = cw;
        kernel.Colour(padded.data(), stride, width, height, planes, kind);
        return out;
    }
    const int step = layout == ColourLayout::Rgb ? 3 : 4;
    const size_t outStride = static_cast<size_t>(width) * step + 5;  // padded rows are left alone
    std::vector<uint8_t> out(outStride * height, 0x5A);
    ColourPlanes planes;
    planes.data[0] = out.data(), planes.stride[0] = outStride;
    kernel.Colour(padded.data(), stride, width, height, planes, kind);
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = &out[y * outStride];
        EXPECT_EQ(row[width * step], 0x5A) << "wrote past row " << y;
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = row + x * step;
            if (step == 4) {
                EXPECT_EQ(p[3], 0xFF) << "padding byte at " << x << "," << y;
            }
            if (layout == ColourLayout::Bgrx)
                rgb.insert(rgb.end(), {p[2], p[1], p[0]});
            else
                rgb.insert(rgb.end(), {p[0], p[1], p[2]});
        }
    }
    return rgb;
}

// The first byte where two pictures differ, or -1: a short message where a
// megapixel comparison fails.
long FirstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want)
{
    if (got.size() != want.size())
        return static_cast<long>(std::min(got.size(), want.size()));
    const auto at = std::mismatch(got.begin(), got.end(), want.begin());
    return at.first == got.end() ? -1 : at.first - got.begin();
}

void ExpectSameAsReference(const std::vector<uint16_t>& plane, int width, double low, double high, const Colormap& map)
{
    const int height = static_cast<int>(plane.size()) / width;
    const std::vector<uint8_t> want = ReferenceRgb(plane, low, high, map);
    std::vector<uint8_t> y, u, v;
    ReferenceI420(want, width, height, y, u, v);
    std::vector<uint8_t> wantI420 = y;
    wantI420.insert(wantI420.end(), u.begin(), u.end());
    wantI420.insert(wantI420.end(), v.begin(), v.end());
    for (ColourKernelKind kind : Kinds())
        for (int pad : {0, 3}) {
            SCOPED_TRACE(Name(kind) + " range " + std::to_string(low) + " to " + std::to_string(high) + " pad " +
                         std::to_string(pad));
            for (ColourLayout layout : {ColourLayout::Rgb, ColourLayout::Rgbx, ColourLayout::Bgrx}) {
                EXPECT_EQ(FirstDifference(Run(kind, plane, width, pad, low, high, map, layout), want), -1)
                    << "layout " << static_cast<int>(layout);
            }
            EXPECT_EQ(FirstDifference(Run(kind, plane, width, pad, low, high, map, ColourLayout::I420), wantI420), -1)
                << "I420, Y plane " << width * (plane.size() / width) << " bytes";
        }
}

}  // namespace

TEST(ColourKernel, EveryRawValueGetsTheScalarRulesColourOverManyRanges)
{
    // All 65,536 values in one plane, shuffled so that the vector lanes and
    // the 2x2 chroma blocks mix unlike neighbours.
    std::vector<uint16_t> all(65536);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint16_t>(i);
    std::shuffle(all.begin(), all.end(), std::mt19937(3));
    const Colormap rainbow = FindColormap("rainbow")->build(), iron = FindColormap("iron")->build();
    // The frame's own range, ranges inside and beyond it, one that follows
    // a frame smoothly (fractions), a one-value, a flat and an inverted one.
    const double ranges[][2] = {{0, 65535},      {1000, 4000},       {1000.3, 1873.77}, {30000, 30001},
                                {-100.5, 70000}, {12345.5, 12345.5}, {40000, 100},      {65534.9, 65535}};
    for (const auto& r : ranges)
        ExpectSameAsReference(all, 256, r[0], r[1], rainbow);
    ExpectSameAsReference(all, 256, 2000, 2900.25, iron);
}

TEST(ColourKernel, OddSizesStridesAndNarrowSpansMatchTheScalarRule)
{
    // Widths that leave every kind of tail (and an odd height for the last
    // chroma row), samples in a narrow band as a thermal scene has them.
    const Colormap iron = FindColormap("iron")->build();
    std::mt19937 random(11);
    for (int width : {1, 2, 15, 16, 17, 19, 35, 37, 64}) {
        for (int height : {1, 2, 3, 21}) {
            std::vector<uint16_t> plane(static_cast<size_t>(width) * height);
            for (auto& s : plane)
                s = static_cast<uint16_t>(7000 + random() % 900);
            const auto [lo, hi] = std::minmax_element(plane.begin(), plane.end());
            ExpectSameAsReference(plane, width, *lo, *hi, iron);
            ExpectSameAsReference(plane, width, *lo + 100.25, *hi - 99.5, iron);
        }
    }
}

TEST(ColourKernel, TypicalRangesTakeTheSinglePrecisionWayAndOthersFallBack)
{
    // The AVX-512 kernel's entries in single precision hold for the spans a
    // scene has (the two tests above then compare that way too); an
    // extremely narrow range far from the samples leaves it.
    const Colormap iron = FindColormap("iron")->build();
    ColourKernel kernel;
    const SampleSpan narrow{7000, 7900, 0}, wide{0, 65535, 0};
    for (const auto& [span, low, high] :
         {std::make_tuple(narrow, 7000.0, 7900.0), std::make_tuple(narrow, 7100.25, 7799.5),
          std::make_tuple(wide, 1000.0, 4000.0), std::make_tuple(narrow, 12345.5, 12345.5)}) {
        kernel.Prepare(iron, span, low, high, ColourLayout::Rgb);
        EXPECT_TRUE(kernel.singlePrecisionExact()) << low << " to " << high;
    }
    kernel.Prepare(iron, wide, 30000.0, 30000.0001, ColourLayout::Rgb);
    EXPECT_FALSE(kernel.singlePrecisionExact());
}

TEST(ColourKernel, SpanIsTheMinimumAndMaximumInEitherSampleOrder)
{
    std::mt19937 random(5);
    for (int width : {1, 16, 33, 640}) {
        const int height = 7;
        const size_t stride = width + 9;
        std::vector<uint16_t> plane(stride * height);
        for (auto& s : plane)
            s = static_cast<uint16_t>(20000 + random() % 20000);
        // Extremes outside the plane's rows (in the padding) must not count.
        for (int y = 0; y < height; ++y)
            std::fill_n(&plane[y * stride + width], 9, y % 2 ? 0 : 0xFFFF);
        plane[stride * (height - 1) + width - 1] = 123;  // last sample: a tail
        plane[stride * 3] = 65000;
        const std::vector<int16_t> signedOrder = {-5, 300, -32768, 32767, 0};
        for (ColourKernelKind kind : Kinds()) {
            SCOPED_TRACE(Name(kind) + " width " + std::to_string(width));
            const SampleSpan span = FindSpan(plane.data(), stride, width, height, 0, kind);
            EXPECT_EQ(span.min, 123);
            EXPECT_EQ(span.max, 65000);
            const SampleSpan s = FindSpan(reinterpret_cast<const uint16_t*>(signedOrder.data()), 5, 5, 1, 0x8000, kind);
            EXPECT_EQ(s.min, 0) << "-32768 is the smallest";
            EXPECT_EQ(s.max, 0xFFFF) << "32767 is the largest";
        }
    }
}

TEST(ColourKernel, ColouriseColoursSignedAndUnsignedPlanesFromTheirOwnRange)
{
    // Colourise is the kernel on the plane's own span; signed samples order
    // below zero, unsigned ones do not.
    const Colormap rainbow = FindColormap("rainbow")->build();
    std::mt19937 random(9);
    std::vector<int16_t> tenths(37 * 21);
    for (auto& t : tenths)
        t = static_cast<int16_t>(static_cast<int>(random() % 4000) - 500);
    std::vector<uint8_t> want;
    const auto [lo, hi] = std::minmax_element(tenths.begin(), tenths.end());
    for (int16_t t : tenths) {
        const Rgb c = rainbow[static_cast<size_t>(LroundIndex(t, *lo, *hi))];
        want.insert(want.end(), {c.r, c.g, c.b});
    }
    EXPECT_EQ(Colourise(tenths.data(), 37, 21, rainbow), want);
    std::vector<uint16_t> raw(tenths.begin(), tenths.end());  // negatives become the largest values
    const auto [rlo, rhi] = std::minmax_element(raw.begin(), raw.end());
    EXPECT_EQ(Colourise(raw.data(), 37, 21, rainbow), ReferenceRgb(raw, *rlo, *rhi, rainbow));
    EXPECT_TRUE(Colourise(raw.data(), 0, 21, rainbow).empty());
}

// The frame path's conversion against the camera's formula computed the
// literal way (double division, multiplication by 10, truncation, low 16
// bits), for every raw value under a few thousand formulas and on every
// kernel this CPU can run; and the row and frame loops at awkward lengths.
#include "TempConversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Kernel = TempConversion::Kernel;

std::vector<Kernel> Kernels()
{
    std::vector<Kernel> kernels;
    for (Kernel k : {Kernel::Portable, Kernel::Sse2, Kernel::Avx2, Kernel::Avx512, Kernel::Neon})
        if (TempConversion::Available(k))
            kernels.push_back(k);
    return kernels;
}

const char* Name(Kernel k)
{
    switch (k) {
    case Kernel::Portable:
        return "portable";
    case Kernel::Sse2:
        return "SSE2";
    case Kernel::Avx2:
        return "AVX2";
    case Kernel::Avx512:
        return "AVX-512";
    case Kernel::Neon:
        return "NEON";
    }
    return "?";
}

// The formula as written: d as an integer, converted to double, divided by
// the scale, times 10, truncated toward zero, low 16 bits kept.
uint16_t Formula(int16_t raw, int32_t scale, int32_t offset)
{
    if (scale == 0)
        return uint16_t(raw);
    const double t = double(int64_t(raw) - offset) / double(scale) * 10.0;
    return uint16_t(int32_t(std::trunc(t)));
}

// The random formulas. Under a sanitizer each sample costs many times more
// and this arithmetic check gains nothing from it, so fewer are drawn there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRandomFormulas = 200;
#else
constexpr int kRandomFormulas = 2600;
#endif

struct Formula2 {
    int32_t scale;
    int32_t offset;
};

std::vector<Formula2> Formulas()
{
    std::vector<Formula2> list;
    // Edges: tiny and huge scales, the scales whose quotients are often
    // exact integers (divisors and multiples of 10), the camera's own, the
    // 16-bit ends, negative offsets, offsets at the end of the multiplying
    // kernels' domain (|raw - offset| = 131072) and just past it.
    const int32_t scales[] = {1,   2,   3,   5,   7,    9,    10,    11,    13,    20,    25,    40, 50, 80,  99,
                              100, 101, 125, 128, 1000, 4095, 10000, 32767, 32768, 65534, 65535, -1, -7, -10, -65535};
    const int32_t offsets[] = {-32768, -32767, -2000, -500,   -1,    0,      1,       1000,
                               32766,  32767,  98304, -98305, 98305, -98306, 1000000, -1000000};
    for (int32_t s : scales)
        for (int32_t o : offsets)
            list.push_back({s, o});
    for (int32_t o : {-32768, 0, 55, 32767})
        list.push_back({0, o});
    // Random formulas as a camera could report them (scale 1..65535, a
    // signed 16-bit offset); half of them with small scales, where exact
    // quotients are frequent.
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int32_t> anyScale(1, 65535), smallScale(1, 200), offset(-32768, 32767);
    for (int i = 0; i < kRandomFormulas; ++i)
        list.push_back({i % 2 ? anyScale(random) : smallScale(random), offset(random)});
    return list;
}

}  // namespace

TEST(TempConversion, EveryKernelMatchesTheDoubleFormulaForAllRawValuesUnderThousandsOfFormulas)
{
    // All 65,536 raw bit patterns, in order, as the camera sends them.
    std::vector<unsigned char> raw(2 * 65536);
    for (uint32_t i = 0; i < 65536; ++i) {
        const uint16_t s = uint16_t(i);
        std::memcpy(&raw[2 * i], &s, 2);
    }
    std::vector<uint16_t> expected(65536), got(65536);
    const std::vector<Kernel> kernels = Kernels();
    ASSERT_FALSE(kernels.empty());
    // The vector kernel every processor of the architecture has is built in
    // and checked here, and the frame path uses a vector kernel.
#if defined(__aarch64__)
    EXPECT_TRUE(TempConversion::Available(Kernel::Neon));
#elif defined(__x86_64__)
    EXPECT_TRUE(TempConversion::Available(Kernel::Sse2));
#endif
#if defined(__aarch64__) || defined(__x86_64__)
    EXPECT_NE(TempConversion::Best(), Kernel::Portable);
#endif

    const std::vector<Formula2> formulas = Formulas();
    ASSERT_GT(formulas.size(), size_t(kRandomFormulas) + 400);
    int failedFormulas = 0;
    for (const Formula2& f : formulas) {
        for (uint32_t i = 0; i < 65536; ++i)
            expected[i] = Formula(int16_t(uint16_t(i)), f.scale, f.offset);
        for (Kernel k : kernels) {
            TempConversion conversion;
            conversion.SetFormula(f.scale, f.offset, k);
            std::fill(got.begin(), got.end(), 0xA5A5);
            conversion.ConvertRow(raw.data(), got.data(), got.size());
            for (uint32_t i = 0; i < 65536; ++i) {
                if (got[i] == expected[i])
                    continue;
                ADD_FAILURE() << Name(k) << " kernel, scale " << f.scale << " offset " << f.offset << ": raw "
                              << int16_t(uint16_t(i)) << " gives " << int16_t(got[i]) << ", the formula "
                              << int16_t(expected[i]);
                ++failedFormulas;
                break;
            }
            if (failedFormulas > 10)
                FAIL() << "stopping after 10 failing formulas";
        }
    }

    // The literal formula the library keeps for formulas outside the
    // kernels' domain is the same formula.
    for (const Formula2& f : {Formula2{1, 1000000}, Formula2{7, -98306}, Formula2{100, 1000}, Formula2{0, 9}}) {
        int wrong = 0;
        for (uint32_t i = 0; i < 65536; ++i)
            wrong += uint16_t(TempConversion::Literal(int16_t(uint16_t(i)), f.scale, f.offset)) !=
                     Formula(int16_t(uint16_t(i)), f.scale, f.offset);
        EXPECT_EQ(wrong, 0) << "scale " << f.scale << " offset " << f.offset;
    }
    // Beyond 32 bits the literal formula saturates rather than overflowing.
    EXPECT_EQ(TempConversion::Literal(32767, 1, -2147483647 - 1), int16_t(uint16_t(0x7FFFFFFF)));
    EXPECT_EQ(TempConversion::Literal(-32768, 1, 2147483647), int16_t(uint16_t(0x80000000u)));
}

TEST(TempConversion, RowsAndFramesOfAnyLengthAndAlignmentConvertExactlyAndStayInBounds)
{
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(2 * 200 + 3);
    for (unsigned char& b : bytes)
        b = uint8_t(random());
    const uint16_t kGuard = 0x5A5A;

    for (Kernel k : Kernels()) {
        SCOPED_TRACE(Name(k));
        for (Formula2 f : {Formula2{80, -2000}, Formula2{0, 0}, Formula2{3, 200000}}) {
            TempConversion conversion;
            conversion.SetFormula(f.scale, f.offset, k);
            // Every count around the vector widths, from every byte alignment.
            for (size_t start = 0; start < 3; ++start) {
                for (size_t count = 0; count <= 67; ++count) {
                    std::vector<uint16_t> out(count + 2, kGuard);
                    conversion.ConvertRow(&bytes[start], &out[1], count);
                    ASSERT_EQ(out.front(), kGuard) << "count " << count;
                    ASSERT_EQ(out.back(), kGuard) << "count " << count;
                    for (size_t i = 0; i < count; ++i) {
                        int16_t s;
                        std::memcpy(&s, &bytes[start + 2 * i], 2);
                        ASSERT_EQ(out[1 + i], Formula(s, f.scale, f.offset))
                            << "scale " << f.scale << " count " << count << " start " << start << " sample " << i;
                    }
                }
            }
        }

        // A frame whose width is no multiple of any vector width: each row's
        // first half lands in the image plane as it is, its second half
        // converted in the temperature plane, nothing beyond either plane.
        const size_t width = 37, height = 5;
        std::vector<unsigned char> frame(4 * width * height);
        for (unsigned char& b : frame)
            b = uint8_t(random());
        std::vector<uint16_t> image(width * height + 1, kGuard), temps(width * height + 1, kGuard);
        TempConversion conversion;
        conversion.SetFormula(20, 1000, k);
        conversion.SplitFrame(frame.data(), width, height, image.data(), temps.data());
        EXPECT_EQ(image.back(), kGuard);
        EXPECT_EQ(temps.back(), kGuard);
        int wrong = 0;
        for (size_t r = 0; r < height; ++r) {
            for (size_t c = 0; c < width; ++c) {
                uint16_t pixel;
                int16_t s;
                std::memcpy(&pixel, &frame[4 * width * r + 2 * c], 2);
                std::memcpy(&s, &frame[4 * width * r + 2 * width + 2 * c], 2);
                wrong += image[width * r + c] != pixel;
                wrong += temps[width * r + c] != Formula(s, 20, 1000);
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

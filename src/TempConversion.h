// TempConversion - the frame path's arithmetic: raw temperature samples to
// tenths of a degree, and the split of an image-and-temperature frame into
// its image plane and its converted temperature plane in one pass per row.
//
// The camera's formula turns a raw sample s (signed 16 bits) into
//     trunc((double)(s - offset) / (double)scale * 10.0)
// keeping the low 16 bits of the 32-bit result. Literal() is that formula
// word for word; the frame path computes the same values without a division:
//
// - The exact quotient v = 10 (s - offset) / scale is a fraction with
//   denominator |scale|, so when it is not an integer its fractional part
//   lies in [1/|scale|, 1 - 1/|scale|]. The double computation is within
//   |v| 2^-51 of v, far closer than that, and for an integer v = k it gives
//   exactly k (d / scale is then k / 10, and fl(fl(k / 10) * 10) == k holds
//   for every |k| < 2^22, as a loop over them shows). So the literal formula
//   equals trunc(v) whenever |v| < 2^22.
// - The frame path computes q = (s - offset) * c in single precision, with
//   c = 10 / scale enlarged by the factor (1 + 2^-21). With the rounding of
//   c and of the product, q = v (1 + e) where e lies between about
//   6 * 2^-24 and 10 * 2^-24: q is never below v (an exact quotient k can
//   not fall to k - 1 under truncation), and while 10 |s - offset| e < 1
//   (0.78 at kMaxSpan) it never reaches the next integer either, because a
//   fractional part is at most 1 - 1/|scale|. Hence trunc(q) == trunc(v)
//   for |s - offset| <= kMaxSpan.
//
// Formulas outside that domain (an offset far outside 16 bits) fall back to
// the literal formula per sample; a scale of 0 passes samples through.
//
// Kernels: a portable one (plain C++, which compilers may vectorise); on
// x86-64 SSE2 (always present), AVX2 and AVX-512 (F, BW and VL), the widest
// the CPU has chosen at run time; on AArch64 Advanced SIMD (NEON, always
// present). All give identical results; the tests run every kernel the CPU
// has.
//
// Not thread-safe by itself: one object belongs to one frame path (the
// camera's read thread).
#pragma once

#include <cstddef>
#include <cstdint>

class TempConversion {
public:
    enum class Kernel { Portable, Sse2, Avx2, Avx512, Neon };

    // Largest |raw - offset| that the multiplying kernels handle exactly.
    static constexpr int32_t kMaxSpan = 131072;

    // The formula as the camera defines it (scale 0: the sample unchanged).
    // The difference raw - offset is taken exactly; a result beyond 32 bits
    // (possible only for offsets far outside 16 bits) saturates before its
    // low 16 bits are kept.
    static int16_t Literal(int16_t raw, int32_t scale, int32_t offset);

    // Whether this build and this CPU can run the kernel.
    static bool Available(Kernel kernel);
    // The fastest available kernel (decided once per process).
    static Kernel Best();

    // Scale 10, offset 0 (samples unchanged) on the best kernel.
    TempConversion();

    // Selects the formula and the kernel; cheap, allocates nothing. A kernel
    // that is not available is replaced by the best one.
    void SetFormula(int32_t scale, int32_t offset, Kernel kernel);
    void SetFormula(int32_t scale, int32_t offset) { SetFormula(scale, offset, Best()); }
    int32_t Scale() const { return m_scale; }
    int32_t Offset() const { return m_offset; }
    Kernel UsedKernel() const { return m_kernel; }

    // Converts `count` raw samples (host byte order, any alignment) to
    // `out` (which must not overlap `raw`).
    void ConvertRow(const unsigned char* raw, uint16_t* out, size_t count) const;

    // Splits a frame of `height` rows of 4 * width bytes: the first half of
    // each row to `image` as it is, the second half converted to `temps`;
    // both planes are width * height samples in row order.
    void SplitFrame(const unsigned char* frame, size_t width, size_t height, uint16_t* image, uint16_t* temps) const;

private:
    enum class Method { PassThrough, Multiply, Literal };

    int32_t m_scale = 10;
    int32_t m_offset = 0;
    Kernel m_kernel = Kernel::Portable;
    Method m_method = Method::Multiply;
    float m_offsetF = 0.0f;  // the offset, exactly (|offset| <= kMaxSpan + 32768)
    float m_factor = 1.0f;   // 10 / scale, enlarged by (1 + 2^-21)
};

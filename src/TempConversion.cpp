#include "TempConversion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))
#define VIVAZUZOZ_X86 1
#include <immintrin.h>
#endif
// Advanced SIMD is part of every AArch64 processor.
#if defined(__aarch64__)
#define VIVAZUZOZ_NEON 1
#include <arm_neon.h>
#endif

namespace {

// What every kernel computes for one sample; the SIMD kernels are this,
// several lanes at a time, with the same two roundings.
inline uint16_t MultiplySample(int16_t raw, float offset, float factor)
{
    const float q = (static_cast<float>(raw) - offset) * factor;
    return static_cast<uint16_t>(static_cast<int32_t>(q));
}

inline int16_t LoadSample(const unsigned char* p)
{
    int16_t s;
    std::memcpy(&s, p, sizeof s);
    return s;
}

void MultiplyPortable(const unsigned char* raw, uint16_t* out, size_t count, float offset, float factor)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = MultiplySample(LoadSample(raw + 2 * i), offset, factor);
}

#ifdef VIVAZUZOZ_X86

void MultiplySse2(const unsigned char* raw, uint16_t* out, size_t count, float offset, float factor)
{
    const __m128 off = _mm_set1_ps(offset);
    const __m128 fac = _mm_set1_ps(factor);
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 2 * i));
        // Sign-extend to 32 bits: each sample lands in the high half, then shifts down.
        const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
        const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        __m128i nlo = _mm_cvttps_epi32(_mm_mul_ps(_mm_sub_ps(_mm_cvtepi32_ps(lo), off), fac));
        __m128i nhi = _mm_cvttps_epi32(_mm_mul_ps(_mm_sub_ps(_mm_cvtepi32_ps(hi), off), fac));
        // Keep the low 16 bits (a wrap, not a saturation): sign-extend them
        // so that the saturating pack leaves them as they are.
        nlo = _mm_srai_epi32(_mm_slli_epi32(nlo, 16), 16);
        nhi = _mm_srai_epi32(_mm_slli_epi32(nhi, 16), 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(nlo, nhi));
    }
    MultiplyPortable(raw + 2 * i, out + i, count - i, offset, factor);
}

__attribute__((target("avx2"))) void MultiplyAvx2(const unsigned char* raw, uint16_t* out, size_t count, float offset,
                                                  float factor)
{
    const __m256 off = _mm256_set1_ps(offset);
    const __m256 fac = _mm256_set1_ps(factor);
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i lo = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 2 * i)));
        const __m256i hi = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 2 * i + 16)));
        __m256i nlo = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_sub_ps(_mm256_cvtepi32_ps(lo), off), fac));
        __m256i nhi = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_sub_ps(_mm256_cvtepi32_ps(hi), off), fac));
        // Keep the low 16 bits of each lane (zero the high ones), pack
        // without saturation, and undo the pack's lane interleaving.
        nlo = _mm256_blend_epi16(nlo, zero, 0xAA);
        nhi = _mm256_blend_epi16(nhi, zero, 0xAA);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(nlo, nhi), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
    MultiplyPortable(raw + 2 * i, out + i, count - i, offset, factor);
}

// 32 samples a step in 512-bit vectors; the rest of a row (fewer than 32
// samples) in steps of up to 16 with masked loads and stores, which touch no
// byte outside the row. (The zero-masking forms with every lane selected are
// the plain instructions; GCC 12's plain intrinsics start from an undefined
// register and warn about it.)
__attribute__((target("avx512f,avx512bw,avx512vl"))) inline __m512i ConvertAvx512(__m256i samples, __m512 off,
                                                                                  __m512 fac, __mmask16 all)
{
    const __m512 s = _mm512_maskz_cvtepi32_ps(all, _mm512_maskz_cvtepi16_epi32(all, samples));
    return _mm512_maskz_cvttps_epi32(all, _mm512_mul_ps(_mm512_sub_ps(s, off), fac));
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) void MultiplyAvx512(const unsigned char* raw, uint16_t* out,
                                                                         size_t count, float offset, float factor)
{
    const __m512 off = _mm512_set1_ps(offset);
    const __m512 fac = _mm512_set1_ps(factor);
    const __mmask16 all = 0xFFFF;
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m512i lo = ConvertAvx512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(raw + 2 * i)), off, fac,
                                         all);
        const __m512i hi = ConvertAvx512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(raw + 2 * i + 32)), off,
                                         fac, all);
        // vpmovdw keeps the low 16 bits of each lane (no saturation).
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_maskz_cvtepi32_epi16(all, lo));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 16), _mm512_maskz_cvtepi32_epi16(all, hi));
    }
    for (; i < count; i += 16) {
        const size_t n = std::min<size_t>(16, count - i);
        const __mmask16 mask = static_cast<__mmask16>((1u << n) - 1);
        const __m512i v = ConvertAvx512(_mm256_maskz_loadu_epi16(mask, raw + 2 * i), off, fac, all);
        _mm256_mask_storeu_epi16(out + i, mask, _mm512_maskz_cvtepi32_epi16(all, v));
    }
}

#endif

#ifdef VIVAZUZOZ_NEON

void MultiplyNeon(const unsigned char* raw, uint16_t* out, size_t count, float offset, float factor)
{
    const float32x4_t off = vdupq_n_f32(offset);
    const float32x4_t fac = vdupq_n_f32(factor);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        // Byte loads: any alignment; the samples are in host order.
        const int16x8_t a = vreinterpretq_s16_u8(vld1q_u8(raw + 2 * i));
        const int16x8_t b = vreinterpretq_s16_u8(vld1q_u8(raw + 2 * i + 16));
        // vcvtq_s32_f32 truncates toward zero, like the scalar conversion.
        const int32x4_t a0 = vcvtq_s32_f32(vmulq_f32(vsubq_f32(vcvtq_f32_s32(vmovl_s16(vget_low_s16(a))), off), fac));
        const int32x4_t a1 = vcvtq_s32_f32(vmulq_f32(vsubq_f32(vcvtq_f32_s32(vmovl_high_s16(a)), off), fac));
        const int32x4_t b0 = vcvtq_s32_f32(vmulq_f32(vsubq_f32(vcvtq_f32_s32(vmovl_s16(vget_low_s16(b))), off), fac));
        const int32x4_t b1 = vcvtq_s32_f32(vmulq_f32(vsubq_f32(vcvtq_f32_s32(vmovl_high_s16(b)), off), fac));
        // vmovn keeps the low 16 bits of each lane (no saturation).
        vst1q_u16(out + i, vreinterpretq_u16_s16(vmovn_high_s32(vmovn_s32(a0), a1)));
        vst1q_u16(out + i + 8, vreinterpretq_u16_s16(vmovn_high_s32(vmovn_s32(b0), b1)));
    }
    MultiplyPortable(raw + 2 * i, out + i, count - i, offset, factor);
}

#endif

bool CpuHasAvx2()
{
#ifdef VIVAZUZOZ_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// The AVX-512 kernel uses the foundation, the byte-and-word instructions and
// their 256-bit forms; the check also asks whether the OS saves the 512-bit
// registers.
bool CpuHasAvx512()
{
#ifdef VIVAZUZOZ_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

}  // namespace

int16_t TempConversion::Literal(int16_t raw, int32_t scale, int32_t offset)
{
    if (scale == 0)
        return raw;
    const int64_t d = static_cast<int64_t>(raw) - offset;
    const double t = static_cast<double>(d) / static_cast<double>(scale) * 10.0;
    int32_t whole;
    if (t >= 2147483647.0)
        whole = std::numeric_limits<int32_t>::max();
    else if (t <= -2147483648.0)
        whole = std::numeric_limits<int32_t>::min();
    else
        whole = static_cast<int32_t>(t);
    return static_cast<int16_t>(static_cast<uint16_t>(whole));
}

bool TempConversion::Available(Kernel kernel)
{
    switch (kernel) {
    case Kernel::Portable:
        return true;
    case Kernel::Sse2:
#ifdef VIVAZUZOZ_X86
        return true;
#else
        return false;
#endif
    case Kernel::Avx2: {
        static const bool avx2 = CpuHasAvx2();
        return avx2;
    }
    case Kernel::Avx512: {
        static const bool avx512 = CpuHasAvx512();
        return avx512;
    }
    case Kernel::Neon:
#ifdef VIVAZUZOZ_NEON
        return true;
#else
        return false;
#endif
    }
    return false;
}

TempConversion::Kernel TempConversion::Best()
{
    if (Available(Kernel::Neon))
        return Kernel::Neon;
    if (Available(Kernel::Avx512))
        return Kernel::Avx512;
    if (Available(Kernel::Avx2))
        return Kernel::Avx2;
    if (Available(Kernel::Sse2))
        return Kernel::Sse2;
    return Kernel::Portable;
}

TempConversion::TempConversion()
{
    SetFormula(10, 0);
}

void TempConversion::SetFormula(int32_t scale, int32_t offset, Kernel kernel)
{
    m_scale = scale;
    m_offset = offset;
    m_kernel = Available(kernel) ? kernel : Best();
    // The largest |raw - offset| over all 16-bit raw values.
    const int64_t span = std::max(std::llabs(-32768LL - offset), std::llabs(32767LL - offset));
    if (scale == 0) {
        m_method = Method::PassThrough;
    } else if (span <= kMaxSpan) {
        m_method = Method::Multiply;
        m_offsetF = static_cast<float>(offset);
        m_factor = static_cast<float>(10.0 / static_cast<double>(scale) * (1.0 + 1.0 / (1 << 21)));
    } else {
        m_method = Method::Literal;
    }
}

void TempConversion::ConvertRow(const unsigned char* raw, uint16_t* out, size_t count) const
{
    switch (m_method) {
    case Method::PassThrough:
        std::memcpy(out, raw, count * sizeof *out);
        return;
    case Method::Literal:
        for (size_t i = 0; i < count; ++i)
            out[i] = static_cast<uint16_t>(Literal(LoadSample(raw + 2 * i), m_scale, m_offset));
        return;
    case Method::Multiply:
        break;
    }
    switch (m_kernel) {
#ifdef VIVAZUZOZ_X86
    case Kernel::Avx512:
        MultiplyAvx512(raw, out, count, m_offsetF, m_factor);
        return;
    case Kernel::Avx2:
        MultiplyAvx2(raw, out, count, m_offsetF, m_factor);
        return;
    case Kernel::Sse2:
        MultiplySse2(raw, out, count, m_offsetF, m_factor);
        return;
#endif
#ifdef VIVAZUZOZ_NEON
    case Kernel::Neon:
        MultiplyNeon(raw, out, count, m_offsetF, m_factor);
        return;
#endif
    default:
        MultiplyPortable(raw, out, count, m_offsetF, m_factor);
        return;
    }
}

void TempConversion::SplitFrame(const unsigned char* frame, size_t width, size_t height, uint16_t* image,
                                uint16_t* temps) const
{
    const size_t halfRow = 2 * width;
    // Row by row, so that each row's bytes are read once while in cache.
    for (size_t r = 0; r < height; ++r) {
        const unsigned char* row = frame + 2 * halfRow * r;
        std::memcpy(image + width * r, row, halfRow);
        ConvertRow(row + halfRow, temps + width * r, width);
    }
}

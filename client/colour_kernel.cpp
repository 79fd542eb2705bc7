#include <vivaclient/colour_kernel.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#define VIVACLIENT_X86 1
#include <immintrin.h>
#endif
// Advanced SIMD is part of every AArch64 processor.
#if defined(__aarch64__)
#define VIVACLIENT_NEON 1
#include <arm_neon.h>
#endif

namespace vivaclient {

namespace {

// A sample's place in the prepared table: its offset from the span's
// minimum, in the flipped order.
inline uint16_t Offset(uint16_t sample, uint16_t flip, uint16_t min)
{
    return static_cast<uint16_t>((sample ^ flip) - min);
}

inline uint32_t Pack(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return a | (static_cast<uint32_t>(b) << 8) | (static_cast<uint32_t>(c) << 16) | (static_cast<uint32_t>(d) << 24);
}

uint32_t Entry(Rgb c, ColourLayout layout)
{
    switch (layout) {
    case ColourLayout::Bgrx:
        return Pack(c.b, c.g, c.r, 0xFF);
    case ColourLayout::I420: {
        uint8_t y, u, v;
        RgbToYuv(c, y, u, v);
        return Pack(y, u, v, 0);
    }
    case ColourLayout::Rgb:
    case ColourLayout::Rgbx:
        break;
    }
    return Pack(c.r, c.g, c.b, 0xFF);
}

// The first value after `from` (at most `end`) whose entry exceeds `entry`,
// where `entry` is the entry of `from`, and that value's entry in `next`.
// The entries rise with the value, so the estimate from the line is
// corrected by a step or two either way.
uint32_t NextEdge(uint32_t from, uint32_t end, int entry, double low, double high, int& next)
{
    const double at = std::ceil(low + (entry + 0.5) * (high - low) / 255.0);
    uint32_t edge = end;
    if (at <= static_cast<double>(from))
        edge = from + 1;
    else if (at < static_cast<double>(end))
        edge = static_cast<uint32_t>(at);
    while (edge > from + 1 && ColormapIndex(edge - 1, low, high) > entry)
        --edge;
    next = entry;
    while (edge < end && (next = ColormapIndex(edge, low, high)) <= entry)
        ++edge;
    return edge;
}

// Portable kernels: the reference the others are held to.

SampleSpan SpanPortable(const uint16_t* samples, size_t stride, int width, int height, uint16_t flip)
{
    uint16_t lo = 0xFFFF, hi = 0;
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            const uint16_t s = row[x] ^ flip;
            lo = std::min(lo, s);
            hi = std::max(hi, s);
        }
    }
    return {lo, hi, flip};
}

// Pixels [from, width) of one row in a packed layout of `step` bytes.
void RowPortable(const uint16_t* row, int from, int width, const uint32_t* table, SampleSpan span, int step,
                 uint8_t* out)
{
    for (int x = from; x < width; ++x) {
        const uint32_t c = table[Offset(row[x], span.flip, span.min)];
        if (step == 4 || x + 1 < width) {
            std::memcpy(out + static_cast<size_t>(x) * step, &c, 4);  // RGB: the fourth byte is the next pixel's
        } else {
            std::memcpy(out + static_cast<size_t>(x) * step, &c, 3);
        }
    }
}

// The rows of I420 blocks from row `y` (even): the two sample rows (b is
// nullptr below an odd height's last row), their Y rows and the U and V row.
struct BlockRows {
    BlockRows(const uint16_t* samples, size_t stride, int height, const ColourPlanes& out, int y)
        : a(samples + static_cast<size_t>(y) * stride),
          b(y + 1 < height ? a + stride : nullptr),
          ya(out.data[0] + static_cast<size_t>(y) * out.stride[0]),
          yb(b ? ya + out.stride[0] : nullptr),
          u(out.data[1] + static_cast<size_t>(y / 2) * out.stride[1]),
          v(out.data[2] + static_cast<size_t>(y / 2) * out.stride[2])
    {
    }
    const uint16_t *a, *b;
    uint8_t *ya, *yb, *u, *v;
};

// Chroma blocks from pixel `from` (even) to the row's end for rows `a` and
// `b` (nullptr: `a` is the last row of an odd height); Y of both rows too.
void I420BlocksPortable(const uint16_t* a, const uint16_t* b, int from, int width, const uint32_t* table,
                        SampleSpan span, uint8_t* ya, uint8_t* yb, uint8_t* u, uint8_t* v)
{
    for (int x = from; x < width; x += 2) {
        int uSum = 0, vSum = 0, n = 0;
        for (int dy = 0; dy < 2; ++dy) {
            const uint16_t* row = dy == 0 ? a : b;
            uint8_t* yRow = dy == 0 ? ya : yb;
            if (!row)
                continue;
            for (int dx = 0; dx < 2 && x + dx < width; ++dx) {
                const uint32_t c = table[Offset(row[x + dx], span.flip, span.min)];
                yRow[x + dx] = static_cast<uint8_t>(c);
                uSum += (c >> 8) & 0xFF, vSum += (c >> 16) & 0xFF, ++n;
            }
        }
        u[x / 2] = static_cast<uint8_t>((uSum + n / 2) / n);
        v[x / 2] = static_cast<uint8_t>((vSum + n / 2) / n);
    }
}

#ifdef VIVACLIENT_X86

__attribute__((target("avx2"))) inline __m256i Offsets(const uint16_t* p, __m256i flip, __m256i min)
{
    const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_sub_epi16(_mm256_xor_si256(s, flip), min);
}

// The table entries of 16 offsets: pixels 0-7 in `lo`, 8-15 in `hi`.
__attribute__((target("avx2"))) inline void Lookup(const uint32_t* table, __m256i offsets, __m256i& lo, __m256i& hi)
{
    const auto* base = reinterpret_cast<const int*>(table);
    lo = _mm256_i32gather_epi32(base, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(offsets)), 4);
    hi = _mm256_i32gather_epi32(base, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(offsets, 1)), 4);
}

__attribute__((target("avx2"))) SampleSpan SpanAvx2(const uint16_t* samples, size_t stride, int width, int height,
                                                    uint16_t flip)
{
    const __m256i flips = _mm256_set1_epi16(static_cast<short>(flip));
    __m256i lo = _mm256_set1_epi16(-1), hi = _mm256_setzero_si256();
    SampleSpan tail{0xFFFF, 0, flip};
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        int x = 0;
        for (; x + 16 <= width; x += 16) {
            const __m256i s = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x)), flips);
            lo = _mm256_min_epu16(lo, s);
            hi = _mm256_max_epu16(hi, s);
        }
        if (x < width) {
            const SampleSpan rest = SpanPortable(row + x, stride, width - x, 1, flip);
            tail.min = std::min(tail.min, rest.min);
            tail.max = std::max(tail.max, rest.max);
        }
    }
    // The lanes' minimum with minpos; the maximum as the minimum of the complements.
    const __m128i lo8 = _mm_min_epu16(_mm256_castsi256_si128(lo), _mm256_extracti128_si256(lo, 1));
    const __m128i hi8 = _mm_max_epu16(_mm256_castsi256_si128(hi), _mm256_extracti128_si256(hi, 1));
    const auto vmin = static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(lo8)));
    const auto vmax = static_cast<uint16_t>(
        ~_mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(hi8, _mm_set1_epi16(-1)))));
    return {std::min(vmin, tail.min), std::max(vmax, tail.max), flip};
}

__attribute__((target("avx2"))) void PackedAvx2(const uint16_t* samples, size_t stride, int width, int height,
                                                const uint32_t* table, SampleSpan span, int step, uint8_t* out,
                                                size_t outStride)
{
    const __m256i flips = _mm256_set1_epi16(static_cast<short>(span.flip));
    const __m256i mins = _mm256_set1_epi16(static_cast<short>(span.min));
    // RGB: each lane's four pixels to 12 bytes, then the lanes' 24 bytes together.
    const __m256i triplets = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                                              8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i together = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    // A 32-byte store of 24 bytes of RGB writes 8 bytes ahead: room for them
    // in the row is left by stopping three pixels early.
    const int last = step == 4 ? width - 16 : width - 19;
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        uint8_t* o = out + static_cast<size_t>(y) * outStride;
        int x = 0;
        for (; x <= last; x += 16) {
            __m256i lo, hi;
            Lookup(table, Offsets(row + x, flips, mins), lo, hi);
            if (step == 4) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 4 * x), lo);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 4 * x + 32), hi);
            } else {
                lo = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(lo, triplets), together);
                hi = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(hi, triplets), together);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 3 * x), lo);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 3 * x + 24), hi);
            }
        }
        RowPortable(row, x, width, table, span, step, o);
    }
}

// The rounded means of U (low half) and V (high half) of four 2x2 blocks,
// one per quadword's low dword, from the entries of 8 pixels of two rows.
__attribute__((target("avx2"))) inline __m256i Blocks(__m256i top, __m256i bottom)
{
    // Each entry's U to the low and V to the high 16 bits.
    const __m256i uv = _mm256_setr_epi8(1, -1, 2, -1, 5, -1, 6, -1, 9, -1, 10, -1, 13, -1, 14, -1, 1, -1, 2, -1, 5, -1,
                                        6, -1, 9, -1, 10, -1, 13, -1, 14, -1);
    const __m256i s = _mm256_add_epi16(_mm256_shuffle_epi8(top, uv), _mm256_shuffle_epi8(bottom, uv));
    const __m256i pairs = _mm256_add_epi16(s, _mm256_srli_epi64(s, 32));
    return _mm256_and_si256(_mm256_srli_epi16(_mm256_add_epi16(pairs, _mm256_set1_epi16(2)), 2),
                            _mm256_set1_epi64x(0xFFFFFFFF));
}

// The Y of 16 pixels of two rows (entries' low bytes) and the rounded means
// of their eight 2x2 blocks' U and V.
__attribute__((target("avx2"))) void I420Avx2(const uint16_t* samples, size_t stride, int width, int height,
                                              const uint32_t* table, SampleSpan span, const ColourPlanes& out)
{
    const __m256i flips = _mm256_set1_epi16(static_cast<short>(span.flip));
    const __m256i mins = _mm256_set1_epi16(static_cast<short>(span.min));
    const __m256i lowByte = _mm256_set1_epi32(0xFF);
    const __m256i rowsInOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i blocksInOrder = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256i uThenV = _mm256_setr_epi8(0, 4, 8, 12, 2, 6, 10, 14, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, 2,
                                            6, 10, 14, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i planesInOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 3, 6, 7);
    for (int y = 0; y < height; y += 2) {
        const BlockRows r(samples, stride, height, out, y);
        const uint16_t *a = r.a, *b = r.b;
        uint8_t *ya = r.ya, *yb = r.yb, *u = r.u, *v = r.v;
        int x = 0;
        for (; b && x + 16 <= width; x += 16) {
            __m256i a0, a1, b0, b1;
            Lookup(table, Offsets(a + x, flips, mins), a0, a1);
            Lookup(table, Offsets(b + x, flips, mins), b0, b1);
            const __m256i ys =
                _mm256_packus_epi16(_mm256_packus_epi32(_mm256_and_si256(a0, lowByte), _mm256_and_si256(a1, lowByte)),
                                    _mm256_packus_epi32(_mm256_and_si256(b0, lowByte), _mm256_and_si256(b1, lowByte)));
            const __m256i yRows = _mm256_permutevar8x32_epi32(ys, rowsInOrder);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(ya + x), _mm256_castsi256_si128(yRows));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(yb + x), _mm256_extracti128_si256(yRows, 1));
            const __m256i both = _mm256_or_si256(Blocks(a0, b0), _mm256_slli_epi64(Blocks(a1, b1), 32));
            const __m256i chroma = _mm256_permutevar8x32_epi32(
                _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(both, blocksInOrder), uThenV), planesInOrder);
            const __m128i uv8 = _mm256_castsi256_si128(chroma);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), uv8);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_unpackhi_epi64(uv8, uv8));
        }
        I420BlocksPortable(a, b, x, width, table, span, ya, yb, u, v);
    }
}

// GCC 12 takes the undefined pass-through operand inside the 512-bit
// intrinsics' headers for an uninitialised variable; the kernels below read
// none.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define VIVACLIENT_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

// Minimum and maximum 32 samples at a time.
VIVACLIENT_AVX512 SampleSpan SpanAvx512(const uint16_t* samples, size_t stride, int width, int height, uint16_t flip)
{
    const __m512i flips = _mm512_set1_epi16(static_cast<short>(flip));
    __m512i lo = _mm512_set1_epi16(-1), hi = _mm512_setzero_si512();
    SampleSpan tail{0xFFFF, 0, flip};
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            const __m512i s = _mm512_xor_si512(_mm512_loadu_si512(row + x), flips);
            lo = _mm512_min_epu16(lo, s);
            hi = _mm512_max_epu16(hi, s);
        }
        if (x < width) {
            const SampleSpan rest = SpanPortable(row + x, stride, width - x, 1, flip);
            tail.min = std::min(tail.min, rest.min);
            tail.max = std::max(tail.max, rest.max);
        }
    }
    alignas(64) uint16_t los[32], his[32];
    _mm512_store_si512(los, lo);
    _mm512_store_si512(his, hi);
    return {std::min(*std::min_element(los, los + 32), tail.min), std::max(*std::max_element(his, his + 32), tail.max),
            flip};
}

// What the AVX-512 kernels need of a prepared ColourKernel.
struct FastTable {
    const uint8_t (*bytes)[256];
    float scale, shift;
};

// One output byte of 64 entries: a 256-byte table in four registers, the
// entries' low seven bits choose within each half, the high bit the half.
struct ByteTable {
    __m512i q[4];
};

VIVACLIENT_AVX512 inline ByteTable LoadTable(const uint8_t* bytes)
{
    ByteTable t;
    for (int i = 0; i < 4; ++i)
        t.q[i] = _mm512_loadu_si512(bytes + 64 * i);
    return t;
}

VIVACLIENT_AVX512 inline __m512i Look(const ByteTable& t, __m512i entries)
{
    const __m512i low = _mm512_permutex2var_epi8(t.q[0], entries, t.q[1]);
    const __m512i high = _mm512_permutex2var_epi8(t.q[2], entries, t.q[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(entries), low, high);
}

// The palette entries of 64 samples, as ColourKernel::Prepare checked them.
VIVACLIENT_AVX512 inline __m512i Entries(const uint16_t* p, __m256i flip, __m256i min, __m512 scale, __m512 shift)
{
    __m512i out = _mm512_setzero_si512();
    const __m512 zero = _mm512_setzero_ps(), top = _mm512_set1_ps(255.0f);
    for (int j = 0; j < 4; ++j) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16 * j));
        const __m512i offsets = _mm512_cvtepu16_epi32(_mm256_sub_epi16(_mm256_xor_si256(s, flip), min));
        __m512 x = _mm512_fmadd_ps(_mm512_cvtepi32_ps(offsets), scale, shift);
        x = _mm512_min_ps(_mm512_max_ps(x, zero), top);
        out = _mm512_inserti32x4(out, _mm512_cvtepi32_epi8(_mm512_cvttps_epi32(x)), j);
    }
    return out;
}

// Where each output byte of 64 pixels comes from, for `step` bytes a pixel:
// per output register, the pixel for the first two channels' permute (the
// second channel's with bit 6 set), the pixel for the third channel's and
// the bytes that take it, and the bytes of a fourth (0xFF) channel.
struct Interleave {
    __m512i firstTwo[4], third[4];
    __mmask64 takeThird[4], takeFourth[4];
};

Interleave MakeInterleave(int step)
{
    Interleave m{};
    for (int o = 0; o < step; ++o) {
        alignas(64) uint8_t two[64], three[64];
        uint64_t third = 0, fourth = 0;
        for (int t = 0; t < 64; ++t) {
            const int j = 64 * o + t, pixel = j / step, channel = j % step;
            two[t] = static_cast<uint8_t>(pixel | (channel == 1 ? 64 : 0));
            three[t] = static_cast<uint8_t>(pixel);
            third |= static_cast<uint64_t>(channel == 2) << t;
            fourth |= static_cast<uint64_t>(channel == 3) << t;
        }
        std::memcpy(&m.firstTwo[o], two, 64);
        std::memcpy(&m.third[o], three, 64);
        m.takeThird[o] = third;
        m.takeFourth[o] = fourth;
    }
    return m;
}

VIVACLIENT_AVX512 void PackedAvx512(const uint16_t* samples, size_t stride, int width, int height,
                                    const uint32_t* table, SampleSpan span, const FastTable& fast, int step,
                                    uint8_t* out, size_t outStride)
{
    static const Interleave three = MakeInterleave(3), four = MakeInterleave(4);
    const Interleave& order = step == 3 ? three : four;
    const __m256i flip = _mm256_set1_epi16(static_cast<short>(span.flip));
    const __m256i min = _mm256_set1_epi16(static_cast<short>(span.min));
    const __m512 scale = _mm512_set1_ps(fast.scale), shift = _mm512_set1_ps(fast.shift);
    const ByteTable c0 = LoadTable(fast.bytes[0]), c1 = LoadTable(fast.bytes[1]), c2 = LoadTable(fast.bytes[2]);
    const __m512i opaque = _mm512_set1_epi8(-1);
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        uint8_t* o = out + static_cast<size_t>(y) * outStride;
        int x = 0;
        for (; x + 64 <= width; x += 64) {
            const __m512i entries = Entries(row + x, flip, min, scale, shift);
            const __m512i first = Look(c0, entries), second = Look(c1, entries), third = Look(c2, entries);
            for (int r = 0; r < step; ++r) {
                __m512i v = _mm512_permutex2var_epi8(first, order.firstTwo[r], second);
                v = _mm512_mask_permutexvar_epi8(v, order.takeThird[r], order.third[r], third);
                if (step == 4)
                    v = _mm512_mask_mov_epi8(v, order.takeFourth[r], opaque);
                _mm512_storeu_si512(o + static_cast<size_t>(x) * step + 64 * r, v);
            }
        }
        RowPortable(row, x, width, table, span, step, o);
    }
}

// Y of 64 pixels of two rows, and U and V of their 32 blocks: each pixel's
// from the tables, added in pairs of columns (a multiply-add by ones), the
// two rows added, rounded.
VIVACLIENT_AVX512 void I420Avx512(const uint16_t* samples, size_t stride, int width, int height, const uint32_t* table,
                                  SampleSpan span, const FastTable& fast, const ColourPlanes& out)
{
    const __m256i flip = _mm256_set1_epi16(static_cast<short>(span.flip));
    const __m256i min = _mm256_set1_epi16(static_cast<short>(span.min));
    const __m512 scale = _mm512_set1_ps(fast.scale), shift = _mm512_set1_ps(fast.shift);
    const ByteTable ys = LoadTable(fast.bytes[0]), us = LoadTable(fast.bytes[1]), vs = LoadTable(fast.bytes[2]);
    const __m512i ones = _mm512_set1_epi8(1), two = _mm512_set1_epi16(2);
    const auto blocks = [&](const ByteTable& t, __m512i a, __m512i b) VIVACLIENT_AVX512 {
        const __m512i sum = _mm512_add_epi16(_mm512_maddubs_epi16(Look(t, a), ones),
                                             _mm512_maddubs_epi16(Look(t, b), ones));
        return _mm512_cvtepi16_epi8(_mm512_srli_epi16(_mm512_add_epi16(sum, two), 2));
    };
    for (int y = 0; y < height; y += 2) {
        const BlockRows r(samples, stride, height, out, y);
        const uint16_t *a = r.a, *b = r.b;
        uint8_t *ya = r.ya, *yb = r.yb, *u = r.u, *v = r.v;
        int x = 0;
        for (; b && x + 64 <= width; x += 64) {
            const __m512i ea = Entries(a + x, flip, min, scale, shift), eb = Entries(b + x, flip, min, scale, shift);
            _mm512_storeu_si512(ya + x, Look(ys, ea));
            _mm512_storeu_si512(yb + x, Look(ys, eb));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(u + x / 2), blocks(us, ea, eb));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + x / 2), blocks(vs, ea, eb));
        }
        I420BlocksPortable(a, b, x, width, table, span, ya, yb, u, v);
    }
}

#pragma GCC diagnostic pop

#endif

#ifdef VIVACLIENT_NEON

SampleSpan SpanNeon(const uint16_t* samples, size_t stride, int width, int height, uint16_t flip)
{
    const uint16x8_t flips = vdupq_n_u16(flip);
    uint16x8_t lo = vdupq_n_u16(0xFFFF), hi = vdupq_n_u16(0);
    SampleSpan tail{0xFFFF, 0, flip};
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = samples + static_cast<size_t>(y) * stride;
        int x = 0;
        for (; x + 8 <= width; x += 8) {
            const uint16x8_t s = veorq_u16(vld1q_u16(row + x), flips);
            lo = vminq_u16(lo, s);
            hi = vmaxq_u16(hi, s);
        }
        if (x < width) {
            const SampleSpan rest = SpanPortable(row + x, stride, width - x, 1, flip);
            tail.min = std::min(tail.min, rest.min);
            tail.max = std::max(tail.max, rest.max);
        }
    }
    return {std::min(vminvq_u16(lo), tail.min), std::max(vmaxvq_u16(hi), tail.max), flip};
}

#endif

}  // namespace

void RgbToYuv(Rgb c, uint8_t& y, uint8_t& u, uint8_t& v)
{
    const int r = c.r, g = c.g, b = c.b;
    y = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
    u = static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
    v = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

bool ColourKernelAvailable(ColourKernelKind kind)
{
    switch (kind) {
    case ColourKernelKind::Portable:
        return true;
    case ColourKernelKind::Avx2: {
#ifdef VIVACLIENT_X86
        static const bool avx2 = [] {
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        }();
        return avx2;
#else
        return false;
#endif
    }
    case ColourKernelKind::Avx512: {
#ifdef VIVACLIENT_X86
        static const bool avx512 = [] {
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
        }();
        return avx512;
#else
        return false;
#endif
    }
    case ColourKernelKind::Neon:
#ifdef VIVACLIENT_NEON
        return true;
#else
        return false;
#endif
    }
    return false;
}

ColourKernelKind BestColourKernel()
{
    static const ColourKernelKind best = ColourKernelAvailable(ColourKernelKind::Avx512) ? ColourKernelKind::Avx512
                                         : ColourKernelAvailable(ColourKernelKind::Avx2) ? ColourKernelKind::Avx2
                                         : ColourKernelAvailable(ColourKernelKind::Neon) ? ColourKernelKind::Neon
                                                                                         : ColourKernelKind::Portable;
    return best;
}

SampleSpan FindSpan(const uint16_t* samples, size_t stride, int width, int height, uint16_t flip, ColourKernelKind kind)
{
    if (width <= 0 || height <= 0)
        return {0, 0, flip};
#ifdef VIVACLIENT_X86
    if (kind == ColourKernelKind::Avx512 && ColourKernelAvailable(kind))
        return SpanAvx512(samples, stride, width, height, flip);
    if (kind == ColourKernelKind::Avx2 && ColourKernelAvailable(kind))
        return SpanAvx2(samples, stride, width, height, flip);
#endif
#ifdef VIVACLIENT_NEON
    if (kind == ColourKernelKind::Neon)
        return SpanNeon(samples, stride, width, height, flip);
#endif
    (void)kind;
    return SpanPortable(samples, stride, width, height, flip);
}

void ColourKernel::Prepare(const Colormap& palette, SampleSpan span, double low, double high, ColourLayout layout)
{
    span_ = span;
    layout_ = layout;
    const uint32_t first = span.min, end = static_cast<uint32_t>(std::max(span.min, span.max)) + 1;
    table_.resize(end - first);
    for (size_t k = 0; k < 256; ++k) {
        const uint32_t entry = Entry(palette[k], layout);
        for (int byte = 0; byte < 3; ++byte)
            bytes_[byte][k] = static_cast<uint8_t>(entry >> (8 * byte));
    }
    const bool rising = high - low > 0;
    struct Run {
        uint32_t from, to;  // offsets, `to` excluded
        int entry;
    };
    std::vector<Run> runs;
    // One run of equal entries at a time: the entries rise with the value.
    int entry = rising ? ColormapIndex(first, low, high) : 0;
    for (uint32_t value = first; value < end;) {
        int next = entry;
        const uint32_t edge = !rising || entry == 255 ? end : NextEdge(value, end, entry, low, high, next);
        std::fill(table_.begin() + (value - first), table_.begin() + (edge - first),
                  Entry(palette[static_cast<size_t>(entry)], layout));
        runs.push_back({value - first, edge - first, entry});
        value = edge;
        entry = next;
    }
    // The entries in single precision: trunc(offset * scale + shift) within
    // 0 to 255, with the scale of the line and the shift that puts every
    // edge between two runs where the rule has it: the middle of the shifts
    // that each edge allows. Checked at both ends of every run, as the
    // kernel computes them; entries rise with the offset, so that is all.
    scale_ = static_cast<float>(rising ? 255.0 / (high - low) : 0.0);
    const double m = scale_;
    double atLeast = -1e9, below = 1e9;
    for (const Run& r : runs) {
        if (r.entry > 0)
            atLeast = std::max(atLeast, r.entry - r.from * m);
        if (r.entry < 255)
            below = std::min(below, r.entry + 1 - (r.to - 1) * m);
    }
    shift_ = static_cast<float>(std::clamp((atLeast + below) / 2, -1e9, 1e9));
    const auto fast = [this](uint32_t offset) {
        const float x = std::fma(static_cast<float>(offset), scale_, shift_);
        return static_cast<int>(std::min(std::max(x, 0.0f), 255.0f));
    };
    exact_ = std::isfinite(scale_) && atLeast < below;
    for (const Run& r : runs)
        exact_ = exact_ && fast(r.from) == r.entry && fast(r.to - 1) == r.entry;
}

void ColourKernel::Colour(const uint16_t* samples, size_t stride, int width, int height, const ColourPlanes& out,
                          ColourKernelKind kind) const
{
    if (width <= 0 || height <= 0)
        return;
    const uint32_t* table = table_.data();
#ifdef VIVACLIENT_X86
    if (kind == ColourKernelKind::Avx512 && ColourKernelAvailable(kind)) {
        const FastTable fast{bytes_, scale_, shift_};
        if (exact_ && layout_ == ColourLayout::I420) {
            I420Avx512(samples, stride, width, height, table, span_, fast, out);
            return;
        }
        if (exact_) {
            PackedAvx512(samples, stride, width, height, table, span_, fast, layout_ == ColourLayout::Rgb ? 3 : 4,
                         out.data[0], out.stride[0]);
            return;
        }
        kind = ColourKernelKind::Avx2;  // the rule's entries are not all exact in single precision here
    }
    if (kind == ColourKernelKind::Avx2 && ColourKernelAvailable(kind)) {
        if (layout_ == ColourLayout::I420)
            I420Avx2(samples, stride, width, height, table, span_, out);
        else
            PackedAvx2(samples, stride, width, height, table, span_, layout_ == ColourLayout::Rgb ? 3 : 4, out.data[0],
                       out.stride[0]);
        return;
    }
#endif
    (void)kind;
    if (layout_ == ColourLayout::I420) {
        for (int y = 0; y < height; y += 2) {
            const BlockRows r(samples, stride, height, out, y);
            I420BlocksPortable(r.a, r.b, 0, width, table, span_, r.ya, r.yb, r.u, r.v);
        }
        return;
    }
    const int step = layout_ == ColourLayout::Rgb ? 3 : 4;
    for (int y = 0; y < height; ++y)
        RowPortable(samples + static_cast<size_t>(y) * stride, 0, width, table, span_, step,
                    out.data[0] + static_cast<size_t>(y) * out.stride[0]);
}

}  // namespace vivaclient

#include "agent/BgraToNv12.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The AVX2 step is compiled for AVX2 through a function attribute and chosen at run time, so the
// rest of the build keeps the baseline instruction set.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELTRIX_HAVE_AVX2_PATH 1
#define VELTRIX_TARGET_AVX2 __attribute__((target("avx2")))
#include <immintrin.h>
#endif

// The column steps go inline into their row loops: left to itself the compiler keeps the
// 32-column step out of line and pays a call, and the spills around it, every 32 columns.
#if defined(__GNUC__) || defined(__clang__)
#define VELTRIX_ALWAYS_INLINE __attribute__((always_inline))
#else
#define VELTRIX_ALWAYS_INLINE
#endif

namespace veltrix::nv12 {
namespace {

// Weights of full-range BT.601 in 15-bit fixed point; each row of three adds up to 32768 (Y) or 0.
constexpr int kYR = 9798, kYG = 19235, kYB = 3735;
constexpr int kCbB = 16384, kCbG = -10846, kCbR = -5538;
constexpr int kCrR = 16384, kCrG = -13730, kCrB = -2654;
constexpr int kRound = 0x4000;
// The rounding and the offset of 128 in one addition: adding a multiple of 2^15 before the shift
// is the same as adding the quotient after it.
constexpr int kChromaBias = kRound + (128 << 15);

// Source bytes of a pixel are B, G, R, A.
inline std::uint8_t lumaOf(const std::uint8_t* pixel) {
    const int y = (kYR * pixel[2] + kYG * pixel[1] + kYB * pixel[0] + kRound) >> 15;
    return static_cast<std::uint8_t>(std::min(y, 255));
}

inline std::uint8_t chromaByte(int weightedSum) {
    // C++20 defines >> of a negative value as the arithmetic shift (rounding toward minus infinity).
    return static_cast<std::uint8_t>(std::clamp(((weightedSum + kRound) >> 15) + 128, 0, 255));
}

// One 2 x 2 block: `top` and `bottom` point at its left pixel in rows r and r + 1.
inline void convertBlock(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* lumaTop,
                         std::uint8_t* lumaBottom, std::uint8_t* cbCr) {
    lumaTop[0] = lumaOf(top);
    lumaTop[1] = lumaOf(top + 4);
    lumaBottom[0] = lumaOf(bottom);
    lumaBottom[1] = lumaOf(bottom + 4);
    const int mB = (top[0] + top[4] + bottom[0] + bottom[4] + 2) >> 2;
    const int mG = (top[1] + top[5] + bottom[1] + bottom[5] + 2) >> 2;
    const int mR = (top[2] + top[6] + bottom[2] + bottom[6] + 2) >> 2;
    cbCr[0] = chromaByte(kCbB * mB + kCbG * mG + kCbR * mR);
    cbCr[1] = chromaByte(kCrR * mR + kCrG * mG + kCrB * mB);
}

// Two 16-bit weights as one 32-bit lane, `low` in the low word: the operand pmaddwd pairs with
// (B, R) or (G, A) words.
constexpr int pairWeights(int low, int high) {
    return static_cast<int>((static_cast<unsigned>(high) << 16) | (static_cast<unsigned>(low) & 0xFFFF));
}

// The rows one step of a conversion reads and writes: two source rows, their two luma rows and
// the chroma row they share (NV12 keeps one interleaved CbCr row per two luma rows).
struct RowPair {
    const std::uint8_t* top;
    const std::uint8_t* bottom;
    std::uint8_t* lumaTop;
    std::uint8_t* lumaBottom;
    std::uint8_t* cbCr;
};

inline RowPair rowPairAt(int row, const std::uint8_t* source, int sourceStride, int width, std::uint8_t* luma,
                         std::uint8_t* chroma) {
    const std::uint8_t* top = source + static_cast<std::ptrdiff_t>(row) * sourceStride;
    std::uint8_t* lumaTop = luma + static_cast<std::ptrdiff_t>(row) * width;
    return {top, top + sourceStride, lumaTop, lumaTop + width, chroma + static_cast<std::ptrdiff_t>(row / 2) * width};
}

// Blocks from column `firstColumn` (even) to the end of one row pair.
inline void convertRowPairScalar(const RowPair& rows, int firstColumn, int width) {
    for (int c = firstColumn; c < width; c += 2) {
        convertBlock(rows.top + c * 4, rows.bottom + c * 4, rows.lumaTop + c, rows.lumaBottom + c, rows.cbCr + c);
    }
}

#if defined(__SSE2__)

// Four BGRA pixels as two word vectors: (B, R) and (G, A) in each 32-bit lane. pmaddwd on these
// gives a full 32-bit weighted sum per pixel without unpacking to four separate channels.
struct PixelWords {
    __m128i blueRed;
    __m128i greenAlpha;
};

inline PixelWords splitPixels(__m128i pixels) {
    return {_mm_and_si128(pixels, _mm_set1_epi16(0x00FF)), _mm_srli_epi16(pixels, 8)};
}

inline __m128i lumaOf4(const PixelWords& p) {
    const __m128i weightsBR = _mm_set1_epi32((kYR << 16) | kYB);  // words (B, R) -> (3735, 9798)
    const __m128i weightsGA = _mm_set1_epi32(kYG);                // words (G, A) -> (19235, 0)
    const __m128i sum = _mm_add_epi32(_mm_madd_epi16(p.blueRed, weightsBR), _mm_madd_epi16(p.greenAlpha, weightsGA));
    // The weights add up to 32768, so the result is 0..255 and needs no clamp.
    return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kRound)), 15);
}

// Sums horizontally adjacent lanes of a (lanes 0..3) and b (lanes 4..7): four block sums.
inline __m128i addPairs(__m128i a, __m128i b) {
    const __m128 fa = _mm_castsi128_ps(a);
    const __m128 fb = _mm_castsi128_ps(b);
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_add_epi16(even, odd);
}

inline __m128i roundedMean4(__m128i sums) { return _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(2)), 2); }

// Cb or Cr of four blocks (before the clamp, as 32-bit lanes) from their mean (B, R) and (G, A).
inline __m128i chromaOf4(__m128i meanBR, __m128i meanGA, int weightB, int weightG, int weightR) {
    const __m128i sum = _mm_add_epi32(_mm_madd_epi16(meanBR, _mm_set1_epi32(pairWeights(weightB, weightR))),
                                      _mm_madd_epi16(meanGA, _mm_set1_epi32(pairWeights(weightG, 0))));
    return _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kChromaBias)), 15);
}

inline __m128i loadPixels(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// 16 columns of one row pair: 32 luma bytes and 8 Cb, Cr pairs.
VELTRIX_ALWAYS_INLINE inline void convert16(const std::uint8_t* top, const std::uint8_t* bottom,
                                            std::uint8_t* lumaTop, std::uint8_t* lumaBottom, std::uint8_t* cbCr) {
    PixelWords t[4], b[4];
    __m128i lumaT[4], lumaB[4];
    for (int i = 0; i < 4; ++i) {
        t[i] = splitPixels(loadPixels(top + 16 * i));
        b[i] = splitPixels(loadPixels(bottom + 16 * i));
        lumaT[i] = lumaOf4(t[i]);
        lumaB[i] = lumaOf4(b[i]);
    }
    const auto packLuma = [](const __m128i* l) {
        return _mm_packus_epi16(_mm_packs_epi32(l[0], l[1]), _mm_packs_epi32(l[2], l[3]));
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lumaTop), packLuma(lumaT));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lumaBottom), packLuma(lumaB));

    __m128i cb[2], cr[2];
    for (int half = 0; half < 2; ++half) {
        const PixelWords* t2 = t + 2 * half;
        const PixelWords* b2 = b + 2 * half;
        // Column sums of the two rows first (each word at most 510), then the pixel pairs (1020).
        const __m128i meanBR = roundedMean4(addPairs(_mm_add_epi16(t2[0].blueRed, b2[0].blueRed),
                                                     _mm_add_epi16(t2[1].blueRed, b2[1].blueRed)));
        const __m128i meanGA = roundedMean4(addPairs(_mm_add_epi16(t2[0].greenAlpha, b2[0].greenAlpha),
                                                     _mm_add_epi16(t2[1].greenAlpha, b2[1].greenAlpha)));
        cb[half] = chromaOf4(meanBR, meanGA, kCbB, kCbG, kCbR);
        cr[half] = chromaOf4(meanBR, meanGA, kCrB, kCrG, kCrR);
    }
    const __m128i cbWords = _mm_packs_epi32(cb[0], cb[1]);
    const __m128i crWords = _mm_packs_epi32(cr[0], cr[1]);
    // packus clamps to 0..255 while it narrows the interleaved words to bytes.
    const __m128i pairs = _mm_packus_epi16(_mm_unpacklo_epi16(cbWords, crWords), _mm_unpackhi_epi16(cbWords, crWords));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cbCr), pairs);
}

#endif

#if defined(VELTRIX_HAVE_AVX2_PATH)

// The AVX2 twin of the SSE2 step: the same word layout and arithmetic on eight pixels a vector.
// The 256-bit packs and shuffles work within each 128-bit half, so the packed results come out
// with their 4-byte groups interleaved between the halves; one lane permute puts them in order.

struct PixelWords8 {
    __m256i blueRed;
    __m256i greenAlpha;
};

VELTRIX_TARGET_AVX2 inline PixelWords8 splitPixels8(__m256i pixels) {
    return {_mm256_and_si256(pixels, _mm256_set1_epi16(0x00FF)), _mm256_srli_epi16(pixels, 8)};
}

VELTRIX_TARGET_AVX2 inline __m256i lumaOf8(const PixelWords8& p) {
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(p.blueRed, _mm256_set1_epi32((kYR << 16) | kYB)),
                                         _mm256_madd_epi16(p.greenAlpha, _mm256_set1_epi32(kYG)));
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(kRound)), 15);
}

// Per 128-bit half: adjacent lanes of a, then of b; over the vector, blocks 0 1 4 5 | 2 3 6 7 of
// the 16 pixels in a (0..7) and b (8..15).
VELTRIX_TARGET_AVX2 inline __m256i addPairs8(__m256i a, __m256i b) {
    const __m256 fa = _mm256_castsi256_ps(a);
    const __m256 fb = _mm256_castsi256_ps(b);
    const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm256_add_epi16(even, odd);
}

VELTRIX_TARGET_AVX2 inline __m256i roundedMean8(__m256i sums) {
    return _mm256_srli_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(2)), 2);
}

VELTRIX_TARGET_AVX2 inline __m256i chromaOf8(__m256i meanBR, __m256i meanGA, int weightB, int weightG, int weightR) {
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(meanBR, _mm256_set1_epi32(pairWeights(weightB, weightR))),
                                         _mm256_madd_epi16(meanGA, _mm256_set1_epi32(pairWeights(weightG, 0))));
    return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(kChromaBias)), 15);
}

// Narrows four vectors of 32-bit lanes (0..255 or to be clamped there) to 32 bytes in lane order.
VELTRIX_TARGET_AVX2 inline __m256i packBytesInOrder(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

VELTRIX_TARGET_AVX2 inline __m256i loadPixels8(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

VELTRIX_TARGET_AVX2 inline void store32(std::uint8_t* p, __m256i bytes) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), bytes);
}

// 32 columns of one row pair: 64 luma bytes and 16 Cb, Cr pairs.
VELTRIX_TARGET_AVX2 VELTRIX_ALWAYS_INLINE inline void convert32(const std::uint8_t* top, const std::uint8_t* bottom,
                                                                std::uint8_t* lumaTop, std::uint8_t* lumaBottom,
                                                                std::uint8_t* cbCr) {
    __m256i lumaT[4], lumaB[4], sumBR[4], sumGA[4];
    for (int i = 0; i < 4; ++i) {
        const PixelWords8 t = splitPixels8(loadPixels8(top + 32 * i));
        const PixelWords8 b = splitPixels8(loadPixels8(bottom + 32 * i));
        lumaT[i] = lumaOf8(t);
        lumaB[i] = lumaOf8(b);
        // Column sums of the two rows (each word at most 510).
        sumBR[i] = _mm256_add_epi16(t.blueRed, b.blueRed);
        sumGA[i] = _mm256_add_epi16(t.greenAlpha, b.greenAlpha);
    }
    store32(lumaTop, packBytesInOrder(lumaT[0], lumaT[1], lumaT[2], lumaT[3]));
    store32(lumaBottom, packBytesInOrder(lumaB[0], lumaB[1], lumaB[2], lumaB[3]));

    __m256i cb[2], cr[2];
    for (int half = 0; half < 2; ++half) {
        const __m256i meanBR = roundedMean8(addPairs8(sumBR[2 * half], sumBR[2 * half + 1]));
        const __m256i meanGA = roundedMean8(addPairs8(sumGA[2 * half], sumGA[2 * half + 1]));
        cb[half] = chromaOf8(meanBR, meanGA, kCbB, kCbG, kCbR);
        cr[half] = chromaOf8(meanBR, meanGA, kCrB, kCrG, kCrR);
    }
    // Blocks in the words: 0 1 4 5 8 9 12 13 | 2 3 6 7 10 11 14 15. Interleaving Cb with Cr and
    // narrowing keeps 2-block groups together, so the same permute as for luma restores the order;
    // packus clamps to 0..255 on the way.
    const __m256i cbWords = _mm256_packs_epi32(cb[0], cb[1]);
    const __m256i crWords = _mm256_packs_epi32(cr[0], cr[1]);
    const __m256i pairs =
        _mm256_packus_epi16(_mm256_unpacklo_epi16(cbWords, crWords), _mm256_unpackhi_epi16(cbWords, crWords));
    store32(cbCr, _mm256_permutevar8x32_epi32(pairs, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

#endif

}  // namespace

void convertScalar(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                   std::uint8_t* chroma) {
    for (int r = 0; r < height; r += 2) {
        convertRowPairScalar(rowPairAt(r, source, sourceStride, width, luma, chroma), 0, width);
    }
}

void convertSse2(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                 std::uint8_t* chroma) {
#if defined(__SSE2__)
    const int vectorColumns = width & ~15;
    for (int r = 0; r < height; r += 2) {
        const RowPair rows = rowPairAt(r, source, sourceStride, width, luma, chroma);
        for (int c = 0; c < vectorColumns; c += 16) {
            convert16(rows.top + c * 4, rows.bottom + c * 4, rows.lumaTop + c, rows.lumaBottom + c, rows.cbCr + c);
        }
        convertRowPairScalar(rows, vectorColumns, width);
    }
#else
    convertScalar(source, sourceStride, width, height, luma, chroma);
#endif
}

bool avx2Available() {
#if defined(VELTRIX_HAVE_AVX2_PATH)
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    return false;
#endif
}

#if defined(VELTRIX_HAVE_AVX2_PATH)
VELTRIX_TARGET_AVX2 void convertAvx2(const std::uint8_t* source, int sourceStride, int width, int height,
                                     std::uint8_t* luma, std::uint8_t* chroma) {
    const int wideColumns = width & ~31;
    const int vectorColumns = width & ~15;  // at most one 16-column step after the 32-column ones
    for (int r = 0; r < height; r += 2) {
        const RowPair rows = rowPairAt(r, source, sourceStride, width, luma, chroma);
        for (int c = 0; c < wideColumns; c += 32) {
            convert32(rows.top + c * 4, rows.bottom + c * 4, rows.lumaTop + c, rows.lumaBottom + c, rows.cbCr + c);
        }
        if (wideColumns < vectorColumns) {
            const int c = wideColumns;
            convert16(rows.top + c * 4, rows.bottom + c * 4, rows.lumaTop + c, rows.lumaBottom + c, rows.cbCr + c);
        }
        convertRowPairScalar(rows, vectorColumns, width);
    }
}
#else
void convertAvx2(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                 std::uint8_t* chroma) {
    convertSse2(source, sourceStride, width, height, luma, chroma);
}
#endif

void convertSimd(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                 std::uint8_t* chroma) {
    if (avx2Available()) {
        convertAvx2(source, sourceStride, width, height, luma, chroma);
    } else {
        convertSse2(source, sourceStride, width, height, luma, chroma);
    }
}

}  // namespace veltrix::nv12

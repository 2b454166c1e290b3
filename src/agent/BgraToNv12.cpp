#include "agent/BgraToNv12.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veltrix::nv12 {
namespace {

// Weights of full-range BT.601 in 15-bit fixed point; each row of three adds up to 32768 (Y) or 0.
constexpr int kYR = 9798, kYG = 19235, kYB = 3735;
constexpr int kCbB = 16384, kCbG = -10846, kCbR = -5538;
constexpr int kCrR = 16384, kCrG = -13730, kCrB = -2654;
constexpr int kRound = 0x4000;

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

// Blocks from column `firstColumn` (even) to the end of one row pair.
inline void convertRowPairScalar(const std::uint8_t* top, const std::uint8_t* bottom, int firstColumn, int width,
                                 std::uint8_t* lumaTop, std::uint8_t* lumaBottom, std::uint8_t* cbCr) {
    for (int c = firstColumn; c < width; c += 2) {
        convertBlock(top + c * 4, bottom + c * 4, lumaTop + c, lumaBottom + c, cbCr + c);
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

constexpr int pairWeights(int low, int high) { return static_cast<int>((static_cast<unsigned>(high) << 16) | (static_cast<unsigned>(low) & 0xFFFF)); }

// Cb or Cr of four blocks (before the clamp, as 32-bit lanes) from their mean (B, R) and (G, A).
inline __m128i chromaOf4(__m128i meanBR, __m128i meanGA, int weightB, int weightG, int weightR) {
    const __m128i sum = _mm_add_epi32(_mm_madd_epi16(meanBR, _mm_set1_epi32(pairWeights(weightB, weightR))),
                                      _mm_madd_epi16(meanGA, _mm_set1_epi32(pairWeights(weightG, 0))));
    return _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kRound)), 15), _mm_set1_epi32(128));
}

inline __m128i loadPixels(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// 16 columns of one row pair: 32 luma bytes and 8 Cb, Cr pairs.
inline void convert16(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* lumaTop,
                      std::uint8_t* lumaBottom, std::uint8_t* cbCr) {
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

}  // namespace

void convertScalar(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                   std::uint8_t* chroma) {
    for (int r = 0; r < height; r += 2) {
        const std::uint8_t* top = source + static_cast<std::ptrdiff_t>(r) * sourceStride;
        std::uint8_t* lumaTop = luma + static_cast<std::ptrdiff_t>(r) * width;
        convertRowPairScalar(top, top + sourceStride, 0, width, lumaTop, lumaTop + width,
                             chroma + static_cast<std::ptrdiff_t>(r / 2) * width);
    }
}

void convertSimd(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                 std::uint8_t* chroma) {
#if defined(__SSE2__)
    const int vectorColumns = width & ~15;
    for (int r = 0; r < height; r += 2) {
        const std::uint8_t* top = source + static_cast<std::ptrdiff_t>(r) * sourceStride;
        const std::uint8_t* bottom = top + sourceStride;
        std::uint8_t* lumaTop = luma + static_cast<std::ptrdiff_t>(r) * width;
        std::uint8_t* lumaBottom = lumaTop + width;
        std::uint8_t* cbCr = chroma + static_cast<std::ptrdiff_t>(r / 2) * width;
        for (int c = 0; c < vectorColumns; c += 16) {
            convert16(top + c * 4, bottom + c * 4, lumaTop + c, lumaBottom + c, cbCr + c);
        }
        convertRowPairScalar(top, bottom, vectorColumns, width, lumaTop, lumaBottom, cbCr);
    }
#else
    convertScalar(source, sourceStride, width, height, luma, chroma);
#endif
}

}  // namespace veltrix::nv12

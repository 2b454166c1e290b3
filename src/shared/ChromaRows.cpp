#include "shared/ChromaRows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veltrix::chroma {

void deinterleaveRow(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t pairs) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    for (; i + 16 <= pairs; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 2 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 2 * i + 16));
        const __m128i us = _mm_packus_epi16(_mm_and_si128(a, lowBytes), _mm_and_si128(b, lowBytes));
        const __m128i vs = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + i), us);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + i), vs);
    }
#endif
    for (; i < pairs; ++i) {
        u[i] = uv[2 * i];
        v[i] = uv[2 * i + 1];
    }
}

void interleaveRow(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv, std::size_t pairs) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= pairs; i += 16) {
        const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
        const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * i), _mm_unpacklo_epi8(us, vs));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * i + 16), _mm_unpackhi_epi8(us, vs));
    }
#endif
    for (; i < pairs; ++i) {
        uv[2 * i] = u[i];
        uv[2 * i + 1] = v[i];
    }
}

}  // namespace veltrix::chroma

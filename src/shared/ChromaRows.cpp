#include "shared/ChromaRows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veltrix::chroma {

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

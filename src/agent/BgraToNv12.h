#pragma once

#include <cstdint>

namespace veltrix::nv12 {

// BGRA to NV12 in full-range BT.601, 15-bit fixed point, one pass over 2 x 2 blocks:
//   Y  = (9798 R + 19235 G + 3735 B + 0x4000) >> 15 for each pixel;
//   Cb = ((16384 mB - 10846 mG - 5538 mR + 0x4000) >> 15) + 128 and
//   Cr = ((16384 mR - 13730 mG - 2654 mB + 0x4000) >> 15) + 128, clamped to 0..255,
// where mB, mG, mR are the block's rounded means. Alpha is ignored.
//
// `width` and `height` are even and at least 2; `source` holds `height` rows of `sourceStride`
// bytes; `luma` receives width x height bytes (stride width) and `chroma` height / 2 rows of
// width bytes (Cb, Cr pairs). Nothing is checked here: FrameConverter validates.

// The portable reference: one block at a time, exactly the formulas above.
void convertScalar(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                   std::uint8_t* chroma);

// The same result, 16 source columns at a time with SSE2 where the target has it (every x86-64),
// the scalar path for the remaining columns. Without SSE2 it is convertScalar.
void convertSse2(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                 std::uint8_t* chroma);

// True when this processor runs convertAvx2 (checked once).
bool avx2Available();

// The same result, 32 source columns at a time with AVX2, then the SSE2 and scalar steps for the
// rest of a row. Call it only when avx2Available(); where the build has no AVX2 path it is
// convertSse2.
void convertAvx2(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                 std::uint8_t* chroma);

// The fastest of the above that this processor runs: what FrameConverter uses.
void convertSimd(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* luma,
                 std::uint8_t* chroma);

}  // namespace veltrix::nv12

#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrix::chroma {

// Splits one row of interleaved chroma (U, V, U, V ...) into its U and V rows: `pairs` pairs.
void deinterleaveRow(const std::uint8_t* uv, std::uint8_t* u, std::uint8_t* v, std::size_t pairs);

// Interleaves one U row and one V row of `pairs` samples into U, V, U, V ...
void interleaveRow(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv, std::size_t pairs);

}  // namespace veltrix::chroma

#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrix::chroma {

// Interleaves one U row and one V row of `pairs` samples into U, V, U, V ...
void interleaveRow(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv, std::size_t pairs);

}  // namespace veltrix::chroma

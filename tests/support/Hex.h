#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrix::test {

// Bytes from hexadecimal text (known-answer vectors); throws on malformed text.
inline std::vector<std::uint8_t> fromHex(std::string_view hex) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("fromHex: not a hexadecimal digit");
    };
    if (hex.size() % 2 != 0) throw std::invalid_argument("fromHex: odd length");
    std::vector<std::uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(digit(hex[2 * i]) << 4 | digit(hex[2 * i + 1]));
    return out;
}

template <typename Bytes>
std::string toHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const auto b : bytes) {
        out += kDigits[static_cast<std::uint8_t>(b) >> 4];
        out += kDigits[static_cast<std::uint8_t>(b) & 0x0f];
    }
    return out;
}

inline std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace veltrix::test

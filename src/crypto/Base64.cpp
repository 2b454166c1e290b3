#include "crypto/Base64.h"

#include <array>

namespace veltrix::crypto {
namespace {

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = makeDecodeTable();

}  // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64Strict(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    const std::size_t dataChars = text.size() - padding;
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (std::size_t i = 0; i < dataChars; ++i) {
        const std::uint8_t value = kDecodeTable[static_cast<unsigned char>(text[i])];
        if (value == kInvalid) return std::nullopt;  // includes a "=" before the end
        bits = (bits << 6) | value;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> bitCount));
            bits &= (1u << bitCount) - 1;
        }
    }
    // Left-over bits belong to no byte; a canonical encoder writes them as zero.
    if (bits != 0) return std::nullopt;
    return out;
}

}  // namespace veltrix::crypto

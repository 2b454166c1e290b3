#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace veltrix::crypto {

// Decodes standard Base64 (RFC 4648 alphabet, "=" padding) and nothing looser: the length is a
// multiple of 4, every character is from the alphabet, padding appears only as the last one or
// two characters, and the bits that padding leaves unused are zero. Blanks, line breaks and any
// other byte make the whole text invalid, so one key has exactly one accepted spelling.
// nullopt for an invalid text; an empty text decodes to no bytes.
std::optional<std::vector<std::uint8_t>> decodeBase64Strict(std::string_view text);

}  // namespace veltrix::crypto

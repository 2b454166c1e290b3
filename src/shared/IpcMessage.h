#pragma once

#include <QMetaType>

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// The messages of the local pipe between the service and the client program: JSON objects whose
// "type" string names the message, each framed on the pipe as a 32-bit little-endian byte count
// followed by that many bytes of compact UTF-8 JSON.
namespace veltrix {

using IpcMessage = nlohmann::json;

inline constexpr std::size_t kIpcLengthPrefixBytes = 4;

// Deepest nesting of arrays and objects accepted in a received message; the catalogue's
// messages nest two or three levels.
inline constexpr std::size_t kIpcMaxNestingDepth = 64;

// The framed form of a message (prefix and compact text, non-ASCII as raw UTF-8, invalid UTF-8
// replaced); empty when the text would not fit the 32-bit prefix.
std::string encodeIpcFrame(const IpcMessage& message);

// The little-endian length prefix at `bytes` (which holds at least 4 bytes).
std::uint32_t decodeIpcLength(const char* bytes);

// Writes the prefix for `length` into `bytes` (room for 4).
void encodeIpcLength(std::uint32_t length, char* bytes);

}  // namespace veltrix

Q_DECLARE_METATYPE(nlohmann::json)

#include "shared/IpcMessage.h"

#include <limits>

#include "shared/JsonFields.h"

namespace veltrix {

std::uint32_t decodeIpcLength(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void encodeIpcLength(std::uint32_t length, char* bytes) {
    for (std::size_t i = 0; i < kIpcLengthPrefixBytes; ++i) bytes[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

std::string encodeIpcFrame(const IpcMessage& message) {
    const std::string text = json::toText(message);
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) return {};
    std::string frame(kIpcLengthPrefixBytes, '\0');
    encodeIpcLength(static_cast<std::uint32_t>(text.size()), frame.data());
    frame += text;
    return frame;
}

}  // namespace veltrix

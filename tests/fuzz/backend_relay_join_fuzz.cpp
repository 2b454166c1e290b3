// The relay node's frame header and join readers on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "RelayProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veltrix::backend::relay;
    if (size >= std::size_t(kHeaderSize)) {
        HeaderError error;
        const auto header = parseHeader(data, error);
        if (header && (header->channel > kMaxChannel || header->length > kMaxPayload)) __builtin_trap();
        if (!header && error == HeaderError::None) __builtin_trap();
    }
    const auto join = parseJoin(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (join && join->sessionId.isEmpty()) __builtin_trap();
    return 0;
}

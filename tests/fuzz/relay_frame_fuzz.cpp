// Relay stream bytes from the network, split at a point chosen by the input.
#include <cstddef>
#include <cstdint>

#include "transport/RelayFrameParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltrix::RelayFrameParser;
    if (size < 1) return 0;
    const std::size_t split = data[0] % (size);
    RelayFrameParser parser;
    RelayFrameParser::Frame frame;
    std::size_t total = 0;
    const auto drain = [&] {
        RelayFrameParser::Status status;
        while ((status = parser.next(frame)) == RelayFrameParser::Status::Frame) {
            total += static_cast<std::size_t>(frame.payload.size()) + RelayFrameParser::kHeaderSize;
            if (frame.payload.size() > static_cast<qsizetype>(RelayFrameParser::kMaxPayload)) __builtin_trap();
        }
        return status;
    };
    parser.append(reinterpret_cast<const char*>(data + 1), split);
    if (drain() == RelayFrameParser::Status::NeedMore) {
        parser.append(reinterpret_cast<const char*>(data + 1 + split), size - 1 - split);
        drain();
    }
    if (total > size) __builtin_trap();
    return 0;
}

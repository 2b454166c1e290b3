// MessageReassembler on arbitrary data-channel pieces: the input is a run of pieces, each led by
// a 16-bit little-endian length. Whatever arrives, a message is never above the size limit, a
// refused piece leaves the reassembler empty, and a delivered message split again rebuilds to
// the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "transport/DataChannelFraming.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void checkRoundTrip(const QByteArray& message) {
    veltrix::MessageReassembler again;
    veltrix::MessageReassembler::Result last = veltrix::MessageReassembler::Result::Violation;
    veltrix::framing::splitMessage(
        reinterpret_cast<const std::uint8_t*>(message.constData()), static_cast<std::uint64_t>(message.size()),
        [&](const std::uint8_t* header, std::size_t headerSize, const std::uint8_t* payload, std::size_t payloadSize) {
            std::vector<std::uint8_t> piece(header, header + headerSize);
            piece.insert(piece.end(), payload, payload + payloadSize);
            check(piece.size() <= veltrix::framing::kMaxPieceSize);
            last = again.feed(piece.data(), piece.size());
            return last != veltrix::MessageReassembler::Result::Violation;
        });
    check(last == veltrix::MessageReassembler::Result::Message);
    check(again.takeMessage() == message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Result = veltrix::MessageReassembler::Result;
    veltrix::MessageReassembler reassembler;
    std::size_t offset = 0;
    while (offset + 2 <= size) {
        std::size_t length = data[offset] | (std::size_t{data[offset + 1]} << 8);
        offset += 2;
        if (length > size - offset) length = size - offset;
        switch (reassembler.feed(data + offset, length)) {
        case Result::Message: {
            const QByteArray message = reassembler.takeMessage();
            check(static_cast<std::uint64_t>(message.size()) <= veltrix::framing::kMaxMessageSize);
            check(!reassembler.inProgress());
            checkRoundTrip(message);
            break;
        }
        case Result::Violation:
            check(!reassembler.inProgress());
            break;
        case Result::NeedMore:
            check(reassembler.inProgress());
            break;
        case Result::KeepAlive:
            break;
        }
        offset += length;
    }
    return 0;
}

#pragma once

#include <QByteArray>
#include <cstddef>
#include <algorithm>
#include <cstdint>

namespace veltrix {

// Framing of session messages on a WebRTC data channel.
//
// The data-channel stack used here takes messages of at most 64 KiB, while one send() of the
// transport may carry up to 16 MiB (key frames, file chunks). Each message therefore travels as
// one or more pieces of at most kMaxPieceSize bytes, each starting with a kind byte:
//
//   Whole        [0x01] payload               a message that fits in one piece
//   First        [0x02] u32 BE total, payload the start of a longer message (total > its payload)
//   Continuation [0x03] payload               the next bytes of that message
//   KeepAlive    [0x00]                       liveness probe; carries nothing and is not delivered
//
// The channels are ordered and reliable, so pieces arrive in the order they were sent and a
// message is complete once its total length has arrived. Anything else is a protocol violation.
namespace framing {

inline constexpr std::size_t kMaxPieceSize = 64 * 1024;
inline constexpr std::uint64_t kMaxMessageSize = 16 * 1024 * 1024;

enum class PieceKind : std::uint8_t {
    KeepAlive = 0x00,
    Whole = 0x01,
    First = 0x02,
    Continuation = 0x03,
};

inline constexpr std::size_t kWholeHeaderSize = 1;
inline constexpr std::size_t kFirstHeaderSize = 5;
inline constexpr std::size_t kContinuationHeaderSize = 1;

// Calls sink(header, headerSize, payload, payloadSize) once per piece of a message of `size`
// bytes (size <= kMaxMessageSize), in order, and returns false as soon as sink does. A piece is
// the header bytes followed by the payload bytes; the header buffer is only valid during the call.
template <typename Sink>
bool splitMessage(const std::uint8_t* data, std::uint64_t size, Sink&& sink);

}  // namespace framing

// Rebuilds messages from the pieces of one channel. Not thread-safe: one channel's pieces are fed
// from one place at a time.
class MessageReassembler {
public:
    enum class Result {
        NeedMore,   // piece accepted, message not complete yet
        Message,    // a message is complete: takeMessage()
        KeepAlive,  // a keep-alive piece
        Violation,  // the piece breaks the framing; the reassembler is reset
    };

    Result feed(const std::uint8_t* piece, std::size_t size);
    // The completed message; leaves the reassembler empty.
    QByteArray takeMessage();
    void reset();
    bool inProgress() const { return expected_ > 0; }

private:
    Result violation();

    QByteArray buffer_;
    std::uint64_t expected_ = 0;  // total size of the message being rebuilt, 0 when none
    bool complete_ = false;
};

template <typename Sink>
bool framing::splitMessage(const std::uint8_t* data, std::uint64_t size, Sink&& sink) {
    std::uint8_t header[kFirstHeaderSize];
    if (size + kWholeHeaderSize <= kMaxPieceSize) {
        header[0] = static_cast<std::uint8_t>(PieceKind::Whole);
        return sink(header, kWholeHeaderSize, data, static_cast<std::size_t>(size));
    }
    header[0] = static_cast<std::uint8_t>(PieceKind::First);
    header[1] = static_cast<std::uint8_t>(size >> 24);
    header[2] = static_cast<std::uint8_t>(size >> 16);
    header[3] = static_cast<std::uint8_t>(size >> 8);
    header[4] = static_cast<std::uint8_t>(size);
    std::size_t chunk = kMaxPieceSize - kFirstHeaderSize;
    if (!sink(header, kFirstHeaderSize, data, chunk)) return false;
    header[0] = static_cast<std::uint8_t>(PieceKind::Continuation);
    for (std::uint64_t offset = chunk; offset < size; offset += chunk) {
        chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, kMaxPieceSize - kContinuationHeaderSize));
        if (!sink(header, kContinuationHeaderSize, data + offset, chunk)) return false;
    }
    return true;
}

}  // namespace veltrix

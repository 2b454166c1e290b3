#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

// The relay node's wire format, on a TLS stream in both directions: a channel byte (0 control,
// 1 video), the payload length as an unsigned 32-bit big-endian number (at most 16 MiB) and the
// payload. The first frame of a connection is the join: channel 0 with the JSON object
// {"relay_token", "session_id", "type": "relay_join"}.
namespace veltrix::backend::relay {

inline constexpr int kHeaderSize = 5;
inline constexpr std::uint32_t kMaxPayload = 16u * 1024u * 1024u;
inline constexpr std::uint8_t kMaxChannel = 1;
// A join is a small JSON object; anything longer is not one.
inline constexpr std::uint32_t kMaxJoinPayload = 4096;

struct FrameHeader {
    std::uint8_t channel = 0;
    std::uint32_t length = 0;
};

enum class HeaderError { None, BadChannel, BadLength };

// Reads the 5 header bytes at `bytes`. Sets `error` and returns nothing for a channel above 1 or a
// length above 16 MiB.
std::optional<FrameHeader> parseHeader(const unsigned char* bytes, HeaderError& error);

struct Join {
    QString sessionId;
    QString relayToken;
};

// The join message of a channel-0 payload: a JSON object whose "type" is "relay_join" and whose
// "session_id" is a non-empty string; "relay_token" must be a string when present. Anything else
// gives nothing.
std::optional<Join> parseJoin(const QByteArray& payload);

// One frame as the devices write it (for tests and tools).
QByteArray buildFrame(std::uint8_t channel, const QByteArray& payload);

}  // namespace veltrix::backend::relay

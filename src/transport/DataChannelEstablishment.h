#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrix {

// The data channel establishment protocol and the payload identifiers of WebRTC data channels.
//
// A channel is opened by a DATA_CHANNEL_OPEN message on the SCTP stream it will use, answered by
// a DATA_CHANNEL_ACK on the same stream; both travel with payload identifier kPpidControl:
//
//   OPEN  u8 0x03, u8 channel type, u16 priority, u32 reliability parameter,
//         u16 label length, u16 protocol length, label, protocol   (big-endian)
//   ACK   u8 0x02
//
// User messages carry kPpidString or kPpidBinary; an empty message travels as one zero byte
// with kPpidStringEmpty or kPpidBinaryEmpty, since SCTP carries no empty messages.
namespace datachannel {

inline constexpr std::uint32_t kPpidControl = 50;
inline constexpr std::uint32_t kPpidString = 51;
inline constexpr std::uint32_t kPpidBinary = 53;
inline constexpr std::uint32_t kPpidStringEmpty = 56;
inline constexpr std::uint32_t kPpidBinaryEmpty = 57;

inline constexpr std::uint8_t kMessageAck = 0x02;
inline constexpr std::uint8_t kMessageOpen = 0x03;

// Channel types: reliable or partially reliable (by retransmissions or by time), each ordered or
// unordered (0x80 set).
inline constexpr std::uint8_t kReliable = 0x00;
inline constexpr std::uint8_t kPartialReliableRexmit = 0x01;
inline constexpr std::uint8_t kPartialReliableTimed = 0x02;
inline constexpr std::uint8_t kUnorderedFlag = 0x80;

// Longest label or protocol accepted in an OPEN; the channels of this system are named by a
// handful of letters.
inline constexpr std::size_t kMaxLabelSize = 1024;

struct OpenMessage {
    std::uint8_t channelType = kReliable;
    std::uint16_t priority = 0;
    std::uint32_t reliabilityParameter = 0;
    std::string label;
    std::string protocol;

    bool ordered() const { return (channelType & kUnorderedFlag) == 0; }

    std::vector<std::uint8_t> serialize() const;
    // Fills `error` with the reason when it returns nothing: the bytes are the peer's.
    static std::optional<OpenMessage> parse(const std::uint8_t* data, std::size_t size, std::string* error = nullptr);
};

std::vector<std::uint8_t> ackMessage();
bool isAckMessage(const std::uint8_t* data, std::size_t size);

}  // namespace datachannel
}  // namespace veltrix

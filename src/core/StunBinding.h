#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// The STUN Binding exchange of the NAT probe: a 20-byte request without attributes and the mapped
// address of its success response.
namespace veltrix::stun {

inline constexpr std::uint32_t kMagicCookie = 0x2112A442;
inline constexpr std::uint16_t kBindingRequest = 0x0001;
inline constexpr std::uint16_t kBindingSuccess = 0x0101;
inline constexpr std::uint16_t kMappedAddress = 0x0001;
inline constexpr std::uint16_t kXorMappedAddress = 0x0020;

using TransactionId = std::array<std::uint8_t, 12>;

struct MappedAddress {
    QString address;  // dotted IPv4
    std::uint16_t port = 0;
    bool operator==(const MappedAddress&) const = default;
};

// A fresh transaction ID from the global generator.
TransactionId randomTransactionId();

QByteArray bindingRequest(const TransactionId& id);

// The mapped IPv4 address of a Binding success response to the request `expected`: the first
// XOR-MAPPED-ADDRESS or MAPPED-ADDRESS of family IPv4. Nothing for a short or malformed datagram,
// another message type, a wrong magic cookie or another transaction's answer.
std::optional<MappedAddress> parseBindingResponse(const QByteArray& datagram, const TransactionId& expected);

}  // namespace veltrix::stun

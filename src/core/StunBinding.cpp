#include "core/StunBinding.h"

#include <QHostAddress>
#include <QRandomGenerator64>

#include <algorithm>
#include <cstring>

namespace veltrix::stun {
namespace {

constexpr std::size_t kHeaderSize = 20;

std::uint16_t read16(const unsigned char* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t read32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

void write16(QByteArray& out, std::uint16_t v) {
    out.append(static_cast<char>(v >> 8));
    out.append(static_cast<char>(v & 0xFF));
}

void write32(QByteArray& out, std::uint32_t v) {
    write16(out, static_cast<std::uint16_t>(v >> 16));
    write16(out, static_cast<std::uint16_t>(v & 0xFFFF));
}

}  // namespace

TransactionId randomTransactionId() {
    TransactionId id;
    for (auto& byte : id) byte = static_cast<std::uint8_t>(QRandomGenerator64::global()->generate() >> 24);
    return id;
}

QByteArray bindingRequest(const TransactionId& id) {
    QByteArray out;
    out.reserve(kHeaderSize);
    write16(out, kBindingRequest);
    write16(out, 0);
    write32(out, kMagicCookie);
    out.append(reinterpret_cast<const char*>(id.data()), static_cast<qsizetype>(id.size()));
    return out;
}

std::optional<MappedAddress> parseBindingResponse(const QByteArray& datagram, const TransactionId& expected) {
    const auto* data = reinterpret_cast<const unsigned char*>(datagram.constData());
    const std::size_t size = static_cast<std::size_t>(datagram.size());
    if (size < kHeaderSize || read16(data) != kBindingSuccess) return std::nullopt;
    if (read32(data + 4) != kMagicCookie || std::memcmp(data + 8, expected.data(), expected.size()) != 0) {
        return std::nullopt;
    }
    // Attributes lie within the declared length and within the datagram, whichever is shorter.
    const std::size_t end = std::min(size, kHeaderSize + read16(data + 2));
    std::size_t offset = kHeaderSize;
    while (offset + 4 <= end) {
        const std::uint16_t type = read16(data + offset);
        const std::size_t length = read16(data + offset + 2);
        const unsigned char* value = data + offset + 4;
        if (offset + 4 + length > end) return std::nullopt;
        if ((type == kXorMappedAddress || type == kMappedAddress) && length >= 8 && value[1] == 0x01) {
            const bool xored = type == kXorMappedAddress;
            const auto port = static_cast<std::uint16_t>(read16(value + 2) ^ (xored ? kMagicCookie >> 16 : 0));
            const std::uint32_t address = read32(value + 4) ^ (xored ? kMagicCookie : 0);
            return MappedAddress{QHostAddress(address).toString(), port};
        }
        offset += 4 + ((length + 3) & ~std::size_t{3});
    }
    return std::nullopt;
}

}  // namespace veltrix::stun

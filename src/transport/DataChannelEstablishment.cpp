#include "transport/DataChannelEstablishment.h"

namespace veltrix::datachannel {

namespace {

constexpr std::size_t kOpenHeaderSize = 12;

std::nullopt_t refuse(std::string* error, const char* reason) {
    if (error) *error = reason;
    return std::nullopt;
}

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
void write16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

bool knownChannelType(std::uint8_t type) {
    switch (type & ~kUnorderedFlag) {
    case kReliable:
    case kPartialReliableRexmit:
    case kPartialReliableTimed:
        return true;
    default:
        return false;
    }
}

}  // namespace

std::vector<std::uint8_t> OpenMessage::serialize() const {
    std::vector<std::uint8_t> out;
    out.reserve(kOpenHeaderSize + label.size() + protocol.size());
    out.push_back(kMessageOpen);
    out.push_back(channelType);
    write16(out, priority);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(reliabilityParameter >> shift));
    write16(out, static_cast<std::uint16_t>(label.size()));
    write16(out, static_cast<std::uint16_t>(protocol.size()));
    out.insert(out.end(), label.begin(), label.end());
    out.insert(out.end(), protocol.begin(), protocol.end());
    return out;
}

std::optional<OpenMessage> OpenMessage::parse(const std::uint8_t* data, std::size_t size, std::string* error) {
    if (!data || size < kOpenHeaderSize) return refuse(error, "shorter than its header");
    if (data[0] != kMessageOpen) return refuse(error, "not an open message");
    OpenMessage message;
    message.channelType = data[1];
    if (!knownChannelType(message.channelType)) return refuse(error, "unknown channel type");
    message.priority = read16(data + 2);
    message.reliabilityParameter = read32(data + 4);
    const std::size_t labelSize = read16(data + 8);
    const std::size_t protocolSize = read16(data + 10);
    if (labelSize > kMaxLabelSize || protocolSize > kMaxLabelSize) return refuse(error, "label or protocol too long");
    if (size != kOpenHeaderSize + labelSize + protocolSize) return refuse(error, "length fields do not match its size");
    const auto* text = reinterpret_cast<const char*>(data + kOpenHeaderSize);
    message.label.assign(text, labelSize);
    message.protocol.assign(text + labelSize, protocolSize);
    return message;
}

std::vector<std::uint8_t> ackMessage() { return {kMessageAck}; }

bool isAckMessage(const std::uint8_t* data, std::size_t size) { return data && size == 1 && data[0] == kMessageAck; }

}  // namespace veltrix::datachannel

#include "RelayProtocol.h"

#include <nlohmann/json.hpp>

namespace veltrix::backend::relay {

std::optional<FrameHeader> parseHeader(const unsigned char* bytes, HeaderError& error) {
    FrameHeader header;
    header.channel = bytes[0];
    header.length = (std::uint32_t(bytes[1]) << 24) | (std::uint32_t(bytes[2]) << 16) |
                    (std::uint32_t(bytes[3]) << 8) | std::uint32_t(bytes[4]);
    if (header.channel > kMaxChannel) {
        error = HeaderError::BadChannel;
        return std::nullopt;
    }
    if (header.length > kMaxPayload) {
        error = HeaderError::BadLength;
        return std::nullopt;
    }
    error = HeaderError::None;
    return header;
}

std::optional<Join> parseJoin(const QByteArray& payload) {
    const auto message = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
    if (!message.is_object()) return std::nullopt;
    const auto type = message.find("type");
    const auto session = message.find("session_id");
    const auto token = message.find("relay_token");
    if (type == message.end() || !type->is_string() || *type != "relay_join") return std::nullopt;
    if (session == message.end() || !session->is_string() || session->get_ref<const std::string&>().empty()) {
        return std::nullopt;
    }
    Join join;
    join.sessionId = QString::fromStdString(session->get<std::string>());
    if (token != message.end()) {
        if (!token->is_string()) return std::nullopt;
        join.relayToken = QString::fromStdString(token->get<std::string>());
    }
    return join;
}

QByteArray buildFrame(std::uint8_t channel, const QByteArray& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    QByteArray frame;
    frame.reserve(payload.size() + kHeaderSize);
    frame.append(static_cast<char>(channel));
    frame.append(static_cast<char>(n >> 24));
    frame.append(static_cast<char>(n >> 16));
    frame.append(static_cast<char>(n >> 8));
    frame.append(static_cast<char>(n));
    frame.append(payload);
    return frame;
}

}  // namespace veltrix::backend::relay

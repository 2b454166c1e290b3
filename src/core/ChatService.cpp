#include "core/ChatService.h"

#include <QtEndian>

#include <spdlog/spdlog.h>

namespace veltrix {
namespace {

// The longest prefix of `utf8` of at most `limit` bytes that ends on a character boundary.
qsizetype utf8CutAt(const QByteArray& utf8, qsizetype limit) {
    if (utf8.size() <= limit) return utf8.size();
    qsizetype cut = limit;
    // A continuation byte (10xxxxxx) at the cut means a character starts before it.
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace

ChatService::ChatService(SendFunction send, QObject* parent) : QObject(parent), send_(std::move(send)) {}

QByteArray ChatService::encode(const QString& text, QDateTime timestamp) {
    QByteArray utf8 = text.toUtf8();
    if (std::size_t(utf8.size()) > kMaxTextBytes) {
        spdlog::warn("ChatService: message too long, truncating to 65535 bytes");
        utf8.truncate(utf8CutAt(utf8, kMaxTextBytes));
    }
    QByteArray payload(static_cast<qsizetype>(kHeaderSize) + utf8.size(), Qt::Uninitialized);
    qToLittleEndian(static_cast<std::uint64_t>(timestamp.toMSecsSinceEpoch()), payload.data());
    qToLittleEndian(static_cast<std::uint16_t>(utf8.size()), payload.data() + 8);
    std::copy(utf8.cbegin(), utf8.cend(), payload.begin() + kHeaderSize);
    return payload;
}

bool ChatService::sendMessage(const QString& text) {
    const QByteArray payload = encode(text, QDateTime::currentDateTimeUtc());
    return send_ && send_(payload);
}

void ChatService::handleMessage(const std::uint8_t* data, std::size_t size) {
    if (size < kHeaderSize) {
        spdlog::warn("ChatService: message too short ({} bytes)", size);
        return;
    }
    const auto timestamp = qFromLittleEndian<std::uint64_t>(data);
    const std::size_t length = qFromLittleEndian<std::uint16_t>(data + 8);
    if (size < length + kHeaderSize) {
        spdlog::warn("ChatService: message truncated (expected {} + {} bytes)", kHeaderSize, length);
        return;
    }
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + kHeaderSize), qsizetype(length));
    emit messageReceived(text, QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(timestamp), Qt::UTC));
}

}  // namespace veltrix

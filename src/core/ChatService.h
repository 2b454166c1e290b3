#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace veltrix {

// Chat inside a session. A chat payload is an 8-byte timestamp (milliseconds since the Unix
// epoch, taken when sent), a 2-byte text length n and n bytes of UTF-8 text, little-endian.
// The session manager adds the control type byte, encrypts and sends what this produces, and
// hands it every received chat payload. Thread: the service's Qt thread.
class ChatService : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxTextBytes = 65535;
    static constexpr std::size_t kHeaderSize = 10;

    // Sends one chat payload; false when it was not sent (no session cipher or transport).
    using SendFunction = std::function<bool(const QByteArray& payload)>;

    explicit ChatService(SendFunction send, QObject* parent = nullptr);

    // Sends `text`, cut to at most 65535 bytes at a character boundary. False when the send failed.
    bool sendMessage(const QString& text);
    // One received payload (after the type byte); malformed payloads are dropped with a warning.
    void handleMessage(const std::uint8_t* data, std::size_t size);

    // The payload for `text` sent at `timestamp`.
    static QByteArray encode(const QString& text, QDateTime timestamp);

signals:
    void messageReceived(const QString& text, const QDateTime& timestamp);

private:
    SendFunction send_;
};

}  // namespace veltrix

#pragma once

#include <QByteArray>
#include <QList>
#include <QSslSocket>
#include <QString>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "support/WaitUntil.h"

namespace veltrix::test {

struct ReceivedFrame {
    std::uint8_t channel = 0;
    QByteArray payload;
};

// A device's end of a relay connection, written from the relay framing alone: TLS that trusts
// only the given CA and checks the host name, frames parsed from what arrives.
class RelayTestClient {
public:
    explicit RelayTestClient(const std::filesystem::path& caFile);

    bool connectTo(quint16 port, const QString& host = QStringLiteral("127.0.0.1"));
    void sendFrame(std::uint8_t channel, const QByteArray& payload);
    void sendJoin(const QString& sessionId, const QString& relayToken);
    void sendRaw(const QByteArray& bytes);
    // Hands what was written to the kernel now, without waiting for the event loop.
    void flush() { socket_.flush(); }
    bool waitForFrames(int count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool waitForClose(std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool isOpen() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    void close() { socket_.abort(); }

    QList<ReceivedFrame> frames;

private:
    void parse();
    QSslSocket socket_;
    QByteArray buffer_;
};

}  // namespace veltrix::test

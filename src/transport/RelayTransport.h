#pragma once

#include "transport/ITransport.h"
#include "transport/RelayFrameParser.h"

#include <QAbstractSocket>
#include <QList>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>

#include <chrono>

namespace veltrix {

// The transport through a relay node: one TLS connection that carries both channels as frames
// (see RelayFrameParser). The first frame after every handshake is the "relay_join" message that
// names the session; the node pairs the two peers of a session and forwards their frames.
// A dropped connection is re-established up to three times in a row (1 s, 2 s, 4 s apart); a
// first connection that fails is reported by transportError() and not retried. disconnected()
// follows only a connected(), never disconnect().
//
// disconnect() closes in order: what send() wrote before it still goes out (for up to the close
// time-out, on a socket that closes on its own, so the transport may be deleted at once), then
// TLS and TCP close. Destruction aborts the connection.
class RelayTransport : public IRelayTransport {
    Q_OBJECT

public:
    static constexpr int kMaxReconnectAttempts = 3;
    static constexpr std::chrono::milliseconds kDefaultReconnectDelay{1000};
    // How long a connection closed by disconnect() may take to send what it still holds.
    static constexpr std::chrono::milliseconds kCloseTimeout{1000};

    explicit RelayTransport(QObject* parent = nullptr);
    ~RelayTransport() override;

    bool connect(const QByteArray& host, std::uint16_t port) override;
    void disconnect() override;
    bool isConnected() const override;
    bool send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) override;
    // Bytes written and not yet sent; the two channels share one stream, so both report the same.
    std::uint64_t bufferedAmount(ChannelType channel) const override;

    void setSessionId(const QString& sessionId) override { sessionId_ = sessionId; }
    void setRelayToken(const QString& token) override { relayToken_ = token; }

    // The first reconnect delay; each further attempt doubles it.
    void setReconnectDelay(std::chrono::milliseconds delay) { reconnectDelay_ = delay; }

private slots:
    void onSocketConnected();
    void onSocketDisconnected();
    void onSocketReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onSslErrors(const QList<QSslError>& errors);
    void attemptReconnect();

private:
    // A socket wired to this transport.
    QSslSocket* newSocket();
    // Lets `socket` finish closing on its own.
    void letClose(QSslSocket* socket);
    void startConnection();
    void sendRelayJoin();
    void processReadBuffer();
    void failFraming(const char* reason);
    void scheduleReconnect();
    void scheduleReconnectAfterFailedAttempt();

    QSslSocket* socket_ = nullptr;  // a child: the connection of the moment
    QTimer reconnectTimer_;
    RelayFrameParser parser_;
    QString sessionId_;
    QString relayToken_;
    QByteArray host_;
    std::uint16_t port_ = 0;
    int reconnectAttempts_ = 0;
    bool closing_ = false;
    bool up_ = false;      // reported connected and not yet reported lost
    bool everUp_ = false;  // came up at least once since connect(): only then is a drop retried
    std::chrono::milliseconds reconnectDelay_ = kDefaultReconnectDelay;
};

}  // namespace veltrix

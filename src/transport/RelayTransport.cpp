#include "transport/RelayTransport.h"

#include "platform/TrustedCertificates.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QPointer>

#include <nlohmann/json.hpp>
#include <utility>
#include <spdlog/spdlog.h>

namespace veltrix {
namespace {

// First 8 hex digits of the token's SHA-256: enough to match logs of both ends, useless to replay.
std::string tokenFingerprint(const QString& token) {
    if (token.isEmpty()) return "(empty)";
    return QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex().left(8).toStdString();
}

}  // namespace

RelayTransport::RelayTransport(QObject* parent) : IRelayTransport(parent) {
    reconnectTimer_.setSingleShot(true);
    QObject::connect(&reconnectTimer_, &QTimer::timeout, this, &RelayTransport::attemptReconnect);
    socket_ = newSocket();
}

QSslSocket* RelayTransport::newSocket() {
    auto* socket = new QSslSocket(this);
    QObject::connect(socket, &QSslSocket::encrypted, this, &RelayTransport::onSocketConnected);
    QObject::connect(socket, &QSslSocket::disconnected, this, &RelayTransport::onSocketDisconnected);
    QObject::connect(socket, &QSslSocket::readyRead, this, &RelayTransport::onSocketReadyRead);
    QObject::connect(socket, &QSslSocket::errorOccurred, this, &RelayTransport::onSocketError);
    QObject::connect(socket, &QSslSocket::sslErrors, this, &RelayTransport::onSslErrors);
    return socket;
}

RelayTransport::~RelayTransport() {
    closing_ = true;
    reconnectTimer_.stop();
    // No signal of a half-destroyed transport may reach its receivers.
    QObject::disconnect(socket_, nullptr, this, nullptr);
    if (socket_->state() != QAbstractSocket::UnconnectedState) socket_->abort();
}

bool RelayTransport::connect(const QByteArray& host, std::uint16_t port) {
    if (socket_->state() != QAbstractSocket::UnconnectedState) {
        spdlog::warn("RelayTransport::connect called while socket is in state {}", static_cast<int>(socket_->state()));
        return false;
    }
    if (port == 0) {
        spdlog::error("RelayTransport::connect: invalid port 0");
        return false;
    }
    host_ = host;
    port_ = port;
    reconnectAttempts_ = 0;
    closing_ = false;
    up_ = false;
    everUp_ = false;
    parser_.clear();
    spdlog::info("RelayTransport: connecting to {}:{} (TLS)", host_.toStdString(), port_);
    // The node's chain and host name are verified against the system's trusted CAs. Loading them
    // is slow, so the reconnects of this connection reuse the set.
    socket_->setSslConfiguration(platform::tls::clientConfiguration());
    startConnection();
    return true;
}

void RelayTransport::startConnection() {
    socket_->connectToHostEncrypted(QString::fromUtf8(host_), port_, QIODevice::ReadWrite,
                                   QAbstractSocket::AnyIPProtocol);
}

void RelayTransport::disconnect() {
    closing_ = true;
    reconnectTimer_.stop();
    reconnectAttempts_ = kMaxReconnectAttempts;
    if (socket_->state() != QAbstractSocket::UnconnectedState) {
        spdlog::info("RelayTransport: disconnecting from {}:{}", host_.toStdString(), port_);
        // What was sent last (a session's "disconnect" command) goes out before the connection
        // closes: TLS's close_notify and TCP's FIN follow the written bytes. A connection not up
        // yet has nothing to deliver and is aborted.
        if (isConnected()) {
            socket_->flush();
            letClose(std::exchange(socket_, newSocket()));
        } else {
            socket_->abort();
        }
    }
}

void RelayTransport::letClose(QSslSocket* socket) {
    // The socket closes on its own, without this transport (which its owner may delete at once):
    // it goes once closed, or is aborted after the close time-out. Its events no longer reach
    // the transport.
    QObject::disconnect(socket, nullptr, this, nullptr);
    QCoreApplication* application = QCoreApplication::instance();
    // Kept by the application where it can, so a socket still closing at exit is freed with it.
    socket->setParent(application && application->thread() == socket->thread() ? application : nullptr);
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    // TLS is closed only once every byte is with the kernel: closed earlier, what the socket
    // still held could be lost. What the node sends meanwhile is read and dropped, since unread
    // data at the close would reset the connection and cut off what is still in flight.
    const auto closeWhenWritten = [socket] {
        const qint64 unsent = socket->bytesToWrite() + socket->encryptedBytesToWrite();
        if (socket->state() == QAbstractSocket::ConnectedState && unsent == 0) socket->disconnectFromHost();
    };
    QObject::connect(socket, &QSslSocket::encryptedBytesWritten, socket, closeWhenWritten);
    QObject::connect(socket, &QSslSocket::readyRead, socket, [socket] { socket->readAll(); });
    closeWhenWritten();
    QTimer::singleShot(kCloseTimeout, socket, [socket] {
        if (socket->state() != QAbstractSocket::UnconnectedState)
            spdlog::info("RelayTransport: the closing connection still had {} bytes to send after {} ms, aborted",
                         socket->bytesToWrite() + socket->encryptedBytesToWrite(), kCloseTimeout.count());
        socket->abort();
        socket->deleteLater();
    });
}

bool RelayTransport::isConnected() const {
    // Connected only once the handshake is done: bytes written earlier would reach the node
    // before the join message.
    return socket_->state() == QAbstractSocket::ConnectedState && socket_->isEncrypted();
}

bool RelayTransport::send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) {
    if (!isConnected()) {
        spdlog::warn("RelayTransport::send: not connected");
        return false;
    }
    if (channel != ChannelType::Control && channel != ChannelType::Video) {
        // The node closes both ends of a session on a frame it cannot route.
        spdlog::error("RelayTransport::send: invalid channel {}", static_cast<unsigned>(channel));
        return false;
    }
    if (size > RelayFrameParser::kMaxPayload) {
        spdlog::error("RelayTransport::send: payload too large ({} > {})", size, RelayFrameParser::kMaxPayload);
        return false;
    }
    // Header and payload go to the socket separately: it copies them into its own buffer anyway,
    // so building a joined frame first would copy every payload twice.
    char header[RelayFrameParser::kHeaderSize];
    RelayFrameParser::writeHeader(header, channel, static_cast<std::uint32_t>(size));
    const std::uint64_t expected = size + RelayFrameParser::kHeaderSize;
    std::uint64_t written = 0;
    const qint64 headerWritten = socket_->write(header, sizeof header);
    if (headerWritten > 0) written += static_cast<std::uint64_t>(headerWritten);
    if (headerWritten == static_cast<qint64>(sizeof header) && size > 0) {
        const qint64 payloadWritten = socket_->write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
        if (payloadWritten > 0) written += static_cast<std::uint64_t>(payloadWritten);
    }
    if (written != expected) {
        spdlog::error("RelayTransport::send: write failed, wrote {}/{} bytes", written, expected);
        // Part of a frame is on the stream; nothing after it could be parsed by the partner.
        if (written > 0) socket_->abort();
        return false;
    }
    return true;
}

std::uint64_t RelayTransport::bufferedAmount(ChannelType) const {
    const qint64 pending = socket_->bytesToWrite() + socket_->encryptedBytesToWrite();
    return pending > 0 ? static_cast<std::uint64_t>(pending) : 0;
}

void RelayTransport::onSocketConnected() {
    spdlog::info("RelayTransport: connected to {}:{}", host_.toStdString(), port_);
    reconnectAttempts_ = 0;
    up_ = true;
    everUp_ = true;
    parser_.clear();
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    sendRelayJoin();
    emit connected();
}

void RelayTransport::sendRelayJoin() {
    if (sessionId_.isEmpty()) {
        spdlog::warn("RelayTransport: no session ID set, skipping relay_join");
        return;
    }
    spdlog::info("RelayTransport: sending relay_join for session {} (token_sha256={})", sessionId_.toStdString(),
                 tokenFingerprint(relayToken_));
    // Keys in this order: relay_token, session_id, type (the JSON object keeps them sorted).
    const nlohmann::json join = {{"relay_token", relayToken_.toStdString()},
                                 {"session_id", sessionId_.toStdString()},
                                 {"type", "relay_join"}};
    const std::string text = join.dump();
    socket_->write(RelayFrameParser::buildFrame(ChannelType::Control, text.data(), text.size()));
}

void RelayTransport::onSocketReadyRead() {
    const qint64 available = socket_->bytesAvailable();
    if (available <= 0) return;
    char* target = parser_.reserve(static_cast<std::size_t>(available));
    const qint64 got = socket_->read(target, available);
    parser_.commit(got > 0 ? static_cast<std::size_t>(got) : 0);
    processReadBuffer();
}

void RelayTransport::processReadBuffer() {
    const QPointer<RelayTransport> self(this);
    RelayFrameParser::Frame frame;
    while (true) {
        std::uint64_t badValue = 0;
        switch (parser_.next(frame, &badValue)) {
            case RelayFrameParser::Status::NeedMore:
                return;
            case RelayFrameParser::Status::InvalidChannel:
                spdlog::error("RelayTransport: invalid channel type {}, resetting buffer", badValue);
                failFraming("Invalid channel type in frame header");
                return;
            case RelayFrameParser::Status::Oversize:
                spdlog::error("RelayTransport: payload length {} exceeds maximum {}", badValue,
                              RelayFrameParser::kMaxPayload);
                failFraming("Frame payload exceeds maximum size");
                return;
            case RelayFrameParser::Status::Frame:
                emit dataReceived(frame.channel, frame.payload);
                // A receiver may have closed or deleted this transport (a session that ends on
                // this frame): then nothing here may be touched any more.
                if (!self || closing_ || !isConnected()) return;
                break;
        }
    }
}

void RelayTransport::failFraming(const char* reason) {
    // After a header that cannot be trusted the stream has no frame boundaries left: close the
    // connection for good instead of reading payload bytes as headers.
    parser_.clear();
    const QPointer<RelayTransport> self(this);
    emit transportError(QString::fromLatin1(reason));
    if (!self || closing_) return;
    // Lost, not closed by the owner: disconnected() is reported, and no reconnect follows.
    everUp_ = false;
    reconnectTimer_.stop();
    reconnectAttempts_ = kMaxReconnectAttempts;
    socket_->abort();
}

void RelayTransport::onSocketDisconnected() {
    spdlog::info("RelayTransport: disconnected from {}:{}", host_.toStdString(), port_);
    // A frame cut off by the drop is discarded whole.
    parser_.clear();
    const bool wasUp = std::exchange(up_, false);
    // disconnect() ends the transport without a signal; a handshake that never completed was
    // never reported as connected, so there is nothing to report as lost either.
    if (closing_) return;
    if (wasUp) {
        const QPointer<RelayTransport> self(this);
        emit disconnected();
        if (!self) return;
    }
    if (everUp_) scheduleReconnect();
}

void RelayTransport::scheduleReconnect() {
    if (closing_ || reconnectAttempts_ >= kMaxReconnectAttempts || reconnectTimer_.isActive()) return;
    const auto delay = reconnectDelay_ * (1 << reconnectAttempts_);
    spdlog::info("RelayTransport: reconnecting in {} ms (attempt {}/{})", delay.count(), reconnectAttempts_ + 1,
                 kMaxReconnectAttempts);
    reconnectTimer_.start(delay);
}

void RelayTransport::scheduleReconnectAfterFailedAttempt() {
    // A reconnect that does not come up (refused, unreachable, timed out) reports only its error,
    // without a disconnect notification; the attempt budget still applies. A first connection
    // that never came up schedules nothing: its error is the outcome of connect().
    if (everUp_ && socket_->state() == QAbstractSocket::UnconnectedState) scheduleReconnect();
}

void RelayTransport::attemptReconnect() {
    ++reconnectAttempts_;
    if (socket_->state() != QAbstractSocket::UnconnectedState) socket_->abort();
    spdlog::info("RelayTransport: reconnect attempt {}/{} to {}:{}", reconnectAttempts_, kMaxReconnectAttempts,
                 host_.toStdString(), port_);
    parser_.clear();
    startConnection();
}

void RelayTransport::onSocketError(QAbstractSocket::SocketError error) {
    spdlog::error("RelayTransport: socket error ({}): {}", static_cast<int>(error), socket_->errorString().toStdString());
    if (error != QAbstractSocket::RemoteHostClosedError) {
        const QPointer<RelayTransport> self(this);
        emit transportError(socket_->errorString());
        if (!self) return;
    }
    // Decided after the socket has finished reporting: a disconnect notification that follows
    // this error schedules the attempt itself.
    if (!closing_ && everUp_) {
        QMetaObject::invokeMethod(this, &RelayTransport::scheduleReconnectAfterFailedAttempt, Qt::QueuedConnection);
    }
}

void RelayTransport::onSslErrors(const QList<QSslError>& errors) {
    for (const QSslError& error : errors) spdlog::error("RelayTransport: TLS error: {}", error.errorString().toStdString());
}

}  // namespace veltrix

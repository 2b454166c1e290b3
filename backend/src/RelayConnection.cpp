#include "RelayConnection.h"

#include <algorithm>
#include <spdlog/spdlog.h>

#include "RelayNode.h"
#include "RelayProtocol.h"

namespace veltrix::backend {
namespace {

constexpr qint64 kSocketReadBuffer = 256 * 1024;
constexpr qint64 kForwardChunk = 256 * 1024;
// A closing connection gets this long to write what is queued for it.
constexpr int kGracefulCloseMs = 5000;

}  // namespace

RelayConnection::RelayConnection(QSslSocket* socket, RelayNode& node)
    : QObject(&node), node_(node), socket_(socket) {
    socket_->setParent(this);
    peer_ = QStringLiteral("%1:%2").arg(socket_->peerAddress().toString()).arg(socket_->peerPort());
    socket_->setReadBufferSize(kSocketReadBuffer);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket_, &QSslSocket::readyRead, this, [this] { pump(false); });
    connect(socket_, &QSslSocket::disconnected, this, &RelayConnection::onDisconnected);

    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        switch (state_) {
            case State::AwaitingJoin:
                // A node busy with other connections may not have read this one for a while: take
                // in what already arrived before calling the peer silent.
                socket_->waitForReadyRead(0);
                if (state_ == State::AwaitingJoin) close(QStringLiteral("no relay_join received in time"), false);
                break;
            case State::Waiting: close(QStringLiteral("partner did not join in time"), false); break;
            case State::Paired: break;
            case State::Closed: socket_->abort(); break;  // the graceful close took too long
        }
    });
    deadline_.start(node_.limits().joinTimeout);
    spdlog::debug("Relay: connection from {}", peer_.toStdString());
    pump(false);
}

RelayConnection::~RelayConnection() = default;

qint64 RelayConnection::queuedTowardsMe() const {
    return socket_->bytesToWrite() + socket_->encryptedBytesToWrite();
}

bool RelayConnection::hasRoom() const {
    if (partner_) return partner_->queuedTowardsMe() < node_.limits().partnerQueueLimit;
    return held_.size() < node_.limits().heldBytesLimit;
}

void RelayConnection::forward(const QByteArray& bytes) {
    if (partner_) partner_->socket_->write(bytes);
    else held_.append(bytes);
}

bool RelayConnection::readJoin() {
    if (socket_->bytesAvailable() < relay::kHeaderSize) return false;
    unsigned char raw[relay::kHeaderSize];
    socket_->peek(reinterpret_cast<char*>(raw), relay::kHeaderSize);
    relay::HeaderError error;
    const auto header = relay::parseHeader(raw, error);
    if (!header || header->channel != 0 || header->length > relay::kMaxJoinPayload) {
        close(QStringLiteral("first frame is not a relay_join"), false);
        return false;
    }
    if (socket_->bytesAvailable() < relay::kHeaderSize + qint64(header->length)) return false;
    socket_->skip(relay::kHeaderSize);
    const QByteArray payload = socket_->read(header->length);
    const auto join = relay::parseJoin(payload);
    if (!join) {
        close(QStringLiteral("malformed relay_join"), false);
        return false;
    }
    sessionId_ = join->sessionId;
    state_ = State::Waiting;
    deadline_.stop();
    if (!node_.admit(this, join->sessionId, join->relayToken)) return false;
    if (state_ == State::Waiting) deadline_.start(node_.limits().partnerWait);
    return state_ != State::Closed;
}

void RelayConnection::pump(bool ignoreRoom) {
    if (state_ == State::AwaitingJoin && !readJoin()) return;
    while (state_ == State::Waiting || state_ == State::Paired) {
        if (!ignoreRoom && !hasRoom()) return;
        if (payloadRemaining_ == 0) {
            if (socket_->bytesAvailable() < relay::kHeaderSize) return;
            unsigned char raw[relay::kHeaderSize];
            socket_->peek(reinterpret_cast<char*>(raw), relay::kHeaderSize);
            relay::HeaderError error;
            const auto header = relay::parseHeader(raw, error);
            if (!header) {
                close(error == relay::HeaderError::BadChannel
                          ? QStringLiteral("invalid channel byte %1").arg(raw[0])
                          : QStringLiteral("payload length above %1").arg(relay::kMaxPayload),
                      false);
                return;
            }
            forward(socket_->read(relay::kHeaderSize));
            payloadRemaining_ = header->length;
            continue;
        }
        const qint64 chunk = std::min({socket_->bytesAvailable(), qint64(payloadRemaining_), kForwardChunk});
        if (chunk <= 0) return;
        const QByteArray bytes = socket_->read(chunk);
        forward(bytes);
        payloadRemaining_ -= static_cast<std::uint32_t>(bytes.size());
    }
}

void RelayConnection::pairWith(RelayConnection* partner) {
    partner_ = partner;
    state_ = State::Paired;
    deadline_.stop();
    connect(partner->socket_, &QSslSocket::encryptedBytesWritten, this, &RelayConnection::onPartnerWritten);
    if (!held_.isEmpty()) {
        spdlog::info("Relay: session {}: delivering {} held bytes from {}", sessionId_.toStdString(), held_.size(),
                     peer_.toStdString());
        partner->socket_->write(held_);
        held_.clear();
        held_.squeeze();
    }
    // Reading may have paused while the held buffer was full.
    QMetaObject::invokeMethod(this, [this] { pump(false); }, Qt::QueuedConnection);
}

void RelayConnection::onPartnerWritten() {
    if (state_ == State::Paired) pump(false);
}

void RelayConnection::close(const QString& reason, bool graceful) {
    if (state_ == State::Closed) return;
    const bool wasPaired = state_ == State::Paired;
    state_ = State::Closed;
    deadline_.stop();
    held_.clear();
    spdlog::info("Relay: closing {}{}: {}", peer_.toStdString(),
                 sessionId_.isEmpty() ? std::string() : " (session " + sessionId_.toStdString() + ")",
                 reason.toStdString());
    if (graceful && socket_->state() == QAbstractSocket::ConnectedState) {
        socket_->disconnectFromHost();
        if (socket_->state() != QAbstractSocket::UnconnectedState) deadline_.start(kGracefulCloseMs);
    } else {
        socket_->abort();
    }
    (void)wasPaired;
    if (!finished_) {
        finished_ = true;
        node_.onConnectionFinished(this);
    }
    if (socket_->state() == QAbstractSocket::UnconnectedState) deleteLater();
}

void RelayConnection::onDisconnected() {
    if (state_ != State::Closed) {
        // Whatever the peer sent before it left still goes to the partner.
        pump(true);
        close(QStringLiteral("peer closed the connection"), false);
    }
    deleteLater();
}

}  // namespace veltrix::backend

#include "FakeRelayNode.h"

#include <QFile>
#include <QSslKey>

#include <nlohmann/json.hpp>

namespace veltrix::test {
namespace {

QByteArray readFile(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

}  // namespace

FakeRelayNode::FakeRelayNode(const TestCertificates& certificates, QObject* parent) : QObject(parent) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(QSslCertificate(readFile(certificates.serverCertificate)));
    config.setPrivateKey(QSslKey(readFile(certificates.serverKey), QSsl::Ec));
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    server_.setSslConfiguration(config);
    QObject::connect(&server_, &QSslServer::pendingConnectionAvailable, this, &FakeRelayNode::onNewConnection);
    server_.listen(QHostAddress::LocalHost, 0);
}

FakeRelayNode::~FakeRelayNode() {
    for (Peer* peer : std::as_const(peers_)) {
        if (peer->socket) {
            QObject::disconnect(peer->socket, nullptr, this, nullptr);
            peer->socket->abort();
            delete peer->socket;
        }
        delete peer;
    }
}

qint64 FakeRelayNode::bytesBeforeJoin() const {
    qint64 total = 0;
    for (const Peer* peer : peers_)
        if (peer->sessionId.isEmpty()) total += peer->inbound.size();
    return total;
}

void FakeRelayNode::onNewConnection() {
    while (server_.hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(server_.nextPendingConnection());
        if (!socket) continue;
        socket->setParent(nullptr);
        ++accepted_;
        auto* peer = new Peer{socket, {}, {}, {}};
        peers_ << peer;
        QObject::connect(socket, &QSslSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        QObject::connect(socket, &QSslSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
        if (socket->bytesAvailable() > 0) onReadyRead(socket);
    }
}

void FakeRelayNode::onReadyRead(QSslSocket* socket) {
    for (Peer* peer : std::as_const(peers_)) {
        if (peer->socket != socket) continue;
        const QByteArray bytes = socket->readAll();
        if (peer->sessionId.isEmpty()) {
            peer->inbound += bytes;
            tryJoin(*peer);
            return;
        }
        peer->afterJoin += bytes;
        return;
    }
}

void FakeRelayNode::tryJoin(Peer& peer) {
    if (peer.inbound.size() < 5) return;
    const auto* h = reinterpret_cast<const unsigned char*>(peer.inbound.constData());
    const quint32 length = (quint32{h[1]} << 24) | (quint32{h[2]} << 16) | (quint32{h[3]} << 8) | h[4];
    if (h[0] != 0 || length > 4096) {
        peer.socket->abort();
        return;
    }
    if (peer.inbound.size() < 5 + static_cast<qsizetype>(length)) return;
    const QByteArray join = peer.inbound.mid(5, length);
    const auto message = nlohmann::json::parse(join.toStdString(), nullptr, false);
    if (!message.is_object() || message.value("type", "") != "relay_join" || message.value("session_id", "").empty()) {
        peer.socket->abort();
        return;
    }
    joins_ << join;
    peer.sessionId = QString::fromStdString(message.value("session_id", ""));
    peer.afterJoin = peer.inbound.mid(5 + length);
    peer.inbound.clear();
}

QByteArray FakeRelayNode::received(const QString& sessionId) const {
    QByteArray bytes = receivedOnClosed_.value(sessionId);
    for (const Peer* peer : peers_)
        if (peer->sessionId == sessionId) bytes += peer->afterJoin;
    return bytes;
}

void FakeRelayNode::onDisconnected(QSslSocket* socket) {
    for (qsizetype i = 0; i < peers_.size(); ++i) {
        if (peers_[i]->socket == socket) {
            Peer* peer = peers_.takeAt(i);
            // What is still unread arrived before the close.
            if (!peer->sessionId.isEmpty()) receivedOnClosed_[peer->sessionId] += peer->afterJoin + socket->readAll();
            socket->deleteLater();
            delete peer;
            return;
        }
    }
}

bool FakeRelayNode::sendRaw(const QString& sessionId, const QByteArray& bytes) {
    for (qsizetype i = peers_.size() - 1; i >= 0; --i) {
        if (peers_[i]->sessionId == sessionId && peers_[i]->socket) {
            peers_[i]->socket->write(bytes);
            return true;
        }
    }
    return false;
}

void FakeRelayNode::dropAll() {
    QList<QPointer<QSslSocket>> sockets;
    for (const Peer* peer : std::as_const(peers_)) sockets << peer->socket;
    for (const auto& socket : sockets)
        if (socket) socket->abort();
}

}  // namespace veltrix::test

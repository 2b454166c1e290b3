#include "RelayNode.h"

#include <spdlog/spdlog.h>

#include "RelayConnection.h"

namespace veltrix::backend {

RelayNode::RelayNode(const QSslConfiguration& tls, RelayLimits limits, Admission admission, QObject* parent)
    : QObject(parent), limits_(limits), admission_(std::move(admission)) {
    server_.setSslConfiguration(tls);
    server_.setHandshakeTimeout(10000);
    connect(&server_, &QSslServer::pendingConnectionAvailable, this, &RelayNode::onPendingConnections);
    connect(&server_, &QSslServer::errorOccurred, this, [](QSslSocket* socket, QAbstractSocket::SocketError) {
        spdlog::debug("Relay: TLS connection from {} failed: {}", socket->peerAddress().toString().toStdString(),
                      socket->errorString().toStdString());
    });
}

RelayNode::~RelayNode() {
    // Tear the connections down without the close bookkeeping reaching a half-destroyed node.
    const auto all = connections_;
    connections_.clear();
    for (RelayConnection* connection : all) delete connection;
}

bool RelayNode::listen(const QHostAddress& address, quint16 port) {
    if (!server_.listen(address, port)) {
        spdlog::error("Relay: cannot listen on {}:{}: {}", address.toString().toStdString(), port,
                      server_.errorString().toStdString());
        return false;
    }
    return true;
}

void RelayNode::onPendingConnections() {
    while (server_.hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(server_.nextPendingConnection());
        if (!socket) continue;
        if (connections_.size() >= limits_.maxConnections) {
            spdlog::warn("Relay: {} connections open, refusing {}", connections_.size(),
                         socket->peerAddress().toString().toStdString());
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connections_.insert(new RelayConnection(socket, *this));
    }
}

bool RelayNode::admit(RelayConnection* connection, const QString& sessionId, const QString& relayToken) {
    if (pairedSessions_.contains(sessionId)) {
        connection->close(QStringLiteral("session already has both ends"), false);
        return false;
    }
    if (admission_ && !admission_(sessionId, relayToken)) {
        connection->close(QStringLiteral("relay token not valid for the session"), false);
        return false;
    }
    RelayConnection* waiting = waiting_.value(sessionId);
    if (!waiting || waiting == connection) {
        waiting_.insert(sessionId, connection);
        spdlog::info("Relay: {} joined session {}, waiting for its partner", connection->peer().toStdString(),
                     sessionId.toStdString());
        return true;
    }
    waiting_.remove(sessionId);
    pairedSessions_.insert(sessionId);
    spdlog::info("Relay: session {} paired ({} <-> {})", sessionId.toStdString(), waiting->peer().toStdString(),
                 connection->peer().toStdString());
    waiting->pairWith(connection);
    connection->pairWith(waiting);
    emit sessionPaired(sessionId);
    return true;
}

void RelayNode::onConnectionFinished(RelayConnection* connection) {
    if (!connections_.remove(connection)) return;
    if (waiting_.value(connection->sessionId()) == connection) waiting_.remove(connection->sessionId());
    RelayConnection* partner = connection->partner_.data();
    if (partner) {
        pairedSessions_.remove(connection->sessionId());
        connection->partner_ = nullptr;
        partner->partner_ = nullptr;
        partner->close(QStringLiteral("partner left"), true);
    }
}

}  // namespace veltrix::backend

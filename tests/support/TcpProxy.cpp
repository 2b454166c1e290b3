#include "support/TcpProxy.h"

namespace veltrix::test {

TcpProxy::TcpProxy(quint16 targetPort, QObject* parent) : QObject(parent), targetPort_(targetPort) {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, &TcpProxy::onNewConnection);
}

TcpProxy::~TcpProxy() {
    server_.close();
    for (Link* link : links_) {
        if (link->client) link->client->abort();
        if (link->server) link->server->abort();
        delete link->client;
        delete link->server;
        delete link;
    }
}

void TcpProxy::freezeOpenConnections() {
    for (Link* link : links_) link->frozen = true;
}

void TcpProxy::onNewConnection() {
    while (QTcpSocket* client = server_.nextPendingConnection()) {
        ++accepted_;
        client->setParent(nullptr);
        auto* link = new Link{client, nullptr, silent_};
        links_.append(link);
        if (silent_) continue;  // held open, never answered
        link->server = new QTcpSocket;
        connect(client, &QTcpSocket::readyRead, this, [this, link] { pump(link); });
        connect(link->server, &QTcpSocket::readyRead, this, [this, link] { pump(link); });
        connect(link->server, &QTcpSocket::connected, this, [this, link] { pump(link); });
        // A side that closes closes the other, unless the link is frozen (then nothing passes).
        connect(client, &QTcpSocket::disconnected, this, [link] {
            if (!link->frozen && link->server) link->server->disconnectFromHost();
        });
        connect(link->server, &QTcpSocket::disconnected, this, [link] {
            if (!link->frozen && link->client) link->client->disconnectFromHost();
        });
        link->server->connectToHost(QHostAddress::LocalHost, targetPort_);
    }
}

void TcpProxy::pump(Link* link) {
    if (link->frozen || !link->client || !link->server) return;
    if (link->server->state() != QAbstractSocket::ConnectedState) return;
    if (link->client->bytesAvailable()) link->server->write(link->client->readAll());
    if (link->server->bytesAvailable()) link->client->write(link->server->readAll());
}

}  // namespace veltrix::test

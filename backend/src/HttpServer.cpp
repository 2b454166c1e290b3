#include "HttpServer.h"

#include <QWebSocket>
#include <spdlog/spdlog.h>

#include "HttpConnection.h"

namespace veltrix::backend {

HttpServer::HttpServer(const QSslConfiguration& tls, Handler handler, Options options, QObject* parent)
    : QObject(parent),
      webSockets_(QStringLiteral("Veltrix"), QWebSocketServer::NonSecureMode),
      handler_(std::move(handler)),
      options_(options) {
    server_.setSslConfiguration(tls);
    server_.setHandshakeTimeout(10000);
    connect(&server_, &QSslServer::pendingConnectionAvailable, this, &HttpServer::onPendingConnections);
    connect(&webSockets_, &QWebSocketServer::newConnection, this, [this] {
        while (webSockets_.hasPendingConnections()) {
            QWebSocket* socket = webSockets_.nextPendingConnection();
            if (webSocketHandler_) webSocketHandler_(socket);
            else socket->deleteLater();
        }
    });
}

HttpServer::~HttpServer() {
    const auto all = connections_;
    connections_.clear();
    for (HttpConnection* connection : all) delete connection;
}

bool HttpServer::listen(const QHostAddress& address, quint16 port) {
    if (!server_.listen(address, port)) {
        spdlog::error("HTTP: cannot listen on {}:{}: {}", address.toString().toStdString(), port,
                      server_.errorString().toStdString());
        return false;
    }
    return true;
}

void HttpServer::onPendingConnections() {
    while (server_.hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(server_.nextPendingConnection());
        if (!socket) continue;
        if (connections_.size() >= options_.maxConnections) {
            spdlog::warn("HTTP: {} connections open, refusing one more", connections_.size());
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connections_.insert(new HttpConnection(socket, *this));
    }
}

void HttpServer::onConnectionFinished(HttpConnection* connection) { connections_.remove(connection); }

void HttpServer::upgrade(HttpConnection* connection, QSslSocket* socket) {
    connection->releaseSocket();
    connections_.remove(connection);
    connection->deleteLater();
    webSockets_.handleConnection(socket);
}

}  // namespace veltrix::backend

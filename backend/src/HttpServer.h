#pragma once

#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QSslConfiguration>
#include <QSslServer>
#include <QWebSocketServer>

#include <functional>

#include "HttpMessage.h"
#include "HttpRequestParser.h"

class QWebSocket;

namespace veltrix::backend {

class HttpConnection;

// An HTTPS/1.1 server on a QSslServer: keep-alive connections, one request at a time, bounded
// request sizes, and WebSocket upgrades (first request of a connection) handed to QtWebSockets.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    using WebSocketHandler = std::function<void(QWebSocket*)>;

    struct Options {
        HttpRequestParser::Limits limits;
        int idleTimeoutMs = 30000;
        int maxConnections = 256;
        // Delay between a reply reaching the socket and its afterWritten action, so the client
        // has read the reply before a push that follows it arrives on another connection.
        int afterWrittenDelayMs = 50;
    };

    HttpServer(const QSslConfiguration& tls, Handler handler, Options options, QObject* parent = nullptr);
    ~HttpServer() override;

    void setWebSocketHandler(WebSocketHandler handler) { webSocketHandler_ = std::move(handler); }
    bool listen(const QHostAddress& address, quint16 port);
    quint16 port() const { return server_.serverPort(); }

private:
    friend class HttpConnection;
    void onPendingConnections();
    void onConnectionFinished(HttpConnection* connection);
    void upgrade(HttpConnection* connection, QSslSocket* socket);

    QSslServer server_;
    QWebSocketServer webSockets_;
    Handler handler_;
    WebSocketHandler webSocketHandler_;
    Options options_;
    QSet<HttpConnection*> connections_;
};

}  // namespace veltrix::backend

#pragma once

#include <QByteArray>
#include <QObject>
#include <QSslSocket>
#include <QTimer>

#include <functional>
#include <vector>

#include "HttpRequestParser.h"

namespace veltrix::backend {

class HttpServer;

// One HTTP connection of an HttpServer.
class HttpConnection : public QObject {
    Q_OBJECT
public:
    HttpConnection(QSslSocket* socket, HttpServer& server);
    ~HttpConnection() override;

    // Forgets the socket (after a WebSocket upgrade took it over).
    QSslSocket* releaseSocket();

private:
    void onReadyRead();
    void respond(const HttpResponse& response, bool keepAlive);
    void onBytesWritten();
    void runAfterWritten();
    void finish();

    HttpServer& server_;
    QSslSocket* socket_;
    HttpRequestParser parser_;
    QByteArray buffer_;
    QTimer idle_;
    bool firstRequest_ = true;
    bool closing_ = false;
    bool finished_ = false;
    qint64 discarded_ = 0;
    qint64 padding_ = 0;  // bytes still owed to an announced length
    std::vector<std::function<void()>> afterWritten_;
};

}  // namespace veltrix::backend

#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslServer>
#include <QString>

#include <filesystem>

namespace veltrix::test {

// A small HTTPS/1.1 server on 127.0.0.1 for client tests: fixed answers per path, one request per
// connection. The certificate comes from TestCertificates (it names localhost and 127.0.0.1).
class LocalHttpsServer : public QObject {
    Q_OBJECT
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // When set, announces this Content-Length and then sends `body` every 50 ms, never finishing.
        qint64 announcedLength = -1;
    };

    LocalHttpsServer(const std::filesystem::path& certificate, const std::filesystem::path& key,
                     QObject* parent = nullptr);

    quint16 port() const { return server_.serverPort(); }
    QString origin() const;  // "localhost:<port>"
    void setResponse(const QString& path, const Response& response) { responses_[path] = response; }
    // Paths requested so far, in order.
    const QList<QString>& requests() const { return requests_; }
    // Header block and body of the last complete request.
    const QByteArray& lastHead() const { return lastHead_; }
    const QByteArray& lastBody() const { return lastBody_; }
    // Paths answered with nothing at all (the line stays open until the client gives up).
    void setSilent(const QString& path) { silent_.append(path); }

private:
    void onEncrypted(QSslSocket* socket);
    void answer(QSslSocket* socket, const QString& path);

    QSslServer server_;
    QHash<QString, Response> responses_;
    QList<QString> requests_;
    QList<QString> silent_;
    QByteArray lastHead_;
    QByteArray lastBody_;
};

}  // namespace veltrix::test

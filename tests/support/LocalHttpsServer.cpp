#include "support/LocalHttpsServer.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <memory>

#include <stdexcept>

namespace veltrix::test {
namespace {

QByteArray readFile(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error("cannot read " + path.string());
    return file.readAll();
}

}  // namespace

LocalHttpsServer::LocalHttpsServer(const std::filesystem::path& certificate, const std::filesystem::path& key,
                                   QObject* parent)
    : QObject(parent) {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(QSslCertificate(readFile(certificate), QSsl::Pem));
    configuration.setPrivateKey(QSslKey(readFile(key), QSsl::Ec, QSsl::Pem));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server_.setSslConfiguration(configuration);
    connect(&server_, &QSslServer::pendingConnectionAvailable, this, [this] {
        while (server_.hasPendingConnections()) {
            auto* socket = static_cast<QSslSocket*>(server_.nextPendingConnection());
            socket->setParent(this);
            onEncrypted(socket);
        }
    });
    if (!server_.listen(QHostAddress::LocalHost, 0)) throw std::runtime_error("LocalHttpsServer: cannot listen");
}

QString LocalHttpsServer::origin() const { return QStringLiteral("localhost:%1").arg(port()); }

void LocalHttpsServer::onEncrypted(QSslSocket* socket) {
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
        buffer->append(socket->readAll());
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        if (end < 0) return;
        const QByteArray head = buffer->left(end);
        qint64 length = 0;
        for (const QByteArray& line : head.split('\n')) {
            if (line.trimmed().toLower().startsWith("content-length:")) length = line.mid(15).trimmed().toLongLong();
        }
        if (buffer->size() < end + 4 + length) return;  // the body is still arriving
        const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
        lastHead_ = head;
        lastBody_ = buffer->mid(end + 4, length);
        buffer->clear();
        answer(socket, requestLine.size() >= 2 ? QString::fromLatin1(requestLine[1]) : QString());
    });
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
}

void LocalHttpsServer::answer(QSslSocket* socket, const QString& path) {
    requests_.append(path);
    if (silent_.contains(path)) return;
    const auto found = responses_.constFind(path);
    const Response response = found != responses_.constEnd() ? *found : Response{404, "not found", {}, -1};
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
    const qint64 length = response.announcedLength >= 0 ? response.announcedLength : response.body.size();
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
    if (response.announcedLength < 0) head += "Connection: close\r\n";
    head += "\r\n";
    if (response.announcedLength < 0) {
        socket->write(head + response.body);
        socket->disconnectFromHost();
        return;
    }
    // A long download: the body again and again in small steps, as a slow large file arrives
    // (the client reports progress only every so often), until the client goes or 10 s pass.
    socket->write(head);
    auto* trickle = new QTimer(socket);
    auto sent = std::make_shared<int>(0);
    connect(trickle, &QTimer::timeout, socket, [socket, trickle, sent, body = response.body] {
        if (++*sent > 200 || socket->state() != QAbstractSocket::ConnectedState) {
            trickle->stop();
            socket->disconnectFromHost();
            return;
        }
        socket->write(body);
    });
    trickle->start(50);
}

}  // namespace veltrix::test

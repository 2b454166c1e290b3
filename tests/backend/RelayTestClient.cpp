#include "RelayTestClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace veltrix::test {

RelayTestClient::RelayTestClient(const std::filesystem::path& caFile) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(caFile.string())));
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket_.setSslConfiguration(tls);
    QObject::connect(&socket_, &QSslSocket::readyRead, [this] { parse(); });
}

bool RelayTestClient::connectTo(quint16 port, const QString& host) {
    socket_.connectToHostEncrypted(host, port);
    return waitUntil([this] { return socket_.isEncrypted() || socket_.state() == QAbstractSocket::UnconnectedState; }) &&
           socket_.isEncrypted();
}

void RelayTestClient::sendRaw(const QByteArray& bytes) { socket_.write(bytes); }

void RelayTestClient::sendFrame(std::uint8_t channel, const QByteArray& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    QByteArray frame;
    frame.append(static_cast<char>(channel));
    for (int shift = 24; shift >= 0; shift -= 8) frame.append(static_cast<char>((n >> shift) & 0xff));
    frame.append(payload);
    socket_.write(frame);
}

void RelayTestClient::sendJoin(const QString& sessionId, const QString& relayToken) {
    const QJsonObject join{{"relay_token", relayToken}, {"session_id", sessionId}, {"type", "relay_join"}};
    sendFrame(0, QJsonDocument(join).toJson(QJsonDocument::Compact));
}

void RelayTestClient::parse() {
    buffer_.append(socket_.readAll());
    while (buffer_.size() >= 5) {
        const auto* b = reinterpret_cast<const unsigned char*>(buffer_.constData());
        const std::uint32_t n = (std::uint32_t(b[1]) << 24) | (std::uint32_t(b[2]) << 16) | (std::uint32_t(b[3]) << 8) | b[4];
        if (buffer_.size() < qsizetype(n) + 5) return;
        frames.append({b[0], buffer_.mid(5, n)});
        buffer_.remove(0, qsizetype(n) + 5);
    }
}

bool RelayTestClient::waitForFrames(int count, std::chrono::milliseconds limit) {
    return waitUntil([&] { return frames.size() >= count; }, limit);
}

bool RelayTestClient::waitForClose(std::chrono::milliseconds limit) {
    return waitUntil([this] { return socket_.state() == QAbstractSocket::UnconnectedState; }, limit);
}

}  // namespace veltrix::test

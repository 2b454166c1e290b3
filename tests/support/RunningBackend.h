#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWebSocket>

#include <chrono>
#include <filesystem>

namespace veltrix::test {

// The backend as the devices meet it: started by scripts/backend in a private folder (free
// loopback ports, its own CA, coturn), stopped again by the destructor.
class RunningBackend {
public:
    explicit RunningBackend(QStringList extraArguments = {});
    ~RunningBackend();
    RunningBackend(const RunningBackend&) = delete;
    RunningBackend& operator=(const RunningBackend&) = delete;

    // More arguments for the next start (for a test that needs the folder before it can name them).
    void addArguments(const QStringList& arguments) { extra_ += arguments; }
    bool start();
    bool stop();
    const QString& output() const { return output_; }

    QString folder() const { return folder_.path(); }
    std::filesystem::path caFile() const { return (folder_.path() + "/tls/ca.pem").toStdString(); }
    quint16 apiPort() const { return quint16(endpoints_["api_port"].toInt()); }
    quint16 failoverPort() const { return quint16(endpoints_["failover_port"].toInt()); }
    quint16 echoPort() const { return quint16(endpoints_["echo_port"].toInt()); }
    quint16 downloadPort() const { return quint16(endpoints_["download_port"].toInt()); }
    quint16 helpDeskPort() const { return quint16(endpoints_["helpdesk_port"].toInt()); }
    quint16 relayPort() const;
    quint16 stunPort() const { return quint16(endpoints_["stun_port"].toInt()); }
    quint16 turnPort() const { return quint16(endpoints_["turn_port"].toInt()); }
    QString turnPassword() const { return endpoints_["turn_password"].toString(); }

private:
    bool runScript(const QStringList& arguments);
    QTemporaryDir folder_;
    QStringList extra_;
    QJsonObject endpoints_;
    QString output_;
    bool running_ = false;
};

struct Reply {
    int status = 0;
    QJsonDocument body;
    QByteArray raw;
    QString detail() const { return body.object().value("detail").toString(); }
};

// HTTPS requests that trust only the backend's CA and check the host name.
class HttpsClient {
public:
    explicit HttpsClient(const std::filesystem::path& caFile);
    Reply send(const QByteArray& method, const QString& url, const QByteArray& body = {}, const QString& token = {});
    Reply post(const QString& url, const QJsonObject& body, const QString& token = {});

private:
    QNetworkAccessManager manager_;
    QSslConfiguration tls_;
};

// A device's signaling socket.
class SignalingTestClient {
public:
    explicit SignalingTestClient(const std::filesystem::path& caFile);
    bool open(quint16 port, const QString& clientId);
    void send(const QJsonObject& message);
    // Opens and authenticates; true on AUTH_OK.
    bool authenticate(quint16 port, const QString& clientId, const QString& token);
    // Waits for the next message of `type` not yet returned and removes it from the inbox.
    QJsonObject waitFor(const QString& type, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool waitForClose(std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool isOpen() const { return socket_.state() == QAbstractSocket::ConnectedState; }

    QList<QJsonObject> inbox;

private:
    QWebSocket socket_;
};

// Registers a device (sending the device secret when one is given); returns the reply object
// (client_id, device_secret, token, ...).
QJsonObject registerDevice(HttpsClient& http, quint16 port, const QString& name, const QString& fingerprint = {},
                           const QString& deviceSecret = {});

}  // namespace veltrix::test

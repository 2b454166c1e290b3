#include "RunningBackend.h"

#include <QFile>
#include <QJsonArray>
#include <QNetworkReply>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <cstdlib>

#include "WaitUntil.h"

namespace veltrix::test {

RunningBackend::RunningBackend(QStringList extraArguments) : extra_(std::move(extraArguments)) {}

RunningBackend::~RunningBackend() {
    if (running_) stop();
}

bool RunningBackend::runScript(const QStringList& arguments) {
    const char* source = std::getenv("VELTRIX_SOURCE_DIR");
    const char* build = std::getenv("VELTRIX_BUILD_DIR");
    if (!source) source = VELTRIX_TEST_SOURCE_DIR;
    if (!build) build = VELTRIX_TEST_BUILD_DIR;
    QProcess script;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELTRIX_BUILD_DIR", build);
    script.setProcessEnvironment(environment);
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QString(source) + "/scripts/backend", arguments);
    const bool finished = script.waitForFinished(30000);
    output_ += QString::fromUtf8(script.readAll());
    if (!finished || script.exitCode() != 0) output_ += "\n(" + script.program() + ": " + script.errorString() + ")";
    return finished && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
}

bool RunningBackend::start() {
    if (!runScript(QStringList{"start", "--dir", folder_.path()} + extra_)) return false;
    running_ = true;
    QFile file(folder_.path() + "/endpoints.json");
    if (!file.open(QIODevice::ReadOnly)) return false;
    endpoints_ = QJsonDocument::fromJson(file.readAll()).object();
    return apiPort() != 0;
}

bool RunningBackend::stop() {
    running_ = false;
    return runScript({"stop", "--dir", folder_.path()});
}

quint16 RunningBackend::relayPort() const { return quint16(endpoints_["relay_ports"].toArray().at(0).toInt()); }

namespace {

QSslConfiguration trusting(const std::filesystem::path& caFile) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(caFile.string())));
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return tls;
}

}  // namespace

HttpsClient::HttpsClient(const std::filesystem::path& caFile) : tls_(trusting(caFile)) {}

Reply HttpsClient::send(const QByteArray& method, const QString& url, const QByteArray& body, const QString& token) {
    QNetworkRequest request{QUrl(url)};
    request.setSslConfiguration(tls_);
    if (!body.isEmpty() || method != "GET") request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    if (!token.isEmpty()) request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QNetworkReply* reply = manager_.sendCustomRequest(request, method, body);
    waitUntil([reply] { return reply->isFinished(); });
    Reply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.raw = reply->readAll();
    out.body = QJsonDocument::fromJson(out.raw);
    reply->deleteLater();
    return out;
}

Reply HttpsClient::post(const QString& url, const QJsonObject& body, const QString& token) {
    return send("POST", url, QJsonDocument(body).toJson(QJsonDocument::Compact), token);
}

SignalingTestClient::SignalingTestClient(const std::filesystem::path& caFile)
    : socket_(QString(), QWebSocketProtocol::VersionLatest) {
    socket_.setSslConfiguration(trusting(caFile));
    QObject::connect(&socket_, &QWebSocket::textMessageReceived,
                     [this](const QString& text) { inbox.append(QJsonDocument::fromJson(text.toUtf8()).object()); });
}

bool SignalingTestClient::open(quint16 port, const QString& clientId) {
    socket_.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/ws/clients/%2").arg(port).arg(clientId)));
    return waitUntil([this] {
               return socket_.state() == QAbstractSocket::ConnectedState ||
                      socket_.state() == QAbstractSocket::UnconnectedState;
           }) &&
           isOpen();
}

void SignalingTestClient::send(const QJsonObject& message) {
    socket_.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

bool SignalingTestClient::authenticate(quint16 port, const QString& clientId, const QString& token) {
    if (!open(port, clientId)) return false;
    send({{"type", "AUTH"}, {"token", token}});
    return !waitFor("AUTH_OK").isEmpty();
}

QJsonObject SignalingTestClient::waitFor(const QString& type, std::chrono::milliseconds limit) {
    QJsonObject found;
    waitUntil(
        [&] {
            for (qsizetype i = 0; i < inbox.size(); ++i) {
                if (inbox[i].value("type").toString() == type) {
                    found = inbox.takeAt(i);
                    return true;
                }
            }
            return false;
        },
        limit);
    return found;
}

bool SignalingTestClient::waitForClose(std::chrono::milliseconds limit) {
    return waitUntil([this] { return socket_.state() == QAbstractSocket::UnconnectedState; }, limit);
}

QJsonObject registerDevice(HttpsClient& http, quint16 port, const QString& name, const QString& fingerprint,
                           const QString& deviceSecret) {
    QJsonObject body{{"client_name", name}, {"agent_version", "0.1.0"}};
    if (!fingerprint.isEmpty()) body["machine_fingerprint"] = fingerprint;
    if (!deviceSecret.isEmpty()) body["device_secret"] = deviceSecret;
    return http.post(QStringLiteral("https://127.0.0.1:%1/auth/auto-register").arg(port), body).body.object();
}

}  // namespace veltrix::test

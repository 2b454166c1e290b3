#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <vector>

#include "ApiService.h"
#include "BackendState.h"
#include "DownloadHost.h"
#include "HelpDeskHost.h"
#include "HttpServer.h"
#include "RelayNode.h"
#include "SignalingHub.h"

namespace veltrix::backend {

struct BackendOptions {
    QString certificateFile;
    QString keyFile;
    QString dataFolder;
    quint16 apiPort = 0;
    quint16 failoverPort = 0;
    quint16 echoPort = 0;
    quint16 downloadPort = 0;
    quint16 helpDeskPort = 0;
    DownloadHost::Options download;
    HelpDeskHost::Reply helpDeskReply = HelpDeskHost::Reply::Success;
    QList<quint16> relayPorts{0};
    std::chrono::seconds tokenLifetime{3600};
    RelayLimits relayLimits;
    bool relayAcceptsAnyToken = false;
    int signalingAuthTimeoutMs = 10000;
    CompanyConfig company;
    TurnOffer turn;
    SessionOffer sessionOffer = SessionOffer::AutoAccept;
};

// The whole backend in one process on 127.0.0.1: the REST API with its signaling WebSocket on
// the API port and, sharing all state, on the fail-over port; the relay node(s); the public-IP
// echo; the download host of updates and the help-desk host. Ports given as 0 are chosen by the system; ports() tells which were taken.
class BackendServer : public QObject {
    Q_OBJECT
public:
    explicit BackendServer(BackendOptions options, QObject* parent = nullptr);
    ~BackendServer() override;

    bool start();

    quint16 apiPort() const;
    quint16 failoverPort() const;
    quint16 echoPort() const;
    quint16 downloadPort() const;
    quint16 helpDeskPort() const;
    QList<quint16> relayPorts() const;
    BackendState& state() { return *state_; }

    // {"api_port", "failover_port", "echo_port", "download_port", "helpdesk_port", "relay_ports": [...]}
    // once started.
    QByteArray endpointsJson() const;

private:
    bool startHosts(const QSslConfiguration& tls);

    BackendOptions options_;
    std::unique_ptr<BackendState> state_;
    std::unique_ptr<SignalingHub> signaling_;
    std::unique_ptr<ApiService> api_;
    std::unique_ptr<HttpServer> primary_;
    std::unique_ptr<HttpServer> failover_;
    std::unique_ptr<HttpServer> echo_;
    std::unique_ptr<DownloadHost> downloads_;
    std::unique_ptr<HelpDeskHost> helpDesk_;
    std::unique_ptr<HttpServer> downloadServer_;
    std::unique_ptr<HttpServer> helpDeskServer_;
    std::vector<std::unique_ptr<RelayNode>> relays_;
};

// Reads a company file: {"company_name": text, "every_device": bool,
// "clients": [{"id": nine digits, "label": text}, ...]}. False with `error` set when it is unusable.
bool loadCompanyFile(const QString& path, CompanyConfig& company, QString& error);

}  // namespace veltrix::backend

#pragma once

#include <QHostAddress>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>
#include <QUrl>

#include <optional>

#include "core/StunBinding.h"

namespace veltrix {

class ApiClient;

// Tells the backend at a fixed period that this machine is online and how it can be reached: its
// local IPv4 address, its public address from an echo service, and a NAT judgement from two STUN
// binding requests sent from one local socket to two STUN servers at different addresses: a NAT
// that maps the socket to one public port whatever the destination is not symmetric, one that
// gives each destination its own port is. The first judgement holds for the process.
class HeartbeatService : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultDetectionTimeoutMs = 3000;
    // Unanswered STUN requests are sent again this often until the detection times out: a
    // datagram lost, or sent before the server listened, must not decide the NAT type.
    static constexpr int kProbeRetransmitMs = 500;

    explicit HeartbeatService(ApiClient& api, QObject* parent = nullptr);
    ~HeartbeatService() override;

    void start(int intervalMs);
    void stop();
    bool isRunning() const { return heartbeatTimer_.isActive(); }

    QString publicIp() const { return publicIp_; }
    QString natType() const { return natType_; }

    // Where the probes and the echo request go ("stun/host", "stun/secondary_host", "stun/port",
    // "echo/url" in the instance file by default). Without a second server both probes ask the
    // first, which cannot tell a symmetric NAT.
    void setStunServers(const QString& primaryHost, const QString& secondaryHost, quint16 port);
    // How long the echo request may go without an answer.
    void setEchoTimeout(int milliseconds) { echoTimeoutMs_ = milliseconds; }
    void setPublicIpUrl(const QUrl& url);
    void setDetectionTimeout(int milliseconds);

    // The first IPv4 address that is not 127.0.0.1, as text; empty when there is none.
    static QString firstLocalIpv4(const QList<QHostAddress>& addresses);

    // The judgement from the addresses that the two servers saw for the one probe socket: the
    // same public address with two ports is "SymmetricNAT", anything else "PortRestricted".
    static QString judgeNat(const stun::MappedAddress& fromPrimary, const stun::MappedAddress& fromSecondary);

public slots:
    void sendHeartbeat();
    void fetchPublicIp();
    void detectNatType();

private:
    // One binding request of a detection, to one of the two servers.
    struct Probe {
        QString host;
        stun::TransactionId id{};
        std::optional<stun::MappedAddress> answer;
        std::optional<QHostAddress> server;  // once resolved
    };

    void resolveAndSend(int index, quint64 detection);
    void sendProbe(int index, const QHostAddress& server, quint64 detection);
    void onProbeReadable();
    void onDetectionTimeout();
    void resendUnansweredProbes();
    void closeProbes();

    ApiClient& api_;
    QTimer heartbeatTimer_;
    QTimer detectionTimer_;
    QTimer retransmitTimer_;
    QNetworkAccessManager network_;
    QString publicIp_;
    QString natType_;
    QUdpSocket* probeSocket_ = nullptr;
    Probe probes_[2];
    quint64 detection_ = 0;  // counts detections, so a late name lookup of an older one is dropped
    QString stunHosts_[2];
    quint16 stunPort_;
    QUrl publicIpUrl_;
    int echoTimeoutMs_ = 20000;
};

}  // namespace veltrix

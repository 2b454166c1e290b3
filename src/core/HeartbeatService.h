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
// binding requests sent from two local sockets. The first judgement holds for the process.
class HeartbeatService : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultDetectionTimeoutMs = 3000;

    explicit HeartbeatService(ApiClient& api, QObject* parent = nullptr);
    ~HeartbeatService() override;

    void start(int intervalMs);
    void stop();
    bool isRunning() const { return heartbeatTimer_.isActive(); }

    QString publicIp() const { return publicIp_; }
    QString natType() const { return natType_; }

    // Where the probes and the echo request go ("stun/host", "stun/port", "echo/url" in the
    // instance file by default).
    void setStunServer(const QString& host, quint16 port);
    void setPublicIpUrl(const QUrl& url);
    void setDetectionTimeout(int milliseconds);

    // The first IPv4 address that is not 127.0.0.1, as text; empty when there is none.
    static QString firstLocalIpv4(const QList<QHostAddress>& addresses);

    // The judgement from the mapped addresses of the two sockets and their local ports. A NAT
    // that keeps each socket's port is not symmetric; without NAT both ports are kept too.
    static QString judgeNat(const stun::MappedAddress& first, quint16 firstLocalPort,
                            const stun::MappedAddress& second, quint16 secondLocalPort);

public slots:
    void sendHeartbeat();
    void fetchPublicIp();
    void detectNatType();

private:
    struct Probe {
        QUdpSocket* socket = nullptr;
        stun::TransactionId id{};
        std::optional<stun::MappedAddress> answer;
    };

    void sendProbes(const QHostAddress& server, quint64 detection);
    void onProbeReadable(int index);
    void onDetectionTimeout();
    void closeProbes();

    ApiClient& api_;
    QTimer heartbeatTimer_;
    QTimer detectionTimer_;
    QNetworkAccessManager network_;
    QString publicIp_;
    QString natType_;
    Probe probes_[2];
    quint64 detection_ = 0;  // counts detections, so a late name lookup of an older one is dropped
    QString stunHost_;
    quint16 stunPort_;
    QUrl publicIpUrl_;
};

}  // namespace veltrix

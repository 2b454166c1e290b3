#include "core/HeartbeatService.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <spdlog/spdlog.h>

#include "core/ApiClient.h"
#include "platform/InstanceConfig.h"
#include "platform/TrustedCertificates.h"
#include "shared/Logging.h"

namespace veltrix {
namespace {

constexpr const char* kDefaultStunHost = "stun.l.google.com";
constexpr const char* kDefaultSecondaryStunHost = "stun1.l.google.com";
constexpr quint16 kDefaultStunPort = 19302;
constexpr const char* kDefaultEchoUrl = "https://api.ipify.org";
// An address is a few dozen bytes; anything longer is not an answer.
constexpr qint64 kMaxEchoBody = 256;

std::string text(const QString& value) { return value.toStdString(); }

QString configured(const char* key, const char* fallback) {
    const auto value = platform::config::value(key);
    return QString::fromStdString(value && !value->empty() ? *value : std::string(fallback));
}

// The second server of the NAT probe: the configured one; the public default only beside the
// public default first server; else the first server again.
QString configuredSecondaryStunHost(const QString& primary) {
    const auto value = platform::config::value("stun/secondary_host");
    if (value && !value->empty()) return QString::fromStdString(*value);
    return platform::config::value("stun/host") ? primary : QString::fromLatin1(kDefaultSecondaryStunHost);
}

quint16 configuredPort(const char* key, quint16 fallback) {
    const auto value = platform::config::value(key);
    if (!value) return fallback;
    bool ok = false;
    const uint port = QString::fromStdString(*value).toUInt(&ok);
    return ok && port > 0 && port <= 65535 ? static_cast<quint16>(port) : fallback;
}

}  // namespace

HeartbeatService::HeartbeatService(ApiClient& api, QObject* parent)
    : QObject(parent),
      api_(api),
      stunHosts_{configured("stun/host", kDefaultStunHost),
                 configuredSecondaryStunHost(configured("stun/host", kDefaultStunHost))},
      stunPort_(configuredPort("stun/port", kDefaultStunPort)),
      publicIpUrl_(configured("echo/url", kDefaultEchoUrl)) {
    connect(&heartbeatTimer_, &QTimer::timeout, this, &HeartbeatService::sendHeartbeat);
    detectionTimer_.setSingleShot(true);
    detectionTimer_.setInterval(kDefaultDetectionTimeoutMs);
    connect(&detectionTimer_, &QTimer::timeout, this, &HeartbeatService::onDetectionTimeout);
    retransmitTimer_.setInterval(kProbeRetransmitMs);
    connect(&retransmitTimer_, &QTimer::timeout, this, &HeartbeatService::resendUnansweredProbes);
}

HeartbeatService::~HeartbeatService() { closeProbes(); }

void HeartbeatService::setStunServers(const QString& primaryHost, const QString& secondaryHost, quint16 port) {
    stunHosts_[0] = primaryHost;
    stunHosts_[1] = secondaryHost.isEmpty() ? primaryHost : secondaryHost;
    stunPort_ = port;
}

void HeartbeatService::setPublicIpUrl(const QUrl& url) { publicIpUrl_ = url; }

void HeartbeatService::setDetectionTimeout(int milliseconds) { detectionTimer_.setInterval(milliseconds); }

void HeartbeatService::start(int intervalMs) {
    spdlog::info("Heartbeat service started (interval: {} ms)", intervalMs);
    fetchPublicIp();
    detectNatType();
    heartbeatTimer_.start(intervalMs);
    sendHeartbeat();
}

void HeartbeatService::stop() {
    heartbeatTimer_.stop();
    closeProbes();
    spdlog::info("Heartbeat service stopped");
}

QString HeartbeatService::firstLocalIpv4(const QList<QHostAddress>& addresses) {
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && address != QHostAddress(QHostAddress::LocalHost)) {
            return address.toString();
        }
    }
    return {};
}

void HeartbeatService::sendHeartbeat() {
    api_.sendHeartbeat(firstLocalIpv4(QNetworkInterface::allAddresses()), publicIp_, natType_);
}

// --- public address -------------------------------------------------------------------------------

void HeartbeatService::fetchPublicIp() {
    QNetworkRequest request(publicIpUrl_);
    request.setSslConfiguration(platform::tls::clientConfiguration());
    request.setTransferTimeout(echoTimeoutMs_);
    QNetworkReply* reply = network_.get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            spdlog::warn("HeartbeatService: public IP request failed: {}", text(reply->errorString()));
            return;
        }
        const QString body = QString::fromUtf8(reply->read(kMaxEchoBody)).trimmed();
        QHostAddress address;
        if (!address.setAddress(body)) {
            spdlog::warn("HeartbeatService: public IP echo answered no address");
            return;
        }
        publicIp_ = address.toString();
        spdlog::info("Public IP detected: {}", logging::peerText(publicIp_));
    });
}

// --- NAT judgement --------------------------------------------------------------------------------

QString HeartbeatService::judgeNat(const stun::MappedAddress& fromPrimary, const stun::MappedAddress& fromSecondary) {
    if (fromPrimary.address == fromSecondary.address && fromPrimary.port != fromSecondary.port) {
        return QStringLiteral("SymmetricNAT");
    }
    return QStringLiteral("PortRestricted");
}

void HeartbeatService::detectNatType() {
    const quint64 detection = ++detection_;
    closeProbes();
    probeSocket_ = new QUdpSocket(this);
    if (!probeSocket_->bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        spdlog::warn("HeartbeatService: cannot bind the STUN probe socket: {}", text(probeSocket_->errorString()));
    }
    connect(probeSocket_, &QUdpSocket::readyRead, this, &HeartbeatService::onProbeReadable);
    for (int i = 0; i < 2; ++i) {
        probes_[i].host = stunHosts_[i];
        probes_[i].id = stun::randomTransactionId();
        probes_[i].answer.reset();
        probes_[i].server.reset();
    }
    // One timer for every detection: a new detection restarts it, so an older one cannot cut it.
    detectionTimer_.start();
    retransmitTimer_.start();
    for (int i = 0; i < 2; ++i) resolveAndSend(i, detection);
}

void HeartbeatService::resolveAndSend(int index, quint64 detection) {
    const QString host = probes_[index].host;
    QHostAddress literal;
    if (literal.setAddress(host) && literal.protocol() == QAbstractSocket::IPv4Protocol) {
        sendProbe(index, literal, detection);
        return;
    }
    QHostInfo::lookupHost(host, this, [this, index, detection, host](const QHostInfo& info) {
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) return sendProbe(index, address, detection);
        }
        spdlog::warn("HeartbeatService: STUN server {} did not resolve to IPv4", text(host));
    });
}

void HeartbeatService::sendProbe(int index, const QHostAddress& server, quint64 detection) {
    if (detection != detection_ || !probeSocket_) return;
    probes_[index].server = server;
    probeSocket_->writeDatagram(stun::bindingRequest(probes_[index].id), server, stunPort_);
}

void HeartbeatService::resendUnansweredProbes() {
    if (!probeSocket_) return;
    // The same transaction: an answer to either copy of the request counts.
    for (const Probe& probe : probes_) {
        if (probe.server && !probe.answer) {
            probeSocket_->writeDatagram(stun::bindingRequest(probe.id), *probe.server, stunPort_);
        }
    }
}

void HeartbeatService::onProbeReadable() {
    QUdpSocket* socket = probeSocket_;
    while (socket && socket->hasPendingDatagrams()) {
        QByteArray datagram(static_cast<qsizetype>(std::max<qint64>(socket->pendingDatagramSize(), 0)), '\0');
        const qint64 read = socket->readDatagram(datagram.data(), datagram.size());
        if (read < 0) break;
        datagram.truncate(read);
        // The transaction ID tells which server answered.
        for (Probe& probe : probes_) {
            if (!probe.answer) {
                if ((probe.answer = stun::parseBindingResponse(datagram, probe.id))) break;
            }
        }
    }
    if (!probes_[0].answer || !probes_[1].answer) return;
    if (natType_.isEmpty()) {
        natType_ = judgeNat(*probes_[0].answer, *probes_[1].answer);
        spdlog::info("NAT type detected: {}", text(natType_));
    }
    closeProbes();
}

void HeartbeatService::onDetectionTimeout() {
    if (natType_.isEmpty()) {
        spdlog::info("STUN NAT detection timed out");
        natType_ = QStringLiteral("Unknown");
    }
    closeProbes();
}

void HeartbeatService::closeProbes() {
    retransmitTimer_.stop();
    if (!probeSocket_) return;
    QUdpSocket* socket = std::exchange(probeSocket_, nullptr);
    socket->disconnect(this);
    socket->close();
    socket->deleteLater();
}

}  // namespace veltrix

#pragma once

#include "transport/ITransport.h"
#include "transport/RelayCandidate.h"
#include "transport/TransportFactory.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>

namespace veltrix::test {

// One side's transport set-up as another implementation would build it from the protocol alone:
// peer to peer first, the relay after the time-out, and the first transport up is the session's
// for good. It sends nothing of its own on either transport and never switches. It takes our
// real transports, so what reaches the wire is what such a peer would put there.
class IndependentTransportPeer {
public:
    explicit IndependentTransportPeer(std::chrono::milliseconds p2pTimeout) {
        timer_.setSingleShot(true);
        timer_.setInterval(p2pTimeout);
        QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { onP2PTimeout(); });
    }
    ~IndependentTransportPeer() {
        delete p2p_;
        delete relay_;
    }

    std::function<void(const QString& method)> onEstablished;
    std::function<void(const QString& sdp, const QString& type)> onLocalDescription;
    std::function<void(const QString& candidate, const QString& mid)> onLocalCandidate;

    void establish(const QString& sessionId, const RelayCandidate& relay, bool offerer) {
        sessionId_ = sessionId;
        relayNode_ = relay;
        p2p_ = TransportFactory::standard().createP2P();
        QObject::connect(p2p_, &ITransport::connected, &context_, [this] { onP2PConnected(); });
        QObject::connect(p2p_, &IP2PTransport::localDescriptionReady, &context_,
                         [this](const QString& sdp, const QString& type) { onLocalDescription(sdp, type); });
        QObject::connect(p2p_, &IP2PTransport::localCandidateReady, &context_,
                         [this](const QString& candidate, const QString& mid) { onLocalCandidate(candidate, mid); });
        timer_.start();
        offerer ? p2p_->startAsOfferer() : p2p_->startAsAnswerer();
    }

    void setRemoteDescription(const QString& sdp, const QString& type) {
        if (p2p_) p2p_->setRemoteDescription(sdp, type);
    }
    void addRemoteCandidate(const QString& candidate, const QString& mid) {
        if (p2p_) p2p_->addRemoteCandidate(candidate, mid);
    }

    ITransport* active() const { return active_; }
    const QList<QByteArray>& received() const { return received_; }
    bool send(const QByteArray& data) {
        return active_ && active_->send(ChannelType::Control, reinterpret_cast<const std::uint8_t*>(data.constData()),
                                        static_cast<std::uint64_t>(data.size()));
    }

private:
    void onP2PTimeout() {
        QObject::disconnect(p2p_, nullptr, &context_, nullptr);
        p2p_->disconnect();
        relay_ = TransportFactory::standard().createRelay();
        relay_->setSessionId(sessionId_);
        relay_->setRelayToken(QStringLiteral("token"));
        QObject::connect(relay_, &ITransport::connected, &context_, [this] { onRelayConnected(); });
        relay_->connect(relayNode_.host.toUtf8(), static_cast<std::uint16_t>(relayNode_.port));
    }

    void onP2PConnected() {
        timer_.stop();
        delete relay_;
        relay_ = nullptr;
        take(p2p_, QStringLiteral("p2p"));
    }

    void onRelayConnected() {
        timer_.stop();
        QObject::disconnect(p2p_, nullptr, &context_, nullptr);
        p2p_->disconnect();
        take(relay_, QStringLiteral("relay"));
    }

    // The session's receiver hears the transport that came up, and only that one.
    void take(ITransport* transport, const QString& method) {
        active_ = transport;
        QObject::connect(transport, &ITransport::dataReceived, &context_,
                         [this](ChannelType, const QByteArray& data) { received_ << data; });
        onEstablished(method);
    }

    QObject context_;
    QTimer timer_;
    QString sessionId_;
    RelayCandidate relayNode_;
    IP2PTransport* p2p_ = nullptr;
    IRelayTransport* relay_ = nullptr;
    ITransport* active_ = nullptr;
    QList<QByteArray> received_;
};

}  // namespace veltrix::test

#pragma once

#include "transport/ITransport.h"
#include "transport/RelayCandidate.h"
#include "transport/TransportFactory.h"
#include "transport/TurnServerConfig.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

namespace veltrix {

// Chooses and establishes the transport of one session: peer to peer first when both NAT types
// allow it, the relay after a time-out or straight away otherwise. Reports the winner as "p2p" or
// "relay". Lives on the service's Qt thread; one per session set-up.
//
// Nothing about the choice travels on the wire, yet both sides must end on the same transport.
// Each side takes the first of its attempts to come up. The offerer (the Master) drops its other
// attempt at once; its session data, which it starts sending as soon as it is up and repeats until
// it is answered, then travels on the transport it took. The answerer keeps its other attempt
// until that data arrives and follows the transport it arrives on: when that is not the one it
// took, it reports the other as established and drops the first. Until then a drop of the
// answerer's transport (the offerer may have closed it, having taken the other) does not end the
// session, and an answerer on peer to peer still connects the relay at the peer-to-peer time-out
// in case the offerer took that.
//
// The session receives through the manager: dataReceived() and transportDisconnected() carry what
// the transport in use delivers, so a switch needs nothing from the receiver. Connected queued,
// like connectionEstablished(), they arrive after the establishment they follow.
//
// The manager owns its transports. Transports it gives up are disconnected from it, closed and
// deleted through the event loop, because the code that made it give them up may be running
// inside one of their signals.
class TransportManager : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kDefaultP2PTimeout{5000};

    explicit TransportManager(QObject* parent = nullptr);
    explicit TransportManager(TransportFactory factory, QObject* parent = nullptr);
    ~TransportManager() override;

    // Starts connecting the session. NAT types are the codes 0 (Unknown) to 4 (SymmetricNAT).
    void establishConnection(const QString& sessionId, int localNatType, int remoteNatType,
                             const QList<RelayCandidate>& relayCandidates, bool offerer,
                             const QString& relayToken);

    // The transport the session uses; null until one is established, and while an answerer that
    // lost its transport before the offerer's data waits for the other one.
    ITransport* activeTransport() const { return active_; }

    // The partner's session description and ICE candidates, for the current peer-to-peer attempt;
    // ignored when there is none.
    void setRemoteDescription(const QString& sdp, const QString& type);
    void addRemoteCandidate(const QString& candidate, const QString& mid);

    // Stops every attempt, drops the transports and forgets the session. The relay token and the
    // TURN settings stay.
    void reset();

    // Copied into every peer-to-peer transport made after the call.
    void setTurnServerConfig(const TurnServerConfig& config) { turn_ = config; }
    const TurnServerConfig& turnServerConfig() const { return turn_; }

    // How long the peer-to-peer attempt may take before the relay is tried.
    void setP2PTimeout(std::chrono::milliseconds timeout) { p2pTimeout_ = timeout; }
    std::chrono::milliseconds p2pTimeout() const { return p2pTimeout_; }

signals:
    // A transport is up and in use; again when the answerer follows the offerer onto the other
    // transport, and when a relay connection is renewed.
    void connectionEstablished(const QString& method);
    void connectionFailed(const QString& reason);
    void localDescriptionReady(const QString& sdp, const QString& type);
    void localCandidateReady(const QString& candidate, const QString& mid);
    // What the transport in use received, and its loss.
    void dataReceived(veltrix::ChannelType channel, const QByteArray& data);
    void transportDisconnected();

public slots:
    void onP2PConnected();
    void onP2PError(const QString& error);
    void onP2PTimeout();
    void onRelayConnected();
    void onRelayError(const QString& error);

private:
    void startP2P(bool offerer);
    // Starts the relay attempt; false, with the reason, when none could be started.
    bool connectRelay(QString& failure);
    void fallBackToRelay();
    // Receives `transport`'s data and loss.
    void watch(ITransport* transport);
    void onTransportData(ITransport* transport, ChannelType channel, const QByteArray& data);
    void onTransportDisconnected(ITransport* transport);
    // `transport` is up: it becomes the one in use unless the one in use is still up.
    void onUp(ITransport* transport);
    // Makes `transport` the one in use and reports it.
    void take(ITransport* transport);
    // The session's transport is final: the other attempt is dropped.
    void settle();
    QString methodOf(const ITransport* transport) const;
    // Detaches `transport` from the manager, closes it and deletes it through the event loop.
    void retire(ITransport* transport);
    // Closes every attempt and reports `reason`; nothing is reported after it until the next
    // establishConnection().
    void fail(const QString& reason);

    TransportFactory factory_;
    IP2PTransport* p2p_ = nullptr;
    IRelayTransport* relay_ = nullptr;
    ITransport* active_ = nullptr;
    bool failed_ = false;
    bool offerer_ = false;
    // The transport in use is final. The offerer settles when it takes one; the answerer when the
    // offerer's first data arrives.
    bool settled_ = false;
    QTimer p2pTimer_;
    std::chrono::milliseconds p2pTimeout_ = kDefaultP2PTimeout;
    QString sessionId_;
    QString relayToken_;
    QList<RelayCandidate> relayCandidates_;
    TurnServerConfig turn_;
};

}  // namespace veltrix

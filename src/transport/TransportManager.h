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
// Both sides must end on the same transport, so the offerer decides: the first of its attempts to
// come up wins, and it announces the choice to the answerer on the chosen transport. The answerer
// keeps its attempts going and reports only the transport the offerer announced, once it is up;
// an answerer that hears no choice within the peer-to-peer time-out plus a grace period (the
// offerer may have given up the session) reports failure.
//
// The manager owns its transports. Transports it gives up are disconnected from it, closed and
// deleted through the event loop, because the code that made it give them up may be running
// inside one of their signals.
class TransportManager : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kDefaultP2PTimeout{5000};
    // How long after its peer-to-peer time-out the answerer waits for the offerer's choice: time
    // for the offerer's own relay connection to come up.
    static constexpr std::chrono::milliseconds kDefaultChoiceGrace{15000};

    explicit TransportManager(QObject* parent = nullptr);
    explicit TransportManager(TransportFactory factory, QObject* parent = nullptr);
    ~TransportManager() override;

    // Starts connecting the session. NAT types are the codes 0 (Unknown) to 4 (SymmetricNAT).
    void establishConnection(const QString& sessionId, int localNatType, int remoteNatType,
                             const QList<RelayCandidate>& relayCandidates, bool offerer,
                             const QString& relayToken);

    // The transport the session uses; null until one is established.
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

    // How long the answerer waits, beyond the peer-to-peer time-out, for the offerer's choice.
    void setChoiceGrace(std::chrono::milliseconds grace) { choiceGrace_ = grace; }

signals:
    void connectionEstablished(const QString& method);
    void connectionFailed(const QString& reason);
    void localDescriptionReady(const QString& sdp, const QString& type);
    void localCandidateReady(const QString& candidate, const QString& mid);

public slots:
    void onP2PConnected();
    void onP2PError(const QString& error);
    void onP2PTimeout();
    void onRelayConnected();
    void onRelayError(const QString& error);
    void onP2PSelectedByPeer();
    void onRelaySelectedByPeer();
    void onChoiceTimeout();

private:
    enum class Choice { None, P2P, Relay };

    void adoptP2P();
    void adoptRelay();
    void startP2P(bool offerer);
    void connectRelay();
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
    Choice peerChoice_ = Choice::None;  // answerer: what the offerer announced
    QTimer p2pTimer_;
    QTimer choiceTimer_;  // answerer: the wait for the offerer's choice
    std::chrono::milliseconds p2pTimeout_ = kDefaultP2PTimeout;
    std::chrono::milliseconds choiceGrace_ = kDefaultChoiceGrace;
    QString sessionId_;
    QString relayToken_;
    QList<RelayCandidate> relayCandidates_;
    TurnServerConfig turn_;
};

}  // namespace veltrix

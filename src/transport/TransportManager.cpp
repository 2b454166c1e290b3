#include "transport/TransportManager.h"

#include <spdlog/spdlog.h>

#include <utility>

namespace veltrix {
namespace {

constexpr int kMaxP2PCompatibleNat = 3;  // PortRestricted

bool isP2PCompatible(int natType) { return natType >= 0 && natType <= kMaxP2PCompatibleNat; }

bool hasUsablePort(const RelayCandidate& candidate) { return candidate.port >= 1 && candidate.port <= 65535; }

// True when `candidate` should replace `best`: a ranked entry beats an unranked one, a smaller
// rank beats a larger one, and among unranked entries the smaller relay id wins. Ties keep best.
bool isBetterRelay(const RelayCandidate& candidate, const RelayCandidate& best) {
    const bool ranked = candidate.rank >= 0;
    const bool bestRanked = best.rank >= 0;
    if (ranked && !bestRanked) return true;
    if (ranked && bestRanked) return candidate.rank < best.rank;
    if (!ranked && !bestRanked) return QString::compare(candidate.relayId, best.relayId, Qt::CaseSensitive) < 0;
    return false;
}

}  // namespace

TransportManager::TransportManager(QObject* parent) : TransportManager(TransportFactory::standard(), parent) {}

TransportManager::TransportManager(TransportFactory factory, QObject* parent)
    : QObject(parent), factory_(std::move(factory)) {
    p2pTimer_.setSingleShot(true);
    QObject::connect(&p2pTimer_, &QTimer::timeout, this, &TransportManager::onP2PTimeout);
    choiceTimer_.setSingleShot(true);
    QObject::connect(&choiceTimer_, &QTimer::timeout, this, &TransportManager::onChoiceTimeout);
}

TransportManager::~TransportManager() { reset(); }

void TransportManager::establishConnection(const QString& sessionId, int localNatType, int remoteNatType,
                                           const QList<RelayCandidate>& relayCandidates, bool offerer,
                                           const QString& relayToken) {
    reset();
    offerer_ = offerer;
    sessionId_ = sessionId;
    relayToken_ = relayToken;
    relayCandidates_ = relayCandidates;
    if (!offerer) choiceTimer_.start(p2pTimeout_ + choiceGrace_);

    spdlog::info("TransportManager: establishing connection for session {}", sessionId.toStdString());
    spdlog::info("TransportManager: local NAT={}, remote NAT={}, relay candidates={}", localNatType, remoteNatType,
                 relayCandidates.size());

    if (isP2PCompatible(localNatType) && isP2PCompatible(remoteNatType)) {
        spdlog::info("TransportManager: both NATs are P2P-compatible, trying P2P first");
        startP2P(offerer);
    } else {
        spdlog::info("TransportManager: NAT type(s) incompatible with P2P, going directly to relay");
        connectRelay();
    }
}

void TransportManager::setRemoteDescription(const QString& sdp, const QString& type) {
    if (p2p_) p2p_->setRemoteDescription(sdp, type);
}

void TransportManager::addRemoteCandidate(const QString& candidate, const QString& mid) {
    if (p2p_) p2p_->addRemoteCandidate(candidate, mid);
}

void TransportManager::reset() {
    p2pTimer_.stop();
    choiceTimer_.stop();
    failed_ = false;
    peerChoice_ = Choice::None;
    active_ = nullptr;
    retire(std::exchange(p2p_, nullptr));
    retire(std::exchange(relay_, nullptr));
    sessionId_.clear();
    relayCandidates_.clear();
}

void TransportManager::retire(ITransport* transport) {
    if (!transport) return;
    QObject::disconnect(transport, nullptr, this, nullptr);
    // Closing a transport that is still connecting stops it as well; for one already closed it
    // does nothing.
    transport->disconnect();
    // The caller may be inside one of this transport's signals (a session ending from its data
    // slot), so it must outlive the current call chain.
    transport->deleteLater();
}

void TransportManager::startP2P(bool offerer) {
    retire(std::exchange(p2p_, nullptr));
    p2p_ = factory_.createP2P ? factory_.createP2P() : nullptr;
    if (!p2p_) {
        spdlog::warn("TransportManager: no P2P transport available, going directly to relay");
        connectRelay();
        return;
    }
    p2p_->setTurnServerConfig(turn_);
    QObject::connect(p2p_, &ITransport::connected, this, &TransportManager::onP2PConnected);
    QObject::connect(p2p_, &ITransport::transportError, this, &TransportManager::onP2PError);
    QObject::connect(p2p_, &ITransport::selectedByPeer, this, &TransportManager::onP2PSelectedByPeer);
    QObject::connect(p2p_, &IP2PTransport::localDescriptionReady, this, &TransportManager::localDescriptionReady);
    QObject::connect(p2p_, &IP2PTransport::localCandidateReady, this, &TransportManager::localCandidateReady);
    p2pTimer_.start(p2pTimeout_);
    if (offerer) {
        p2p_->startAsOfferer();
    } else {
        p2p_->startAsAnswerer();
    }
}

void TransportManager::onP2PTimeout() {
    spdlog::warn("TransportManager: P2P connection timed out after {} ms, falling back to relay", p2pTimeout_.count());
    // The peer-to-peer attempt stays up: the partner's may be just about to settle on it, and
    // closing it here would leave the two sides on different transports. If it comes up before
    // the relay does, it wins on both sides; a relay that comes up first retires it.
    connectRelay();
}

void TransportManager::connectRelay() {
    const RelayCandidate* best = nullptr;
    for (const RelayCandidate& candidate : std::as_const(relayCandidates_)) {
        if (!hasUsablePort(candidate)) {
            spdlog::warn("TransportManager: skipping relay node '{}' with invalid port {}",
                         candidate.relayId.toStdString(), candidate.port);
            continue;
        }
        if (!best || isBetterRelay(candidate, *best)) best = &candidate;
    }
    if (!best) {
        spdlog::error("TransportManager: no relay candidates available");
        fail(QStringLiteral("No relay candidates available"));
        return;
    }
    const RelayCandidate chosen = *best;
    spdlog::info("TransportManager: connecting to relay node '{}' at {}:{}", chosen.relayId.toStdString(),
                 chosen.host.toStdString(), chosen.port);

    retire(std::exchange(relay_, nullptr));
    relay_ = factory_.createRelay ? factory_.createRelay() : nullptr;
    if (!relay_) {
        spdlog::error("TransportManager: relay connect() returned false");
        fail(QStringLiteral("Failed to initiate relay connection"));
        return;
    }
    relay_->setSessionId(sessionId_);
    relay_->setRelayToken(relayToken_);
    QObject::connect(relay_, &ITransport::connected, this, &TransportManager::onRelayConnected);
    QObject::connect(relay_, &ITransport::transportError, this, &TransportManager::onRelayError);
    QObject::connect(relay_, &ITransport::selectedByPeer, this, &TransportManager::onRelaySelectedByPeer);

    if (!relay_->connect(chosen.host.toUtf8(), static_cast<std::uint16_t>(chosen.port))) {
        spdlog::error("TransportManager: relay connect() returned false");
        fail(QStringLiteral("Failed to initiate relay connection"));
    }
}

void TransportManager::onP2PConnected() {
    if (!p2p_ || failed_ || active_) return;
    if (offerer_) {
        adoptP2P();
        if (active_ == p2p_ && !p2p_->announceSelection())
            spdlog::warn("TransportManager: could not announce the P2P choice to the peer");
    } else if (peerChoice_ == Choice::P2P) {
        adoptP2P();
    } else {
        spdlog::info("TransportManager: P2P connection up, waiting for the offerer's choice");
    }
}

void TransportManager::onP2PSelectedByPeer() {
    if (!p2p_ || failed_ || offerer_ || active_) return;
    spdlog::info("TransportManager: the offerer chose P2P");
    peerChoice_ = Choice::P2P;
    if (p2p_->isConnected()) adoptP2P();
}

void TransportManager::adoptP2P() {
    spdlog::info("TransportManager: P2P connection established");
    p2pTimer_.stop();
    choiceTimer_.stop();
    active_ = p2p_;
    retire(std::exchange(relay_, nullptr));
    emit connectionEstablished(QStringLiteral("p2p"));
}

void TransportManager::onP2PError(const QString& error) {
    spdlog::warn("TransportManager: P2P error: {}", error.toStdString());
}

void TransportManager::onRelayConnected() {
    if (!relay_ || failed_) return;
    if (active_ && active_ != relay_) return;
    // A renewed relay connection is reported again; the offerer announces it again too, for a
    // partner whose own connection was renewed.
    if (offerer_ || active_ == relay_ || peerChoice_ == Choice::Relay) {
        adoptRelay();
        if (offerer_ && active_ == relay_ && !relay_->announceSelection())
            spdlog::warn("TransportManager: could not announce the relay choice to the peer");
    } else {
        spdlog::info("TransportManager: relay connection up, waiting for the offerer's choice");
    }
}

void TransportManager::onRelaySelectedByPeer() {
    if (!relay_ || failed_ || offerer_ || active_) return;
    spdlog::info("TransportManager: the offerer chose the relay");
    peerChoice_ = Choice::Relay;
    if (relay_->isConnected()) adoptRelay();
}

void TransportManager::adoptRelay() {
    spdlog::info("TransportManager: relay connection established");
    p2pTimer_.stop();
    choiceTimer_.stop();
    active_ = relay_;
    if (p2p_) {
        QObject::disconnect(p2p_, nullptr, this, nullptr);
        p2p_->disconnect();
    }
    emit connectionEstablished(QStringLiteral("relay"));
}

void TransportManager::onChoiceTimeout() {
    if (failed_ || active_) return;
    spdlog::warn("TransportManager: the offerer chose no transport within {} ms",
                 (p2pTimeout_ + choiceGrace_).count());
    fail(QStringLiteral("The partner chose no transport in time"));
}

void TransportManager::onRelayError(const QString& error) {
    if (failed_) return;
    spdlog::error("TransportManager: relay connection failed: {}", error.toStdString());
    fail(QStringLiteral("All connection methods failed. Last error: ") + error);
}

void TransportManager::fail(const QString& reason) {
    // A reported failure is final for this attempt: nothing that is still trying may come up
    // afterwards and report success. The active transport, if any, is closed but kept until
    // reset(), since the session may still hold it.
    failed_ = true;
    p2pTimer_.stop();
    choiceTimer_.stop();
    for (ITransport* transport : {static_cast<ITransport*>(p2p_), static_cast<ITransport*>(relay_)}) {
        if (!transport) continue;
        QObject::disconnect(transport, nullptr, this, nullptr);
        transport->disconnect();
    }
    emit connectionFailed(reason);
}

}  // namespace veltrix

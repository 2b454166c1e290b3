#include "transport/TransportManager.h"

#include <QPointer>

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

    spdlog::info("TransportManager: establishing connection for session {}", sessionId.toStdString());
    spdlog::info("TransportManager: local NAT={}, remote NAT={}, relay candidates={}", localNatType, remoteNatType,
                 relayCandidates.size());

    if (isP2PCompatible(localNatType) && isP2PCompatible(remoteNatType)) {
        spdlog::info("TransportManager: both NATs are P2P-compatible, trying P2P first");
        startP2P(offerer);
    } else {
        spdlog::info("TransportManager: NAT type(s) incompatible with P2P, going directly to relay");
        fallBackToRelay();
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
    failed_ = false;
    settled_ = false;
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

void TransportManager::watch(ITransport* transport) {
    QObject::connect(transport, &ITransport::dataReceived, this,
                     [this, transport](ChannelType channel, const QByteArray& data) {
                         onTransportData(transport, channel, data);
                     });
    QObject::connect(transport, &ITransport::disconnected, this,
                     [this, transport] { onTransportDisconnected(transport); });
}

QString TransportManager::methodOf(const ITransport* transport) const {
    return transport && transport == p2p_ ? QStringLiteral("p2p") : QStringLiteral("relay");
}

void TransportManager::startP2P(bool offerer) {
    retire(std::exchange(p2p_, nullptr));
    p2p_ = factory_.createP2P ? factory_.createP2P() : nullptr;
    if (!p2p_) {
        spdlog::warn("TransportManager: no P2P transport available, going directly to relay");
        fallBackToRelay();
        return;
    }
    p2p_->setTurnServerConfig(turn_);
    QObject::connect(p2p_, &ITransport::connected, this, &TransportManager::onP2PConnected);
    QObject::connect(p2p_, &ITransport::transportError, this, &TransportManager::onP2PError);
    QObject::connect(p2p_, &IP2PTransport::localDescriptionReady, this, &TransportManager::localDescriptionReady);
    QObject::connect(p2p_, &IP2PTransport::localCandidateReady, this, &TransportManager::localCandidateReady);
    watch(p2p_);
    p2pTimer_.start(p2pTimeout_);
    if (offerer) {
        p2p_->startAsOfferer();
    } else {
        p2p_->startAsAnswerer();
    }
}

void TransportManager::onP2PTimeout() {
    if (failed_ || settled_ || relay_) return;
    if (active_) {
        // An answerer on peer to peer that has heard nothing from the offerer yet: the offerer
        // may have taken the relay, so the relay is made ready too. The session stays up without.
        spdlog::info("TransportManager: P2P is up but nothing arrived from the offerer within {} ms; connecting the "
                     "relay in case it chose that",
                     p2pTimeout_.count());
        QString failure;
        if (!connectRelay(failure)) spdlog::warn("TransportManager: {}; staying on P2P", failure.toStdString());
        return;
    }
    spdlog::warn("TransportManager: P2P connection timed out after {} ms, falling back to relay", p2pTimeout_.count());
    // The peer-to-peer attempt stays up: the partner's may be just about to settle on it, and
    // closing it here would leave the two sides on different transports. If it comes up before
    // the relay does, it wins on both sides; a relay that comes up first retires it.
    fallBackToRelay();
}

void TransportManager::fallBackToRelay() {
    QString failure;
    if (!connectRelay(failure)) fail(failure);
}

bool TransportManager::connectRelay(QString& failure) {
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
        failure = QStringLiteral("No relay candidates available");
        return false;
    }
    const RelayCandidate chosen = *best;
    spdlog::info("TransportManager: connecting to relay node '{}' at {}:{}", chosen.relayId.toStdString(),
                 chosen.host.toStdString(), chosen.port);

    retire(std::exchange(relay_, nullptr));
    relay_ = factory_.createRelay ? factory_.createRelay() : nullptr;
    if (relay_) {
        relay_->setSessionId(sessionId_);
        relay_->setRelayToken(relayToken_);
        QObject::connect(relay_, &ITransport::connected, this, &TransportManager::onRelayConnected);
        QObject::connect(relay_, &ITransport::transportError, this, &TransportManager::onRelayError);
        watch(relay_);
        if (relay_->connect(chosen.host.toUtf8(), static_cast<std::uint16_t>(chosen.port))) return true;
        retire(std::exchange(relay_, nullptr));
    }
    spdlog::error("TransportManager: relay connect() returned false");
    failure = QStringLiteral("Failed to initiate relay connection");
    return false;
}

void TransportManager::onP2PConnected() {
    if (p2p_ && !failed_) onUp(p2p_);
}

void TransportManager::onRelayConnected() {
    if (relay_ && !failed_) onUp(relay_);
}

void TransportManager::onUp(ITransport* transport) {
    if (transport == active_ && transport == p2p_) return;  // taken already, on the offerer's data
    // Only an answerer that has not heard from the offerer yet has a second attempt coming up
    // beside the one in use; the offerer's data decides between them.
    if (active_ && active_ != transport && active_->isConnected()) {
        spdlog::info("TransportManager: {} connection up as well; staying on {} until data from the offerer shows "
                     "its choice",
                     methodOf(transport).toStdString(), methodOf(active_).toStdString());
        return;
    }
    // The first transport up, a renewed relay connection, or one that replaces a transport the
    // answerer lost before the offerer's data came.
    take(transport);
}

void TransportManager::take(ITransport* transport) {
    spdlog::info(transport == p2p_ ? "TransportManager: P2P connection established"
                                   : "TransportManager: relay connection established");
    active_ = transport;
    if (offerer_) {
        settle();
    } else if (transport == relay_) {
        // The peer-to-peer attempt goes on: the offerer may take it. An answerer on peer to peer
        // keeps the timer, which readies the relay if the offerer stays silent.
        p2pTimer_.stop();
    }
    emit connectionEstablished(methodOf(transport));
}

void TransportManager::settle() {
    settled_ = true;
    p2pTimer_.stop();
    if (active_ == relay_) {
        // The peer-to-peer attempt is closed but kept until reset.
        if (p2p_) {
            QObject::disconnect(p2p_, nullptr, this, nullptr);
            p2p_->disconnect();
        }
    } else {
        retire(std::exchange(relay_, nullptr));
    }
}

void TransportManager::onTransportData(ITransport* transport, ChannelType channel, const QByteArray& data) {
    if (failed_) return;
    if (transport != active_) {
        // Until the offerer's first data arrives, an answerer listens to both of its attempts:
        // the transport that data arrives on is the one the offerer took.
        if (offerer_ || settled_) {
            spdlog::debug("TransportManager: data on a transport not in use dropped");
            return;
        }
        spdlog::info("TransportManager: data from the offerer arrives via {}; following it",
                     methodOf(transport).toStdString());
        const QPointer<TransportManager> self(this);
        active_ = transport;
        settle();
        emit connectionEstablished(methodOf(transport));
        if (!self || active_ != transport) return;
    } else if (!settled_) {
        spdlog::info("TransportManager: data from the offerer arrives via {}; staying on it",
                     methodOf(transport).toStdString());
        settle();
    }
    emit dataReceived(channel, data);
}

void TransportManager::onTransportDisconnected(ITransport* transport) {
    if (failed_) return;
    if (settled_) {
        if (transport == active_) emit transportDisconnected();
        return;
    }
    // An answerer that has heard nothing from the offerer yet: the offerer may have taken its
    // other transport and closed this one. A peer-to-peer connection does not come back; a relay
    // connection tries again by itself.
    const bool inUse = transport == active_;
    const bool peerToPeer = transport == p2p_;
    spdlog::info("TransportManager: {} connection lost before any data from the offerer",
                 methodOf(transport).toStdString());
    if (peerToPeer) {
        if (inUse) active_ = nullptr;
        retire(std::exchange(p2p_, nullptr));
    }
    if (!inUse) return;
    ITransport* other = peerToPeer ? static_cast<ITransport*>(relay_) : p2p_;
    if (other && other->isConnected()) {
        take(other);
        return;
    }
    if (other) return;  // still coming up: it is taken when it does
    if (peerToPeer) {
        p2pTimer_.stop();
        QString failure;
        if (connectRelay(failure)) return;
    }
    emit transportDisconnected();
}

void TransportManager::onP2PError(const QString& error) {
    spdlog::warn("TransportManager: P2P error: {}", error.toStdString());
}

void TransportManager::onRelayError(const QString& error) {
    if (failed_) return;
    if (!settled_ && active_ && active_ != relay_) {
        // The relay an answerer readied beside the peer-to-peer connection it uses: the session
        // does not depend on it.
        spdlog::warn("TransportManager: relay connection failed: {}; staying on P2P", error.toStdString());
        retire(std::exchange(relay_, nullptr));
        return;
    }
    spdlog::error("TransportManager: relay connection failed: {}", error.toStdString());
    fail(QStringLiteral("All connection methods failed. Last error: ") + error);
}

void TransportManager::fail(const QString& reason) {
    // A reported failure is final for this attempt: nothing that is still trying may come up
    // afterwards and report success. The active transport, if any, is closed but kept until
    // reset(), since the session may still hold it.
    failed_ = true;
    p2pTimer_.stop();
    for (ITransport* transport : {static_cast<ITransport*>(p2p_), static_cast<ITransport*>(relay_)}) {
        if (!transport) continue;
        QObject::disconnect(transport, nullptr, this, nullptr);
        transport->disconnect();
    }
    emit connectionFailed(reason);
}

}  // namespace veltrix

#include "transport/P2PTransport.h"

#include "platform/InstanceConfig.h"
#include "transport/P2PWebRtcBridge.h"
#include "shared/Logging.h"

#include <QMetaObject>
#include <spdlog/spdlog.h>
#include <string>
#include <utility>

namespace veltrix {

namespace {

// Candidates kept while the remote description that maps their mids is still to come; a peer
// sends a handful per m-line.
constexpr std::size_t kMaxPendingCandidates = 64;

}  // namespace

using p2p::iceSettingsFromConfig;
using p2p::initializeGStreamer;
using p2p::portFromConfig;
using p2p::steadyNowNs;

P2PTransport::P2PTransport(QObject* parent) : IP2PTransport(parent) {
    initializeGStreamer();
    if (auto host = platform::config::value("turn/host"); host && !host->empty()) turn_.host = *host;
    turn_.port = static_cast<std::uint32_t>(portFromConfig("turn/port", static_cast<int>(turn_.port)));
    livenessTimer_.setParent(this);
    QObject::connect(&livenessTimer_, &QTimer::timeout, this, &P2PTransport::onLivenessTick);
    spdlog::info("P2PTransport: created (GStreamer webrtcbin)");
}

P2PTransport::~P2PTransport() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    teardown();
}

bool P2PTransport::connect(const QByteArray&, std::uint16_t) {
    startAsOfferer();
    return true;
}

void P2PTransport::disconnect() { teardown(); }

bool P2PTransport::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool P2PTransport::send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) {
    if (size > framing::kMaxMessageSize) {
        spdlog::warn("P2PTransport::send failed: message of {} bytes exceeds {}", size, framing::kMaxMessageSize);
        return false;
    }
    std::lock_guard lock(mutex_);
    const bool open = channel == ChannelType::Control ? controlOpen_ : videoOpen_;
    if (!bridge_ || !open || (size > 0 && !data)) return false;
    return bridge_->send(channel, data, size);
}

std::uint64_t P2PTransport::bufferedAmount(ChannelType channel) const {
    std::lock_guard lock(mutex_);
    const bool open = channel == ChannelType::Control ? controlOpen_ : videoOpen_;
    return bridge_ && open ? bridge_->bufferedAmount(channel) : 0;
}

bool P2PTransport::sendText(ChannelType channel, const QByteArray& text) {
    std::lock_guard lock(mutex_);
    return bridge_ && bridge_->sendText(channel, text);
}

bool P2PTransport::sendRawPiece(ChannelType channel, const QByteArray& piece) {
    std::lock_guard lock(mutex_);
    return bridge_ && bridge_->sendRawPiece(channel, piece);
}

void P2PTransport::setTurnServerConfig(const TurnServerConfig& config) {
    // Settings without a host carry only credentials: the server stays the instance's TURN relay.
    const TurnServerConfig server = turn_;
    turn_ = config;
    if (turn_.host.empty()) {
        turn_.host = server.host;
        turn_.port = server.port;
    }
}

void P2PTransport::startAsOfferer() {
    spdlog::info("P2PTransport: starting as offerer");
    start(true);
}

void P2PTransport::startAsAnswerer() {
    spdlog::info("P2PTransport: starting as answerer");
    start(false);
}

void P2PTransport::start(bool offerer) {
    teardown();
    std::shared_ptr<WebRtcBridge> bridge;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        offerer_ = offerer;
        bridge = std::make_shared<WebRtcBridge>(this, generation_, offerer);
        bridge_ = bridge;
    }
    // Outside the lock: webrtcbin may call back synchronously while it is being set up.
    if (!bridge->create(iceSettingsFromConfig(turn_)))
        spdlog::error("P2PTransport: peer connection could not be started");
}

void P2PTransport::teardown() {
    std::shared_ptr<WebRtcBridge> bridge;
    {
        std::lock_guard lock(mutex_);
        bridge = std::move(bridge_);
        ++generation_;  // whatever is still queued belongs to the attempt that ends here
        connected_ = controlOpen_ = videoOpen_ = false;
    }
    livenessTimer_.stop();
    pendingCandidates_.clear();
    if (bridge) bridge->shutdown();
}

void P2PTransport::post(std::uint64_t generation, std::function<void()> work) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, work = std::move(work)] {
            {
                std::lock_guard lock(mutex_);
                if (closed_ || generation != generation_) return;
            }
            work();
        },
        Qt::QueuedConnection);
}

void P2PTransport::setRemoteDescription(const QString& sdp, const QString& type) {
    std::shared_ptr<WebRtcBridge> bridge;
    {
        std::lock_guard lock(mutex_);
        bridge = bridge_;
    }
    if (!bridge) {
        spdlog::warn("P2PTransport: setRemoteDescription called with no PeerConnection");
        return;
    }
    spdlog::info("P2PTransport: setting remote description (type={})", type.toStdString());
    if (!bridge->setRemoteDescription(sdp.toStdString(), type.toStdString())) {
        spdlog::warn("P2PTransport: remote description (type={}) is not a usable session description, ignored",
                     type.toStdString());
        return;
    }
    onRemoteMidsKnown();
}

void P2PTransport::addRemoteCandidate(const QString& candidate, const QString& mid) {
    std::shared_ptr<WebRtcBridge> bridge;
    {
        std::lock_guard lock(mutex_);
        bridge = bridge_;
    }
    if (!bridge) {
        spdlog::warn("P2PTransport: addRemoteCandidate called with no PeerConnection");
        return;
    }
    spdlog::debug("P2PTransport: adding remote ICE candidate");
    const QByteArray text = candidate.toUtf8();
    // A candidate is one line of SDP attribute text; anything else would corrupt what libnice parses.
    const bool oneLine = !text.contains('\n') && !text.contains('\r') && !text.contains('\0');
    const QByteArray body = text.startsWith("a=") ? text.mid(2) : text;
    if (!oneLine || !body.startsWith("candidate:") || body.size() > 1024) {
        spdlog::warn("P2PTransport: malformed remote ICE candidate ignored");
        return;
    }
    if (!bridge->hasRemoteDescription()) {
        if (pendingCandidates_.size() >= kMaxPendingCandidates) {
            spdlog::warn("P2PTransport: more than {} remote ICE candidates before the description, candidate ignored",
                         kMaxPendingCandidates);
            return;
        }
        pendingCandidates_.emplace_back(QString::fromUtf8(body), mid);
        return;
    }
    const auto mline = bridge->remoteMlineOf(mid.toStdString());
    if (!mline) {
        spdlog::warn("P2PTransport: remote ICE candidate for unknown mid '{}' ignored", logging::peerText(mid));
        return;
    }
    bridge->addRemoteCandidate(*mline, body.toStdString());
}

void P2PTransport::onRemoteMidsKnown() {
    auto pending = std::move(pendingCandidates_);
    pendingCandidates_.clear();
    for (const auto& [candidate, mid] : pending) addRemoteCandidate(candidate, mid);
}

void P2PTransport::onLocalDescription(const QString& sdp, const QString& type) { emit localDescriptionReady(sdp, type); }

void P2PTransport::onLocalCandidate(const QString& candidate, const QString& mid) {
    emit localCandidateReady(candidate, mid);
}

void P2PTransport::onChannelOpen(ChannelType channel) {
    std::shared_ptr<WebRtcBridge> bridge;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        (channel == ChannelType::Control ? controlOpen_ : videoOpen_) = true;
        if (!controlOpen_ || !videoOpen_ || connected_) return;
        connected_ = true;
        bridge = bridge_;
        spdlog::info("P2PTransport: both data channels open — P2P connected!");
    }
    if (bridge) bridge->markAlive();
    livenessTimer_.start(liveness_.interval);
    emit connected();
}

// A channel that closes ends the connection: webrtcbin reports no state change for it.
void P2PTransport::onChannelClosed(ChannelType) { onConnectionLost("data channel closed"); }

void P2PTransport::onConnectionLost(const char* reason) {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || !connected_) return;
    }
    spdlog::info("P2PTransport: connection lost ({})", reason);
    // Nothing more of a lost connection is delivered, and the peer is told by the closing of
    // the channels (it may not have noticed: a silent or malformed peer, a local channel error).
    teardown();
    emit disconnected();
}

void P2PTransport::onChannelMessage(ChannelType channel, const QByteArray& message) {
    emit dataReceived(channel, message);
}

void P2PTransport::onLivenessTick() {
    std::shared_ptr<WebRtcBridge> bridge;
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        bridge = bridge_;
    }
    if (!bridge) return;
    if (bridge->receiving()) bridge->markAlive();
    const auto silentNs = steadyNowNs() - bridge->lastReceivedNs();
    if (silentNs > std::chrono::nanoseconds(liveness_.timeout).count()) {
        spdlog::warn("P2PTransport: nothing heard from the peer for {} ms", silentNs / 1'000'000);
        onConnectionLost("peer silent");
        return;
    }
    bridge->sendKeepAlive();
}

}  // namespace veltrix

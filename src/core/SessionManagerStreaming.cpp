// Transport set-up and media streaming: relay candidates and TURN settings, the ICE exchange
// through signaling, the transport's outcome, the Target's capture poll and the Master's video
// receive with its key-frame requests.
#include "core/SessionManager.h"

#include <QMetaObject>
#include <QThread>

#include <spdlog/spdlog.h>

#include <chrono>

#include "core/AV1Decoder.h"
#include "core/ControlMessageType.h"
#include "core/ApiClient.h"
#include "core/HeartbeatService.h"
#include "core/ImpersonationScope.h"
#include "core/NatType.h"
#include "crypto/AesGcmCipher.h"
#include "platform/InstanceConfig.h"
#include "shared/JsonFields.h"
#include "shared/Logging.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "transport/SignalingClient.h"
#include "transport/TransportManager.h"

namespace veltrix {

namespace {

std::string text(const QString& value) { return value.toStdString(); }

std::string textMember(const nlohmann::json& element, const char* key) { return json::stringOr(element, key); }

// An integer member; 0 when it is missing or of another kind (a number with a fraction too).
std::int64_t intMember(const nlohmann::json& element, const char* key) {
    const json::Json* member = json::member(element, key);
    return member && member->is_number_integer() ? json::int64Or(element, key, 0) : 0;
}

// The TURN relay host of the deployment: the instance's [turn] host when set.
TurnServerConfig defaultTurnSettings() {
    TurnServerConfig turn;
    const auto host = platform::config::value("turn/host");
    turn.host = host && !host->empty() ? *host : SessionManager::kDefaultTurnHost;
    if (const auto port = platform::config::value("turn/port")) {
        const int value = std::atoi(port->c_str());
        if (value > 0 && value <= 65535) turn.port = static_cast<std::uint32_t>(value);
    }
    return turn;
}

std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void SessionManager::fetchRelayCandidates() {
    if (!api_) return;
    QPointer<SessionManager> self(this);
    api_->getRelayCandidates([self](int status, const nlohmann::json& body) {
        if (!self) return;
        if (status == 200 && body.is_array()) {
            self->relayCandidates_ = body;
            spdlog::info("Fetched {} relay candidates", body.size());
        } else {
            spdlog::warn("Failed to fetch relay candidates (status {})", status);
        }
    });
}

void SessionManager::setupTransport() {
    spdlog::info("Setting up transport for session {}", logging::peerText(sessionId_));
    setState(SessionState::Connecting);
    // A listener of the state change may have ended the session already.
    if (state_ != SessionState::Connecting) return;
    if (transportManager_) {
        transportManager_->disconnect(this);
        transportManager_->reset();
        transportManager_->deleteLater();
    }
    TransportManager* manager =
        transportFactory_ ? new TransportManager(*transportFactory_, this) : new TransportManager(this);
    transportManager_ = manager;
    if (p2pTimeout_.count() > 0) manager->setP2PTimeout(p2pTimeout_);

    // Queued: the outcome is handled after the manager's own call chain has returned, and one
    // that arrives for a manager this session no longer has is ignored. What the transport
    // delivers is queued too, so it arrives after the establishment it follows, and nothing of a
    // manager that is gone reaches the session.
    const QPointer<TransportManager> source(manager);
    connect(
        manager, &TransportManager::connectionEstablished, this,
        [this, source](const QString& method) {
            if (source && source == transportManager_) onTransportEstablished(method);
        },
        Qt::QueuedConnection);
    connect(
        manager, &TransportManager::connectionFailed, this,
        [this, source](const QString& error) {
            if (source && source == transportManager_) onTransportFailed(error);
        },
        Qt::QueuedConnection);
    connect(
        manager, &TransportManager::dataReceived, this,
        [this, source](ChannelType channel, const QByteArray& data) {
            if (source && source == transportManager_) onTransportData(channel, data);
        },
        Qt::QueuedConnection);
    connect(
        manager, &TransportManager::transportDisconnected, this,
        [this, source] {
            if (source && source == transportManager_) onTransportDisconnected();
        },
        Qt::QueuedConnection);
    connect(manager, &TransportManager::localDescriptionReady, this, &SessionManager::sendLocalDescription);
    connect(manager, &TransportManager::localCandidateReady, this, &SessionManager::sendLocalCandidate);
    if (signaling_) {
        connect(signaling_, &SignalingClient::iceOffer, this, &SessionManager::onIceOffer, Qt::UniqueConnection);
        connect(signaling_, &SignalingClient::iceAnswer, this, &SessionManager::onIceAnswer, Qt::UniqueConnection);
        connect(signaling_, &SignalingClient::iceCandidate, this, &SessionManager::onIceCandidate,
                Qt::UniqueConnection);
    }

    TurnServerConfig turn = defaultTurnSettings();
    const QList<RelayCandidate> candidates = readRelayCandidates(relayCandidates_, turn);
    if (candidates.isEmpty()) spdlog::warn("No relay candidates available — relay fallback will fail");
    const int localNat = heartbeat_ ? natTypeCode(heartbeat_->natType()) : 0;
    turnSettings_ = turn;
    manager->setTurnServerConfig(turn);
    manager->establishConnection(sessionId_, localNat, 0, candidates, role_ == SessionRole::Master, relayToken_);
}

QList<RelayCandidate> SessionManager::readRelayCandidates(const nlohmann::json& list, TurnServerConfig& turn) {
    QList<RelayCandidate> candidates;
    if (!list.is_array()) return candidates;
    // The first element with complete TURN data sets the TURN settings; without one they stay.
    bool turnSet = false;
    for (const auto& element : list) {
        const std::string ip = textMember(element, "ip");
        const std::int64_t port = intMember(element, "port");
        if (!ip.empty() && port > 0 && port <= 65535) {
            candidates.append(RelayCandidate{QString::fromStdString(textMember(element, "relay_id")),
                                             QString::fromStdString(ip), static_cast<std::int32_t>(port), -1});
        }
        if (turnSet) continue;
        const std::string user = textMember(element, "turn_username");
        const std::string password = textMember(element, "turn_password");
        const std::int64_t turnPort = intMember(element, "turn_port");
        if (user.empty() || password.empty() || turnPort <= 0 || turnPort > 65535) continue;
        const std::string turnIp = textMember(element, "turn_ip");
        turn.host = turnIp.empty() ? ip : turnIp;
        turn.port = static_cast<std::uint32_t>(turnPort);
        turn.username = user;
        turn.password = password;
        turnSet = true;
    }
    return candidates;
}

// --- ICE through signaling --------------------------------------------------------------------

void SessionManager::sendLocalDescription(const QString& sdp, const QString& type) {
    if (!signaling_) return;
    signaling_->sendMessage({{"type", type == u"offer" ? "ICE_OFFER" : "ICE_ANSWER"},
                             {"session_id", text(sessionId_)},
                             {"target_client_id", text(remoteClientId_)},
                             {"sdp", text(sdp)}});
    spdlog::info("Sent ICE {} via signaling", text(type));
}

void SessionManager::sendLocalCandidate(const QString& candidate, const QString& mid) {
    if (!signaling_) return;
    signaling_->sendMessage({{"type", "ICE_CANDIDATE"},
                             {"session_id", text(sessionId_)},
                             {"target_client_id", text(remoteClientId_)},
                             {"candidate", text(candidate)},
                             {"mid", text(mid)}});
}

bool SessionManager::isPartnerMessage(const QString& sessionId, const QString& fromClientId,
                                      const char* rejectFormat) const {
    if (sessionId.isEmpty() || sessionId != sessionId_ || !transportManager_) return false;
    if (fromClientId != remoteClientId_) {
        spdlog::warn(fmt::runtime(rejectFormat), logging::peerText(fromClientId), logging::peerText(remoteClientId_));
        return false;
    }
    return true;
}

void SessionManager::onIceOffer(const QString& sessionId, const QString& fromClientId, const QString& sdp) {
    if (!isPartnerMessage(sessionId, fromClientId, "Rejected ICE offer from '{}' (expected peer '{}')")) return;
    spdlog::info("Received ICE offer via signaling");
    transportManager_->setRemoteDescription(sdp, QStringLiteral("offer"));
}

void SessionManager::onIceAnswer(const QString& sessionId, const QString& fromClientId, const QString& sdp) {
    if (!isPartnerMessage(sessionId, fromClientId, "Rejected ICE answer from '{}' (expected peer '{}')")) return;
    spdlog::info("Received ICE answer via signaling");
    transportManager_->setRemoteDescription(sdp, QStringLiteral("answer"));
}

void SessionManager::onIceCandidate(const QString& sessionId, const QString& fromClientId, const QString& candidate,
                                    const QString& mid) {
    if (!isPartnerMessage(sessionId, fromClientId, "Rejected ICE candidate from '{}' (expected peer '{}')")) return;
    transportManager_->addRemoteCandidate(candidate, mid);
}

void SessionManager::sendSessionHeartbeat() {
    if (state_ != SessionState::Connected || sessionId_.isEmpty() || !signaling_) return;
    signaling_->sendMessage({{"type", "SESSION_HEARTBEAT"}, {"session_id", text(sessionId_)}});
}

// --- the transport's outcome ------------------------------------------------------------------

void SessionManager::onTransportEstablished(const QString& method) {
    if (state_ == SessionState::Connected && transportManager_ && transportManager_->activeTransport()) {
        if (method == transportMethod_) return;  // a renewed relay connection
        // The Target follows the Master onto the transport the Master took. What it announced on
        // the other one may never have arrived.
        spdlog::info("Transport switched from {} to {}", text(transportMethod_), text(method));
        transportMethod_ = method;
        repeatAnnouncements();
        return;
    }
    // Arrives queued: the session may have ended (or been replaced) since the manager reported.
    if (state_ != SessionState::Connecting || !transportManager_ || !transportManager_->activeTransport()) {
        spdlog::info("Transport established via {} after the session ended or moved on; ignored", text(method));
        return;
    }
    transportMethod_ = method;
    spdlog::info("Transport established via {} (tid={})", text(method),
                 reinterpret_cast<std::uintptr_t>(QThread::currentThreadId()));
    logging::flush();
    if (role_ == SessionRole::Master && api_) {
        pendingReplies_.append(QStringLiteral("/sessions/") + sessionId_ + QStringLiteral("/complete"));
        api_->completeSession(sessionId_, method, QString());
    }
    enterConnected();
}

// The transport is up: streaming starts, the session is Connected.
void SessionManager::enterConnected() {
    startStreaming();
    spdlog::info("startStreaming() returned, setting state to Connected");
    logging::flush();
    setState(SessionState::Connected);
    spdlog::info("setState(Connected) done");
    logging::flush();
}

void SessionManager::onTransportDisconnected() {
    if (state_ != SessionState::Connected) return;
    spdlog::info("Transport disconnected by remote side");
    // Posted: the transport's own disconnect handling returns before the session ends.
    const QString session = sessionId_;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (state_ != SessionState::Connected || sessionId_ != session) return;
            // A partner that leaves before a single packet of it opened has, like a transport
            // failure at that point, most likely failed to prove the password.
            if (!anyPacketOpened_ && !authFailureReported_) {
                spdlog::error("Transport closed with zero successful decrypts (remote side closed) — treating as "
                              "authentication failure");
                failAuthentication();
                return;
            }
            loseSession();
        },
        Qt::QueuedConnection);
}

void SessionManager::loseSession() {
    // A partner that ends the session says so first ("disconnect", which ends it here as Idle);
    // a transport that closes without that word means the partner vanished or the path broke.
    // The session fails, which a viewer retries, instead of ending as if someone had chosen to.
    spdlog::info("Session {} lost: the partner's transport closed without a disconnect", text(sessionId_));
    closeAtBackend(QStringLiteral("remote_transport_closed"));
    cleanupSession();
    setState(SessionState::Failed);
}

void SessionManager::onTransportFailed(const QString& error) {
    if (state_ == SessionState::Connected && !anyPacketOpened_ && !authFailureReported_) {
        spdlog::error("Transport closed with zero successful decrypts ({}) — treating as authentication failure",
                      logging::peerText(error));
        failAuthentication();
        return;
    }
    if (state_ == SessionState::Idle || state_ == SessionState::Failed) return;
    spdlog::error("Transport failed: {}", logging::peerText(error));
    closeAtBackend(QStringLiteral("transport_failed"));
    setState(SessionState::Failed);
    emit sessionError(QStringLiteral("Transport failed: %1").arg(error));
    cleanupSession();
}

void SessionManager::onPacketOpenTimeout() {
    if (state_ != SessionState::Connected || anyPacketOpened_) return;
    // Packets came and none opened: the partner holds another password. None came at all: the
    // keys may well match, but the partner has nothing to send.
    if (failedDecrypts_ > 0) {
        spdlog::error("No packet from the partner opened within {} ms of connecting", packetOpenTimer_.interval());
        failAuthentication();
        return;
    }
    failSilentPartner();
}

// --- streaming --------------------------------------------------------------------------------

void SessionManager::startStreaming() {
    if (streaming_) {
        spdlog::debug("Streaming already started for session {}", logging::peerText(sessionId_));
        return;
    }
    streaming_ = true;
    spdlog::info("Starting streaming (role: {})", role_ == SessionRole::Master ? "Master" : "Target");
    startSessionServices();
    if (role_ == SessionRole::Master) {
        startMasterStreaming();
    } else if (role_ == SessionRole::Target) {
        startTargetStreaming();
    }
}

void SessionManager::startMasterStreaming() {
    videoDecoder_ = std::make_unique<AV1Decoder>();
    videoDecoder_->initialize(0, 0);
    missedFrames_ = 0;
    videoOpened_ = false;
    if (sessionCipher_ && transportManager_) {
        // The first control packet also locks the cipher of a Target with two passwords.
        sendControl(MSG_KEY_FRAME_REQUEST, {}, /*needConnected=*/false);
        spdlog::info("Sent initial keyframe request to prime target cipher lock");
    }
    // Repeated until the first video packet opens: if the first request is lost, a two-password
    // Target would otherwise never lock its cipher and never send video.
    keyFrameRetryTimer_.disconnect();
    connect(&keyFrameRetryTimer_, &QTimer::timeout, this, &SessionManager::requestKeyFrameIfStalled);
    keyFrameRetryTimer_.start();
    spdlog::info("Master streaming started (decoder ready)");
}

void SessionManager::startTargetStreaming() {
    captureSection_ = std::make_unique<SharedFrameBuffer>();
    if (!captureSection_->create(kCaptureSectionName, kCaptureSectionSize, true, text(interactiveUserSid()))) {
        spdlog::error("Failed to create capture shared memory");
        captureSection_.reset();
    }
    lastCaptureSequence_ = 0;
    capturePollTimer_.disconnect();
    connect(&capturePollTimer_, &QTimer::timeout, this, &SessionManager::pollCaptureBuffer);
    capturePollTimer_.start();
    spdlog::info("Target streaming ready (input forwarding + waiting for agent capture)");
}

void SessionManager::stopStreaming() {
    spdlog::info("Stopping streaming");
    endSessionServices();
    if (videoDecoder_ && videoDecoder_->isInitialized()) videoDecoder_->shutdown();
}

void SessionManager::requestKeyFrameIfStalled() {
    if (state_ != SessionState::Connected) return;
    if (!videoOpened_) {
        requestKeyFrame();
        return;
    }
    keyFrameRetryTimer_.stop();
    if (missedFrames_ > 0) requestKeyFrame();
}

void SessionManager::requestKeyFrame() {
    if (!sessionCipher_ || !transportManager_) return;
    // The decoder keeps its state: frames already under way still decode, and the key frame
    // restarts the picture by itself.
    if (sendControl(MSG_KEY_FRAME_REQUEST, {}, /*needConnected=*/false)) spdlog::info("Sent key frame request to target");
}

void SessionManager::pollCaptureBuffer() {
    if (state_ != SessionState::Connected || !sessionCipher_ || !captureSection_ || !captureSection_->isOpen()) return;
    const SharedFrameHeader header = captureSection_->readHeader();
    if (header.sequence == 0 || header.sequence == lastCaptureSequence_) return;
    lastCaptureSequence_ = header.sequence;
    if (header.dataSize == 0) return;
    const std::uint64_t size = captureSection_->size();
    const std::uint64_t capacity = size > kSharedFrameHeaderSize ? size - kSharedFrameHeaderSize : 0;
    if (capacity == 0 || header.dataSize > capacity) {
        spdlog::warn("Capture frame dataSize {} exceeds buffer capacity {} — dropping", header.dataSize, capacity);
        return;
    }
    if (static_cast<std::int64_t>(header.width) > advertisedCaptureWidth_ ||
        static_cast<std::int64_t>(header.height) > advertisedCaptureHeight_) {
        advertiseCaptureResolution(static_cast<int>(header.width), static_cast<int>(header.height));
    }
    // The agent's user can rewrite or shrink the section at any time, so the packet is copied out
    // (into a buffer that only grows) and sealed from the copy. The reader checks the sequence
    // again after the copy: a frame the agent replaced meanwhile is dropped rather than sent torn,
    // and a section shrunk under the copy gives nothing instead of SIGBUS.
    const auto frame = captureSection_->readFrame([this](const SharedFrameInfo& info, std::uint64_t readable)
                                                      -> std::optional<SharedFrameDestination> {
        if (info.sequence != lastCaptureSequence_ || info.dataSize == 0 || info.dataSize > readable) return std::nullopt;
        if (capturePayload_.size() < info.dataSize) capturePayload_.resize(info.dataSize);
        return SharedFrameDestination{0, {capturePayload_.data(), info.dataSize}};
    });
    if (!frame) {
        spdlog::debug("Capture frame {} changed or shrank while it was read — dropped", header.sequence);
        return;
    }
    if (!sessionCipher_->encryptInto(capturePayload_.data(), frame->dataSize, captureBlock_)) return;
    ITransport* transport = transportManager_ ? transportManager_->activeTransport() : nullptr;
    if (transport) transport->send(ChannelType::Video, captureBlock_.data(), captureBlock_.size());
}

void SessionManager::receiveVideo(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
    const auto plaintext = lockCipherCandidate(bytes, static_cast<std::size_t>(data.size()));
    if (plaintext.empty()) {
        spdlog::warn("Failed to decrypt video data ({} bytes)", data.size());
        countFailedDecrypt();
        return;
    }
    anyPacketOpened_ = true;
    videoOpened_ = true;
    if (!videoDecoder_) {
        videoDecoder_ = std::make_unique<AV1Decoder>();
        videoDecoder_->initialize(0, 0);
    }
    std::unique_ptr<DecodedFrame> picture = videoDecoder_->decode(plaintext.data(), plaintext.size(), steadyMilliseconds());
    if (picture) {
        missedFrames_ = 0;
        emit frameDecoded(std::shared_ptr<DecodedFrame>(std::move(picture)));
        return;
    }
    ++missedFrames_;
    if (missedFrames_ == 5 || (missedFrames_ > 5 && missedFrames_ % 60 == 0)) requestKeyFrame();
}

}  // namespace veltrix

// The session's states and lifetime: starting as Master or Target, the ways a session ends, and
// the clean-up they share.
#include "core/SessionManager.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <utility>

#include "core/ApiClient.h"
#include "core/IVideoDecoder.h"
#include "crypto/AesGcmCipher.h"
#include "crypto/EcdhKeyExchange.h"
#include "crypto/Spake2.h"
#include "platform/InstancePaths.h"
#include "platform/StagingFolder.h"
#include "shared/JsonFields.h"
#include "shared/Logging.h"
#include "shared/SharedFrameBuffer.h"
#include "transport/SignalingClient.h"
#include "transport/TransportManager.h"

namespace veltrix {

namespace {

std::string text(const QString& value) { return value.toStdString(); }

std::string stateName(SessionState state) { return std::string(sessionStateName(state)); }

}  // namespace

SessionManager::SessionManager(ApiClient* apiClient, SignalingClient* signalingClient, QObject* parent)
    : QObject(parent), api_(apiClient), signaling_(signalingClient) {
    qRegisterMetaType<nlohmann::json>();
    qRegisterMetaType<veltrix::SessionState>();
    qRegisterMetaType<veltrix::ChannelType>();
    qRegisterMetaType<std::shared_ptr<veltrix::DecodedFrame>>();
    qRegisterMetaType<veltrix::InputEvent>();

    if (api_) {
        connect(api_, &ApiClient::sessionCreated, this, &SessionManager::onSessionCreated);
        connect(api_, &ApiClient::sessionUpdated, this, &SessionManager::onSessionUpdated);
        connect(api_, &ApiClient::requestError, this, &SessionManager::onApiRequestError);
    }
    if (signaling_) {
        connect(signaling_, &SignalingClient::sessionHandshakeAck, this, &SessionManager::onHandshakeAck);
        connect(signaling_, &SignalingClient::sessionFailed, this, &SessionManager::onSessionFailed);
    }
    handshakeTimer_.setSingleShot(true);
    connect(&handshakeTimer_, &QTimer::timeout, this, &SessionManager::onHandshakeTimeout);
    sessionHeartbeatTimer_.setInterval(kSessionHeartbeatMs);
    connect(&sessionHeartbeatTimer_, &QTimer::timeout, this, &SessionManager::sendSessionHeartbeat);
    capturePollTimer_.setInterval(kCapturePollMs);
    capturePollTimer_.setTimerType(Qt::PreciseTimer);
    keyFrameRetryTimer_.setInterval(kKeyFrameRetryMs);
    packetOpenTimer_.setSingleShot(true);
    packetOpenTimer_.setInterval(kPacketOpenTimeoutMs);
    connect(&packetOpenTimer_, &QTimer::timeout, this, &SessionManager::onPacketOpenTimeout);
}

SessionManager::~SessionManager() {
    if (state_ != SessionState::Idle && state_ != SessionState::Failed) endSession(QStringLiteral("destructor_cleanup"));
    cleanupSession();
}

void SessionManager::setKeyFrameRetryInterval(std::chrono::milliseconds interval) {
    keyFrameRetryTimer_.setInterval(static_cast<int>(interval.count()));
}

void SessionManager::setPacketOpenTimeout(std::chrono::milliseconds timeout) {
    packetOpenTimer_.setInterval(static_cast<int>(timeout.count()));
}

void SessionManager::setState(SessionState newState) {
    if (newState == state_) return;
    const SessionState old = state_;
    if (newState == SessionState::Handshaking) {
        handshakeTimer_.start(static_cast<int>(handshakeTimeout_.count()));
        if (old == SessionState::Connected) sessionHeartbeatTimer_.stop();
    } else {
        if (old == SessionState::Handshaking) handshakeTimer_.stop();
        if (newState == SessionState::Connected) {
            sessionHeartbeatTimer_.start(kSessionHeartbeatMs);
            anyPacketOpened_ = false;
            failedDecrypts_ = 0;
            authFailureReported_ = false;
            // A partner that never opens a packet (it failed its handshake and went away) must not
            // keep this side streaming for ever.
            packetOpenTimer_.start();
        } else if (old == SessionState::Connected) {
            sessionHeartbeatTimer_.stop();
        }
    }
    if (newState != SessionState::Connected) packetOpenTimer_.stop();
    spdlog::info("Session state: {} -> {}", stateName(old), stateName(newState));
    state_ = newState;
    emit stateChanged(newState);
}

void SessionManager::initiateSession(const QString& targetId, const QString& password) {
    if (state_ != SessionState::Idle && state_ != SessionState::Failed) {
        spdlog::warn("initiateSession called in non-idle state: {}", stateName(state_));
        emit sessionError(QStringLiteral("Cannot initiate session: not idle"));
        return;
    }
    spdlog::info("Initiating session to target: {}", logging::peerText(targetId));
    role_ = SessionRole::Master;
    remoteClientId_ = targetId;
    heldAcks_.clear();
    heldFailure_.reset();
    setState(SessionState::Initiating);
    startMasterHandshake(targetId, password);
}

void SessionManager::onSessionCreated(const nlohmann::json& data) {
    const std::string id = json::stringOr(data, "session_id");
    // A create reply of a session that ended before it arrived: that session exists at the
    // backend now and is closed there; the current one is left alone.
    if (staleCreateReplies_ > 0) {
        --staleCreateReplies_;
        if (api_ && !id.empty()) {
            spdlog::info("Closing session {} created after it was abandoned", logging::peerText(id));
            api_->closeSession(QString::fromStdString(id), QStringLiteral("user_disconnect"), 0);
        }
        return;
    }
    if (role_ != SessionRole::Master || state_ != SessionState::Initiating) return;
    createPending_ = false;
    if (id.empty()) {
        spdlog::error("Session creation response missing session_id");
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("Server returned invalid session data"));
        return;
    }
    sessionId_ = QString::fromStdString(id);
    if (const json::Json* token = json::member(data, "relay_token"); token && token->is_string()) {
        relayToken_ = QString::fromStdString(token->get<std::string>());
    }
    spdlog::info("Session created with ID: {}", logging::peerText(id));
    setState(SessionState::Handshaking);
    // The backend's push may have overtaken its own reply: a failure of this session first, else
    // the Target's answer. Only what names this session counts.
    if (heldFailure_) {
        const auto [failedId, reason] = *std::exchange(heldFailure_, std::nullopt);
        if (failedId == sessionId_) {
            onSessionFailed(failedId, reason);
            return;
        }
    }
    std::vector<HeldAck> held = std::exchange(heldAcks_, {});
    for (HeldAck& ack : held) {
        if (ack.sessionId != sessionId_) {
            spdlog::warn("Dropping a handshake ACK held for session {} (this session is {})",
                         logging::peerText(ack.sessionId), logging::peerText(sessionId_));
            continue;
        }
        spdlog::info("Applying the handshake ACK that arrived before the session id");
        applyHandshakeAck(ack.targetEcdhPublicKey, ack.targetSpake2Element);
        return;
    }
}

void SessionManager::acceptHandshakeRequest(const QString& sessionId, const QString& masterClientId,
                                            const QString& masterEcdhPublicKey, const QString& relayToken,
                                            const QString& masterSpake2Element) {
    if (state_ != SessionState::Idle && state_ != SessionState::Failed) {
        spdlog::info("Ending previous session (state={}) to accept new one", stateName(state_));
        if (state_ == SessionState::Connected || state_ == SessionState::Closing) {
            endSession(QStringLiteral("new_session_incoming"));
        } else {
            closeAtBackend(QStringLiteral("new_session_incoming"));
            cleanupSession();
            setState(SessionState::Idle);
        }
    }
    spdlog::info("Accepting session {} from master {}", logging::peerText(sessionId), logging::peerText(masterClientId));
    role_ = SessionRole::Target;
    sessionId_ = sessionId;
    remoteClientId_ = masterClientId;
    relayToken_ = relayToken;
    setState(SessionState::Handshaking);
    startTargetHandshake(masterEcdhPublicKey, masterSpake2Element);
}

void SessionManager::endSession(const QString& reason) {
    if (state_ == SessionState::Idle || state_ == SessionState::Failed) return;
    spdlog::info("Ending session {} (reason: {})", logging::peerText(sessionId_), logging::peerText(reason));
    setState(SessionState::Closing);
    if (sessionCipher_ && transportManager_ && transportManager_->activeTransport()) sendCommand("disconnect");
    stopStreaming();
    if (!sessionId_.isEmpty() && api_) api_->closeSession(sessionId_, reason, 0);
    // A Master ended before its session id is known: the backend's answer is closed on arrival.
    if (createPending_) ++staleCreateReplies_;
    createPending_ = false;
    cleanupSession();
    setState(SessionState::Idle);
}

void SessionManager::closeAtBackend(const QString& reason) {
    if (createPending_) {
        ++staleCreateReplies_;
        createPending_ = false;
    }
    if (!sessionId_.isEmpty() && api_) api_->closeSession(sessionId_, reason, 0);
}

void SessionManager::cleanupSession() {
    spdlog::debug("Session cleanup");
    sessionHeartbeatTimer_.stop();
    packetOpenTimer_.stop();
    stopStreaming();
    streaming_ = false;
    videoOpened_ = false;
    if (signaling_) {
        disconnect(signaling_, &SignalingClient::iceOffer, this, &SessionManager::onIceOffer);
        disconnect(signaling_, &SignalingClient::iceAnswer, this, &SessionManager::onIceAnswer);
        disconnect(signaling_, &SignalingClient::iceCandidate, this, &SessionManager::onIceCandidate);
    }
    capturePollTimer_.stop();
    capturePollTimer_.disconnect();
    captureSection_.reset();
    capturePayload_ = {};
    lastCaptureSequence_ = 0;
    advertisedCaptureWidth_ = 0;
    advertisedCaptureHeight_ = 0;
    keyFrameRetryTimer_.stop();
    keyFrameRetryTimer_.disconnect();
    missedFrames_ = 0;
    if (transportManager_) {
        // The session may be ending inside one of the manager's or its transports' signals: it
        // is detached now and deleted once that call chain has returned.
        transportManager_->disconnect(this);
        transportManager_->reset();
        transportManager_->deleteLater();
        transportManager_ = nullptr;
    }
    // Pasted files older than an hour are gone; whatever another account planted in the shared
    // folder is removed without being followed.
    platform::staging::purgeStaleSubfolders(platform::paths::pasteStagingDir(), std::chrono::seconds(3600));
    videoDecoder_.reset();
    releaseSessionServices();
    {
        std::lock_guard lock(candidateLock_);
        sessionCipher_.reset();
        candidateCiphers_.clear();
        cipherLocked_ = false;
    }
    keyExchange_.reset();
    passwordAuthenticator_.reset();
    advertisedMonitorCount_ = 0;
    wipePasswordSecret();
    heldAcks_.clear();
    heldFailure_.reset();
    pendingReplies_.clear();
    sessionId_.clear();
    remoteClientId_.clear();
    relayToken_.clear();
    role_ = SessionRole::None;
}

void SessionManager::failSession(const QString& logText, const QString& userText) {
    spdlog::error("{}", text(logText));
    cleanupSession();
    setState(SessionState::Failed);
    emit sessionError(userText);
}

// Whether `endpoint` names a request of this session whose reply is due; the reply is taken as
// that request's. A reply that names a session of its own must name this one.
bool SessionManager::takePendingReply(const QString& endpoint, const nlohmann::json* reply) {
    if (!pendingReplies_.contains(endpoint)) return false;
    if (reply) {
        if (const json::Json* id = json::member(*reply, "session_id");
            id && id->is_string() && QString::fromStdString(id->get<std::string>()) != sessionId_) {
            spdlog::warn("Reply to {} names session {}; ignored", logging::peerText(endpoint),
                         logging::peerText(id->get_ref<const std::string&>()));
            return false;
        }
    }
    pendingReplies_.removeOne(endpoint);
    return true;
}

void SessionManager::onSessionFailed(const QString& sessionId, const QString& reason) {
    if (sessionId.isEmpty()) return;
    if (role_ == SessionRole::Master && state_ == SessionState::Initiating && createPending_) {
        // Pushed right after the create reply was written, and read before that reply: held
        // until the reply says whether it is this session's.
        heldFailure_ = std::make_pair(sessionId, reason);
        return;
    }
    if (sessionId != sessionId_) return;
    if (state_ != SessionState::Initiating && state_ != SessionState::Handshaking) return;
    spdlog::error("Session {} failed: {}", logging::peerText(sessionId), logging::peerText(reason));
    cleanupSession();
    setState(SessionState::Failed);
    if (reason == u"agent_starting") {
        emit sessionError(tr("Remote side is starting up — please try again in a few seconds"));
    } else if (reason == u"target_unavailable") {
        emit sessionError(tr("Remote side is not available — no user is logged in"));
    } else {
        emit sessionError(tr("Connection failed: %1").arg(reason));
    }
}

void SessionManager::onApiRequestError(const QString& endpoint, int /*statusCode*/, const QString& detail) {
    // Only this session's own set-up requests count: a close of an earlier session, or a reply
    // that belongs to a session already ended, must not fail the current one.
    bool ours = false;
    if (endpoint == u"/sessions/create") {
        if (staleCreateReplies_ > 0) {
            --staleCreateReplies_;
            return;
        }
        ours = createPending_;
        createPending_ = false;
    } else {
        ours = takePendingReply(endpoint);
    }
    if (!ours) return;
    if (state_ != SessionState::Initiating && state_ != SessionState::Handshaking &&
        state_ != SessionState::Connecting && state_ != SessionState::Failed) {
        return;
    }
    spdlog::error("API error during session setup: {}", logging::peerText(detail));
    closeAtBackend(QStringLiteral("setup_failed"));
    cleanupSession();
    setState(SessionState::Failed);
    emit sessionError(detail);
}

void SessionManager::onHandshakeTimeout() {
    if (state_ != SessionState::Handshaking) return;
    spdlog::error("Handshake timeout (30s)");
    closeAtBackend(QStringLiteral("handshake_timeout"));
    cleanupSession();
    setState(SessionState::Failed);
    emit sessionError(tr("Connection timed out — remote side did not respond"));
}

void SessionManager::onSessionUpdated(const nlohmann::json& data, const QString& endpoint) {
    // Only the reply to a request of this session counts: the close of an earlier session, or a
    // late reply of one already ended, leaves the current session alone.
    if (!takePendingReply(endpoint, &data)) return;
    const std::string stateText = json::stringOr(data, "state");
    spdlog::info("Session updated: state={}", logging::peerText(stateText));
    if (stateText == "connected") {
        if (state_ != SessionState::Connecting) return;
        if (!transportManager_ || !transportManager_->activeTransport()) {
            spdlog::info("Session reported connected by the server before the transport is up; waiting for it");
            return;
        }
        enterConnected();
    } else if (stateText == "closed" || stateText == "failed") {
        spdlog::info("Session ended by server: {}", stateText);
        stopStreaming();
        cleanupSession();
        setState(stateText == "failed" ? SessionState::Failed : SessionState::Idle);
    }
}

void SessionManager::onFrameCaptured(std::shared_ptr<CapturedFrame> /*frame*/) {
    // The service never captures: frames reach it encoded, through the capture section.
}

}  // namespace veltrix

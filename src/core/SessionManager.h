#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto/SecureBytes.h"
#include "shared/DecodedFrame.h"
#include "shared/InputEvent.h"
#include "shared/SessionTypes.h"
#include "transport/ChannelType.h"
#include "transport/RelayCandidate.h"
#include "transport/TransportFactory.h"
#include "transport/TurnServerConfig.h"

namespace veltrix {

class AesGcmCipher;
struct CapturedFrame;
class ApiClient;
class ChatService;
class ClipboardSharing;
class EcdhKeyExchange;
class FileTransferService;
class HeartbeatService;
class IVideoDecoder;
class SharedFrameBuffer;
class SignalingClient;
class Spake2;
class TransportManager;

// The one remote-desktop session the service holds at a time, as Master (this machine views and
// controls the partner) or Target (this machine's desktop is shared). It owns everything that
// lives only for a session: key agreement, password authentication, the packet ciphers, the
// transport manager, the video decoder, the capture section and the session's services; the
// clean-up deletes them. Backend calls go through the REST client, partner messages through the
// signaling client and the session transport.
//
// The class is split by concern: lifecycle (SessionManager.cpp), handshake and password binding
// (SessionManagerHandshake.cpp), transport set-up and streaming (SessionManagerStreaming.cpp) and
// the control channel (SessionManagerControl.cpp).
//
// Everything runs on the service's event-loop thread. Transport-manager notifications arrive
// queued and are checked against the session they belong to, so a late one after the session
// ended does nothing. Per-session QObjects are deleted through the event loop, because a session
// may end inside one of their own signals.
class SessionManager : public QObject {
    Q_OBJECT

public:
    static constexpr int kHandshakeTimeoutMs = 30000;
    static constexpr int kSessionHeartbeatMs = 120000;
    static constexpr int kCapturePollMs = 4;
    static constexpr int kKeyFrameRetryMs = 500;
    static constexpr int kPacketOpenTimeoutMs = 30000;
    static constexpr std::uint32_t kMaxFailedDecrypts = 10;
    static constexpr const char* kDefaultTurnHost = "turn.veltrix.net";

    SessionManager(ApiClient* apiClient, SignalingClient* signalingClient, QObject* parent = nullptr);
    ~SessionManager() override;

    void setHeartbeatService(HeartbeatService* heartbeat) { heartbeat_ = heartbeat; }

    // --- the service host's and the pipe server's operations ----------------------------------
    void initiateSession(const QString& targetId, const QString& password);
    void acceptHandshakeRequest(const QString& sessionId, const QString& masterClientId,
                                const QString& masterEcdhPublicKey, const QString& relayToken,
                                const QString& masterSpake2Element);
    void endSession(const QString& reason);
    void setSessionPasswords(const QString& securePassword, const QString& ephemeralPassword);
    void setClipboardSharingEnabled(bool on);

    // Control-channel senders.
    void sendInputEvent(const InputEvent& event);
    void requestKeyFrame();
    void requestMonitorSwitch(int monitorIndex);
    void sendSas();
    void requestEncodeResolution(int width, int height);
    void advertiseCaptureResolution(int width, int height);
    void advertiseMonitorCount(int count);
    void sendClipboardFiles(const QStringList& paths, const QString& stagingRoot);

    // --- read access ----------------------------------------------------------------------------
    SessionState state() const { return state_; }
    SessionRole role() const { return role_; }
    const QString& sessionId() const { return sessionId_; }
    const QString& remoteClientId() const { return remoteClientId_; }
    const QString& transportMethod() const { return transportMethod_; }
    ChatService* chatService() const { return chatService_; }
    FileTransferService* fileTransferService() const { return fileTransferService_; }
    bool clipboardSharingEnabled() const { return clipboardSharingEnabled_; }
    const QStringList& passwordCandidates() const { return passwordCandidates_; }
    const QString& sessionPassword() const { return sessionPassword_; }
    const nlohmann::json& relayCandidates() const { return relayCandidates_; }
    // The TURN settings the last transport set-up handed to the transport manager.
    const TurnServerConfig& turnSettings() const { return turnSettings_; }
    int advertisedCaptureWidth() const { return advertisedCaptureWidth_; }
    int advertisedCaptureHeight() const { return advertisedCaptureHeight_; }
    int advertisedMonitorCount() const { return advertisedMonitorCount_; }
    // Consecutive video packets that gave no picture (Master).
    int missedFrames() const { return missedFrames_; }
    // The open capture section of a streaming Target; null otherwise.
    SharedFrameBuffer* captureSection() const { return captureSection_.get(); }

    // The relay nodes of the backend's relay list; the first element with complete TURN data
    // (user name, password, port) sets `turn`, which stays as given without one. An element whose
    // "ip" is empty or whose "port" is not a port number is no relay node.
    static QList<RelayCandidate> readRelayCandidates(const nlohmann::json& list, TurnServerConfig& turn);

    // Shorter intervals for tests: the handshake time-out, the key-frame retry, the 30 s limit for
    // a Connected session whose partner never opens a packet, and the peer-to-peer time-out of
    // the transport managers made after the call (0 keeps the manager's default).
    void setHandshakeTimeout(std::chrono::milliseconds timeout) { handshakeTimeout_ = timeout; }
    void setKeyFrameRetryInterval(std::chrono::milliseconds interval);
    void setPacketOpenTimeout(std::chrono::milliseconds timeout);
    void setP2PTimeout(std::chrono::milliseconds timeout) { p2pTimeout_ = timeout; }
    // Transports of the managers made after the call come from `factory` (fakes in tests).
    void setTransportFactory(TransportFactory factory) { transportFactory_ = std::move(factory); }


signals:
    void stateChanged(veltrix::SessionState newState);
    void frameDecoded(std::shared_ptr<veltrix::DecodedFrame> frame);
    void inputEventReceived(veltrix::InputEvent event);
    void sessionError(QString error);
    void sessionAuthFailed();
    // The session was Connected, but not one packet came from the partner in the time allowed,
    // though the keys may well match (a Target with no capture agent, a failed capture, or its
    // capture section taken). `error` is the user text, also emitted with sessionError.
    void partnerSilent(QString error);
    void monitorSwitchRequested(int monitorIdx);
    void monitorCountReceived(int count);
    void keyFrameRequested();
    void encodeResolutionRequested(int width, int height);
    void clipboardFilesReceived(QString stagingRoot, QStringList fileNames);
    void captureResolutionReceived(int width, int height);

public slots:
    void onSessionCreated(const nlohmann::json& data);
    // A backend reply to one of this session's requests (`endpoint` names the request, e.g.
    // "/sessions/<id>/complete"); replies to requests this session has not made are ignored.
    void onSessionUpdated(const nlohmann::json& data, const QString& endpoint);
    void onHandshakeAck(const QString& sessionId, const QString& state, const QString& targetEcdhPublicKey,
                        const QString& targetSpake2Element);
    void onSessionFailed(const QString& sessionId, const QString& reason);
    void onTransportEstablished(const QString& method);
    void onTransportFailed(const QString& error);
    void onTransportData(veltrix::ChannelType channel, const QByteArray& data);
    void onFrameCaptured(std::shared_ptr<veltrix::CapturedFrame> frame);
    void onClipboardDataReady(const QByteArray& data);
    void fetchRelayCandidates();

private slots:
    void onApiRequestError(const QString& endpoint, int statusCode, const QString& detail);
    void onHandshakeTimeout();
    void sendSessionHeartbeat();
    void onTransportDisconnected();
    void pollCaptureBuffer();
    void requestKeyFrameIfStalled();
    void onPacketOpenTimeout();
    void onIceOffer(const QString& sessionId, const QString& fromClientId, const QString& sdp);
    void onIceAnswer(const QString& sessionId, const QString& fromClientId, const QString& sdp);
    void onIceCandidate(const QString& sessionId, const QString& fromClientId, const QString& candidate,
                        const QString& mid);
    void sendLocalDescription(const QString& sdp, const QString& type);
    void sendLocalCandidate(const QString& candidate, const QString& mid);

private:
    friend class SessionManagerTestPeer;

    // Lifecycle.
    void setState(SessionState newState);
    void cleanupSession();
    void failSession(const QString& logText, const QString& userText);
    // The backend forgets a session that ends before it was connected.
    void closeAtBackend(const QString& reason);
    // A connected session whose partner went away without ending it: Failed, not Idle.
    void loseSession();
    bool takePendingReply(const QString& endpoint, const nlohmann::json* reply = nullptr);

    // Handshake.
    bool createKeyExchange();
    void startMasterHandshake(const QString& targetId, const QString& password);
    void startTargetHandshake(const QString& masterEcdhPublicKey, const QString& masterSpake2Element);
    bool matchTargetCandidate(const QString& targetSpake2Element);
    bool buildTargetCiphers(std::size_t candidateCount, const std::vector<crypto::SecureBytes>& secrets);
    void applyHandshakeAck(const QString& targetEcdhPublicKey, const QString& targetSpake2Element);
    std::vector<std::uint8_t> lockCipherCandidate(const std::uint8_t* packet, std::size_t size);
    void countFailedDecrypt();
    void failAuthentication();
    void failSilentPartner();
    void wipePasswordSecret();

    // Transport and streaming.
    void setupTransport();
    void enterConnected();
    void startStreaming();
    void stopStreaming();
    void startMasterStreaming();
    void startTargetStreaming();
    // Chat, clipboard sharing and file transfer (SessionManagerServices.cpp).
    void startSessionServices();
    void endSessionServices();
    void releaseSessionServices();
    bool sendChatPayload(const QByteArray& payload);
    bool sendFileTransferMessage(const QByteArray& message);
    void receiveVideo(const QByteArray& data);
    bool isPartnerMessage(const QString& sessionId, const QString& fromClientId, const char* rejectFormat) const;

    // Control channel.
    bool sendControl(std::uint8_t type, std::string_view payload, bool needConnected = true);
    bool sendCommand(const std::string& command);
    void dispatchControl(const std::vector<std::uint8_t>& plaintext);
    void handleCommand(const std::string& command);
    void handleEncodeResolution(const std::string& command);
    void handleCaptureResolution(const std::string& command);
    void handleClipboardFiles(const std::uint8_t* payload, std::size_t size);
    void repeatAnnouncements();

    ApiClient* api_;
    SignalingClient* signaling_;
    HeartbeatService* heartbeat_ = nullptr;
    SessionState state_ = SessionState::Idle;
    SessionRole role_ = SessionRole::None;
    QString sessionId_;
    QString remoteClientId_;
    QString transportMethod_;
    QString relayToken_;
    std::unique_ptr<EcdhKeyExchange> keyExchange_;
    std::unique_ptr<AesGcmCipher> sessionCipher_;
    std::vector<std::unique_ptr<AesGcmCipher>> candidateCiphers_;
    std::mutex candidateLock_;
    std::atomic<bool> cipherLocked_{false};
    std::unique_ptr<Spake2> passwordAuthenticator_;
    crypto::SecureBytes passwordSecret_;
    QString sessionPassword_;
    QStringList passwordCandidates_;
    bool anyPacketOpened_ = false;
    std::uint32_t failedDecrypts_ = 0;
    bool authFailureReported_ = false;
    TransportManager* transportManager_ = nullptr;
    nlohmann::json relayCandidates_;
    std::unique_ptr<SharedFrameBuffer> captureSection_;
    QTimer capturePollTimer_;
    std::uint64_t lastCaptureSequence_ = 0;
    std::unique_ptr<IVideoDecoder> videoDecoder_;
    std::int32_t missedFrames_ = 0;
    QTimer keyFrameRetryTimer_;
    ClipboardSharing* clipboardService_ = nullptr;
    bool clipboardSharingEnabled_ = true;
    FileTransferService* fileTransferService_ = nullptr;
    ChatService* chatService_ = nullptr;
    QTimer handshakeTimer_;
    QTimer sessionHeartbeatTimer_;
    std::int32_t advertisedCaptureWidth_ = 0;
    std::int32_t advertisedCaptureHeight_ = 0;
    std::int32_t advertisedMonitorCount_ = 0;

    // Beyond the members above: whether the current session's streaming has started, whether a
    // video packet opened yet (the Master's key-frame requests repeat until one does), the limit
    // for a Connected session whose partner never opens a packet, ACKs that arrived before the
    // session id was known, this session's backend requests whose reply is due (by endpoint),
    // and create requests of ended sessions whose reply is still due.
    bool streaming_ = false;
    bool videoOpened_ = false;
    QTimer packetOpenTimer_;
    struct HeldAck {
        QString sessionId;
        QString targetEcdhPublicKey;
        QString targetSpake2Element;
    };
    static constexpr std::size_t kMaxHeldAcks = 4;
    std::vector<HeldAck> heldAcks_;
    QStringList pendingReplies_;
    // A SESSION_FAILED that arrived before the create reply named the session: (id, reason).
    std::optional<std::pair<QString, QString>> heldFailure_;
    bool createPending_ = false;
    int staleCreateReplies_ = 0;
    TurnServerConfig turnSettings_;
    std::chrono::milliseconds handshakeTimeout_{kHandshakeTimeoutMs};
    std::chrono::milliseconds p2pTimeout_{0};
    std::optional<TransportFactory> transportFactory_;
    std::vector<std::uint8_t> capturePayload_;  // the latest capture packet copied out of the section; only grows
    std::vector<std::uint8_t> captureBlock_;    // that packet sealed
};

}  // namespace veltrix

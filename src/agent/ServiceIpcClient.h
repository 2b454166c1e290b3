#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/CaptureAgentFactories.h"
#include "agent/CapturedFrame.h"
#include "agent/FileRequestLedger.h"
#include "agent/MonitorInfo.h"
#include "platform/InputDesktop.h"
#include "platform/PipeConnection.h"
#include "platform/PipeReadWatch.h"
#include "platform/SharedSection.h"
#include "shared/ConnectionStats.h"
#include "shared/DecodedFrame.h"
#include "shared/FileEntry.h"
#include "shared/InputEvent.h"
#include "shared/IpcFrameReader.h"
#include "shared/IpcMessage.h"
#include "shared/SessionTypes.h"
#include "shared/SharedFrameBuffer.h"

namespace veltrix {

class FrameConverter;
class InputForwarder;
class ScreenCaptureManager;

// The client program's only link to VeltrixService: the client end of the service pipe. It reads
// each message as soon as it arrives on the thread that owns it (a 16 ms poll notices a link that
// another thread found broken), turns each message into a signal or an agent
// action, sends the user's commands, reconnects after a drop (waits of 1, 2, 4, 8, then 16 s;
// 30 attempts) and copies each announced decoded frame out of the "Global\VeltrixFrame"
// section. It holds the client's view of the service (session state and role, client ID,
// passwords, pairing hash, company name, access flags), which the windows read directly.
//
// It only talks to a pipe whose server runs as the service's account, so a local user who takes
// the pipe's name first never receives what the client sends.
//
// The process that holds the pipe is also the machine's capture agent: START_CAPTURE builds the
// capture pipeline (input forwarder, capture section, capture backend, capture thread, converter,
// encoder), every captured frame is converted, encoded and written into the capture section on
// the capture thread, and STOP_CAPTURE (or a lost link) joins that thread before anything it uses
// is deleted.
//
// Everything runs on the owning thread, except sendCommand, which the agent's capture thread may
// also call, and the frame and desktop callbacks of the capture thread.
class ServiceIpcClient : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kPipeName = "\\\\.\\pipe\\VeltrixService";
    static constexpr const char* kFrameSectionName = "Global\\VeltrixFrame";
    static constexpr std::uint32_t kMaxInboundMessageBytes = 0x4000000;  // 64 MiB
    static constexpr int kPollIntervalMs = 16;
    static constexpr int kMaxReconnectAttempts = 30;

    explicit ServiceIpcClient(QObject* parent = nullptr);
    ~ServiceIpcClient() override;

    // Opens the pipe; false (and no reconnect scheduled) when it cannot be opened or its server
    // is not the service.
    bool connectToService();
    // Closes the link; a link that was open emits `disconnected` and schedules a reconnect.
    void disconnectFromService();
    bool isConnected() const;

    // Frames and writes one message; dropped when not connected. Safe from any thread.
    void sendCommand(const IpcMessage& command);

    // Commands (answers come back as messages).
    void connectToTarget(const QString& targetId, const QString& password);
    void sendDisconnect();
    void sendChatMessage(const QString& text);
    void sendInputEvent(const InputEvent& event);
    void sendSasToRemote();
    void regeneratePassword();
    void requestCompanyClients();
    void setSecurePassword(const QString& password);
    void clearSecurePassword();
    void setUnattendedAccess(bool enabled);
    void setClipboardSharing(bool enabled);
    void setDisplayMode(int mode);
    void setMonitor(int index);
    void switchRemoteMonitor(int index);
    void setRemoteEncodeResolution(int width, int height);
    void listRemoteDirectory(const QString& path);
    void createRemoteDirectory(const QString& remotePath);
    void downloadFile(const QString& remotePath, const QString& localPath);
    void uploadFile(const QString& localPath, const QString& remotePath);
    void setRemoteClipboardFiles(const QStringList& sourcePaths, const QString& stagingRoot);

    // The client's view of the service.
    SessionState sessionState() const { return sessionState_; }
    SessionRole sessionRole() const { return sessionRole_; }
    const QString& clientId() const { return clientId_; }
    const QString& sessionPassword() const { return sessionPassword_; }
    const QString& pairingHash() const { return pairingHash_; }
    const QString& companyName() const { return companyName_; }
    bool isAuthenticated() const { return isAuthenticated_; }
    bool unattendedAccess() const { return unattendedAccess_; }
    bool hasSecurePassword() const { return hasSecurePassword_; }
    std::uint64_t lastFrameId() const { return lastFrameId_; }

    // The encode size the service asked for (0 x 0: the capture size). Written by the owning
    // thread, read by the capture thread: both halves travel in one atomic word, so a frame never
    // sees the width of one request with the height of another.
    struct EncodeSize {
        std::int32_t width = 0;
        std::int32_t height = 0;
    };
    EncodeSize encodeSize() const;
    std::int32_t encodeWidth() const { return encodeSize().width; }
    std::int32_t encodeHeight() const { return encodeSize().height; }

    // The parts START_CAPTURE builds; the real ones unless a test sets others first.
    void setCaptureAgentFactories(CaptureAgentFactories factories) { factories_ = std::move(factories); }
    // The running agent objects (null while no capture runs).
    InputForwarder* inputForwarder() const { return inputForwarder_.get(); }
    ScreenCaptureManager* captureManager() const { return captureManager_.get(); }

    // The wait before reconnect attempt `attempt` + 1, after `attempt` failed or dropped ones.
    static int reconnectDelayMs(int attempt);
    int reconnectAttempts() const { return reconnectAttempts_; }
    // The periodic poll's interval (kPollIntervalMs unless set); messages never wait for it.
    void setPollInterval(std::chrono::milliseconds interval) { pollTimer_.setInterval(interval); }
    bool isReconnectPending() const { return reconnectTimer_.isActive(); }
    int reconnectIntervalMs() const { return reconnectTimer_.interval(); }

    // The two timers' work; called by the timers, and by tests that drive them.
    void onPipePoll();
    void onReconnectTimer();

signals:
    void authenticated(QString clientId);
    void authenticationFailed(QString error);
    void stateChanged(veltrix::SessionState newState);
    void frameDecoded(std::shared_ptr<veltrix::DecodedFrame> frame);
    void sessionError(QString error);
    void authFailed();
    void statsUpdated(veltrix::ConnectionStats stats);
    void chatMessageReceived(QString from, QString text, QDateTime timestamp);
    void pairingHashChanged(QString hash);
    void ephemeralPasswordChanged(QString password);
    void hasSecurePasswordChanged(bool hasSecure);
    void captureStarted();
    void captureStopped();
    void connected();
    void disconnected();
    void companyNameChanged(QString companyName);
    void companyClientsReceived(QString companyName, nlohmann::json clients);
    void remoteMonitorCountReceived(int count);
    void remoteCaptureResolutionChanged(int width, int height);
    void fileDirectoryListed(QString path, QList<veltrix::FileEntry> entries);
    void fileDownloadProgress(QString path, int percent);
    void fileDownloadComplete(QString localPath);
    void fileUploadProgress(QString path, int percent);
    void fileUploadComplete();
    void fileError(QString error);
    // The same events tied to the request they answer (see FileRequestLedger): an upload the
    // service has sent without a refusal so far, and a request that failed.
    void fileUploadSent(veltrix::FileRequest request);
    void fileRequestFailed(veltrix::FileRequest request, QString error);
    void remoteClipboardFiles(QString stagingRoot, QStringList fileNames);

private:
    bool openPipe();
    void scheduleReconnect(bool afterDrop);
    void parseReceived();
    void handleMessage(const IpcMessage& message);
    void applyState(const IpcMessage& message);
    void handleFrame(const IpcMessage& message);
    void handleChat(const IpcMessage& message);
    void handleCompanyClients(const IpcMessage& message);
    void handleDirectoryListed(const IpcMessage& message);
    void handleRemoteClipboardFiles(const IpcMessage& message);
    void handleFileError(const QString& error);
    void handleUploadComplete();
    void handleAuthStatus(const IpcMessage& message);
    void handleStats(const IpcMessage& message);
    void handleInputInject(const IpcMessage& message);
    std::shared_ptr<DecodedFrame> readSharedFrame(const IpcMessage& message);
    bool openFrameSection();
    void closeFrameSection();
    void startCapture(const IpcMessage& message);
    void stopCapture();
    void setEncodeSize(std::int32_t width, std::int32_t height);
    void handleRequestKeyFrame();
    void handleSwitchCaptureMonitor(const IpcMessage& message);
    std::unique_ptr<IScreenCaptureBackend> openCaptureBackend(int monitorIndex);
    void followCapturedMonitor(const MonitorInfo& monitor);
    // The capture thread's per-frame work: encode size, NV12, encoder (re)initialisation, encode,
    // write into the capture section.
    struct FrameSettings {
        int fps = 20;
        int crf = 45;
        std::string preset = "8";
        int bitrateKbps = 1500;
    };
    void processCapturedFrame(const std::shared_ptr<CapturedFrame>& frame, const FrameSettings& settings,
                              std::vector<std::uint8_t>& nv12);
    void reportDesktopChange(const std::string& newName, const std::string& oldName);
    // A write failed on a thread other than the owner's: the owner tears the link down.
    void markBrokenFromOtherThread(std::uint64_t generation);

    platform::PipeConnection pipe_;
    // Polls as soon as the service has sent something.
    std::unique_ptr<platform::PipeReadWatch> readWatch_;
    // Held around every write to and the closing of the pipe.
    mutable std::mutex writeMutex_;
    // Counts links, so a teardown queued for a broken link never closes the next one.
    std::atomic<std::uint64_t> linkGeneration_{0};
    std::atomic<bool> linkBroken_{false};
    QTimer pollTimer_;
    QTimer reconnectTimer_;
    int reconnectAttempts_ = 0;
    IpcFrameReader readBuffer_{kMaxInboundMessageBytes};
    platform::SectionHandle frameSection_;
    platform::SectionView frameView_;

    QString clientId_;
    QString sessionPassword_;
    QString pairingHash_;
    QString companyName_;
    SessionState sessionState_ = SessionState::Idle;
    SessionRole sessionRole_ = SessionRole::None;
    bool isAuthenticated_ = false;
    bool unattendedAccess_ = false;
    bool hasSecurePassword_ = false;
    // The first STATE of a link is news even where it matches what the client remembers.
    bool awaitingFirstState_ = false;
    std::uint64_t lastFrameId_ = 0;
    // The picture announced last. Once every receiver has let it go, the next picture of its size
    // is read into its buffers instead of fresh ones.
    std::shared_ptr<DecodedFrame> lastPicture_;
    FileRequestLedger fileRequests_;

    CaptureAgentFactories factories_;
    // The agent objects; the capture thread is joined (captureManager_ stopped) before the others
    // are deleted.
    std::unique_ptr<InputForwarder> inputForwarder_;
    std::unique_ptr<SharedFrameBuffer> captureSection_;
    std::unique_ptr<FrameConverter> frameConverter_;
    std::unique_ptr<IVideoEncoder> encoder_;
    std::unique_ptr<ScreenCaptureManager> captureManager_;
    std::optional<platform::desktops::Desktop> mainThreadDesktop_;
    // Width in the high half, height in the low half.
    std::atomic<std::uint64_t> encodeSize_{0};
};

}  // namespace veltrix

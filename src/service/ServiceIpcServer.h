#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/PipeReadWatch.h"
#include "platform/PipeServer.h"
#include "platform/ProcessInfo.h"
#include "service/LaunchedAgent.h"
#include "shared/DecodedFrame.h"
#include "shared/FileEntry.h"
#include "shared/InputEvent.h"
#include "shared/IpcFrameReader.h"
#include "shared/IpcMessage.h"
#include "shared/SessionTypes.h"
#include "shared/SharedFrameBuffer.h"

namespace veltrix {

class AuthController;
class SessionManager;
class SettingsController;
class ApiClient;
class SignalingClient;
class ServiceCommandHandler;

// The service's end of the local pipe "\\.\pipe\VeltrixService". One pipe instance, so at most one
// client. Admitted are only root and the users that have a terminal session (the interactive
// users), and only when the process that connected runs the client program from the service's own
// folder, started before it connected and has not exec'd since (see verifyPipeClient). Whichever
// client holds the connection is the agent; administrator rights come from the credentials the
// kernel recorded when it connected, and the session it acts for (whose user the file accesses
// impersonate) from the same credentials or from the service's own launch of it, never from what
// the client says. Desktop reports count only from the agent the service launched itself.
//
// The server never waits on the pipe: replies go to a bounded queue that each poll drains as far
// as the client reads (a client that lets it overflow is dropped), and a client that leaves a
// message half-sent for longer than the partial-message time-out is dropped too. Messages are read as
// soon as they arrive (a 16 ms poll does the periodic work: a client that connects, replies that
// waited for room, the time-outs), framed as a 32-bit little-endian length and UTF-8 JSON (inbound at most 1 MiB), and handed one by one to
// processCommand; malformed ones are dropped alone. One poll handles a bounded number of messages
// for a bounded time; what is left waits for the next turn of the event loop (not for the next
// tick), so timers, signaling and a stop request run in between however fast a client sends. The
// server also creates the decoded-frame section "Global\VeltrixFrame", writes each decoded
// picture into it and announces it with FRAME.
// Everything runs on the service's Qt thread except isAgentConnected, which any thread may call.
class ServiceIpcServer : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kPipeName = "\\\\.\\pipe\\VeltrixService";
    static constexpr std::uint32_t kMaxInboundMessageBytes = 0x100000;
    static constexpr int kPollIntervalMs = 16;
    static constexpr const char* kClientProgramName = "VeltrixClient";
    // Bytes waiting for a client that does not read; more ends the connection.
    static constexpr std::size_t kMaxOutboundBytes = 16 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kDefaultPartialMessageTimeout{5000};
    // The most one poll handles before the event loop gets its turn.
    static constexpr int kMaxMessagesPerPoll = 64;
    static constexpr std::chrono::milliseconds kPollTimeBudget{8};

    // Which agent the service launched process `pid` as, while that agent still runs.
    using LaunchedAgentLookup = std::function<std::optional<LaunchedAgent>(pid_t pid)>;

    // The objects are owned elsewhere and may be null while the service is partly built.
    ServiceIpcServer(AuthController* auth, SessionManager* sessionManager, SettingsController* settings,
                     ApiClient* apiClient, SignalingClient* signalingClient, QObject* parent = nullptr);
    ~ServiceIpcServer() override;

    // Creates the frame section (if not open) and the first pipe instance; starts the poll.
    void start();
    // Ends the connection (emitting agentDisconnected outside a hand-off), the pipe and the
    // frame section.
    void stop();

    bool isAgentConnected() const { return connected_.load(); }

    // An agent swap: the current agent is told STOP_CAPTURE, and its disconnect does not count
    // as the agent going away until a replacement connects (or clearAgentHandoff).
    void beginAgentHandoff();
    bool isAgentHandoffInProgress() const { return handoffInProgress_; }
    void clearAgentHandoff() { handoffInProgress_ = false; }

    // Frames and writes one message to the agent; dropped silently without one.
    void sendMessage(const IpcMessage& message);
    // The STATE message (built by the message catalogue).
    void sendState();
    // The one entry of every inbound message (the command table).
    void processCommand(const IpcMessage& command);

    // START_CAPTURE with the settings' encoder values and monitor and the encode size.
    IpcMessage startCaptureMessage() const;
    // The latest company name reported by the authentication controller.
    const QString& companyName() const { return companyName_; }
    // The encode size last requested by the remote master (0 x 0: the capture size).
    std::int32_t encodeWidth() const { return encodeWidth_; }
    std::int32_t encodeHeight() const { return encodeHeight_; }
    // A session-state change in the role given: STATE, then START_CAPTURE or STOP_CAPTURE for a
    // target session.
    void applySessionStateChange(SessionState newState, SessionRole role);
    // Completion of the REST client's company-clients request.
    void forwardCompanyClients(int httpStatus, const nlohmann::json& reply);

    // Whether the connected client connected as an administrator (root or a member of the
    // instance's administrators group, by the credentials the kernel recorded at connect time),
    // and, as far as its process can still be read, still is one; for privileged commands.
    bool isPipeClientAdmin() const;

    // How long a message may stay half-received before the client is dropped.
    void setPartialMessageTimeout(std::chrono::milliseconds timeout) { partialMessageTimeout_ = timeout; }
    // Bytes queued for the client and not yet taken by it.
    std::size_t pendingOutboundBytes() const { return outboundBytes_; }

    // The connected agent as the kernel saw it connect; nothing without one.
    std::optional<platform::PeerCredentials> agentPeer() const { return agentPeer_; }

    // The agents the service launched itself (none in console mode): such an agent acts for the
    // session it was launched into, and only it may report desktop changes.
    void setLaunchedAgentLookup(LaunchedAgentLookup lookup) { launchedAgents_ = std::move(lookup); }

    // The periodic poll's interval (kPollIntervalMs unless set); messages never wait for it.
    void setPollInterval(std::chrono::milliseconds interval) { pollTimer_.setInterval(interval); }

    // The work one poll may do: `messages` at most, and no new one after `time` has passed.
    void setPollBudget(int messages, std::chrono::milliseconds time) {
        pollBudgetMessages_ = messages;
        pollBudgetTime_ = time;
    }

    // The program a client must run: VeltrixClient beside the service's own program by default.
    void setClientProgramPath(std::filesystem::path path) { clientProgramPath_ = std::move(path); }
    const std::filesystem::path& clientProgramPath() const { return clientProgramPath_; }
    static std::filesystem::path defaultClientProgramPath();

    // Accepts a client when it connected as root or as a user with a terminal session, and the
    // process that connected still holds the connection itself with close-on-exec set (so it has
    // not exec'd another program since it connected), runs `expectedProgram` and started before
    // `connectTime`; gives the session it acts for (decidePipeClientSession: its own user's, or
    // the one the service launched it into; a client that claims another is refused). On Linux
    // this binds the connection to a process that was the client program when it connected; it
    // cannot tell a client program that another process of the same user controls (ptrace,
    // preloaded libraries), which gains that process nothing beyond its user's own rights.
    static std::optional<std::uint32_t> verifyPipeClient(const platform::PipeConnection& client,
                                                         platform::process::ProcessTime connectTime,
                                                         const std::filesystem::path& expectedProgram,
                                                         const LaunchedAgentLookup& launchedAgents = {});

    // Whether the connected client is the agent the service launched into the agent's session,
    // and still runs as that record: the one client whose desktop reports count.
    bool isLaunchedAgentConnected() const;

    const SharedFrameBuffer& frameSection() const { return frameSection_; }

public slots:
    void pollPipe();
    // The authentication controller's `authenticated`.
    void onServiceAuthenticated(const QString& clientId, const QString& companyName);
    // The session manager's `frameDecoded` (viewer side).
    void forwardDecodedFrame(std::shared_ptr<veltrix::DecodedFrame> frame);

    // The session manager's `stateChanged`.
    void handleSessionStateChange(veltrix::SessionState newState);
    // The session manager's events, forwarded to the agent.
    void forwardAuthFailed();
    // A viewing session whose partner sent nothing: its text reaches the client as ERROR (the
    // shared side's user started nothing and hears nothing).
    void forwardPartnerSilent(QString error);
    void forwardInputEvent(veltrix::InputEvent event);
    void forwardKeyFrameRequest();
    void forwardMonitorSwitch(int monitorIndex);
    void forwardRemoteMonitorCount(int count);
    void forwardEncodeResolution(int width, int height);
    void forwardRemoteClipboardFiles(QString stagingRoot, QStringList fileNames);
    void forwardRemoteCaptureResolution(int width, int height);
    // The session chat service's `messageReceived`.
    void forwardChatMessage(QString text, QDateTime timestamp);
    // The session file-transfer service's events.
    void forwardDirectoryListed(QString path, QList<veltrix::FileEntry> entries);
    void forwardFileDownloadProgress(QString path, int percent);
    void forwardFileDownloadComplete(QString localPath);
    void forwardFileUploadProgress(QString path, int percent);
    void forwardFileUploadComplete();
    void forwardFileError(QString error);

signals:
    void agentConnected();
    void agentDisconnected();
    void commandReceived(nlohmann::json cmd);
    void desktopChanged(QString newName, QString oldName);

private:
    void connectSessionManager();
    void connectSessionServices();
    void createPipeInstance();
    bool onAgentConnected();
    void disconnectAgent();
    // What one poll may still do. Every poll handles at least one message, however long the
    // read before it took.
    struct PollBudget {
        int messagesLeft;
        std::chrono::steady_clock::time_point deadline;
        bool tookOne = false;
        bool spent() const {
            return messagesLeft <= 0 || (tookOne && std::chrono::steady_clock::now() >= deadline);
        }
    };
    // Hands complete messages on while the budget lasts; gives how many it took (malformed ones
    // included).
    int processReceiveBuffer(PollBudget& budget);
    // Reads what the client has sent; false when the connection ended.
    bool readFromClient();
    // Another poll as soon as the event loop has had its turn.
    void schedulePollSoon();
    void flushOutbound();
    void clearOutbound();
    void dropStalledPartialMessage();
    void refreshAdmittedUsers();
    // The pipe's access list and the users' lock folders follow the terminal sessions.
    void followInteractiveUsers();
    void giveFrameSectionToInteractiveUser();

    // Used by the command table and the forwarders of the session's events.
    [[maybe_unused]] AuthController* auth_;
    SessionManager* sessionManager_;
    [[maybe_unused]] SettingsController* settings_;
    [[maybe_unused]] ApiClient* apiClient_;
    [[maybe_unused]] SignalingClient* signalingClient_;

    platform::PipeServer pipe_;
    QTimer pollTimer_;
    // Polls as soon as the connected client has sent something.
    std::unique_ptr<platform::PipeReadWatch> readWatch_;
    std::atomic<bool> connected_{false};
    bool connectPending_ = false;
    bool handoffInProgress_ = false;
    QString companyName_;
    std::int32_t encodeWidth_ = 0;
    std::int32_t encodeHeight_ = 0;
    // The role of the session under way: the session manager has already forgotten it when it
    // reports the state a session ends in.
    SessionRole sessionRole_ = SessionRole::None;
    std::unique_ptr<ServiceCommandHandler> commands_;
    IpcFrameReader receiveBuffer_{kMaxInboundMessageBytes};
    SharedFrameBuffer frameSection_;
    std::vector<std::uint8_t> frameBlock_;  // reused for every decoded picture

    std::filesystem::path clientProgramPath_;
    std::optional<platform::PeerCredentials> agentPeer_;
    LaunchedAgentLookup launchedAgents_;
    int pollBudgetMessages_ = kMaxMessagesPerPoll;
    std::chrono::milliseconds pollBudgetTime_ = kPollTimeBudget;
    bool pollSoonScheduled_ = false;
    std::uint32_t clientSessionId_ = 0;  // the session the connected client acts for
    std::vector<uid_t> lockFolderFailures_;  // users whose lock folder could not be made (logged once)

    // Framed messages the client has not taken yet, each kept whole (no copy into one buffer);
    // the first bytes of the front one may be sent.
    std::deque<std::string> outbound_;
    std::size_t outboundFrontSent_ = 0;
    std::size_t outboundBytes_ = 0;  // unsent bytes in all
    std::chrono::milliseconds partialMessageTimeout_ = kDefaultPartialMessageTimeout;
    std::optional<std::chrono::steady_clock::time_point> partialSince_;
    std::chrono::steady_clock::time_point admittedUsersCheckedAt_{};
};

}  // namespace veltrix

#include "service/ServiceIpcServer.h"

#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <spdlog/spdlog.h>

#include "core/ImpersonationScope.h"
#include "core/SessionManager.h"
#include "platform/NamedMutex.h"
#include "platform/SharedSection.h"
#include "platform/TerminalSessions.h"
#include "service/PipeClientSession.h"
#include "service/ServiceCommandHandler.h"
#include "shared/JsonFields.h"
#include "shared/Logging.h"
#include "shared/SharedFrameHeader.h"

namespace veltrix {

using platform::PipeConnectStatus;
using platform::PipeStatus;
using platform::SystemError;
namespace process = platform::process;

namespace {

// How often the list of users admitted to the pipe follows the terminal sessions while it listens.
constexpr std::chrono::seconds kAdmittedUsersRefresh{1};

// The users that have a terminal session: the interactive users, who may connect besides root.
std::vector<uid_t> interactiveUsers() {
    std::vector<uid_t> users;
    for (const auto& session : platform::sessions::enumerate()) users.push_back(session.uid);
    return users;
}

bool isInteractiveUser(uid_t uid) {
    const auto users = interactiveUsers();
    return std::find(users.begin(), users.end(), uid) != users.end();
}

// Both sections of this instance; neither may outlive the service, and one left behind by a
// service that did not stop still holds its last picture.
void removeSections() {
    platform::removeSection(kFrameSectionName);
    platform::removeSection(kCaptureSectionName);
}

}  // namespace

ServiceIpcServer::ServiceIpcServer(AuthController* auth, SessionManager* sessionManager,
                                   SettingsController* settings, ApiClient* apiClient,
                                   SignalingClient* signalingClient, QObject* parent)
    : QObject(parent),
      auth_(auth),
      sessionManager_(sessionManager),
      settings_(settings),
      apiClient_(apiClient),
      signalingClient_(signalingClient),
      pipe_(kPipeName),
      clientProgramPath_(defaultClientProgramPath()) {
    qRegisterMetaType<nlohmann::json>();
    commands_ = std::make_unique<ServiceCommandHandler>(*this, auth, sessionManager, settings, apiClient);
    pollTimer_.setInterval(kPollIntervalMs);
    connect(&pollTimer_, &QTimer::timeout, this, &ServiceIpcServer::pollPipe);
    // The authentication controller's `authenticated` is connected by the service's object graph.
    if (sessionManager_) connectSessionManager();
}

void ServiceIpcServer::connectSessionManager() {
    SessionManager* session = sessionManager_;
    connect(session, &SessionManager::stateChanged, this, &ServiceIpcServer::handleSessionStateChange);
    connect(session, &SessionManager::frameDecoded, this, &ServiceIpcServer::forwardDecodedFrame);
    connect(session, &SessionManager::sessionAuthFailed, this, &ServiceIpcServer::forwardAuthFailed);
    connect(session, &SessionManager::partnerSilent, this, &ServiceIpcServer::forwardPartnerSilent);
    connect(session, &SessionManager::inputEventReceived, this, &ServiceIpcServer::forwardInputEvent);
    connect(session, &SessionManager::keyFrameRequested, this, &ServiceIpcServer::forwardKeyFrameRequest);
    connect(session, &SessionManager::monitorSwitchRequested, this, &ServiceIpcServer::forwardMonitorSwitch);
    connect(session, &SessionManager::monitorCountReceived, this, &ServiceIpcServer::forwardRemoteMonitorCount);
    connect(session, &SessionManager::encodeResolutionRequested, this, &ServiceIpcServer::forwardEncodeResolution);
    connect(session, &SessionManager::clipboardFilesReceived, this, &ServiceIpcServer::forwardRemoteClipboardFiles);
    connect(session, &SessionManager::captureResolutionReceived, this,
            &ServiceIpcServer::forwardRemoteCaptureResolution);
}

ServiceIpcServer::~ServiceIpcServer() { stop(); }

std::filesystem::path ServiceIpcServer::defaultClientProgramPath() {
    const auto own = process::ownProgramPath();
    return own.empty() ? std::filesystem::path(kClientProgramName) : own.parent_path() / kClientProgramName;
}

void ServiceIpcServer::start() {
    if (!frameSection_.isOpen()) {
        removeSections();
        // Users may only read; the admitted user is the interactive user (none named: every
        // interactive user). Each agent that connects gets it for its own user.
        frameSection_.create(kFrameSectionName, kFrameSectionSize, false, interactiveUserSid().toStdString());
    }
    createPipeInstance();
    pollTimer_.start();
    spdlog::info("ServiceIpcServer started, listening on pipe");
}

void ServiceIpcServer::stop() {
    const bool wasRunning = pipe_.hasInstance() || pollTimer_.isActive() || frameSection_.isOpen();
    pollTimer_.stop();
    if (connected_ || pipe_.hasInstance()) disconnectAgent();
    pipe_.close();
    // A reader that still maps the section sees no picture left in it.
    frameSection_.clearFrame();
    frameSection_.close();
    // The session ended with the agent's disconnect above, so its capture section goes too.
    removeSections();
    connectPending_ = false;
    if (wasRunning) spdlog::info("ServiceIpcServer stopped");
}

void ServiceIpcServer::createPipeInstance() {
    readWatch_.reset();  // the instance's client goes with it
    connectPending_ = false;
    clearOutbound();
    partialSince_.reset();
    followInteractiveUsers();
    SystemError error;
    if (!pipe_.createInstance(error)) {
        spdlog::error("CreateNamedPipeW failed (error {})", error.text());
        return;
    }
    // A client that arrives is picked up by the next poll.
    connectPending_ = true;
}

void ServiceIpcServer::refreshAdmittedUsers() {
    if (std::chrono::steady_clock::now() - admittedUsersCheckedAt_ < kAdmittedUsersRefresh) return;
    followInteractiveUsers();
}

void ServiceIpcServer::followInteractiveUsers() {
    admittedUsersCheckedAt_ = std::chrono::steady_clock::now();
    const auto users = interactiveUsers();
    // Each interactive user's client keeps its single-instance lock in a folder of the run folder
    // that only that user may write, made here, so no other account can take or block it.
    for (const uid_t user : users) {
        SystemError error;
        const bool prepared = platform::NamedMutex::prepareUserFolder(user, error);
        const auto known = std::find(lockFolderFailures_.begin(), lockFolderFailures_.end(), user);
        if (prepared) {
            if (known != lockFolderFailures_.end()) lockFolderFailures_.erase(known);
        } else if (known == lockFolderFailures_.end()) {
            // Once per failure, not at every refresh.
            spdlog::warn("ServiceIpc: cannot prepare the lock folder of uid {} (error {})", user, error.text());
            lockFolderFailures_.push_back(user);
        }
    }
    pipe_.admitUsers(users);
}

void ServiceIpcServer::pollPipe() {
    pollSoonScheduled_ = false;
    if (!pipe_.hasInstance()) return;
    refreshAdmittedUsers();
    if (connectPending_) {
        SystemError error;
        switch (pipe_.connectClient(error)) {
        case PipeConnectStatus::Pending:
            return;
        case PipeConnectStatus::Failed:
            spdlog::error("GetOverlappedResult (connect) failed (error {})", error.text());
            connectPending_ = false;
            createPipeInstance();
            return;
        case PipeConnectStatus::Connected:
            connectPending_ = false;
            spdlog::info("Agent connected to pipe");
            if (!onAgentConnected()) return;
            break;
        }
    }
    if (!connected_) return;
    flushOutbound();
    if (!connected_) return;

    // Messages left over from the last poll go first; more is read only once they are handled,
    // so a client that sends faster than the service works cannot grow the buffer without end.
    PollBudget budget{pollBudgetMessages_, std::chrono::steady_clock::now() + pollBudgetTime_};
    int taken = processReceiveBuffer(budget);
    if (!connected_) return;
    if (!budget.spent()) {
        if (!readFromClient()) return;
        taken += processReceiveBuffer(budget);
        if (!connected_) return;
    }
    // The clock of a partial message starts when it began (the previous one ended), so a client
    // that trickles a byte now and then cannot hold the one pipe instance either.
    if (receiveBuffer_.buffered() == 0) partialSince_.reset();
    else if (!partialSince_ || taken > 0) partialSince_ = std::chrono::steady_clock::now();
    if (budget.spent()) {
        // More may be waiting: the rest comes after the event loop's other work, not a tick later.
        schedulePollSoon();
        return;
    }
    dropStalledPartialMessage();
}

bool ServiceIpcServer::readFromClient() {
    const auto peek = pipe_.client().peek();
    if (peek.status == PipeStatus::Closed) {
        spdlog::info("Agent disconnected (broken pipe)");
        disconnectAgent();
        return false;
    }
    if (peek.status != PipeStatus::Ok) {
        spdlog::warn("PeekNamedPipe failed (error {})", peek.error.text());
        return true;
    }
    if (peek.bytes == 0) return true;
    // One read per poll, of what the peek saw; a larger burst is read by later polls.
    char* room = receiveBuffer_.prepare(peek.bytes);
    const auto read = pipe_.client().read(room, peek.bytes);
    receiveBuffer_.commit(read.status == PipeStatus::Ok ? read.bytes : 0);
    if (read.status == PipeStatus::Closed) {
        spdlog::info("Agent disconnected during read");
        disconnectAgent();
        return false;
    }
    if (read.status != PipeStatus::Ok) spdlog::warn("ReadFile failed (error {})", read.error.text());
    return true;
}

void ServiceIpcServer::schedulePollSoon() {
    if (pollSoonScheduled_) return;
    pollSoonScheduled_ = true;
    QTimer::singleShot(0, this, &ServiceIpcServer::pollPipe);
}

void ServiceIpcServer::dropStalledPartialMessage() {
    if (!partialSince_ || std::chrono::steady_clock::now() - *partialSince_ < partialMessageTimeout_) return;
    spdlog::warn("ServiceIpc: dropping pipe client: a message stayed incomplete for {} ms ({} bytes received)",
                 partialMessageTimeout_.count(), receiveBuffer_.buffered());
    disconnectAgent();
}

bool ServiceIpcServer::onAgentConnected() {
    if (!pipe_.hasClient()) return false;
    const auto connectTime = process::now();
    const auto sessionId = verifyPipeClient(pipe_.client(), connectTime, clientProgramPath_, launchedAgents_);
    if (!sessionId) {
        // A refused client never receives a byte.
        pipe_.disconnectClient();
        createPipeInstance();
        return false;
    }
    SystemError ignored;
    agentPeer_ = pipe_.client().peerCredentials(ignored);
    clientSessionId_ = *sessionId;
    setAgentSessionId(*sessionId);
    giveFrameSectionToInteractiveUser();
    connected_ = true;
    readWatch_ = std::make_unique<platform::PipeReadWatch>(pipe_.client(), [this] { pollPipe(); });
    if (handoffInProgress_) {
        handoffInProgress_ = false;
        spdlog::info("Agent handoff completed — new agent connected");
    }
    emit agentConnected();
    sendState();
    // A replacement agent that arrives while a target session streams resumes it at once, and so
    // does the first agent when the session came up before it.
    const ServiceStateSnapshot session = commands_->stateSnapshot();
    if (session.sessionRole == SessionRole::Target && session.sessionState == SessionState::Connected) {
        sendMessage(startCaptureMessage());
        spdlog::info("Sent START_CAPTURE to agent (encode={}x{})", encodeWidth_, encodeHeight_);
    }
    return true;
}

std::optional<std::uint32_t> ServiceIpcServer::verifyPipeClient(const platform::PipeConnection& client,
                                                                process::ProcessTime connectTime,
                                                                const std::filesystem::path& expectedProgram,
                                                                const LaunchedAgentLookup& launchedAgents) {
    SystemError error;
    const auto peer = client.peerCredentials(error);
    if (!peer) {
        spdlog::error("ServiceIpc: GetNamedPipeClientProcessId failed (err {})", error.text());
        return std::nullopt;
    }
    const pid_t pid = peer->pid;
    if (peer->uid != 0 && !isInteractiveUser(peer->uid)) {
        spdlog::error("ServiceIpc: rejecting pipe client pid={} uid={} — not an interactive user", pid, peer->uid);
        return std::nullopt;
    }
    const auto processHandle = process::ProcessHandle::open(pid, error);
    if (!processHandle.isValid()) {
        spdlog::error("ServiceIpc: OpenProcess({}) failed (err {})", pid, error.text());
        return std::nullopt;
    }
    const auto started = processHandle.startTime(error);
    if (!started) {
        spdlog::error("ServiceIpc: GetProcessTimes({}) failed (err {})", pid, error.text());
        return std::nullopt;
    }
    if (*started >= connectTime) {
        spdlog::error("ServiceIpc: rejecting pipe client pid={} — process started after the connection (PID reuse?)",
                      pid);
        return std::nullopt;
    }
    // The client program opens its end with close-on-exec, so an exec after connecting would have
    // closed it: a process that no longer holds it that way has become another program since.
    const auto hold = client.peerEndHeldBy(pid, error);
    if (hold != platform::PeerEndHold::HeldOwn) {
        spdlog::error("ServiceIpc: rejecting pipe client pid={} — {}", pid,
                      hold == platform::PeerEndHold::HeldAcrossExec
                          ? "it holds the connection across exec (program changed since connect?)"
                          : "the connecting process no longer holds the connection (err " + error.text() + ")");
        return std::nullopt;
    }
    const auto image = processHandle.imagePath(error);
    if (!image) {
        spdlog::error("ServiceIpc: QueryFullProcessImageNameW failed (err {})", error.text());
        return std::nullopt;
    }
    // The start time again: the process read above is still the one that connected.
    const auto startedNow = processHandle.startTime(error);
    if (!startedNow || *startedNow != *started) {
        spdlog::error("ServiceIpc: rejecting pipe client pid={} — the process went away during the check", pid);
        return std::nullopt;
    }
    // Paths on this system are case-sensitive and the kernel gives the resolved path, so the
    // comparison is exact (a differently spelled name would be a different file).
    if (*image != expectedProgram.lexically_normal()) {
        spdlog::error("ServiceIpc: rejecting pipe client pid={} path='{}' (expected '{}')", pid, image->string(),
                      expectedProgram.string());
        return std::nullopt;
    }
    // The session it acts for, from the user the kernel recorded and the service's own launches.
    // A launch record still running under this id is the process checked above: ids are not
    // reused while the process that has one runs.
    PipeClientFacts facts;
    facts.uid = peer->uid;
    if (launchedAgents) facts.launched = launchedAgents(pid);
    facts.claim = platform::sessions::claimedSession(pid);
    const PipeClientSession session = decidePipeClientSession(facts, platform::sessions::enumerate());
    if (!session.sessionId) {
        spdlog::error("ServiceIpc: rejecting pipe client pid={} uid={} — {}", pid, peer->uid, session.refusal);
        return std::nullopt;
    }
    spdlog::info("ServiceIpc: accepted pipe client pid={} session={} path='{}'{}", pid, *session.sessionId,
                 image->string(), facts.launched ? " (launched by the service)" : "");
    return session.sessionId;
}

bool ServiceIpcServer::isPipeClientAdmin() const {
    // The decision rests on what the kernel recorded at connect time: a client cannot gain it by
    // changing its credentials afterwards (a set-user-id program exec'd by a process that kept
    // the connection).
    if (!agentPeer_) {
        spdlog::error("ServiceIpc: admin check — GetNamedPipeClientProcessId failed (err {})",
                      SystemError{ENOTCONN}.text());
        return false;
    }
    const process::Credentials atConnect{agentPeer_->uid, agentPeer_->gid, agentPeer_->groups};
    if (!process::isAdministrator(atConnect)) {
        spdlog::warn("ServiceIpc: denying privileged command from non-admin pipe client pid={}", agentPeer_->pid);
        return false;
    }
    // The process as it is now may only narrow the decision: one that has dropped its rights
    // since, or can no longer be read, is not an administrator.
    SystemError error;
    const auto processHandle = process::ProcessHandle::open(agentPeer_->pid, error);
    if (!processHandle.isValid()) {
        spdlog::error("ServiceIpc: admin check — OpenProcess({}) failed (err {})", agentPeer_->pid, error.text());
        return false;
    }
    const auto credentials = processHandle.credentials(error);
    if (!credentials) {
        spdlog::error("ServiceIpc: admin check — OpenProcessToken failed (err {})", error.text());
        return false;
    }
    if (!process::isAdministrator(*credentials)) {
        spdlog::warn("ServiceIpc: denying privileged command from non-admin pipe client pid={}", agentPeer_->pid);
        return false;
    }
    return true;
}

bool ServiceIpcServer::isLaunchedAgentConnected() const {
    if (!connected_ || !agentPeer_ || !launchedAgents_) return false;
    const auto launched = launchedAgents_(agentPeer_->pid);
    return launched && launched->sessionId == clientSessionId_;
}

void ServiceIpcServer::giveFrameSectionToInteractiveUser() {
    if (!frameSection_.isOpen()) return;
    // With the agent's session set, the interactive user is the agent's user.
    frameSection_.admitUser(false, interactiveUserSid().toStdString());
}

void ServiceIpcServer::disconnectAgent() {
    if (connected_) {
        connected_ = false;
        agentPeer_.reset();
        clearAgentSessionId();
        if (handoffInProgress_) {
            spdlog::info("Agent disconnected during handoff (expected)");
        } else {
            spdlog::info("Agent disconnected");
            emit agentDisconnected();
        }
    }
    readWatch_.reset();
    receiveBuffer_.clear();
    partialSince_.reset();
    clearOutbound();
    if (pipe_.hasClient()) pipe_.disconnectClient();
    createPipeInstance();
}

void ServiceIpcServer::beginAgentHandoff() {
    handoffInProgress_ = true;
    spdlog::info("Agent handoff started — sending STOP_CAPTURE to current agent");
    if (connected_) sendMessage(IpcMessage{{"type", "STOP_CAPTURE"}});
}

int ServiceIpcServer::processReceiveBuffer(PollBudget& budget) {
    // A command may end the connection (a failed reply); the buffer is then empty and the loop
    // ends with it.
    int taken = 0;
    for (; !budget.spent(); --budget.messagesLeft, budget.tookOne = true) {
        IpcMessage message;
        std::string error;
        switch (receiveBuffer_.next(message, error)) {
        case IpcFrameReader::Status::NeedMore:
            return taken;
        case IpcFrameReader::Status::TooLarge:
            spdlog::error("IPC message too large ({}), disconnecting agent", receiveBuffer_.pendingLength());
            disconnectAgent();
            return taken;
        case IpcFrameReader::Status::ParseError:
            ++taken;
            spdlog::warn("IPC JSON parse error: {}", logging::peerText(error));
            continue;
        case IpcFrameReader::Status::Message:
            ++taken;
            processCommand(message);
            emit commandReceived(message);
            continue;
        }
    }
    return taken;
}

void ServiceIpcServer::processCommand(const IpcMessage& command) {
    const json::Json* type = json::member(command, "type");
    if (!type) {
        spdlog::warn("IPC command missing 'type' field");
        return;
    }
    if (!type->is_string()) {
        spdlog::warn("IPC command 'type' is not a string");
        return;
    }
    commands_->process(type->get_ref<const std::string&>(), command);
}

void ServiceIpcServer::sendState() {
    if (!connected_) return;
    sendMessage(buildStateMessage(commands_->stateSnapshot()));
}

void ServiceIpcServer::sendMessage(const IpcMessage& message) {
    if (!connected_ || !pipe_.hasClient()) return;
    std::string frame = encodeIpcFrame(message);
    if (frame.empty()) {
        spdlog::error("ServiceIpcServer: message too large to frame, dropped");
        return;
    }
    // One message of any size may wait (outbound messages have no limit); more behind it than the
    // bound means the client has stopped reading.
    if (pendingOutboundBytes() > 0 && pendingOutboundBytes() + frame.size() > kMaxOutboundBytes) {
        spdlog::warn("ServiceIpc: dropping pipe client: it has not read {} bytes of replies",
                     pendingOutboundBytes());
        disconnectAgent();
        return;
    }
    outboundBytes_ += frame.size();
    outbound_.push_back(std::move(frame));
    flushOutbound();
}

void ServiceIpcServer::flushOutbound() {
    while (!outbound_.empty() && pipe_.hasClient()) {
        const std::string& front = outbound_.front();
        const auto result = pipe_.client().writeSome(std::string_view(front).substr(outboundFrontSent_));
        outboundFrontSent_ += result.bytes;
        outboundBytes_ -= result.bytes;
        if (outboundFrontSent_ == front.size()) {
            outbound_.pop_front();
            outboundFrontSent_ = 0;
        }
        switch (result.status) {
        case PipeStatus::Ok:
        case PipeStatus::TimedOut:
            if (result.bytes == 0) return;  // the client's buffer is full: the next poll goes on
            continue;
        case PipeStatus::Closed:
            spdlog::info("Agent disconnected during write");
            disconnectAgent();
            return;
        case PipeStatus::Failed:
            // The queue keeps what was not sent, so the stream stays whole; the next poll retries.
            spdlog::warn("WriteFile to pipe failed (error {})", result.error.text());
            return;
        }
    }
}

void ServiceIpcServer::clearOutbound() {
    outbound_.clear();
    outboundFrontSent_ = 0;
    outboundBytes_ = 0;
}

void ServiceIpcServer::onServiceAuthenticated(const QString& /*clientId*/, const QString& companyName) {
    companyName_ = companyName;
    sendState();
}

void ServiceIpcServer::forwardDecodedFrame(std::shared_ptr<DecodedFrame> frame) {
    if (!frame || !frameSection_.isOpen()) return;
    if (frame->width <= 0 || frame->height <= 0 || frame->strideY <= 0 || frame->strideUV < 0 ||
        (frame->y.empty() && frame->uv.empty())) {
        return;
    }
    // Sizes in 64 bits: no product of peer-derived dimensions can wrap.
    const std::uint64_t ySize = static_cast<std::uint64_t>(frame->height) * static_cast<std::uint64_t>(frame->strideY);
    const std::uint64_t uvSize =
        static_cast<std::uint64_t>(frame->height / 2) * static_cast<std::uint64_t>(frame->strideUV);
    const std::uint64_t capacity = frameSection_.size() - kSharedFrameHeaderSize;
    if (ySize + uvSize > capacity) {
        spdlog::warn("SharedFrameBuffer::writeFrame: frame too large ({} > {})", ySize + uvSize + kSharedFrameHeaderSize,
                     frameSection_.size());
    } else {
        // One contiguous NV12 block: the Y plane, then the UV plane; a shorter plane leaves zeros.
        frameBlock_.resize(ySize + uvSize);
        const std::size_t yCopy = std::min<std::uint64_t>(frame->y.size(), ySize);
        const std::size_t uvCopy = std::min<std::uint64_t>(frame->uv.size(), uvSize);
        std::uint8_t* block = frameBlock_.data();
        if (yCopy > 0) std::memcpy(block, frame->y.data(), yCopy);
        std::memset(block + yCopy, 0, ySize - yCopy);
        if (uvCopy > 0) std::memcpy(block + ySize, frame->uv.data(), uvCopy);
        std::memset(block + ySize + uvCopy, 0, uvSize - uvCopy);
        frameSection_.writeFrame(frame->width, frame->height, frame->strideY, frame->strideUV, frameBlock_.data(),
                                 frameBlock_.size());
    }
    if (!connected_) return;
    const std::uint64_t frameId = frameSection_.sequence();
    sendMessage(IpcMessage{{"type", "FRAME"}, {"frame_id", frameId}, {"width", frame->width}, {"height", frame->height}});
}

}  // namespace veltrix

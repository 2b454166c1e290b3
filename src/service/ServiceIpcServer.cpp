#include "service/ServiceIpcServer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <spdlog/spdlog.h>

#include "core/SessionManager.h"
#include "platform/TerminalSessions.h"
#include "service/ServiceCommandHandler.h"
#include "shared/JsonFields.h"
#include "shared/SharedFrameHeader.h"

namespace veltrix {

using platform::PipeConnectStatus;
using platform::PipeStatus;
using platform::SystemError;
namespace process = platform::process;

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
        // Users may only read; the admitted user is the interactive user once the impersonation
        // layer names one (an empty name admits every local user).
        frameSection_.create(kFrameSectionName, kFrameSectionSize, false, std::string());
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
    frameSection_.close();
    connectPending_ = false;
    if (wasRunning) spdlog::info("ServiceIpcServer stopped");
}

void ServiceIpcServer::createPipeInstance() {
    connectPending_ = false;
    SystemError error;
    if (!pipe_.createInstance(error)) {
        spdlog::error("CreateNamedPipeW failed (error {})", error.text());
        return;
    }
    // A client that arrives is picked up by the next poll.
    connectPending_ = true;
}

void ServiceIpcServer::pollPipe() {
    if (!pipe_.hasInstance()) return;
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

    const auto peek = pipe_.client().peek();
    if (peek.status == PipeStatus::Closed) {
        spdlog::info("Agent disconnected (broken pipe)");
        disconnectAgent();
        return;
    }
    if (peek.status != PipeStatus::Ok) {
        spdlog::warn("PeekNamedPipe failed (error {})", peek.error.text());
        return;
    }
    if (peek.bytes == 0) return;

    // One read per tick, of what the peek saw; a larger burst is read on later ticks.
    char* room = receiveBuffer_.prepare(peek.bytes);
    const auto read = pipe_.client().read(room, peek.bytes);
    receiveBuffer_.commit(read.status == PipeStatus::Ok ? read.bytes : 0);
    if (read.status == PipeStatus::Closed) {
        spdlog::info("Agent disconnected during read");
        disconnectAgent();
        return;
    }
    if (read.status != PipeStatus::Ok) {
        spdlog::warn("ReadFile failed (error {})", read.error.text());
        return;
    }
    processReceiveBuffer();
}

bool ServiceIpcServer::onAgentConnected() {
    if (!pipe_.hasClient()) return false;
    const auto connectTime = process::now();
    const auto sessionId = verifyPipeClient(pipe_.client(), connectTime, clientProgramPath_);
    if (!sessionId) {
        // A refused client never receives a byte.
        pipe_.disconnectClient();
        createPipeInstance();
        return false;
    }
    SystemError ignored;
    agentPeer_ = pipe_.client().peerCredentials(ignored);
    // The impersonation layer learns the agent's session (*sessionId) here.
    connected_ = true;
    if (handoffInProgress_) {
        handoffInProgress_ = false;
        spdlog::info("Agent handoff completed — new agent connected");
    }
    emit agentConnected();
    sendState();
    // A replacement agent that arrives while a target session streams resumes it at once.
    const ServiceStateSnapshot session = commands_->stateSnapshot();
    if (session.sessionRole == SessionRole::Target && session.sessionState == SessionState::Connected) {
        sendMessage(startCaptureMessage());
    }
    return true;
}

std::optional<std::uint32_t> ServiceIpcServer::verifyPipeClient(const platform::PipeConnection& client,
                                                                process::ProcessTime connectTime,
                                                                const std::filesystem::path& expectedProgram) {
    SystemError error;
    const auto peer = client.peerCredentials(error);
    if (!peer) {
        spdlog::error("ServiceIpc: GetNamedPipeClientProcessId failed (err {})", error.text());
        return std::nullopt;
    }
    const pid_t pid = peer->pid;
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
    const auto image = processHandle.imagePath(error);
    if (!image) {
        spdlog::error("ServiceIpc: QueryFullProcessImageNameW failed (err {})", error.text());
        return std::nullopt;
    }
    const std::uint32_t sessionId = platform::sessions::sessionOfProcess(pid);
    // Paths on this system are case-sensitive and the kernel gives the resolved path, so the
    // comparison is exact (a differently spelled name would be a different file).
    if (*image != expectedProgram.lexically_normal()) {
        spdlog::error("ServiceIpc: rejecting pipe client pid={} path='{}' (expected '{}')", pid, image->string(),
                      expectedProgram.string());
        return std::nullopt;
    }
    spdlog::info("ServiceIpc: accepted pipe client pid={} session={} path='{}'", pid, sessionId, image->string());
    return sessionId;
}

bool ServiceIpcServer::isPipeClientAdmin() const {
    SystemError error;
    const auto peer = pipe_.client().peerCredentials(error);
    if (!peer) {
        spdlog::error("ServiceIpc: admin check — GetNamedPipeClientProcessId failed (err {})", error.text());
        return false;
    }
    const auto processHandle = process::ProcessHandle::open(peer->pid, error);
    if (!processHandle.isValid()) {
        spdlog::error("ServiceIpc: admin check — OpenProcess({}) failed (err {})", peer->pid, error.text());
        return false;
    }
    // The client's credentials as they are now, not those of its user in general: a process
    // that dropped its privileges is not an administrator.
    const auto credentials = processHandle.credentials(error);
    if (!credentials) {
        spdlog::error("ServiceIpc: admin check — OpenProcessToken failed (err {})", error.text());
        return false;
    }
    if (!process::isAdministrator(*credentials)) {
        spdlog::warn("ServiceIpc: denying privileged command from non-admin pipe client pid={}", peer->pid);
        return false;
    }
    return true;
}

void ServiceIpcServer::disconnectAgent() {
    if (connected_) {
        connected_ = false;
        agentPeer_.reset();
        // The impersonation layer forgets the agent's session here.
        if (handoffInProgress_) {
            spdlog::info("Agent disconnected during handoff (expected)");
        } else {
            spdlog::info("Agent disconnected");
            emit agentDisconnected();
        }
    }
    receiveBuffer_.clear();
    if (pipe_.hasClient()) pipe_.disconnectClient();
    createPipeInstance();
}

void ServiceIpcServer::beginAgentHandoff() {
    handoffInProgress_ = true;
    spdlog::info("Agent handoff started — sending STOP_CAPTURE to current agent");
    if (connected_) sendMessage(IpcMessage{{"type", "STOP_CAPTURE"}});
}

void ServiceIpcServer::processReceiveBuffer() {
    // A command may end the connection (a failed reply); the buffer is then empty and the loop
    // ends with it.
    for (;;) {
        IpcMessage message;
        std::string error;
        switch (receiveBuffer_.next(message, error)) {
        case IpcFrameReader::Status::NeedMore:
            return;
        case IpcFrameReader::Status::TooLarge:
            spdlog::error("IPC message too large ({}), disconnecting agent", receiveBuffer_.pendingLength());
            disconnectAgent();
            return;
        case IpcFrameReader::Status::ParseError:
            spdlog::warn("IPC JSON parse error: {}", error);
            continue;
        case IpcFrameReader::Status::Message:
            processCommand(message);
            emit commandReceived(message);
            continue;
        }
    }
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
    const std::string frame = encodeIpcFrame(message);
    if (frame.empty()) {
        spdlog::error("ServiceIpcServer: message too large to frame, dropped");
        return;
    }
    const auto result = pipe_.client().write(frame);
    switch (result.status) {
    case PipeStatus::Ok:
        return;
    case PipeStatus::Closed:
        spdlog::info("Agent disconnected during write");
        disconnectAgent();
        return;
    case PipeStatus::TimedOut:
    case PipeStatus::Failed:
        spdlog::warn("WriteFile to pipe failed (error {})", result.error.text());
        // A client that reads nothing for the whole write time-out is hung, and a message cut
        // short leaves the stream unreadable: either way the connection cannot go on.
        if (result.status == PipeStatus::TimedOut || result.bytes > 0) disconnectAgent();
        return;
    }
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
    const std::uint64_t frameId = std::atomic_ref<std::uint64_t>(frameSection_.header()->sequence).load();
    sendMessage(IpcMessage{{"type", "FRAME"}, {"frame_id", frameId}, {"width", frame->width}, {"height", frame->height}});
}

}  // namespace veltrix

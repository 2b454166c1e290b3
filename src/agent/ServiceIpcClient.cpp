#include "agent/ServiceIpcClient.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <spdlog/spdlog.h>

#include "agent/FrameConverter.h"
#include "agent/InputForwarder.h"
#include "agent/ScreenCaptureManager.h"
#include "platform/ServiceAccount.h"
#include "shared/InputEventJson.h"
#include "shared/JsonFields.h"
#include "shared/SharedFrameReader.h"

namespace veltrix {
namespace {

using platform::PipeStatus;
using platform::SystemError;

std::string utf8(const QString& text) { return text.toStdString(); }
QString qText(const std::string& text) { return QString::fromStdString(text); }

// "master"/"Master" and "target"/"Target"; anything else is no role.
SessionRole roleFromStateText(const std::string& name) {
    if (name == "master" || name == "Master") return SessionRole::Master;
    if (name == "target" || name == "Target") return SessionRole::Target;
    return SessionRole::None;
}

// Milliseconds since the epoch as QDateTime can hold them (about 292,000 years either way).
constexpr double kMaxEpochMs = 8.64e15;

}  // namespace

ServiceIpcClient::ServiceIpcClient(QObject* parent) : QObject(parent), factories_(CaptureAgentFactories::system()) {
    qRegisterMetaType<nlohmann::json>();
    qRegisterMetaType<FileRequest>();
    pollTimer_.setInterval(kPollIntervalMs);
    connect(&pollTimer_, &QTimer::timeout, this, [this] { onPipePoll(); });
    reconnectTimer_.setSingleShot(true);
    connect(&reconnectTimer_, &QTimer::timeout, this, [this] { onReconnectTimer(); });
}

ServiceIpcClient::~ServiceIpcClient() {
    reconnectTimer_.stop();
    disconnectFromService();
    reconnectTimer_.stop();
}

bool ServiceIpcClient::isConnected() const {
    std::lock_guard lock(writeMutex_);
    return pipe_.isOpen();
}

int ServiceIpcClient::reconnectDelayMs(int attempt) { return attempt < 4 ? 1000 << std::max(attempt, 0) : 16000; }

bool ServiceIpcClient::connectToService() {
    if (isConnected()) {
        spdlog::warn("ServiceIpcClient: already connected");
        return true;
    }
    return openPipe();
}

bool ServiceIpcClient::openPipe() {
    SystemError error;
    platform::PipeConnection pipe = platform::connectToPipe(kPipeName, error);
    if (!pipe.isOpen()) {
        spdlog::error("ServiceIpcClient: failed to connect to pipe, error={}", error.text());
        return false;
    }
    // The server's credentials as the kernel recorded them when it started listening.
    const auto server = pipe.peerCredentials(error);
    if (!server) {
        spdlog::error("ServiceIpcClient: cannot identify the pipe server, error={}", error.text());
        return false;
    }
    if (!platform::service::isServiceAccount(server->uid)) {
        spdlog::error("ServiceIpcClient: refusing pipe server pid={} uid={}: not the service's account", server->pid,
                      server->uid);
        return false;
    }
    readWatch_.reset();
    {
        std::lock_guard lock(writeMutex_);
        pipe_ = std::move(pipe);
        ++linkGeneration_;
        linkBroken_ = false;
    }
    spdlog::info("ServiceIpcClient: connected to service pipe");
    readWatch_ = std::make_unique<platform::PipeReadWatch>(pipe_, [this] { onPipePoll(); });
    readBuffer_.clear();
    reconnectTimer_.stop();
    reconnectAttempts_ = 0;
    awaitingFirstState_ = true;
    pollTimer_.start();
    emit connected();
    return true;
}

void ServiceIpcClient::disconnectFromService() {
    pollTimer_.stop();
    readWatch_.reset();
    stopCapture();
    closeFrameSection();
    bool wasOpen = false;
    {
        std::lock_guard lock(writeMutex_);
        if (pipe_.isOpen()) {
            pipe_.close();
            wasOpen = true;
            spdlog::info("ServiceIpcClient: disconnected from service pipe");
        }
        linkBroken_ = false;
    }
    readBuffer_.clear();
    // What belongs to the link is forgotten without a signal; the identity stays for the next.
    sessionState_ = SessionState::Idle;
    sessionRole_ = SessionRole::None;
    isAuthenticated_ = false;
    lastFrameId_ = 0;
    fileRequests_.clear();
    if (!wasOpen) return;

    emit disconnected();
    scheduleReconnect(true);
}

void ServiceIpcClient::scheduleReconnect(bool afterDrop) {
    if (reconnectAttempts_ >= kMaxReconnectAttempts) {
        spdlog::error("ServiceIpcClient: max reconnect attempts reached, giving up");
        return;
    }
    const int delay = reconnectDelayMs(reconnectAttempts_);
    if (afterDrop) {
        spdlog::info("ServiceIpcClient: will attempt reconnect in {}ms (attempt {}/{})", delay, reconnectAttempts_ + 1,
                     kMaxReconnectAttempts);
    } else {
        spdlog::info("ServiceIpcClient: next reconnect in {}ms", delay);
    }
    reconnectTimer_.start(delay);
}

void ServiceIpcClient::onReconnectTimer() {
    reconnectTimer_.stop();  // when called before the timer fired
    ++reconnectAttempts_;
    spdlog::info("ServiceIpcClient: reconnect attempt {}/{}", reconnectAttempts_, kMaxReconnectAttempts);
    if (isConnected()) {
        spdlog::warn("ServiceIpcClient: already connected");
    } else if (!openPipe()) {
        scheduleReconnect(false);
        return;
    }
    spdlog::info("ServiceIpcClient: reconnected successfully");
    sendCommand(IpcMessage{{"type", "GET_STATE"}});
}

void ServiceIpcClient::onPipePoll() {
    if (linkBroken_) {
        // A write on another thread found the link broken.
        spdlog::warn("ServiceIpcClient: pipe broken, disconnecting");
        disconnectFromService();
        return;
    }
    if (!pipe_.isOpen()) return;
    const auto peek = pipe_.peek();
    if (peek.status == PipeStatus::Closed) {
        spdlog::warn("ServiceIpcClient: pipe broken, disconnecting");
        disconnectFromService();
        return;
    }
    if (peek.status != PipeStatus::Ok || peek.bytes == 0) return;

    // One read per tick, of what the peek saw.
    char* room = readBuffer_.prepare(peek.bytes);
    const auto read = pipe_.read(room, peek.bytes);
    readBuffer_.commit(read.status == PipeStatus::Ok ? read.bytes : 0);
    if (read.status == PipeStatus::Closed) {
        spdlog::warn("ServiceIpcClient: pipe broken during read, disconnecting");
        disconnectFromService();
        return;
    }
    if (read.status != PipeStatus::Ok) return;
    parseReceived();
}

void ServiceIpcClient::parseReceived() {
    // A message may end the link (an oversized length); the buffer is then empty.
    for (;;) {
        IpcMessage message;
        std::string error;
        switch (readBuffer_.next(message, error)) {
        case IpcFrameReader::Status::NeedMore:
            return;
        case IpcFrameReader::Status::TooLarge:
            spdlog::error("ServiceIpcClient: message length {} exceeds 64 MB limit, disconnecting",
                          readBuffer_.pendingLength());
            disconnectFromService();
            return;
        case IpcFrameReader::Status::ParseError:
            spdlog::error("ServiceIpcClient: JSON parse error: {}", error);
            continue;
        case IpcFrameReader::Status::Message:
            handleMessage(message);
            if (!pipe_.isOpen()) return;
            continue;
        }
    }
}

void ServiceIpcClient::sendCommand(const IpcMessage& command) {
    const std::string frame = encodeIpcFrame(command);
    if (frame.empty()) {
        spdlog::error("ServiceIpcClient: command too large to frame, dropped");
        return;
    }
    std::unique_lock lock(writeMutex_);
    if (!pipe_.isOpen() || linkBroken_) {
        spdlog::warn("ServiceIpcClient: cannot send command, pipe not connected");
        return;
    }
    const auto result = pipe_.write(frame);
    if (result.status == PipeStatus::Ok) return;
    const std::uint64_t generation = linkGeneration_;
    lock.unlock();

    spdlog::error("ServiceIpcClient: WriteFile failed, error={}", result.error.text());
    if (QThread::currentThread() == thread()) {
        disconnectFromService();
    } else {
        markBrokenFromOtherThread(generation);
    }
}

void ServiceIpcClient::markBrokenFromOtherThread(std::uint64_t generation) {
    // Tearing the link down stops and joins the capture thread, so it must not run here: the
    // link is marked broken (no further writes) and the owner disconnects it.
    {
        std::lock_guard lock(writeMutex_);
        if (linkGeneration_ != generation) return;
        linkBroken_ = true;
    }
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (linkGeneration_ == generation && linkBroken_) {
                spdlog::warn("ServiceIpcClient: pipe broken, disconnecting");
                disconnectFromService();
            }
        },
        Qt::QueuedConnection);
}

// --- Commands ---------------------------------------------------------------------------------

void ServiceIpcClient::connectToTarget(const QString& targetId, const QString& password) {
    sendCommand(IpcMessage{{"type", "CONNECT"}, {"target_id", utf8(targetId)}, {"password", utf8(password)}});
}

void ServiceIpcClient::sendDisconnect() { sendCommand(IpcMessage{{"type", "DISCONNECT"}}); }

void ServiceIpcClient::sendChatMessage(const QString& text) {
    sendCommand(IpcMessage{{"type", "CHAT_SEND"}, {"text", utf8(text)}});
}

void ServiceIpcClient::sendInputEvent(const InputEvent& event) {
    sendCommand(IpcMessage{{"type", "INPUT"}, {"event", inputEventToJson(event)}});
}

void ServiceIpcClient::sendSasToRemote() { sendCommand(IpcMessage{{"type", "SEND_SAS_TO_REMOTE"}}); }

void ServiceIpcClient::regeneratePassword() { sendCommand(IpcMessage{{"type", "REGENERATE_PASSWORD"}}); }

void ServiceIpcClient::requestCompanyClients() { sendCommand(IpcMessage{{"type", "GET_COMPANY_CLIENTS"}}); }

void ServiceIpcClient::setSecurePassword(const QString& password) {
    sendCommand(IpcMessage{{"type", "SET_SECURE_PASSWORD"}, {"password", utf8(password)}});
}

void ServiceIpcClient::clearSecurePassword() { sendCommand(IpcMessage{{"type", "CLEAR_SECURE_PASSWORD"}}); }

void ServiceIpcClient::setUnattendedAccess(bool enabled) {
    sendCommand(IpcMessage{{"type", "SET_UNATTENDED_ACCESS"}, {"enabled", enabled}});
}

void ServiceIpcClient::setClipboardSharing(bool enabled) {
    sendCommand(IpcMessage{{"type", "SET_CLIPBOARD_SHARING"}, {"enabled", enabled}});
}

void ServiceIpcClient::setDisplayMode(int mode) { sendCommand(IpcMessage{{"type", "SET_DISPLAY_MODE"}, {"mode", mode}}); }

void ServiceIpcClient::setMonitor(int index) {
    sendCommand(IpcMessage{{"type", "SET_MONITOR"}, {"monitor_index", index}});
}

void ServiceIpcClient::switchRemoteMonitor(int index) {
    sendCommand(IpcMessage{{"type", "SWITCH_REMOTE_MONITOR"}, {"monitor_index", index}});
}

void ServiceIpcClient::setRemoteEncodeResolution(int width, int height) {
    sendCommand(IpcMessage{{"type", "SET_REMOTE_ENCODE_RESOLUTION"}, {"width", width}, {"height", height}});
}

void ServiceIpcClient::listRemoteDirectory(const QString& path) {
    fileRequests_.record(FileRequest::Kind::Listing, path);
    sendCommand(IpcMessage{{"type", "FILE_LIST_DIR"}, {"path", utf8(path)}});
}

void ServiceIpcClient::createRemoteDirectory(const QString& remotePath) {
    fileRequests_.record(FileRequest::Kind::CreateFolder, remotePath);
    sendCommand(IpcMessage{{"type", "FILE_CREATE_DIR"}, {"remote_path", utf8(remotePath)}});
}

void ServiceIpcClient::downloadFile(const QString& remotePath, const QString& localPath) {
    fileRequests_.record(FileRequest::Kind::Download, remotePath, localPath);
    sendCommand(
        IpcMessage{{"type", "FILE_DOWNLOAD"}, {"remote_path", utf8(remotePath)}, {"local_path", utf8(localPath)}});
}

void ServiceIpcClient::uploadFile(const QString& localPath, const QString& remotePath) {
    fileRequests_.record(FileRequest::Kind::Upload, remotePath, localPath);
    sendCommand(IpcMessage{{"type", "FILE_UPLOAD"}, {"local_path", utf8(localPath)}, {"remote_path", utf8(remotePath)}});
}

void ServiceIpcClient::setRemoteClipboardFiles(const QStringList& sourcePaths, const QString& stagingRoot) {
    IpcMessage paths = IpcMessage::array();
    for (const QString& path : sourcePaths) paths.push_back(utf8(path));
    sendCommand(IpcMessage{
        {"type", "SET_REMOTE_CLIPBOARD_FILES"}, {"source_paths", std::move(paths)}, {"staging_root", utf8(stagingRoot)}});
}

// --- Messages from the service ----------------------------------------------------------------

void ServiceIpcClient::handleMessage(const IpcMessage& message) {
    const json::Json* typeMember = json::member(message, "type");
    if (!typeMember || !typeMember->is_string()) {
        spdlog::warn("ServiceIpcClient: missing or non-string 'type' field");
        return;
    }
    const std::string& type = typeMember->get_ref<const std::string&>();
    const auto text = [&](std::string_view key, std::string_view fallback = {}) {
        return qText(json::stringOr(message, key, fallback));
    };
    const auto integer = [&](std::string_view key, int fallback) { return json::intOr<int>(message, key, fallback); };

    if (type == "STATE") {
        applyState(message);
    } else if (type == "FRAME") {
        handleFrame(message);
    } else if (type == "CHAT_MSG") {
        handleChat(message);
    } else if (type == "START_CAPTURE") {
        startCapture(message);
    } else if (type == "STOP_CAPTURE") {
        stopCapture();
    } else if (type == "REQUEST_KEY_FRAME") {
        handleRequestKeyFrame();
    } else if (type == "SWITCH_CAPTURE_MONITOR") {
        handleSwitchCaptureMonitor(message);
    } else if (type == "SET_ENCODE_RESOLUTION") {
        const int width = integer("width", 0);
        const int height = integer("height", 0);
        setEncodeSize(width, height);
        spdlog::info("Agent: encode resolution set to {}x{} (0=native)", width, height);
    } else if (type == "INPUT_INJECT") {
        handleInputInject(message);
    } else if (type == "REMOTE_MONITOR_COUNT") {
        emit remoteMonitorCountReceived(integer("count", 1));
    } else if (type == "REMOTE_CAPTURE_RESOLUTION") {
        const int width = integer("width", 0);
        const int height = integer("height", 0);
        if (width > 0 && height > 0) emit remoteCaptureResolutionChanged(width, height);
    } else if (type == "COMPANY_CLIENTS") {
        handleCompanyClients(message);
    } else if (type == "FILE_DIR_LISTED") {
        handleDirectoryListed(message);
    } else if (type == "FILE_DOWNLOAD_PROGRESS") {
        fileRequests_.downloadStarted();
        emit fileDownloadProgress(text("path"), integer("percent", 0));
    } else if (type == "FILE_DOWNLOAD_COMPLETE") {
        const QString localPath = text("local_path");
        fileRequests_.downloadCompleted(localPath);
        emit fileDownloadComplete(localPath);
    } else if (type == "FILE_UPLOAD_PROGRESS") {
        emit fileUploadProgress(text("path"), integer("percent", 0));
    } else if (type == "FILE_UPLOAD_COMPLETE") {
        handleUploadComplete();
    } else if (type == "FILE_ERROR") {
        handleFileError(text("error", "Unknown file error"));
    } else if (type == "REMOTE_CLIPBOARD_FILES") {
        handleRemoteClipboardFiles(message);
    } else if (type == "ERROR") {
        const QString error = text("message", "Unknown error");
        spdlog::error("ServiceIpcClient: service error: {}", utf8(error));
        emit sessionError(error);
    } else if (type == "AUTH_FAILED") {
        spdlog::warn("ServiceIpcClient: session authentication failed (wrong password or incompatible version)");
        emit authFailed();
    } else if (type == "AUTH_STATUS") {
        handleAuthStatus(message);
    } else if (type == "STATS") {
        handleStats(message);
    } else {
        spdlog::debug("ServiceIpcClient: unhandled message type '{}'", type);
    }
}

void ServiceIpcClient::applyState(const IpcMessage& message) {
    // The first STATE of a link reports everything anew: the link's state was reset without a
    // signal when the previous link dropped, so the windows must hear it even when it matches.
    const bool fresh = awaitingFirstState_;
    awaitingFirstState_ = false;
    const auto textMember = [&](std::string_view key) -> const std::string* {
        const json::Json* member = json::member(message, key);
        return member && member->is_string() ? &member->get_ref<const std::string&>() : nullptr;
    };
    const auto boolMember = [&](std::string_view key) -> const bool* {
        const json::Json* member = json::member(message, key);
        return member && member->is_boolean() ? member->get_ptr<const bool*>() : nullptr;
    };

    // In this order, so a slot on stateChanged still sees the role of the previous STATE.
    if (const auto* name = textMember("session_state")) {
        const SessionState state = sessionStateFromName(*name);
        // Input is injected only while Connected: what the partner held down goes up when that ends.
        if (sessionState_ == SessionState::Connected && state != SessionState::Connected && inputForwarder_)
            inputForwarder_->releaseHeldInput();
        // The session's file transfers end with it: nothing open will be answered.
        if (state == SessionState::Idle || state == SessionState::Failed) fileRequests_.clear();
        if (state != sessionState_ || fresh) {
            sessionState_ = state;
            emit stateChanged(state);
        }
    }
    if (const auto* role = textMember("session_role")) sessionRole_ = roleFromStateText(*role);
    // Logged in or not is the service's own word; a client ID alone may be one stored before the
    // device logged in.
    const bool wasAuthenticated = isAuthenticated_;
    if (const bool* loggedIn = boolMember("authenticated")) isAuthenticated_ = *loggedIn;
    if (const auto* id = textMember("client_id")) {
        const QString clientId = qText(*id);
        // The log-in of a device that restarts keeps its stored ID: the flip to logged in is news
        // too, or the window would keep Connect disabled for an ID it already showed.
        const bool loggedInNow = isAuthenticated_ && !wasAuthenticated && !clientId.isEmpty();
        if (clientId != clientId_ || (fresh && !clientId.isEmpty()) || loggedInNow) {
            clientId_ = clientId;
            emit authenticated(clientId_);
        }
    }
    if (const auto* password = textMember("session_password")) {
        const QString value = qText(*password);
        if (value != sessionPassword_) {
            sessionPassword_ = value;
            emit ephemeralPasswordChanged(value);
        }
    }
    if (const bool* hasSecure = boolMember("has_secure_password"); hasSecure && *hasSecure != hasSecurePassword_) {
        hasSecurePassword_ = *hasSecure;
        emit hasSecurePasswordChanged(hasSecurePassword_);
    }
    if (const auto* hash = textMember("pairing_hash")) {
        const QString value = qText(*hash);
        if (value != pairingHash_) {
            pairingHash_ = value;
            emit pairingHashChanged(value);
        }
    }
    if (const bool* unattended = boolMember("unattended_access")) unattendedAccess_ = *unattended;
    if (const auto* company = textMember("company_name")) {
        const QString value = qText(*company);
        if (value != companyName_) {
            companyName_ = value;
            emit companyNameChanged(value);
        }
    }
}

void ServiceIpcClient::handleFrame(const IpcMessage& message) {
    const std::uint64_t frameId = json::uint64Or(message, "frame_id", 0);
    if (frameId <= lastFrameId_) return;
    // Taken as new by its id, read or not: a frame that cannot be read is not retried.
    lastFrameId_ = frameId;
    if (auto frame = readSharedFrame(message)) emit frameDecoded(std::move(frame));
}

void ServiceIpcClient::handleChat(const IpcMessage& message) {
    QDateTime time = QDateTime::currentDateTimeUtc();
    if (const json::Json* stamp = json::member(message, "timestamp"); stamp && stamp->is_number()) {
        const double ms = std::clamp(stamp->get<double>(), -kMaxEpochMs, kMaxEpochMs);
        time = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ms), Qt::UTC);
    }
    emit chatMessageReceived(qText(json::stringOr(message, "from")), qText(json::stringOr(message, "text")), time);
}

void ServiceIpcClient::handleCompanyClients(const IpcMessage& message) {
    if (json::member(message, "error")) {
        spdlog::warn("Company clients error: {}", json::stringOr(message, "error"));
        emit companyClientsReceived(QString(), nlohmann::json::array());
        return;
    }
    const json::Json* clients = json::member(message, "clients");
    emit companyClientsReceived(qText(json::stringOr(message, "company_name")),
                                clients ? *clients : nlohmann::json::array());
}

void ServiceIpcClient::handleDirectoryListed(const IpcMessage& message) {
    QList<FileEntry> entries;
    if (const json::Json* list = json::member(message, "entries"); list && list->is_array()) {
        for (const auto& element : *list) {
            FileEntry entry;
            entry.name = qText(json::stringOr(element, "name"));
            entry.isDir = json::boolOr(element, "is_dir", false);
            entry.size = json::int64Or(element, "size", 0);
            entries.append(entry);
        }
    }
    const QString path = qText(json::stringOr(message, "path"));
    fileRequests_.listed(path);
    emit fileDirectoryListed(path, entries);
}

void ServiceIpcClient::handleFileError(const QString& error) {
    emit fileError(error);
    const FileRequestLedger::Failure failure = fileRequests_.failed(error);
    if (failure.report) emit fileRequestFailed(failure.request, error);
}

void ServiceIpcClient::handleUploadComplete() {
    emit fileUploadComplete();
    const FileRequestLedger::UploadOutcome outcome = fileRequests_.uploadSent();
    if (outcome.refusal) {
        emit fileRequestFailed(outcome.request, *outcome.refusal);
    } else if (outcome.request.kind == FileRequest::Kind::Upload) {
        emit fileUploadSent(outcome.request);
    }
}

void ServiceIpcClient::handleRemoteClipboardFiles(const IpcMessage& message) {
    const QString root = qText(json::stringOr(message, "staging_root"));
    QStringList names;
    if (const json::Json* list = json::member(message, "file_names"); list && list->is_array()) {
        for (const auto& element : *list) {
            if (element.is_string()) names.append(qText(element.get_ref<const std::string&>()));
        }
    }
    if (!root.isEmpty() && !names.isEmpty()) emit remoteClipboardFiles(root, names);
}

void ServiceIpcClient::handleAuthStatus(const IpcMessage& message) {
    if (!json::boolOr(message, "success", false)) {
        isAuthenticated_ = false;
        const QString error = qText(json::stringOr(message, "error", "Unknown authentication error"));
        spdlog::error("ServiceIpcClient: authentication failed: {}", utf8(error));
        emit authenticationFailed(error);
        return;
    }
    isAuthenticated_ = true;
    clientId_ = qText(json::stringOr(message, "client_id"));
    sessionPassword_ = qText(json::stringOr(message, "session_password"));
    spdlog::info("ServiceIpcClient: authenticated as {}", utf8(clientId_));
    emit authenticated(clientId_);
}

void ServiceIpcClient::handleStats(const IpcMessage& message) {
    ConnectionStats stats;
    stats.fps = json::doubleOr(message, "fps", 0.0);
    stats.latency_ms = json::doubleOr(message, "latency_ms", 0.0);
    stats.bandwidth_kbps = json::doubleOr(message, "bandwidth_kbps", 0.0);
    stats.total_bytes_sent = json::uint64Or(message, "total_bytes_sent", 0);
    stats.total_bytes_received = json::uint64Or(message, "total_bytes_received", 0);
    stats.dropped_frames = json::uint64Or(message, "dropped_frames", 0);
    stats.uptime_seconds = json::uint64Or(message, "uptime_seconds", 0);
    emit statsUpdated(stats);
}

void ServiceIpcClient::handleInputInject(const IpcMessage& message) {
    const json::Json* event = json::member(message, "event");
    if (!inputForwarder_ || !event || sessionState_ != SessionState::Connected) return;
    inputForwarder_->processEvent(inputEventFromJson(*event));
}

// --- Decoded frames ---------------------------------------------------------------------------

bool ServiceIpcClient::openFrameSection() {
    if (frameView_.isValid()) return true;
    SystemError error;
    platform::SectionHandle section = platform::openSection(kFrameSectionName, platform::SectionMode::ReadOnly, error);
    if (!section.isValid()) {
        spdlog::error("ServiceIpcClient: OpenFileMapping failed, error={}", error.text());
        return false;
    }
    // Only the service's own section holds the partner's picture; one created by another user
    // under the same name is not read.
    if (const auto owner = section.owner(); !owner || !platform::service::isServiceAccount(*owner)) {
        spdlog::error("ServiceIpcClient: OpenFileMapping failed, error=section '{}' is not the service's",
                      kFrameSectionName);
        return false;
    }
    platform::SectionView view = platform::mapSection(section, platform::SectionMode::ReadOnly, error);
    if (!view.isValid()) {
        spdlog::error("ServiceIpcClient: MapViewOfFile failed, error={}", error.text());
        return false;
    }
    frameSection_ = std::move(section);
    frameView_ = std::move(view);
    spdlog::info("ServiceIpcClient: opened shared frame buffer '{}'", kFrameSectionName);
    return true;
}

void ServiceIpcClient::closeFrameSection() {
    lastPicture_.reset();
    frameView_.reset();
    frameSection_.reset();
}

std::shared_ptr<DecodedFrame> ServiceIpcClient::readSharedFrame(const IpcMessage& message) {
    const auto width = json::intOr<std::int32_t>(message, "width", 0);
    const auto height = json::intOr<std::int32_t>(message, "height", 0);
    if (width <= 0 || height <= 0) {
        spdlog::warn("ServiceIpcClient: FRAME with invalid dimensions {}x{}", width, height);
        return nullptr;
    }
    if (!openFrameSection()) return nullptr;
    if (frameView_.size() < kSharedFrameHeaderSize) {
        spdlog::warn("ServiceIpcClient: shared frame region too small ({}) — dropping", frameView_.size());
        return nullptr;
    }

    std::shared_ptr<DecodedFrame> frame;
    const auto sink = [&](const SharedFrameInfo& info, std::uint64_t readable) -> std::optional<SharedFrameDestination> {
        const std::uint64_t strideY = info.strideY ? info.strideY : static_cast<std::uint64_t>(width);
        const std::uint64_t strideUV = info.strideUV ? info.strideUV : static_cast<std::uint64_t>(width);
        // 64-bit sizes: a 31-bit height times a 32-bit stride cannot wrap.
        const std::uint64_t ySize = static_cast<std::uint64_t>(height) * strideY;
        const std::uint64_t uvSize = static_cast<std::uint64_t>((height + 1) / 2) * strideUV;
        // The service writes height / 2 chroma rows; an odd height's last row may be missing.
        const std::uint64_t uvWritten = static_cast<std::uint64_t>(height / 2) * strideUV;
        if (ySize > readable || uvWritten > readable - ySize) {
            spdlog::warn("ServiceIpcClient: frame planes ({}+{}) exceed mapped capacity {} — dropping", ySize, uvSize,
                         readable);
            return std::nullopt;
        }
        // The viewer is done with the last picture once it has drawn it: its buffers are reused,
        // so a stream of pictures allocates nothing per frame.
        auto picture = lastPicture_ && lastPicture_.use_count() == 1 ? lastPicture_ : std::make_shared<DecodedFrame>();
        picture->width = width;
        picture->height = height;
        picture->strideY = static_cast<std::int32_t>(std::min<std::uint64_t>(strideY, INT32_MAX));
        picture->strideUV = static_cast<std::int32_t>(std::min<std::uint64_t>(strideUV, INT32_MAX));
        picture->timestamp = static_cast<std::int64_t>(std::min<std::uint64_t>(info.timestamp, INT64_MAX));
        picture->y.resize(ySize);
        picture->uv.resize(uvSize);
        const std::uint64_t uvCopy = std::min(uvSize, readable - ySize);
        // A missing last chroma row reads as neutral grey.
        std::fill(picture->uv.begin() + static_cast<std::ptrdiff_t>(uvCopy), picture->uv.end(), 0x80);
        frame = std::move(picture);
        return SharedFrameDestination{0, frame->y, {frame->uv.data(), uvCopy}};
    };
    if (!veltrix::readSharedFrame(frameView_.address(), frameView_.size(), sink)) return nullptr;
    lastPicture_ = frame;
    return frame;
}

}  // namespace veltrix

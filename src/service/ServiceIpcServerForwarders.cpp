// The pipe server's side of the session: STATE and the capture commands on every state change,
// and the session's events forwarded to the agent as pipe messages.
#include "service/ServiceIpcServer.h"

#include <spdlog/spdlog.h>

#include "core/ChatService.h"
#include "core/FileTransferService.h"
#include "core/SessionManager.h"
#include "service/IpcServiceMessages.h"
#include "service/ServiceCommandHandler.h"
#include "shared/InputEventJson.h"
#include "shared/Logging.h"

namespace veltrix {

IpcMessage ServiceIpcServer::startCaptureMessage() const {
    return buildStartCaptureMessage(captureParametersFrom(settings_, encodeWidth_, encodeHeight_));
}

void ServiceIpcServer::handleSessionStateChange(SessionState newState) {
    // A session that ends is reported after its clean-up, which resets the role: the role it
    // had is the one remembered while it ran, so a Target's agent always hears STOP_CAPTURE.
    const SessionRole now = commands_->stateSnapshot().sessionRole;
    if (now != SessionRole::None) sessionRole_ = now;
    const SessionRole role = now != SessionRole::None ? now : sessionRole_;
    if (newState == SessionState::Idle || newState == SessionState::Failed) sessionRole_ = SessionRole::None;
    applySessionStateChange(newState, role);
}

void ServiceIpcServer::applySessionStateChange(SessionState newState, SessionRole role) {
    sendState();
    if (role == SessionRole::Target) {
        switch (newState) {
        case SessionState::Connected:
            if (connected_) {
                sendMessage(startCaptureMessage());
                spdlog::info("Sent START_CAPTURE to agent (encode={}x{})", encodeWidth_, encodeHeight_);
            }
            break;
        case SessionState::Idle:
        case SessionState::Closing:
        case SessionState::Failed:
            if (connected_) {
                sendMessage(IpcMessage{{"type", "STOP_CAPTURE"}});
                spdlog::info("Sent STOP_CAPTURE to agent");
            }
            // The next session starts at the capture size again.
            encodeWidth_ = 0;
            encodeHeight_ = 0;
            break;
        case SessionState::Initiating:
        case SessionState::Handshaking:
        case SessionState::Connecting:
            break;
        }
    }
    connectSessionServices();
}

// The session's chat and file-transfer services exist only while it streams; they are wired on
// every state change, their old connections to this server dropped first, so never twice.
void ServiceIpcServer::connectSessionServices() {
    if (!sessionManager_) return;
    if (ChatService* chat = sessionManager_->chatService()) {
        disconnect(chat, nullptr, this, nullptr);
        connect(chat, &ChatService::messageReceived, this, &ServiceIpcServer::forwardChatMessage);
    }
    if (FileTransferService* files = sessionManager_->fileTransferService()) {
        disconnect(files, nullptr, this, nullptr);
        connect(files, &FileTransferService::directoryListed, this, &ServiceIpcServer::forwardDirectoryListed);
        connect(files, &FileTransferService::fileDownloadProgress, this, &ServiceIpcServer::forwardFileDownloadProgress);
        connect(files, &FileTransferService::fileDownloadComplete, this, &ServiceIpcServer::forwardFileDownloadComplete);
        connect(files, &FileTransferService::fileUploadProgress, this, &ServiceIpcServer::forwardFileUploadProgress);
        connect(files, &FileTransferService::fileUploadComplete, this, &ServiceIpcServer::forwardFileUploadComplete);
        connect(files, &FileTransferService::fileError, this, &ServiceIpcServer::forwardFileError);
    }
}

void ServiceIpcServer::forwardAuthFailed() {
    spdlog::warn("Session authentication failed (wrong password or incompatible version)");
    sendMessage(IpcMessage{{"type", "AUTH_FAILED"}});
}

void ServiceIpcServer::forwardPartnerSilent(QString error) {
    if (!sessionManager_ || sessionManager_->role() != SessionRole::Master) return;
    spdlog::warn("Session failed: the partner sent nothing");
    sendMessage(buildErrorMessage(error.toStdString()));
}

void ServiceIpcServer::forwardInputEvent(InputEvent event) {
    if (!connected_) return;
    sendMessage(IpcMessage{{"type", "INPUT_INJECT"}, {"event", inputEventToJson(event)}});
}

void ServiceIpcServer::forwardKeyFrameRequest() {
    if (!connected_) return;
    sendMessage(IpcMessage{{"type", "REQUEST_KEY_FRAME"}});
    spdlog::info("Forwarded key frame request to agent");
}

void ServiceIpcServer::forwardMonitorSwitch(int monitorIndex) {
    if (!connected_) {
        spdlog::warn("monitorSwitchRequested({}) but no agent connected", monitorIndex);
        return;
    }
    sendMessage(IpcMessage{{"type", "SWITCH_CAPTURE_MONITOR"}, {"monitor_index", monitorIndex}});
    spdlog::info("Forwarded monitor switch ({}) to agent", monitorIndex);
}

void ServiceIpcServer::forwardRemoteMonitorCount(int count) {
    if (!connected_) return;
    sendMessage(IpcMessage{{"type", "REMOTE_MONITOR_COUNT"}, {"count", count}});
    spdlog::info("Forwarded remote monitor count={} to agent", count);
}

void ServiceIpcServer::forwardEncodeResolution(int width, int height) {
    // Kept also without an agent: the next START_CAPTURE carries it.
    encodeWidth_ = width;
    encodeHeight_ = height;
    if (!connected_) return;
    sendMessage(IpcMessage{{"type", "SET_ENCODE_RESOLUTION"}, {"width", width}, {"height", height}});
    spdlog::info("Forwarded SET_ENCODE_RESOLUTION {}x{} to agent", width, height);
}

void ServiceIpcServer::forwardRemoteClipboardFiles(QString stagingRoot, QStringList fileNames) {
    if (!connected_) return;
    IpcMessage names = IpcMessage::array();
    for (const QString& name : fileNames) names.push_back(name.toStdString());
    const std::string root = stagingRoot.toStdString();
    sendMessage(IpcMessage{{"type", "REMOTE_CLIPBOARD_FILES"}, {"staging_root", root}, {"file_names", std::move(names)}});
    spdlog::info("Forwarded REMOTE_CLIPBOARD_FILES ({} files at '{}') to agent", fileNames.size(),
                 logging::peerText(root));
}

void ServiceIpcServer::forwardRemoteCaptureResolution(int width, int height) {
    if (!connected_) return;
    sendMessage(IpcMessage{{"type", "REMOTE_CAPTURE_RESOLUTION"}, {"width", width}, {"height", height}});
    spdlog::info("Forwarded REMOTE_CAPTURE_RESOLUTION {}x{} to agent", width, height);
}

void ServiceIpcServer::forwardChatMessage(QString text, QDateTime timestamp) {
    sendMessage(IpcMessage{{"type", "CHAT_MSG"}, {"text", text.toStdString()}, {"timestamp", timestamp.toMSecsSinceEpoch()}});
}

void ServiceIpcServer::forwardDirectoryListed(QString path, QList<FileEntry> entries) {
    sendMessage(buildDirectoryListedMessage(path, entries));
}

void ServiceIpcServer::forwardFileDownloadProgress(QString path, int percent) {
    sendMessage(IpcMessage{{"type", "FILE_DOWNLOAD_PROGRESS"}, {"path", path.toStdString()}, {"percent", percent}});
}

void ServiceIpcServer::forwardFileDownloadComplete(QString localPath) {
    sendMessage(IpcMessage{{"type", "FILE_DOWNLOAD_COMPLETE"}, {"local_path", localPath.toStdString()}});
}

void ServiceIpcServer::forwardFileUploadProgress(QString path, int percent) {
    sendMessage(IpcMessage{{"type", "FILE_UPLOAD_PROGRESS"}, {"path", path.toStdString()}, {"percent", percent}});
}

void ServiceIpcServer::forwardFileUploadComplete() { sendMessage(IpcMessage{{"type", "FILE_UPLOAD_COMPLETE"}}); }

void ServiceIpcServer::forwardFileError(QString error) {
    sendMessage(IpcMessage{{"type", "FILE_ERROR"}, {"error", error.toStdString()}});
}

void ServiceIpcServer::forwardCompanyClients(int httpStatus, const nlohmann::json& reply) {
    sendMessage(buildCompanyClientsMessage(httpStatus, reply));
}

}  // namespace veltrix

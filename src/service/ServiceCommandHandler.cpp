#include "service/ServiceCommandHandler.h"

#include <QPointer>
#include <QString>

#include <spdlog/spdlog.h>

#include "core/ApiClient.h"
#include "core/AuthController.h"
#include "core/ChatService.h"
#include "core/FileTransferService.h"
#include "core/SessionManager.h"
#include "core/SettingsController.h"
#include "service/ServiceIpcServer.h"
#include "shared/FrameSizeLimit.h"
#include "shared/InputEventJson.h"
#include "shared/JsonFields.h"
#include "shared/Logging.h"

namespace veltrix {
namespace {

// The components a command may need, as the ERROR text names them.
constexpr std::string_view kSessionManager = "session manager";
constexpr std::string_view kAuthentication = "authentication controller";
constexpr std::string_view kSettings = "settings store";

QString qText(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

// Searched in this order; the first row whose type matches handles the message.
const ServiceCommandHandler::Row ServiceCommandHandler::kTable[] = {
    {"CONNECT", &ServiceCommandHandler::connectSession},
    {"DISCONNECT", &ServiceCommandHandler::disconnectSession},
    {"INPUT", &ServiceCommandHandler::sendInput},
    {"CHAT_SEND", &ServiceCommandHandler::sendChat},
    {"REGENERATE_PASSWORD", &ServiceCommandHandler::regeneratePassword},
    {"SET_SECURE_PASSWORD", &ServiceCommandHandler::setSecurePassword},
    {"CLEAR_SECURE_PASSWORD", &ServiceCommandHandler::clearSecurePassword},
    {"GET_STATE", &ServiceCommandHandler::getState},
    {"SET_MONITOR", &ServiceCommandHandler::setMonitor},
    {"SWITCH_REMOTE_MONITOR", &ServiceCommandHandler::switchRemoteMonitor},
    {"SEND_SAS_TO_REMOTE", &ServiceCommandHandler::sendSasToRemote},
    {"SET_REMOTE_ENCODE_RESOLUTION", &ServiceCommandHandler::setRemoteEncodeResolution},
    {"CAPTURE_INITIALIZED", &ServiceCommandHandler::captureInitialized},
    {"SET_DISPLAY_MODE", &ServiceCommandHandler::setDisplayMode},
    {"SET_CLIPBOARD_SHARING", &ServiceCommandHandler::setClipboardSharing},
    {"SET_UNATTENDED_ACCESS", &ServiceCommandHandler::setUnattendedAccess},
    {"GET_COMPANY_CLIENTS", &ServiceCommandHandler::getCompanyClients},
    {"FILE_LIST_DIR", &ServiceCommandHandler::listRemoteDirectory},
    {"FILE_DOWNLOAD", &ServiceCommandHandler::downloadFile},
    {"FILE_UPLOAD", &ServiceCommandHandler::uploadFile},
    {"FILE_CREATE_DIR", &ServiceCommandHandler::createRemoteDirectory},
    {"SET_REMOTE_CLIPBOARD_FILES", &ServiceCommandHandler::setRemoteClipboardFiles},
    {"DESKTOP_CHANGED", &ServiceCommandHandler::desktopChanged},
};

ServiceCommandHandler::ServiceCommandHandler(ServiceIpcServer& server, AuthController* auth,
                                             SessionManager* sessionManager, SettingsController* settings,
                                             ApiClient* apiClient)
    : server_(server), auth_(auth), sessionManager_(sessionManager), settings_(settings), apiClient_(apiClient) {}

void ServiceCommandHandler::process(const std::string& type, const IpcMessage& command) {
    for (const Row& row : kTable) {
        if (row.type == type) {
            (this->*row.handler)(command);
            return;
        }
    }
    spdlog::warn("IPC: unknown command type '{}'", logging::peerText(type));
    replyError("Unknown command: " + logging::peerText(type));
}

ServiceStateSnapshot ServiceCommandHandler::stateSnapshot() const {
    ServiceStateSnapshot state;
    // Identity and passwords come from the authentication controller, the session fields from
    // the session manager.
    state.companyName = server_.companyName().toStdString();
    if (auth_) {
        state.authenticated = auth_->isAuthenticated();
        state.clientId = auth_->clientId().toStdString();
        state.sessionPassword = auth_->ephemeralPassword().toStdString();
        state.hasSecurePassword = !auth_->securePassword().isEmpty();
        state.pairingHash = auth_->pairingHash().toStdString();
    }
    if (sessionManager_) {
        state.sessionState = sessionManager_->state();
        state.sessionRole = sessionManager_->role();
        state.sessionId = sessionManager_->sessionId().toStdString();
        state.remoteClientId = sessionManager_->remoteClientId().toStdString();
        state.transportMethod = sessionManager_->transportMethod().toStdString();
    }
    if (settings_) {
        state.clipboardSharing = settings_->clipboardSharingEnabled();
        state.displayMode = settings_->displayMode();
        state.captureMonitor = settings_->monitorIndex();
        state.unattendedAccess = settings_->unattendedAccessEnabled();
    }
    return state;
}

void ServiceCommandHandler::replyError(std::string_view text) { server_.sendMessage(buildErrorMessage(text)); }

void ServiceCommandHandler::replyUnavailable(std::string_view command, std::string_view component) {
    spdlog::warn("IPC: {} refused: the service has no {}", command, component);
    replyError(fmt::format("{} is not available: the service has no {}", command, component));
}

void ServiceCommandHandler::replyNoFileTransfer() {
    server_.sendMessage(IpcMessage{{"type", "FILE_ERROR"}, {"error", "No active session"}});
}

bool ServiceCommandHandler::requireSettings(std::string_view command) {
    if (settings_) return true;
    replyUnavailable(command, kSettings);
    return false;
}

void ServiceCommandHandler::connectSession(const IpcMessage& command) {
    const std::string target = json::stringOr(command, "target_id");
    const std::string password = json::stringOr(command, "password");
    if (target.empty()) {
        spdlog::warn("CONNECT command missing target_id");
        replyError("Missing target_id");
        return;
    }
    spdlog::info("IPC CONNECT -> target={}", logging::peerText(target));
    if (!sessionManager_) {
        replyUnavailable("CONNECT", kSessionManager);
        return;
    }
    // STATE follows each of the session's state changes.
    sessionManager_->initiateSession(qText(target), qText(password));
}

void ServiceCommandHandler::disconnectSession(const IpcMessage& command) {
    const std::string reason = json::stringOr(command, "reason", "user_disconnect");
    spdlog::info("IPC DISCONNECT (reason={})", logging::peerText(reason));
    if (!sessionManager_) {
        replyUnavailable("DISCONNECT", kSessionManager);
        return;
    }
    sessionManager_->endSession(qText(reason));
}

void ServiceCommandHandler::sendInput(const IpcMessage& command) {
    const json::Json* event = json::member(command, "event");
    if (!event) return;
    const InputEvent input = inputEventFromJson(*event);
    if (!sessionManager_) {
        replyUnavailable("INPUT", kSessionManager);
        return;
    }
    sessionManager_->sendInputEvent(input);
}

void ServiceCommandHandler::sendChat(const IpcMessage& command) {
    const std::string text = json::stringOr(command, "text");
    if (text.empty()) return;
    if (!sessionManager_) {
        replyUnavailable("CHAT_SEND", kSessionManager);
        return;
    }
    // Without a session there is no chat service and the text goes nowhere.
    if (ChatService* chat = sessionManager_->chatService()) chat->sendMessage(qText(text));
}

void ServiceCommandHandler::regeneratePassword(const IpcMessage&) {
    if (!auth_) {
        replyUnavailable("REGENERATE_PASSWORD", kAuthentication);
        return;
    }
    auth_->regenerateEphemeralPassword();
    spdlog::info("IPC: ephemeral password regenerated by agent");
    server_.sendState();
}

void ServiceCommandHandler::setSecurePassword(const IpcMessage& command) {
    if (!server_.isPipeClientAdmin()) {
        replyError("Administrator rights are required to change the secure password");
        return;
    }
    const std::string password = json::stringOr(command, "password");
    if (!auth_) {
        replyUnavailable("SET_SECURE_PASSWORD", kAuthentication);
        return;
    }
    // A refusal (the policy's text, or why it could not be stored) is only logged. A store that
    // failed has also dropped the old secure password, and the agent must not go on showing one.
    const bool hadSecurePassword = !auth_->securePassword().isEmpty();
    const QString refusal = auth_->setSecurePassword(qText(password));
    if (!refusal.isEmpty()) {
        spdlog::warn("IPC: SET_SECURE_PASSWORD rejected: {}", refusal.toStdString());
        if (hadSecurePassword != !auth_->securePassword().isEmpty()) server_.sendState();
        return;
    }
    spdlog::info("IPC: secure password updated by agent");
    server_.sendState();
}

void ServiceCommandHandler::clearSecurePassword(const IpcMessage&) {
    // No administrator check: clearing only narrows who may connect.
    if (!auth_) {
        replyUnavailable("CLEAR_SECURE_PASSWORD", kAuthentication);
        return;
    }
    auth_->clearSecurePassword();
    spdlog::info("IPC: secure password cleared by agent");
    server_.sendState();
}

void ServiceCommandHandler::getState(const IpcMessage&) { server_.sendState(); }

void ServiceCommandHandler::setMonitor(const IpcMessage& command) {
    const int index = json::intOr<int>(command, "monitor_index", 0, 0, kMaxMonitorIndex);
    if (!requireSettings("SET_MONITOR")) return;
    // The next START_CAPTURE carries it.
    settings_->setMonitorIndex(index);
}

void ServiceCommandHandler::switchRemoteMonitor(const IpcMessage& command) {
    const int index = json::intOr<int>(command, "monitor_index", 0, 0, kMaxMonitorIndex);
    spdlog::info("IPC SWITCH_REMOTE_MONITOR -> {}", index);
    if (!sessionManager_) {
        replyUnavailable("SWITCH_REMOTE_MONITOR", kSessionManager);
        return;
    }
    sessionManager_->requestMonitorSwitch(index);
}

void ServiceCommandHandler::sendSasToRemote(const IpcMessage&) {
    spdlog::info("IPC SEND_SAS_TO_REMOTE");
    if (!sessionManager_) {
        replyUnavailable("SEND_SAS_TO_REMOTE", kSessionManager);
        return;
    }
    sessionManager_->sendSas();
}

void ServiceCommandHandler::setRemoteEncodeResolution(const IpcMessage& command) {
    int width = json::intOr<int>(command, "width", 0, 0, kMaxEncodeWidth);
    int height = json::intOr<int>(command, "height", 0, 0, kMaxEncodeHeight);
    spdlog::info("IPC SET_REMOTE_ENCODE_RESOLUTION -> {}x{}", width, height);
    // The partner never encodes more than this side's decoded-frame section holds.
    if (width > 0 && height > 0) {
        const auto [fitWidth, fitHeight] = fitToFrameSection(width, height);
        if (fitWidth != width || fitHeight != height) {
            spdlog::info("IPC SET_REMOTE_ENCODE_RESOLUTION: {}x{} exceeds the frame section, asking for {}x{}", width,
                         height, fitWidth, fitHeight);
            width = fitWidth;
            height = fitHeight;
        }
    }
    if (!sessionManager_) {
        replyUnavailable("SET_REMOTE_ENCODE_RESOLUTION", kSessionManager);
        return;
    }
    // 0 x 0 asks for the capture size.
    sessionManager_->requestEncodeResolution(width, height);
}

void ServiceCommandHandler::captureInitialized(const IpcMessage& command) {
    const int width = json::intOr<int>(command, "width", 0, 0, kMaxEncodeWidth);
    const int height = json::intOr<int>(command, "height", 0, 0, kMaxEncodeHeight);
    const int monitors = json::intOr<int>(command, "monitor_count", 1, 1, kMaxMonitorCount);
    spdlog::info("IPC CAPTURE_INITIALIZED -> {}x{}, {} monitor(s)", width, height, monitors);
    if (!sessionManager_) {
        replyUnavailable("CAPTURE_INITIALIZED", kSessionManager);
        return;
    }
    sessionManager_->advertiseCaptureResolution(width, height);
    sessionManager_->advertiseMonitorCount(monitors);
}

void ServiceCommandHandler::setDisplayMode(const IpcMessage& command) {
    const int mode = json::intOr<int>(command, "mode", 0);
    if (!requireSettings("SET_DISPLAY_MODE")) return;
    // The next START_CAPTURE carries the encoder values derived from it.
    settings_->setDisplayMode(mode);
}

void ServiceCommandHandler::setClipboardSharing(const IpcMessage& command) {
    const bool enabled = json::boolOr(command, "enabled", true);
    if (!requireSettings("SET_CLIPBOARD_SHARING")) return;
    // Stored for every later session, and applied to the running one.
    settings_->setClipboardSharingEnabled(enabled);
    if (sessionManager_) sessionManager_->setClipboardSharingEnabled(enabled);
}

void ServiceCommandHandler::setUnattendedAccess(const IpcMessage& command) {
    if (!server_.isPipeClientAdmin()) {
        replyError("Administrator rights are required to change unattended access");
        return;
    }
    const bool enabled = json::boolOr(command, "enabled", false);
    if (!requireSettings("SET_UNATTENDED_ACCESS")) return;
    settings_->setUnattendedAccessEnabled(enabled);
    spdlog::info("IPC: unattended access set to {}", enabled);
    server_.sendState();
}

void ServiceCommandHandler::getCompanyClients(const IpcMessage&) {
    // With a company name (known after log-in), ApiClient::fetchCompanyClients answers through
    // ServiceIpcServer::forwardCompanyClients. Before log-in the device belongs to no company.
    if (server_.companyName().isEmpty()) {
        server_.sendMessage(buildNotInCompanyMessage());
        return;
    }
    if (!apiClient_) {
        replyUnavailable("GET_COMPANY_CLIENTS", "REST client");
        return;
    }
    // The reply may come after the pipe server is gone (shutdown): then it is dropped.
    QPointer<ServiceIpcServer> server(&server_);
    apiClient_->fetchCompanyClients([server](int status, const nlohmann::json& reply) {
        if (server) server->forwardCompanyClients(status, reply);
    });
}

// The four file commands go to the session's file-transfer service; the service has one only
// while a session streams.

FileTransferService* ServiceCommandHandler::fileTransfer() {
    FileTransferService* files = sessionManager_ ? sessionManager_->fileTransferService() : nullptr;
    if (!files) replyNoFileTransfer();
    return files;
}

void ServiceCommandHandler::listRemoteDirectory(const IpcMessage& command) {
    const QString path = qText(json::stringOr(command, "path"));
    if (FileTransferService* files = fileTransfer()) files->requestListing(path);
}

void ServiceCommandHandler::downloadFile(const IpcMessage& command) {
    const QString remote = qText(json::stringOr(command, "remote_path"));
    const QString local = qText(json::stringOr(command, "local_path"));
    if (FileTransferService* files = fileTransfer()) files->requestDownload(remote, local);
}

void ServiceCommandHandler::uploadFile(const IpcMessage& command) {
    const QString local = qText(json::stringOr(command, "local_path"));
    const QString remote = qText(json::stringOr(command, "remote_path"));
    // Runs until the file is sent (the event loop keeps turning meanwhile); touch nothing after.
    if (FileTransferService* files = fileTransfer()) files->sendFile(local, remote);
}

void ServiceCommandHandler::createRemoteDirectory(const IpcMessage& command) {
    const QString remote = qText(json::stringOr(command, "remote_path"));
    if (FileTransferService* files = fileTransfer()) files->requestCreateDirectory(remote);
}

void ServiceCommandHandler::setRemoteClipboardFiles(const IpcMessage& command) {
    QStringList paths;
    if (const json::Json* list = json::member(command, "source_paths"); list && list->is_array()) {
        for (const auto& element : *list) {
            if (element.is_string()) paths.append(qText(element.get_ref<const std::string&>()));
        }
    }
    const QString stagingRoot = qText(json::stringOr(command, "staging_root"));
    if (!sessionManager_) {
        replyUnavailable("SET_REMOTE_CLIPBOARD_FILES", kSessionManager);
        return;
    }
    sessionManager_->sendClipboardFiles(paths, stagingRoot);
}

void ServiceCommandHandler::desktopChanged(const IpcMessage& command) {
    const QString newName = qText(json::stringOr(command, "new"));
    const QString oldName = qText(json::stringOr(command, "old"));
    spdlog::info("IPC DESKTOP_CHANGED: {} -> {}", logging::peerText(oldName.toStdString()),
                 logging::peerText(newName.toStdString()));
    // A report swaps agents (and starts one with the service's own rights): only the agent the
    // service launched for its session may make it, never another client that got the pipe.
    if (!server_.isLaunchedAgentConnected()) {
        const auto peer = server_.agentPeer();
        spdlog::warn("IPC DESKTOP_CHANGED refused: pipe client pid={} is not the agent the service launched for "
                     "its session",
                     peer ? peer->pid : 0);
        return;
    }
    emit server_.desktopChanged(newName, oldName);
}

}  // namespace veltrix

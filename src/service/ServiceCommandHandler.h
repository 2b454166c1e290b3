#pragma once

#include <string>
#include <string_view>

#include "service/IpcServiceMessages.h"
#include "shared/IpcMessage.h"

namespace veltrix {

class ApiClient;
class AuthController;
class FileTransferService;
class ServiceIpcServer;
class SessionManager;
class SettingsController;

// The pipe's command table: what the service does with each message a client sends, and what it
// answers. The pipe server hands every message whose "type" is a text to `process`; the table is
// searched in a fixed order and the first row that matches handles the message, an unknown type
// is answered with ERROR "Unknown command: <type>".
//
// Members are read with their defaults when missing or of another kind, numbers wide and then
// clamped, so no message can end the service. A command whose component the service does not
// have answers ERROR saying so, instead of pretending to work.
class ServiceCommandHandler {
public:
    // The objects are owned elsewhere and may be null.
    ServiceCommandHandler(ServiceIpcServer& server, AuthController* auth, SessionManager* sessionManager,
                          SettingsController* settings, ApiClient* apiClient);

    void process(const std::string& type, const IpcMessage& command);

    // What STATE reports now.
    ServiceStateSnapshot stateSnapshot() const;

    // The clamps of the commands that carry sizes and indices.
    static constexpr int kMaxMonitorIndex = 15;
    static constexpr int kMaxEncodeWidth = 7680;
    static constexpr int kMaxEncodeHeight = 4320;
    static constexpr int kMaxMonitorCount = 16;

private:
    using Handler = void (ServiceCommandHandler::*)(const IpcMessage&);
    struct Row {
        std::string_view type;
        Handler handler;
    };
    static const Row kTable[];

    void connectSession(const IpcMessage& command);
    void disconnectSession(const IpcMessage& command);
    void sendInput(const IpcMessage& command);
    void sendChat(const IpcMessage& command);
    void regeneratePassword(const IpcMessage& command);
    void setSecurePassword(const IpcMessage& command);
    void clearSecurePassword(const IpcMessage& command);
    void getState(const IpcMessage& command);
    void setMonitor(const IpcMessage& command);
    void switchRemoteMonitor(const IpcMessage& command);
    void sendSasToRemote(const IpcMessage& command);
    void setRemoteEncodeResolution(const IpcMessage& command);
    void captureInitialized(const IpcMessage& command);
    void setDisplayMode(const IpcMessage& command);
    void setClipboardSharing(const IpcMessage& command);
    void setUnattendedAccess(const IpcMessage& command);
    void getCompanyClients(const IpcMessage& command);
    void listRemoteDirectory(const IpcMessage& command);
    void downloadFile(const IpcMessage& command);
    void uploadFile(const IpcMessage& command);
    void createRemoteDirectory(const IpcMessage& command);
    void setRemoteClipboardFiles(const IpcMessage& command);
    void desktopChanged(const IpcMessage& command);

    void replyError(std::string_view text);
    // ERROR "<command> is not available: the service has no <component>".
    void replyUnavailable(std::string_view command, std::string_view component);
    // FILE_ERROR for the file commands while no session has a file-transfer service.
    void replyNoFileTransfer();
    // The session's file-transfer service; without one FILE_ERROR "No active session" is sent.
    FileTransferService* fileTransfer();
    bool requireSettings(std::string_view command);

    ServiceIpcServer& server_;
    AuthController* auth_;
    SessionManager* sessionManager_;
    SettingsController* settings_;
    ApiClient* apiClient_;
};

}  // namespace veltrix

#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

#include "shared/FileEntry.h"
#include "shared/IpcMessage.h"
#include "shared/SessionTypes.h"

// The messages the service sends on the pipe that carry more than a member or two: STATE,
// START_CAPTURE, COMPANY_CLIENTS, FILE_DIR_LISTED and ERROR. Each builder takes plain values,
// so what the service reports is decided where the values are gathered, and the keys live here.
namespace veltrix {

class SettingsController;

// Everything STATE reports, gathered from the authentication controller, the session manager,
// the settings and the pipe server.
struct ServiceStateSnapshot {
    bool authenticated = false;
    std::string clientId;
    std::string sessionPassword;
    bool hasSecurePassword = false;
    std::string pairingHash;
    SessionState sessionState = SessionState::Idle;
    std::string sessionId;
    std::string remoteClientId;
    std::string transportMethod;
    SessionRole sessionRole = SessionRole::None;
    std::string companyName;
    bool clipboardSharing = true;
    int displayMode = 0;
    int captureMonitor = 0;
    bool unattendedAccess = false;
};

IpcMessage buildStateMessage(const ServiceStateSnapshot& state);

// What the agent captures and encodes with.
struct CaptureParameters {
    int fps = 30;
    int crf = 18;
    std::string preset = "7";
    int bitrateKbps = 8000;
    int monitorIndex = 0;
    std::int32_t encodeWidth = 0;  // 0 x 0: encode at the capture size
    std::int32_t encodeHeight = 0;
};

// The encoder values of the display mode and the monitor from the settings (their defaults
// without a settings controller), with the encode size given.
CaptureParameters captureParametersFrom(const SettingsController* settings, std::int32_t encodeWidth,
                                        std::int32_t encodeHeight);

IpcMessage buildStartCaptureMessage(const CaptureParameters& parameters);

IpcMessage buildErrorMessage(std::string_view text);

// The answer to GET_COMPANY_CLIENTS from the backend's reply: the company's name and its clients
// for a 200 reply that has "clients", else the reply's "detail" text or a fixed error text.
IpcMessage buildCompanyClientsMessage(int httpStatus, const IpcMessage& reply);
// The immediate answer for a device that is not (yet) known to belong to a company.
IpcMessage buildNotInCompanyMessage();

IpcMessage buildDirectoryListedMessage(const QString& path, const QList<FileEntry>& entries);

}  // namespace veltrix

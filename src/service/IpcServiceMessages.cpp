#include "service/IpcServiceMessages.h"

#include "core/SettingsController.h"
#include "shared/JsonFields.h"

namespace veltrix {

IpcMessage buildStateMessage(const ServiceStateSnapshot& state) {
    return IpcMessage{
        {"type", "STATE"},
        {"authenticated", state.authenticated},
        {"client_id", state.clientId},
        {"session_password", state.sessionPassword},
        {"has_secure_password", state.hasSecurePassword},
        {"pairing_hash", state.pairingHash},
        {"session_state", std::string(sessionStateName(state.sessionState))},
        {"session_id", state.sessionId},
        {"remote_client_id", state.remoteClientId},
        {"transport_method", state.transportMethod},
        {"session_role", std::string(sessionRoleName(state.sessionRole))},
        {"company_name", state.companyName},
        {"clipboard_sharing", state.clipboardSharing},
        {"display_mode", state.displayMode},
        {"capture_monitor", state.captureMonitor},
        {"unattended_access", state.unattendedAccess},
    };
}

CaptureParameters captureParametersFrom(const SettingsController* settings, std::int32_t encodeWidth,
                                        std::int32_t encodeHeight) {
    CaptureParameters parameters;
    if (settings) {
        parameters.fps = settings->encoderFps();
        parameters.crf = settings->encoderCrf();
        parameters.preset = settings->encoderPreset().toStdString();
        parameters.bitrateKbps = settings->encoderBitrateKbps();
        parameters.monitorIndex = settings->monitorIndex();
    }
    parameters.encodeWidth = encodeWidth;
    parameters.encodeHeight = encodeHeight;
    return parameters;
}

IpcMessage buildStartCaptureMessage(const CaptureParameters& parameters) {
    return IpcMessage{
        {"type", "START_CAPTURE"},
        {"fps", parameters.fps},
        {"crf", parameters.crf},
        {"preset", parameters.preset},
        {"bitrate_kbps", parameters.bitrateKbps},
        {"monitor_index", parameters.monitorIndex},
        {"encode_width", parameters.encodeWidth},
        {"encode_height", parameters.encodeHeight},
    };
}

IpcMessage buildErrorMessage(std::string_view text) {
    return IpcMessage{{"type", "ERROR"}, {"message", std::string(text)}};
}

IpcMessage buildCompanyClientsMessage(int httpStatus, const IpcMessage& reply) {
    IpcMessage message{{"type", "COMPANY_CLIENTS"}};
    const json::Json* clients = json::member(reply, "clients");
    if (httpStatus == 200 && clients) {
        message["company_name"] = json::stringOr(reply, "company_name");
        message["clients"] = *clients;
        return message;
    }
    const json::Json* detail = json::member(reply, "detail");
    message["error"] = detail && detail->is_string() ? detail->get<std::string>()
                                                     : std::string("Failed to load company clients");
    return message;
}

IpcMessage buildNotInCompanyMessage() {
    return IpcMessage{{"type", "COMPANY_CLIENTS"}, {"error", "Not part of a company"}};
}

IpcMessage buildDirectoryListedMessage(const QString& path, const QList<FileEntry>& entries) {
    IpcMessage list = IpcMessage::array();
    for (const FileEntry& entry : entries) {
        // Sizes are never negative; a negative one would not fit the unsigned member.
        const std::uint64_t size = entry.size > 0 ? static_cast<std::uint64_t>(entry.size) : 0;
        list.push_back(IpcMessage{{"name", entry.name.toStdString()}, {"is_dir", entry.isDir}, {"size", size}});
    }
    return IpcMessage{{"type", "FILE_DIR_LISTED"}, {"path", path.toStdString()}, {"entries", std::move(list)}};
}

}  // namespace veltrix

// The control channel: one encrypted packet per message, a type byte and its payload. The
// senders build the messages, the dispatcher handles what arrives by type and by role.
#include "core/SessionManager.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "core/ChatService.h"
#include "core/ClipboardSharing.h"
#include "core/ControlMessageFormat.h"
#include "core/ControlMessageType.h"
#include "core/FileTransferService.h"
#include "crypto/AesGcmCipher.h"
#include "platform/SecureAttention.h"
#include "shared/Logging.h"
#include "transport/TransportManager.h"

namespace veltrix {

namespace {

constexpr std::string_view kSwitchMonitor = "switch_monitor:";
constexpr std::string_view kMonitorCount = "monitor_count:";
constexpr std::string_view kEncodeResolution = "encode_resolution:";
constexpr std::string_view kCaptureResolution = "capture_resolution:";

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::string_view(text).substr(0, prefix.size()) == prefix;
}

}  // namespace

// --- sending ----------------------------------------------------------------------------------

// Encrypts type byte and payload with the session cipher and sends the packet on the control
// channel. Needs a session cipher and an active transport, and state Connected unless told not.
bool SessionManager::sendControl(std::uint8_t type, std::string_view payload, bool needConnected) {
    if (needConnected && state_ != SessionState::Connected) return false;
    if (!sessionCipher_ || !transportManager_) return false;
    ITransport* transport = transportManager_->activeTransport();
    if (!transport) return false;
    std::string message;
    message.reserve(1 + payload.size());
    message.push_back(static_cast<char>(type));
    message.append(payload);
    const auto packet = sessionCipher_->encrypt(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    if (packet.empty()) return false;
    transport->send(ChannelType::Control, packet.data(), packet.size());
    return true;
}

bool SessionManager::sendCommand(const std::string& command) {
    // The "disconnect" of endSession goes out while the state is already Closing.
    const bool needConnected = command != "disconnect";
    return sendControl(MSG_SESSION_COMMAND, command, needConnected);
}

void SessionManager::sendInputEvent(const InputEvent& event) {
    if (role_ != SessionRole::Master) return;
    if (state_ != SessionState::Connected || !sessionCipher_ || !transportManager_ ||
        !transportManager_->activeTransport()) {
        return;
    }
    std::vector<std::uint8_t> wire;
    try {
        wire = event.serialize();
    } catch (const std::exception& error) {
        spdlog::warn("Failed to serialize input event: {}", error.what());
        return;
    }
    const std::string_view payload(reinterpret_cast<const char*>(wire.data()), wire.size());
    if (!sendControl(MSG_INPUT_EVENT, payload)) spdlog::error("Failed to encrypt input event");
}

void SessionManager::requestMonitorSwitch(int monitorIndex) {
    if (sendCommand(std::string(kSwitchMonitor) + std::to_string(monitorIndex))) {
        spdlog::info("Requested monitor switch to {}", monitorIndex);
    }
}

void SessionManager::sendSas() {
    if (sendCommand("send_sas")) spdlog::info("Requested SAS (Ctrl+Alt+Delete) on target");
}

void SessionManager::requestEncodeResolution(int width, int height) {
    const std::string command = width <= 0 || height <= 0
                                    ? std::string(kEncodeResolution) + "auto"
                                    : std::string(kEncodeResolution) + std::to_string(width) + "x" + std::to_string(height);
    if (sendCommand(command)) spdlog::info("Requested remote encode resolution: {}", command);
}

void SessionManager::advertiseCaptureResolution(int width, int height) {
    if (width <= 0 || height <= 0) return;
    advertisedCaptureWidth_ = width;
    advertisedCaptureHeight_ = height;
    if (role_ != SessionRole::Target) return;
    if (sendCommand(std::string(kCaptureResolution) + std::to_string(width) + "x" + std::to_string(height))) {
        spdlog::info("Advertised capture resolution: {}x{}", width, height);
    }
}

void SessionManager::advertiseMonitorCount(int count) {
    if (count <= 0) count = 1;
    advertisedMonitorCount_ = count;
    if (role_ != SessionRole::Target) return;
    if (sendCommand(std::string(kMonitorCount) + std::to_string(count))) {
        spdlog::info("Advertised monitor count: {}", count);
    }
}

void SessionManager::repeatAnnouncements() {
    if (advertisedCaptureWidth_ > 0 && advertisedCaptureHeight_ > 0) {
        advertiseCaptureResolution(advertisedCaptureWidth_, advertisedCaptureHeight_);
    }
    if (advertisedMonitorCount_ > 0) advertiseMonitorCount(advertisedMonitorCount_);
}

void SessionManager::sendClipboardFiles(const QStringList& paths, const QString& stagingRoot) {
    if (paths.isEmpty() || stagingRoot.isEmpty()) return;
    if (sendControl(MSG_CLIPBOARD_FILES, buildClipboardFiles(paths, stagingRoot))) {
        spdlog::info("Sent MSG_CLIPBOARD_FILES: {} file(s) staged at '{}'", paths.size(), logging::peerText(stagingRoot));
    }
}

void SessionManager::onClipboardDataReady(const QByteArray& data) {
    if (data.isEmpty()) return;
    // The bytes already start with the clipboard type byte.
    const std::string_view payload(data.constData() + 1, static_cast<std::size_t>(data.size() - 1));
    if (state_ == SessionState::Connected && sessionCipher_ && transportManager_ &&
        transportManager_->activeTransport() && !sendControl(static_cast<std::uint8_t>(data[0]), payload)) {
        spdlog::warn("Failed to encrypt clipboard data");
    }
}

void SessionManager::setClipboardSharingEnabled(bool on) {
    clipboardSharingEnabled_ = on;
    if (!clipboardService_) return;
    if (on) clipboardService_->start();
    else clipboardService_->stop();
}

// --- receiving --------------------------------------------------------------------------------

void SessionManager::onTransportData(ChannelType channel, const QByteArray& data) {
    bool haveCipher = false;
    {
        std::lock_guard lock(candidateLock_);
        haveCipher = sessionCipher_ || !candidateCiphers_.empty();
    }
    if (!haveCipher) {
        spdlog::warn("Received transport data but cipher is not initialized");
        return;
    }
    if (channel == ChannelType::Video) {
        if (role_ == SessionRole::Master) receiveVideo(data);
        return;
    }
    if (channel != ChannelType::Control) return;
    const auto plaintext =
        lockCipherCandidate(reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size()));
    if (plaintext.empty()) {
        spdlog::warn("Failed to decrypt control data ({} bytes)", data.size());
        countFailedDecrypt();
        return;
    }
    anyPacketOpened_ = true;
    dispatchControl(plaintext);
}

void SessionManager::dispatchControl(const std::vector<std::uint8_t>& plaintext) {
    const std::uint8_t* payload = plaintext.data() + 1;
    const std::size_t size = plaintext.size() - 1;
    switch (plaintext.front()) {
    case MSG_INPUT_EVENT:
        if (role_ != SessionRole::Target || size == 0) return;
        try {
            emit inputEventReceived(InputEvent::deserialize(payload, size));
        } catch (const std::exception& error) {
            spdlog::warn("Failed to deserialize input event: {}", error.what());
        }
        return;
    case MSG_KEY_FRAME_REQUEST:
        if (role_ != SessionRole::Target) return;
        spdlog::info("Key frame requested by Master — forwarding to agent");
        emit keyFrameRequested();
        return;
    case MSG_SESSION_COMMAND:
        if (size == 0) return;
        {
            const std::string command(reinterpret_cast<const char*>(payload), size);
            spdlog::info("Session command received: {}", logging::peerText(command));
            handleCommand(command);
        }
        return;
    case MSG_CLIPBOARD_TEXT:
        if (clipboardService_ && clipboardSharingEnabled_) {
            // The clipboard service reads its own type byte, so it gets the whole plaintext.
            clipboardService_->onRemoteClipboardData(
                QByteArray(reinterpret_cast<const char*>(plaintext.data()), static_cast<qsizetype>(plaintext.size())));
        }
        return;
    case MSG_FILE_TRANSFER:
        if (fileTransferService_ && size > 0) fileTransferService_->handleFileTransferMessage(payload, size);
        return;
    case MSG_CHAT:
        spdlog::info("Chat message received ({} bytes)", size);
        if (chatService_ && size > 0) chatService_->handleMessage(payload, size);
        else spdlog::warn("Chat: service not initialized or message too short");
        return;
    case MSG_CLIPBOARD_FILES:
        handleClipboardFiles(payload, size);
        return;
    default:
        return;
    }
}

void SessionManager::handleCommand(const std::string& command) {
    if (command == "disconnect") {
        endSession(QStringLiteral("remote_disconnect"));
    } else if (startsWith(command, kMonitorCount)) {
        if (role_ != SessionRole::Master) return;
        const auto count = parseCommandNumber(command.substr(kMonitorCount.size()));
        if (!count) {
            spdlog::warn("Invalid monitor_count command: {}", logging::peerText(command));
            return;
        }
        const int n = std::max(*count, 1);
        spdlog::info("Target has {} monitor(s)", n);
        emit monitorCountReceived(n);
    } else if (startsWith(command, kSwitchMonitor)) {
        if (role_ != SessionRole::Target) return;
        const auto index = parseCommandNumber(command.substr(kSwitchMonitor.size()));
        if (!index) {
            spdlog::warn("Invalid switch_monitor command: {}", logging::peerText(command));
            return;
        }
        const int n = std::max(*index, 0);
        spdlog::info("Switching capture to monitor {}", n);
        emit monitorSwitchRequested(n);
    } else if (startsWith(command, kEncodeResolution)) {
        if (role_ == SessionRole::Target) handleEncodeResolution(command);
    } else if (startsWith(command, kCaptureResolution)) {
        if (role_ == SessionRole::Master) handleCaptureResolution(command);
    } else if (command == "send_sas") {
        if (role_ != SessionRole::Target) return;
        platform::sas::fireAndLog(platform::sas::systemSecureAttention());
    }
}

void SessionManager::handleEncodeResolution(const std::string& command) {
    const std::string rest = command.substr(kEncodeResolution.size());
    int width = 0;
    int height = 0;
    if (rest != "auto") {
        const auto size = rest.empty() ? std::nullopt : parseCommandSize(rest);
        if (!size) {
            spdlog::warn("Invalid encode_resolution command: {}", logging::peerText(command));
            return;
        }
        width = size->first < 1 ? 0 : size->first;
        height = size->second < 1 ? 0 : size->second;
        if (advertisedCaptureWidth_ > 0 && advertisedCaptureHeight_ > 0) {
            width = std::min(width, static_cast<int>(advertisedCaptureWidth_));
            height = std::min(height, static_cast<int>(advertisedCaptureHeight_));
        }
    }
    spdlog::info("Master requested encode resolution {}x{} (0=native)", width, height);
    emit encodeResolutionRequested(width, height);
}

void SessionManager::handleCaptureResolution(const std::string& command) {
    const std::string rest = command.substr(kCaptureResolution.size());
    if (rest.empty() || rest.find('x') == std::string::npos) return;
    const auto size = parseCommandSize(rest);
    if (!size) {
        spdlog::warn("Invalid capture_resolution: {}", logging::peerText(command));
        return;
    }
    if (size->first <= 0 || size->second <= 0) return;
    spdlog::info("Target capture resolution: {}x{}", size->first, size->second);
    emit captureResolutionReceived(size->first, size->second);
}

void SessionManager::handleClipboardFiles(const std::uint8_t* payload, std::size_t size) {
    ClipboardFilesMessage message;
    switch (parseClipboardFiles(payload, size, message)) {
    case ClipboardFilesStatus::BadCount:
        spdlog::warn("MSG_CLIPBOARD_FILES: bad count, dropping");
        return;
    case ClipboardFilesStatus::Malformed:
        spdlog::warn("MSG_CLIPBOARD_FILES: malformed payload");
        return;
    case ClipboardFilesStatus::Ok:
        break;
    }
    // Only a folder this session's file-transfer service made at the partner's request may be
    // announced (the paste flow stages there).
    const bool createdHere = fileTransferService_ && fileTransferService_->isCreatedDirectory(message.stagingRoot);
    if (!createdHere) {
        spdlog::warn("MSG_CLIPBOARD_FILES: refused unknown staging root '{}' (not created here this session)",
                     logging::peerText(message.stagingRoot));
        return;
    }
    const QStringList names = clipboardFileNames(message.paths);
    spdlog::info("MSG_CLIPBOARD_FILES: {} file(s) staged at '{}'", names.size(), logging::peerText(message.stagingRoot));
    emit clipboardFilesReceived(message.stagingRoot, names);
}

}  // namespace veltrix

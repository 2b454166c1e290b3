// The session's chat, clipboard-sharing and file-transfer services: built when streaming starts,
// fed by the control dispatcher, and ended and released with the session.
#include "core/SessionManager.h"

#include <spdlog/spdlog.h>

#include "core/ChatService.h"
#include "core/ClipboardSharing.h"
#include "core/ControlMessageType.h"
#include "core/FileTransferService.h"
#include "crypto/AesGcmCipher.h"
#include "transport/TransportManager.h"

namespace veltrix {

namespace {

// The plaintext of one service message: its control type byte followed by the payload.
std::vector<std::uint8_t> withTypeByte(std::uint8_t type, const QByteArray& payload) {
    std::vector<std::uint8_t> message(1 + static_cast<std::size_t>(payload.size()));
    message[0] = type;
    std::copy(payload.cbegin(), payload.cend(), message.begin() + 1);
    return message;
}

}  // namespace

void SessionManager::startSessionServices() {
    // Each session gets its own services; the previous session's are already released.
    releaseSessionServices();
    fileTransferService_ = new FileTransferService(
        [this](const QByteArray& message) { return sendFileTransferMessage(message); },
        [this]() -> std::uint64_t {
            ITransport* transport = transportManager_ ? transportManager_->activeTransport() : nullptr;
            return transport ? transport->bufferedAmount(ChannelType::Control) : 0;
        },
        // Files are served only where the desktop is shared: the viewed machine never reaches
        // into the viewer's.
        role_ == SessionRole::Target ? FileTransferService::Side::Shared : FileTransferService::Side::Viewing, this);
    spdlog::info("File transfer service initialized");
    chatService_ = new ChatService([this](const QByteArray& payload) { return sendChatPayload(payload); }, this);
    spdlog::info("Chat service initialized");
    if (clipboardSharingEnabled_) {
        clipboardService_ = new ClipboardSharing(this);
        connect(clipboardService_, &ClipboardSharing::clipboardDataReady, this, &SessionManager::onClipboardDataReady);
        clipboardService_->start();
        spdlog::info("Clipboard sharing enabled");
    }
}

// A transfer in progress fails now (reported through fileError) and nothing more is sent; the
// clipboard is no longer watched. The services stay until releaseSessionServices.
void SessionManager::endSessionServices() {
    if (fileTransferService_) fileTransferService_->endSession();
    if (clipboardService_) clipboardService_->stop();
}

void SessionManager::releaseSessionServices() {
    endSessionServices();
    // Deleted through the event loop: a file send or a service signal may be on the stack.
    for (QObject* service : {static_cast<QObject*>(fileTransferService_), static_cast<QObject*>(clipboardService_),
                             static_cast<QObject*>(chatService_)}) {
        if (!service) continue;
        service->disconnect(this);
        service->deleteLater();
    }
    fileTransferService_ = nullptr;
    clipboardService_ = nullptr;
    chatService_ = nullptr;
}

bool SessionManager::sendChatPayload(const QByteArray& payload) {
    if (state_ != SessionState::Connected || !sessionCipher_ || !transportManager_) {
        spdlog::warn("Chat send blocked: state={}, cipher={}, transport={}", static_cast<int>(state_),
                     sessionCipher_ != nullptr, transportManager_ != nullptr);
        return false;
    }
    const auto message = withTypeByte(MSG_CHAT, payload);
    const auto packet = sessionCipher_->encrypt(message.data(), message.size());
    if (packet.empty()) {
        spdlog::warn("Chat: encryption failed");
        return false;
    }
    ITransport* transport = transportManager_->activeTransport();
    if (!transport) {
        spdlog::warn("Chat: no active transport");
        return false;
    }
    if (!transport->send(ChannelType::Control, packet.data(), packet.size())) return false;
    spdlog::debug("Chat message sent ({} bytes encrypted)", packet.size());
    return true;
}

bool SessionManager::sendFileTransferMessage(const QByteArray& message) {
    if (state_ != SessionState::Connected || !sessionCipher_ || !transportManager_) return false;
    ITransport* transport = transportManager_->activeTransport();
    if (!transport) return false;
    const auto plaintext = withTypeByte(MSG_FILE_TRANSFER, message);
    const auto packet = sessionCipher_->encrypt(plaintext.data(), plaintext.size());
    return !packet.empty() && transport->send(ChannelType::Control, packet.data(), packet.size());
}

}  // namespace veltrix

#pragma once

#include <QObject>

#include <array>
#include <memory>
#include <vector>

#include "core/ChatService.h"
#include "core/ControlMessageType.h"
#include "core/FileTransferService.h"
#include "crypto/AesGcmCipher.h"
#include "transport/ITransport.h"

namespace veltrix::test {

// One end of a session for tests and benchmarks, wired the way the session manager wires its
// services: chat and file-transfer messages get their control type byte, are sealed with the
// session's AES-GCM cipher and go on the transport's control channel; what arrives there is
// opened and handed to the service its type names. A send fails while the transport is down.
// Header-only so that every user links it with veltrix_core itself.
class SessionServicesEnd : public QObject {
public:
    SessionServicesEnd(ITransport& transport, SessionRole role, const char* sessionId = "test-session")
        : transport_(transport),
          cipher_(sessionKey(), sessionIv(), sessionId, role),
          files([this](const QByteArray& m) { return sendControl(MSG_FILE_TRANSFER, m); },
                [this] { return transport_.bufferedAmount(ChannelType::Control); },
                role == SessionRole::Target ? FileTransferService::Side::Shared : FileTransferService::Side::Viewing),
          chat([this](const QByteArray& m) { return sendControl(MSG_CHAT, m); }) {
        QObject::connect(&transport_, &ITransport::dataReceived, this, &SessionServicesEnd::onData);
    }

    FileTransferService& fileTransfer() { return files; }

private:
    static std::array<std::uint8_t, 32> sessionKey() {
        std::array<std::uint8_t, 32> key{};
        for (std::size_t i = 0; i < key.size(); ++i) key[i] = std::uint8_t(i * 7 + 1);
        return key;
    }
    static std::array<std::uint8_t, 12> sessionIv() { return {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2}; }

    bool sendControl(std::uint8_t type, const QByteArray& payload) {
        if (!transport_.isConnected()) return false;
        plaintext_.resize(1 + std::size_t(payload.size()));
        plaintext_[0] = type;
        std::copy(payload.cbegin(), payload.cend(), plaintext_.begin() + 1);
        const std::vector<std::uint8_t> packet = cipher_.encrypt(plaintext_.data(), plaintext_.size());
        return !packet.empty() && transport_.send(ChannelType::Control, packet.data(), packet.size());
    }

    void onData(ChannelType channel, const QByteArray& data) {
        if (channel != ChannelType::Control) return;
        const std::vector<std::uint8_t> plain =
            cipher_.decrypt(reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size()));
        if (plain.empty()) return;
        if (plain[0] == MSG_FILE_TRANSFER) files.handleFileTransferMessage(plain.data() + 1, plain.size() - 1);
        if (plain[0] == MSG_CHAT) chat.handleMessage(plain.data() + 1, plain.size() - 1);
    }

    ITransport& transport_;
    AesGcmCipher cipher_;
    std::vector<std::uint8_t> plaintext_;

public:
    FileTransferService files;
    ChatService chat;
};

}  // namespace veltrix::test

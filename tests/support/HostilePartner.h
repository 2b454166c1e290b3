#pragma once

// A session partner played by a test (or a fuzz target) against a real SessionManager: its own
// key agreement and password element, the cipher of its side, and a transport it drives by hand.
// It can bring the session to Connected with the manager as Master or as Target and then send
// anything at all through the authenticated channel, well-formed or forged, and read what the
// manager sends back. No backend and no network take part. Header only: its users link
// veltrix_core themselves.

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QString>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ControlMessageType.h"
#include "core/SessionManager.h"
#include "crypto/AesGcmCipher.h"
#include "crypto/EcdhKeyExchange.h"
#include "crypto/Spake2.h"
#include "support/SessionManagerTestPeer.h"
#include "transport/ITransport.h"
#include "transport/TransportFactory.h"

namespace veltrix::test {

// A peer-to-peer transport that comes up when the partner says so, keeps what the session
// manager sends and delivers what the partner sends. It only emits the interface's signals, so
// it needs no meta-object of its own.
class ScriptedTransport : public IP2PTransport {
public:
    bool connect(const QByteArray&, std::uint16_t) override { return true; }
    void disconnect() override { open_ = false; }
    bool isConnected() const override { return open_; }
    bool send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) override {
        if (!open_) return false;
        sent.emplace_back(channel, QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
        return true;
    }
    std::uint64_t bufferedAmount(ChannelType) const override { return buffered; }
    void setTurnServerConfig(const TurnServerConfig&) override {}
    void startAsOfferer() override {}
    void startAsAnswerer() override {}
    void setRemoteDescription(const QString&, const QString&) override {}
    void addRemoteCandidate(const QString&, const QString&) override {}

    // The partner is reachable.
    void comeUp() {
        open_ = true;
        emit connected();
    }
    // The session receives through its transport manager, queued: the packet is handled before
    // this returns.
    void deliver(ChannelType channel, const QByteArray& packet) {
        emit dataReceived(channel, packet);
        QCoreApplication::sendPostedEvents();
    }
    void closeFromTheFarSide() {
        open_ = false;
        emit disconnected();
    }

    std::vector<std::pair<ChannelType, QByteArray>> sent;
    std::uint64_t buffered = 0;  // what bufferedAmount reports

private:
    bool open_ = false;
};

class HostilePartner {
public:
    static constexpr const char* kSessionId = "hostile-session";

    // From here on the victim's transports are this partner's; it must outlive the sessions it
    // plays (the victim keeps the factory).
    explicit HostilePartner(SessionManager& victim) : victim_(victim) {
        TransportFactory factory;
        factory.createP2P = [this]() -> IP2PTransport* {
            auto* transport = new ScriptedTransport;
            std::erase_if(transports_, [](const QPointer<ScriptedTransport>& t) { return t.isNull(); });
            transports_.push_back(transport);
            return transport;
        };
        factory.createRelay = []() -> IRelayTransport* { return nullptr; };
        victim_.setTransportFactory(std::move(factory));
        // Only the scripted transport ever comes up; the relay is never tried.
        victim_.setP2PTimeout(std::chrono::minutes(10));
    }

    // The victim views this partner: it starts the session with `password`, the backend's
    // reply names `sessionId`, and the partner answers as a Target holding `password`. True
    // once the victim is Connected.
    bool connectVictimAsMaster(const QString& password = QStringLiteral("pass-1"),
                               const QString& sessionId = QString::fromLatin1(kSessionId)) {
        victim_.initiateSession(QStringLiteral("123456789"), password);
        if (victim_.state() != SessionState::Initiating) return false;
        victim_.onSessionCreated(nlohmann::json{{"session_id", sessionId.toStdString()}});
        return answerAsTarget(password, sessionId);
    }

    // The partner's answer, as a Target holding `password` and fresh keys of its own, to the
    // victim's session `sessionId` (the victim Master is in Handshaking, or holds answers until
    // the backend's reply names its session).
    bool answerAsTarget(const QString& password, const QString& sessionId) {
        keys_ = std::make_unique<EcdhKeyExchange>();
        crypto::SecureBytes secret;
        QString offer;
        const std::string masterElement = SessionManagerTestPeer::passwordElement(victim_);
        if (!masterElement.empty()) {
            Spake2 spake(password.toStdString(), SessionRole::Target);
            secret = spake.computeSharedSecret(masterElement);
            offer = QString::fromStdString(spake.elementHex());
        }
        victim_.onHandshakeAck(sessionId, QStringLiteral("accepted"), QString::fromStdString(keys_->publicKeyBase64()),
                               offer);
        sessionId_ = sessionId;
        ownRole_ = SessionRole::Target;
        secret_ = std::move(secret);
        return victim_.state() == SessionState::Connecting && finishConnecting();
    }

    // The victim shares its desktop with this partner, which asks as a Master without a
    // password. True once the victim is Connected.
    bool connectVictimAsTarget(const QString& sessionId = QString::fromLatin1(kSessionId)) {
        keys_ = std::make_unique<EcdhKeyExchange>();
        victim_.acceptHandshakeRequest(sessionId, QStringLiteral("987654321"),
                                       QString::fromStdString(keys_->publicKeyBase64()), QString(), QString());
        sessionId_ = sessionId;
        ownRole_ = SessionRole::Master;
        crypto::wipe(secret_);
        return finishConnecting();
    }

    // Once the victim has applied the partner's answer (it is Connecting): the partner's cipher,
    // and its transport comes up. True once the victim is Connected.
    bool finishConnecting() {
        if (victim_.state() != SessionState::Connecting || !keys_ ||
            !keys_->deriveSharedKey(SessionManagerTestPeer::publicKey(victim_)))
            return false;
        cipher_ = std::make_unique<AesGcmCipher>(keys_->aesKey(), keys_->baseIv(), sessionId_.toStdString(), ownRole_,
                                                 secret_);
        ScriptedTransport* t = transport();
        if (!t) return false;
        t->comeUp();
        return runUntil([this] { return victim_.state() != SessionState::Connecting; }) &&
               victim_.state() == SessionState::Connected;
    }

    // The transport the victim's session runs on (the latest it made).
    ScriptedTransport* transport() const { return transports_.empty() ? nullptr : transports_.back().data(); }

    // Seals `plaintext` with the partner's cipher and delivers it on `channel`.
    void sendSealed(ChannelType channel, const std::uint8_t* plaintext, std::size_t size) {
        ScriptedTransport* t = transport();
        if (!cipher_ || !t) return;
        const std::vector<std::uint8_t> packet = cipher_->encrypt(plaintext, size);
        t->deliver(channel, QByteArray(reinterpret_cast<const char*>(packet.data()), static_cast<qsizetype>(packet.size())));
    }
    // One control message: its type byte, then `payload`.
    void sendControl(std::uint8_t type, std::string_view payload) {
        std::string message(1, static_cast<char>(type));
        message.append(payload);
        sendSealed(ChannelType::Control, reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    }
    void sendCommand(std::string_view command) { sendControl(MSG_SESSION_COMMAND, command); }
    void sendFileTransfer(const QByteArray& message) {
        sendControl(MSG_FILE_TRANSFER, std::string_view(message.constData(), static_cast<std::size_t>(message.size())));
    }
    void sendVideo(const std::vector<std::uint8_t>& packet) { sendSealed(ChannelType::Video, packet.data(), packet.size()); }

    // What the victim sent on the control channel since the last call, opened (type byte first).
    std::vector<QByteArray> takeControl() {
        std::vector<QByteArray> opened;
        for (ScriptedTransport* t : transports()) {
            for (auto& [channel, packet] : std::exchange(t->sent, {})) {
                if (channel != ChannelType::Control || !cipher_) continue;
                const auto plain =
                    cipher_->decrypt(reinterpret_cast<const std::uint8_t*>(packet.constData()), std::size_t(packet.size()));
                if (!plain.empty())
                    opened.emplace_back(reinterpret_cast<const char*>(plain.data()), static_cast<qsizetype>(plain.size()));
            }
        }
        return opened;
    }
    // The file-transfer messages among them (sub-type byte first).
    std::vector<QByteArray> takeFileTransfer() {
        std::vector<QByteArray> messages;
        for (const QByteArray& m : takeControl())
            if (!m.isEmpty() && std::uint8_t(m[0]) == MSG_FILE_TRANSFER) messages.push_back(m.mid(1));
        return messages;
    }

    // Runs the event loop until `done` holds or `limit` passes.
    template <typename Done>
    static bool runUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const QDeadlineTimer deadline(limit);
        while (!done()) {
            if (deadline.hasExpired()) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }

private:
    std::vector<ScriptedTransport*> transports() const {
        std::vector<ScriptedTransport*> live;
        for (const auto& t : transports_)
            if (t) live.push_back(t.data());
        return live;
    }

    SessionManager& victim_;
    std::vector<QPointer<ScriptedTransport>> transports_;
    std::unique_ptr<EcdhKeyExchange> keys_;
    std::unique_ptr<AesGcmCipher> cipher_;
    QString sessionId_;
    SessionRole ownRole_ = SessionRole::None;
    crypto::SecureBytes secret_;
};

}  // namespace veltrix::test

#include "SignalingHub.h"

#include <QTimer>
#include <QUrl>

#include <spdlog/spdlog.h>

#include "BackendState.h"

namespace veltrix::backend {
namespace {

constexpr qint64 kMaxMessageBytes = 256 * 1024;
const QString kPathPrefix = QStringLiteral("/ws/clients/");

std::string str(const nlohmann::json& message, const char* key) {
    const auto it = message.find(key);
    return it != message.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void send(QWebSocket* socket, const nlohmann::json& message) {
    socket->sendTextMessage(QString::fromStdString(message.dump()));
}

}  // namespace

SignalingHub::SignalingHub(BackendState& state, QObject* parent) : QObject(parent), state_(state) {}

SignalingHub::~SignalingHub() {
    const auto sockets = peers_.keys();
    peers_.clear();
    online_.clear();
    for (QWebSocket* socket : sockets) {
        socket->disconnect(this);
        delete socket;
    }
}

void SignalingHub::adopt(QWebSocket* socket) {
    socket->setParent(this);
    socket->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
    socket->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
    const QString path = socket->requestUrl().path();
    const QString clientId = path.startsWith(kPathPrefix) ? path.mid(kPathPrefix.size()) : QString();
    if (!BackendState::isClientId(clientId)) {
        spdlog::warn("Signaling: refusing WebSocket on path {}", path.toStdString());
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("unknown path"));
        socket->deleteLater();
        return;
    }
    peers_.insert(socket, Peer{clientId, false});
    connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) { onText(socket, text); });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] { onClosed(socket); });
    QTimer::singleShot(authTimeoutMs_, socket, [this, socket] {
        const auto it = peers_.find(socket);
        if (it != peers_.end() && !it->authenticated) {
            spdlog::info("Signaling: client {} did not authenticate in time", it->clientId.toStdString());
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("authentication timeout"));
        }
    });
    spdlog::debug("Signaling: socket opened for client {}", clientId.toStdString());
}

bool SignalingHub::push(const QString& clientId, const nlohmann::json& message) {
    QWebSocket* socket = online_.value(clientId);
    if (!socket) return false;
    send(socket, message);
    spdlog::info("Signaling: pushed {} to {}", str(message, "type"), clientId.toStdString());
    return true;
}

void SignalingHub::onText(QWebSocket* socket, const QString& text) {
    const auto it = peers_.find(socket);
    if (it == peers_.end()) return;
    const std::string utf8 = text.toStdString();
    const auto message = nlohmann::json::parse(utf8, nullptr, false);
    if (!message.is_object() || !message.contains("type") || !message["type"].is_string()) {
        spdlog::warn("Signaling: dropping a message from {} that is not a typed JSON object", it->clientId.toStdString());
        return;
    }
    const std::string type = message["type"].get<std::string>();
    if (type == "AUTH") {
        onAuth(socket, it.value(), message);
        return;
    }
    if (!it->authenticated) {
        spdlog::warn("Signaling: dropping {} from unauthenticated socket of {}", type, it->clientId.toStdString());
        return;
    }
    const Peer peer = it.value();
    if (type == "SET_PAIRING_CODE") {
        const QString code = QString::fromStdString(str(message, "code"));
        ClientRecord* record = state_.client(peer.clientId);
        if (record && code.size() == 6 && code.toUInt() >= 100000) {
            record->pairingCode = code;
            spdlog::info("Signaling: pairing code set for {}", peer.clientId.toStdString());
        } else {
            spdlog::warn("Signaling: ignoring a malformed pairing code from {}", peer.clientId.toStdString());
        }
    } else if (type == "SESSION_HEARTBEAT") {
        SessionRecord* session = state_.session(QString::fromStdString(str(message, "session_id")));
        if (session && (session->masterClientId == peer.clientId || session->targetClientId == peer.clientId)) {
            session->lastHeartbeat = state_.now();
        }
    } else if (type == "ICE_OFFER" || type == "ICE_ANSWER" || type == "ICE_CANDIDATE") {
        onIce(socket, peer, message);
    } else {
        spdlog::debug("Signaling: ignoring message type {} from {}", type, peer.clientId.toStdString());
    }
}

void SignalingHub::onAuth(QWebSocket* socket, Peer& peer, const nlohmann::json& message) {
    QString tokenOwner;
    const auto check = state_.checkToken(QString::fromStdString(str(message, "token")), &tokenOwner);
    if (check != BackendState::TokenCheck::Valid || tokenOwner != peer.clientId) {
        spdlog::warn("Signaling: authentication refused for client {}", peer.clientId.toStdString());
        send(socket, {{"type", "AUTH_FAIL"}});
        socket->close(QWebSocketProtocol::CloseCodeNormal);
        return;
    }
    peer.authenticated = true;
    QWebSocket* previous = online_.value(peer.clientId);
    online_.insert(peer.clientId, socket);
    if (previous && previous != socket) {
        spdlog::info("Signaling: new socket for client {} replaces the old one", peer.clientId.toStdString());
        peers_.remove(previous);
        previous->disconnect(this);
        previous->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("replaced by a newer connection"));
        previous->deleteLater();
    }
    send(socket, {{"type", "AUTH_OK"}});
    spdlog::info("Signaling: client {} authenticated", peer.clientId.toStdString());
    emit clientAuthenticated(peer.clientId);
}

void SignalingHub::onIce(QWebSocket*, const Peer& peer, const nlohmann::json& message) {
    const std::string type = message["type"].get<std::string>();
    const QString sessionId = QString::fromStdString(str(message, "session_id"));
    const QString target = QString::fromStdString(str(message, "target_client_id"));
    const SessionRecord* session = state_.session(sessionId);
    // ICE goes only between the two parties of a live session.
    const bool parties = session && ((session->masterClientId == peer.clientId && session->targetClientId == target) ||
                                     (session->targetClientId == peer.clientId && session->masterClientId == target));
    if (!parties || session->state == u"closed" || session->state == u"failed") {
        spdlog::warn("Signaling: dropping {} from {} to {} for session {}: not the parties of a live session", type,
                     peer.clientId.toStdString(), target.toStdString(), sessionId.toStdString());
        return;
    }
    nlohmann::json forwarded{{"type", type},
                             {"session_id", sessionId.toStdString()},
                             {"from_client_id", peer.clientId.toStdString()}};
    if (type == "ICE_CANDIDATE") {
        forwarded["candidate"] = str(message, "candidate");
        forwarded["mid"] = str(message, "mid");
    } else {
        forwarded["sdp"] = str(message, "sdp");
    }
    if (!push(target, forwarded)) {
        spdlog::warn("Signaling: {} for session {} dropped: {} is offline", type, sessionId.toStdString(),
                     target.toStdString());
    }
}

void SignalingHub::onClosed(QWebSocket* socket) {
    const auto it = peers_.find(socket);
    if (it != peers_.end()) {
        if (online_.value(it->clientId) == socket) {
            online_.remove(it->clientId);
            spdlog::info("Signaling: client {} went offline", it->clientId.toStdString());
        }
        peers_.erase(it);
    }
    socket->deleteLater();
}

}  // namespace veltrix::backend

#include "transport/SignalingClient.h"

#include <QNetworkRequest>

#include <algorithm>
#include <array>
#include <optional>

#include <spdlog/spdlog.h>

#include "platform/TrustedCertificates.h"
#include "shared/JsonFields.h"
#include "shared/Logging.h"

namespace veltrix {
namespace {

using Json = nlohmann::json;

std::string text(const QString& value) { return value.toStdString(); }

// The named string members of a message: a missing member reads as empty, a member of another
// kind (null included) makes the whole message unreadable.
template <std::size_t N>
std::optional<std::array<QString, N>> stringMembers(const Json& message, const std::array<const char*, N>& keys,
                                                    std::string& wrongKey) {
    std::array<QString, N> values;
    for (std::size_t i = 0; i < N; ++i) {
        const Json* value = json::member(message, keys[i]);
        if (!value) continue;
        if (!value->is_string()) {
            wrongKey = keys[i];
            return std::nullopt;
        }
        values[i] = QString::fromStdString(value->get<std::string>());
    }
    return values;
}

}  // namespace

SignalingClient::SignalingClient(QObject* parent) : QObject(parent) {
    reconnectTimer_.setSingleShot(true);
    connect(&reconnectTimer_, &QTimer::timeout, this, &SignalingClient::attemptReconnect);
    authReplyTimer_.setSingleShot(true);
    authReplyTimer_.setInterval(kDefaultAuthReplyTimeoutMs);
    connect(&authReplyTimer_, &QTimer::timeout, this, [this] { dropConnection("no answer to AUTH"); });
    pingTimer_.setInterval(kDefaultPingIntervalMs);
    connect(&pingTimer_, &QTimer::timeout, this, &SignalingClient::sendPing);
    pongTimer_.setSingleShot(true);
    pongTimer_.setInterval(kDefaultPongTimeoutMs);
    connect(&pongTimer_, &QTimer::timeout, this, [this] { dropConnection("no pong"); });
}

void SignalingClient::setKeepAlive(int pingIntervalMs, int pongTimeoutMs) {
    pingTimer_.setInterval(pingIntervalMs);
    pongTimer_.setInterval(pongTimeoutMs);
}

void SignalingClient::sendPing() {
    if (!isConnected() || pongTimer_.isActive()) return;
    socket_->ping();
    pongTimer_.start();
}

void SignalingClient::dropConnection(const char* why) {
    if (!socket_) return;
    spdlog::warn("Signaling: connection is not answering ({}) — reconnecting", why);
    // Closing politely would wait for a peer that is gone; abort ends it at once. Should the
    // socket not report the disconnect itself, the loss is handled here, once.
    socket_->abort();
    if (attemptLive_ && socket_) {
        socket_->disconnect(this);
        onDisconnected();
    }
}

SignalingClient::~SignalingClient() {
    reconnectTimer_.stop();
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
}

QUrl SignalingClient::endpoint(const QUrl& serverUrl, const QString& clientId) {
    QUrl url = serverUrl;
    url.setScheme(QStringLiteral("wss"));
    url.setPath(QStringLiteral("/ws/clients/") + clientId, QUrl::DecodedMode);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

void SignalingClient::setReconnectDelays(int baseMs, int maxMs) {
    baseDelayMs_ = std::max(0, baseMs);
    maxDelayMs_ = std::max(baseDelayMs_, maxMs);
}

int SignalingClient::reconnectDelay(int attempts) const {
    // Shift in 64 bits and cap before narrowing, so a large count cannot overflow.
    const int shift = std::clamp(attempts, 0, 30);
    const qint64 delay = static_cast<qint64>(baseDelayMs_) << shift;
    return static_cast<int>(std::min<qint64>(delay, maxDelayMs_));
}

void SignalingClient::connectToServer(const QUrl& serverUrl, const QString& clientId, const QString& token) {
    // A reconnect still pending or a socket of an earlier connection must not act on this one.
    reconnectTimer_.stop();
    closeSocket();
    serverUrl_ = serverUrl;
    clientId_ = clientId;
    token_ = token;
    // Loading the trusted CAs reads every system certificate: done once per connection, not
    // once per reconnect.
    tls_ = platform::tls::clientConfiguration();
    attempts_ = 0;
    gaveUp_ = false;
    spdlog::info("Connecting to signaling server: {}", endpoint(serverUrl_, clientId_).toString().toStdString());
    openSocket();
}

void SignalingClient::disconnectFromServer() {
    reconnectTimer_.stop();
    stopWatchdogs();
    attempts_ = kMaxReconnectAttempts;
    gaveUp_ = true;
    if (socket_) socket_->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

bool SignalingClient::isConnected() const {
    return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

void SignalingClient::sendMessage(const Json& message) {
    if (!isConnected()) {
        spdlog::warn("Cannot send message: not connected");
        return;
    }
    socket_->sendTextMessage(QString::fromStdString(json::toText(message)));
}

// Each connection gets its own socket; the previous one is cut off from this object first, so none
// of its late notifications can touch the new connection.
void SignalingClient::openSocket() {
    closeSocket();
    socket_ = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    socket_->setSslConfiguration(tls_);
    connect(socket_, &QWebSocket::connected, this, &SignalingClient::onConnected);
    connect(socket_, &QWebSocket::disconnected, this, &SignalingClient::onDisconnected);
    connect(socket_, &QWebSocket::textMessageReceived, this, &SignalingClient::onTextMessageReceived);
    connect(socket_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, &SignalingClient::onError);
    connect(socket_, &QWebSocket::pong, this, [this] { pongTimer_.stop(); });
    attemptLive_ = true;
    socket_->open(QNetworkRequest(endpoint(serverUrl_, clientId_)));
}

void SignalingClient::stopWatchdogs() {
    authReplyTimer_.stop();
    pingTimer_.stop();
    pongTimer_.stop();
    authenticated_ = false;
}

void SignalingClient::closeSocket() {
    stopWatchdogs();
    attemptLive_ = false;
    if (!socket_) return;
    QWebSocket* old = std::exchange(socket_, nullptr);
    old->disconnect(this);
    old->abort();
    old->deleteLater();
}

void SignalingClient::onConnected() {
    spdlog::info("Signaling WebSocket connected, sending auth");
    sendMessage(Json{{"type", "AUTH"}, {"token", text(token_)}});
    authReplyTimer_.start();
    pingTimer_.start();
}

void SignalingClient::onDisconnected() {
    stopWatchdogs();
    spdlog::info("Signaling WebSocket disconnected");
    emit disconnected();
    scheduleReconnect();
}

void SignalingClient::onError(QAbstractSocket::SocketError error) {
    const QString message = socket_ ? socket_->errorString() : QString();
    spdlog::error("WebSocket error ({}): {}", static_cast<int>(error), text(message));
    emit connectionError(message);
    // An attempt that never opened ends with the error alone; it counts as a failed reconnect.
    if (socket_ && socket_->state() == QAbstractSocket::UnconnectedState) scheduleReconnect();
}

// Runs once per lost connection or failed attempt.
void SignalingClient::scheduleReconnect() {
    if (!attemptLive_) return;
    attemptLive_ = false;
    if (attempts_ >= kMaxReconnectAttempts) {
        if (!gaveUp_) {
            gaveUp_ = true;
            spdlog::error("Signaling: giving up after {} failed reconnect attempts", kMaxReconnectAttempts);
            emit connectionError(QStringLiteral("Signaling connection lost: %1 reconnect attempts failed")
                                     .arg(kMaxReconnectAttempts));
            emit reconnectAttemptsExhausted();
        }
        return;
    }
    const int delay = reconnectDelay(attempts_);
    spdlog::info("Reconnecting in {} ms (attempt {}/{})", delay, attempts_ + 1, kMaxReconnectAttempts);
    reconnectTimer_.start(delay);
}

void SignalingClient::attemptReconnect() {
    ++attempts_;
    spdlog::info("Attempting reconnect {}/{}", attempts_, kMaxReconnectAttempts);
    spdlog::info("Reconnecting to signaling server: {}", endpoint(serverUrl_, clientId_).toString().toStdString());
    openSocket();
}

void SignalingClient::onTextMessageReceived(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    Json message;
    if (!json::parse(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), message)) {
        spdlog::warn("Failed to parse signaling message: {}", "malformed JSON");
        return;
    }
    if (!message.is_object()) {
        spdlog::warn("Failed to parse signaling message: {}", "not a JSON object");
        return;
    }
    spdlog::debug("Signaling message: {}", logging::peerText(json::toText(message), 4096));
    emit messageReceived(message);
    dispatch(message);
}

void SignalingClient::dispatch(const Json& message) {
    std::string wrongKey;
    const auto fail = [&wrongKey] {
        spdlog::warn("Failed to parse signaling message: {}", fmt::format("member \"{}\" is not a string", wrongKey));
    };
    const auto type = stringMembers<1>(message, {"type"}, wrongKey);
    if (!type) return fail();
    const QString& kind = (*type)[0];

    if (kind == QLatin1String("AUTH_OK")) {
        spdlog::info("Signaling auth confirmed");
        authReplyTimer_.stop();
        authenticated_ = true;
        attempts_ = 0;
        gaveUp_ = false;
        emit connected();
    } else if (kind == QLatin1String("AUTH_FAIL")) {
        spdlog::error("Signaling auth rejected by server — not reconnecting");
        authReplyTimer_.stop();
        attempts_ = kMaxReconnectAttempts;
        gaveUp_ = true;
        if (socket_) socket_->close(QWebSocketProtocol::CloseCodeNormal, QString());
        emit connectionError(QStringLiteral("Authentication rejected by server"));
        // The token is no good any more: the authentication part logs in again and reconnects.
        emit authenticationRejected();
    } else if (kind == QLatin1String("SESSION_HANDSHAKE_REQUEST")) {
        const auto m = stringMembers<3>(message, {"session_id", "master_client_id", "purpose"}, wrongKey);
        if (!m) return fail();
        emit sessionHandshakeRequest((*m)[0], (*m)[1], (*m)[2]);
    } else if (kind == QLatin1String("SESSION_AUTO_ACCEPT")) {
        const auto m = stringMembers<5>(message,
                                        {"session_id", "master_client_id", "master_ecdh_public_key", "relay_token",
                                         "master_spake2_element"},
                                        wrongKey);
        if (!m) return fail();
        spdlog::info("Session auto-accepted: {} from {}", logging::peerText((*m)[0]), logging::peerText((*m)[1]));
        emit sessionAutoAccept((*m)[0], (*m)[1], (*m)[2], (*m)[3], (*m)[4]);
    } else if (kind == QLatin1String("SESSION_HANDSHAKE_ACK")) {
        const auto m = stringMembers<4>(
            message, {"session_id", "state", "target_ecdh_public_key", "target_spake2_element"}, wrongKey);
        if (!m) return fail();
        spdlog::info("Session handshake ACK: {} state={}", logging::peerText((*m)[0]), logging::peerText((*m)[1]));
        emit sessionHandshakeAck((*m)[0], (*m)[1], (*m)[2], (*m)[3]);
    } else if (kind == QLatin1String("SESSION_FAILED")) {
        const auto m = stringMembers<2>(message, {"session_id", "reason"}, wrongKey);
        if (!m) return fail();
        spdlog::warn("Session failed: {} reason={}", logging::peerText((*m)[0]), logging::peerText((*m)[1]));
        emit sessionFailed((*m)[0], (*m)[1]);
    } else if (kind == QLatin1String("ICE_OFFER") || kind == QLatin1String("ICE_ANSWER")) {
        const auto m = stringMembers<3>(message, {"session_id", "from_client_id", "sdp"}, wrongKey);
        if (!m) return fail();
        if (kind == QLatin1String("ICE_OFFER")) {
            emit iceOffer((*m)[0], (*m)[1], (*m)[2]);
        } else {
            emit iceAnswer((*m)[0], (*m)[1], (*m)[2]);
        }
    } else if (kind == QLatin1String("ICE_CANDIDATE")) {
        const auto m = stringMembers<4>(message, {"session_id", "from_client_id", "candidate", "mid"}, wrongKey);
        if (!m) return fail();
        emit iceCandidate((*m)[0], (*m)[1], (*m)[2], (*m)[3]);
    }
}

}  // namespace veltrix

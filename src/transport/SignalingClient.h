#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <nlohmann/json.hpp>

namespace veltrix {

// The service's one WebSocket to the signaling server. It authenticates with the access token on
// every open, turns inbound messages into signals, sends the session manager's messages, and
// reconnects with a bounded exponential back-off when the connection is lost. A server that does
// not answer AUTH in time, or a connection whose pings go unanswered, counts as lost.
class SignalingClient : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxReconnectAttempts = 10;
    static constexpr int kDefaultBaseDelayMs = 1000;
    static constexpr int kDefaultMaxDelayMs = 30000;
    static constexpr int kDefaultAuthReplyTimeoutMs = 15000;
    static constexpr int kDefaultPingIntervalMs = 30000;
    static constexpr int kDefaultPongTimeoutMs = 10000;

    explicit SignalingClient(QObject* parent = nullptr);
    ~SignalingClient() override;

    void connectToServer(const QUrl& serverUrl, const QString& clientId, const QString& token);
    void disconnectFromServer();
    bool isConnected() const;
    void sendMessage(const nlohmann::json& message);
    // The token that the next AUTH sends (after a log-in renewed it); the open connection stays.
    void setToken(const QString& token) { token_ = token; }
    QString token() const { return token_; }
    QUrl serverUrl() const { return serverUrl_; }
    QString clientId() const { return clientId_; }
    // True between AUTH_OK and the loss of that connection.
    bool isAuthenticated() const { return authenticated_; }

    // How long AUTH may go unanswered, how often an idle connection is pinged and how long a
    // pong may take. Tests shorten them.
    void setAuthReplyTimeout(int milliseconds) { authReplyTimer_.setInterval(milliseconds); }
    void setKeepAlive(int pingIntervalMs, int pongTimeoutMs);

    // Back-off before reconnect n (counted from 0): base << n, capped. Tests shorten both.
    void setReconnectDelays(int baseMs, int maxMs);
    int reconnectDelay(int attempts) const;
    int reconnectAttempts() const { return attempts_; }
    bool reconnectPending() const { return reconnectTimer_.isActive(); }

    // "wss://host:port/ws/clients/<clientId>" from the API server URL.
    static QUrl endpoint(const QUrl& serverUrl, const QString& clientId);

signals:
    void connected();
    void disconnected();
    void messageReceived(const nlohmann::json& message);
    void sessionHandshakeRequest(const QString& sessionId, const QString& masterClientId, const QString& purpose);
    void sessionAutoAccept(const QString& sessionId, const QString& masterClientId, const QString& masterEcdhPublicKey,
                           const QString& relayToken, const QString& masterSpake2Element = {});
    void sessionHandshakeAck(const QString& sessionId, const QString& state, const QString& targetEcdhPublicKey,
                             const QString& targetSpake2Element = {});
    void sessionFailed(const QString& sessionId, const QString& reason);
    void connectionError(const QString& error);
    void iceOffer(const QString& sessionId, const QString& fromClientId, const QString& sdp);
    void iceAnswer(const QString& sessionId, const QString& fromClientId, const QString& sdp);
    void iceCandidate(const QString& sessionId, const QString& fromClientId, const QString& candidate,
                      const QString& mid);
    // Every reconnect of the budget failed; nothing more is tried until connectToServer.
    void reconnectAttemptsExhausted();
    // The server refused the token (AUTH_FAIL); nothing more is tried until connectToServer.
    void authenticationRejected();

public slots:
    void onConnected();
    void onDisconnected();
    void onTextMessageReceived(const QString& text);
    void onError(QAbstractSocket::SocketError error);
    void attemptReconnect();

private:
    void openSocket();
    void closeSocket();
    void scheduleReconnect();
    void dispatch(const nlohmann::json& message);
    void sendPing();
    void stopWatchdogs();
    // Ends a connection that stopped answering; its disconnect schedules the reconnect.
    void dropConnection(const char* why);

    QWebSocket* socket_ = nullptr;
    QTimer reconnectTimer_;
    QTimer authReplyTimer_;
    QTimer pingTimer_;
    QTimer pongTimer_;
    bool authenticated_ = false;
    QUrl serverUrl_;
    QString clientId_;
    QString token_;
    QSslConfiguration tls_;
    int attempts_ = 0;
    // True from opening a socket until its loss has been handled, so an error followed by a
    // disconnect of the same attempt schedules one reconnect.
    bool attemptLive_ = false;
    // Reconnecting ended on purpose (AUTH_FAIL, disconnectFromServer) or the budget was reported
    // as used up.
    bool gaveUp_ = false;
    int baseDelayMs_ = kDefaultBaseDelayMs;
    int maxDelayMs_ = kDefaultMaxDelayMs;
};

}  // namespace veltrix

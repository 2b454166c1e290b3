#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QWebSocket>

#include <nlohmann/json.hpp>

namespace veltrix::backend {

class BackendState;

// The signaling server: one WebSocket per device at "/ws/clients/<client id>". A socket must send
// {"type": "AUTH", "token": ...} with a live token of that very client first; until then every
// other message is dropped. Authenticated sockets set their pairing code, keep sessions alive and
// exchange ICE messages with the other party of a session; the backend pushes session events.
// A newer authenticated socket of a client replaces the older one.
class SignalingHub : public QObject {
    Q_OBJECT
public:
    explicit SignalingHub(BackendState& state, QObject* parent = nullptr);
    ~SignalingHub() override;

    void setAuthTimeoutMs(int ms) { authTimeoutMs_ = ms; }

    // Takes over a socket that completed its WebSocket handshake.
    void adopt(QWebSocket* socket);

    bool isOnline(const QString& clientId) const { return online_.contains(clientId); }
    // Sends a message to the client's authenticated socket; false when it has none. Every member
    // of a signaling message is a string.
    bool push(const QString& clientId, const nlohmann::json& message);

signals:
    void clientAuthenticated(const QString& clientId);

private:
    struct Peer {
        QString clientId;  // from the path
        bool authenticated = false;
    };

    void onText(QWebSocket* socket, const QString& text);
    void onAuth(QWebSocket* socket, Peer& peer, const nlohmann::json& message);
    void onIce(QWebSocket* socket, const Peer& peer, const nlohmann::json& message);
    void onClosed(QWebSocket* socket);

    BackendState& state_;
    int authTimeoutMs_ = 10000;
    QHash<QWebSocket*, Peer> peers_;
    QHash<QString, QWebSocket*> online_;
};

}  // namespace veltrix::backend

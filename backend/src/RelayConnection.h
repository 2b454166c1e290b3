#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSslSocket>
#include <QString>
#include <QTimer>

#include <cstdint>

namespace veltrix::backend {

class RelayNode;

// One TLS connection of a relay node, from its join to its close. Reading is paced by the room
// left for the bytes it produces (the partner's write queue, or the held buffer of a lone
// joiner), so a fast sender cannot make the node buffer without bound.
class RelayConnection : public QObject {
    friend class RelayNode;
    Q_OBJECT
public:
    RelayConnection(QSslSocket* socket, RelayNode& node);
    ~RelayConnection() override;

    QString peer() const { return peer_; }
    const QString& sessionId() const { return sessionId_; }

    // Pairs with `partner`: hands over the held frames and starts forwarding.
    void pairWith(RelayConnection* partner);
    // Ends the connection. With `graceful`, bytes already queued are written first.
    void close(const QString& reason, bool graceful);

private:
    enum class State { AwaitingJoin, Waiting, Paired, Closed };

    void pump(bool ignoreRoom);
    bool readJoin();
    void forward(const QByteArray& bytes);
    bool hasRoom() const;
    qint64 queuedTowardsMe() const;
    void onPartnerWritten();
    void onDisconnected();

    RelayNode& node_;
    QSslSocket* socket_;
    QString peer_;
    State state_ = State::AwaitingJoin;
    QString sessionId_;
    QPointer<RelayConnection> partner_;
    QByteArray held_;
    std::uint32_t payloadRemaining_ = 0;
    QTimer deadline_;
    bool finished_ = false;
};

}  // namespace veltrix::backend

#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QSslConfiguration>
#include <QSslServer>
#include <QString>

#include <chrono>
#include <functional>

namespace veltrix::backend {

class RelayConnection;

struct RelayLimits {
    // A connection that has not sent a valid join by then is closed.
    std::chrono::milliseconds joinTimeout{10000};
    // How long a lone joiner waits for its partner; its frames are held meanwhile.
    std::chrono::milliseconds partnerWait{60000};
    // Bytes of a lone joiner held for its partner before the node stops reading from it (the
    // sender then waits on TCP flow control; nothing is dropped).
    qint64 heldBytesLimit = 32 * 1024 * 1024;
    // Bytes queued towards a slow partner before the node stops reading from the sender.
    qint64 partnerQueueLimit = 8 * 1024 * 1024;
    int maxConnections = 512;
};

// A relay node: accepts TLS connections, reads each one's join, pairs the two connections that
// joined the same session and forwards every later frame verbatim, in order, to the partner. The
// join is never forwarded and nothing is ever injected. Frames of a lone joiner are held until
// its partner joins or the wait ends. A bad frame header, a bad or refused join, a third joiner
// and a silent connection are closed; when one side of a pair goes, the other is closed after its
// queued bytes are written.
class RelayNode : public QObject {
    Q_OBJECT
public:
    // Decides whether a join's relay token admits it to the session.
    using Admission = std::function<bool(const QString& sessionId, const QString& relayToken)>;

    RelayNode(const QSslConfiguration& tls, RelayLimits limits, Admission admission, QObject* parent = nullptr);
    ~RelayNode() override;

    bool listen(const QHostAddress& address, quint16 port);
    quint16 port() const { return server_.serverPort(); }
    const RelayLimits& limits() const { return limits_; }

signals:
    void sessionPaired(const QString& sessionId);

private:
    friend class RelayConnection;
    void onPendingConnections();
    // Called by a connection once its join parsed; false closes it.
    bool admit(RelayConnection* connection, const QString& sessionId, const QString& relayToken);
    void onConnectionFinished(RelayConnection* connection);

    QSslServer server_;
    RelayLimits limits_;
    Admission admission_;
    QSet<RelayConnection*> connections_;
    QHash<QString, RelayConnection*> waiting_;
    QSet<QString> pairedSessions_;
};

}  // namespace veltrix::backend

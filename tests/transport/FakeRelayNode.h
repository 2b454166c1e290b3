#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>

#include "support/TestCertificates.h"

namespace veltrix::test {

// The far end of a relay connection as a test scripts it, for what the real relay node never does
// (bad frames, sudden drops) and for looking at the exact bytes a transport sends: TLS with a
// throw-away certificate, the join of each connection recorded, and only what the test writes is
// sent back. It forwards nothing; transports meet each other through the backend's relay node.
class FakeRelayNode : public QObject {
    Q_OBJECT

public:
    explicit FakeRelayNode(const TestCertificates& certificates, QObject* parent = nullptr);
    ~FakeRelayNode() override;

    quint16 port() const { return server_.serverPort(); }

    // Every join payload received, in order.
    const QList<QByteArray>& joins() const { return joins_; }
    int connectionsAccepted() const { return accepted_; }
    // Bytes received on connections that never sent a whole join frame.
    qint64 bytesBeforeJoin() const;
    // Bytes received after the join on the connections of `sessionId`, closed ones first.
    QByteArray received(const QString& sessionId) const;

    // Writes raw bytes to the latest connection that joined `sessionId`.
    bool sendRaw(const QString& sessionId, const QByteArray& bytes);
    // Drops every connection at once.
    void dropAll();

private:
    struct Peer {
        QPointer<QSslSocket> socket;
        QByteArray inbound;   // bytes before and while parsing the join frame
        QString sessionId;    // empty until joined
        QByteArray afterJoin; // everything the connection sent after its join
    };

    void onNewConnection();
    void onReadyRead(QSslSocket* socket);
    void onDisconnected(QSslSocket* socket);
    void tryJoin(Peer& peer);

    QSslServer server_;
    QList<Peer*> peers_;
    QList<QByteArray> joins_;
    QHash<QString, QByteArray> receivedOnClosed_;  // by session
    int accepted_ = 0;
};

}  // namespace veltrix::test

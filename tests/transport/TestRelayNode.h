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

// A small relay node for tests on loopback: TLS with a throw-away certificate, the first frame of
// every connection must be a "relay_join" naming a session, the two connections of a session are
// paired, and every byte after the join is forwarded verbatim to the partner. Bytes sent before
// the partner joined are held and delivered when it does.
class TestRelayNode : public QObject {
    Q_OBJECT

public:
    explicit TestRelayNode(const TestCertificates& certificates, QObject* parent = nullptr);
    ~TestRelayNode() override;

    quint16 port() const { return server_.serverPort(); }

    // Every join payload received, in order.
    const QList<QByteArray>& joins() const { return joins_; }
    int connectionsAccepted() const { return accepted_; }
    // Bytes received on connections that never sent a whole join frame.
    qint64 bytesBeforeJoin() const;

    // Writes raw bytes to the latest connection that joined `sessionId`.
    bool sendRaw(const QString& sessionId, const QByteArray& bytes);
    // Drops every connection at once.
    void dropAll();

private:
    struct Peer {
        QPointer<QSslSocket> socket;
        QByteArray inbound;   // bytes before and while parsing the join frame
        QString sessionId;    // empty until joined
        QByteArray held;      // forwarded bytes waiting for a partner
    };

    void onNewConnection();
    void onReadyRead(QSslSocket* socket);
    void onDisconnected(QSslSocket* socket);
    void tryJoin(Peer& peer);
    Peer* partnerOf(const Peer& peer);

    QSslServer server_;
    QList<Peer*> peers_;
    QList<QByteArray> joins_;
    int accepted_ = 0;
};

}  // namespace veltrix::test

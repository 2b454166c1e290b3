#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace veltrix::test {

// A TCP forwarder on 127.0.0.1 that can misbehave the way a broken network or server does: it
// can stop passing bytes on the connections it holds while keeping them open (a half-open
// connection), or accept new connections and never pass anything (a server that stays silent).
class TcpProxy : public QObject {
public:
    explicit TcpProxy(quint16 targetPort, QObject* parent = nullptr);
    ~TcpProxy() override;

    quint16 port() const { return server_.serverPort(); }
    // The connections open now stop passing bytes in both directions; they stay open.
    void freezeOpenConnections();
    // New connections are accepted and then left without an answer.
    void setSilent(bool silent) { silent_ = silent; }
    int acceptedConnections() const { return accepted_; }

private:
    struct Link {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> server;
        bool frozen = false;
    };
    void onNewConnection();
    void pump(Link* link);

    QTcpServer server_;
    quint16 targetPort_;
    bool silent_ = false;
    int accepted_ = 0;
    QList<Link*> links_;
};

}  // namespace veltrix::test

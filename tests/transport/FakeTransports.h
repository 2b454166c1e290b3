#pragma once

#include "transport/ITransport.h"
#include "transport/TransportFactory.h"

#include <QList>
#include <QPointer>
#include <QStringList>

namespace veltrix::test {

// Transports that only record what the manager asks of them; tests emit their signals.
class FakeP2PTransport : public IP2PTransport {
    Q_OBJECT

public:
    bool connect(const QByteArray&, std::uint16_t) override { return true; }
    void disconnect() override {
        ++disconnectCalls;
        open = false;
    }
    bool isConnected() const override { return open; }
    bool send(ChannelType, const std::uint8_t*, std::uint64_t) override { return open; }
    std::uint64_t bufferedAmount(ChannelType) const override { return 0; }
    bool announceSelection() override {
        ++announcements;
        return open;
    }
    void selectByPeer() { emit selectedByPeer(); }
    int announcements = 0;

    void setTurnServerConfig(const TurnServerConfig& config) override { turn = config; }
    void startAsOfferer() override { started = "offerer"; }
    void startAsAnswerer() override { started = "answerer"; }
    void setRemoteDescription(const QString& sdp, const QString& type) override { remote << type + ":" + sdp; }
    void addRemoteCandidate(const QString& candidate, const QString& mid) override {
        remote << mid + ":" + candidate;
    }

    void comeUp() {
        open = true;
        emit connected();
    }

    TurnServerConfig turn;
    QString started;
    QStringList remote;
    int disconnectCalls = 0;
    bool open = false;
};

class FakeRelayTransport : public IRelayTransport {
    Q_OBJECT

public:
    bool connect(const QByteArray& h, std::uint16_t p) override {
        host = h;
        port = p;
        return acceptConnect;
    }
    void disconnect() override {
        ++disconnectCalls;
        open = false;
        closed = true;
    }
    bool isConnected() const override { return open; }
    bool send(ChannelType, const std::uint8_t*, std::uint64_t) override { return open; }
    std::uint64_t bufferedAmount(ChannelType) const override { return 0; }
    bool announceSelection() override {
        ++announcements;
        return open;
    }
    void selectByPeer() { emit selectedByPeer(); }
    int announcements = 0;
    void setSessionId(const QString& id) override { sessionId = id; }
    void setRelayToken(const QString& t) override { token = t; }

    void comeUp() {
        open = true;
        emit connected();
    }

    // Delivers frames the way a transport's read loop does: it reads its own state after each
    // signal and stops once a receiver closed it.
    void deliver(const QList<QByteArray>& frames) {
        for (const QByteArray& frame : frames) {
            emit dataReceived(ChannelType::Control, frame);
            ++delivered;
            if (closed) return;
        }
    }

    QByteArray host;
    std::uint16_t port = 0;
    QString sessionId;
    QString token;
    bool acceptConnect = true;
    bool open = false;
    bool closed = false;
    int disconnectCalls = 0;
    int delivered = 0;
};

// A factory that keeps track of every transport it made.
struct FakeTransportFactory {
    QList<QPointer<FakeP2PTransport>> p2p;
    QList<QPointer<FakeRelayTransport>> relays;
    bool relayAcceptsConnect = true;

    TransportFactory factory() {
        TransportFactory f;
        f.createP2P = [this]() -> IP2PTransport* {
            auto* t = new FakeP2PTransport;
            p2p << t;
            return t;
        };
        f.createRelay = [this]() -> IRelayTransport* {
            auto* t = new FakeRelayTransport;
            t->acceptConnect = relayAcceptsConnect;
            relays << t;
            return t;
        };
        return f;
    }
};

}  // namespace veltrix::test

#pragma once

#include "transport/ITransport.h"
#include "transport/TransportFactory.h"

#include <QList>
#include <QPair>
#include <QPointer>
#include <QStringList>

#include <utility>

namespace veltrix::test {

// What both fake transports do with data: sends are recorded while the transport is open, and
// tests deliver and drop through it.
template <typename Base>
class FakeTransportBase : public Base {
public:
    bool isConnected() const override { return open; }
    bool send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) override {
        if (!open) return false;
        sent << qMakePair(channel, QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
        return true;
    }
    std::uint64_t bufferedAmount(ChannelType) const override { return 0; }

    void comeUp() {
        open = true;
        emit this->connected();
    }
    // The connection is lost (not closed by its owner).
    void drop() {
        open = false;
        emit this->disconnected();
    }
    void receive(const QByteArray& data, ChannelType channel = ChannelType::Control) {
        emit this->dataReceived(channel, data);
    }
    // Takes what was sent so far.
    QList<QPair<ChannelType, QByteArray>> takeSent() { return std::exchange(sent, {}); }

    QList<QPair<ChannelType, QByteArray>> sent;
    bool open = false;
    bool closed = false;  // closed by its owner
    int disconnectCalls = 0;
};

// Transports that only record what the manager asks of them; tests emit their signals.
class FakeP2PTransport : public FakeTransportBase<IP2PTransport> {
    Q_OBJECT

public:
    bool connect(const QByteArray&, std::uint16_t) override { return true; }
    void disconnect() override {
        ++disconnectCalls;
        open = false;
        closed = true;
    }

    void setTurnServerConfig(const TurnServerConfig& config) override { turn = config; }
    void startAsOfferer() override { started = "offerer"; }
    void startAsAnswerer() override { started = "answerer"; }
    void setRemoteDescription(const QString& sdp, const QString& type) override { remote << type + ":" + sdp; }
    void addRemoteCandidate(const QString& candidate, const QString& mid) override {
        remote << mid + ":" + candidate;
    }

    TurnServerConfig turn;
    QString started;
    QStringList remote;
};

class FakeRelayTransport : public FakeTransportBase<IRelayTransport> {
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
    void setSessionId(const QString& id) override { sessionId = id; }
    void setRelayToken(const QString& t) override { token = t; }

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

#pragma once

#include "transport/ChannelType.h"
#include "transport/TurnServerConfig.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

namespace veltrix {

// A session transport: two channels (control and video) to the partner, carried peer to peer or
// through a relay node. The session manager sends and receives through this interface only.
//
// All signals are emitted on the thread the transport lives on (the service's Qt thread).
//
// Note for implementers: the members connect() and disconnect() hide QObject's functions of the
// same names inside derived classes; write QObject::connect / QObject::disconnect there.
class ITransport : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~ITransport() override = default;

    // Starts connecting. Returns false when the attempt cannot be started; the outcome of a
    // started attempt arrives as connected() or transportError().
    virtual bool connect(const QByteArray& host, std::uint16_t port) = 0;
    // Closes the transport for good; no signal follows and no reconnect is made.
    virtual void disconnect() = 0;
    virtual bool isConnected() const = 0;
    // Queues one message of `size` bytes on `channel`. Returns false when it was not accepted.
    virtual bool send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) = 0;
    // Bytes accepted by send() on `channel` and not yet handed to the network.
    virtual std::uint64_t bufferedAmount(ChannelType channel) const = 0;

signals:
    void connected();
    void disconnected();
    void dataReceived(veltrix::ChannelType channel, const QByteArray& data);
    void transportError(const QString& error);
};

// What the transport manager needs of a peer-to-peer transport beyond ITransport: the offer and
// answer roles, the exchange of session descriptions and ICE candidates through signaling, and
// the TURN settings to offer to ICE.
class IP2PTransport : public ITransport {
    Q_OBJECT

public:
    using ITransport::ITransport;

    // Replaces the TURN settings used by the next start.
    virtual void setTurnServerConfig(const TurnServerConfig& config) = 0;
    virtual void startAsOfferer() = 0;
    virtual void startAsAnswerer() = 0;
    // The partner's offer or answer ("offer" / "answer") and its ICE candidates.
    virtual void setRemoteDescription(const QString& sdp, const QString& type) = 0;
    virtual void addRemoteCandidate(const QString& candidate, const QString& mid) = 0;

signals:
    void localDescriptionReady(const QString& sdp, const QString& type);
    void localCandidateReady(const QString& candidate, const QString& mid);
};

// What the transport manager needs of a relay transport beyond ITransport: the session it joins
// on the relay node and the token that admits it. Both are set before connect().
class IRelayTransport : public ITransport {
    Q_OBJECT

public:
    using ITransport::ITransport;

    virtual void setSessionId(const QString& sessionId) = 0;
    virtual void setRelayToken(const QString& token) = 0;
};

}  // namespace veltrix

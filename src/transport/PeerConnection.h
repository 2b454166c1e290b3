#pragma once

#include "transport/DeliveryWindow.h"
#include "transport/IceTransport.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veltrix {

class NetworkThread;

// A WebRTC peer connection carrying data channels only: ICE (IceTransport), DTLS over the ICE
// stream (DtlsTransport), SCTP over DTLS (SctpAssociation) and the data channels on SCTP, set up
// by the offer/answer exchange of session descriptions and trickled ICE candidates.
//
// The offerer names the channels it opens (DATA_CHANNEL_OPEN once SCTP is up); the answerer
// adopts those of them whose labels it was configured with and closes any other. One send() is
// one message on its channel, whole, of any size up to the peer's a=max-message-size.
//
// Threads: the connection's state lives on a network thread of its own. The public operations may
// be called from any one thread: they check what they can at once and post the rest there.
// Events are called on the network thread; a handler copies what it needs and posts it on. After
// close() or abort() no event is called.
//
// Closing: close() ends the connection in order. What send() accepted before it still goes out and
// SCTP shuts down once the peer has acknowledged all of it; then DTLS closes. That runs on the
// connection's own thread, for at most the close time-out (then it aborts), and the thread is
// joined elsewhere afterwards: the caller does not wait for it. abort(), and destruction, drop
// whatever is queued and end at once.
class PeerConnection {
public:
    // As the state numbers of WebRTC peer connections.
    enum class State { New = 0, Connecting = 1, Connected = 2, Disconnected = 3, Failed = 4, Closed = 5 };
    enum class GatheringState { New = 0, InProgress = 1, Complete = 2 };

    struct ChannelSpec {
        std::string label;
        bool ordered = true;  // what the offerer asks for; the answerer takes what the OPEN says
    };

    struct Configuration {
        IceTransport::Settings ice;  // its controlling flag is set by start()
        std::vector<ChannelSpec> channels;
        // This side's a=max-message-size: the largest message it takes.
        std::uint64_t maxMessageSize = 16 * 1024 * 1024;
        // SCTP heartbeats to the peer, and the silence after which the peer counts as gone.
        std::chrono::milliseconds heartbeatInterval{1000};
        std::chrono::milliseconds livenessTimeout{6000};
        // Bytes of received messages that may wait for the receiver before reading stops.
        std::uint64_t receiveWindow = 16 * 1024 * 1024;
        // How long close() lets queued messages go out and the peer acknowledge the end.
        std::chrono::milliseconds closeTimeout{1000};
    };

    struct Events {
        std::function<void(const std::string& sdp, const std::string& type)> localDescription;
        std::function<void(const std::string& candidate, const std::string& mid)> localCandidate;
        // `reason` says why for Failed and Closed.
        std::function<void(State state, const std::string& reason)> stateChanged;
        std::function<void(GatheringState)> gatheringStateChanged;
        // The peer opened a channel; `channel` is its index in the configuration, or -1 when the
        // label is not one of them (the channel is closed again).
        std::function<void(const std::string& label, int channel)> incomingChannel;
        std::function<void(int channel)> channelOpen;
        std::function<void(int channel)> channelClosed;
        // A binary message. The ticket holds its bytes in the receive window until released.
        std::function<void(int channel, QByteArray data, std::shared_ptr<DeliveryWindow::Ticket> ticket)> message;
    };

    PeerConnection(Configuration configuration, Events events);
    // Aborts the connection (as abort()).
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // Creates the connection's certificate and ICE agent. The offerer gathers and makes its offer
    // at once; the answerer does both once the remote offer is set.
    void start(bool offerer);
    // The peer's offer or answer. False (and nothing changes) when `sdp` is not a usable
    // data-channel description of that type; `error` says why.
    bool setRemoteDescription(const std::string& sdp, const std::string& type, std::string* error);
    // One of the peer's trickled candidates, in the candidate format. False when malformed or
    // unusable (TCP, a host name, another component); `error` says why.
    bool addRemoteCandidate(const std::string& candidate, const std::string& mid, std::string* error);
    // Queues one message on an open channel. False when the channel is not open, or the message
    // is larger than the peer takes.
    bool send(int channel, const QByteArray& data);
    // Bytes accepted by send() on `channel` and not yet handed to SCTP.
    std::uint64_t bufferedAmount(int channel) const;
    // The largest message the peer takes (its a=max-message-size; 0 for any size), once known.
    std::uint64_t remoteMaxMessageSize() const;
    // Ends the connection in order: the messages send() accepted are delivered first, within the
    // close time-out, then SCTP shuts down and DTLS closes, which tells the peer. Returns at once.
    void close();
    // Aborts the association and closes DTLS, which tells the peer, then lets everything go.
    // Queued messages are dropped.
    void abort();

    // For tests: one text message (which the peer is to ignore).
    bool sendText(int channel, const QByteArray& text);

    class Impl;

private:
    void end(bool orderly);

    std::unique_ptr<NetworkThread> thread_;
    std::shared_ptr<Impl> impl_;
};

}  // namespace veltrix

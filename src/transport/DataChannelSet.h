#pragma once

#include "transport/DeliveryWindow.h"
#include "transport/SctpAssociation.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veltrix {

// The data channels of one peer connection on its SCTP association: opening them (the offerer)
// or adopting them (the answerer) with the establishment protocol, their outgoing queues, and
// the sorting of incoming messages by stream and payload identifier.
//
// Outgoing messages are handed to SCTP piece by piece with an end-of-record mark on the last;
// SCTP does not let two messages' pieces cross, so a message once started is finished first,
// and the channels take turns message by message.
//
// Lives on the network thread, except ChannelStatus, which other threads read.
class DataChannelSet {
public:
    struct Spec {
        std::string label;
        bool ordered = true;
    };

    // What other threads may read of a channel.
    struct Status {
        std::atomic<bool> open{false};
        std::atomic<std::uint64_t> buffered{0};
    };

    struct Events {
        std::function<void(const std::string& label, int channel)> incomingChannel;
        std::function<void(int channel)> channelOpen;
        std::function<void(int channel)> channelClosed;
        std::function<void(int channel, QByteArray data, std::shared_ptr<DeliveryWindow::Ticket> ticket)> message;
    };

    DataChannelSet(std::vector<Spec> specs, Status* status, std::shared_ptr<DeliveryWindow> window, Events events);

    // The association the channels run on. `evenStreams`: this side opens channels on even
    // stream ids (it is the DTLS client).
    void attach(SctpAssociation* sctp, bool evenStreams);
    // Sends DATA_CHANNEL_OPEN for every channel (the offerer, once the association is up).
    void openAll();
    // Reads and handles what SCTP has, while the receive window has room.
    void receive();
    // The peer closed its side of a stream: the channel on it closes.
    void onIncomingStreamReset(std::uint16_t stream);
    // Queues a message on an open channel (status counted by the caller) and sends what fits.
    void enqueue(int channel, QByteArray data, bool text);
    // Sends what the queues hold, as far as SCTP takes it.
    void pump();
    // True when every queued message has been handed to SCTP.
    bool drained() const;
    // Forgets the association and every queued message.
    void detach();

private:
    struct Outgoing {
        QByteArray data;
        bool text = false;
        std::uint64_t offset = 0;
    };
    struct Channel {
        Spec spec;
        int stream = -1;
        bool opening = false;  // OPEN sent, no ACK yet
        bool open = false;
        bool closed = false;
        SctpAssociation::SendOptions options;
        std::deque<Outgoing> queue;
    };

    int channelOnStream(std::uint16_t stream) const;
    void handle(SctpAssociation::Message&& message);
    void handleEstablishment(std::uint16_t stream, const QByteArray& data);
    void markOpen(int index);
    void markClosed(int index);
    // False when SCTP takes no more now.
    bool sendFront(int index);

    std::vector<Channel> channels_;
    Status* status_;
    std::shared_ptr<DeliveryWindow> window_;
    Events events_;
    SctpAssociation* sctp_ = nullptr;
    bool evenStreams_ = false;
    std::vector<std::uint16_t> foreignStreams_;  // streams of channels not kept
    int sending_ = -1;  // the channel whose message is half handed over
    int nextTurn_ = 0;
};

}  // namespace veltrix

#pragma once

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct socket;

namespace veltrix {

class NetworkThread;

// One SCTP association over DTLS, through usrsctp in its AF_CONN mode: usrsctp builds and reads
// the SCTP packets, and this class carries them to and from the DTLS transport.
//
// Messages go out in pieces with an explicit end-of-record mark, so a message of any size up to
// the limit stays one message for the peer, and usrsctp's send buffer bounds what waits here.
// Messages come in whole: the pieces of one are joined here, and a message larger than the
// limit is a protocol violation that ends the association. Flow control is SCTP's own: a
// receiver that stops calling receive() leaves data in usrsctp's receive buffer, the window it
// advertises closes, and the sender stops.
//
// Heartbeats probe the peer every heartbeat interval; they are SCTP chunks that no peer
// application sees.
//
// usrsctp runs without threads of its own; one thread drives its timers for every association.
// An association lives on the network thread it was made on: its callbacks run there (what
// usrsctp hands over on the timer thread is posted there) and must not destroy it. Destroying it
// aborts it; shutdown() is the orderly end, whose owner keeps it until closed() or failed().
class SctpAssociation {
public:
    struct Settings {
        std::uint16_t localPort = 5000;
        std::uint16_t remotePort = 5000;
        // Largest SCTP packet, which travels in one DTLS record.
        std::uint32_t maxPacketSize = 1191;
        std::chrono::milliseconds heartbeatInterval{1000};
        std::uint64_t maxMessageSize = 16 * 1024 * 1024;
        // usrsctp's buffers: what may wait to be sent (and acknowledged), and the receive window.
        std::uint32_t sendBuffer = 4 * 1024 * 1024;
        std::uint32_t receiveBuffer = 4 * 1024 * 1024;
    };

    struct Callbacks {
        // One SCTP packet for the DTLS transport.
        std::function<void(const std::uint8_t*, std::size_t)> sendPacket;
        std::function<void()> connected;
        // The association is gone: lost (no answer, the peer's ABORT) or refused.
        std::function<void(const std::string& reason)> failed;
        // The association was shut down in order: by the peer, or by shutdown() once the peer
        // has acknowledged it.
        std::function<void()> closed;
        // Data or notifications wait: call receive() until it returns nothing.
        std::function<void()> readable;
        // Room in the send buffer again after send() took less than it was given.
        std::function<void()> writable;
        // The peer reset its outgoing stream (it closed the data channel on it).
        std::function<void(std::uint16_t stream)> incomingStreamReset;
    };

    struct Message {
        std::uint16_t stream = 0;
        std::uint32_t ppid = 0;
        QByteArray data;
    };

    struct SendOptions {
        bool ordered = true;
        // Partial reliability: 0 none, else at most `prValue` retransmissions (rexmit) or
        // milliseconds (timed).
        enum class Partial { None, Rexmit, Timed } partial = Partial::None;
        std::uint32_t prValue = 0;
    };

    SctpAssociation(Settings settings, Callbacks callbacks);
    ~SctpAssociation();
    SctpAssociation(const SctpAssociation&) = delete;
    SctpAssociation& operator=(const SctpAssociation&) = delete;

    // Starts the association (both ends call it; SCTP resolves the crossing INITs).
    bool connect();
    // One SCTP packet from the DTLS transport.
    void input(const std::uint8_t* packet, std::size_t size);

    // Hands up to `size` bytes of a message on `stream` to SCTP; the last piece of a message
    // carries `endOfMessage`. Returns the bytes taken (0 when the send buffer is full: writable()
    // follows), or -1 when the association cannot send. A message's pieces must follow each
    // other on one stream before another message starts.
    std::int64_t send(std::uint16_t stream, std::uint32_t ppid, const SendOptions& options, const std::uint8_t* data,
                      std::size_t size, bool endOfMessage);
    // The next whole message, or nothing while none waits. Notifications read on the way are
    // handled here (callbacks).
    std::optional<Message> receive();
    // Resets this side's outgoing stream (closes a data channel).
    bool resetStream(std::uint16_t stream);
    // Ends the association in order (SHUTDOWN): what send() took is delivered and acknowledged
    // first, then closed() follows, or failed() when the peer aborts or goes silent. Nothing more
    // is sent after it. False when the association is not up.
    bool shutdown();
    // Ends the association at once (ABORT unless it is already shut down); whatever is still
    // queued is dropped.
    void abort();

    bool isConnected() const { return connected_; }

private:
    static int onOutput(void* address, void* buffer, std::size_t length, std::uint8_t tos, std::uint8_t setDf);
    static void onUpcall(struct socket* socket, void* argument, int flags);
    void processEvents();
    bool configure();
    void handleNotification(const std::uint8_t* data, std::size_t size);
    // The peer shut the association down: closed() once.
    void closeInOrder();
    void fail(const std::string& reason);

    const Settings settings_;
    Callbacks callbacks_;
    NetworkThread* const thread_;
    const std::uintptr_t id_;  // the AF_CONN address usrsctp knows this association by
    struct socket* socket_ = nullptr;
    bool connected_ = false;
    bool ended_ = false;
    std::atomic<bool> eventsPosted_{false};
    std::vector<std::uint8_t> scratch_;
    QByteArray incoming_;  // the message being joined
    std::uint16_t incomingStream_ = 0;
    std::uint32_t incomingPpid_ = 0;
};

}  // namespace veltrix

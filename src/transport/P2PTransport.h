#pragma once

#include "transport/ITransport.h"
#include "transport/TurnServerConfig.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace veltrix {

class PeerConnection;

// The peer-to-peer transport: two WebRTC data channels, "control" (ordered, reliable) and "video"
// (the defaults, also ordered and reliable), negotiated through signaling by way of the transport
// manager, on this system's own data-channel stack (PeerConnection: libnice, OpenSSL DTLS,
// usrsctp). One send() is one binary message of up to 16 MiB, as the peer receives it.
//
// The stack calls back on its network thread. Every event is copied and posted to the
// transport's Qt thread, where every signal is emitted. Each start and each disconnect() opens a
// new generation; work posted for an older generation is dropped, so nothing of a closed attempt
// reaches a restarted one.
//
// disconnect() closes in order: what send() accepted before it still reaches the peer (within
// about a second, on the connection's own thread), then the connection closes. Destruction aborts
// the connection and drops what is queued.
class P2PTransport final : public IP2PTransport {
    Q_OBJECT

public:
    // SCTP heartbeats keep a silent connection checked: every `interval` this side probes the
    // peer, and a peer from which nothing at all has come for `timeout` counts as gone.
    struct Liveness {
        std::chrono::milliseconds interval{1000};
        std::chrono::milliseconds timeout{6000};
    };

    // The largest message, and the most bytes that may wait to be sent on one channel.
    static constexpr std::uint64_t kMaxMessageSize = 16 * 1024 * 1024;
    static constexpr std::uint64_t kMaxBufferedPerChannel = 64 * 1024 * 1024;

    explicit P2PTransport(QObject* parent = nullptr);
    ~P2PTransport() override;

    // ITransport. connect() ignores host and port and starts as offerer.
    bool connect(const QByteArray& host, std::uint16_t port) override;
    void disconnect() override;
    bool isConnected() const override;
    bool send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) override;
    std::uint64_t bufferedAmount(ChannelType channel) const override;

    // IP2PTransport.
    void setTurnServerConfig(const TurnServerConfig& config) override;
    void startAsOfferer() override;
    void startAsAnswerer() override;
    void setRemoteDescription(const QString& sdp, const QString& type) override;
    void addRemoteCandidate(const QString& candidate, const QString& mid) override;

    const TurnServerConfig& turnServerConfig() const { return turn_; }
    // Takes effect from the next start.
    void setLiveness(Liveness liveness) { liveness_ = liveness; }

    class Events;

private:
    friend class Events;
    friend struct P2PTransportTestAccess;

    void start(bool offerer);
    // Ends the current attempt: in order (PeerConnection::close) or at once (abort).
    void teardown(bool orderly);
    // Runs `work` on the Qt thread unless the generation it was posted for has ended.
    void post(std::uint64_t generation, std::function<void()> work);

    // Qt thread, posted from the network thread.
    void onChannelOpen(ChannelType channel);
    void onConnectionLost();
    // Sends `text` as a text message; only tests use it, to show what the peer makes of it.
    bool sendText(ChannelType channel, const QByteArray& text);

    mutable std::mutex mutex_;  // guards the connection pointer and the flags below
    std::unique_ptr<PeerConnection> connection_;
    std::shared_ptr<Events> events_;
    std::uint64_t generation_ = 0;
    bool offerer_ = false;
    bool connected_ = false;
    bool controlOpen_ = false;
    bool videoOpen_ = false;
    bool closed_ = false;

    TurnServerConfig turn_;
    Liveness liveness_;
};

}  // namespace veltrix

#pragma once

#include "transport/ITransport.h"
#include "transport/TurnServerConfig.h"

#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace veltrix {

// The peer-to-peer transport: two WebRTC data channels, "control" (ordered, reliable) and "video",
// negotiated through signaling by way of the transport manager, on GStreamer's webrtcbin.
//
// The library calls back on its own threads. Every callback holds the shared WebRtcBridge (not
// the transport), copies what it was given and posts it to the transport's Qt thread, where every
// signal is emitted. Each start and each disconnect() opens a new generation; work posted for an
// older generation is dropped, so nothing of a closed attempt reaches a restarted one.
class P2PTransport final : public IP2PTransport {
    Q_OBJECT

public:
    // Keep-alive period on the control channel and the silence after which a connected peer
    // counts as gone. Any received piece counts as a sign of life.
    struct Liveness {
        std::chrono::milliseconds interval{1000};
        std::chrono::milliseconds timeout{6000};
    };

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

    class WebRtcBridge;

private:
    friend class WebRtcBridge;
    friend struct P2PTransportTestAccess;

    void start(bool offerer);
    void teardown();
    // Runs `work` on the Qt thread unless the generation it was posted for has ended.
    void post(std::uint64_t generation, std::function<void()> work);

    // Qt thread, posted by the bridge.
    void onChannelOpen(ChannelType channel);
    void onChannelClosed(ChannelType channel);
    void onConnectionLost(const char* reason);
    void onChannelMessage(ChannelType channel, const QByteArray& message);
    void onLocalDescription(const QString& sdp, const QString& type);
    void onLocalCandidate(const QString& candidate, const QString& mid);
    void onRemoteMidsKnown();
    void onLivenessTick();
    // Send `text` as a text message and `piece` as one binary message outside the framing; only
    // tests use them, to show what the peer makes of them.
    bool sendText(ChannelType channel, const QByteArray& text);
    bool sendRawPiece(ChannelType channel, const QByteArray& piece);

    mutable std::mutex mutex_;  // guards the bridge pointer and the flags below
    std::shared_ptr<WebRtcBridge> bridge_;
    std::uint64_t generation_ = 0;
    bool offerer_ = false;
    bool connected_ = false;
    bool controlOpen_ = false;
    bool videoOpen_ = false;
    bool closed_ = false;

    TurnServerConfig turn_;
    Liveness liveness_;
    QTimer livenessTimer_;
    // Candidates that arrived before the remote description told which mid is which m-line.
    std::vector<std::pair<QString, QString>> pendingCandidates_;
};

}  // namespace veltrix

#pragma once

#include <cstdint>
#include <memory>
#include <string>

typedef struct _GSocketService GSocketService;

namespace veltrix {

// TURN over TLS for libnice, which speaks TURN over TCP but not over TLS (its TLS relay type
// writes plain TURN to the TLS port). The tunnel listens on a loopback port that ICE takes as a
// TURN-over-TCP server; each connection ICE opens there becomes a TLS connection to the real TURN
// server, verified like every TLS client of this system (the trusted CAs, the host name), and
// the bytes flow through unchanged both ways.
//
// Lives on the network thread, whose GLib context runs the listener and the connections.
class TurnTlsTunnel {
public:
    TurnTlsTunnel(std::string host, std::uint16_t port);
    ~TurnTlsTunnel();
    TurnTlsTunnel(const TurnTlsTunnel&) = delete;
    TurnTlsTunnel& operator=(const TurnTlsTunnel&) = delete;

    // The loopback port to give ICE; 0 when the tunnel could not listen.
    std::uint16_t localPort() const { return localPort_; }

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    GSocketService* service_ = nullptr;
    std::uint16_t localPort_ = 0;
};

}  // namespace veltrix

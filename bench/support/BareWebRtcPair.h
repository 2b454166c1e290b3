#pragma once

#include <atomic>
#include <cstdint>

namespace veltrix::bench {

// Two bare webrtcbin elements joined by one data channel on loopback (host candidates only),
// without any of the transport around them: the yardstick for what the peer-to-peer transport
// makes of the same library. Signaling is a direct call from one element to the other.
class BareWebRtcPair {
public:
    BareWebRtcPair();
    ~BareWebRtcPair();
    BareWebRtcPair(const BareWebRtcPair&) = delete;
    BareWebRtcPair& operator=(const BareWebRtcPair&) = delete;

    // Waits until both ends of the channel are open.
    bool connect();
    // Sends `count` messages of `size` bytes, each as pieces of `pieceSize` bytes, pacing on the
    // channel's buffered amount like the transport's pump, and waits until all have arrived.
    // Returns MB/s, or -1 on failure.
    double pump(int count, std::uint64_t size, std::uint64_t pieceSize, std::uint64_t maxInFlight);

    struct Side;

private:
    Side* offerer_;
    Side* answerer_;
};

}  // namespace veltrix::bench

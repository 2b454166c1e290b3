// Peer-to-peer throughput: 1 MiB messages on the video channel from one P2PTransport to another on
// loopback (host candidates only, no STUN). The sender paces on bufferedAmount, as file transfer
// does; relay_bench measures the relay transport the same way. A bare webrtcbin pair sends the
// same messages in the same 64 KiB pieces with the same pacing, as the yardstick.
#include <QCoreApplication>

#include <cstdio>
#include <fstream>
#include <spdlog/spdlog.h>

#include "support/BareWebRtcPair.h"
#include "support/TempInstanceRoot.h"
#include "support/TransportPump.h"
#include "support/WaitUntil.h"
#include "transport/DataChannelFraming.h"
#include "transport/P2PTransport.h"

using namespace veltrix;
using namespace std::chrono_literals;

namespace {

constexpr int kMessages = 256;
constexpr qsizetype kMessageSize = 1 << 20;

double p2pTransports() {
    P2PTransport a, b;
    QObject::connect(&a, &IP2PTransport::localDescriptionReady, &b, &IP2PTransport::setRemoteDescription);
    QObject::connect(&b, &IP2PTransport::localDescriptionReady, &a, &IP2PTransport::setRemoteDescription);
    QObject::connect(&a, &IP2PTransport::localCandidateReady, &b, &IP2PTransport::addRemoteCandidate);
    QObject::connect(&b, &IP2PTransport::localCandidateReady, &a, &IP2PTransport::addRemoteCandidate);
    qint64 received = 0;
    QObject::connect(&b, &ITransport::dataReceived, [&](ChannelType, const QByteArray& d) { received += d.size(); });
    b.startAsAnswerer();
    a.startAsOfferer();
    if (!test::waitUntil([&] { return a.isConnected() && b.isConnected(); }, 10s)) return -1;
    return bench::pumpVideo(a, received, kMessages, kMessageSize);
}

double bareWebRtcPair() {
    bench::BareWebRtcPair pair;
    if (!pair.connect()) return -1;
    return pair.pump(kMessages, kMessageSize, framing::kMaxPieceSize, bench::kMaxInFlight);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);  // keep the figures readable
    test::TempInstanceRoot root;
    std::ofstream(root.path() / "instance.ini") << "[stun]\nhost=\n[p2p]\nlocalAddresses=127.0.0.1\n";

    const double p2p = p2pTransports();
    const double bare = bareWebRtcPair();
    std::printf("p2p_bench: %d messages of 1 MiB on loopback\n", kMessages);
    std::printf("  P2PTransport pair (webrtcbin):   %8.1f MB/s\n", p2p);
    std::printf("  bare webrtcbin pair:             %8.1f MB/s\n", bare);
    if (p2p > 0 && bare > 0) std::printf("  ratio transport / bare:          %8.2f\n", p2p / bare);
    return p2p > 0 && bare > 0 ? 0 : 1;
}

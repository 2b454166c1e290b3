// Peer-to-peer throughput: 1 MiB and 64 KiB messages on the video channel from one P2PTransport to
// another on loopback (host candidates only, no STUN), paced on bufferedAmount as file transfer
// paces. Beside them, in the same run, the yardstick of relay_bench: two bare TLS sockets through
// the local backend's relay node carrying 1 MiB frames.
#include <QCoreApplication>

#include <cstdio>
#include <fstream>
#include <spdlog/spdlog.h>

#include "support/BareTlsPair.h"
#include "support/LoopbackP2PPair.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/TransportPump.h"
#include "transport/P2PTransport.h"

using namespace veltrix;
using namespace std::chrono_literals;

namespace {

constexpr qint64 kBytesPerRun = qint64{512} << 20;
constexpr double kGoalMBps = 100;

// MB/s of `size`-byte messages, kBytesPerRun in all, over a fresh pair.
double p2pTransports(qsizetype size) {
    P2PTransport a, b;
    qint64 received = 0;
    QObject::connect(&b, &ITransport::dataReceived, [&](ChannelType, const QByteArray& d) { received += d.size(); });
    if (!test::connectLoopbackP2PPair(a, b, 30s)) return -1;
    return bench::pumpVideo(a, received, int(kBytesPerRun / size), size);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);  // keep the figures readable
    test::TempInstanceRoot root;
    std::ofstream(root.path() / "instance.ini") << "[stun]\nhost=\n[p2p]\nlocalAddresses=127.0.0.1\n";
    test::RunningBackend backend({"--no-turn", "--instance", QString::fromStdString(root.path().string()), "--",
                                  "--relay-any-token"});
    if (!backend.start()) {
        std::fprintf(stderr, "p2p_bench: the backend did not start:\n%s\n", qPrintable(backend.output()));
        return 1;
    }

    const double large = p2pTransports(1 << 20);
    const double small = p2pTransports(64 << 10);
    const double bare = bench::bareTlsSocketPair(backend.relayPort(), 256, 1 << 20);
    std::printf("p2p_bench: %lld MiB per run on loopback (goal: %.0f MB/s)\n", kBytesPerRun >> 20, kGoalMBps);
    std::printf("  P2PTransport pair, 1 MiB messages:   %8.1f MB/s\n", large);
    std::printf("  P2PTransport pair, 64 KiB messages:  %8.1f MB/s\n", small);
    std::printf("  bare TLS socket pair (relay node):   %8.1f MB/s\n", bare);
    return large > 0 && small > 0 && bare > 0 ? 0 : 1;
}

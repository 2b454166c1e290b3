// Relay throughput: 1 MiB frames from one RelayTransport to another through the local backend's
// relay node (started by scripts/backend), beside two bare TLS sockets through the same node
// carrying the same bytes.
#include <QCoreApplication>

#include <cstdio>

#include "support/BareTlsPair.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/TransportPump.h"
#include "support/WaitUntil.h"
#include "transport/RelayTransport.h"

using namespace veltrix;
using namespace std::chrono_literals;
using veltrix::test::waitUntil;

namespace {

constexpr int kFrames = 256;
constexpr qsizetype kFrameSize = 1 << 20;

double relayTransports(quint16 port) {
    RelayTransport a, b;
    a.setSessionId("bench-transport");
    b.setSessionId("bench-transport");
    int connects = 0;
    qint64 received = 0;
    QObject::connect(&a, &ITransport::connected, [&] { ++connects; });
    QObject::connect(&b, &ITransport::connected, [&] { ++connects; });
    QObject::connect(&b, &ITransport::dataReceived, [&](ChannelType, const QByteArray& d) { received += d.size(); });
    a.connect("127.0.0.1", port);
    b.connect("127.0.0.1", port);
    if (!waitUntil([&] { return connects == 2; }, 60s)) return -1;
    QCoreApplication::processEvents();
    return bench::pumpVideo(a, received, kFrames, kFrameSize);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    test::TempInstanceRoot root;
    // The relay alone is measured: no TURN, and joins are admitted without a session's token.
    test::RunningBackend backend({"--no-turn", "--instance", QString::fromStdString(root.path().string()), "--",
                                  "--relay-any-token"});
    if (!backend.start()) {
        std::fprintf(stderr, "relay_bench: the backend did not start:\n%s\n", qPrintable(backend.output()));
        return 1;
    }

    const double bare = bench::bareTlsSocketPair(backend.relayPort(), kFrames, kFrameSize);
    const double relay = relayTransports(backend.relayPort());
    std::printf("relay_bench: %d frames of 1 MiB through the local backend's relay node\n", kFrames);
    std::printf("  bare TLS socket pair:      %8.1f MB/s\n", bare);
    std::printf("  RelayTransport pair:       %8.1f MB/s\n", relay);
    return bare > 0 && relay > 0 ? 0 : 1;
}

// Peer-to-peer throughput: 1 MiB messages on the video channel from one P2PTransport to another on
// loopback, beside two RelayTransports through a loopback relay node in the same run. Both
// senders pace on bufferedAmount, as file transfer does.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <fstream>
#include <functional>
#include <spdlog/spdlog.h>

#include "TestRelayNode.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCertificates.h"
#include "transport/P2PTransport.h"
#include "transport/RelayTransport.h"

using namespace veltrix;

namespace {

constexpr int kMessages = 256;
constexpr qsizetype kMessageSize = 1 << 20;
constexpr std::uint64_t kMaxInFlight = 8u << 20;

bool waitFor(const std::function<bool()>& done, int timeoutMs = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    return done();
}

// Sends kMessages on `from` and returns MB/s once `received` bytes have all arrived.
double pump(ITransport& from, const qint64& received) {
    const QByteArray message(kMessageSize, '\x42');
    const qint64 total = qint64{kMessages} * kMessageSize;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kMessages; ++i) {
        waitFor([&] { return from.bufferedAmount(ChannelType::Video) < kMaxInFlight; });
        if (!from.send(ChannelType::Video, reinterpret_cast<const std::uint8_t*>(message.constData()), kMessageSize))
            return -1;
    }
    if (!waitFor([&] { return received == total; })) return -1;
    return double(total) / (1 << 20) / (clock.nsecsElapsed() / 1e9);
}

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
    if (!waitFor([&] { return a.isConnected() && b.isConnected(); }, 10000)) return -1;
    return pump(a, received);
}

double relayTransports(quint16 port) {
    RelayTransport a, b;
    a.setSessionId("bench-transport");
    b.setSessionId("bench-transport");
    int up = 0;
    qint64 received = 0;
    QObject::connect(&a, &ITransport::connected, [&] { ++up; });
    QObject::connect(&b, &ITransport::connected, [&] { ++up; });
    QObject::connect(&b, &ITransport::dataReceived, [&](ChannelType, const QByteArray& d) { received += d.size(); });
    a.connect("localhost", port);
    b.connect("localhost", port);
    if (!waitFor([&] { return up == 2; })) return -1;
    QCoreApplication::processEvents();
    return pump(a, received);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);  // keep the figures readable
    test::TempInstanceRoot root;
    const auto certificates = test::makeTestCertificates(root.path() / "certs");
    std::ofstream(root.path() / "instance.ini")
        << "[tls]\nextra_ca_file=certs/ca.pem\n[stun]\nhost=\n[p2p]\nlocalAddresses=127.0.0.1\n";
    test::TestRelayNode node(certificates);

    const double p2p = p2pTransports();
    const double relay = relayTransports(node.port());
    std::printf("p2p_bench: %d messages of 1 MiB on loopback\n", kMessages);
    std::printf("  P2PTransport pair (webrtcbin):   %8.1f MB/s\n", p2p);
    std::printf("  RelayTransport pair (relay node): %8.1f MB/s\n", relay);
    return p2p > 0 && relay > 0 ? 0 : 1;
}

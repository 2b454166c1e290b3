// Relay throughput: 1 MiB frames from one RelayTransport to another through the local backend's
// relay node (started by scripts/backend), beside two bare TLS sockets through the same node
// carrying the same bytes.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslSocket>

#include <cstdio>

#include "platform/TrustedCertificates.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/TransportPump.h"
#include "support/WaitUntil.h"
#include "transport/RelayFrameParser.h"
#include "transport/RelayTransport.h"

using namespace veltrix;
using namespace std::chrono_literals;
using veltrix::test::waitUntil;

namespace {

constexpr int kFrames = 256;
constexpr qsizetype kFrameSize = 1 << 20;
constexpr std::uint64_t kMaxInFlight = 8u << 20;  // sender pacing, as file transfer paces on bufferedAmount

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

double bareSockets(quint16 port) {
    QSslSocket a, b;
    for (QSslSocket* s : {&a, &b}) {
        s->setSslConfiguration(platform::tls::clientConfiguration());
        s->connectToHostEncrypted("127.0.0.1", port);
    }
    if (!waitUntil([&] { return a.isEncrypted() && b.isEncrypted(); })) return -1;
    const std::string join = R"({"relay_token":"","session_id":"bench-bare","type":"relay_join"})";
    for (QSslSocket* s : {&a, &b}) s->write(RelayFrameParser::buildFrame(ChannelType::Control, join.data(), join.size()));
    waitUntil([&] { return a.bytesToWrite() + a.encryptedBytesToWrite() + b.bytesToWrite() + b.encryptedBytesToWrite() == 0; });

    qint64 received = 0;
    QObject::connect(&b, &QSslSocket::readyRead, [&] { received += b.readAll().size(); });
    // The same framed bytes a RelayTransport writes, built once: the node checks every header.
    const QByteArray payload(kFrameSize, '\x42');
    const QByteArray frame = RelayFrameParser::buildFrame(ChannelType::Video, payload.constData(), payload.size());
    const qint64 total = qint64{kFrames} * frame.size();
    const auto up = [&] { return a.state() == QAbstractSocket::ConnectedState && b.state() == QAbstractSocket::ConnectedState; };
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kFrames && up(); ++i) {
        waitUntil([&] { return !up() || std::uint64_t(a.bytesToWrite() + a.encryptedBytesToWrite()) < kMaxInFlight; });
        a.write(frame);
    }
    if (!waitUntil([&] { return received == total || !up(); }, 60s) || received != total) return -1;
    return double(total) / (1 << 20) / (clock.nsecsElapsed() / 1e9);
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

    const double bare = bareSockets(backend.relayPort());
    const double relay = relayTransports(backend.relayPort());
    std::printf("relay_bench: %d frames of 1 MiB through the local backend's relay node\n", kFrames);
    std::printf("  bare TLS socket pair:      %8.1f MB/s\n", bare);
    std::printf("  RelayTransport pair:       %8.1f MB/s\n", relay);
    return bare > 0 && relay > 0 ? 0 : 1;
}

// Relay throughput: 1 MiB frames from one RelayTransport to another through a loopback relay node,
// beside two bare TLS sockets through the same node carrying the same bytes.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslSocket>

#include <cstdio>
#include <fstream>
#include <functional>

#include "TestRelayNode.h"
#include "platform/TrustedCertificates.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCertificates.h"
#include "transport/RelayFrameParser.h"
#include "transport/RelayTransport.h"

using namespace veltrix;

namespace {

constexpr int kFrames = 256;
constexpr qsizetype kFrameSize = 1 << 20;
constexpr std::uint64_t kMaxInFlight = 8u << 20;  // sender pacing, as file transfer paces on bufferedAmount

bool waitFor(const std::function<bool()>& done, int timeoutMs = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    return done();
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

    const QByteArray frame(kFrameSize, '\x42');
    const qint64 total = qint64{kFrames} * kFrameSize;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kFrames; ++i) {
        waitFor([&] { return a.bufferedAmount(ChannelType::Video) < kMaxInFlight; });
        a.send(ChannelType::Video, reinterpret_cast<const std::uint8_t*>(frame.constData()), kFrameSize);
    }
    if (!waitFor([&] { return received == total; })) return -1;
    return double(total) / (1 << 20) / (clock.nsecsElapsed() / 1e9);
}

double bareSockets(quint16 port) {
    QSslSocket a, b;
    for (QSslSocket* s : {&a, &b}) {
        s->setSslConfiguration(platform::tls::clientConfiguration());
        s->connectToHostEncrypted("localhost", port);
    }
    if (!waitFor([&] { return a.isEncrypted() && b.isEncrypted(); })) return -1;
    const std::string join = R"({"relay_token":"","session_id":"bench-bare","type":"relay_join"})";
    for (QSslSocket* s : {&a, &b}) s->write(RelayFrameParser::buildFrame(ChannelType::Control, join.data(), join.size()));
    waitFor([&] { return a.bytesToWrite() + a.encryptedBytesToWrite() + b.bytesToWrite() + b.encryptedBytesToWrite() == 0; });

    qint64 received = 0;
    QObject::connect(&b, &QSslSocket::readyRead, [&] { received += b.readAll().size(); });
    const QByteArray frame(kFrameSize + RelayFrameParser::kHeaderSize, '\x42');
    const qint64 total = qint64{kFrames} * frame.size();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kFrames; ++i) {
        waitFor([&] { return std::uint64_t(a.bytesToWrite() + a.encryptedBytesToWrite()) < kMaxInFlight; });
        a.write(frame);
    }
    if (!waitFor([&] { return received == total; })) return -1;
    return double(total) / (1 << 20) / (clock.nsecsElapsed() / 1e9);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    test::TempInstanceRoot root;
    const auto certificates = test::makeTestCertificates(root.path() / "certs");
    std::ofstream(root.path() / "instance.ini") << "[tls]\nextra_ca_file=certs/ca.pem\n";
    test::TestRelayNode node(certificates);

    const double bare = bareSockets(node.port());
    const double relay = relayTransports(node.port());
    std::printf("relay_bench: %d frames of 1 MiB through a loopback relay node\n", kFrames);
    std::printf("  bare TLS socket pair:      %8.1f MB/s\n", bare);
    std::printf("  RelayTransport pair:       %8.1f MB/s\n", relay);
    return bare > 0 && relay > 0 ? 0 : 1;
}

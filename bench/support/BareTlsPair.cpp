#include "BareTlsPair.h"

#include <QElapsedTimer>
#include <QSslSocket>

#include <string>

#include "TransportPump.h"
#include "platform/TrustedCertificates.h"
#include "support/WaitUntil.h"
#include "transport/RelayFrameParser.h"

using namespace std::chrono_literals;

namespace veltrix::bench {

double bareTlsSocketPair(quint16 port, int count, qsizetype size) {
    using test::waitUntil;
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
    const QByteArray payload(size, '\x42');
    const QByteArray frame = RelayFrameParser::buildFrame(ChannelType::Video, payload.constData(), payload.size());
    const qint64 total = qint64{count} * frame.size();
    const auto up = [&] { return a.state() == QAbstractSocket::ConnectedState && b.state() == QAbstractSocket::ConnectedState; };
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count && up(); ++i) {
        waitUntil([&] { return !up() || std::uint64_t(a.bytesToWrite() + a.encryptedBytesToWrite()) < kMaxInFlight; });
        a.write(frame);
    }
    if (!waitUntil([&] { return received == total || !up(); }, 60s) || received != total) return -1;
    return double(total) / (1 << 20) / (clock.nsecsElapsed() / 1e9);
}

}  // namespace veltrix::bench

#include "TransportPump.h"

#include <QByteArray>
#include <QElapsedTimer>

#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace veltrix::bench {

double pumpVideo(ITransport& from, const qint64& received, int count, qsizetype size) {
    const QByteArray message(size, '\x42');
    const qint64 total = qint64{count} * size;
    const auto data = reinterpret_cast<const std::uint8_t*>(message.constData());
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        test::waitUntil([&] { return !from.isConnected() || from.bufferedAmount(ChannelType::Video) < kMaxInFlight; }, 60s);
        if (!from.isConnected() || !from.send(ChannelType::Video, data, std::uint64_t(size))) return -1;
    }
    if (!test::waitUntil([&] { return received == total || !from.isConnected(); }, 60s) || received != total) return -1;
    return double(total) / (1 << 20) / (clock.nsecsElapsed() / 1e9);
}

}  // namespace veltrix::bench

// Two RelayTransports meeting through the relay node of the running backend (scripts/backend), with
// a session and relay token made through its REST API the way the devices get them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <memory>

#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "transport/RelayFrameParser.h"
#include "transport/RelayTransport.h"

using namespace std::chrono_literals;

namespace veltrix {
namespace {

bool sendBytes(ITransport& transport, ChannelType channel, const QByteArray& bytes) {
    return transport.send(channel, reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                          static_cast<std::uint64_t>(bytes.size()));
}

// One end of the relayed session with what it receives recorded.
struct End {
    RelayTransport transport;
    QList<QPair<ChannelType, QByteArray>> received;
    QStringList errors;
    int connects = 0;

    End(const QString& sessionId, const QString& token) {
        transport.setSessionId(sessionId);
        transport.setRelayToken(token);
        QObject::connect(&transport, &ITransport::dataReceived,
                         [this](ChannelType c, const QByteArray& d) { received.append({c, d}); });
        QObject::connect(&transport, &ITransport::transportError, [this](const QString& e) { errors << e; });
        QObject::connect(&transport, &ITransport::connected, [this] { ++connects; });
    }
    bool connectTo(quint16 port) {
        return transport.connect("127.0.0.1", port) && test::waitUntil([this] { return connects > 0; });
    }
    bool flushed() const { return transport.bufferedAmount(ChannelType::Control) == 0; }
};

class RelayThroughBackendTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    // The script writes the device's instance.ini, so the transports trust the backend's CA.
    test::RunningBackend backend{{"--no-turn", "--instance", QString::fromStdString(root.path().string())}};
    std::unique_ptr<test::HttpsClient> http;
    std::unique_ptr<test::SignalingTestClient> targetSignaling;
    QString sessionId, relayToken;

    void SetUp() override {
        ASSERT_TRUE(backend.start()) << backend.output().toStdString();
        http = std::make_unique<test::HttpsClient>(backend.caFile());
        const QJsonObject master = test::registerDevice(*http, backend.apiPort(), "master");
        const QJsonObject target = test::registerDevice(*http, backend.apiPort(), "target");
        // The target is online, so the session stays open while the ends meet at the relay.
        targetSignaling = std::make_unique<test::SignalingTestClient>(backend.caFile());
        ASSERT_TRUE(targetSignaling->authenticate(backend.apiPort(), target["client_id"].toString(),
                                                  target["token"].toString()));
        const test::Reply created =
            http->post(QStringLiteral("https://127.0.0.1:%1/sessions/create").arg(backend.apiPort()),
                       {{"target_client_id", target["client_id"]}, {"master_spake2_element", "04ab"}},
                       master["token"].toString());
        ASSERT_EQ(created.status, 200) << created.raw.toStdString();
        sessionId = created.body["session_id"].toString();
        relayToken = created.body["relay_token"].toString();
        ASSERT_FALSE(sessionId.isEmpty());
        ASSERT_FALSE(relayToken.isEmpty());
    }
};

TEST_F(RelayThroughBackendTest, ControlAndVideoFramesCrossBothWaysIncludingTheLargestAndThoseSentBeforeThePartner) {
    QByteArray largest(RelayFrameParser::kMaxPayload, '\0');
    for (qsizetype i = 0; i < largest.size(); i += 4093) largest[i] = char(i / 4093);
    QByteArray largestBack = largest;
    std::reverse(largestBack.begin(), largestBack.end());

    End master(sessionId, relayToken), target(sessionId, relayToken);
    ASSERT_TRUE(master.connectTo(backend.relayPort()));
    // Sent while the partner is not there yet: the node holds them, the largest frame included.
    ASSERT_TRUE(sendBytes(master.transport, ChannelType::Control, "early control"));
    ASSERT_TRUE(sendBytes(master.transport, ChannelType::Video, {}));
    ASSERT_TRUE(sendBytes(master.transport, ChannelType::Video, largest));
    ASSERT_TRUE(test::waitUntil([&] { return master.flushed(); }, 20s));
    test::runEventsFor(100ms);

    ASSERT_TRUE(target.connectTo(backend.relayPort()));
    ASSERT_TRUE(sendBytes(target.transport, ChannelType::Control, "reply"));
    ASSERT_TRUE(sendBytes(target.transport, ChannelType::Video, largestBack));
    ASSERT_TRUE(sendBytes(target.transport, ChannelType::Video, QByteArray(300000, 'v')));
    ASSERT_TRUE(sendBytes(master.transport, ChannelType::Control, "after the join"));

    ASSERT_TRUE(test::waitUntil([&] { return target.received.size() >= 4 && master.received.size() >= 3; }, 30s))
        << target.received.size() << " and " << master.received.size() << " frames arrived";
    ASSERT_EQ(target.received.size(), 4);
    EXPECT_EQ(target.received[0], qMakePair(ChannelType::Control, QByteArray("early control")));
    EXPECT_EQ(target.received[1], qMakePair(ChannelType::Video, QByteArray()));
    EXPECT_EQ(target.received[2].first, ChannelType::Video);
    EXPECT_TRUE(target.received[2].second == largest);
    EXPECT_EQ(target.received[3], qMakePair(ChannelType::Control, QByteArray("after the join")));
    ASSERT_EQ(master.received.size(), 3);
    EXPECT_EQ(master.received[0], qMakePair(ChannelType::Control, QByteArray("reply")));
    EXPECT_EQ(master.received[1].first, ChannelType::Video);
    EXPECT_TRUE(master.received[1].second == largestBack);
    EXPECT_EQ(master.received[2], qMakePair(ChannelType::Video, QByteArray(300000, 'v')));
    EXPECT_TRUE(master.errors.isEmpty()) << master.errors.join("; ").toStdString();
    EXPECT_TRUE(target.errors.isEmpty()) << target.errors.join("; ").toStdString();
}

TEST_F(RelayThroughBackendTest, BufferedAmountCountsBytesNotYetSentAndFallsToZero) {
    End master(sessionId, relayToken), target(sessionId, relayToken);
    ASSERT_TRUE(master.connectTo(backend.relayPort()));
    ASSERT_TRUE(target.connectTo(backend.relayPort()));
    EXPECT_EQ(master.transport.bufferedAmount(ChannelType::Control), 0u);
    ASSERT_TRUE(sendBytes(master.transport, ChannelType::Control, QByteArray(4 << 20, 'f')));
    EXPECT_GE(master.transport.bufferedAmount(ChannelType::Control), 1u << 20);
    EXPECT_EQ(master.transport.bufferedAmount(ChannelType::Video), master.transport.bufferedAmount(ChannelType::Control));
    ASSERT_TRUE(test::waitUntil([&] { return target.received.size() == 1; }, 20s));
    EXPECT_EQ(target.received[0].second.size(), 4 << 20);
    EXPECT_TRUE(test::waitUntil([&] { return master.flushed(); }));
}

// One end drops in the middle of a 64 MiB transfer: the node closes the other end, so the
// sender learns of it, and the receiver was handed only whole frames, in order.
TEST_F(RelayThroughBackendTest, ADropMidTransferReachesTheSenderAndNoFrameIsHalfDelivered) {
    End master(sessionId, relayToken), target(sessionId, relayToken);
    int masterDrops = 0;
    QObject::connect(&master.transport, &ITransport::disconnected, [&] { ++masterDrops; });
    master.transport.setReconnectDelay(10s);  // the drop is what is looked at, not the reconnect
    ASSERT_TRUE(master.connectTo(backend.relayPort()));
    ASSERT_TRUE(target.connectTo(backend.relayPort()));
    const auto frame = [](int i) { return QByteArray(16 << 20, static_cast<char>('a' + i)); };
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(sendBytes(master.transport, ChannelType::Video, frame(i)));
    ASSERT_TRUE(test::waitUntil([&] { return !target.received.isEmpty(); }, 20s));
    target.transport.disconnect();
    ASSERT_TRUE(test::waitUntil([&] { return masterDrops == 1; }, 10s));
    EXPECT_FALSE(master.transport.isConnected());
    EXPECT_FALSE(sendBytes(master.transport, ChannelType::Video, "after"));
    ASSERT_LT(target.received.size(), 4);
    for (int i = 0; i < target.received.size(); ++i) EXPECT_TRUE(target.received[i].second == frame(i)) << i;
}

TEST_F(RelayThroughBackendTest, AWrongRelayTokenIsRefusedByTheNode) {
    End intruder(sessionId, "not-the-token");
    intruder.transport.setReconnectDelay(10ms);
    int disconnects = 0;
    QObject::connect(&intruder.transport, &ITransport::disconnected, [&] { ++disconnects; });
    ASSERT_TRUE(intruder.connectTo(backend.relayPort()));
    EXPECT_TRUE(test::waitUntil([&] { return disconnects > 0; }, 5s));
}

}  // namespace
}  // namespace veltrix

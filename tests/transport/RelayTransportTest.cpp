#include <gtest/gtest.h>

#include <QTcpServer>

#include <fstream>

#include "FakeRelayNode.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCertificates.h"
#include "support/WaitUntil.h"
#include "transport/RelayFrameParser.h"
#include "transport/RelayTransport.h"
#include "transport/TransportManager.h"

namespace veltrix {
namespace {

using test::waitUntil;

QByteArray rawFrame(std::uint8_t channel, std::uint32_t length, const QByteArray& payload = {}) {
    char header[RelayFrameParser::kHeaderSize];
    RelayFrameParser::writeHeader(header, ChannelType::Control, length);
    header[0] = static_cast<char>(channel);
    return QByteArray(header, sizeof header) + payload;
}

bool sendBytes(ITransport& transport, ChannelType channel, const QByteArray& bytes) {
    return transport.send(channel, reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                          static_cast<std::uint64_t>(bytes.size()));
}

// One end of a relayed session with everything it reports recorded.
struct Endpoint {
    RelayTransport transport;
    QList<QPair<ChannelType, QByteArray>> received;
    QStringList errors;
    int connects = 0;
    int disconnects = 0;

    QString session;

    explicit Endpoint(const QString& sessionId, const QString& token = "tok") : session(sessionId) {
        transport.setSessionId(sessionId);
        transport.setRelayToken(token);
        transport.setReconnectDelay(std::chrono::milliseconds(20));
        QObject::connect(&transport, &ITransport::dataReceived,
                         [this](ChannelType c, const QByteArray& d) { received.append({c, d}); });
        QObject::connect(&transport, &ITransport::transportError, [this](const QString& e) { errors << e; });
        QObject::connect(&transport, &ITransport::connected, [this] { ++connects; });
        QObject::connect(&transport, &ITransport::disconnected, [this] { ++disconnects; });
    }
};

class RelayTransportTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::TestCertificates certificates = test::makeTestCertificates(root.path() / "certs");
    test::FakeRelayNode node{certificates};
    test::LogCapture log;

    void SetUp() override {
        std::ofstream(root.path() / "instance.ini") << "[tls]\nextra_ca_file=certs/ca.pem\n";
        ASSERT_NE(node.port(), 0);
    }

    bool connectAndWait(Endpoint& end) {
        // Up on both sides: the transport finished its handshake and the node has its join.
        const int before = end.connects;
        const qsizetype joined = node.joins().size();
        const bool joins = !end.session.isEmpty();
        return end.transport.connect("localhost", node.port()) &&
               waitUntil([&] { return end.connects > before && (!joins || node.joins().size() > joined); });
    }
};

// Transports meeting each other through a relay node are tested against the backend's node
// (RelayThroughBackendTest); here the bytes on the wire are looked at directly.
TEST_F(RelayTransportTest, TheJoinGoesFirstThenEveryFrameAsHeaderAndPayload) {
    Endpoint a("session-1");
    ASSERT_TRUE(connectAndWait(a));
    ASSERT_EQ(node.joins().size(), 1);
    EXPECT_EQ(node.joins()[0], R"({"relay_token":"tok","session_id":"session-1","type":"relay_join"})");
    EXPECT_TRUE(log.contains("RelayTransport: sending relay_join for session session-1 (token_sha256=1a7674eb)"));

    ASSERT_TRUE(sendBytes(a.transport, ChannelType::Control, "ctl"));
    ASSERT_TRUE(sendBytes(a.transport, ChannelType::Video, {}));
    ASSERT_TRUE(sendBytes(a.transport, ChannelType::Video, QByteArray(70000, 'v')));
    const QByteArray expected = rawFrame(0, 3, "ctl") + rawFrame(1, 0) + rawFrame(1, 70000, QByteArray(70000, 'v'));
    ASSERT_TRUE(waitUntil([&] { return node.received("session-1").size() >= expected.size(); }));
    EXPECT_TRUE(node.received("session-1") == expected);
}

TEST_F(RelayTransportTest, SendRefusesWhatCannotBeFramed) {
    Endpoint a("s");
    EXPECT_FALSE(sendBytes(a.transport, ChannelType::Control, "x"));
    EXPECT_TRUE(log.contains("RelayTransport::send: not connected"));
    ASSERT_TRUE(connectAndWait(a));
    EXPECT_FALSE(a.transport.connect("localhost", node.port()));
    EXPECT_TRUE(log.contains("RelayTransport::connect called while socket is in state 3"));
    EXPECT_FALSE(sendBytes(a.transport, ChannelType::Video, QByteArray(RelayFrameParser::kMaxPayload + 1, 0)));
    EXPECT_TRUE(log.contains("RelayTransport::send: payload too large (16777217 > 16777216)"));
    RelayTransport other;
    EXPECT_FALSE(other.connect("localhost", 0));
}

TEST_F(RelayTransportTest, WithoutSessionIdTheConnectionComesUpWithoutJoin) {
    Endpoint a("");
    ASSERT_TRUE(connectAndWait(a));
    test::runEventsFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(node.joins().isEmpty());
    EXPECT_EQ(node.bytesBeforeJoin(), 0);
    EXPECT_TRUE(log.contains("RelayTransport: no session ID set, skipping relay_join"));
}

TEST_F(RelayTransportTest, FramingErrorClosesTheConnectionForGood) {
    const struct {
        QByteArray bytes;
        QString error;
    } cases[] = {{rawFrame(2, 3, "abc"), "Invalid channel type in frame header"},
                 {rawFrame(1, 16777217), "Frame payload exceeds maximum size"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.toStdString());
        Endpoint a("s");
        ASSERT_TRUE(connectAndWait(a));
        // A good frame, the bad header, then bytes that would parse as a frame if resumed.
        ASSERT_TRUE(node.sendRaw("s", rawFrame(0, 2, "ok") + c.bytes + rawFrame(0, 4, "junk")));
        ASSERT_TRUE(waitUntil([&] { return a.disconnects == 1; }));
        EXPECT_EQ(a.errors, QStringList{c.error});
        ASSERT_EQ(a.received.size(), 1);
        EXPECT_EQ(a.received[0].second, "ok");
        EXPECT_FALSE(a.transport.isConnected());
        const int accepted = node.connectionsAccepted();
        test::runEventsFor(std::chrono::milliseconds(150));  // several reconnect delays
        EXPECT_EQ(node.connectionsAccepted(), accepted);
    }
}

TEST_F(RelayTransportTest, DroppedConnectionReconnectsAndJoinsAgainUntilDisconnect) {
    Endpoint a("s");
    ASSERT_TRUE(connectAndWait(a));
    node.dropAll();
    ASSERT_TRUE(waitUntil([&] { return a.connects == 2 && node.joins().size() == 2; }));
    EXPECT_EQ(a.disconnects, 1);
    EXPECT_EQ(node.joins().size(), 2);
    EXPECT_TRUE(log.contains("RelayTransport: reconnecting in 20 ms (attempt 1/3)"));

    // A successful reconnect restores the whole budget.
    node.dropAll();
    ASSERT_TRUE(waitUntil([&] { return a.connects == 3 && node.joins().size() == 3; }));
    EXPECT_EQ(log.count("reconnecting in 20 ms (attempt 1/3)"), 2u);

    a.transport.disconnect();
    test::runEventsFor(std::chrono::milliseconds(150));
    EXPECT_EQ(a.connects, 3);
    EXPECT_EQ(node.joins().size(), 3);
}

quint16 closedPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// The outcome of a first connection that fails is its error: nothing is retried afterwards, so
// the manager's failure report stays the last word.
TEST_F(RelayTransportTest, RefusedFirstConnectIsOneErrorAndNoRetry) {
    const quint16 port = closedPort();
    ASSERT_NE(port, 0);
    Endpoint a("s");
    ASSERT_TRUE(a.transport.connect("127.0.0.1", port));
    ASSERT_TRUE(waitUntil([&] { return !a.errors.isEmpty(); }));
    test::runEventsFor(std::chrono::milliseconds(250));  // longer than three reconnect delays
    EXPECT_EQ(a.errors.size(), 1);
    EXPECT_EQ(log.count("reconnect"), 0u);
    EXPECT_EQ(a.connects, 0);
    EXPECT_EQ(a.disconnects, 0);
}

// Once a connection was up, reconnects that are refused still use the budget, and stop there.
TEST_F(RelayTransportTest, RefusedReconnectsUseTheBudget) {
    auto node2 = std::make_unique<test::FakeRelayNode>(certificates);
    const quint16 port = node2->port();
    Endpoint a("s");
    ASSERT_TRUE(a.transport.connect("localhost", port));
    ASSERT_TRUE(waitUntil([&] { return a.connects == 1 && node2->joins().size() == 1; }));
    node2.reset();  // drops the connection and stops listening
    ASSERT_TRUE(waitUntil([&] { return log.contains("reconnect attempt 3/3"); }));
    test::runEventsFor(std::chrono::milliseconds(250));  // longer than the next delay would be
    EXPECT_TRUE(log.contains("RelayTransport: reconnecting in 20 ms (attempt 1/3)"));
    EXPECT_TRUE(log.contains("RelayTransport: reconnecting in 40 ms (attempt 2/3)"));
    EXPECT_TRUE(log.contains("RelayTransport: reconnecting in 80 ms (attempt 3/3)"));
    EXPECT_EQ(log.count("reconnect attempt"), 3u);
    EXPECT_EQ(a.disconnects, 1);
    EXPECT_EQ(a.connects, 1);
}

TEST_F(RelayTransportTest, UntrustedNodeCertificateFailsTheHandshakeWithoutRetry) {
    std::ofstream(root.path() / "instance.ini") << "[tls]\n";
    Endpoint a("s");
    ASSERT_TRUE(a.transport.connect("localhost", node.port()));
    ASSERT_TRUE(waitUntil([&] { return !a.errors.isEmpty(); }));
    test::runEventsFor(std::chrono::milliseconds(250));  // several reconnect delays
    EXPECT_TRUE(log.contains("RelayTransport: TLS error: "));
    EXPECT_EQ(a.connects, 0);
    EXPECT_EQ(a.disconnects, 0);
    EXPECT_EQ(log.count("reconnect"), 0u);
    EXPECT_TRUE(node.joins().isEmpty());
}

// disconnect() closes for good and says nothing, whether the transport is up, reconnecting or
// still connecting; a drop it did not ask for is reported.
TEST_F(RelayTransportTest, DisconnectEmitsNothingInEveryState) {
    for (const char* state : {"connected", "connecting", "waiting to reconnect"}) {
        SCOPED_TRACE(state);
        Endpoint a("s");
        if (std::string(state) == "connecting")
            ASSERT_TRUE(a.transport.connect("localhost", node.port()));
        else
            ASSERT_TRUE(connectAndWait(a));
        if (std::string(state) == "waiting to reconnect") {
            a.transport.setReconnectDelay(std::chrono::milliseconds(10000));
            node.dropAll();
            ASSERT_TRUE(waitUntil([&] { return a.disconnects == 1; }));
        }
        const int disconnects = a.disconnects;
        const int connects = a.connects;
        a.transport.disconnect();
        test::runEventsFor(std::chrono::milliseconds(150));
        EXPECT_EQ(a.disconnects, disconnects);
        EXPECT_EQ(a.connects, connects);
        EXPECT_TRUE(a.errors.isEmpty());
        EXPECT_FALSE(a.transport.isConnected());
    }
}

// What was sent before disconnect() still reaches the node, megabytes of it, although the
// transport is deleted at once (as the transport manager does) and the event loop runs on.
TEST_F(RelayTransportTest, DisconnectDeliversWhatWasSentBeforeItEvenIfTheTransportGoesAtOnce) {
    auto a = std::make_unique<Endpoint>("s");
    ASSERT_TRUE(connectAndWait(*a));
    const QByteArray chunk(1024 * 1024, 'v');
    QByteArray expected;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(sendBytes(a->transport, ChannelType::Video, chunk));
        expected += rawFrame(1, static_cast<std::uint32_t>(chunk.size()), chunk);
    }
    ASSERT_TRUE(sendBytes(a->transport, ChannelType::Control, "disconnect"));
    expected += rawFrame(0, 10, "disconnect");
    a->transport.disconnect();
    a.reset();
    EXPECT_TRUE(waitUntil([&] { return node.received("s").size() >= expected.size(); }, std::chrono::seconds(10)))
        << node.received("s").size() << " of " << expected.size() << " bytes";
    EXPECT_TRUE(node.received("s") == expected);
}

TEST_F(RelayTransportTest, SendRefusesAChannelTheNodeCannotRoute) {
    Endpoint a("s");
    ASSERT_TRUE(connectAndWait(a));
    EXPECT_FALSE(sendBytes(a.transport, static_cast<ChannelType>(2), "x"));
    EXPECT_TRUE(log.contains("RelayTransport::send: invalid channel 2"));
    ASSERT_TRUE(sendBytes(a.transport, ChannelType::Control, "ok"));
    ASSERT_TRUE(waitUntil([&] { return node.received("s").size() >= 7; }));
    EXPECT_TRUE(node.received("s") == rawFrame(0, 2, "ok"));
}

// The session ends from inside the relay's data signal while more frames sit in the same read:
// the manager is reset and deleted there, and the relay must stop delivering. Run under
// AddressSanitizer.
TEST_F(RelayTransportTest, SessionEndingInsideDataReceivedStopsTheReadLoop) {
    auto* manager = new TransportManager;
    manager->establishConnection("s", 4, 0, {RelayCandidate{"r1", "localhost", node.port(), -1}}, true, "tok");
    bool up = false;
    QObject::connect(manager, &TransportManager::connectionEstablished, [&] { up = true; });
    ASSERT_TRUE(waitUntil([&] { return up && node.joins().size() == 1; }));
    QPointer<ITransport> relay = manager->activeTransport();
    ASSERT_TRUE(relay);
    int frames = 0;
    QObject::connect(relay, &ITransport::dataReceived, [&](ChannelType, const QByteArray&) {
        ++frames;
        manager->reset();
        delete manager;
        manager = nullptr;
    });
    ASSERT_TRUE(node.sendRaw("s", rawFrame(0, 1, "1") + rawFrame(0, 1, "2") + rawFrame(1, 1, "3")));
    ASSERT_TRUE(waitUntil([&] { return frames > 0; }));
    test::runEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(frames, 1);
    EXPECT_TRUE(relay.isNull());  // deleted by the event loop once the call chain returned
}

}  // namespace
}  // namespace veltrix

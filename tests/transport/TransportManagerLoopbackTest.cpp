#include "support/LogCapture.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "transport/P2PTestSupport.h"
#include "transport/TransportManager.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <fstream>

using namespace std::chrono_literals;

namespace veltrix {
namespace {

using test::waitUntil;

// Two transport managers with the real transports, as the two sides of one session: signaling is
// a direct wire between them, the relay is the local backend's node (joins admitted without a
// session's token, so no REST session is needed).
class TransportManagerLoopbackTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::RunningBackend backend{{"--no-turn", "--", "--relay-any-token"}};
    test::LogCapture log;
    TransportManager master;
    TransportManager target;
    QStringList masterMethods;
    QStringList targetMethods;

    void SetUp() override {
        ASSERT_TRUE(backend.start()) << backend.output().toStdString();
        std::ofstream(root.path() / "instance.ini") << "[tls]\nextra_ca_file=" << backend.caFile().string() << "\n";
        test::writeLoopbackP2PConfig(root.path());
        QObject::connect(&master, &TransportManager::connectionEstablished, [&](const QString& m) { masterMethods << m; });
        QObject::connect(&target, &TransportManager::connectionEstablished, [&](const QString& m) { targetMethods << m; });
        QObject::connect(&master, &TransportManager::localDescriptionReady, &target, &TransportManager::setRemoteDescription);
        QObject::connect(&target, &TransportManager::localDescriptionReady, &master, &TransportManager::setRemoteDescription);
    }

    void setP2PTimeout(std::chrono::milliseconds timeout) {
        master.setP2PTimeout(timeout);
        target.setP2PTimeout(timeout);
    }

    void forwardCandidates() {
        QObject::connect(&master, &TransportManager::localCandidateReady, &target, &TransportManager::addRemoteCandidate);
        QObject::connect(&target, &TransportManager::localCandidateReady, &master, &TransportManager::addRemoteCandidate);
    }

    void establishBoth() {
        const QList<RelayCandidate> relays = {{"node-1", "127.0.0.1", backend.relayPort(), -1}};
        target.establishConnection("session-1", 0, 0, relays, /*offerer=*/false, "token");
        master.establishConnection("session-1", 0, 0, relays, /*offerer=*/true, "token");
        ASSERT_TRUE(waitUntil([&] { return !masterMethods.isEmpty() && !targetMethods.isEmpty(); }, 30s));
    }

    // A message each way on the active transports.
    void exchangeMessages() {
        test::Received masterGot, targetGot;
        masterGot.attach(*master.activeTransport());
        targetGot.attach(*target.activeTransport());
        ASSERT_TRUE(test::sendBytes(*master.activeTransport(), ChannelType::Control, "to target"));
        ASSERT_TRUE(test::sendBytes(*target.activeTransport(), ChannelType::Video, test::patternMessage(1 << 20, 9)));
        ASSERT_TRUE(waitUntil([&] { return !targetGot.control.empty() && !masterGot.video.empty(); }));
        EXPECT_EQ(targetGot.control.front(), QByteArray("to target"));
        EXPECT_TRUE(masterGot.video.front() == test::patternMessage(1 << 20, 9));
    }
};

TEST_F(TransportManagerLoopbackTest, PeerToPeerComesUpFirstOnBothSides) {
    // Generous: ICE, DTLS and SCTP on a machine busy with other suites can take seconds.
    setP2PTimeout(15s);
    forwardCandidates();
    establishBoth();
    EXPECT_EQ(masterMethods, QStringList{"p2p"});
    EXPECT_EQ(targetMethods, QStringList{"p2p"});
    EXPECT_TRUE(log.contains("TransportManager: both NATs are P2P-compatible, trying P2P first"));
    exchangeMessages();
}

TEST_F(TransportManagerLoopbackTest, WithoutCandidatesBothSidesFallBackToTheRelay) {
    setP2PTimeout(1500ms);
    establishBoth();
    EXPECT_EQ(masterMethods, QStringList{"relay"});
    EXPECT_EQ(targetMethods, QStringList{"relay"});
    EXPECT_TRUE(log.contains("TransportManager: P2P connection timed out after 1500 ms, falling back to relay"));
    exchangeMessages();
}

// One side's time-out around the time peer-to-peer takes here, so that in some rounds its relay
// comes up while the other side's data channels are opening: both sides still agree, and the
// transports they report really are joined to each other.
TEST_F(TransportManagerLoopbackTest, BothSidesAlwaysAgreeOnTheTransport) {
    forwardCandidates();
    QStringList outcomes;
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        // One side gives up on peer-to-peer early, the other keeps waiting for it.
        const auto early = std::chrono::milliseconds(20 + (round / 2 % 10) * 40);
        master.setP2PTimeout(round % 2 ? early : 5s);
        target.setP2PTimeout(round % 2 ? 5s : early);
        masterMethods.clear();
        targetMethods.clear();
        const QString session = QStringLiteral("session-%1").arg(round);
        const QList<RelayCandidate> relays = {{"node-1", "127.0.0.1", backend.relayPort(), -1}};
        target.establishConnection(session, 0, 0, relays, /*offerer=*/false, "token");
        master.establishConnection(session, 0, 0, relays, /*offerer=*/true, "token");
        ASSERT_TRUE(waitUntil([&] { return !masterMethods.isEmpty() && !targetMethods.isEmpty(); }, 20s));
        ASSERT_EQ(masterMethods, targetMethods);
        outcomes << masterMethods.front();

        test::Received targetGot;
        targetGot.attach(*target.activeTransport());
        ASSERT_TRUE(test::sendBytes(*master.activeTransport(), ChannelType::Control, session.toUtf8()));
        ASSERT_TRUE(waitUntil([&] { return !targetGot.control.empty(); }, 10s));
        EXPECT_EQ(targetGot.control.front(), session.toUtf8());
    }
    std::printf("  outcomes: %lld p2p, %lld relay\n", static_cast<long long>(outcomes.count("p2p")),
                static_cast<long long>(outcomes.count("relay")));
}

}  // namespace
}  // namespace veltrix

#include "IndependentTransportPeer.h"
#include "support/LogCapture.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "transport/P2PTestSupport.h"
#include "transport/TransportManager.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>
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
    // What each manager handed on, by channel.
    test::Received masterGot;
    test::Received targetGot;

    void SetUp() override {
        ASSERT_TRUE(backend.start()) << backend.output().toStdString();
        std::ofstream(root.path() / "instance.ini") << "[tls]\nextra_ca_file=" << backend.caFile().string() << "\n";
        test::writeLoopbackP2PConfig(root.path());
        QObject::connect(&master, &TransportManager::connectionEstablished, [&](const QString& m) { masterMethods << m; });
        QObject::connect(&target, &TransportManager::connectionEstablished, [&](const QString& m) { targetMethods << m; });
        QObject::connect(&master, &TransportManager::localDescriptionReady, &target, &TransportManager::setRemoteDescription);
        QObject::connect(&target, &TransportManager::localDescriptionReady, &master, &TransportManager::setRemoteDescription);
        record(master, masterGot);
        record(target, targetGot);
    }

    static void record(TransportManager& manager, test::Received& got) {
        QObject::connect(&manager, &TransportManager::dataReceived, &got.context,
                         [&got](ChannelType channel, const QByteArray& data) {
                             (channel == ChannelType::Control ? got.control : got.video).push_back(data);
                         });
    }

    RelayCandidate relayNode() const { return {"node-1", "127.0.0.1", backend.relayPort(), -1}; }

    void setP2PTimeout(std::chrono::milliseconds timeout) {
        master.setP2PTimeout(timeout);
        target.setP2PTimeout(timeout);
    }

    void forwardCandidates() {
        QObject::connect(&master, &TransportManager::localCandidateReady, &target, &TransportManager::addRemoteCandidate);
        QObject::connect(&target, &TransportManager::localCandidateReady, &master, &TransportManager::addRemoteCandidate);
    }

    void establishBoth() {
        target.establishConnection("session-1", 0, 0, {relayNode()}, /*offerer=*/false, "token");
        master.establishConnection("session-1", 0, 0, {relayNode()}, /*offerer=*/true, "token");
        ASSERT_TRUE(waitUntil([&] { return !masterMethods.isEmpty() && !targetMethods.isEmpty(); }, 30s));
    }

    // A message each way, as a session starts: the offerer first, then the answerer on the
    // transport the offerer's message came by.
    void exchangeMessages() {
        ASSERT_TRUE(test::sendBytes(*master.activeTransport(), ChannelType::Control, "to target"));
        ASSERT_TRUE(waitUntil([&] { return !targetGot.control.empty(); }));
        EXPECT_EQ(targetGot.control.front(), QByteArray("to target"));
        ASSERT_TRUE(test::sendBytes(*target.activeTransport(), ChannelType::Video, test::patternMessage(1 << 20, 9)));
        ASSERT_TRUE(waitUntil([&] { return !masterGot.video.empty(); }));
        EXPECT_TRUE(masterGot.video.front() == test::patternMessage(1 << 20, 9));
        EXPECT_EQ(targetMethods.last(), masterMethods.last());
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
// comes up while the other side's data channels are opening: once the offerer's first message has
// arrived, both sides are on the same transport, and the transports really are joined.
TEST_F(TransportManagerLoopbackTest, BothSidesAlwaysAgreeOnTheTransport) {
    forwardCandidates();
    QStringList outcomes;
    int switches = 0;
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        // One side gives up on peer-to-peer early, the other keeps waiting for it.
        const auto early = std::chrono::milliseconds(1 + (round / 2 % 10) * 40);
        master.setP2PTimeout(round % 2 ? early : 2s);
        target.setP2PTimeout(round % 2 ? 2s : early);
        masterMethods.clear();
        targetMethods.clear();
        masterGot.control.clear();
        targetGot.control.clear();
        const QString session = QStringLiteral("session-%1").arg(round);
        target.establishConnection(session, 0, 0, {relayNode()}, /*offerer=*/false, "token");
        master.establishConnection(session, 0, 0, {relayNode()}, /*offerer=*/true, "token");
        ASSERT_TRUE(waitUntil([&] { return !masterMethods.isEmpty() && !targetMethods.isEmpty(); }, 20s));
        ASSERT_TRUE(test::sendBytes(*master.activeTransport(), ChannelType::Control, session.toUtf8()));
        ASSERT_TRUE(waitUntil([&] { return !targetGot.control.empty(); }, 10s));
        EXPECT_EQ(targetGot.control.front(), session.toUtf8());
        ASSERT_EQ(targetMethods.last(), masterMethods.last()) << targetMethods.join(",").toStdString();
        ASSERT_TRUE(test::sendBytes(*target.activeTransport(), ChannelType::Control, "reply"));
        ASSERT_TRUE(waitUntil([&] { return !masterGot.control.empty(); }, 10s));
        outcomes << masterMethods.last();
        if (targetMethods.first() != targetMethods.last()) ++switches;
    }
    std::printf("  outcomes: %lld p2p, %lld relay; the answerer followed the offerer %d times\n",
                static_cast<long long>(outcomes.count("p2p")), static_cast<long long>(outcomes.count("relay")),
                switches);
}

// The signaling between our manager and an independent peer, held back until released.
struct HeldSignaling {
    bool holding = false;
    std::vector<std::function<void()>> held;
    void pass(std::function<void()> delivery) {
        if (holding) {
            held.push_back(std::move(delivery));
        } else {
            delivery();
        }
    }
    void release() {
        holding = false;
        for (auto& delivery : std::exchange(held, {})) delivery();
    }
};

// Our manager against an independent peer that takes the first transport up and announces
// nothing, in both roles, over the relay (no ICE candidates cross, so peer to peer fails) and
// peer to peer; and as answerer, following an independent offerer onto peer to peer after it
// had taken the relay itself. Data crosses both ways.
TEST_F(TransportManagerLoopbackTest, AnIndependentPeerThatAnnouncesNothingHoldsASession) {
    const struct {
        const char* name;
        bool oursOffers;
        bool candidates;           // ICE candidates cross, so peer to peer can come up
        bool oursTakesRelayFirst;  // our answerer's relay is up before signaling passes
        QString method;
    } cases[] = {
        {"independent offerer, relay", false, false, false, "relay"},
        {"independent offerer, peer to peer", false, true, false, "p2p"},
        {"independent offerer on peer to peer, ours on the relay first", false, true, true, "p2p"},
        {"independent answerer, relay", true, false, false, "relay"},
        {"independent answerer, peer to peer", true, true, false, "p2p"},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString session = QStringLiteral("independent-%1").arg(++round);
        TransportManager& ours = c.oursOffers ? master : target;
        QStringList& ourMethods = c.oursOffers ? masterMethods : targetMethods;
        test::Received& ourGot = c.oursOffers ? masterGot : targetGot;
        ourMethods.clear();
        ourGot.control.clear();
        QObject::disconnect(&ours, &TransportManager::localDescriptionReady, nullptr, nullptr);
        QObject::disconnect(&ours, &TransportManager::localCandidateReady, nullptr, nullptr);

        const auto p2pTimeout = c.candidates ? 15s : 1500ms;
        test::IndependentTransportPeer peer(p2pTimeout);
        QStringList peerMethods;
        HeldSignaling toPeer, toOurs;
        toPeer.holding = toOurs.holding = c.oursTakesRelayFirst;
        peer.onEstablished = [&](const QString& method) { peerMethods << method; };
        peer.onLocalDescription = [&](const QString& sdp, const QString& type) {
            toOurs.pass([&ours, sdp, type] { ours.setRemoteDescription(sdp, type); });
        };
        peer.onLocalCandidate = [&](const QString& candidate, const QString& mid) {
            if (c.candidates) toOurs.pass([&ours, candidate, mid] { ours.addRemoteCandidate(candidate, mid); });
        };
        QObject::connect(&ours, &TransportManager::localDescriptionReady, &ours,
                         [&](const QString& sdp, const QString& type) {
                             toPeer.pass([&peer, sdp, type] { peer.setRemoteDescription(sdp, type); });
                         });
        QObject::connect(&ours, &TransportManager::localCandidateReady, &ours,
                         [&](const QString& candidate, const QString& mid) {
                             if (c.candidates) toPeer.pass([&peer, candidate, mid] { peer.addRemoteCandidate(candidate, mid); });
                         });
        ours.setP2PTimeout(c.oursTakesRelayFirst ? 1ms : p2pTimeout);
        if (c.oursOffers) {
            peer.establish(session, relayNode(), /*offerer=*/false);
            ours.establishConnection(session, 0, 0, {relayNode()}, /*offerer=*/true, "token");
        } else {
            ours.establishConnection(session, 0, 0, {relayNode()}, /*offerer=*/false, "token");
            if (c.oursTakesRelayFirst) {
                ASSERT_TRUE(waitUntil([&] { return ourMethods == QStringList{"relay"}; }, 10s));
            }
            peer.establish(session, relayNode(), /*offerer=*/true);
            toPeer.release();
            toOurs.release();
        }
        ASSERT_TRUE(waitUntil([&] { return !peerMethods.isEmpty() && !ourMethods.isEmpty(); }, 30s));

        // The offerer speaks first, as the Master does; the answerer replies.
        if (c.oursOffers) {
            ASSERT_TRUE(test::sendBytes(*ours.activeTransport(), ChannelType::Control, "from ours"));
            ASSERT_TRUE(waitUntil([&] { return !peer.received().isEmpty(); }, 10s));
            ASSERT_TRUE(peer.send("from the peer"));
            ASSERT_TRUE(waitUntil([&] { return !ourGot.control.empty(); }, 10s));
        } else {
            ASSERT_TRUE(peer.send("from the peer"));
            ASSERT_TRUE(waitUntil([&] { return !ourGot.control.empty(); }, 10s));
            ASSERT_TRUE(test::sendBytes(*ours.activeTransport(), ChannelType::Control, "from ours"));
            ASSERT_TRUE(waitUntil([&] { return !peer.received().isEmpty(); }, 10s));
        }
        EXPECT_EQ(ourGot.control.front(), QByteArray("from the peer"));
        EXPECT_EQ(peer.received().front(), QByteArray("from ours"));
        EXPECT_EQ(peerMethods, QStringList{c.method});
        EXPECT_EQ(ourMethods.last(), c.method);
        if (c.oursTakesRelayFirst) {
            EXPECT_EQ(ourMethods, (QStringList{"relay", "p2p"}));
        }
        ours.reset();
        QObject::disconnect(&ours, &TransportManager::localDescriptionReady, nullptr, nullptr);
        QObject::disconnect(&ours, &TransportManager::localCandidateReady, nullptr, nullptr);
    }
}

}  // namespace
}  // namespace veltrix

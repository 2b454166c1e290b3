#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <functional>


#include "FakeTransports.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"
#include "transport/TransportManager.h"

namespace veltrix {
namespace {

using test::waitUntil;

using test::FakeTransportFactory;

RelayCandidate candidate(const QString& id, int rank, int port = 443) {
    return RelayCandidate{id, QStringLiteral("relay-") + id + QStringLiteral(".example"), port, rank};
}

void runDeferredDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

class TransportManagerTest : public ::testing::Test {
protected:
    FakeTransportFactory fakes;
    TransportManager manager{fakes.factory()};
    QStringList established;
    QStringList failed;
    test::LogCapture log;

    void SetUp() override {
        QObject::connect(&manager, &TransportManager::connectionEstablished, [this](const QString& m) { established << m; });
        QObject::connect(&manager, &TransportManager::connectionFailed, [this](const QString& r) { failed << r; });
    }
    void TearDown() override {
        manager.reset();
        runDeferredDeletes();
    }

    void establish(int localNat, int remoteNat, const QList<RelayCandidate>& candidates = {candidate("a", -1)},
                   bool offerer = true) {
        manager.establishConnection("s-1", localNat, remoteNat, candidates, offerer, "token-1");
    }
};

TEST_F(TransportManagerTest, NatTypesDecideBetweenPeerToPeerFirstAndRelayOnly) {
    const struct {
        int local, remote;
        bool p2pFirst;
    } cases[] = {{3, 0, true}, {0, 0, true}, {1, 2, true}, {0, 3, true}, {4, 0, false},
                 {0, 4, false}, {0, 5, false}, {-1, 0, false}, {0, -1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "local " << c.local << " remote " << c.remote);
        fakes.p2p.clear();
        fakes.relays.clear();
        establish(c.local, c.remote);
        if (c.p2pFirst) {
            ASSERT_EQ(fakes.p2p.size(), 1);
            EXPECT_EQ(fakes.p2p[0]->started, "offerer");
            EXPECT_TRUE(fakes.relays.isEmpty());
        } else {
            EXPECT_TRUE(fakes.p2p.isEmpty());
            ASSERT_EQ(fakes.relays.size(), 1);
            EXPECT_EQ(fakes.relays[0]->host, "relay-a.example");
        }
    }
    EXPECT_TRUE(log.contains("TransportManager: local NAT=0, remote NAT=-1, relay candidates=1"));
}

TEST_F(TransportManagerTest, RelayIsChosenByRankThenById) {
    const struct {
        QList<RelayCandidate> candidates;
        QByteArray host;
    } cases[] = {
        {{candidate("w", -1), candidate("x", 2), candidate("y", 0), candidate("z", 2)}, "relay-y.example"},
        {{candidate("b", -1), candidate("a", -1)}, "relay-a.example"},
        {{candidate("B", -1), candidate("a", -1)}, "relay-B.example"},  // uppercase sorts first
        {{candidate("p", 1), candidate("q", 1)}, "relay-p.example"},    // ties keep the earlier one
        {{candidate("a", -1), candidate("a", -1, 444)}, "relay-a.example"},
        // Ports that do not fit 16 bits are never cut down to another port.
        {{candidate("a", 0, 0), candidate("b", 0, 65536 + 443), candidate("c", 5, 65535)}, "relay-c.example"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host.toStdString());
        fakes.relays.clear();
        establish(4, 0, c.candidates);
        ASSERT_EQ(fakes.relays.size(), 1);
        EXPECT_EQ(fakes.relays[0]->host, c.host);
        EXPECT_EQ(fakes.relays[0]->sessionId, "s-1");
        EXPECT_EQ(fakes.relays[0]->token, "token-1");
    }
    EXPECT_EQ(fakes.relays[0]->port, 65535);
    EXPECT_TRUE(log.contains("TransportManager: skipping relay node 'b' with invalid port 65979"));
}

TEST_F(TransportManagerTest, OnlyInvalidPortsCountAsNoCandidates) {
    establish(4, 0, {candidate("a", 0, -443), candidate("b", 0, 70000)});
    EXPECT_TRUE(fakes.relays.isEmpty());
    EXPECT_EQ(failed, QStringList{"No relay candidates available"});
}

TEST_F(TransportManagerTest, PeerToPeerTimeOutFallsBackToTheRelay) {
    manager.setP2PTimeout(std::chrono::milliseconds(30));
    TurnServerConfig turn{"turn.example", 5349, "veltrix", "secret"};
    manager.setTurnServerConfig(turn);
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    ASSERT_EQ(fakes.p2p.size(), 1);
    EXPECT_EQ(fakes.p2p[0]->started, "answerer");
    EXPECT_EQ(fakes.p2p[0]->turn.password, "secret");
    EXPECT_EQ(fakes.p2p[0]->turn.host, "turn.example");

    ASSERT_TRUE(waitUntil([&] { return !fakes.relays.isEmpty(); }));
    EXPECT_TRUE(log.contains("TransportManager: P2P connection timed out after 30 ms, falling back to relay"));
    // The peer-to-peer attempt is kept: the partner may be settling on it right now.
    EXPECT_EQ(fakes.p2p[0]->disconnectCalls, 0);

    // The answerer waits for the offerer's choice; a relay chosen retires the peer-to-peer
    // attempt, which stays until reset.
    fakes.relays[0]->comeUp();
    EXPECT_TRUE(established.isEmpty());
    EXPECT_EQ(fakes.relays[0]->announcements, 0);
    fakes.relays[0]->selectByPeer();
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_EQ(manager.activeTransport(), fakes.relays[0].data());
    EXPECT_EQ(fakes.p2p[0]->disconnectCalls, 1);
    fakes.p2p[0]->comeUp();
    EXPECT_EQ(established, QStringList{"relay"});
    runDeferredDeletes();
    EXPECT_FALSE(fakes.p2p[0].isNull());
}

// Both sides must end on the same transport: a peer-to-peer attempt that comes up after this
// side's time-out, while the relay is still connecting, wins.
TEST_F(TransportManagerTest, LatePeerToPeerSuccessAfterTheTimeOutWins) {
    manager.setP2PTimeout(std::chrono::milliseconds(20));
    establish(0, 0, {candidate("a", -1)});
    ASSERT_TRUE(waitUntil([&] { return !fakes.relays.isEmpty(); }));
    fakes.p2p[0]->comeUp();
    EXPECT_EQ(established, QStringList{"p2p"});
    EXPECT_EQ(manager.activeTransport(), fakes.p2p[0].data());
    runDeferredDeletes();
    EXPECT_TRUE(fakes.relays[0].isNull());
}

TEST_F(TransportManagerTest, PeerToPeerSuccessEndsARunningRelayAttempt) {
    manager.setP2PTimeout(std::chrono::milliseconds(20));
    establish(3, 0);
    ASSERT_TRUE(waitUntil([&] { return !fakes.relays.isEmpty(); }));
    // A fresh peer-to-peer attempt (as after a new establishConnection) wins over the relay.
    establish(3, 0);
    manager.onP2PTimeout();
    ASSERT_EQ(fakes.relays.size(), 2);
    fakes.p2p.last()->open = true;
    manager.onP2PConnected();
    EXPECT_EQ(established, QStringList{"p2p"});
    EXPECT_EQ(manager.activeTransport(), fakes.p2p.last().data());
    runDeferredDeletes();
    EXPECT_TRUE(fakes.relays.last().isNull());
}

TEST_F(TransportManagerTest, RelayErrorsReportFailureEvenAfterTheRelayIsUp) {
    establish(4, 0);
    fakes.relays[0]->comeUp();
    emit fakes.relays[0]->transportError("Connection refused");
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_EQ(failed, QStringList{"All connection methods failed. Last error: Connection refused"});
}

TEST_F(TransportManagerTest, PeerToPeerErrorsOnlyWarn) {
    establish(0, 0);
    emit fakes.p2p[0]->transportError("ice failed");
    EXPECT_TRUE(failed.isEmpty());
    EXPECT_TRUE(log.contains("TransportManager: P2P error: ice failed"));
}

TEST_F(TransportManagerTest, RefusedRelayConnectReportsFailure) {
    fakes.relayAcceptsConnect = false;
    establish(4, 0);
    EXPECT_EQ(failed, QStringList{"Failed to initiate relay connection"});
}

// A reported failure is final: whatever was still trying is closed, and nothing that comes up
// afterwards is reported as established.
TEST_F(TransportManagerTest, NoSuccessIsReportedAfterAFailure) {
    const struct {
        const char* name;
        std::function<void()> failAttempt;
        QString reason;
    } cases[] = {
        {"no candidates after the time-out",
         [&] {
             manager.setP2PTimeout(std::chrono::milliseconds(10));
             establish(0, 0, {});
             ASSERT_TRUE(waitUntil([&] { return !failed.isEmpty(); }));
         },
         "No relay candidates available"},
        {"relay refused before it came up",
         [&] {
             establish(0, 0);
             manager.onP2PTimeout();
             emit fakes.relays.last()->transportError("Connection refused");
         },
         "All connection methods failed. Last error: Connection refused"},
        {"relay connect() refused",
         [&] {
             fakes.relayAcceptsConnect = false;
             establish(0, 0);
             manager.onP2PTimeout();
             fakes.relayAcceptsConnect = true;
         },
         "Failed to initiate relay connection"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        failed.clear();
        established.clear();
        c.failAttempt();
        ASSERT_EQ(failed, QStringList{c.reason});
        ASSERT_FALSE(fakes.p2p.isEmpty());
        EXPECT_GE(fakes.p2p.last()->disconnectCalls, 1);
        fakes.p2p.last()->comeUp();
        if (!fakes.relays.isEmpty() && fakes.relays.last()) {
            EXPECT_TRUE(fakes.relays.last()->closed);
            fakes.relays.last()->comeUp();
            emit fakes.relays.last()->transportError("late");
        }
        EXPECT_TRUE(established.isEmpty());
        EXPECT_EQ(failed.size(), 1);
        EXPECT_EQ(manager.activeTransport(), nullptr);
    }
}

// Settings without a host bring only credentials; the peer-to-peer transport keeps its TURN host.
TEST_F(TransportManagerTest, TurnSettingsReachTheTransportAsGiven) {
    manager.setTurnServerConfig({"", 5349, "veltrix", "secret"});
    establish(0, 0);
    EXPECT_EQ(fakes.p2p.last()->turn.password, "secret");
    EXPECT_TRUE(fakes.p2p.last()->turn.host.empty());
}

// The offerer decides and announces its choice on the chosen transport; the answerer reports
// only what was announced, whichever of its own attempts came up first.
TEST_F(TransportManagerTest, TheOffererChoosesAndTheAnswererFollows) {
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/true);
    manager.onP2PTimeout();
    fakes.relays.last()->comeUp();
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_EQ(fakes.relays.last()->announcements, 1);
    fakes.p2p.last()->comeUp();  // too late: the choice is made
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_EQ(fakes.p2p.last()->announcements, 0);

    const struct {
        const char* name;
        bool relayFirst;     // the answerer's relay comes up before its peer-to-peer attempt
        bool choiceFirst;    // the announcement arrives before the chosen transport is up here
        bool offererChoosesP2P;
    } cases[] = {
        {"relay up here, offerer chose p2p", true, false, true},
        {"p2p up here, offerer chose relay", false, false, false},
        {"announcement before p2p is up here", false, true, true},
        {"announcement before the relay is up here", true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        established.clear();
        establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
        manager.onP2PTimeout();
        auto* p2p = fakes.p2p.last().data();
        auto* relay = fakes.relays.last().data();
        ITransport* chosen = c.offererChoosesP2P ? static_cast<ITransport*>(p2p) : relay;
        if (c.choiceFirst) (c.offererChoosesP2P ? p2p->selectByPeer() : relay->selectByPeer());
        if (c.relayFirst) relay->comeUp();
        p2p->comeUp();
        if (!c.relayFirst) relay->comeUp();
        if (!c.choiceFirst) {
            EXPECT_TRUE(established.isEmpty());
            c.offererChoosesP2P ? p2p->selectByPeer() : relay->selectByPeer();
        }
        EXPECT_EQ(established, QStringList{c.offererChoosesP2P ? "p2p" : "relay"});
        EXPECT_EQ(manager.activeTransport(), chosen);
        EXPECT_EQ(p2p->announcements + relay->announcements, 0);
    }
}

// An offerer that gives up (a failed handshake on its side, a crash) never announces a choice:
// the answerer's transports may be up, yet it reports failure once, after its wait.
TEST_F(TransportManagerTest, AnAnswererThatHearsNoChoiceFailsOnce) {
    manager.setP2PTimeout(std::chrono::milliseconds(20));
    manager.setChoiceGrace(std::chrono::milliseconds(30));
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    ASSERT_TRUE(waitUntil([&] { return !fakes.relays.isEmpty(); }));
    fakes.relays.last()->comeUp();
    fakes.p2p.last()->comeUp();
    ASSERT_TRUE(waitUntil([&] { return !failed.isEmpty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(failed, QStringList{"The partner chose no transport in time"});
    EXPECT_TRUE(established.isEmpty());
    fakes.relays.last()->selectByPeer();  // too late
    test::runEventsFor(std::chrono::milliseconds(80));
    EXPECT_TRUE(established.isEmpty());
    EXPECT_EQ(failed.size(), 1);

    // An offerer waits for nothing; an answerer that hears the choice in time is not failed.
    failed.clear();
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    fakes.p2p.last()->selectByPeer();
    fakes.p2p.last()->comeUp();
    EXPECT_EQ(established, QStringList{"p2p"});
    test::runEventsFor(std::chrono::milliseconds(120));
    EXPECT_TRUE(failed.isEmpty());
}

TEST_F(TransportManagerTest, SignalingReachesOnlyACurrentPeerToPeerAttempt) {
    manager.setRemoteDescription("v=0", "offer");  // nothing to pass it to
    manager.addRemoteCandidate("candidate:1", "0");
    QStringList local;
    QObject::connect(&manager, &TransportManager::localDescriptionReady,
                     [&](const QString& sdp, const QString& type) { local << type + ":" + sdp; });
    QObject::connect(&manager, &TransportManager::localCandidateReady,
                     [&](const QString& c, const QString& mid) { local << mid + ":" + c; });
    establish(0, 0);
    manager.setRemoteDescription("v=0", "answer");
    manager.addRemoteCandidate("candidate:2", "1");
    EXPECT_EQ(fakes.p2p[0]->remote, (QStringList{"answer:v=0", "1:candidate:2"}));
    emit fakes.p2p[0]->localDescriptionReady("v=1", "offer");
    emit fakes.p2p[0]->localCandidateReady("candidate:3", "0");
    EXPECT_EQ(local, (QStringList{"offer:v=1", "0:candidate:3"}));
}

TEST_F(TransportManagerTest, ResetDropsTransportsAndCandidatesButKeepsTheToken) {
    establish(0, 0);
    manager.onP2PTimeout();
    ASSERT_EQ(fakes.relays.size(), 1);
    manager.reset();
    EXPECT_EQ(manager.activeTransport(), nullptr);
    EXPECT_EQ(fakes.relays[0]->disconnectCalls, 1);
    runDeferredDeletes();
    EXPECT_TRUE(fakes.relays[0].isNull());
    EXPECT_TRUE(fakes.p2p[0].isNull());

    manager.onP2PTimeout();
    EXPECT_EQ(failed, QStringList{"No relay candidates available"});
    EXPECT_EQ(fakes.relays.size(), 1);
}

// A session that ends from inside the transport's data signal (the partner's "disconnect"
// command, or one undecryptable frame too many) resets and deletes the manager there. The
// transport must outlive that call chain and stop delivering. Run under AddressSanitizer.
TEST(TransportManagerLifetimeTest, SessionEndingInsideDataReceivedIsSafe) {
    FakeTransportFactory fakes;
    auto* manager = new TransportManager(fakes.factory());
    manager->establishConnection("s-1", 4, 0, {candidate("a", -1)}, true, "t");
    ASSERT_EQ(fakes.relays.size(), 1);
    fakes.relays[0]->comeUp();
    ITransport* active = manager->activeTransport();
    ASSERT_NE(active, nullptr);
    int seen = 0;
    QObject::connect(active, &ITransport::dataReceived, [&](ChannelType, const QByteArray&) {
        ++seen;
        manager->reset();
        delete manager;
        manager = nullptr;
    });
    fakes.relays[0]->deliver({"one", "two", "three"});
    EXPECT_EQ(seen, 1);
    ASSERT_FALSE(fakes.relays[0].isNull());
    EXPECT_EQ(fakes.relays[0]->delivered, 1);
    runDeferredDeletes();
    EXPECT_TRUE(fakes.relays[0].isNull());
}

TEST(TransportManagerLifetimeTest, DestroyingTheManagerDeletesItsTransportsThroughTheEventLoop) {
    FakeTransportFactory fakes;
    {
        TransportManager manager(fakes.factory());
        manager.establishConnection("s-1", 0, 0, {candidate("a", -1)}, true, "t");
        manager.onP2PTimeout();
    }
    ASSERT_EQ(fakes.p2p.size(), 1);
    ASSERT_EQ(fakes.relays.size(), 1);
    runDeferredDeletes();
    EXPECT_TRUE(fakes.p2p[0].isNull());
    EXPECT_TRUE(fakes.relays[0].isNull());
}

}  // namespace
}  // namespace veltrix

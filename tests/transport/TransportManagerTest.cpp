#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <array>
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

bool sendControl(ITransport& transport, const QByteArray& data) {
    return transport.send(ChannelType::Control, reinterpret_cast<const std::uint8_t*>(data.constData()),
                          static_cast<std::uint64_t>(data.size()));
}

class TransportManagerTest : public ::testing::Test {
protected:
    FakeTransportFactory fakes;
    TransportManager manager{fakes.factory()};
    QStringList established;
    QStringList failed;
    QList<QByteArray> delivered;  // what the manager handed on
    int lost = 0;                 // losses it reported
    test::LogCapture log;

    void SetUp() override {
        QObject::connect(&manager, &TransportManager::connectionEstablished, [this](const QString& m) { established << m; });
        QObject::connect(&manager, &TransportManager::connectionFailed, [this](const QString& r) { failed << r; });
        QObject::connect(&manager, &TransportManager::dataReceived,
                         [this](ChannelType, const QByteArray& data) { delivered << data; });
        QObject::connect(&manager, &TransportManager::transportDisconnected, [this] { ++lost; });
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

    // The first transport up is the session's. The answerer keeps its peer-to-peer attempt until
    // the offerer's data shows which transport the offerer took; data on the relay closes it,
    // and it stays until reset.
    fakes.relays[0]->comeUp();
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_EQ(manager.activeTransport(), fakes.relays[0].data());
    fakes.p2p[0]->comeUp();
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_EQ(fakes.p2p[0]->disconnectCalls, 0);
    fakes.relays[0]->receive("first");
    EXPECT_EQ(delivered, QList<QByteArray>{"first"});
    EXPECT_EQ(fakes.p2p[0]->disconnectCalls, 1);
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

// The offerer keeps the first transport up and drops the other; nothing else it receives counts.
TEST_F(TransportManagerTest, TheOffererKeepsTheFirstTransportUp) {
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/true);
    manager.onP2PTimeout();
    fakes.relays.last()->comeUp();
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_TRUE(fakes.p2p.last()->closed);
    fakes.p2p.last()->comeUp();  // too late: the relay carries the session
    fakes.p2p.last()->receive("p2p");
    fakes.relays.last()->receive("relay");
    EXPECT_EQ(established, QStringList{"relay"});
    EXPECT_EQ(delivered, QList<QByteArray>{"relay"});
    EXPECT_TRUE(fakes.relays.last()->sent.isEmpty() && fakes.p2p.last()->sent.isEmpty());  // nothing announced
}

// The answerer takes the first transport up and follows the offerer's first data onto the
// transport it arrives on, once; what arrives afterwards on the other one is not delivered.
TEST_F(TransportManagerTest, TheAnswererFollowsTheTransportTheOfferersDataArrivesOn) {
    const struct {
        const char* name;
        QStringList upFirst;  // the answerer's transports reported up before the offerer's data
        bool dataOnP2P;
        QStringList expected;  // what the answerer reports established
    } cases[] = {
        {"relay up, data on the relay", {"relay"}, false, {"relay"}},
        {"relay up, data on p2p before it reports up", {"relay"}, true, {"relay", "p2p"}},
        {"relay then p2p up, data on p2p", {"relay", "p2p"}, true, {"relay", "p2p"}},
        {"relay then p2p up, data on the relay", {"relay", "p2p"}, false, {"relay"}},
        {"p2p then relay up, data on the relay", {"p2p", "relay"}, false, {"p2p", "relay"}},
        {"p2p then relay up, data on p2p", {"p2p", "relay"}, true, {"p2p"}},
        {"p2p up, data on p2p", {"p2p"}, true, {"p2p"}},
        {"nothing up, data on p2p", {}, true, {"p2p"}},
        {"nothing up, a relay frame read with the handshake", {}, false, {"relay"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        established.clear();
        delivered.clear();
        establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
        manager.onP2PTimeout();
        auto* p2p = fakes.p2p.last().data();
        auto* relay = fakes.relays.last().data();
        for (const QString& up : c.upFirst) up == "p2p" ? p2p->comeUp() : relay->comeUp();
        const auto receiveOnChosen = [&](const QByteArray& data) { c.dataOnP2P ? p2p->receive(data) : relay->receive(data); };
        const auto receiveOnOther = [&](const QByteArray& data) { c.dataOnP2P ? relay->receive(data) : p2p->receive(data); };
        receiveOnChosen("1");
        receiveOnChosen("2");
        receiveOnOther("x");
        EXPECT_EQ(established, c.expected);
        EXPECT_EQ(delivered, (QList<QByteArray>{"1", "2"}));
        EXPECT_EQ(manager.activeTransport(), c.dataOnP2P ? static_cast<ITransport*>(p2p) : relay);
        EXPECT_TRUE(c.dataOnP2P ? relay->closed : p2p->closed);
        EXPECT_FALSE(c.dataOnP2P ? p2p->closed : relay->closed);
        // Settled: the other transport is of no concern any more.
        c.dataOnP2P ? relay->comeUp() : p2p->comeUp();
        EXPECT_EQ(established, c.expected);
        EXPECT_EQ(lost, 0);
        EXPECT_TRUE(failed.isEmpty());
    }
}

// Peer to peer came up just before the answerer's time-out: the time-out readies the relay in
// case the offerer took that, and never fails the session, with or without a relay to offer.
TEST_F(TransportManagerTest, TheAnswerersTimeOutNeverFailsAPeerToPeerSessionThatIsUp) {
    manager.setP2PTimeout(std::chrono::milliseconds(30));
    establish(0, 0, {}, /*offerer=*/false);
    fakes.p2p.last()->comeUp();
    test::runEventsFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(log.contains("TransportManager: No relay candidates available; staying on P2P"));
    EXPECT_TRUE(failed.isEmpty());
    EXPECT_EQ(established, QStringList{"p2p"});
    fakes.p2p.last()->receive("1");
    EXPECT_EQ(delivered, QList<QByteArray>{"1"});

    established.clear();
    delivered.clear();
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    fakes.p2p.last()->comeUp();
    ASSERT_TRUE(waitUntil([&] { return !fakes.relays.isEmpty(); }));
    fakes.relays.last()->comeUp();
    EXPECT_EQ(established, QStringList{"p2p"});
    fakes.relays.last()->receive("1");
    EXPECT_EQ(established, (QStringList{"p2p", "relay"}));
    EXPECT_EQ(delivered, QList<QByteArray>{"1"});
    EXPECT_TRUE(fakes.p2p.last()->closed);

    // A relay readied beside peer to peer that fails costs the session nothing.
    established.clear();
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    fakes.p2p.last()->comeUp();
    manager.onP2PTimeout();
    emit fakes.relays.last()->transportError("Connection refused");
    EXPECT_TRUE(fakes.relays.last()->closed);
    EXPECT_TRUE(failed.isEmpty());
    fakes.p2p.last()->receive("2");
    EXPECT_EQ(delivered.last(), "2");
}

// Before the offerer's data arrives, the answerer's transport may go down because the offerer
// took the other one and closed this one: the session waits for the other. Once the offerer's
// data has arrived, or when nothing else could carry the session, the loss is reported.
TEST_F(TransportManagerTest, ADropBeforeTheOfferersDataWaitsForTheOtherTransport) {
    // On peer to peer, no relay yet: the relay is started at once and taken when it is up.
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    fakes.p2p.last()->comeUp();
    fakes.p2p.last()->drop();
    ASSERT_EQ(fakes.relays.size(), 1);
    EXPECT_EQ(manager.activeTransport(), nullptr);
    fakes.relays.last()->comeUp();
    fakes.relays.last()->receive("1");
    EXPECT_EQ(established, (QStringList{"p2p", "relay"}));
    EXPECT_EQ(delivered, QList<QByteArray>{"1"});

    // On peer to peer with the relay up beside it: the relay is taken at once.
    established.clear();
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    fakes.p2p.last()->comeUp();
    manager.onP2PTimeout();
    fakes.relays.last()->comeUp();
    fakes.p2p.last()->drop();
    EXPECT_EQ(established, (QStringList{"p2p", "relay"}));
    EXPECT_EQ(manager.activeTransport(), fakes.relays.last().data());

    // On the relay with peer to peer still coming: peer to peer is taken when it comes up.
    established.clear();
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    manager.onP2PTimeout();
    fakes.relays.last()->comeUp();
    fakes.relays.last()->drop();
    fakes.p2p.last()->comeUp();
    fakes.p2p.last()->receive("2");
    EXPECT_EQ(established, (QStringList{"relay", "p2p"}));
    EXPECT_EQ(delivered.last(), "2");
    EXPECT_EQ(lost, 0);

    // Nothing else to wait for: on the relay only, or on peer to peer with no relay to start.
    establish(4, 0, {candidate("a", -1)}, /*offerer=*/false);
    fakes.relays.last()->comeUp();
    fakes.relays.last()->drop();
    EXPECT_EQ(lost, 1);
    establish(0, 0, {}, /*offerer=*/false);
    fakes.p2p.last()->comeUp();
    fakes.p2p.last()->drop();
    EXPECT_EQ(lost, 2);

    // Settled: a drop is reported.
    establish(0, 0, {candidate("a", -1)}, /*offerer=*/false);
    fakes.p2p.last()->comeUp();
    manager.onP2PTimeout();
    fakes.p2p.last()->receive("3");
    fakes.p2p.last()->drop();
    EXPECT_EQ(lost, 3);
    EXPECT_TRUE(failed.isEmpty());
}

// One side of a session for the orderings below: a manager on fake transports whose time-outs
// are steps of the ordering.
struct FakeSide {
    FakeTransportFactory fakes;
    TransportManager manager{fakes.factory()};
    QStringList methods;
    QList<QByteArray> received;
    int failures = 0;
    int losses = 0;

    FakeSide() {
        manager.setP2PTimeout(std::chrono::hours(1));
        QObject::connect(&manager, &TransportManager::connectionEstablished, [this](const QString& m) { methods << m; });
        QObject::connect(&manager, &TransportManager::connectionFailed, [this] { ++failures; });
        QObject::connect(&manager, &TransportManager::transportDisconnected, [this] { ++losses; });
        QObject::connect(&manager, &TransportManager::dataReceived,
                         [this](ChannelType, const QByteArray& data) { received << data; });
    }
    test::FakeP2PTransport* p2p() const { return fakes.p2p.isEmpty() ? nullptr : fakes.p2p.last().data(); }
    test::FakeRelayTransport* relay() const { return fakes.relays.isEmpty() ? nullptr : fakes.relays.last().data(); }
};

// Two managers joined as the two sides of a session: a peer-to-peer link comes up on a side only
// while the partner's attempt is open, and goes down when the partner closes it; the relay node
// holds a side's frames until the partner has joined, and closes a joined partner when a side
// leaves. The offerer sends whenever it has a transport, as the Master repeats its key-frame
// request until it is answered.
class FakeSessionPair {
public:
    enum Step { OffererTimeOut, AnswererTimeOut, OffererP2PUp, AnswererP2PUp, OffererRelayUp, AnswererRelayUp };

    FakeSide offerer;
    FakeSide answerer;

    explicit FakeSessionPair(bool p2pWorks) : p2pWorks_(p2pWorks) {
        answerer.manager.establishConnection("s", 0, 0, {candidate("a", -1)}, /*offerer=*/false, "t");
        offerer.manager.establishConnection("s", 0, 0, {candidate("a", -1)}, /*offerer=*/true, "t");
    }

    void apply(Step step) {
        switch (step) {
        case OffererTimeOut: offerer.manager.onP2PTimeout(); break;
        case AnswererTimeOut: answerer.manager.onP2PTimeout(); break;
        case OffererP2PUp: p2pUp(offerer, answerer); break;
        case AnswererP2PUp: p2pUp(answerer, offerer); break;
        case OffererRelayUp: relayUp(offerer); break;
        case AnswererRelayUp: relayUp(answerer); break;
        }
        if (ITransport* active = offerer.manager.activeTransport()) sendControl(*active, "request");
        carry();
    }

    // What would follow in time: the time-outs fire, connections that were still coming up do.
    void finish() {
        for (int round = 0; round < 3; ++round) {
            for (Step step : {OffererTimeOut, AnswererTimeOut, OffererRelayUp, AnswererRelayUp, OffererP2PUp, AnswererP2PUp})
                apply(step);
        }
    }

    // The answerer replies on its transport; true when the offerer's manager delivered it.
    bool replyArrives() {
        ITransport* active = answerer.manager.activeTransport();
        if (!active || !sendControl(*active, "reply")) return false;
        carry();
        return offerer.received.contains("reply");
    }

private:
    static bool canComeUp(const test::FakeP2PTransport* t) { return t && !t->closed && !t->open; }
    static bool canComeUp(const test::FakeRelayTransport* t) { return t && !t->closed && !t->open; }

    void p2pUp(FakeSide& side, FakeSide& partner) {
        const test::FakeP2PTransport* theirs = partner.p2p();
        if (p2pWorks_ && canComeUp(side.p2p()) && theirs && !theirs->closed) side.p2p()->comeUp();
    }

    void relayUp(FakeSide& side) {
        if (!canComeUp(side.relay())) return;
        side.relay()->comeUp();
    }

    // Moves what each side sent to the other and applies the closes, until nothing changes.
    void carry() {
        for (bool changed = true; changed;) {
            changed = false;
            if (offerer.relay() && offerer.relay()->open && answerer.relay() && answerer.relay()->open) relaysJoined_ = true;
            changed |= carryBetween(offerer, answerer, toAnswerer_);
            changed |= carryBetween(answerer, offerer, toOfferer_);
        }
    }

    bool carryBetween(FakeSide& from, FakeSide& to, QList<QByteArray>& held) {
        bool changed = false;
        if (test::FakeP2PTransport* mine = from.p2p()) {
            test::FakeP2PTransport* theirs = to.p2p();
            for (const auto& [channel, data] : mine->takeSent()) {
                if (theirs && !theirs->closed) theirs->receive(data, channel);
                changed = true;
            }
            if (mine->closed && theirs && theirs->open) {
                theirs->drop();
                changed = true;
            }
        }
        if (test::FakeRelayTransport* mine = from.relay()) {
            for (const auto& sent : mine->takeSent()) held << sent.second;
            test::FakeRelayTransport* theirs = to.relay();
            if (mine->closed) {
                held.clear();  // a side that leaves takes what the node held for it along
                if (relaysJoined_ && theirs && theirs->open) {
                    relaysJoined_ = false;
                    theirs->drop();
                    changed = true;
                }
            } else if (theirs && theirs->open && !held.isEmpty()) {
                for (const QByteArray& data : std::exchange(held, {})) theirs->receive(data);
                changed = true;
            }
        }
        return changed;
    }

    bool p2pWorks_;
    bool relaysJoined_ = false;
    QList<QByteArray> toAnswerer_;
    QList<QByteArray> toOfferer_;
};

// Whatever the order in which the time-outs fire and the four connections come up (and with peer
// to peer failing altogether), two managers end on the same transport, and data crosses it both
// ways.
TEST(TransportManagerPairTest, TwoManagersEndOnTheSameTransportInEveryOrdering) {
    int orderings = 0;
    QStringList outcomes;
    for (const bool p2pWorks : {true, false}) {
        std::array<FakeSessionPair::Step, 6> steps = {
            FakeSessionPair::OffererTimeOut, FakeSessionPair::AnswererTimeOut, FakeSessionPair::OffererP2PUp,
            FakeSessionPair::AnswererP2PUp,  FakeSessionPair::OffererRelayUp,  FakeSessionPair::AnswererRelayUp};
        do {
            std::string order;
            for (auto step : steps) order += std::to_string(step);
            SCOPED_TRACE(order + (p2pWorks ? " p2p works" : " p2p fails"));
            {
                FakeSessionPair pair(p2pWorks);
                for (auto step : steps) pair.apply(step);
                pair.finish();
                ASSERT_FALSE(pair.offerer.methods.isEmpty());
                ASSERT_FALSE(pair.answerer.methods.isEmpty());
                EXPECT_EQ(pair.answerer.methods.last(), pair.offerer.methods.last());
                EXPECT_EQ(pair.offerer.methods.size(), 1);
                EXPECT_FALSE(pair.answerer.received.isEmpty());
                EXPECT_TRUE(pair.replyArrives());
                EXPECT_EQ(pair.offerer.failures + pair.answerer.failures, 0);
                EXPECT_EQ(pair.offerer.losses + pair.answerer.losses, 0);
                if (!p2pWorks) {
                    EXPECT_EQ(pair.offerer.methods.last(), "relay");
                }
                outcomes << pair.offerer.methods.last();
            }
            runDeferredDeletes();
            ++orderings;
            if (::testing::Test::HasFailure()) return;
        } while (std::next_permutation(steps.begin(), steps.end()));
    }
    EXPECT_EQ(orderings, 2 * 720);
    EXPECT_GT(outcomes.count("p2p"), 0);
    EXPECT_GT(outcomes.count("relay"), 720);
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
    ASSERT_NE(manager->activeTransport(), nullptr);
    int seen = 0;
    QObject::connect(manager, &TransportManager::dataReceived, [&](ChannelType, const QByteArray&) {
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

#include "support/CoturnServer.h"
#include "support/LogCapture.h"
#include "support/TestCertificates.h"
#include "support/TempInstanceRoot.h"
#include "transport/P2PTestSupport.h"
#include "transport/P2PTransport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

using namespace std::chrono_literals;

namespace veltrix {

// Reaches the transport's test-only text sender.
struct P2PTransportTestAccess {
    static bool sendText(P2PTransport& transport, ChannelType channel, const QByteArray& text) {
        return transport.sendText(channel, text);
    }
};

namespace {

using test::patternMessage;
using test::Received;
using test::sendBytes;
using test::waitUntil;

class P2PTransportTest : public ::testing::Test {
protected:
    void SetUp() override { test::writeLoopbackP2PConfig(root_.path()); }

    // Starts both ends and waits until both report connected.
    void connectPair(std::chrono::milliseconds timeout = 30s) {
        offerer_ = std::make_unique<P2PTransport>();
        answerer_ = std::make_unique<P2PTransport>();
        test::wireSignaling(*offerer_, *answerer_);
        offererGot_.attach(*offerer_);
        answererGot_.attach(*answerer_);
        answerer_->startAsAnswerer();
        offerer_->startAsOfferer();
        const bool up = waitUntil([&] { return offerer_->isConnected() && answerer_->isConnected(); }, timeout);
        if (!up)
            for (const std::string& line : log_.lines()) std::cerr << "  log: " << line << '\n';
        ASSERT_TRUE(up);
        EXPECT_EQ(offererGot_.connectedCount, 1);
        EXPECT_EQ(answererGot_.connectedCount, 1);
    }

    test::TempInstanceRoot root_;
    test::LogCapture log_;
    std::unique_ptr<P2PTransport> offerer_;
    std::unique_ptr<P2PTransport> answerer_;
    Received offererGot_;
    Received answererGot_;
};

TEST_F(P2PTransportTest, ConnectsOnLoopback) {
    connectPair();
    EXPECT_TRUE(log_.contains("P2PTransport: created (libnice, OpenSSL DTLS, usrsctp)"));
    EXPECT_EQ(log_.count("P2PTransport: both data channels open — P2P connected!"), 2u);
    EXPECT_EQ(log_.count("P2PTransport: 'control' data channel open (answerer)"), 1u);
}

// Every size goes each way on each channel, in order and whole: one send is one dataReceived.
TEST_F(P2PTransportTest, CarriesMessagesWholeAndInOrderBothWaysOnBothChannels) {
    connectPair();
    const std::vector<std::size_t> sizes = {1, 64 * 1024, 1024 * 1024, 16 * 1024 * 1024, 0, 65535, 65536 - 5, 3};
    struct Leg {
        P2PTransport* from;
        Received* to;
        ChannelType channel;
    };
    const std::vector<Leg> legs = {{offerer_.get(), &answererGot_, ChannelType::Control},
                                   {offerer_.get(), &answererGot_, ChannelType::Video},
                                   {answerer_.get(), &offererGot_, ChannelType::Control},
                                   {answerer_.get(), &offererGot_, ChannelType::Video}};
    std::uint32_t seed = 0;
    for (const Leg& leg : legs)
        for (std::size_t size : sizes) ASSERT_TRUE(sendBytes(*leg.from, leg.channel, patternMessage(size, seed++)));

    ASSERT_TRUE(waitUntil(
        [&] {
            return answererGot_.control.size() == sizes.size() && answererGot_.video.size() == sizes.size() &&
                   offererGot_.control.size() == sizes.size() && offererGot_.video.size() == sizes.size();
        },
        30s));
    seed = 0;
    for (const Leg& leg : legs) {
        const auto& got = leg.channel == ChannelType::Control ? leg.to->control : leg.to->video;
        for (std::size_t i = 0; i < sizes.size(); ++i)
            EXPECT_TRUE(got[i] == patternMessage(sizes[i], seed++)) << "message " << i << " of " << sizes[i] << " bytes";
    }
    EXPECT_TRUE(log_.contains("P2PTransport: control channel received"));
    EXPECT_TRUE(log_.contains("(offerer)"));
    EXPECT_TRUE(log_.contains("(answerer)"));
}

TEST_F(P2PTransportTest, AnyChannelValueOtherThanControlIsTheVideoChannel) {
    connectPair();
    ASSERT_TRUE(sendBytes(*offerer_, static_cast<ChannelType>(7), "seven"));
    ASSERT_TRUE(waitUntil([&] { return !answererGot_.video.empty(); }));
    EXPECT_EQ(answererGot_.video.front(), QByteArray("seven"));
    EXPECT_TRUE(answererGot_.control.empty());
}

TEST_F(P2PTransportTest, TextMessagesAreIgnored) {
    connectPair();
    ASSERT_TRUE(P2PTransportTestAccess::sendText(*offerer_, ChannelType::Control, "text on control"));
    ASSERT_TRUE(P2PTransportTestAccess::sendText(*offerer_, ChannelType::Video, "text on video"));
    ASSERT_TRUE(P2PTransportTestAccess::sendText(*answerer_, ChannelType::Control, "text back"));
    // Binary messages sent after the text arrive after it on the same ordered channels.
    ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Control, "binary"));
    ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Video, "binary"));
    ASSERT_TRUE(sendBytes(*answerer_, ChannelType::Control, "binary"));
    ASSERT_TRUE(waitUntil(
        [&] { return answererGot_.control.size() + answererGot_.video.size() + offererGot_.control.size() >= 3; }));
    test::runEventsFor(100ms);
    EXPECT_EQ(answererGot_.control, std::vector<QByteArray>{"binary"});
    EXPECT_EQ(answererGot_.video, std::vector<QByteArray>{"binary"});
    EXPECT_EQ(offererGot_.control, std::vector<QByteArray>{"binary"});
    EXPECT_TRUE(offerer_->isConnected());
    EXPECT_TRUE(answerer_->isConnected());
}

TEST_F(P2PTransportTest, BufferedAmountRisesAndDrains) {
    P2PTransport idle;
    EXPECT_EQ(idle.bufferedAmount(ChannelType::Control), 0u);
    EXPECT_FALSE(sendBytes(idle, ChannelType::Control, "x"));

    connectPair();
    EXPECT_EQ(offerer_->bufferedAmount(ChannelType::Video), 0u);
    const QByteArray big = patternMessage(16 * 1024 * 1024, 1);
    std::uint64_t peak = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Video, big));
        peak = std::max(peak, offerer_->bufferedAmount(ChannelType::Video));
    }
    EXPECT_GT(peak, 1024u * 1024u);
    ASSERT_TRUE(waitUntil([&] { return offerer_->bufferedAmount(ChannelType::Video) == 0; }, 20s));
    ASSERT_TRUE(waitUntil([&] { return answererGot_.video.size() == 3; }));
    EXPECT_TRUE(answererGot_.video.back() == big);
}

// Resident memory of this process in bytes, from the kernel's own accounting.
std::uint64_t residentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

// A receiver whose event loop stops (a nested wait, a slow decode) holds the sender back through
// the network instead of piling up what arrives: memory stays bounded, the sender's buffered
// amount rises while it waits, and once the receiver runs again every message arrives whole and
// in order. The receiver lives on its own thread so that only its loop stops.
TEST_F(P2PTransportTest, BlockedReceiverHoldsTheSenderBackWithinBoundedMemory) {
#if defined(UNDER_ADDRESS_SANITIZER)
    GTEST_SKIP() << "resident memory means nothing under AddressSanitizer (its quarantine keeps what is freed)";
#endif
    constexpr int kMessages = 128;
    constexpr std::size_t kSize = 1024 * 1024;
    constexpr std::uint64_t kSenderHighWater = 4 * kSize;

    QThread receiverThread;
    receiverThread.start();
    offerer_ = std::make_unique<P2PTransport>();
    auto* answerer = new P2PTransport;
    // What is looked at is the flow, not liveness: a slow (sanitizer) build must not end the
    // connection while the receiver sleeps.
    offerer_->setLiveness({1s, 30s});
    answerer->setLiveness({1s, 30s});
    answerer->moveToThread(&receiverThread);
    test::wireSignaling(*offerer_, *answerer);
    std::atomic<int> received{0};
    std::atomic<bool> intact{true};
    QObject::connect(answerer, &ITransport::dataReceived, answerer, [&](ChannelType, const QByteArray& data) {
        if (data != patternMessage(kSize, static_cast<std::uint32_t>(received.load()))) intact = false;
        ++received;
    });
    QMetaObject::invokeMethod(answerer, [answerer] { answerer->startAsAnswerer(); }, Qt::BlockingQueuedConnection);
    offerer_->startAsOfferer();
    const auto answererUp = [answerer] {
        bool up = false;
        QMetaObject::invokeMethod(answerer, [&] { up = answerer->isConnected(); }, Qt::BlockingQueuedConnection);
        return up;
    };
    ASSERT_TRUE(waitUntil([&] { return offerer_->isConnected() && answererUp(); }));

    const std::uint64_t baseline = residentBytes();
    std::uint64_t peak = baseline;
    std::uint64_t bufferedWhileBlocked = 0;
    std::atomic<bool> blocked{false};
    bool blockPosted = false;
    int sent = 0;
    int sentWhileBlocked = 0;
    QElapsedTimer limit;
    limit.start();
    while (received < kMessages && limit.elapsed() < 60000) {
        while (sent < kMessages && offerer_->bufferedAmount(ChannelType::Video) < kSenderHighWater)
            ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Video, patternMessage(kSize, static_cast<std::uint32_t>(sent++))));
        if (!blockPosted && received >= 8) {
            blockPosted = true;
            QMetaObject::invokeMethod(answerer, [&] {
                blocked = true;
                std::this_thread::sleep_for(4s);
                blocked = false;
            });
        }
        if (blocked) bufferedWhileBlocked = std::max(bufferedWhileBlocked, offerer_->bufferedAmount(ChannelType::Video));
        if (blocked) sentWhileBlocked = sent;
        peak = std::max(peak, residentBytes());
        test::runEventsFor(5ms);
    }
    std::printf("  blocked receiver: resident growth %.1f MiB, sender buffered while blocked %.1f MiB, sent by then %d\n",
                (peak - baseline) / 1048576.0, bufferedWhileBlocked / 1048576.0, sentWhileBlocked);
    EXPECT_EQ(received, kMessages);
    EXPECT_TRUE(intact);
    EXPECT_EQ(sent, kMessages);
    // Held back, not drained: the sender's buffer stayed full and most messages waited for the
    // receiver to run again.
    EXPECT_GE(bufferedWhileBlocked, kSenderHighWater);
    EXPECT_LT(sentWhileBlocked, kMessages / 2);
    EXPECT_LT(peak - baseline, 64u * 1024 * 1024);
    EXPECT_TRUE(offerer_->isConnected());
    QMetaObject::invokeMethod(answerer, [answerer] { delete answerer; }, Qt::BlockingQueuedConnection);
    receiverThread.quit();
    receiverThread.wait();
}

TEST_F(P2PTransportTest, SendRefusesMoreThanSixteenMebibytes) {
    connectPair();
    const QByteArray tooBig(16 * 1024 * 1024 + 1, 'x');
    EXPECT_FALSE(sendBytes(*offerer_, ChannelType::Video, tooBig));
    EXPECT_TRUE(log_.contains("P2PTransport::send failed: message of 16777217 bytes exceeds 16777216"));
    EXPECT_TRUE(offerer_->isConnected());
}

TEST_F(P2PTransportTest, PeerCloseDisconnectsTheOtherSidePromptly) {
    connectPair();
    QElapsedTimer elapsed;
    elapsed.start();
    offerer_->disconnect();
    EXPECT_FALSE(offerer_->isConnected());
    // Well before the 6 s liveness time-out: the closing itself reaches the peer.
    ASSERT_TRUE(waitUntil([&] { return answererGot_.disconnectedCount == 1; }, 5s));
    EXPECT_LT(elapsed.elapsed(), 4000);
    EXPECT_FALSE(answerer_->isConnected());
    EXPECT_EQ(offererGot_.disconnectedCount, 0);  // disconnect() itself emits nothing
    test::runEventsFor(200ms);
    EXPECT_EQ(answererGot_.disconnectedCount, 1);  // once per connection
}

// What was sent before disconnect() reaches the peer before it hears of the close, even with
// megabytes queued ahead of it on the other channel: a session's last word is not lost. (The
// video goes out for as long as the close allows; on a slow machine the tail of it may not.)
TEST_F(P2PTransportTest, DisconnectDeliversWhatWasSentBeforeIt) {
    connectPair();
    const QByteArray chunk = patternMessage(1024 * 1024, 5);
    constexpr int kChunks = 12;
    for (int i = 0; i < kChunks; ++i) ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Video, chunk));
    ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Control, "last word"));
    offerer_->disconnect();
    ASSERT_TRUE(waitUntil([&] { return answererGot_.disconnectedCount == 1; }, 10s));
    ASSERT_EQ(answererGot_.control.size(), 1u);
    EXPECT_EQ(answererGot_.control.front(), QByteArray("last word"));
    EXPECT_LE(answererGot_.video.size(), static_cast<std::size_t>(kChunks));
    for (const QByteArray& message : answererGot_.video) EXPECT_TRUE(message == chunk);
    EXPECT_EQ(offererGot_.disconnectedCount, 0);
}

// A slot connected directly to disconnected() may call back into the transport.
TEST_F(P2PTransportTest, DisconnectedSlotMayCallBackIntoTheTransport) {
    connectPair();
    bool calledBack = false;
    QObject::connect(answerer_.get(), &ITransport::disconnected, answerer_.get(), [&] {
        calledBack = !answerer_->isConnected() && answerer_->bufferedAmount(ChannelType::Control) == 0;
        answerer_->disconnect();
    });
    offerer_->disconnect();
    ASSERT_TRUE(waitUntil([&] { return calledBack; }));
}

TEST_F(P2PTransportTest, RestartsAfterDisconnect) {
    connectPair();
    offerer_->disconnect();
    answerer_->disconnect();
    answerer_->startAsAnswerer();
    offerer_->startAsOfferer();
    ASSERT_TRUE(waitUntil([&] { return offerer_->isConnected() && answerer_->isConnected(); }));
    ASSERT_TRUE(sendBytes(*answerer_, ChannelType::Control, "again"));
    ASSERT_TRUE(waitUntil([&] { return !offererGot_.control.empty(); }));
    EXPECT_EQ(offererGot_.control.back(), QByteArray("again"));
}

// Work the library posted before disconnect() belongs to the closed attempt: none of it reaches
// the restarted one.
TEST_F(P2PTransportTest, WorkPostedBeforeDisconnectIsDroppedAfterRestart) {
    connectPair();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Control, patternMessage(100, i)));
    // Let the messages arrive and be posted, without running the event loop that delivers them.
    std::this_thread::sleep_for(300ms);
    answerer_->disconnect();
    answerer_->startAsAnswerer();
    test::runEventsFor(300ms);
    EXPECT_TRUE(answererGot_.control.empty());
    EXPECT_EQ(answererGot_.connectedCount, 1);
    EXPECT_FALSE(answerer_->isConnected());
}

TEST_F(P2PTransportTest, MessagesPostedBeforeDestructionAreNotDelivered) {
    connectPair();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Video, patternMessage(200000, i)));
    std::this_thread::sleep_for(200ms);
    int delivered = 0;
    QObject::connect(answerer_.get(), &ITransport::dataReceived, [&] { ++delivered; });
    answerer_.reset();
    test::runEventsFor(200ms);
    EXPECT_EQ(delivered, 0);
}

// Destroying either end with messages in flight both ways, mid-negotiation or mid-transfer, is
// clean (the sanitizer build checks the memory side).
TEST_F(P2PTransportTest, DestructionWithMessagesInFlightIsClean) {
    connectPair();
    const QByteArray chunk = patternMessage(1024 * 1024, 3);
    for (int i = 0; i < 8; ++i) {
        sendBytes(*offerer_, ChannelType::Video, chunk);
        sendBytes(*answerer_, ChannelType::Video, chunk);
        sendBytes(*offerer_, ChannelType::Control, chunk.left(1000));
    }
    test::runEventsFor(20ms);
    offerer_.reset();
    // The peer learns of it (from the closing channels, or on a slow machine by the 6 s liveness
    // time-out), and whatever it was given is whole.
    ASSERT_TRUE(waitUntil([&] { return answererGot_.disconnectedCount == 1; }, 12s));
    EXPECT_FALSE(answerer_->isConnected());
    for (const QByteArray& message : answererGot_.video) EXPECT_TRUE(message == chunk);
    for (const QByteArray& message : answererGot_.control) EXPECT_TRUE(message == chunk.left(1000));
    const std::size_t delivered = answererGot_.video.size() + answererGot_.control.size();
    test::runEventsFor(100ms);
    EXPECT_EQ(answererGot_.video.size() + answererGot_.control.size(), delivered);
    answerer_.reset();
    test::runEventsFor(100ms);

    // And while negotiating: an answerer that came up in time hears that its peer is gone.
    for (int round = 0; round < 3; ++round) {
        auto a = std::make_unique<P2PTransport>();
        auto b = std::make_unique<P2PTransport>();
        test::wireSignaling(*a, *b);
        Received got;
        got.attach(*b);
        b->startAsAnswerer();
        a->startAsOfferer();
        test::runEventsFor(std::chrono::milliseconds(round * 40));
        a.reset();
        EXPECT_TRUE(waitUntil([&] { return got.disconnectedCount == got.connectedCount; }, 5s));
        EXPECT_FALSE(b->isConnected());
        EXPECT_TRUE(got.video.empty() && got.control.empty());
        b.reset();
    }
}

// SCTP heartbeats, which no application sees, are what hold a silent connection: both ends stay
// connected well past the liveness time-out without a message between them.
TEST_F(P2PTransportTest, ASilentLivePeerStaysConnectedPastTheLivenessTimeout) {
    P2PTransport a;
    P2PTransport b;
    a.setLiveness({100ms, 1000ms});
    b.setLiveness({100ms, 1000ms});
    test::wireSignaling(a, b);
    Received aGot;
    Received bGot;
    aGot.attach(a);
    bGot.attach(b);
    b.startAsAnswerer();
    a.startAsOfferer();
    ASSERT_TRUE(waitUntil([&] { return a.isConnected() && b.isConnected(); }));
    test::runEventsFor(2500ms);
    EXPECT_TRUE(a.isConnected());
    EXPECT_TRUE(b.isConnected());
    EXPECT_EQ(aGot.disconnectedCount + bGot.disconnectedCount, 0);
    EXPECT_TRUE(aGot.video.empty() && aGot.control.empty() && bGot.video.empty() && bGot.control.empty());
}

TEST_F(P2PTransportTest, PeerSuppliedGarbageIsALoggedWarning) {
    P2PTransport transport;
    transport.setRemoteDescription("v=0", "offer");
    transport.addRemoteCandidate("candidate:1 1 UDP 1 127.0.0.1 9 typ host", "0");
    EXPECT_TRUE(log_.contains("P2PTransport: setRemoteDescription called with no PeerConnection"));
    EXPECT_TRUE(log_.contains("P2PTransport: addRemoteCandidate called with no PeerConnection"));

    transport.startAsAnswerer();
    const std::vector<std::pair<QString, QString>> descriptions = {
        {"", "offer"},
        {"not sdp at all", "offer"},
        {"v=0\r\no=- 0 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n", "offer"},  // no media
        {QString(100000, QChar('m')), "answer"},
        {"v=0\r\n", "pranswer"},
        {QString::fromUtf8("v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:\xff\r\n"), "offer"},
    };
    for (const auto& [sdp, type] : descriptions) transport.setRemoteDescription(sdp, type);
    const std::vector<std::pair<QString, QString>> candidates = {
        {"", "0"},
        {"garbage", "0"},
        {"candidate:1 1 UDP 1 127.0.0.1 9 typ host\r\na=mid:0", "0"},
        {"candidate:x y z", "0"},
        {"candidate:1 1 UDP 1 127.0.0.1 9 typ host", "no-such-mid"},
        {QString(5000, QChar('c')), "0"},
    };
    for (const auto& [candidate, mid] : candidates) transport.addRemoteCandidate(candidate, mid);
    test::runEventsFor(300ms);
    EXPECT_TRUE(log_.contains("is not a usable session description, ignored"));
    EXPECT_TRUE(log_.contains("P2PTransport: malformed remote ICE candidate ignored"));
    EXPECT_FALSE(transport.isConnected());
}

// Each candidate adds pairs for ICE to check: a peer that trickles without end is cut off, and
// the connection carries on.
TEST_F(P2PTransportTest, AFloodOfRemoteCandidatesIsCutOff) {
    connectPair();
    for (int i = 0; i < 200; ++i)
        answerer_->addRemoteCandidate(
            QString("candidate:%1 1 UDP 100 127.0.0.1 %2 typ host").arg(i).arg(20000 + i), "0");
    ASSERT_TRUE(waitUntil([&] { return log_.contains("PeerConnection: more than 128 remote ICE candidates"); }));
    ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Control, "still"));
    ASSERT_TRUE(waitUntil([&] { return !answererGot_.control.empty(); }));
    EXPECT_TRUE(answerer_->isConnected());
}

TEST_F(P2PTransportTest, TurnSettingsDefaultUntilSet) {
    P2PTransport transport;
    EXPECT_EQ(transport.turnServerConfig().port, 5349u);
    EXPECT_EQ(transport.turnServerConfig().username, "veltrix");
    EXPECT_TRUE(transport.turnServerConfig().password.empty());
    TurnServerConfig config{"turn.example.test", 5350, "user", "secret"};
    transport.setTurnServerConfig(config);
    EXPECT_EQ(transport.turnServerConfig().host, "turn.example.test");
    EXPECT_EQ(transport.turnServerConfig().password, "secret");

    // The deployment's TURN relay, as the local backend writes it, is the default host and port.
    std::ofstream(root_.path() / "instance.ini", std::ios::app) << "\n[turn]\nhost=127.0.0.1\nport=40001\n";
    P2PTransport configured;
    EXPECT_EQ(configured.turnServerConfig().host, "127.0.0.1");
    EXPECT_EQ(configured.turnServerConfig().port, 40001u);
    EXPECT_TRUE(configured.turnServerConfig().password.empty());

    // Credentials without a host (the manager's defaults with a password) keep that server.
    configured.setTurnServerConfig({"", 5349, "user", "secret"});
    EXPECT_EQ(configured.turnServerConfig().host, "127.0.0.1");
    EXPECT_EQ(configured.turnServerConfig().port, 40001u);
    EXPECT_EQ(configured.turnServerConfig().username, "user");
    EXPECT_EQ(configured.turnServerConfig().password, "secret");
}

// The STUN servers are the instance's [stun] ones, which the heartbeat's NAT probe also asks.
TEST_F(P2PTransportTest, OnlyTheFirstStunServerIsUsed) {
    std::ofstream(root_.path() / "instance.ini", std::ios::trunc)
        << "[stun]\nhost=127.0.0.1\nsecondary_host=127.0.0.2\nport=3478\n\n[p2p]\nlocalAddresses=127.0.0.1\n";
    P2PTransport transport;
    transport.startAsOfferer();
    EXPECT_TRUE(waitUntil([&] { return log_.contains("P2PTransport: STUN server 127.0.0.2:3478 not used"); }));
}

// Relay-only ICE: the only candidates are coturn's relayed addresses, reached over TURN over TLS
// (the coturn here takes no plain TCP, so TURN over TCP would gather nothing).
TEST_F(P2PTransportTest, RelayOnlyThroughTurnOverTlsCarriesTheSameMessages) {
    const test::TestCertificates certificates = test::makeTestCertificates(root_.path() / "certs");
    test::CoturnServer turn(root_.path() / "turn", certificates.serverCertificate, certificates.serverKey, "veltrix",
                            "turn-secret");
    ASSERT_TRUE(turn.running()) << "coturn did not start";
    // The TURN server's certificate comes from the test CA, which the instance trusts.
    std::ofstream(root_.path() / "instance.ini", std::ios::trunc)
        << "[stun]\nhost=\n\n[p2p]\nlocalAddresses=127.0.0.1\niceTransportPolicy=relay\n\n[tls]\nextra_ca_file="
        << certificates.caCertificate.string() << "\n";

    offerer_ = std::make_unique<P2PTransport>();
    answerer_ = std::make_unique<P2PTransport>();
    const TurnServerConfig config{"127.0.0.1", turn.tlsPort(), "veltrix", "turn-secret"};
    offerer_->setTurnServerConfig(config);
    answerer_->setTurnServerConfig(config);
    std::vector<QString> candidates;
    QObject::connect(offerer_.get(), &IP2PTransport::localCandidateReady,
                     [&](const QString& candidate, const QString&) { candidates.push_back(candidate); });
    test::wireSignaling(*offerer_, *answerer_);
    offererGot_.attach(*offerer_);
    answererGot_.attach(*answerer_);
    answerer_->startAsAnswerer();
    offerer_->startAsOfferer();
    ASSERT_TRUE(waitUntil([&] { return offerer_->isConnected() && answerer_->isConnected(); }));
    ASSERT_FALSE(candidates.empty());
    for (const QString& candidate : candidates) EXPECT_TRUE(candidate.contains(" typ relay")) << candidate.toStdString();

    const std::vector<std::size_t> sizes = {1, 64 * 1024, 1024 * 1024, 16 * 1024 * 1024};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        ASSERT_TRUE(sendBytes(*offerer_, ChannelType::Video, patternMessage(sizes[i], i)));
        ASSERT_TRUE(sendBytes(*answerer_, ChannelType::Control, patternMessage(sizes[i], 100 + i)));
    }
    ASSERT_TRUE(waitUntil(
        [&] { return answererGot_.video.size() == sizes.size() && offererGot_.control.size() == sizes.size(); }, 30s));
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_TRUE(answererGot_.video[i] == patternMessage(sizes[i], i)) << sizes[i];
        EXPECT_TRUE(offererGot_.control[i] == patternMessage(sizes[i], 100 + i)) << sizes[i];
    }
}

// A TURN server is offered to ICE only with a password, and reached only over TLS to a
// certificate this system trusts for its host: with relay-only ICE and a real TURN server
// listening, only the settings with the password and the trusted CA gather relayed candidates,
// and the log says why the others do not.
TEST_F(P2PTransportTest, TurnServerNeedsAPasswordAndATrustedCertificate) {
    const test::TestCertificates certificates = test::makeTestCertificates(root_.path() / "certs");
    test::CoturnServer turn(root_.path() / "turn", certificates.serverCertificate, certificates.serverKey, "veltrix",
                            "turn-secret");
    ASSERT_TRUE(turn.running()) << "coturn did not start";
    struct Case {
        const char* what;
        std::string password;
        bool trustTestCa;
        const char* logged;
    };
    // The refused certificate first: a TLS session once set up with a trusted server is resumed
    // later without showing the certificate again.
    const std::vector<Case> cases = {
        {"certificate from an unknown CA", "turn-secret", false,
         "P2PTransport: the TURN server's certificate is not trusted for 127.0.0.1"},
        {"password, trusted certificate", "turn-secret", true, nullptr},
        {"no password", "", true, "P2PTransport: no TURN server offered: no TURN password set"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream config(root_.path() / "instance.ini", std::ios::trunc);
        config << "[stun]\nhost=\n\n[p2p]\nlocalAddresses=127.0.0.1\niceTransportPolicy=relay\n";
        if (c.trustTestCa) config << "\n[tls]\nextra_ca_file=" << certificates.caCertificate.string() << "\n";
        config.close();
        P2PTransport offerer;
        offerer.setTurnServerConfig({"127.0.0.1", turn.tlsPort(), "veltrix", c.password});
        int candidates = 0;
        QObject::connect(&offerer, &IP2PTransport::localCandidateReady, [&] { ++candidates; });
        offerer.startAsOfferer();
        if (c.logged) {
            EXPECT_TRUE(waitUntil([&] { return log_.contains(c.logged); }, 5s));
            test::runEventsFor(1000ms);
            EXPECT_EQ(candidates, 0);
        } else {
            EXPECT_TRUE(waitUntil([&] { return candidates > 0; }, 10s));
        }
    }
}

// ---- A peer in another process, to be killed -------------------------------------------------

// Signaling between the test and its child peer: one line per item on the child's stdin and
// stdout, "P2P D <type> <base64 sdp>" or "P2P C <mid> <base64 candidate>".
QByteArray signalingLine(char kind, const QString& first, const QString& payload) {
    return "P2P " + QByteArray(1, kind) + ' ' + first.toUtf8() + ' ' + payload.toUtf8().toBase64() + '\n';
}

template <typename Deliver>
void parseSignalingLine(const QByteArray& line, Deliver&& deliver) {
    const QList<QByteArray> parts = line.trimmed().split(' ');
    if (parts.size() != 4 || parts[0] != "P2P") return;
    deliver(parts[1], QString::fromUtf8(parts[2]), QString::fromUtf8(QByteArray::fromBase64(parts[3])));
}

// Runs only as the child of PeerThatVanishesIsDisconnectedWithinTheLivenessTimeout.
TEST(P2PChildPeer, Answerer) {
    if (!std::getenv("VELTRIX_P2P_CHILD")) GTEST_SKIP() << "runs as a child process only";
    test::TempInstanceRoot root;
    test::writeLoopbackP2PConfig(root.path());
    P2PTransport transport;
    QObject::connect(&transport, &IP2PTransport::localDescriptionReady, [](const QString& sdp, const QString& type) {
        std::cout << signalingLine('D', type, sdp).constData() << std::flush;
    });
    QObject::connect(&transport, &IP2PTransport::localCandidateReady, [](const QString& candidate, const QString& mid) {
        std::cout << signalingLine('C', mid, candidate).constData() << std::flush;
    });
    QObject::connect(&transport, &ITransport::dataReceived, [&](ChannelType channel, const QByteArray& data) {
        transport.send(channel, reinterpret_cast<const std::uint8_t*>(data.constData()), data.size());  // echo
    });
    transport.startAsAnswerer();
    std::thread reader([&transport] {
        std::string line;
        while (std::getline(std::cin, line)) {
            QMetaObject::invokeMethod(&transport, [&transport, line = QByteArray::fromStdString(line)] {
                parseSignalingLine(line, [&](const QByteArray& kind, const QString& first, const QString& payload) {
                    if (kind == "D") transport.setRemoteDescription(payload, first);
                    if (kind == "C") transport.addRemoteCandidate(payload, first);
                });
            });
        }
    });
    reader.detach();  // the parent kills this process; it never returns normally
    test::runEventsFor(20s);
    std::_Exit(0);
}

TEST_F(P2PTransportTest, PeerThatVanishesIsDisconnectedWithinTheLivenessTimeout) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELTRIX_P2P_CHILD", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=P2PChildPeer.Answerer"});
    ASSERT_TRUE(child.waitForStarted(5000));

    P2PTransport offerer;
    offerer.setLiveness({200ms, 2000ms});  // room for a child slowed by a busy machine
    Received got;
    got.attach(offerer);
    QObject::connect(&offerer, &IP2PTransport::localDescriptionReady, [&](const QString& sdp, const QString& type) {
        child.write(signalingLine('D', type, sdp));
    });
    QObject::connect(&offerer, &IP2PTransport::localCandidateReady, [&](const QString& candidate, const QString& mid) {
        child.write(signalingLine('C', mid, candidate));
    });
    QObject::connect(&child, &QProcess::readyReadStandardOutput, [&] {
        while (child.canReadLine()) {
            parseSignalingLine(child.readLine(), [&](const QByteArray& kind, const QString& first, const QString& payload) {
                if (kind == "D") offerer.setRemoteDescription(payload, first);
                if (kind == "C") offerer.addRemoteCandidate(payload, first);
            });
        }
    });
    offerer.startAsOfferer();
    ASSERT_TRUE(waitUntil([&] { return offerer.isConnected(); }));
    ASSERT_TRUE(sendBytes(offerer, ChannelType::Video, "ping"));
    ASSERT_TRUE(waitUntil([&] { return !got.video.empty(); }));
    EXPECT_EQ(got.video.front(), QByteArray("ping"));

    // Still connected while the peer lives and is silent, longer than the liveness time-out:
    // its SCTP stack answers the heartbeats.
    test::runEventsFor(3000ms);
    EXPECT_TRUE(offerer.isConnected());

    ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(waitUntil([&] { return got.disconnectedCount == 1; }, 6s));
    EXPECT_LT(elapsed.elapsed(), 4000);
    EXPECT_TRUE(log_.contains("P2PTransport: nothing heard from the peer for"));
    child.waitForFinished(2000);
}

}  // namespace
}  // namespace veltrix

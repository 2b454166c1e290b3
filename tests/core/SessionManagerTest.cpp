// Two session managers, Master and Target, each with its own REST client and signaling socket,
// through the local backend with real crypto and real transports.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

#include "core/ChatService.h"
#include "core/ControlMessageType.h"
#include "core/FileTransferService.h"
#include "shared/SharedFrameBuffer.h"
#include "platform/InstancePaths.h"
#include "support/InteractiveUser.h"
#include "support/LogCapture.h"
#include "support/RawAomStream.h"
#include "support/SessionsFile.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"
#include "core/SessionTestDevice.h"
#include "FileTransferTestSupport.h"

using namespace std::chrono_literals;

namespace veltrix {
namespace {

using test::waitUntil;
namespace fs = std::filesystem;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

class SessionManagerTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture log;
    test::RunningBackend backend{{"--no-turn"}};
    std::unique_ptr<test::SessionTestDevice> master;
    std::unique_ptr<test::SessionTestDevice> target;

    // A failed test shows what the two managers logged.
    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : log.lines()) std::cerr << "  log: " << line << "\n";
    }

    QUrl apiUrl() const { return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(backend.apiPort())); }

    // Both devices online; the Target holds `secure` and `ephemeral` as its passwords.
    void bringUp(bool relayOnly, const QString& secure, const QString& ephemeral) {
        ASSERT_TRUE(backend.start()) << backend.output().toStdString();
        test::writeSessionInstanceConfig(root.path(), backend, relayOnly);
        master = std::make_unique<test::SessionTestDevice>(apiUrl());
        target = std::make_unique<test::SessionTestDevice>(apiUrl());
        ASSERT_TRUE(master->bringOnline("master", apiUrl()));
        ASSERT_TRUE(target->bringOnline("target", apiUrl()));
        target->acceptAutoAccepts();
        target->manager.setSessionPasswords(secure, ephemeral);
        const auto p2pTimeout = relayOnly ? 800ms : 15s;
        master->manager.setP2PTimeout(p2pTimeout);
        target->manager.setP2PTimeout(p2pTimeout);
    }

    void connectWith(const QString& password) {
        master->manager.initiateSession(target->clientId(), password);
        ASSERT_TRUE(waitUntil([&] {
            return master->state() == SessionState::Connected && target->state() == SessionState::Connected;
        }, 40s)) << "master " << int(master->state()) << ", target " << int(target->state());
    }

    // Both devices online and connected over the relay with the one password "pass-1".
    void connectOverTheRelay() {
        bringUp(true, QString(), "pass-1");
        if (HasFatalFailure()) return;
        connectWith("pass-1");
    }

    // Connected over the relay, with `record` following the Master's file transfers.
    void connectForTransfers(test::TransferRecord& record) {
        connectOverTheRelay();
        if (HasFatalFailure()) return;
        FileTransferService* files = master->manager.fileTransferService();
        ASSERT_NE(files, nullptr);
        record.attach(*files);
    }

    // Sends `command` from one side and waits until the other has handled it.
    void deliver(test::SessionTestDevice& from, const std::string& command) {
        const std::string seen = "Session command received: " + command;
        const std::size_t before = log.count(seen);
        ASSERT_TRUE(SessionManagerTestPeer::sendCommand(from.manager, command)) << command;
        ASSERT_TRUE(waitUntil([&] { return log.count(seen) > before; }, 10s)) << command;
    }

    // Writes AV1 packets into the Target's capture section (through `agent`, else through the
    // Target's own object) one by one, each after the previous one reached the Master (decoded,
    // or counted as a miss).
    void streamPackets(const std::vector<std::vector<std::uint8_t>>& packets, int width, int height,
                       SharedFrameBuffer* agent = nullptr) {
        SharedFrameBuffer* section = agent ? agent : target->manager.captureSection();
        ASSERT_NE(section, nullptr);
        for (const auto& packet : packets) {
            const std::size_t frames = master->frames.size();
            const int missed = master->manager.missedFrames();
            ASSERT_TRUE(section->writeEncodedFrame(width, height, 0, false, packet.data(), packet.size()));
            ASSERT_TRUE(waitUntil([&] {
                return master->frames.size() > frames || master->manager.missedFrames() != missed;
            }, 10s));
        }
    }

    // Streams one 64 x 64 frame of each of `colours`; each arrives decoded at the Master in
    // order, its luma kept, and none is missed.
    void expectUniformFramesArrive(const std::vector<test::PlaneValues>& colours, SharedFrameBuffer* agent = nullptr) {
        streamPackets(test::encodeUniformFrames({64, 64}, colours), 64, 64, agent);
        ASSERT_EQ(master->frames.size(), colours.size());
        for (std::size_t i = 0; i < colours.size(); ++i) {
            SCOPED_TRACE(i);
            const DecodedFrame& frame = *master->frames[i];
            EXPECT_EQ(frame.width, 64);
            EXPECT_EQ(frame.height, 64);
            EXPECT_NEAR(frame.y[frame.y.size() / 2], colours[i].y, 3);
        }
        EXPECT_EQ(master->manager.missedFrames(), 0);
    }
};

TEST_F(SessionManagerTest, OnePasswordHandshakeConnectsBothSidesOverTheRelay) {
    bringUp(true, QString(), "ephemeral-1");
    connectWith("ephemeral-1");
    EXPECT_EQ(master->manager.transportMethod(), "relay");
    EXPECT_EQ(target->manager.transportMethod(), "relay");
    EXPECT_EQ(master->manager.role(), SessionRole::Master);
    EXPECT_EQ(target->manager.role(), SessionRole::Target);
    EXPECT_EQ(master->manager.remoteClientId(), target->clientId());
    EXPECT_EQ(target->manager.remoteClientId(), master->clientId());
    EXPECT_EQ(master->manager.sessionId(), target->manager.sessionId());
    const std::vector<SessionState> expected{SessionState::Initiating, SessionState::Handshaking,
                                             SessionState::Connecting, SessionState::Connected};
    EXPECT_EQ(master->states, expected);
    // The Master's first control packet, the key-frame request, reaches the Target.
    EXPECT_TRUE(waitUntil([&] { return target->keyFrameRequests > 0; }, 10s));
    EXPECT_TRUE(master->errors.isEmpty()) << master->errors.join("; ").toStdString();

    // DISCONNECT on one side brings both back to Idle, the partner by the "disconnect" command.
    master->manager.endSession("user_disconnect");
    EXPECT_EQ(master->state(), SessionState::Idle);
    ASSERT_TRUE(waitUntil([&] { return target->state() == SessionState::Idle; }, 10s));
    EXPECT_TRUE(log.contains("(reason: remote_disconnect)"));
    EXPECT_TRUE(target->manager.sessionId().isEmpty());
    EXPECT_EQ(target->manager.role(), SessionRole::None);
}

// A partner that vanishes (its link gone without the "disconnect" of an ending session) fails the
// session, which the viewing side retries; one that ends it ends it as Idle (above).
TEST_F(SessionManagerTest, APartnerThatVanishesFailsTheSession) {
    connectOverTheRelay();
    ASSERT_TRUE(waitUntil([&] { return target->keyFrameRequests > 0; }, 10s));
    // The partner was heard from (a partner never heard from is taken for a wrong password).
    deliver(*target, "monitor_count:1");
    SessionManagerTestPeer::dropTransport(target->manager);
    ASSERT_TRUE(waitUntil([&] { return master->state() == SessionState::Failed; }, 20s))
        << "master " << int(master->state());
    EXPECT_EQ(master->states.back(), SessionState::Failed);
    EXPECT_EQ(std::count(master->states.begin(), master->states.end(), SessionState::Idle), 0);
    EXPECT_TRUE(log.contains("lost: the partner's transport closed without a disconnect"));
    EXPECT_FALSE(log.contains("(reason: remote_disconnect)"));
    EXPECT_EQ(master->manager.role(), SessionRole::None);
}

TEST_F(SessionManagerTest, TwoPasswordsTheEphemeralTypedLocksTheSecondCandidateAtTheFirstControlPacket) {
    bringUp(true, "secure-password-1", "eph-123");
    connectWith("eph-123");
    EXPECT_TRUE(log.contains("SPAKE2: offering 2 password candidates to master"));
    ASSERT_TRUE(waitUntil([&] { return log.contains("SPAKE2: session cipher locked to matching password candidate"); }, 10s));
    // Announcements made before the lock are repeated once it holds, and new ones go out.
    int monitors = 0;
    QObject::connect(&master->manager, &SessionManager::monitorCountReceived, [&](int n) { monitors = n; });
    target->manager.advertiseMonitorCount(3);
    EXPECT_TRUE(waitUntil([&] { return monitors == 3; }, 10s));
}

TEST_F(SessionManagerTest, TheSecurePasswordTypedMatchesTheFirstCandidate) {
    bringUp(true, "secure-password-1", "eph-123");
    connectWith("secure-password-1");
    ASSERT_TRUE(waitUntil([&] { return target->keyFrameRequests > 0; }, 10s));
}

TEST_F(SessionManagerTest, AWrongPasswordFailsTheMasterAndTheTargetEndsOnItsOwn) {
    struct Case {
        QString secure, ephemeral;
    };
    // One password: the Master learns it from packets that never open; two: from the candidates'
    // confirmations at the handshake already.
    for (const Case& c : {Case{QString(), "right-password"}, Case{"secure-password-1", "right-password"}}) {
        SCOPED_TRACE(c.secure.toStdString());
        if (!master) bringUp(true, c.secure, c.ephemeral);
        target->manager.setSessionPasswords(c.secure, c.ephemeral);
        target->manager.setPacketOpenTimeout(1500ms);
        master->authFailures = 0;
        target->states.clear();
        master->manager.initiateSession(target->clientId(), "wrong-password");
        ASSERT_TRUE(waitUntil([&] { return master->authFailures > 0; }, 30s));
        EXPECT_EQ(master->authFailures, 1);
        EXPECT_EQ(master->state(), SessionState::Failed);
        EXPECT_TRUE(master->errors.isEmpty()) << master->errors.join("; ").toStdString();
        // The Target, whose partner never sends a packet that opens, does not stream for ever.
        ASSERT_TRUE(waitUntil([&] { return target->reached(SessionState::Connecting); }, 20s));
        ASSERT_TRUE(waitUntil([&] {
            return target->state() == SessionState::Idle || target->state() == SessionState::Failed;
        }, 30s)) << int(target->state());
        EXPECT_EQ(target->manager.role(), SessionRole::None);
    }
    EXPECT_TRUE(log.contains("SPAKE2: entered password matched no target candidate (wrong password)"));
}

TEST_F(SessionManagerTest, NineBadPacketsThenAGoodOneAreNoFailureTenBadAreExactlyOne) {
    connectOverTheRelay();
    const QByteArray garbage(64, '\x5a');
    for (int i = 0; i < 9; ++i) master->manager.onTransportData(ChannelType::Control, garbage);
    int monitors = 0;
    QObject::connect(&master->manager, &SessionManager::monitorCountReceived, [&](int n) { monitors = n; });
    target->manager.advertiseMonitorCount(2);
    ASSERT_TRUE(waitUntil([&] { return monitors == 2; }, 10s));
    for (int i = 0; i < 20; ++i) master->manager.onTransportData(ChannelType::Control, garbage);
    EXPECT_EQ(master->authFailures, 0);
    EXPECT_EQ(master->state(), SessionState::Connected);

    master->manager.endSession("user_disconnect");
    ASSERT_TRUE(waitUntil([&] { return target->state() == SessionState::Idle; }, 10s));
    master->states.clear();
    connectWith("pass-1");
    for (int i = 0; i < 9; ++i) master->manager.onTransportData(ChannelType::Control, garbage);
    EXPECT_EQ(master->authFailures, 0);
    master->manager.onTransportData(ChannelType::Control, garbage);
    EXPECT_EQ(master->authFailures, 1);
    EXPECT_EQ(master->state(), SessionState::Failed);
    for (int i = 0; i < 5; ++i) master->manager.onTransportData(ChannelType::Control, garbage);
    EXPECT_EQ(master->authFailures, 1);
}

TEST_F(SessionManagerTest, CapturedFramesArriveDecodedAtTheMasterOverTheRelay) {
    bringUp(true, "secure-password-1", "eph-123");
    connectWith("eph-123");
    expectUniformFramesArrive({{40, 128, 128}, {120, 100, 160}, {200, 128, 128}});
    // The Target told the Master its capture size from the section header.
    EXPECT_TRUE(log.contains("Target capture resolution: 64x64"));
}

TEST_F(SessionManagerTest, CapturedFramesArriveDecodedAtTheMasterPeerToPeer) {
    bringUp(false, QString(), "pass-1");
    connectWith("pass-1");
    EXPECT_EQ(master->manager.transportMethod(), "p2p");
    EXPECT_EQ(target->manager.transportMethod(), "p2p");
    expectUniformFramesArrive({{90, 128, 128}, {160, 128, 128}});
    EXPECT_NEAR(master->frames[1]->y[100], 160, 3);
}

// The agent's user may cut the capture section short at any time, also under the Target's poll:
// the poll drops the frame it cannot read, and the session streams on once the section is whole.
TEST_F(SessionManagerTest, ACaptureSectionShrunkByTheAgentsUserIsSurvivedByTheTargetsPoll) {
    test::makeNobodyTheInteractiveUser();
    bringUp(true, QString(), "pass-1");
    connectWith("pass-1");
    ASSERT_NE(target->manager.captureSection(), nullptr);
    const auto path = platform::paths::sectionPath(kCaptureSectionName);
    // As the admitted user: the section cut down to its first page, then a frame announced whose
    // payload lies past it.
    test::UnprivilegedChild agentUser([&] {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ::ftruncate(fd, 4096) != 0) return "cannot shrink: " + platform::SystemError::last().text();
        void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (page == MAP_FAILED) return std::string("cannot map");
        auto* header = static_cast<SharedFrameHeader*>(page);
        header->dataSize = 100000;
        header->width = 64;
        header->height = 64;
        std::atomic_ref<std::uint64_t>(header->sequence).store(1000, std::memory_order_release);
        return std::string("shrunk");
    });
    ASSERT_EQ(agentUser.result(), "shrunk");
    ASSERT_TRUE(waitUntil([&] { return SessionManagerTestPeer::lastCaptureSequence(target->manager) == 1000; }, 5s));
    EXPECT_EQ(target->state(), SessionState::Connected);
    EXPECT_TRUE(master->frames.empty());

    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kCaptureSectionSize)), 0);
    expectUniformFramesArrive({{60, 128, 128}, {180, 128, 128}});
}

// Another account that takes the capture section's name first neither stops the session's capture
// nor gets into the section the session made.
TEST_F(SessionManagerTest, ACaptureSectionNameTakenByAnotherAccountDoesNotStopTheCapture) {
    test::writeSessions({1});  // the admitted user is "daemon"; the squatter is "nobody"
    const auto path = platform::paths::sectionPath(kCaptureSectionName);
    test::UnprivilegedChild squatter([&] {
        const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        return std::string(fd >= 0 && ::ftruncate(fd, 4096) == 0 ? "taken" : "not taken");
    });
    ASSERT_EQ(squatter.result(), "taken");

    bringUp(true, QString(), "pass-1");
    connectWith("pass-1");
    ASSERT_NE(target->manager.captureSection(), nullptr);
    test::UnprivilegedChild prober([&] {
        std::string seen;
        for (const int mode : {O_RDONLY, O_RDWR}) {
            const int fd = ::open(path.c_str(), mode | O_CLOEXEC);
            seen += fd >= 0 ? "opened " : platform::SystemError::last().text() + " ";
            if (fd >= 0) ::close(fd);
        }
        return seen;
    });
    EXPECT_EQ(prober.result(), "13: Permission denied 13: Permission denied ");

    // The agent finds the session's section under the name.
    SharedFrameBuffer agent;
    ASSERT_TRUE(agent.openReadWrite(kCaptureSectionName));
    EXPECT_EQ(agent.owner(), geteuid());
    expectUniformFramesArrive({{70, 128, 128}, {150, 128, 128}}, &agent);
}

// The Target gives up on peer to peer at once and is Connected over the relay, where it announces
// its monitors; the Master waits for peer to peer and takes it. The Master's first packet, on
// peer to peer, moves the Target there, and what it announced on the relay is announced again.
TEST_F(SessionManagerTest, ATargetOnTheRelayFollowsTheMasterOntoPeerToPeerAndAnnouncesAgain) {
    bringUp(false, QString(), "pass-1");
    target->manager.setP2PTimeout(1ms);
    QObject::connect(&target->manager, &SessionManager::stateChanged, [&](SessionState state) {
        if (state == SessionState::Connected) target->manager.advertiseMonitorCount(3);
    });
    std::vector<int> monitorCounts;
    QObject::connect(&master->manager, &SessionManager::monitorCountReceived,
                     [&](int count) { monitorCounts.push_back(count); });
    connectWith("pass-1");
    ASSERT_TRUE(waitUntil([&] { return target->manager.transportMethod() == "p2p"; }, 20s));
    EXPECT_EQ(master->manager.transportMethod(), "p2p");
    EXPECT_TRUE(log.contains("Transport switched from relay to p2p"));
    ASSERT_TRUE(waitUntil([&] { return !monitorCounts.empty(); }, 10s));
    EXPECT_EQ(monitorCounts.front(), 3);
    expectUniformFramesArrive({{90, 128, 128}});
    EXPECT_EQ(target->state(), SessionState::Connected);
    EXPECT_TRUE(master->errors.isEmpty() && target->errors.isEmpty());
}

TEST_F(SessionManagerTest, KeyFramesAreRequestedAtTheFifthMissAndEverySixtiethAfter) {
    bringUp(true, QString(), "pass-1");
    // Only the schedule of misses asks for key frames here, not the start-up repeats.
    master->manager.setKeyFrameRetryInterval(600s);
    connectWith("pass-1");
    ASSERT_TRUE(waitUntil([&] { return target->keyFrameRequests == 1; }, 10s));  // the initial one
    const std::vector<std::uint8_t> junk(200, 0xee);
    auto requestsAfter = [&](int misses) {
        streamPackets(std::vector<std::vector<std::uint8_t>>(static_cast<std::size_t>(misses), junk), 64, 64);
        test::runEventsFor(200ms);
        return target->keyFrameRequests;
    };
    EXPECT_EQ(requestsAfter(4), 1);
    EXPECT_EQ(requestsAfter(1), 2);   // the fifth
    EXPECT_EQ(requestsAfter(54), 2);  // up to 59
    EXPECT_EQ(requestsAfter(1), 3);   // the sixtieth
    // A picture restarts the count.
    streamPackets(test::encodeUniformFrames({64, 64}, {{100, 128, 128}}), 64, 64);
    EXPECT_EQ(master->manager.missedFrames(), 0);
}

TEST_F(SessionManagerTest, ControlCommandsAreHandledByTheirTable) {
    connectOverTheRelay();
    std::vector<std::string> events;
    auto record = [&](const std::string& e) { events.push_back(e); };
    QObject::connect(&master->manager, &SessionManager::monitorCountReceived,
                     [&](int n) { record("monitorCount " + std::to_string(n)); });
    QObject::connect(&master->manager, &SessionManager::captureResolutionReceived,
                     [&](int w, int h) { record("capture " + std::to_string(w) + "x" + std::to_string(h)); });
    QObject::connect(&target->manager, &SessionManager::monitorSwitchRequested,
                     [&](int n) { record("switch " + std::to_string(n)); });
    QObject::connect(&target->manager, &SessionManager::encodeResolutionRequested,
                     [&](int w, int h) { record("encode " + std::to_string(w) + "x" + std::to_string(h)); });

    struct Row {
        bool toTarget;
        std::string command;
        std::string event;    // the signal it gives, empty for none
        std::string logLine;  // a line it logs, empty for none
    };
    const Row rows[] = {
        {false, "monitor_count:0", "monitorCount 1", "Target has 1 monitor(s)"},
        {false, "monitor_count:4", "monitorCount 4", ""},
        {false, "monitor_count:", "", "Invalid monitor_count command: monitor_count:"},
        {true, "monitor_count:3", "", ""},
        {true, "switch_monitor:-2", "switch 0", "Switching capture to monitor 0"},
        {true, "switch_monitor: +7", "switch 7", ""},
        {true, "switch_monitor:x", "", "Invalid switch_monitor command: switch_monitor:x"},
        {true, "switch_monitor:99999999999", "", "Invalid switch_monitor command"},
        {false, "switch_monitor:1", "", ""},
        {true, "encode_resolution:1920x1080", "encode 1920x1080", "Master requested encode resolution 1920x1080"},
        {true, "encode_resolution:auto", "encode 0x0", ""},
        {true, "encode_resolution:-5x600", "encode 0x600", ""},
        {true, "encode_resolution:1920", "", "Invalid encode_resolution command: encode_resolution:1920"},
        {true, "encode_resolution:", "", "Invalid encode_resolution command: encode_resolution:"},
        {false, "capture_resolution:0x720", "", ""},
        {false, "capture_resolution:1280", "", ""},
        {false, "capture_resolution:ax720", "", "Invalid capture_resolution: capture_resolution:ax720"},
        {false, "capture_resolution:1280x720", "capture 1280x720", "Target capture resolution: 1280x720"},
        {true, "capture_resolution:1280x720", "", ""},
        {true, "send_sas", "", "sas.dll not available — cannot fire SAS"},
        {true, "disconnected", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        events.clear();
        deliver(row.toTarget ? *master : *target, row.command);
        test::runEventsFor(20ms);
        if (row.event.empty()) {
            EXPECT_TRUE(events.empty()) << events.front();
        } else {
            EXPECT_EQ(events, std::vector<std::string>{row.event});
        }
        if (!row.logLine.empty()) {
            EXPECT_TRUE(log.contains(row.logLine));
        }
    }
    // The encode size is limited to the advertised capture size.
    events.clear();
    target->manager.advertiseCaptureResolution(1280, 720);
    ASSERT_TRUE(waitUntil([&] { return !events.empty(); }, 10s));
    EXPECT_EQ(events, (std::vector<std::string>{"capture 1280x720"}));
    events.clear();
    deliver(*master, "encode_resolution:1920x1080");
    EXPECT_EQ(events, (std::vector<std::string>{"encode 1280x720"}));
    EXPECT_EQ(master->state(), SessionState::Connected);
    EXPECT_EQ(target->state(), SessionState::Connected);

    // "disconnect" ends the receiver's session with "remote_disconnect", and its own end tells the
    // sender.
    deliver(*target, "disconnect");
    EXPECT_EQ(master->state(), SessionState::Idle);
    EXPECT_TRUE(log.contains("(reason: remote_disconnect)"));
    EXPECT_TRUE(waitUntil([&] { return target->state() == SessionState::Idle; }, 10s));
}

TEST_F(SessionManagerTest, ADisconnectWhileConnectingIsNotUndoneByALateTransportSuccess) {
    bringUp(true, QString(), "pass-1");
    master->manager.initiateSession(target->clientId(), "pass-1");
    // Connecting lasts at least the peer-to-peer time-out here, since only the relay can connect.
    ASSERT_TRUE(waitUntil([&] { return master->state() == SessionState::Connecting; }, 20s));
    master->manager.endSession("user_disconnect");
    EXPECT_EQ(master->state(), SessionState::Idle);
    // Whatever the gone transport manager had under way, and a success delivered straight to
    // the slot, as a queued one that was already posted would be.
    master->manager.onTransportEstablished("relay");
    test::runEventsFor(2s);
    EXPECT_FALSE(master->reached(SessionState::Connected));
    EXPECT_EQ(master->state(), SessionState::Idle);
}

TEST_F(SessionManagerTest, AStaleSessionsCloseReplyLeavesTheNewSessionAlone) {
    connectOverTheRelay();
    const QString first = master->manager.sessionId();
    master->manager.endSession("user_disconnect");
    ASSERT_TRUE(waitUntil([&] { return target->state() == SessionState::Idle; }, 10s));
    // The new session starts before the backend answered the old one's close.
    master->states.clear();
    connectWith("pass-1");
    EXPECT_NE(master->manager.sessionId(), first);
    // A late close or failure of the first session changes nothing either.
    emit master->api.sessionUpdated({{"session_id", first.toStdString()}, {"state", "closed"}}, "/sessions/" + first + "/close");
    emit master->api.sessionUpdated({{"state", "failed"}}, "/sessions/" + first + "/complete");
    test::runEventsFor(300ms);
    EXPECT_EQ(master->state(), SessionState::Connected);
    EXPECT_EQ(std::count(master->states.begin(), master->states.end(), SessionState::Idle), 0);
}

TEST_F(SessionManagerTest, AnAckOfAnotherSessionBeforeTheCreateReplyIsDroppedAndTheRealOneConnects) {
    bringUp(true, QString(), "pass-1");
    master->manager.initiateSession(target->clientId(), "pass-1");
    // Delivered before the event loop ran the create request's reply, naming another session:
    // held, then dropped once the reply names this one; the Target's own answer connects.
    master->manager.onHandshakeAck("early", "accepted", "some-key", QString());
    ASSERT_TRUE(waitUntil([&] {
        return master->state() == SessionState::Connected && target->state() == SessionState::Connected;
    }, 40s)) << "master " << int(master->state());
    EXPECT_TRUE(log.contains("Dropping a handshake ACK held for session early"));
    EXPECT_TRUE(master->errors.isEmpty()) << master->errors.join("; ").toStdString();
}

TEST_F(SessionManagerTest, AnOfflineTargetFailsTheSessionAtOnceWhicheverArrivesFirst) {
    bringUp(true, QString(), "pass-1");
    target->signaling.disconnectFromServer();
    test::runEventsFor(500ms);
    // SESSION_FAILED is pushed right after the create reply; either may be read first.
    master->manager.setHandshakeTimeout(20s);
    master->manager.initiateSession(target->clientId(), "pass-1");
    ASSERT_TRUE(waitUntil([&] { return master->state() == SessionState::Failed; }, 10s));
    EXPECT_EQ(master->errors, QStringList{"Remote side is not available — no user is logged in"});
}

TEST_F(SessionManagerTest, ChatCrossesTheSessionBothWaysAndItsServicesEndWithIt) {
    connectOverTheRelay();
    ChatService* masterChat = master->manager.chatService();
    ChatService* targetChat = target->manager.chatService();
    ASSERT_NE(masterChat, nullptr);
    ASSERT_NE(targetChat, nullptr);
    ASSERT_NE(master->manager.fileTransferService(), nullptr);
    QStringList atMaster, atTarget;
    QObject::connect(masterChat, &ChatService::messageReceived, [&](const QString& t) { atMaster << t; });
    QObject::connect(targetChat, &ChatService::messageReceived, [&](const QString& t) { atTarget << t; });
    EXPECT_TRUE(masterChat->sendMessage("hello target"));
    EXPECT_TRUE(targetChat->sendMessage(QStringLiteral("grüße zurück")));
    ASSERT_TRUE(waitUntil([&] { return atMaster.size() == 1 && atTarget.size() == 1; }, 10s));
    EXPECT_EQ(atTarget, QStringList{"hello target"});
    EXPECT_EQ(atMaster, QStringList{QStringLiteral("grüße zurück")});

    // The services belong to the session: gone with it, deleted through the event loop.
    QPointer<ChatService> oldChat(masterChat);
    master->manager.endSession("user_disconnect");
    EXPECT_EQ(master->manager.chatService(), nullptr);
    EXPECT_EQ(master->manager.fileTransferService(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return target->state() == SessionState::Idle; }, 10s));
    EXPECT_FALSE(oldChat.isNull()) << "never deleted on the stack of the call that ended the session";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(oldChat.isNull());
    EXPECT_EQ(target->manager.chatService(), nullptr);
}

TEST_F(SessionManagerTest, AFileDownloadedAndUploadedThroughTheSessionKeepsItsDigest) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (the transfers run as the user nobody)";
    const test::TransferFolders folders(root.path());
    test::TransferRecord record;
    ASSERT_NO_FATAL_FAILURE(connectForTransfers(record));
    FileTransferService* files = master->manager.fileTransferService();

    const QByteArray content = test::patternBytes((3u << 20) + 17, 5);
    const QByteArray digest = test::sha256(content);
    const fs::path source = folders.served / "source.bin";
    test::writeFile(source, content);
    const fs::path downloaded = folders.saved / "downloaded.bin";
    files->requestDownload(q(source), q(downloaded));
    ASSERT_TRUE(waitUntil([&] { return !record.downloadsComplete.isEmpty() || !record.errors.isEmpty(); }, 30s));
    ASSERT_TRUE(record.errors.isEmpty()) << record.errors.join("; ").toStdString();
    EXPECT_EQ(test::sha256(test::readFile(downloaded)), digest);

    const fs::path uploaded = folders.served / "uploaded.bin";
    files->sendFile(q(downloaded), q(uploaded));
    ASSERT_EQ(record.uploadsComplete, 1) << record.errors.join("; ").toStdString();
    ASSERT_TRUE(waitUntil([&] { return fs::exists(uploaded); }, 30s));
    EXPECT_EQ(test::sha256(test::readFile(uploaded)), digest);
}

TEST_F(SessionManagerTest, ASessionEndedMidDownloadLeavesNoFileAndReportsTheFailure) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (the transfers run as the user nobody)";
    const test::TransferFolders folders(root.path());
    test::TransferRecord record;
    ASSERT_NO_FATAL_FAILURE(connectForTransfers(record));
    FileTransferService* files = master->manager.fileTransferService();
    // At 5 % the partner leaves, in whatever event loop runs next (the sender's own, most likely);
    // its "disconnect" ends the Master's session, which fails the download.
    bool ended = false;
    QObject::connect(files, &FileTransferService::fileDownloadProgress, [&](const QString&, int percent) {
        if (percent < 5 || ended) return;
        ended = true;
        QMetaObject::invokeMethod(
            &target->manager, [&] { target->manager.endSession("user_disconnect"); }, Qt::QueuedConnection);
    });

    const fs::path source = folders.served / "large.bin";
    test::writeFile(source, test::patternBytes(64u << 20));
    const fs::path saved = folders.saved / "large.bin";
    files->requestDownload(q(source), q(saved));
    ASSERT_TRUE(waitUntil([&] { return ended && target->state() == SessionState::Idle; }, 30s));
    // The partner's "disconnect" arrives before its link closes, megabytes of chunks queued ahead
    // of it or not: the session ends, it is not lost.
    ASSERT_TRUE(waitUntil([&] { return master->state() == SessionState::Idle; }, 10s))
        << "master " << int(master->state());
    EXPECT_EQ(record.errors, QStringList{"Download of " + q(source) + " failed: the session ended"});
    EXPECT_TRUE(record.downloadsComplete.isEmpty());
    EXPECT_FALSE(fs::exists(saved));
    EXPECT_TRUE(fs::is_empty(folders.saved)) << "no temporary file is left either";
}

TEST_F(SessionManagerTest, ClipboardFilesAreAnnouncedOnlyFromAFolderThePartnerMadeThisSession) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (the transfers run as the user nobody)";
    const test::TransferFolders folders(root.path());
    connectOverTheRelay();
    QStringList announced;
    QObject::connect(&target->manager, &SessionManager::clipboardFilesReceived,
                     [&](const QString& stagingRoot, const QStringList& names) {
                         announced << stagingRoot + ": " + names.join(",");
                     });
    const QString made = q(folders.served / "stage");
    const QString existing = q(folders.served);
    const QStringList paths{made + "/a.txt", made + "/b.txt"};

    // A folder that exists but was not made by the partner is refused.
    master->manager.sendClipboardFiles(paths, existing);
    const std::string refused = "MSG_CLIPBOARD_FILES: refused unknown staging root '" + existing.toStdString() + "'";
    ASSERT_TRUE(waitUntil([&] { return log.contains(refused); }, 10s));
    EXPECT_TRUE(announced.isEmpty());

    master->manager.fileTransferService()->requestCreateDirectory(made);
    ASSERT_TRUE(waitUntil([&] { return fs::is_directory(folders.served / "stage"); }, 10s));
    master->manager.sendClipboardFiles(paths, made);
    ASSERT_TRUE(waitUntil([&] { return !announced.isEmpty(); }, 10s));
    EXPECT_EQ(announced, QStringList{made + ": a.txt,b.txt"});
}

}  // namespace
}  // namespace veltrix

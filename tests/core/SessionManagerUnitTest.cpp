// The session manager's rules that need no partner: passwords, the relay list, the early ends of
// a session and which backend replies count for it; and the control channel's payload formats.
#include <gtest/gtest.h>

#include <QUrl>

#include <filesystem>

#include "core/ApiClient.h"
#include "core/ControlMessageFormat.h"
#include "core/SessionManager.h"
#include "platform/InstancePaths.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace veltrix {
namespace {

using Json = nlohmann::json;

// A session manager without backend or partner; a Target session waits in Handshaking (no
// master key) until something ends it.
class SessionManagerUnitTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture log;
    ApiClient api{QUrl("https://127.0.0.1:1")};
    SessionManager manager{&api, nullptr};
    QStringList errors;
    std::vector<SessionState> states;

    void SetUp() override {
        QObject::connect(&manager, &SessionManager::sessionError, [this](const QString& e) { errors << e; });
        QObject::connect(&manager, &SessionManager::stateChanged, [this](SessionState s) { states.push_back(s); });
    }
    void TearDown() override { QObject::disconnect(&manager, nullptr, nullptr, nullptr); }

    void startTargetSession(const QString& id = "session-1") {
        manager.acceptHandshakeRequest(id, "123456789", QString(), QString(), QString());
        ASSERT_EQ(manager.state(), SessionState::Handshaking);
    }
};

TEST_F(SessionManagerUnitTest, PasswordCandidatesPutTheSecurePasswordFirst) {
    struct Case {
        QString secure, ephemeral;
        QStringList candidates;
        QString sessionPassword;
    };
    const Case cases[] = {
        {"secure-1", "eph-1", {"secure-1", "eph-1"}, "secure-1"},
        {"same", "same", {"same"}, "same"},
        {QString(), "eph-1", {"eph-1"}, "eph-1"},
        {"secure-1", QString(), {"secure-1"}, "secure-1"},
        {QString(), QString(), {}, QString()},
    };
    for (const Case& c : cases) {
        manager.setSessionPasswords(c.secure, c.ephemeral);
        EXPECT_EQ(manager.passwordCandidates(), c.candidates) << c.secure.toStdString();
        EXPECT_EQ(manager.sessionPassword(), c.sessionPassword);
    }
}

TEST_F(SessionManagerUnitTest, RelayListGivesCandidatesAndTheFirstCompleteTurnData) {
    const Json list = Json::parse(R"([
        {"relay_id": "r1", "ip": "10.0.0.1", "port": 443, "turn_username": "u", "turn_port": 3478},
        {"relay_id": "r2", "ip": "10.0.0.2", "port": 0, "turn_username": "u2", "turn_password": "p2", "turn_port": 5349},
        {"ip": "10.0.0.3", "port": "443", "turn_ip": "turn.example", "turn_username": "u3", "turn_password": "p3",
         "turn_port": 3478},
        "not an object",
        {"relay_id": "r4", "ip": "10.0.0.4", "port": 8443}
    ])");
    TurnServerConfig turn;
    turn.host = "default.turn";
    const QList<RelayCandidate> candidates = SessionManager::readRelayCandidates(list, turn);
    ASSERT_EQ(candidates.size(), 2);
    EXPECT_EQ(candidates[0].relayId, "r1");
    EXPECT_EQ(candidates[0].host, "10.0.0.1");
    EXPECT_EQ(candidates[0].port, 443);
    EXPECT_EQ(candidates[0].rank, -1);
    EXPECT_EQ(candidates[1].relayId, "r4");
    // The first element lacks a password; the second, not a relay node itself, has complete TURN
    // data without "turn_ip", so its own address is the TURN host.
    EXPECT_EQ(turn.host, "10.0.0.2");
    EXPECT_EQ(turn.port, 5349u);
    EXPECT_EQ(turn.username, "u2");
    EXPECT_EQ(turn.password, "p2");

    TurnServerConfig untouched;
    untouched.host = "default.turn";
    EXPECT_TRUE(SessionManager::readRelayCandidates(Json(), untouched).isEmpty());
    EXPECT_EQ(untouched.host, "default.turn");
    EXPECT_TRUE(untouched.password.empty());
}

TEST_F(SessionManagerUnitTest, InitiatingOutsideARestingStateIsRefused) {
    startTargetSession();
    manager.initiateSession("987654321", "pw");
    EXPECT_EQ(errors, QStringList{"Cannot initiate session: not idle"});
    EXPECT_EQ(manager.role(), SessionRole::Target);
    EXPECT_EQ(manager.state(), SessionState::Handshaking);
}

TEST_F(SessionManagerUnitTest, SessionFailedActsOnlyForTheCurrentSessionWithTheReasonsText) {
    struct Case {
        QString reason;
        QString text;
    };
    const Case cases[] = {
        {"agent_starting", "Remote side is starting up — please try again in a few seconds"},
        {"target_unavailable", "Remote side is not available — no user is logged in"},
        {"busy", "Connection failed: busy"},
    };
    for (const Case& c : cases) {
        errors.clear();
        startTargetSession();
        manager.onSessionFailed("another-session", c.reason);
        EXPECT_EQ(manager.state(), SessionState::Handshaking);
        manager.onSessionFailed("session-1", c.reason);
        EXPECT_EQ(manager.state(), SessionState::Failed);
        EXPECT_EQ(errors, QStringList{c.text});
        EXPECT_EQ(manager.role(), SessionRole::None);
    }
}

TEST_F(SessionManagerUnitTest, OnlyThisSessionsSetUpRequestsCanFailIt) {
    startTargetSession();
    // A close of any session, and a request of another session, are not this session's set-up.
    emit api.requestError("/sessions/session-1/close", 404, "Session not found");
    emit api.requestError("/sessions/old-session/handshake-ack", 409, "Session is no longer active");
    emit api.requestError("/sessions/create", 500, "stale create");
    EXPECT_EQ(manager.state(), SessionState::Handshaking);
    EXPECT_TRUE(errors.isEmpty());
    emit api.requestError("/sessions/session-1/handshake-ack", 409, "Session is no longer active");
    EXPECT_EQ(manager.state(), SessionState::Failed);
    EXPECT_EQ(errors, QStringList{"Session is no longer active"});
}

TEST_F(SessionManagerUnitTest, OnlyTheReplyToThisSessionsRequestCanEndIt) {
    startTargetSession();
    const QString ack = "/sessions/session-1/handshake-ack";
    // A close of any session, a reply of another session's request, and a reply that names
    // another session are not this session's.
    emit api.sessionUpdated(Json{{"state", "closed"}}, "/sessions/session-1/close");
    emit api.sessionUpdated(Json{{"state", "failed"}}, "/sessions/earlier/handshake-ack");
    emit api.sessionUpdated(Json{{"session_id", "earlier"}, {"state", "failed"}}, ack);
    emit api.sessionUpdated(Json::array(), "/sessions/earlier/complete");
    EXPECT_EQ(manager.state(), SessionState::Handshaking);
    // The reply to the acknowledgement counts once, whatever it holds.
    emit api.sessionUpdated(Json{{"session_id", "session-1"}, {"state", 7}}, ack);
    emit api.sessionUpdated(Json{{"state", "failed"}}, ack);
    EXPECT_EQ(manager.state(), SessionState::Handshaking);

    // With or without the session id in it.
    startTargetSession("session-2");
    emit api.sessionUpdated(Json{{"state", "failed"}}, "/sessions/session-2/handshake-ack");
    EXPECT_EQ(manager.state(), SessionState::Failed);
    EXPECT_TRUE(log.contains("Session ended by server: failed"));
    startTargetSession("session-3");
    emit api.sessionUpdated(Json{{"session_id", "session-3"}, {"state", "closed"}}, "/sessions/session-3/handshake-ack");
    EXPECT_EQ(manager.state(), SessionState::Idle);
}

TEST_F(SessionManagerUnitTest, ATargetWithoutTheMastersKeyFailsAtTheHandshakeTimeOut) {
    // Without a REST client, so the acknowledgement's failure cannot end the session first.
    SessionManager bare(nullptr, nullptr);
    QStringList bareErrors;
    QObject::connect(&bare, &SessionManager::sessionError, [&](const QString& e) { bareErrors << e; });
    bare.setHandshakeTimeout(100ms);
    bare.acceptHandshakeRequest("session-1", "123456789", QString(), QString(), QString());
    ASSERT_TRUE(test::waitUntil([&] { return bare.state() == SessionState::Failed; }, 5s));
    EXPECT_EQ(bareErrors, QStringList{"Connection timed out — remote side did not respond"});
    EXPECT_TRUE(log.contains("Handshake timeout (30s)"));
    QObject::disconnect(&bare, nullptr, nullptr, nullptr);
}

TEST_F(SessionManagerUnitTest, AFailedAcknowledgementFailsTheTargetsSession) {
    startTargetSession();
    ASSERT_TRUE(test::waitUntil([&] { return manager.state() == SessionState::Failed; }, 10s));
    EXPECT_EQ(errors.size(), 1);
    EXPECT_TRUE(log.contains("API error during session setup: "));
}

TEST_F(SessionManagerUnitTest, ANewRequestWhileHandshakingDropsTheOldSessionAndStartsTheNew) {
    startTargetSession("old");
    manager.acceptHandshakeRequest("new", "111222333", QString(), QString(), QString());
    EXPECT_EQ(manager.sessionId(), "new");
    EXPECT_EQ(manager.remoteClientId(), "111222333");
    EXPECT_EQ(states, (std::vector<SessionState>{SessionState::Handshaking, SessionState::Idle,
                                                 SessionState::Handshaking}));
    EXPECT_TRUE(log.contains("Ending previous session (state=Handshaking) to accept new one"));
}

// The clean-up after a session removes pasted files older than an hour from the staging folder.
TEST_F(SessionManagerUnitTest, EndingASessionPurgesStalePasteStagingFolders) {
    namespace fs = std::filesystem;
    const fs::path staging = platform::paths::pasteStagingDir();
    fs::create_directories(staging / "old" / "inner");
    fs::create_directories(staging / "young");
    fs::last_write_time(staging / "old", fs::file_time_type::clock::now() - std::chrono::hours(2));
    startTargetSession();
    manager.endSession("user_disconnect");
    EXPECT_FALSE(fs::exists(staging / "old"));
    EXPECT_TRUE(fs::exists(staging / "young"));
}

TEST_F(SessionManagerUnitTest, EndingARestingSessionDoesNothing) {
    manager.endSession("user_disconnect");
    EXPECT_TRUE(states.empty());
    EXPECT_FALSE(log.contains("Ending session"));
}

TEST_F(SessionManagerUnitTest, AnnouncementsAreStoredInAnyRoleAndClampedToOne) {
    manager.advertiseMonitorCount(0);
    EXPECT_EQ(manager.advertisedMonitorCount(), 1);
    manager.advertiseCaptureResolution(0, 720);
    EXPECT_EQ(manager.advertisedCaptureWidth(), 0);
    manager.advertiseCaptureResolution(1280, 720);
    EXPECT_EQ(manager.advertisedCaptureWidth(), 1280);
    EXPECT_EQ(manager.advertisedCaptureHeight(), 720);
}

TEST(ControlMessageFormat, CommandNumbersReadLikeTheCLibrary) {
    struct Case {
        const char* text;
        std::optional<int> value;
    };
    const Case cases[] = {
        {"0", 0},          {"42", 42},          {" 7", 7},       {"+3", 3},          {"-2", -2},
        {"12abc", 12},     {"", std::nullopt},  {"x", std::nullopt}, {"-", std::nullopt},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"2147483648", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parseCommandNumber(c.text), c.value) << c.text;
    EXPECT_EQ(parseCommandSize("1920x1080"), std::make_pair(1920, 1080));
    EXPECT_EQ(parseCommandSize("1920"), std::nullopt);
    EXPECT_EQ(parseCommandSize("axb"), std::nullopt);
}

TEST(ControlMessageFormat, ClipboardFilesRoundTripAndRefuseWhatDoesNotFit) {
    const std::string payload = buildClipboardFiles({"C:/a/one.txt", "/b/two.bin", "dir/"}, "C:/Stage/1");
    ClipboardFilesMessage message;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    ASSERT_EQ(parseClipboardFiles(bytes, payload.size(), message), ClipboardFilesStatus::Ok);
    EXPECT_EQ(message.paths, (QStringList{"one.txt", "two.bin"})) << "names only: the local folders stay here";
    EXPECT_EQ(payload.find("C:/a"), std::string::npos);
    EXPECT_EQ(message.stagingRoot, "C:/Stage/1");
    EXPECT_EQ(clipboardFileNames({"C:/a/one.txt", "/b/two.bin", "dir/"}), (QStringList{"one.txt", "two.bin"}));
    EXPECT_EQ(clipboardFileNames({"C:\\x\\y.doc"}), QStringList{"y.doc"});

    // Every cut short of the whole payload is malformed (or too short for a count).
    for (std::size_t cut = 0; cut < payload.size(); ++cut) {
        EXPECT_NE(parseClipboardFiles(bytes, cut, message), ClipboardFilesStatus::Ok) << cut;
    }
    EXPECT_EQ(parseClipboardFiles(bytes, 3, message), ClipboardFilesStatus::BadCount);

    const std::string empty = buildClipboardFiles({}, "C:/Stage/2");
    ASSERT_EQ(parseClipboardFiles(reinterpret_cast<const std::uint8_t*>(empty.data()), empty.size(), message),
              ClipboardFilesStatus::Ok);
    EXPECT_TRUE(message.paths.isEmpty());

    std::string tooMany = empty;
    tooMany[0] = static_cast<char>(0xe9);  // 1001
    tooMany[1] = 0x03;
    EXPECT_EQ(parseClipboardFiles(reinterpret_cast<const std::uint8_t*>(tooMany.data()), tooMany.size(), message),
              ClipboardFilesStatus::BadCount);
    const std::string noRoot = buildClipboardFiles({"a"}, QString());
    EXPECT_EQ(parseClipboardFiles(reinterpret_cast<const std::uint8_t*>(noRoot.data()), noRoot.size(), message),
              ClipboardFilesStatus::Malformed);
}

}  // namespace
}  // namespace veltrix

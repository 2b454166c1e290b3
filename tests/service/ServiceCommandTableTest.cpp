// The pipe's command table over a real pipe, with the service's own objects behind it (an idle
// session manager, an identity never logged in): each command's reply and effect, the clamps,
// the administrator-only commands, unknown types and wrongly typed members.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/ApiClient.h"
#include "core/AuthController.h"
#include "core/HeartbeatService.h"
#include "core/SessionManager.h"
#include "core/SettingsController.h"
#include "platform/DataProtection.h"
#include "platform/InstancePaths.h"
#include "platform/PipeConnection.h"
#include "platform/ProcessInfo.h"
#include "service/IpcServiceMessages.h"
#include "service/ServiceIpcServer.h"
#include "shared/IpcFrameReader.h"
#include "support/HostilePartner.h"
#include "support/LogCapture.h"
#include "support/SessionsFile.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"
#include "support/WaitUntil.h"
#include "transport/SignalingClient.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

// Reads every complete message that is waiting on a client connection.
std::vector<IpcMessage> drain(platform::PipeConnection& connection, IpcFrameReader& reader) {
    std::vector<IpcMessage> messages;
    for (;;) {
        const auto peek = connection.peek();
        if (peek.status != platform::PipeStatus::Ok || peek.bytes == 0) break;
        char* room = reader.prepare(peek.bytes);
        const auto read = connection.read(room, peek.bytes);
        reader.commit(read.status == platform::PipeStatus::Ok ? read.bytes : 0);
        if (read.status != platform::PipeStatus::Ok) break;
    }
    IpcMessage message;
    std::string error;
    while (reader.next(message, error) == IpcFrameReader::Status::Message) messages.push_back(message);
    return messages;
}

class CommandTable : public ::testing::Test {
protected:
    void SetUp() override {
        server.setClientProgramPath(platform::process::ownProgramPath());
        server.start();
        platform::SystemError error;
        client = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
        ASSERT_TRUE(client.isOpen()) << error.text();
        for (int i = 0; i < 50 && !server.isAgentConnected(); ++i) server.pollPipe();
        ASSERT_TRUE(server.isAgentConnected());
        const auto greeting = drain(client, reader);
        ASSERT_EQ(greeting.size(), 1u);
        EXPECT_EQ(greeting[0]["type"], "STATE");
    }

    // Sends one raw JSON text and gives the replies.
    std::vector<IpcMessage> exchangeText(const std::string& text) {
        std::string frame(4, '\0');
        encodeIpcLength(static_cast<std::uint32_t>(text.size()), frame.data());
        frame += text;
        EXPECT_EQ(client.write(frame).status, platform::PipeStatus::Ok);
        server.pollPipe();
        return drain(client, reader);
    }
    std::vector<IpcMessage> exchange(const IpcMessage& command) { return exchangeText(command.dump()); }

    // The device's identity objects, never logged in: the backend address leads nowhere.
    test::TempInstanceRoot root;
    test::LogCapture logs;
    SettingsController settings;
    ApiClient api{QUrl("https://127.0.0.1:1")};
    SignalingClient signaling;
    HeartbeatService heartbeat{api};
    AuthController auth{api, signaling, heartbeat, settings};
    SessionManager session{&api, &signaling};
    ServiceIpcServer server{&auth, &session, &settings, &api, &signaling};
    platform::PipeConnection client;
    IpcFrameReader reader{0x4000000};
};

struct Case {
    const char* name;
    std::string command;                   // JSON text sent
    std::string replyType;                 // "" = no reply
    std::string replyText;                 // expected "message" or "error" of the reply, when given
    std::function<bool(SettingsController&)> effect;  // checked after the reply, when given
    std::string logLine;                   // a log line the command must write, when given
};

TEST_F(CommandTable, EachCommandRepliesAndActsAsListed) {
    settings.setUnattendedAccessEnabled(false);
    const std::vector<Case> cases = {
        {"connect without target", R"({"type":"CONNECT"})", "ERROR", "Missing target_id", {},
         "CONNECT command missing target_id"},
        {"connect with a numeric target", R"({"type":"CONNECT","target_id":123456789})", "ERROR", "Missing target_id"},
        // Without a session these reach the idle session manager and change nothing.
        {"disconnect", R"({"type":"DISCONNECT"})", "", "", {}, "IPC DISCONNECT (reason=user_disconnect)"},
        {"input without event", R"({"type":"INPUT"})", ""},
        {"input with a wrongly typed event", R"({"type":"INPUT","event":[1,2]})", ""},
        {"chat with empty text", R"({"type":"CHAT_SEND","text":""})", ""},
        {"chat with a numeric text", R"({"type":"CHAT_SEND","text":7})", ""},
        {"get state", R"({"type":"GET_STATE"})", "STATE"},
        {"monitor 99 is 15", R"({"type":"SET_MONITOR","monitor_index":99})", "", "",
         [](SettingsController& s) { return s.monitorIndex() == 15; }},
        {"monitor -3 is 0", R"({"type":"SET_MONITOR","monitor_index":-3})", "", "",
         [](SettingsController& s) { return s.monitorIndex() == 0; }},
        {"monitor 1e300 is 15", R"({"type":"SET_MONITOR","monitor_index":1e300})", "", "",
         [](SettingsController& s) { return s.monitorIndex() == 15; }},
        {"monitor as text is the default 0", R"({"type":"SET_MONITOR","monitor_index":"4"})", "", "",
         [](SettingsController& s) { return s.monitorIndex() == 0; }},
        {"remote monitor switch clamped", R"({"type":"SWITCH_REMOTE_MONITOR","monitor_index":40})", "", "", {},
         "IPC SWITCH_REMOTE_MONITOR -> 15"},
        {"secure attention sequence", R"({"type":"SEND_SAS_TO_REMOTE"})", "", "", {}, "IPC SEND_SAS_TO_REMOTE"},
        {"encode resolution clamped", R"({"type":"SET_REMOTE_ENCODE_RESOLUTION","width":10000,"height":5000})",
         "", "", {}, "IPC SET_REMOTE_ENCODE_RESOLUTION -> 7680x4320"},
        {"encode resolution fitted to the frame section", R"({"type":"SET_REMOTE_ENCODE_RESOLUTION","width":7680,"height":4320})",
         "", "", {}, "IPC SET_REMOTE_ENCODE_RESOLUTION: 7680x4320 exceeds the frame section, asking for 4458x2508"},
        {"encode resolution that fits is kept", R"({"type":"SET_REMOTE_ENCODE_RESOLUTION","width":3840,"height":2160})",
         "", "", {}, "IPC SET_REMOTE_ENCODE_RESOLUTION -> 3840x2160"},
        {"capture initialized with 0 monitors", R"({"type":"CAPTURE_INITIALIZED","width":1920,"height":-1,"monitor_count":0})",
         "", "", {}, "IPC CAPTURE_INITIALIZED -> 1920x0, 1 monitor(s)"},
        {"display mode", R"({"type":"SET_DISPLAY_MODE","mode":1})", "", "",
         [](SettingsController& s) { return s.displayMode() == 1 && s.encoderFps() == 20; }},
        {"clipboard sharing off", R"({"type":"SET_CLIPBOARD_SHARING","enabled":false})", "", "",
         [](SettingsController& s) { return !s.clipboardSharingEnabled(); }},
        {"clipboard sharing defaults to on", R"({"type":"SET_CLIPBOARD_SHARING","enabled":"no"})", "", "",
         [](SettingsController& s) { return s.clipboardSharingEnabled(); }},
        {"unattended access by an administrator", R"({"type":"SET_UNATTENDED_ACCESS","enabled":true})", "STATE", "",
         [](SettingsController& s) { return s.unattendedAccessEnabled(); }, "IPC: unattended access set to true"},
        {"regenerate password", R"({"type":"REGENERATE_PASSWORD"})", "STATE", "", {},
         "IPC: ephemeral password regenerated by agent"},
        {"clear secure password", R"({"type":"CLEAR_SECURE_PASSWORD"})", "STATE", "", {},
         "IPC: secure password cleared by agent"},
        {"secure password against the policy", R"({"type":"SET_SECURE_PASSWORD","password":"short"})", "", "", {},
         "IPC: SET_SECURE_PASSWORD rejected: Secure password must be at least 8 characters."},
        {"company clients before log-in", R"({"type":"GET_COMPANY_CLIENTS"})", "COMPANY_CLIENTS",
         "Not part of a company"},
        {"list without a session", R"({"type":"FILE_LIST_DIR","path":"C:\\"})", "FILE_ERROR", "No active session"},
        {"download without a session", R"({"type":"FILE_DOWNLOAD"})", "FILE_ERROR", "No active session"},
        {"upload without a session", R"({"type":"FILE_UPLOAD","local_path":1})", "FILE_ERROR", "No active session"},
        {"create dir without a session", R"({"type":"FILE_CREATE_DIR"})", "FILE_ERROR", "No active session"},
        {"clipboard files", R"({"type":"SET_REMOTE_CLIPBOARD_FILES","source_paths":"x"})", ""},
        {"unknown type", R"({"type":"FOO"})", "ERROR", "Unknown command: FOO", {}, "IPC: unknown command type 'FOO'"},
        {"type not a string", R"({"type":5})", "", "", {}, "IPC command 'type' is not a string"},
        {"no type", R"({"target_id":"1"})", "", "", {}, "IPC command missing 'type' field"},
        {"not an object", R"([1,2,3])", "", "", {}, "IPC command missing 'type' field"},
        // Last: it starts a session (towards a backend that is not there).
        {"connect", R"({"type":"CONNECT","target_id":"123456789","password":"pw"})", "STATE", "", {},
         "IPC CONNECT -> target=123456789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        const auto replies = exchangeText(c.command);
        if (c.replyType.empty()) {
            EXPECT_TRUE(replies.empty()) << replies.front().dump();
        } else {
            ASSERT_EQ(replies.size(), 1u);
            EXPECT_EQ(replies[0]["type"], c.replyType);
            if (!c.replyText.empty()) {
                const char* key = replies[0].contains("message") ? "message" : "error";
                EXPECT_EQ(replies[0][key], c.replyText);
            }
        }
        if (c.effect) {
            EXPECT_TRUE(c.effect(settings));
        }
        if (!c.logLine.empty()) {
            EXPECT_TRUE(logs.contains(c.logLine)) << c.logLine;
        }
        EXPECT_TRUE(server.isAgentConnected());
    }
}

TEST_F(CommandTable, StateReportsTheSettingsTheIdentityAndNoSession) {
    settings.setMonitorIndex(2);
    settings.setDisplayMode(1);
    const auto replies = exchange({{"type", "GET_STATE"}});
    ASSERT_EQ(replies.size(), 1u);
    const IpcMessage& state = replies[0];
    EXPECT_EQ(state["authenticated"], false);
    EXPECT_EQ(state["session_password"], auth.ephemeralPassword().toStdString());
    EXPECT_GE(state["session_password"].get<std::string>().size(), 7u);
    EXPECT_EQ(state["has_secure_password"], false);
    EXPECT_EQ(state["session_state"], "Idle");
    EXPECT_EQ(state["session_role"], "none");
    EXPECT_EQ(state["capture_monitor"], 2);
    EXPECT_EQ(state["display_mode"], 1);
    for (const char* key : {"client_id", "session_password", "has_secure_password", "pairing_hash", "session_id",
                            "remote_client_id", "transport_method", "company_name", "clipboard_sharing",
                            "unattended_access"}) {
        EXPECT_TRUE(state.contains(key)) << key;
    }
}

TEST_F(CommandTable, PasswordCommandsChangeWhatStateReports) {
    const std::string before = auth.ephemeralPassword().toStdString();
    auto replies = exchange({{"type", "REGENERATE_PASSWORD"}});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["session_password"], auth.ephemeralPassword().toStdString());
    // Two draws of a seven- or eight-character password practically never agree twice in a row.
    if (replies[0]["session_password"] == before) {
        replies = exchange({{"type", "REGENERATE_PASSWORD"}});
        EXPECT_NE(replies.at(0)["session_password"], before);
    }

    replies = exchange({{"type", "SET_SECURE_PASSWORD"}, {"password", "Secret#123"}});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["has_secure_password"], true);
    EXPECT_EQ(auth.securePassword(), "Secret#123");
    EXPECT_TRUE(logs.contains("IPC: secure password updated by agent"));

    // Refused by the policy: nothing on the pipe, the old password stays.
    EXPECT_TRUE(exchange({{"type", "SET_SECURE_PASSWORD"}, {"password", "alllowercase1!"}}).empty());
    EXPECT_EQ(auth.securePassword(), "Secret#123");

    // A store that fails drops the old secure password too; the agent hears of it.
    std::filesystem::remove(platform::protection::machineKeyPath());
    std::filesystem::create_directories(platform::protection::machineKeyPath());
    replies = exchange({{"type", "SET_SECURE_PASSWORD"}, {"password", "Other#Pass2"}});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["type"], "STATE");
    EXPECT_EQ(replies[0]["has_secure_password"], false);
    EXPECT_TRUE(logs.contains("IPC: SET_SECURE_PASSWORD rejected: Secure password could not be stored."));
    std::filesystem::remove_all(platform::protection::machineKeyPath());

    replies = exchange({{"type", "CLEAR_SECURE_PASSWORD"}});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["has_secure_password"], false);
}

TEST_F(CommandTable, CompanyClientsAfterLogInGoToTheBackend) {
    server.onServiceAuthenticated("123456789", "Acme");
    auto replies = drain(client, reader);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["company_name"], "Acme");
    // The backend here is unreachable: the answer comes later, with an error text.
    EXPECT_TRUE(exchange({{"type", "GET_COMPANY_CLIENTS"}}).empty());
    test::waitUntil([&] {
        for (auto& message : drain(client, reader)) replies.push_back(message);
        return replies.size() >= 2;
    }, 10s);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1]["type"], "COMPANY_CLIENTS");
    EXPECT_FALSE(replies[1].contains("clients"));
    EXPECT_TRUE(replies[1]["error"].is_string());
}

TEST_F(CommandTable, DesktopChangedIsLoggedAndSignalledOnlyFromTheAgentTheServiceLaunched) {
    std::vector<std::pair<QString, QString>> changes;
    QObject::connect(&server, &ServiceIpcServer::desktopChanged,
                     [&](QString newName, QString oldName) { changes.emplace_back(newName, oldName); });
    const IpcMessage report{{"type", "DESKTOP_CHANGED"}, {"new", "Winlogon"}, {"old", "Default"}};
    // Console mode: the service launched no agent, so no client's report swaps anything.
    EXPECT_TRUE(exchange(report).empty());
    EXPECT_TRUE(changes.empty());
    EXPECT_TRUE(logs.contains("IPC DESKTOP_CHANGED refused: pipe client pid=" + std::to_string(getpid())));

    // The client is the agent the service launched into the session it acts for.
    server.setLaunchedAgentLookup([](pid_t pid) {
        return pid == getpid() ? std::optional<LaunchedAgent>(LaunchedAgent{0, true}) : std::nullopt;
    });
    EXPECT_TRUE(exchange(report).empty());
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].first, "Winlogon");
    EXPECT_EQ(changes[0].second, "Default");
    EXPECT_TRUE(logs.contains("IPC DESKTOP_CHANGED: Default -> Winlogon"));
}

TEST_F(CommandTable, TargetSessionStartsAndStopsCaptureAndForgetsTheEncodeSize) {
    settings.setDisplayMode(1);
    server.forwardEncodeResolution(1280, 720);
    auto replies = drain(client, reader);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["type"], "SET_ENCODE_RESOLUTION");

    server.applySessionStateChange(SessionState::Connected, SessionRole::Target);
    replies = drain(client, reader);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0]["type"], "STATE");
    EXPECT_EQ(replies[1], IpcMessage::parse(R"({"type":"START_CAPTURE","fps":20,"crf":45,"preset":"13",
        "bitrate_kbps":1500,"monitor_index":0,"encode_width":1280,"encode_height":720})"));

    server.applySessionStateChange(SessionState::Closing, SessionRole::Target);
    replies = drain(client, reader);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1]["type"], "STOP_CAPTURE");
    EXPECT_EQ(server.startCaptureMessage()["encode_width"], 0);

    // A master session never drives the agent's capture.
    server.applySessionStateChange(SessionState::Connected, SessionRole::Master);
    replies = drain(client, reader);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["type"], "STATE");
}

// A Target session that fails after its clean-up (here: the handshake times out) is reported
// with the role already reset; the agent must still be told to stop capturing.
TEST(CommandTableWithSession, EveryEndOfATargetSessionStopsTheAgentsCapture) {
    test::TempInstanceRoot root;
    test::LogCapture logs;
    SettingsController settings;
    ApiClient api{QUrl("https://127.0.0.1:1")};
    SignalingClient signaling;
    SessionManager session{&api, &signaling};
    ServiceIpcServer server{nullptr, &session, &settings, &api, &signaling};
    server.setClientProgramPath(platform::process::ownProgramPath());
    server.start();
    platform::SystemError error;
    platform::PipeConnection client = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
    ASSERT_TRUE(client.isOpen()) << error.text();
    for (int i = 0; i < 50 && !server.isAgentConnected(); ++i) server.pollPipe();
    ASSERT_TRUE(server.isAgentConnected());
    IpcFrameReader reader{0x400000};
    drain(client, reader);

    server.forwardEncodeResolution(1280, 720);
    session.setHandshakeTimeout(50ms);
    // No ECDH key from the master: the Target waits in Handshaking for the time-out.
    session.acceptHandshakeRequest("session-1", "123456789", QString(), QString(), QString());
    ASSERT_EQ(session.role(), SessionRole::Target);
    ASSERT_TRUE(test::waitUntil([&] { return session.state() == SessionState::Failed; }, 5s));
    EXPECT_EQ(session.role(), SessionRole::None);
    std::vector<std::string> types;
    for (const IpcMessage& message : drain(client, reader)) types.push_back(message.value("type", ""));
    EXPECT_NE(std::find(types.begin(), types.end(), "STOP_CAPTURE"), types.end());
    EXPECT_EQ(server.startCaptureMessage()["encode_width"], 0);
}

// A viewing session whose partner connects with the right keys and then sends nothing fails
// with its own text, which the client hears as ERROR; it is no wrong password (no AUTH_FAILED).
TEST(CommandTableWithSession, ASilentPartnerReachesTheViewerAsItsOwnErrorNotAsAWrongPassword) {
    test::TempInstanceRoot root;
    test::LogCapture logs;
    SettingsController settings;
    SessionManager session{nullptr, nullptr};
    test::HostilePartner partner{session};
    ServiceIpcServer server{nullptr, &session, &settings, nullptr, nullptr};
    server.setClientProgramPath(platform::process::ownProgramPath());
    server.start();
    platform::SystemError error;
    platform::PipeConnection client = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
    ASSERT_TRUE(client.isOpen()) << error.text();
    for (int i = 0; i < 50 && !server.isAgentConnected(); ++i) server.pollPipe();
    ASSERT_TRUE(server.isAgentConnected());
    IpcFrameReader reader{0x400000};
    drain(client, reader);

    session.setPacketOpenTimeout(200ms);
    ASSERT_TRUE(partner.connectVictimAsMaster());
    ASSERT_TRUE(test::waitUntil([&] { return session.state() == SessionState::Failed; }, 10s));
    std::vector<IpcMessage> errors;
    bool authFailed = false;
    for (const IpcMessage& message : drain(client, reader)) {
        if (message.value("type", "") == "ERROR") errors.push_back(message);
        if (message.value("type", "") == "AUTH_FAILED") authFailed = true;
    }
    EXPECT_FALSE(authFailed);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["message"], "Remote side sent nothing — its screen cannot be shared right now");

    // The shared side's user started nothing and is told nothing.
    drain(client, reader);
    ASSERT_TRUE(partner.connectVictimAsTarget());
    ASSERT_TRUE(test::waitUntil([&] { return session.state() == SessionState::Failed; }, 10s));
    for (const IpcMessage& message : drain(client, reader)) {
        EXPECT_NE(message.value("type", ""), "ERROR");
        EXPECT_NE(message.value("type", ""), "AUTH_FAILED");
    }
}

TEST_F(CommandTable, ForwardersCarryTheSessionsEvents) {
    InputEvent event;
    event.type = InputEvent::MouseDown;
    event.mouse_x = 0.25;
    event.mouse_button = 2;
    server.forwardInputEvent(event);
    server.forwardRemoteClipboardFiles("C:\\Stage", {"a.txt", "b.txt"});
    server.forwardCompanyClients(200, IpcMessage{{"company_name", "Acme"}, {"clients", {1, 2}}});
    server.forwardCompanyClients(403, IpcMessage{{"detail", "Forbidden"}});
    server.forwardCompanyClients(500, IpcMessage("oops"));
    const auto replies = drain(client, reader);
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies[0]["type"], "INPUT_INJECT");
    EXPECT_EQ(replies[0]["event"]["mouse_button"], 2);
    EXPECT_EQ(replies[0]["event"]["mouse_x"], 0.25);
    EXPECT_EQ(replies[1]["file_names"], IpcMessage({"a.txt", "b.txt"}));
    EXPECT_EQ(replies[2]["company_name"], "Acme");
    EXPECT_EQ(replies[2]["clients"], IpcMessage({1, 2}));
    EXPECT_EQ(replies[3]["error"], "Forbidden");
    EXPECT_EQ(replies[4]["error"], "Failed to load company clients");
}

TEST(CommandTableAdmin, PrivilegedCommandsAreRefusedForAnotherUser) {
    test::TempInstanceRoot root;
    std::filesystem::permissions(root.path(), std::filesystem::perms(0755));
    test::writeSessions({test::UnprivilegedChild::kNobody});
    SettingsController settings;
    settings.setUnattendedAccessEnabled(false);
    ServiceIpcServer server{nullptr, nullptr, &settings, nullptr, nullptr};
    server.setClientProgramPath(platform::process::ownProgramPath());
    server.start();

    test::UnprivilegedChild child([] {
        platform::SystemError error;
        auto connection = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
        if (!connection.isOpen()) return std::string("connect failed: ") + error.text();
        for (const char* command : {R"({"type":"SET_UNATTENDED_ACCESS","enabled":true})",
                                    R"({"type":"SET_SECURE_PASSWORD","password":"Secret#123"})"}) {
            connection.write(encodeIpcFrame(IpcMessage::parse(command)));
        }
        // STATE on connecting, then one ERROR per command.
        IpcFrameReader reader(0x4000000);
        std::string replies;
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& message : drain(connection, reader)) replies += message.dump() + "\n";
            if (std::count(replies.begin(), replies.end(), '\n') >= 3) break;
            std::this_thread::sleep_for(5ms);
        }
        return replies;
    });
    while (!child.finished()) {
        server.pollPipe();
        std::this_thread::sleep_for(2ms);
    }
    const std::string replies = child.result();
    EXPECT_NE(replies.find(R"("type":"STATE")"), std::string::npos) << replies;
    EXPECT_NE(replies.find("Administrator rights are required to change unattended access"), std::string::npos)
        << replies;
    EXPECT_NE(replies.find("Administrator rights are required to change the secure password"), std::string::npos)
        << replies;
    EXPECT_FALSE(settings.unattendedAccessEnabled());
}

}  // namespace
}  // namespace veltrix

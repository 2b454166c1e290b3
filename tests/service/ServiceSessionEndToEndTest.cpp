// Two VeltrixService programs in console mode, devices A and B in their own instance folders,
// against the local backend: a pipe client on A connects to B with B's session password, both
// report the session Connected, chat, a file upload and a staged paste from A's client cross the
// session, and DISCONNECT on A brings both back to Idle.
#include <gtest/gtest.h>

#include <QProcess>
#include <QString>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "service/ServiceIpcServer.h"
#include "shared/IpcMessage.h"
#include "support/RemoteSessionRig.h"
#include "support/RunningBackend.h"
#include "support/ServiceDevice.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"
// Last: it includes Xlib.
#include "support/XScreen.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::DecodedPicture;
using test::exchange;
using test::firstOf;
using test::messagesOf;
using test::readDecodedFrame;
using test::startProbe;
using test::talk;
using Device = test::ServiceDevice;

TEST(ServiceSessionEndToEnd, TwoDevicesConnectThroughTheBackendAndDisconnectAgain) {
    test::TempInstanceRoot root;
    Device a;
    Device b;
    a.prepare(root.path() / "a", "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    b.prepare(root.path() / "b", "b0b1b2b3b4b5b6b7b8b9babbbcbdbebf");
    test::RunningBackend backend({"--no-turn", "--instance", QString::fromStdString(a.root.string()), "--instance",
                                  QString::fromStdString(b.root.string())});
    ASSERT_TRUE(backend.start()) << backend.output().toStdString();

    const fs::path programs = root.path() / "programs";
    fs::create_directories(programs);
    fs::copy_file(VELTRIX_SERVICE_PROGRAM, programs / "VeltrixService");
    const fs::path client = programs / ServiceIpcServer::kClientProgramName;
    fs::copy_file(VELTRIX_PIPE_PROBE_PROGRAM, client);
    a.start(programs / "VeltrixService");
    b.start(programs / "VeltrixService");
    ASSERT_TRUE(a.service.waitForStarted(5000));
    ASSERT_TRUE(b.service.waitForStarted(5000));

    IpcMessage stateA, stateB;
    auto online = [&](const Device& device, IpcMessage& state) {
        state = talk(client, device, {R"({"type":"GET_STATE"})"}, 300);
        // Signaling up too: a request sent before the partner's signaling log-in finds it unavailable.
        return state.is_object() && state.value("authenticated", false) && !state.value("client_id", "").empty() &&
               device.log().find("Signaling auth confirmed") != std::string::npos;
    };
    ASSERT_TRUE(test::waitUntil([&] { return online(a, stateA) && online(b, stateB); }, 60s)) << a.log() << b.log();
    const std::string idB = stateB.value("client_id", "");
    const std::string passwordB = stateB.value("session_password", "");
    EXPECT_EQ(stateA["session_state"], "Idle");

    const IpcMessage connect{{"type", "CONNECT"}, {"target_id", idB}, {"password", passwordB}};
    talk(client, a, {QString::fromStdString(connect.dump())}, 200);
    auto sessionState = [&](const Device& device, IpcMessage& state) {
        state = talk(client, device, {R"({"type":"GET_STATE"})"}, 300);
        return state.is_object() ? state.value("session_state", "") : std::string();
    };
    ASSERT_TRUE(test::waitUntil([&] { return sessionState(a, stateA) == "Connected" && sessionState(b, stateB) == "Connected"; },
                        45s))
        << stateA.dump() << "\n" << stateB.dump() << "\n" << a.log() << b.log();
    EXPECT_EQ(stateA["session_role"], "master");
    EXPECT_EQ(stateB["session_role"], "target");
    EXPECT_EQ(stateA["remote_client_id"], idB);
    EXPECT_EQ(stateB["remote_client_id"], stateA["client_id"]);
    EXPECT_EQ(stateA["transport_method"], "p2p");
    EXPECT_EQ(stateB["transport_method"], "p2p");
    EXPECT_EQ(stateA["session_id"], stateB["session_id"]);

    // Chat from A's client reaches the client connected to B.
    QProcess listenerB;
    QByteArray heardB;
    startProbe(listenerB, client, b, {}, 4000);
    ASSERT_TRUE(test::waitUntil([&] {
        heardB += listenerB.readAllStandardOutput();
        return heardB.contains("connected\n");
    }, 10s));
    const IpcMessage chat{{"type", "CHAT_SEND"}, {"text", "hello from A"}};
    talk(client, a, {QString::fromStdString(chat.dump())}, 100);
    ASSERT_TRUE(listenerB.waitForFinished(10000));
    heardB += listenerB.readAllStandardOutput();
    const IpcMessage chatAtB = firstOf(messagesOf(heardB), "CHAT_MSG");
    ASSERT_TRUE(chatAtB.is_object()) << heardB.toStdString();
    EXPECT_EQ(chatAtB["text"], "hello from A");
    EXPECT_TRUE(chatAtB["timestamp"].is_number_integer());

    // A file uploaded by A's client arrives at B whole, and A's client hears it completed.
    const fs::path files = root.path() / "files";
    fs::create_directories(files);
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7919) >> 3);
    std::ofstream(files / "from-a.bin", std::ios::binary) << content;
    const IpcMessage upload{{"type", "FILE_UPLOAD"},
                            {"local_path", (files / "from-a.bin").string()},
                            {"remote_path", (files / "at-b.bin").string()}};
    const auto replies = exchange(client, a, {QString::fromStdString(upload.dump())}, 1500);
    EXPECT_TRUE(firstOf(replies, "FILE_UPLOAD_COMPLETE").is_object()) << a.log();
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(files / "at-b.bin"); }, 10s)) << b.log();
    EXPECT_EQ(test::readTextFile(files / "at-b.bin"), content);

    // A paste from A's client: a folder under the paste folder's wire name is made in B's own
    // staging folder, the file is staged there, and B's client hears which files were staged.
    const std::string stagingRoot = "/home/Public/Veltrix/Paste/0f0e0d0c-0b0a-4908-8706-050403020100";
    QProcess pasteListenerB;
    QByteArray pastedB;
    startProbe(pasteListenerB, client, b, {}, 4000);
    ASSERT_TRUE(test::waitUntil([&] {
        pastedB += pasteListenerB.readAllStandardOutput();
        return pastedB.contains("connected\n");
    }, 10s));
    const IpcMessage makeStaging{{"type", "FILE_CREATE_DIR"}, {"remote_path", stagingRoot}};
    const IpcMessage stage{{"type", "FILE_UPLOAD"},
                           {"local_path", (files / "from-a.bin").string()},
                           {"remote_path", stagingRoot + "/from-a.bin"}};
    const auto staged =
        exchange(client, a, {QString::fromStdString(makeStaging.dump()), QString::fromStdString(stage.dump())}, 1500);
    EXPECT_TRUE(firstOf(staged, "FILE_UPLOAD_COMPLETE").is_object()) << a.log();
    EXPECT_FALSE(firstOf(staged, "FILE_ERROR").is_object()) << firstOf(staged, "FILE_ERROR").dump();
    const IpcMessage announce{{"type", "SET_REMOTE_CLIPBOARD_FILES"},
                              {"source_paths", {(files / "from-a.bin").string()}},
                              {"staging_root", stagingRoot}};
    talk(client, a, {QString::fromStdString(announce.dump())}, 100);
    ASSERT_TRUE(pasteListenerB.waitForFinished(10000));
    pastedB += pasteListenerB.readAllStandardOutput();
    const IpcMessage stagedAtB = firstOf(messagesOf(pastedB), "REMOTE_CLIPBOARD_FILES");
    ASSERT_TRUE(stagedAtB.is_object()) << pastedB.toStdString() << b.log();
    EXPECT_EQ(stagedAtB["staging_root"], stagingRoot) << "the wire name: each client maps it to its own folder";
    EXPECT_EQ(stagedAtB["file_names"], IpcMessage({"from-a.bin"}));
    const fs::path stagedFile = b.root / "public" / "Veltrix" / "Paste" / fs::path(stagingRoot).filename() / "from-a.bin";
    EXPECT_EQ(test::readTextFile(stagedFile), content) << b.log();

    // A's client lists the folder on B and sees the file with its size.
    const IpcMessage list{{"type", "FILE_LIST_DIR"}, {"path", files.string()}};
    const IpcMessage listed = firstOf(exchange(client, a, {QString::fromStdString(list.dump())}, 1000), "FILE_DIR_LISTED");
    ASSERT_TRUE(listed.is_object()) << a.log();
    EXPECT_EQ(listed["path"], files.string());
    const IpcMessage expectedEntry{{"name", "at-b.bin"}, {"is_dir", false}, {"size", content.size()}};
    const auto& entries = listed["entries"];
    EXPECT_NE(std::find(entries.begin(), entries.end(), expectedEntry), entries.end()) << listed.dump();

    talk(client, a, {R"({"type":"DISCONNECT"})"}, 200);
    ASSERT_TRUE(test::waitUntil([&] { return sessionState(a, stateA) == "Idle" && sessionState(b, stateB) == "Idle"; }, 20s))
        << stateA.dump() << "\n" << stateB.dump();
    EXPECT_EQ(stateB["session_role"], "none");
    // The log file may be written a moment after the state changed.
    EXPECT_TRUE(test::waitUntil([&] { return b.log().find("(reason: remote_disconnect)") != std::string::npos; }, 5s))
        << b.log();

    a.stop();
    b.stop();
    EXPECT_EQ(a.service.exitCode(), 0);
    EXPECT_EQ(b.service.exitCode(), 0);
}

// B runs as a service on a private X display; at A's request it launches the real client program
// from its folder as the agent: into the user's session when one is logged on, or as the headless
// agent at the log-on screen (unattended access on, the default). What B's display shows arrives
// decoded in A's frame section, and A's input moves and clicks B's pointer.
// `handshakeRequest`: the backend offers the session with SESSION_HANDSHAKE_REQUEST, which
// carries no key material for the password binding: the test ends once B admitted the request
// and started the agent.
void viewAndControl(bool userLoggedOn, bool handshakeRequest = false) {
    test::XvfbDisplay xvfb;
    ASSERT_TRUE(xvfb.isRunning());
    test::XScreen screen(xvfb.name());
    ASSERT_TRUE(screen.ok());
    // Left half dark, right half white: a pattern any codec keeps.
    screen.fill(0, 0, 960, 1080, 0x101010);
    screen.fill(960, 0, 960, 1080, 0xF0F0F0);

    test::TempInstanceRoot root;
    test::RemoteSessionRig rig(root.path(), {VELTRIX_SERVICE_PROGRAM, VELTRIX_PIPE_PROBE_PROGRAM, VELTRIX_CLIENT_PROGRAM},
                               handshakeRequest ? QStringList{"--handshake-request"} : QStringList{});
    Device& a = rig.viewer;
    Device& b = rig.target;
    std::string failure;
    ASSERT_TRUE(rig.start(failure)) << failure;

    // B's display gets its session: the session request will start the agent there.
    rig.giveTargetItsSession(xvfb.name(), userLoggedOn);
    rig.connect();
    IpcMessage stateA;
    auto sessionState = [&](IpcMessage& state) { return rig.viewerSessionState(&state); };
    if (handshakeRequest) {
        EXPECT_TRUE(test::waitUntil([&] {
            const std::string log = b.log();
            return log.find("SESSION_HANDSHAKE_REQUEST for session") != std::string::npos &&
                   log.find("— accepting") != std::string::npos && log.find("Launched agent") != std::string::npos;
        }, 20s)) << b.log();
        a.stop();
        b.stop();
        return;
    }
    ASSERT_TRUE(test::waitUntil([&] { return sessionState(stateA) == "Connected"; }, 20s)) << stateA.dump() << a.log()
                                                                                           << b.log();
    EXPECT_NE(b.log().find("SESSION_AUTO_ACCEPT for session"), std::string::npos);
    EXPECT_NE(b.log().find(userLoggedOn ? "Launched agent" : "Launched headless SYSTEM agent"), std::string::npos)
        << b.log();
    ASSERT_TRUE(test::waitUntil([&] { return b.log().find("Sent START_CAPTURE to agent") != std::string::npos; }, 20s))
        << b.log();

    std::optional<DecodedPicture> picture;
    ASSERT_TRUE(test::waitUntil([&] {
        picture = readDecodedFrame(a.root);
        return picture && picture->lumaAt(0.25, 0.5) < 60 && picture->lumaAt(0.75, 0.5) > 200;
    }, 15s)) << (picture ? std::to_string(picture->lumaAt(0.25, 0.5)) + " / " + std::to_string(picture->lumaAt(0.75, 0.5))
                         : std::string("no frame"))
             << b.log();

    // A move to the middle of the white half, then a press: B's pointer follows and its button is down.
    const auto input = [&](int type, double x, double y) {
        const IpcMessage message{{"type", "INPUT"},
                                 {"event", {{"type", type}, {"mouse_x", x}, {"mouse_y", y}, {"mouse_button", 1}}}};
        rig.talkToViewer({QString::fromStdString(message.dump())}, 100);
    };
    input(1, 0.75, 0.5);
    ASSERT_TRUE(test::waitUntil([&] {
        const auto [x, y] = screen.pointer();
        return std::abs(x - 1440) <= 2 && std::abs(y - 540) <= 2;
    }, 10s)) << screen.pointer().first << "," << screen.pointer().second << "\n" << b.log() << b.agentLogs();
    input(2, 0.75, 0.5);
    unsigned buttons = 0;
    EXPECT_TRUE(test::waitUntil([&] {
        screen.pointer(&buttons);
        return (buttons & Button1Mask) != 0;
    }, 10s));
    input(3, 0.75, 0.5);
    EXPECT_TRUE(test::waitUntil([&] {
        screen.pointer(&buttons);
        return (buttons & Button1Mask) == 0;
    }, 10s));

    rig.talkToViewer({R"({"type":"DISCONNECT"})"}, 200);
    ASSERT_TRUE(test::waitUntil([&] { return sessionState(stateA) == "Idle"; }, 20s)) << stateA.dump();
    EXPECT_TRUE(test::waitUntil([&] { return b.log().find("(reason: remote_disconnect)") != std::string::npos; }, 10s));

    const long agentPid = rig.targetAgentPid();
    a.stop();
    b.stop();
    EXPECT_EQ(a.service.exitCode(), 0);
    EXPECT_EQ(b.service.exitCode(), 0);
    // The headless agent ends with the service.
    if (!userLoggedOn) {
        ASSERT_GT(agentPid, 0);
        EXPECT_TRUE(test::waitUntil([&] { return !fs::exists("/proc/" + std::to_string(agentPid)); }, 5s)) << agentPid;
    }
}

TEST(ServiceSessionEndToEnd, TheUserSessionAgentShowsAndControlsTheTargetsDisplay) { viewAndControl(true); }

TEST(ServiceSessionEndToEnd, TheHeadlessAgentShowsAndControlsTheLogOnScreen) { viewAndControl(false); }

TEST(ServiceSessionEndToEnd, AHandshakeRequestIsAdmittedAndStartsTheAgent) { viewAndControl(true, true); }

}  // namespace
}  // namespace veltrix

// ServiceIpcClient against a test server on the real pipe: inbound framing and its limit, the
// reconnect back-off, frames after a reconnect, input injection, the server-identity check and
// the client's view of the service after a drop.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/InputForwarder.h"
#include "agent/ServiceIpcClient.h"
#include "InputFakes.h"
#include "platform/InstancePaths.h"
#include "platform/PipeServer.h"
#include "shared/SharedFrameBuffer.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "support/UnprivilegedChild.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

std::string framed(const std::string& text) {
    std::string frame(4, '\0');
    encodeIpcLength(static_cast<std::uint32_t>(text.size()), frame.data());
    return frame + text;
}

class ClientLink : public ::testing::Test {
protected:
    void SetUp() override { connectBoth(); }

    void connectBoth() {
        platform::SystemError error;
        ASSERT_TRUE(server.createInstance(error)) << error.text();
        if (!client.isConnected()) ASSERT_TRUE(client.connectToService());
        ASSERT_EQ(server.connectClient(error), platform::PipeConnectStatus::Connected);
    }

    // Writes to the client and lets it poll once.
    void deliver(const std::string& bytes) {
        ASSERT_EQ(server.client().write(bytes).status, platform::PipeStatus::Ok);
        client.onPipePoll();
    }
    void deliver(const IpcMessage& message) { deliver(encodeIpcFrame(message)); }

    // The peer's end closes; the client notices on its next poll.
    void dropLink() {
        server.disconnectClient();
        client.onPipePoll();
        ASSERT_FALSE(client.isConnected());
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    platform::PipeServer server{ServiceIpcClient::kPipeName};
    ServiceIpcClient client;
};

TEST_F(ClientLink, LengthOfExactly64MiBIsReadAndOneMoreDisconnects) {
    std::vector<QString> errors;
    QObject::connect(&client, &ServiceIpcClient::sessionError, [&](QString e) { errors.push_back(e); });

    const std::string head = R"({"type":"BIG","pad":")";
    const std::string tail = R"("})";
    std::string text = head + std::string(0x4000000 - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(text.size(), 0x4000000u);
    const std::string big = framed(text);
    text.clear();
    std::thread writer([&] { server.client().write(big + encodeIpcFrame({{"type", "ERROR"}, {"message", "after"}})); });
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (errors.empty() && client.isConnected() && std::chrono::steady_clock::now() < deadline) client.onPipePoll();
    writer.join();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "after");
    EXPECT_TRUE(client.isConnected());

    std::string tooLong(4, '\0');
    encodeIpcLength(0x4000001, tooLong.data());
    deliver(tooLong);
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(logs.contains("ServiceIpcClient: message length 67108865 exceeds 64 MB limit, disconnecting"));
}

TEST_F(ClientLink, EmptyMessageIsAParseErrorAndTheNextIsHandled) {
    std::vector<QString> errors;
    QObject::connect(&client, &ServiceIpcClient::sessionError, [&](QString e) { errors.push_back(e); });
    // An empty message, a split one, and two in one read.
    const std::string second = encodeIpcFrame({{"type", "ERROR"}, {"message", "one"}});
    deliver(framed("") + second.substr(0, 5));
    EXPECT_TRUE(logs.contains("ServiceIpcClient: JSON parse error"));
    EXPECT_TRUE(errors.empty());
    deliver(second.substr(5) + encodeIpcFrame({{"type", "ERROR"}}) + framed("{\"type\":7}"));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "one");
    EXPECT_EQ(errors[1], "Unknown error");
    EXPECT_TRUE(logs.contains("ServiceIpcClient: missing or non-string 'type' field"));
    EXPECT_TRUE(client.isConnected());
}

TEST_F(ClientLink, BackOffDoublesToSixteenSecondsAndStopsAfterThirtyAttempts) {
    server.close();
    client.onPipePoll();
    ASSERT_FALSE(client.isConnected());
    std::vector<int> waits;
    while (client.isReconnectPending()) {
        waits.push_back(client.reconnectIntervalMs());
        client.onReconnectTimer();  // the pipe is gone: each attempt fails
    }
    ASSERT_EQ(waits.size(), 30u);
    EXPECT_EQ(std::vector<int>(waits.begin(), waits.begin() + 6), (std::vector<int>{1000, 2000, 4000, 8000, 16000, 16000}));
    EXPECT_EQ(waits.back(), 16000);
    EXPECT_EQ(client.reconnectAttempts(), 30);
    EXPECT_TRUE(logs.contains("ServiceIpcClient: max reconnect attempts reached, giving up"));
}

TEST_F(ClientLink, FramesAreNewByIdAndCountAgainAfterAReconnect) {
    SharedFrameBuffer section;
    ASSERT_TRUE(section.create(kFrameSectionName, kFrameSectionSize, false, std::string()));
    // A 4 x 3 picture: three luma rows, one chroma row written (odd height).
    std::vector<std::uint8_t> block(4 * 3 + 4, 0);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(section.writeFrame(4, 3, 4, 4, block.data(), block.size()));

    std::vector<std::shared_ptr<DecodedFrame>> frames;
    QObject::connect(&client, &ServiceIpcClient::frameDecoded, [&](auto frame) { frames.push_back(frame); });
    const IpcMessage frame{{"type", "FRAME"}, {"frame_id", 5}, {"width", 4}, {"height", 3}};
    deliver(frame);
    deliver(frame);  // not above the last id
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->y, std::vector<std::uint8_t>(block.begin(), block.begin() + 12));
    ASSERT_EQ(frames[0]->uv.size(), 8u);
    EXPECT_EQ(frames[0]->uv[0], 13);
    EXPECT_EQ(frames[0]->uv[7], 0x80);  // the chroma row the service does not write

    // Too large for what the section holds: dropped, and not read again.
    deliver(IpcMessage{{"type", "FRAME"}, {"frame_id", 6}, {"width", 4000}, {"height", 4000}});
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(client.lastFrameId(), 6u);

    dropLink();
    EXPECT_EQ(client.lastFrameId(), 0u);
    connectBoth();
    deliver(IpcMessage{{"type", "FRAME"}, {"frame_id", 1}, {"width", 4}, {"height", 3}});
    EXPECT_EQ(frames.size(), 2u);
}

// Pictures are read into the buffers of the last one once every receiver has let it go, and never
// into one that a receiver still holds.
TEST_F(ClientLink, APictureIsReadIntoTheLastOnesBuffersOnlyWhenNobodyHoldsIt) {
    SharedFrameBuffer section;
    ASSERT_TRUE(section.create(kFrameSectionName, kFrameSectionSize, false, std::string()));
    const auto writePicture = [&](int height, std::uint8_t first) {
        std::vector<std::uint8_t> block(4 * height + 4 * (height / 2));
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(first + i);
        ASSERT_TRUE(section.writeFrame(4, height, 4, 4, block.data(), block.size()));
    };
    std::vector<std::shared_ptr<DecodedFrame>> frames;
    QObject::connect(&client, &ServiceIpcClient::frameDecoded, [&](auto frame) { frames.push_back(frame); });
    const auto announce = [&](int id, int height) {
        deliver(IpcMessage{{"type", "FRAME"}, {"frame_id", id}, {"width", 4}, {"height", height}});
    };

    writePicture(4, 1);  // both chroma rows written
    announce(1, 4);
    ASSERT_EQ(frames.size(), 1u);
    const DecodedFrame* first = frames[0].get();
    frames.clear();

    writePicture(3, 100);  // odd height: the last chroma row is not written
    announce(2, 3);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].get(), first);
    EXPECT_EQ(frames[0]->height, 3);
    EXPECT_EQ(frames[0]->y[0], 100);
    EXPECT_EQ(frames[0]->uv, (std::vector<std::uint8_t>{112, 113, 114, 115, 0x80, 0x80, 0x80, 0x80}));

    writePicture(3, 50);
    announce(3, 3);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NE(frames[1].get(), first);
    EXPECT_EQ(frames[0]->y[0], 100);  // still the picture its receiver holds
    EXPECT_EQ(frames[1]->y[0], 50);
}

TEST_F(ClientLink, InputIsInjectedOnlyWhileConnected) {
    auto record = std::make_shared<test::InputRecord>();
    auto factories = CaptureAgentFactories::system();
    factories.makeInputBackend = [record] { return std::make_unique<test::RecordingInputBackend>(record); };
    client.setCaptureAgentFactories(factories);
    const IpcMessage inject{{"type", "INPUT_INJECT"}, {"event", {{"type", 2}, {"mouse_x", 0.5}, {"wheel_delta", 99999}}}};
    deliver(inject);  // no forwarder yet
    // No capture section exists: the start ends early, but the forwarder is there.
    deliver(IpcMessage{{"type", "START_CAPTURE"}});
    ASSERT_NE(client.inputForwarder(), nullptr);
    EXPECT_TRUE(logs.contains("Failed to open capture shared memory (service may not have created it yet)"));
    deliver(inject);
    const std::vector<InputEvent>& injected = record->injected;
    EXPECT_TRUE(injected.empty());
    deliver(IpcMessage{{"type", "STATE"}, {"session_state", "Connected"}});
    deliver(inject);
    deliver(IpcMessage{{"type", "INPUT_INJECT"}});
    ASSERT_EQ(injected.size(), 1u);
    EXPECT_EQ(injected[0].type, 2);
    EXPECT_EQ(injected[0].mouse_button, 1);
    EXPECT_EQ(injected[0].mouse_x, 0.5);
    EXPECT_EQ(injected[0].wheel_delta, 32767);
}

// The service's messages are handled when they arrive, and its departure is noticed at once: the
// periodic poll, here an hour apart, is needed for neither.
TEST_F(ClientLink, MessagesAndADropAreHandledWithoutWaitingForThePoll) {
    client.setPollInterval(1h);
    std::vector<QString> errors;
    QObject::connect(&client, &ServiceIpcClient::sessionError, [&](QString e) { errors.push_back(e); });
    ASSERT_EQ(server.client().write(encodeIpcFrame({{"type", "ERROR"}, {"message", "now"}})).status,
              platform::PipeStatus::Ok);
    EXPECT_TRUE(test::waitUntil([&] { return !errors.empty(); }, 5s));
    server.disconnectClient();
    EXPECT_TRUE(test::waitUntil([&] { return !client.isConnected(); }, 5s));
}

TEST_F(ClientLink, StateAfterAReconnectIsReportedAnew) {
    std::vector<QString> ids;
    std::vector<SessionState> states;
    QObject::connect(&client, &ServiceIpcClient::authenticated, [&](QString id) { ids.push_back(id); });
    QObject::connect(&client, &ServiceIpcClient::stateChanged, [&](SessionState s) { states.push_back(s); });
    const IpcMessage state{{"type", "STATE"}, {"session_state", "Idle"}, {"client_id", "123456789"},
                           {"authenticated", false}, {"session_role", "target"}};
    deliver(state);
    EXPECT_FALSE(client.isAuthenticated());  // a stored ID before log-in
    EXPECT_EQ(client.sessionRole(), SessionRole::Target);
    deliver(state);  // nothing new
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_EQ(states.size(), 1u);

    IpcMessage loggedIn = state;
    loggedIn["authenticated"] = true;
    loggedIn["session_state"] = "Bogus";
    deliver(loggedIn);
    EXPECT_TRUE(client.isAuthenticated());
    EXPECT_EQ(ids.size(), 2u);  // logging in with the stored ID is news
    EXPECT_EQ(states.size(), 1u);  // "Bogus" reads as Idle
    deliver(loggedIn);
    EXPECT_EQ(ids.size(), 2u);

    dropLink();
    EXPECT_FALSE(client.isAuthenticated());
    EXPECT_EQ(client.clientId(), "123456789");
    platform::SystemError error;
    ASSERT_TRUE(server.createInstance(error));
    client.onReconnectTimer();
    ASSERT_TRUE(client.isConnected());
    ASSERT_EQ(server.connectClient(error), platform::PipeConnectStatus::Connected);
    deliver(loggedIn);
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(states.size(), 2u);
}

TEST_F(ClientLink, WrongKindsAreReadAsMissing) {
    std::vector<int> counts;
    std::vector<QString> errors;
    std::vector<QStringList> clipboard;
    QObject::connect(&client, &ServiceIpcClient::remoteMonitorCountReceived, [&](int c) { counts.push_back(c); });
    QObject::connect(&client, &ServiceIpcClient::fileError, [&](QString e) { errors.push_back(e); });
    QObject::connect(&client, &ServiceIpcClient::remoteClipboardFiles,
                     [&](QString, QStringList names) { clipboard.push_back(names); });
    deliver(IpcMessage{{"type", "REMOTE_MONITOR_COUNT"}, {"count", "three"}});
    deliver(IpcMessage{{"type", "REMOTE_MONITOR_COUNT"}, {"count", 1e40}});
    deliver(IpcMessage{{"type", "FILE_ERROR"}, {"error", {1}}});
    deliver(IpcMessage{{"type", "REMOTE_CLIPBOARD_FILES"}, {"staging_root", "C:\\S"}, {"file_names", {1, 2}}});
    deliver(IpcMessage{{"type", "REMOTE_CLIPBOARD_FILES"}, {"staging_root", "C:\\S"}, {"file_names", {1, "a"}}});
    deliver(IpcMessage{{"type", "CHAT_MSG"}, {"timestamp", -1e300}, {"text", 5}});
    deliver(IpcMessage{{"type", "STATE"}, {"session_state", 4}, {"client_id", nullptr}, {"has_secure_password", "yes"}});
    EXPECT_EQ(counts, (std::vector<int>{1, INT32_MAX}));
    EXPECT_EQ(errors, (std::vector<QString>{"Unknown file error"}));
    ASSERT_EQ(clipboard.size(), 1u);
    EXPECT_EQ(clipboard[0], QStringList{"a"});
    EXPECT_EQ(client.sessionState(), SessionState::Idle);
    EXPECT_TRUE(client.isConnected());
}

TEST_F(ClientLink, FailedWriteOnAnotherThreadDisconnectsOnTheOwningThread) {
    int disconnects = 0;
    QObject::connect(&client, &ServiceIpcClient::disconnected, [&] { ++disconnects; });
    server.disconnectClient();
    std::thread capture([&] { client.sendCommand({{"type", "DESKTOP_CHANGED"}, {"new", "Winlogon"}}); });
    capture.join();
    EXPECT_EQ(disconnects, 0);  // not torn down on the capture thread
    QCoreApplication::processEvents();
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(client.isReconnectPending());
}

TEST(ClientIdentity, RefusesAPipeServerOfAnotherUser) {
    test::TempInstanceRoot root;
    test::LogCapture logs;
    std::filesystem::permissions(root.path(), std::filesystem::perms(0755));
    ASSERT_TRUE(platform::paths::ensureDirectory(platform::paths::runDir()));
    std::filesystem::permissions(platform::paths::runDir(), std::filesystem::perms::all);
    const auto socket = platform::paths::pipePath(ServiceIpcClient::kPipeName);

    test::UnprivilegedChild impostor([] {
        platform::PipeServer fake(ServiceIpcClient::kPipeName);
        platform::SystemError error;
        if (!fake.createInstance(error)) return std::string("create failed: ") + error.text();
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (fake.connectClient(error) == platform::PipeConnectStatus::Connected) return std::string("connected");
            std::this_thread::sleep_for(5ms);
        }
        return std::string("timed out");
    });
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ServiceIpcClient client;
    // The socket may exist a moment before it listens: retry until the client has met the server.
    while (!logs.contains("ServiceIpcClient: refusing pipe server") && std::chrono::steady_clock::now() < deadline) {
        EXPECT_FALSE(client.connectToService());
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.isReconnectPending());
    EXPECT_TRUE(logs.contains("ServiceIpcClient: refusing pipe server")) << impostor.result();
}

}  // namespace
}  // namespace veltrix

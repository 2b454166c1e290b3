#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/PipeConnection.h"
#include "platform/ProcessInfo.h"
#include "service/ServiceIpcServer.h"
#include "PipeServerFixture.h"
#include "support/WaitUntil.h"
#include "shared/IpcFrameReader.h"
#include "shared/IpcMessage.h"
#include "shared/SharedFrameHeader.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

TEST_F(ServiceIpcServerTest, AcceptsTheClientProgramAndHandsOverItsMessages) {
    PipeConnection client = connectAgent();
    EXPECT_EQ(connects_, 1);
    EXPECT_TRUE(logs_.contains("ServiceIpc: accepted pipe client pid=" + std::to_string(getpid())));
    ASSERT_TRUE(server_.agentPeer().has_value());
    EXPECT_EQ(server_.agentPeer()->pid, getpid());

    ASSERT_EQ(client.write(frameOf(R"({"type":"PING","n":1})")).status, PipeStatus::Ok);
    ASSERT_TRUE(pollUntil([this] { return received_.size() == 1; }));
    EXPECT_EQ(received_[0], (nlohmann::json{{"type", "PING"}, {"n", 1}}));
}

// A message is handled when it arrives: the periodic poll, here an hour apart, is not what reads
// it, and neither is it what notices that the client has gone.
TEST_F(ServiceIpcServerTest, MessagesAndADepartureAreHandledWithoutWaitingForThePoll) {
    PipeConnection client = connectAgent();
    server_.setPollInterval(1h);
    ASSERT_EQ(client.write(frameOf(R"({"type":"PING","n":1})")).status, PipeStatus::Ok);
    EXPECT_TRUE(test::waitUntil([this] { return received_.size() == 1; }, 5s));
    client.close();
    EXPECT_TRUE(test::waitUntil([this] { return disconnects_ == 1; }, 5s));
}

TEST_F(ServiceIpcServerTest, RefusesAClientRunningAProgramFromAnotherFolder) {
    const auto elsewhere = root_.path() / "elsewhere" / ServiceIpcServer::kClientProgramName;
    server_.setClientProgramPath(elsewhere);
    PipeConnection client = connectClient();
    ASSERT_TRUE(client.isOpen());
    pollFor(50ms);

    EXPECT_FALSE(server_.isAgentConnected());
    EXPECT_EQ(connects_, 0);
    EXPECT_TRUE(logs_.contains("ServiceIpc: rejecting pipe client pid=" + std::to_string(getpid())));
    EXPECT_TRUE(logs_.contains("(expected '" + elsewhere.string() + "')"));
    // A refused client never receives a byte, and a fresh instance listens for the next one.
    std::size_t bytes = 0;
    EXPECT_TRUE(closedByServer(client, &bytes));
    EXPECT_EQ(bytes, 0u);
    server_.setClientProgramPath(platform::process::ownProgramPath());
    PipeConnection next = connectAgent();
    EXPECT_TRUE(server_.isAgentConnected());
}

TEST_F(ServiceIpcServerTest, ASecondClientIsRefusedUntilTheFirstLeaves) {
    PipeConnection first = connectAgent();
    PipeConnection second = connectClient();
    EXPECT_FALSE(second.isOpen());

    first.close();
    ASSERT_TRUE(pollUntil([this] { return !server_.isAgentConnected(); }));
    EXPECT_EQ(disconnects_, 1);
    EXPECT_TRUE(logs_.contains("Agent disconnected (broken pipe)"));

    second = connectAgent();
    EXPECT_TRUE(second.isOpen());
    EXPECT_EQ(connects_, 2);
}

// The server reads what a tick finds; a writer thread keeps a large message flowing meanwhile.
TEST_F(ServiceIpcServerTest, AcceptsAMessageOfExactlyOneMebibyte) {
    PipeConnection client = connectAgent();
    const std::string text = messageOfSize(ServiceIpcServer::kMaxInboundMessageBytes);
    std::thread writer([&] { client.write(frameOf(text) + frameOf(R"({"type":"AFTER"})")); });
    const bool handled = pollUntil([this] { return received_.size() == 2; });
    writer.join();
    ASSERT_TRUE(handled);
    EXPECT_EQ(received_[0]["pad"].get<std::string>().size(), text.size() - 23);
    EXPECT_EQ(received_[1]["type"], "AFTER");
    EXPECT_TRUE(server_.isAgentConnected());
}

TEST_F(ServiceIpcServerTest, OneByteMoreThanOneMebibyteDisconnectsTheAgent) {
    PipeConnection client = connectAgent();
    const std::string text = messageOfSize(ServiceIpcServer::kMaxInboundMessageBytes + 1);
    std::thread writer([&] { client.write(frameOf(text)); });
    const bool disconnected = pollUntil([this] { return !server_.isAgentConnected(); });
    client.close();  // ends a write that the server no longer reads
    writer.join();
    ASSERT_TRUE(disconnected);
    EXPECT_TRUE(logs_.contains("IPC message too large (1048577), disconnecting agent"));
    EXPECT_EQ(disconnects_, 1);
    EXPECT_TRUE(received_.empty());
}

TEST_F(ServiceIpcServerTest, HandlesCoalescedAndSplitMessagesInOrder) {
    PipeConnection client = connectAgent();
    client.write(frameOf(R"({"type":"A"})") + frameOf(R"({"type":"B"})"));
    ASSERT_TRUE(pollUntil([this] { return received_.size() == 2; }));
    EXPECT_EQ(received_[0]["type"], "A");
    EXPECT_EQ(received_[1]["type"], "B");

    const std::string frame = frameOf(R"({"type":"SPLIT","text":"across three reads"})");
    const std::size_t cuts[] = {0, 2, 9, frame.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        EXPECT_EQ(received_.size(), 2u) << "handled before its last byte arrived";
        client.write(std::string_view(frame).substr(cuts[i], cuts[i + 1] - cuts[i]));
        pollFor(20ms);
    }
    ASSERT_EQ(received_.size(), 3u);
    EXPECT_EQ(received_[2]["text"], "across three reads");
}

// No message, however malformed, may end the connection or the service; each bad one is dropped
// alone and the one after it is handled.
TEST_F(ServiceIpcServerTest, MalformedMessagesAreDroppedAloneAndTheNextIsHandled) {
    PipeConnection client = connectAgent();
    const std::vector<std::string> bad = {
        "{not json",
        "",
        "\xff\xfe",
        std::string(100000, '['),
        R"({"type":"X","n":1e999})",
    };
    // Parsed, but of the wrong kinds: dispatched, and must not throw there.
    const std::vector<std::string> oddlyTyped = {
        "[]", "5", R"({"type":5})", R"({"type":null})", R"({"type":["CONNECT"]})",
        R"({"type":"CONNECT","partner_id":18446744073709551616,"width":-99999999999999999999})",
    };
    std::string stream;
    for (const auto& text : bad) stream += frameOf(text);
    for (const auto& text : oddlyTyped) stream += frameOf(text);
    stream += frameOf(R"({"type":"LAST"})");
    client.write(stream);

    // A poll may end anywhere in the stream, after any of the oddly typed ones.
    ASSERT_TRUE(pollUntil([this] { return !received_.empty() && received_.back() == IpcMessage{{"type", "LAST"}}; }));
    EXPECT_EQ(received_.size(), oddlyTyped.size() + 1);
    EXPECT_EQ(logs_.count("IPC JSON parse error: "), bad.size());
    EXPECT_TRUE(server_.isAgentConnected());
}

TEST_F(ServiceIpcServerTest, DecodedFramesGoToTheSectionAndAreAnnouncedOnlyToAnAgent) {
    ASSERT_TRUE(server_.frameSection().isOpen());
    auto frame = std::make_shared<DecodedFrame>();
    frame->width = 64;
    frame->height = 32;
    frame->strideY = 64;
    frame->strideUV = 64;
    frame->y.assign(64 * 32, 0x40);
    frame->uv.assign(64 * 8, 0x80);  // short: the rest of the UV plane is zero

    server_.forwardDecodedFrame(frame);
    std::vector<std::uint8_t> block;  // the payload, after the header
    const auto header = server_.frameSection().readFrameInto(block);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->sequence, 1u);
    EXPECT_EQ(header->width, 64u);
    ASSERT_EQ(block.size(), 64u * 32 + 64 * 16);
    EXPECT_EQ(block[64 * 32 - 1], 0x40);
    EXPECT_EQ(block[64 * 32 + 64 * 8 - 1], 0x80);
    EXPECT_EQ(block[64 * 32 + 64 * 8], 0x00);

    PipeConnection client = connectAgent();
    server_.forwardDecodedFrame(frame);
    const auto announced = receive(client, "FRAME");
    ASSERT_TRUE(announced.has_value());
    EXPECT_EQ((*announced)["frame_id"], 2);
    EXPECT_EQ((*announced)["width"], 64);
    EXPECT_EQ((*announced)["height"], 32);
    EXPECT_EQ(server_.frameSection().readHeader().sequence, 2u);

    // Neither an empty frame nor a missing one is written or announced: the next FRAME is the
    // next real picture.
    server_.forwardDecodedFrame(std::make_shared<DecodedFrame>());
    server_.forwardDecodedFrame(nullptr);
    EXPECT_EQ(server_.frameSection().readHeader().sequence, 2u);
    server_.forwardDecodedFrame(frame);
    const auto next = receive(client, "FRAME");
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ((*next)["frame_id"], 3);
}

TEST_F(ServiceIpcServerTest, StopEndsTheAgentConnectionWithAgentDisconnected) {
    PipeConnection client = connectAgent();
    server_.stop();
    EXPECT_EQ(disconnects_, 1);
    EXPECT_FALSE(server_.isAgentConnected());
    EXPECT_FALSE(server_.frameSection().isOpen());
    EXPECT_TRUE(logs_.contains("ServiceIpcServer stopped"));
    EXPECT_TRUE(closedByServer(client));
    EXPECT_FALSE(connectClient().isOpen());
}

TEST_F(ServiceIpcServerTest, DuringAHandoffTheOldAgentLeavesWithoutAgentDisconnected) {
    PipeConnection oldAgent = connectAgent();
    server_.beginAgentHandoff();
    EXPECT_TRUE(receive(oldAgent, "STOP_CAPTURE").has_value());

    oldAgent.close();
    ASSERT_TRUE(pollUntil([this] { return !server_.isAgentConnected(); }));
    EXPECT_EQ(disconnects_, 0);
    EXPECT_TRUE(logs_.contains("Agent disconnected during handoff (expected)"));
    EXPECT_TRUE(server_.isAgentHandoffInProgress());

    PipeConnection newAgent = connectAgent();
    EXPECT_FALSE(server_.isAgentHandoffInProgress());
    EXPECT_TRUE(logs_.contains("Agent handoff completed — new agent connected"));
}

TEST_F(ServiceIpcServerTest, MessagesWithoutAnAgentAreDroppedSilently) {
    logs_.clear();
    server_.sendMessage(IpcMessage{{"type", "STATE"}});
    EXPECT_TRUE(logs_.lines().empty());
}

}  // namespace
}  // namespace veltrix

// The whole agent on a private X server with its real parts: START_CAPTURE captures the screen,
// encodes AV1 and writes each packet into the capture section, where a decoder sees what was
// drawn; INPUT_INJECT moves the real pointer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "agent/ServiceIpcClient.h"
#include "core/AV1Decoder.h"
#include "platform/PipeServer.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"

// Last: Xlib defines macros (Bool, Status, None) that clash with Qt headers.
#include "support/XScreen.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

struct Packet {
    std::vector<std::uint8_t> data;
    bool key = false;
};

class AgentPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.isRunning());
        xvfb.makeCurrent();
        ASSERT_TRUE(screen.ok());
        screen.fill(0, 0, 1920, 1080, 0x202020);
        platform::SystemError error;
        ASSERT_TRUE(server.createInstance(error)) << error.text();
        ASSERT_TRUE(client.connectToService());
        ASSERT_EQ(server.connectClient(error), platform::PipeConnectStatus::Connected);
        ASSERT_TRUE(section.create(kCaptureSectionName, kCaptureSectionSize, true, std::string()));
        ASSERT_TRUE(decoder.initialize(0, 0));
    }

    void deliver(const IpcMessage& message) {
        ASSERT_EQ(server.client().write(encodeIpcFrame(message)).status, platform::PipeStatus::Ok);
        client.onPipePoll();
    }

    // The packet after `sequence`, as the service would pick it up.
    std::optional<Packet> nextPacket(std::uint64_t& sequence) {
        std::optional<Packet> packet;
        test::waitUntil([&] {
            std::optional<Packet> read;
            const auto info = section.readFrame([&](const SharedFrameInfo& i, std::uint64_t n)
                                                    -> std::optional<SharedFrameDestination> {
                if (i.sequence <= sequence) return std::nullopt;
                read = Packet{std::vector<std::uint8_t>(std::min<std::uint64_t>(i.dataSize, n)), i.keyFrame};
                return SharedFrameDestination{0, read->data};
            });
            if (info && read) {
                sequence = info->sequence;
                packet = std::move(read);
            }
            return packet.has_value();
        }, 10s);
        return packet;
    }

    int lumaAt(const DecodedFrame& frame, int x, int y) { return frame.y[static_cast<std::size_t>(y) * frame.strideY + x]; }

    test::TempInstanceRoot root;
    test::XvfbDisplay xvfb;
    test::XScreen screen{xvfb.name()};
    platform::PipeServer server{ServiceIpcClient::kPipeName};
    SharedFrameBuffer section;
    AV1Decoder decoder;
    ServiceIpcClient client;
};

TEST_F(AgentPipelineTest, WhatIsDrawnArrivesEncodedAndInputMovesThePointer) {
    screen.fill(200, 200, 400, 300, 0xFFFFFF);
    deliver(IpcMessage{{"type", "START_CAPTURE"}, {"fps", 15}});

    std::uint64_t sequence = 0;
    const auto first = nextPacket(sequence);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->key);
    const auto picture = decoder.decode(first->data.data(), first->data.size(), 0);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->width, 1920);
    EXPECT_EQ(picture->height, 1080);
    EXPECT_GT(lumaAt(*picture, 400, 350), 200);  // the white rectangle
    EXPECT_LT(lumaAt(*picture, 1000, 700), 70);  // the dark grey around it

    // A change goes out as the next packet and decodes on top of the first.
    screen.fill(1000, 600, 300, 200, 0xFFFFFF);
    std::shared_ptr<DecodedFrame> changed;
    for (int i = 0; i < 5 && !(changed && lumaAt(*changed, 1150, 700) > 200); ++i) {
        const auto next = nextPacket(sequence);
        ASSERT_TRUE(next);
        changed = decoder.decode(next->data.data(), next->data.size(), 0);
        ASSERT_NE(changed, nullptr);
    }
    EXPECT_GT(lumaAt(*changed, 1150, 700), 200);

    deliver(IpcMessage{{"type", "STATE"}, {"session_state", "Connected"}});
    deliver(IpcMessage{{"type", "INPUT_INJECT"}, {"event", {{"type", 1}, {"mouse_x", 0.5}, {"mouse_y", 0.25}}}});
    EXPECT_TRUE(test::waitUntil([&] { return screen.pointer() == std::make_pair(960, 270); }, 2s));
    deliver(IpcMessage{{"type", "STOP_CAPTURE"}});
}

}  // namespace
}  // namespace veltrix

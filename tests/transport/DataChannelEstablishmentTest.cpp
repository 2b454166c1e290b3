#include "transport/DataChannelEstablishment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltrix::datachannel {
namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(DataChannelEstablishmentTest, OpenMessageHasTheWireLayout) {
    OpenMessage open;
    open.channelType = kPartialReliableRexmit | kUnorderedFlag;
    open.priority = 0x0102;
    open.reliabilityParameter = 0x03040506;
    open.label = "video";
    open.protocol = "p";
    const auto wire = open.serialize();
    EXPECT_EQ(wire, bytes({0x03, 0x81, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x05, 0x00, 0x01, 'v', 'i', 'd', 'e', 'o', 'p'}));
    const auto back = OpenMessage::parse(wire.data(), wire.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->label, "video");
    EXPECT_EQ(back->protocol, "p");
    EXPECT_FALSE(back->ordered());
    EXPECT_EQ(back->reliabilityParameter, 0x03040506u);
    EXPECT_EQ(ackMessage(), bytes({0x02}));
    EXPECT_TRUE(isAckMessage(ackMessage().data(), 1));
}

TEST(DataChannelEstablishmentTest, RefusesMalformedOpenMessages) {
    const std::vector<std::pair<std::vector<std::uint8_t>, const char*>> cases = {
        {{}, "empty"},
        {bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "short header"},
        {bytes({0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "an ack"},
        {bytes({0x03, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "unknown channel type"},
        {bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 'v', 'i', 'd'}), "label past the end"},
        {bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 'v', 'x'}), "bytes after the protocol"},
        {bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0}), "label longer than allowed"},
    };
    for (const auto& [wire, what] : cases) {
        std::string error;
        EXPECT_FALSE(OpenMessage::parse(wire.data(), wire.size(), &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
    EXPECT_FALSE(isAckMessage(bytes({0x02, 0x00}).data(), 2));
    EXPECT_FALSE(isAckMessage(nullptr, 0));
}

}  // namespace
}  // namespace veltrix::datachannel

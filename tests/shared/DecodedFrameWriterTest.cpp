#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "shared/DecodedFrame.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

constexpr const char* kName = "Global\\VeltrixTestFrame";

// A width x height NV12 picture with distinct bytes in both planes and tight strides.
DecodedFrame picture(int width, int height, std::uint8_t seed = 1) {
    DecodedFrame frame;
    frame.width = width;
    frame.height = height;
    frame.strideY = width;
    frame.strideUV = width;
    frame.timestamp = 987654;
    frame.y.resize(static_cast<std::size_t>(width) * height);
    frame.uv.resize(static_cast<std::size_t>(width) * (height / 2));
    for (std::size_t i = 0; i < frame.y.size(); ++i) frame.y[i] = static_cast<std::uint8_t>(seed + i * 3);
    for (std::size_t i = 0; i < frame.uv.size(); ++i) frame.uv[i] = static_cast<std::uint8_t>(seed + 100 + i * 5);
    return frame;
}

std::vector<std::uint8_t> payloadOf(const DecodedFrame& frame) {
    std::vector<std::uint8_t> payload = frame.y;
    payload.insert(payload.end(), frame.uv.begin(), frame.uv.end());
    return payload;
}

class DecodedFrameWriterTest : public ::testing::Test {
protected:
    std::vector<std::uint8_t> readBack(SharedFrameInfo* info = nullptr) const {
        std::vector<std::uint8_t> copied;
        const auto seen = buffer.readFrameInto(copied);
        if (info && seen) *info = *seen;
        return copied;
    }

    test::TempInstanceRoot root;
    test::LogCapture log;
    SharedFrameBuffer buffer;
};

TEST_F(DecodedFrameWriterTest, FirstPictureCarriesSequenceOneAndBothPlanesInOrder) {
    ASSERT_TRUE(buffer.create(kName, 1 << 16, false, ""));
    const DecodedFrame frame = picture(33, 17);
    ASSERT_TRUE(buffer.writeFrame(frame));

    SharedFrameInfo info;
    EXPECT_EQ(readBack(&info), payloadOf(frame));
    EXPECT_EQ(info.sequence, 1u);
    EXPECT_EQ(info.dataSize, 33u * 17 + 33u * 8);
    EXPECT_EQ(info.width, 33u);
    EXPECT_EQ(info.height, 17u);
    EXPECT_EQ(info.strideY, 33u);
    EXPECT_EQ(info.strideUV, 33u);
    EXPECT_EQ(info.timestamp, 0u);  // the frame section carries no timestamp
    EXPECT_FALSE(info.keyFrame);

    // Both writers put the same bytes into the section.
    SharedFrameBuffer other;
    ASSERT_TRUE(other.openReadWrite(kName));
    const auto payload = payloadOf(frame);
    ASSERT_TRUE(other.writeFrame(33, 17, 33, 33, payload.data(), payload.size()));
    EXPECT_EQ(readBack(), payload);
}

TEST_F(DecodedFrameWriterTest, ExactFitIsWrittenAndOneByteMoreIsRefusedWithTheHeaderUnchanged) {
    // 36 x 2 NV12 is 72 + 36 = 108 bytes: exactly the room a 156-byte section has.
    ASSERT_TRUE(buffer.create(kName, 48 + 108, false, ""));
    const DecodedFrame fits = picture(36, 2);
    ASSERT_TRUE(buffer.writeFrame(fits));
    EXPECT_EQ(buffer.sequence(), 1u);
    const SharedFrameHeader before = buffer.readHeader();

    // A 109 x 1 picture (one luma row, no chroma row) is one byte more than the room.
    EXPECT_FALSE(buffer.writeFrame(picture(109, 1, 9)));
    EXPECT_TRUE(log.contains("SharedFrameBuffer::writeFrame: frame too large (157 > 156)"));
    EXPECT_FALSE(buffer.writeFrame(picture(36, 4, 9)));
    EXPECT_TRUE(log.contains("SharedFrameBuffer::writeFrame: frame too large (264 > 156)"));

    EXPECT_EQ(buffer.sequence(), 1u);
    const SharedFrameHeader after = buffer.readHeader();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
    EXPECT_EQ(readBack(), payloadOf(fits));

    // The next picture that fits takes the next number: a refusal does not use one up.
    ASSERT_TRUE(buffer.writeFrame(picture(36, 2, 5)));
    EXPECT_EQ(buffer.readHeader().sequence, 2u);
}

TEST_F(DecodedFrameWriterTest, ShortPlanesArePaddedAndNegativeSizesRefused) {
    ASSERT_TRUE(buffer.create(kName, 4096, false, ""));
    DecodedFrame frame = picture(8, 4);
    frame.uv.resize(10);  // a plane shorter than its rows claim: never read past it
    ASSERT_TRUE(buffer.writeFrame(frame));
    std::vector<std::uint8_t> expected = frame.y;
    expected.insert(expected.end(), frame.uv.begin(), frame.uv.end());
    expected.resize(32 + 16, 0);
    EXPECT_EQ(readBack(), expected);

    DecodedFrame negative = picture(8, 4);
    negative.strideY = -8;
    EXPECT_FALSE(buffer.writeFrame(negative));
    EXPECT_EQ(buffer.sequence(), 1u);
}

TEST_F(DecodedFrameWriterTest, NothingIsWrittenWithoutASection) {
    EXPECT_FALSE(buffer.writeFrame(picture(4, 4)));
    EXPECT_EQ(buffer.sequence(), 0u);
}

}  // namespace
}  // namespace veltrix

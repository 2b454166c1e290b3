#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "core/AV1Decoder.h"
#include "support/LogCapture.h"
#include "support/RawAomStream.h"

namespace veltrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The encoder is near-lossless on uniform pictures, not exact.
constexpr int kTolerance = 2;

bool near(int actual, int expected) { return std::abs(actual - expected) <= kTolerance; }

class AV1DecoderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(decoder.initialize(0, 0)); }

    std::unique_ptr<DecodedFrame> decode(const Bytes& packet, std::int64_t timestamp = 0) {
        return decoder.decode(packet.data(), packet.size(), timestamp);
    }

    test::LogCapture log;
    AV1Decoder decoder;
};

struct SizeCase {
    int width, height;
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.width << "x" << c.height; }

class AV1DecoderRepackTest : public AV1DecoderTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(AV1DecoderRepackTest, GivesTightNv12WithUThenVAndAZeroTailOnOddWidths) {
    const auto [width, height] = GetParam();
    const auto packets = test::encodeUniformStream({.width = width, .height = height}, 1, 100, 60, 200);
    ASSERT_EQ(packets.size(), 1u);
    const auto frame = decode(packets[0], 4242);
    ASSERT_NE(frame, nullptr);

    EXPECT_EQ(frame->width, width);
    EXPECT_EQ(frame->height, height);
    EXPECT_EQ(frame->strideY, width);
    EXPECT_EQ(frame->strideUV, width);
    EXPECT_EQ(frame->timestamp, 4242);
    ASSERT_EQ(frame->y.size(), static_cast<std::size_t>(width) * height);
    ASSERT_EQ(frame->uv.size(), static_cast<std::size_t>(width) * (height / 2));

    for (std::size_t i = 0; i < frame->y.size(); ++i) ASSERT_PRED2(near, frame->y[i], 100) << "luma " << i;
    for (int row = 0; row < height / 2; ++row) {
        const std::uint8_t* uv = frame->uv.data() + static_cast<std::size_t>(row) * width;
        for (int pair = 0; pair < width / 2; ++pair) {
            ASSERT_PRED2(near, uv[2 * pair], 60) << "U at row " << row << " pair " << pair;
            ASSERT_PRED2(near, uv[2 * pair + 1], 200) << "V at row " << row << " pair " << pair;
        }
        if (width % 2) {
            ASSERT_EQ(uv[width - 1], 0) << "row " << row;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AV1DecoderRepackTest,
                         ::testing::Values(SizeCase{1921, 1081}, SizeCase{33, 17}, SizeCase{34, 18}, SizeCase{35, 2},
                                           SizeCase{3, 3}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

struct FormatCase {
    const char* name;
    test::RawStreamOptions options;
    const char* logged;
};

void PrintTo(const FormatCase& c, std::ostream* out) { *out << c.name; }

class AV1DecoderFormatTest : public AV1DecoderTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(AV1DecoderFormatTest, RefusesEveryPictureAndStaysUsable) {
    const auto packets = test::encodeUniformStream(GetParam().options, 3, 90, 100, 110);
    ASSERT_EQ(packets.size(), 3u);
    for (const Bytes& packet : packets) EXPECT_EQ(decode(packet), nullptr);
    EXPECT_EQ(log.count(GetParam().logged), 3u);

    // A key frame of a supported stream starts over on the same decoder.
    const auto good = test::encodeUniformStream({.width = 32, .height = 32}, 1, 90, 100, 110);
    const auto frame = decode(good[0]);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 32);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AV1DecoderFormatTest,
    ::testing::Values(FormatCase{"FourFourFour", {.format = AOM_IMG_FMT_I444, .profile = 1},
                                 "AV1Decoder: unsupported pixel format (layout=3, bpc=8)"},
                      FormatCase{"TenBit", {.format = AOM_IMG_FMT_I42016, .bitDepth = 10},
                                 "AV1Decoder: unsupported pixel format (layout=1, bpc=10)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AV1DecoderTest, APacketSentWhileTheLibraryStillHoldsDataIsSentAgainNotDropped) {
    // Frames of luma 40, 80, 120 ... Two of them arrive as one packet: dav1d decodes the first,
    // keeps the rest and answers "try again" to the next packet. Dropping that packet would show
    // the wrong picture and decode the next one against a missing reference.
    const std::vector<test::PlaneValues> values = {{40, 128, 128}, {80, 128, 128}, {120, 128, 128},
                                                   {160, 128, 128}, {200, 128, 128}};
    const auto packets = test::encodeUniformFrames({.width = 64, .height = 64}, values);
    ASSERT_EQ(packets.size(), values.size());
    Bytes firstTwo = packets[0];
    firstTwo.insert(firstTwo.end(), packets[1].begin(), packets[1].end());

    const auto first = decode(firstTwo, 1);
    ASSERT_NE(first, nullptr);
    EXPECT_PRED2(near, first->y[0], 40);
    for (std::size_t i = 2; i < packets.size(); ++i) {
        const auto frame = decode(packets[i], static_cast<std::int64_t>(i));
        ASSERT_NE(frame, nullptr) << "packet " << i;
        EXPECT_EQ(frame->timestamp, static_cast<std::int64_t>(i));
        for (const std::uint8_t luma : frame->y) ASSERT_PRED2(near, luma, values[i].y) << "packet " << i;
    }
    EXPECT_FALSE(log.contains("dav1d_send_data failed"));
    EXPECT_FALSE(log.contains("dav1d_get_picture failed"));
}

TEST_F(AV1DecoderTest, CorruptDataIsAnErrorAndTheDecoderStaysUsable) {
    const auto packets = test::encodeUniformStream({.width = 32, .height = 32}, 2, 70, 120, 130);
    Bytes garbage(64, 0xFF);
    EXPECT_EQ(decode(garbage), nullptr);
    EXPECT_TRUE(log.contains("AV1Decoder: dav1d_send_data failed (error "));

    // A truncated key frame: whatever the library makes of it, the next whole key frame works.
    Bytes truncated(packets[0].begin(), packets[0].begin() + static_cast<std::ptrdiff_t>(packets[0].size() / 2));
    decode(truncated);
    const auto frame = decode(packets[0]);
    ASSERT_NE(frame, nullptr);
    EXPECT_PRED2(near, frame->y[0], 70);
}

TEST_F(AV1DecoderTest, AStreamLargerThanTheFrameSectionCanCarryIsRefused) {
    // Just above the most pixels whose NV12 fits the decoded-frame section.
    const auto packets = test::encodeUniformStream({.width = 4096, .height = 2732}, 1, 50, 128, 128);
    ASSERT_GT(4096u * 2732u, AV1Decoder::kMaxPicturePixels);
    EXPECT_EQ(decode(packets[0]), nullptr);
    EXPECT_TRUE(log.contains("AV1Decoder: dav1d_send_data failed (error "));

    const auto fits = test::encodeUniformStream({.width = 3840, .height = 2160}, 1, 50, 128, 128);
    EXPECT_NE(decode(fits[0]), nullptr);
}

TEST_F(AV1DecoderTest, DecodeNeedsAnOpenDecoderAndData) {
    const auto packets = test::encodeUniformStream({.width = 16, .height = 16}, 1, 10, 20, 30);
    EXPECT_EQ(decoder.decode(nullptr, 10, 0), nullptr);
    EXPECT_EQ(decoder.decode(packets[0].data(), 0, 0), nullptr);
    EXPECT_EQ(log.count("AV1Decoder: empty input data"), 2u);

    decoder.shutdown();
    EXPECT_FALSE(decoder.isInitialized());
    EXPECT_EQ(decode(packets[0]), nullptr);
    EXPECT_TRUE(log.contains("AV1Decoder: decode called before initialization"));

    ASSERT_TRUE(decoder.initialize(1920, 1080));
    EXPECT_TRUE(log.contains("AV1Decoder: initialized using dav1d (expected 1920x1080)"));
    EXPECT_NE(decode(packets[0]), nullptr);
}

}  // namespace
}  // namespace veltrix

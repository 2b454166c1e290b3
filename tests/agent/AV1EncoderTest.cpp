#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "agent/AV1Encoder.h"
#include "support/LogCapture.h"

namespace veltrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

EncoderConfig smallConfig(int width = 64, int height = 48) {
    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.fps = 30;
    config.bitrateKbps = 800;
    config.keyframeInterval = 60;
    config.crf = 30;
    config.preset = "13";
    return config;
}

// An NV12 picture whose content changes with `frame`, so that every frame has something to code.
Bytes movingPicture(int width, int height, int frame) {
    Bytes nv12(width * height * 3 / 2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) nv12[y * width + x] = static_cast<std::uint8_t>((x * 3 + y * 5 + frame * 11) & 0xFF);
    for (int i = width * height; i < static_cast<int>(nv12.size()); ++i)
        nv12[i] = static_cast<std::uint8_t>(128 + ((i + frame) % 7));
    return nv12;
}

struct PresetCase {
    const char* preset;
    int cpuUsed;
};

void PrintTo(const PresetCase& c, std::ostream* out) { *out << "'" << c.preset << "' -> " << c.cpuUsed; }

class PresetTest : public ::testing::TestWithParam<PresetCase> {};

TEST_P(PresetTest, MapsToTheLibrarySpeed) {
    EXPECT_EQ(AV1Encoder::cpuUsedForPreset(GetParam().preset), GetParam().cpuUsed) << "preset '" << GetParam().preset << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Presets, PresetTest,
    ::testing::Values(PresetCase{"8", 6}, PresetCase{"7", 5}, PresetCase{"13", 10}, PresetCase{"100", 10},
                      PresetCase{"0", 0}, PresetCase{"1", 0}, PresetCase{"2", 1}, PresetCase{"-3", 0},
                      PresetCase{" 4", 3}, PresetCase{"12abc", 9}, PresetCase{"2147483647", 10},
                      PresetCase{"99999999999", 8}, PresetCase{"-99999999999", 8}, PresetCase{"ultrafast", 10},
                      PresetCase{"superfast", 10}, PresetCase{"veryfast", 9}, PresetCase{"faster", 9},
                      PresetCase{"fast", 8}, PresetCase{"medium", 6}, PresetCase{"slow", 4},
                      PresetCase{"veryslow", 1}, PresetCase{"Veryslow", 8}, PresetCase{"MEDIUM", 8},
                      PresetCase{"placebo", 8}, PresetCase{"", 8}));

TEST(AV1EncoderTest, LogsTheClampedQualityLevel) {
    test::LogCapture log;
    AV1Encoder encoder;
    EncoderConfig config = smallConfig();
    config.crf = 70;
    config.preset = "8";
    ASSERT_TRUE(encoder.initialize(config));
    EXPECT_TRUE(log.contains("AV1Encoder: initialized (64x48 @ 30 fps, CQ 63, bitrate 800 kbps, cpu-used=6)"));
    config.crf = -1;
    config.preset = "veryslow";
    ASSERT_TRUE(encoder.initialize(config));
    EXPECT_TRUE(log.contains("AV1Encoder: initialized (64x48 @ 30 fps, CQ 0, bitrate 800 kbps, cpu-used=1)"));
}

TEST(AV1EncoderTest, OddConfigurationUsesTheEvenSizeAndRefusesOtherFrames) {
    test::LogCapture log;
    AV1Encoder encoder;
    const EncoderConfig config = smallConfig(65, 49);
    ASSERT_TRUE(encoder.initialize(config));
    EXPECT_TRUE(log.contains("AV1Encoder: initialized (65x49 @"));
    EXPECT_EQ(encoder.configuredSize(), QSize(64, 48));

    const Bytes picture = movingPicture(65, 49, 0);
    EXPECT_EQ(encoder.encode(picture.data(), 65, 49, 0, false), nullptr);
    EXPECT_TRUE(log.contains("AV1Encoder: frame dimensions 65x49 do not match configured 64x48"));
    const auto packet = encoder.encode(picture.data(), 64, 48, 0, false);
    ASSERT_NE(packet, nullptr);
    EXPECT_TRUE(packet->keyFrame);
}

TEST(AV1EncoderTest, FullHdOddConfigurationConfiguresTheEvenSize) {
    AV1Encoder encoder;
    EncoderConfig config = smallConfig(1921, 1081);
    ASSERT_TRUE(encoder.initialize(config));
    EXPECT_EQ(encoder.configuredSize(), QSize(1920, 1080));
    const Bytes picture(1920 * 1080 * 3 / 2, 128);
    EXPECT_NE(encoder.encode(picture.data(), 1920, 1080, 0, false), nullptr);
    EXPECT_EQ(encoder.encode(picture.data(), 1921, 1081, 0, false), nullptr);
}

TEST(AV1EncoderTest, EncodeOutsideTheInitialisedStateReturnsNothing) {
    test::LogCapture log;
    AV1Encoder encoder;
    const Bytes picture = movingPicture(64, 48, 0);
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_EQ(encoder.encode(picture.data(), 64, 48, 0, false), nullptr);
    ASSERT_TRUE(encoder.initialize(smallConfig()));
    EXPECT_NE(encoder.encode(picture.data(), 64, 48, 0, false), nullptr);
    encoder.shutdown();
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_EQ(encoder.encode(picture.data(), 64, 48, 0, false), nullptr);
    EXPECT_EQ(log.count("AV1Encoder: encode called before initialization"), 2u);
}

TEST(AV1EncoderTest, FailedInitialisationLogsTheLibraryErrorAndLeavesItClosed) {
    test::LogCapture log;
    AV1Encoder encoder;
    ASSERT_TRUE(encoder.initialize(smallConfig()));
    EncoderConfig bad = smallConfig();
    bad.fps = 0;  // a time base of 1/0
    EXPECT_FALSE(encoder.initialize(bad));
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_TRUE(log.contains("AV1Encoder: aom_codec_enc_init failed: "));
    EXPECT_FALSE(encoder.initialize(smallConfig(1, 1)));  // rounds down to 0 x 0
    EXPECT_FALSE(encoder.isInitialized());
}

TEST(AV1EncoderTest, PacketsCarryTheFrameCounterAndTheCallersTimestamp) {
    AV1Encoder encoder;
    ASSERT_TRUE(encoder.initialize(smallConfig()));
    for (int f = 0; f < 5; ++f) {
        const Bytes picture = movingPicture(64, 48, f);
        const auto packet = encoder.encode(picture.data(), 64, 48, 1000 + 33 * f, false);
        ASSERT_NE(packet, nullptr) << f;  // lag 0: one packet per frame, from the same call
        EXPECT_EQ(packet->pts, f);
        EXPECT_EQ(packet->timestamp, 1000 + 33 * f);
        EXPECT_FALSE(packet->data.empty());
        EXPECT_EQ(packet->keyFrame, f == 0);
    }
    // A new initialisation (a size change) restarts the counter with a key frame.
    ASSERT_TRUE(encoder.initialize(smallConfig(32, 32)));
    const Bytes picture = movingPicture(32, 32, 0);
    const auto packet = encoder.encode(picture.data(), 32, 32, 7, false);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->pts, 0);
    EXPECT_TRUE(packet->keyFrame);
}

TEST(AV1EncoderTest, KeyFramesOnRequestAndOnlyAtTheInterval) {
    AV1Encoder encoder;
    EncoderConfig config = smallConfig();
    config.keyframeInterval = 60;
    ASSERT_TRUE(encoder.initialize(config));
    const std::set<int> forced = {7, 33};
    std::set<int> keys;
    for (int f = 0; f < 130; ++f) {
        // Every 20th frame is a whole new picture, which must not start a key frame on its own.
        const Bytes picture = movingPicture(64, 48, f % 20 == 0 ? f * 37 : f);
        const auto packet = encoder.encode(picture.data(), 64, 48, f, forced.count(f) > 0);
        ASSERT_NE(packet, nullptr) << f;
        if (packet->keyFrame) keys.insert(f);
    }
    // Forced frames, the first frame and one key frame 60 frames after the previous one, nothing else.
    EXPECT_EQ(keys, (std::set<int>{0, 7, 33, 93})) << ::testing::PrintToString(keys);
}

TEST(AV1EncoderTest, BitrateUpdatesOnlyWhenInitialisedAndPositive) {
    test::LogCapture log;
    AV1Encoder encoder;
    encoder.updateBitrate(1000);
    EXPECT_TRUE(log.contains("AV1Encoder: updateBitrate called before initialization"));
    ASSERT_TRUE(encoder.initialize(smallConfig()));
    encoder.updateBitrate(0);
    encoder.updateBitrate(-5);
    EXPECT_TRUE(log.contains("AV1Encoder: ignoring invalid bitrate 0 kbps"));
    EXPECT_TRUE(log.contains("AV1Encoder: ignoring invalid bitrate -5 kbps"));
    encoder.updateBitrate(2500);
    EXPECT_TRUE(log.contains("AV1Encoder: bitrate updated to 2500 kbps"));
    EXPECT_FALSE(log.contains("AV1Encoder: config update failed"));
    const Bytes picture = movingPicture(64, 48, 1);
    EXPECT_NE(encoder.encode(picture.data(), 64, 48, 0, false), nullptr);
}

}  // namespace
}  // namespace veltrix

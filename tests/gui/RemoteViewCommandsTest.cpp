#include <gtest/gtest.h>

#include "gui/EncodeResolution.h"
#include "gui/KeyCombinations.h"

namespace veltrix {
namespace {

namespace er = encode_resolution;

TEST(EncodeResolution, TargetSizeForEveryChoice) {
    struct Case {
        const char* name;
        int choice;
        QSize viewer;
        double zoom;
        QSize remote;
        QSize expected;
    };
    const QSize fullHd(1920, 1080);
    const Case cases[] = {
        {"viewer at the partner's aspect", er::Automatic, {1600, 900}, 1.0, fullHd, {1600, 900}},
        {"square viewer: partner's aspect, then even", er::Automatic, {1000, 1000}, 1.0, fullHd, {1000, 562}},
        {"tiny viewer: at least 160 x 120", er::Automatic, {100, 50}, 1.0, fullHd, {160, 120}},
        {"zoomed past the partner: its own size", er::Automatic, {1600, 900}, 2.0, fullHd, {1920, 1080}},
        {"partner size unknown: the viewer's", er::Automatic, {1001, 701}, 1.0, QSize(), {1000, 700}},
        {"native", er::Native, {1600, 900}, 1.0, fullHd, {0, 0}},
        {"1920x1080", er::FullHd, {100, 100}, 3.0, fullHd, {1920, 1080}},
        {"1280x720", er::Hd, {100, 100}, 1.0, fullHd, {1280, 720}},
        {"854x480", er::Wide480, {100, 100}, 1.0, fullHd, {854, 480}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(er::target(c.choice, c.viewer, c.zoom, c.remote), c.expected) << c.name;
    }
}

TEST(EncodeResolution, SmallChangesAreNotWorthSending) {
    EXPECT_TRUE(er::worthSending(QSize(), {1600, 900}));
    EXPECT_FALSE(er::worthSending({1600, 900}, {1663, 963}));
    EXPECT_TRUE(er::worthSending({1600, 900}, {1664, 900}));
    EXPECT_TRUE(er::worthSending({1600, 900}, {1600, 836}));
    EXPECT_FALSE(er::worthSending({0, 0}, {0, 0})) << "Native twice is sent once";
}

TEST(KeyCombinations, DownsInOrderUpsReversedWithOneTimestamp) {
    const auto& combinations = keyCombinations();
    ASSERT_EQ(combinations.size(), 14u);
    const auto altShiftTab = std::find_if(combinations.begin(), combinations.end(),
                                          [](const KeyCombination& c) { return c.text == "Alt+Shift+Tab"; });
    ASSERT_NE(altShiftTab, combinations.end());
    const auto events = keyCombinationEvents(altShiftTab->virtualKeys, 1234);
    const std::pair<std::uint8_t, std::uint32_t> expected[] = {
        {InputEvent::KeyDown, 0x12}, {InputEvent::KeyDown, 0x10}, {InputEvent::KeyDown, 0x09},
        {InputEvent::KeyUp, 0x09},   {InputEvent::KeyUp, 0x10},   {InputEvent::KeyUp, 0x12},
    };
    ASSERT_EQ(events.size(), std::size(expected));
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].type, expected[i].first) << i;
        EXPECT_EQ(events[i].vk_code, expected[i].second) << i;
        EXPECT_EQ(events[i].timestamp_ms, 1234) << i;
        EXPECT_EQ(events[i].mouse_button, 1);
    }
    EXPECT_EQ(events[0].scan_code, 0x38u);  // Alt
    EXPECT_EQ(events[2].scan_code, 0x0Fu);  // Tab
    EXPECT_FALSE(events[0].extended);
}

TEST(KeyCombinations, WindowsAndNavigationKeysAreExtendedWithoutTheScanPrefix) {
    const auto winL = keyCombinationEvents({0x5B, 0x4C}, 0);
    EXPECT_TRUE(winL[0].extended);
    EXPECT_EQ(winL[0].scan_code, 0x5Bu);
    EXPECT_FALSE(winL[1].extended);
    EXPECT_EQ(winL[1].scan_code, 0x26u);
    const auto printScreen = keyCombinationEvents({0x2C}, 0);
    EXPECT_TRUE(printScreen[0].extended);
}

}  // namespace
}  // namespace veltrix

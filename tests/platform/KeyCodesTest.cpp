// The key table read from both sides: known keys, and X key code -> scan code -> X key code for
// every key.
#include <gtest/gtest.h>

#include <set>

#include "platform/KeyCodes.h"

namespace veltrix::platform::keys {
namespace {

TEST(KeyCodes, KnownKeysFromEverySide) {
    struct Case {
        std::uint8_t xKeycode;
        std::uint16_t virtualKey, scanCode;
    };
    for (const Case& c : {Case{38, 'A', 0x1E}, Case{10, '1', 0x02}, Case{9, 0x1B, 0x01}, Case{111, 0x26, 0xE048},
                          Case{105, 0x11, 0xE01D}, Case{62, 0x10, 0x36}, Case{104, 0x0D, 0xE01C},
                          Case{133, 0x5B, 0xE05B}, Case{96, 0x7B, 0x58}}) {
        const KeyCodeEntry* entry = entryForXKeycode(c.xKeycode);
        ASSERT_NE(entry, nullptr) << int(c.xKeycode);
        EXPECT_EQ(entry->virtualKey, c.virtualKey) << int(c.xKeycode);
        EXPECT_EQ(entry->scanCode, c.scanCode) << int(c.xKeycode);
        EXPECT_EQ(xKeycodeForScanCode(c.scanCode), c.xKeycode);
    }
    // A virtual key shared by two keys names the left one; the side-specific codes name each.
    EXPECT_EQ(xKeycodeForVirtualKey(0x10), 50);
    EXPECT_EQ(xKeycodeForVirtualKey(0xA1), 62);
    EXPECT_EQ(xKeycodeForVirtualKey(0xA3), 105);
    EXPECT_EQ(keysymForVirtualKey('A'), 0x61u);
    EXPECT_FALSE(xKeycodeForVirtualKey(0xFE));
    EXPECT_FALSE(xKeycodeForScanCode(0));
    EXPECT_EQ(entryForXKeycode(255), nullptr);
}

TEST(KeyCodes, EveryKeyRoundTripsThroughItsScanCode) {
    std::set<std::uint8_t> keys;
    for (const KeyCodeEntry& entry : keyTable()) {
        if (!keys.insert(entry.xKeycode).second) continue;  // a further virtual key of a listed key
        ASSERT_NE(entry.scanCode, 0) << int(entry.xKeycode);
        EXPECT_EQ(xKeycodeForScanCode(entry.scanCode), entry.xKeycode) << int(entry.xKeycode);
        EXPECT_EQ(entryForXKeycode(entry.xKeycode), &entry);
        EXPECT_TRUE(xKeycodeForVirtualKey(entry.virtualKey));
    }
    EXPECT_GE(keys.size(), 100u);
}

}  // namespace
}  // namespace veltrix::platform::keys

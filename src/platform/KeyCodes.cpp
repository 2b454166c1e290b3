#include "platform/KeyCodes.h"

#include <array>

namespace veltrix::platform::keys {
namespace {

constexpr std::uint16_t E = kExtendedScanCode;

// X key code = evdev code + 8; the set-1 scan code of the basic block equals the evdev code.
constexpr KeyCodeEntry row(std::uint8_t evdev, std::uint16_t vk, std::uint16_t scan, std::uint32_t keysym) {
    return KeyCodeEntry{static_cast<std::uint8_t>(evdev + 8), vk, scan, keysym};
}

constexpr auto kTable = std::to_array<KeyCodeEntry>({
    row(1, 0x1B, 0x01, 0xff1b),  // Escape
    row(2, 0x31, 0x02, '1'), row(3, 0x32, 0x03, '2'), row(4, 0x33, 0x04, '3'), row(5, 0x34, 0x05, '4'),
    row(6, 0x35, 0x06, '5'), row(7, 0x36, 0x07, '6'), row(8, 0x37, 0x08, '7'), row(9, 0x38, 0x09, '8'),
    row(10, 0x39, 0x0A, '9'), row(11, 0x30, 0x0B, '0'),
    row(12, 0xBD, 0x0C, '-'),      // VK_OEM_MINUS
    row(13, 0xBB, 0x0D, '='),      // VK_OEM_PLUS
    row(14, 0x08, 0x0E, 0xff08),   // BackSpace
    row(15, 0x09, 0x0F, 0xff09),   // Tab
    row(16, 'Q', 0x10, 'q'), row(17, 'W', 0x11, 'w'), row(18, 'E', 0x12, 'e'), row(19, 'R', 0x13, 'r'),
    row(20, 'T', 0x14, 't'), row(21, 'Y', 0x15, 'y'), row(22, 'U', 0x16, 'u'), row(23, 'I', 0x17, 'i'),
    row(24, 'O', 0x18, 'o'), row(25, 'P', 0x19, 'p'),
    row(26, 0xDB, 0x1A, '['),      // VK_OEM_4
    row(27, 0xDD, 0x1B, ']'),      // VK_OEM_6
    row(28, 0x0D, 0x1C, 0xff0d),   // Return
    row(29, 0x11, 0x1D, 0xffe3),   // Control_L
    row(30, 'A', 0x1E, 'a'), row(31, 'S', 0x1F, 's'), row(32, 'D', 0x20, 'd'), row(33, 'F', 0x21, 'f'),
    row(34, 'G', 0x22, 'g'), row(35, 'H', 0x23, 'h'), row(36, 'J', 0x24, 'j'), row(37, 'K', 0x25, 'k'),
    row(38, 'L', 0x26, 'l'),
    row(39, 0xBA, 0x27, ';'),      // VK_OEM_1
    row(40, 0xDE, 0x28, '\''),     // VK_OEM_7
    row(41, 0xC0, 0x29, '`'),      // VK_OEM_3
    row(42, 0x10, 0x2A, 0xffe1),   // Shift_L
    row(43, 0xDC, 0x2B, '\\'),     // VK_OEM_5
    row(44, 'Z', 0x2C, 'z'), row(45, 'X', 0x2D, 'x'), row(46, 'C', 0x2E, 'c'), row(47, 'V', 0x2F, 'v'),
    row(48, 'B', 0x30, 'b'), row(49, 'N', 0x31, 'n'), row(50, 'M', 0x32, 'm'),
    row(51, 0xBC, 0x33, ','),      // VK_OEM_COMMA
    row(52, 0xBE, 0x34, '.'),      // VK_OEM_PERIOD
    row(53, 0xBF, 0x35, '/'),      // VK_OEM_2
    row(54, 0x10, 0x36, 0xffe2),   // Shift_R
    row(55, 0x6A, 0x37, 0xffaa),   // KP_Multiply
    row(56, 0x12, 0x38, 0xffe9),   // Alt_L
    row(57, 0x20, 0x39, ' '),      // space
    row(58, 0x14, 0x3A, 0xffe5),   // Caps_Lock
    row(59, 0x70, 0x3B, 0xffbe), row(60, 0x71, 0x3C, 0xffbf), row(61, 0x72, 0x3D, 0xffc0),  // F1-F3
    row(62, 0x73, 0x3E, 0xffc1), row(63, 0x74, 0x3F, 0xffc2), row(64, 0x75, 0x40, 0xffc3),  // F4-F6
    row(65, 0x76, 0x41, 0xffc4), row(66, 0x77, 0x42, 0xffc5), row(67, 0x78, 0x43, 0xffc6),  // F7-F9
    row(68, 0x79, 0x44, 0xffc7),                                                            // F10
    row(69, 0x90, E | 0x45, 0xff7f),  // Num_Lock (extended on Windows)
    row(70, 0x91, 0x46, 0xff14),      // Scroll_Lock
    row(71, 0x67, 0x47, 0xffb7), row(72, 0x68, 0x48, 0xffb8), row(73, 0x69, 0x49, 0xffb9),  // KP 7-9
    row(74, 0x6D, 0x4A, 0xffad),                                                            // KP_Subtract
    row(75, 0x64, 0x4B, 0xffb4), row(76, 0x65, 0x4C, 0xffb5), row(77, 0x66, 0x4D, 0xffb6),  // KP 4-6
    row(78, 0x6B, 0x4E, 0xffab),                                                            // KP_Add
    row(79, 0x61, 0x4F, 0xffb1), row(80, 0x62, 0x50, 0xffb2), row(81, 0x63, 0x51, 0xffb3),  // KP 1-3
    row(82, 0x60, 0x52, 0xffb0),   // KP_0
    row(83, 0x6E, 0x53, 0xffae),   // KP_Decimal
    row(86, 0xE2, 0x56, '<'),      // VK_OEM_102
    row(87, 0x7A, 0x57, 0xffc8),   // F11
    row(88, 0x7B, 0x58, 0xffc9),   // F12
    row(96, 0x0D, E | 0x1C, 0xff8d),   // KP_Enter
    row(97, 0x11, E | 0x1D, 0xffe4),   // Control_R
    row(98, 0x6F, E | 0x35, 0xffaf),   // KP_Divide
    row(99, 0x2C, E | 0x37, 0xff61),   // Print
    row(100, 0x12, E | 0x38, 0xffea),  // Alt_R
    row(102, 0x24, E | 0x47, 0xff50),  // Home
    row(103, 0x26, E | 0x48, 0xff52),  // Up
    row(104, 0x21, E | 0x49, 0xff55),  // Prior
    row(105, 0x25, E | 0x4B, 0xff51),  // Left
    row(106, 0x27, E | 0x4D, 0xff53),  // Right
    row(107, 0x23, E | 0x4F, 0xff57),  // End
    row(108, 0x28, E | 0x50, 0xff54),  // Down
    row(109, 0x22, E | 0x51, 0xff56),  // Next
    row(110, 0x2D, E | 0x52, 0xff63),  // Insert
    row(111, 0x2E, E | 0x53, 0xffff),  // Delete
    row(119, 0x13, 0x45, 0xff13),      // Pause
    row(125, 0x5B, E | 0x5B, 0xffeb),  // Super_L
    row(126, 0x5C, E | 0x5C, 0xffec),  // Super_R
    row(127, 0x5D, E | 0x5D, 0xff67),  // Menu
    // Further virtual keys of keys listed above.
    row(42, 0xA0, 0x2A, 0xffe1),       // VK_LSHIFT
    row(54, 0xA1, 0x36, 0xffe2),       // VK_RSHIFT
    row(29, 0xA2, 0x1D, 0xffe3),       // VK_LCONTROL
    row(97, 0xA3, E | 0x1D, 0xffe4),   // VK_RCONTROL
    row(56, 0xA4, 0x38, 0xffe9),       // VK_LMENU
    row(100, 0xA5, E | 0x38, 0xffea),  // VK_RMENU
    row(76, 0x0C, 0x4C, 0xff9d),       // VK_CLEAR (keypad 5 without Num Lock)
});

template <typename Match>
const KeyCodeEntry* first(Match match) {
    for (const KeyCodeEntry& entry : kTable) {
        if (match(entry)) return &entry;
    }
    return nullptr;
}

}  // namespace

std::span<const KeyCodeEntry> keyTable() { return kTable; }

std::optional<std::uint8_t> xKeycodeForVirtualKey(std::uint16_t virtualKey) {
    if (const auto* e = first([&](const KeyCodeEntry& k) { return k.virtualKey == virtualKey; })) return e->xKeycode;
    return std::nullopt;
}

std::optional<std::uint32_t> keysymForVirtualKey(std::uint16_t virtualKey) {
    if (const auto* e = first([&](const KeyCodeEntry& k) { return k.virtualKey == virtualKey; })) return e->keysym;
    return std::nullopt;
}

std::optional<std::uint8_t> xKeycodeForScanCode(std::uint16_t scanCode) {
    if (scanCode == 0) return std::nullopt;
    if (const auto* e = first([&](const KeyCodeEntry& k) { return k.scanCode == scanCode; })) return e->xKeycode;
    return std::nullopt;
}

const KeyCodeEntry* entryForXKeycode(std::uint8_t xKeycode) {
    return first([&](const KeyCodeEntry& k) { return k.xKeycode == xKeycode; });
}

}  // namespace veltrix::platform::keys

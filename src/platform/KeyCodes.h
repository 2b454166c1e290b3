#pragma once

#include <cstdint>
#include <optional>
#include <span>

// The one key table of both programs: each physical key of a PC keyboard with its X key code
// (the evdev code + 8, as X servers with the evdev rules number them), its Windows virtual-key
// code, its set-1 scan code (0xE000 added for the extended keys) and the X key symbol it carries
// on a US layout. The agent reads it from the virtual-key or scan-code side to inject keys; the
// viewer reads it from the X side to send them.
namespace veltrix::platform::keys {

struct KeyCodeEntry {
    std::uint8_t xKeycode;     // evdev code + 8
    std::uint16_t virtualKey;  // Windows virtual-key code
    std::uint16_t scanCode;    // set-1 scan code, 0xE000 | code for extended keys; 0: none
    std::uint32_t keysym;      // X key symbol of the key's first level
};

inline constexpr std::uint16_t kExtendedScanCode = 0xE000;

// The whole table. A physical key appears once in its own row; a few further rows name extra
// virtual keys for a key that already has one (the side-specific Shift, Control and Alt codes,
// VK_CLEAR on keypad 5). Lookups from the X side take the first row of a key code.
std::span<const KeyCodeEntry> keyTable();

// Virtual key to X key code (first row with that virtual key).
std::optional<std::uint8_t> xKeycodeForVirtualKey(std::uint16_t virtualKey);
// Virtual key to the X key symbol of its key.
std::optional<std::uint32_t> keysymForVirtualKey(std::uint16_t virtualKey);
// Scan code (0xE000 | code when extended) to X key code.
std::optional<std::uint8_t> xKeycodeForScanCode(std::uint16_t scanCode);
// X key code to the key's row (virtual key and scan code).
const KeyCodeEntry* entryForXKeycode(std::uint8_t xKeycode);

}  // namespace veltrix::platform::keys

#include "KeyCombinations.h"

#include "platform/KeyCodes.h"

namespace veltrix {

namespace {

// The navigation block, Print Screen, Insert, Delete, both Windows keys and keypad Divide are
// extended keys: the partner needs the flag to tell them from their keypad twins.
bool isExtendedKey(std::uint32_t virtualKey) {
    return (virtualKey >= 0x21 && virtualKey <= 0x28) || (virtualKey >= 0x2C && virtualKey <= 0x2E) ||
           virtualKey == 0x5B || virtualKey == 0x5C || virtualKey == 0x6F;
}

// The key's set-1 scan code without the extended prefix, as the system's virtual-key to scan-code
// mapping gives it; 0 for a key the table does not know.
std::uint32_t scanCodeOf(std::uint32_t virtualKey) {
    if (virtualKey > 0xFFFF) {
        return 0;
    }
    const auto xKeycode = platform::keys::xKeycodeForVirtualKey(static_cast<std::uint16_t>(virtualKey));
    const auto* entry = xKeycode ? platform::keys::entryForXKeycode(*xKeycode) : nullptr;
    return entry ? entry->scanCode & 0xFFu : 0;
}

InputEvent keyEvent(std::uint8_t type, std::uint32_t virtualKey, std::int64_t timestampMs) {
    InputEvent event;
    event.type = type;
    event.timestamp_ms = timestampMs;
    event.vk_code = virtualKey;
    event.scan_code = scanCodeOf(virtualKey);
    event.extended = isExtendedKey(virtualKey);
    return event;
}

}  // namespace

const std::vector<KeyCombination>& keyCombinations() {
    static const std::vector<KeyCombination> combinations = {
        {QStringLiteral("Ctrl+Shift+Esc (Task Manager)"), {0x11, 0x10, 0x1B}},
        {QStringLiteral("Alt+Tab"), {0x12, 0x09}},
        {QStringLiteral("Alt+Shift+Tab"), {0x12, 0x10, 0x09}},
        {QStringLiteral("Alt+F4"), {0x12, 0x73}},
        {QStringLiteral("Alt+Space"), {0x12, 0x20}},
        {QStringLiteral("Alt+Print Screen"), {0x12, 0x2C}},
        {QStringLiteral("Print Screen"), {0x2C}},
        {QStringLiteral("Escape"), {0x1B}},
        {QStringLiteral("Windows key"), {0x5B}},
        {QStringLiteral("Win+D (Show Desktop)"), {0x5B, 0x44}},
        {QStringLiteral("Win+E (File Explorer)"), {0x5B, 0x45}},
        {QStringLiteral("Win+R (Run)"), {0x5B, 0x52}},
        {QStringLiteral("Win+L (Lock)"), {0x5B, 0x4C}},
        {QStringLiteral("Win+Tab (Task View)"), {0x5B, 0x09}},
    };
    return combinations;
}

std::vector<InputEvent> keyCombinationEvents(const std::vector<std::uint32_t>& virtualKeys, std::int64_t timestampMs) {
    std::vector<InputEvent> events;
    events.reserve(virtualKeys.size() * 2);
    for (const std::uint32_t key : virtualKeys) {
        events.push_back(keyEvent(InputEvent::KeyDown, key, timestampMs));
    }
    for (auto key = virtualKeys.rbegin(); key != virtualKeys.rend(); ++key) {
        events.push_back(keyEvent(InputEvent::KeyUp, *key, timestampMs));
    }
    return events;
}

}  // namespace veltrix

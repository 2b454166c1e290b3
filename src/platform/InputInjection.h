#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/SystemError.h"

// Synthesised input for the session's desktop, in the shape of the system's input-injection call:
// a batch of mouse and keyboard inputs, inserted in order, the count inserted returned.
//
// Linux stand-in: XTest on the session's X display (DISPLAY).
// - Absolute mouse coordinates (0..65535) address the primary monitor (RandR primary, else the
//   first monitor), or with `kMouseVirtualDesk` the whole X screen, which is the virtual desktop.
// - Buttons: left 1, right 3, middle 2, first and second extra button 8 and 9; the wheel is one
//   click of button 4 (away from the user) or 5 per 120 of delta, the remainder carried over.
// - Keys: with `kKeyScanCode` the scan code (0xE000 | code for `kKeyExtended`) gives the evdev
//   key code, else the virtual key's key symbol is looked up in the server's key map (the key
//   table's key code when the map lacks it); both through the table of platform/KeyCodes.h.
// - XTest events cannot carry the extra-information marker. A client that must tell injected
//   input from local input recognises it by its source device instead: XTest events come from
//   the server's "XTEST" slave devices (XInput 2 sourceid).
namespace veltrix::platform::input {

// The marker injected input carries where the platform can carry one.
inline constexpr std::uintptr_t kInjectedInputMarker = 0x56587431;

inline constexpr std::uint32_t kMouseMove = 0x0001;
inline constexpr std::uint32_t kMouseLeftDown = 0x0002;
inline constexpr std::uint32_t kMouseLeftUp = 0x0004;
inline constexpr std::uint32_t kMouseRightDown = 0x0008;
inline constexpr std::uint32_t kMouseRightUp = 0x0010;
inline constexpr std::uint32_t kMouseMiddleDown = 0x0020;
inline constexpr std::uint32_t kMouseMiddleUp = 0x0040;
inline constexpr std::uint32_t kMouseXDown = 0x0080;
inline constexpr std::uint32_t kMouseXUp = 0x0100;
inline constexpr std::uint32_t kMouseWheel = 0x0800;
inline constexpr std::uint32_t kMouseVirtualDesk = 0x4000;
inline constexpr std::uint32_t kMouseAbsolute = 0x8000;

inline constexpr std::uint32_t kKeyExtended = 0x0001;
inline constexpr std::uint32_t kKeyUp = 0x0002;
inline constexpr std::uint32_t kKeyScanCode = 0x0008;

struct MouseInput {
    std::int32_t dx = 0;  // absolute 0..65535 with kMouseAbsolute
    std::int32_t dy = 0;
    std::int32_t mouseData = 0;  // wheel delta, or 1 / 2 for the extra buttons
    std::uint32_t flags = 0;
};

struct KeyboardInput {
    std::uint16_t virtualKey = 0;
    std::uint16_t scanCode = 0;
    std::uint32_t flags = 0;
};

struct Input {
    enum class Kind { Mouse, Keyboard } kind = Kind::Mouse;
    MouseInput mouse;
    KeyboardInput keyboard;
    std::uintptr_t extraInfo = 0;
    std::uint32_t time = 0;
};

// Inserts the inputs in order; returns how many were inserted, with `error` set when fewer than
// given (no display, a key that has no key code, a lost server).
unsigned sendInput(std::span<const Input> inputs, SystemError& error);

// The desktop's geometry as the input mapping needs it.
struct ScreenMetrics {
    std::int32_t virtualLeft = 0;  // the X screen
    std::int32_t virtualTop = 0;
    std::int32_t virtualWidth = 0;
    std::int32_t virtualHeight = 0;
    std::int32_t primaryWidth = 0;  // the primary monitor
    std::int32_t primaryHeight = 0;
    int monitorCount = 0;
};

// Nullopt when the display cannot be reached.
std::optional<ScreenMetrics> screenMetrics();

}  // namespace veltrix::platform::input

#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/SystemError.h"

// Pointer presses anywhere on the desktop, told apart by whether this machine's own input
// injector (platform/InputInjection.h) made them, together with the two facts about the client's
// windows that a filter of such presses needs: which part of a top-level window lies under a
// desktop point, and which window a native toolkit event asks to close.
//
// Linux stand-in: XInput 2 raw button presses selected on the root window of the display named
// by DISPLAY, on a connection of its own. Injected input comes from XTest, which carries no
// marker, so a press counts as injected when its source device is one of the server's XTest
// devices. The frame is the window manager's decoration around a top-level window as it
// announces it in _NET_FRAME_EXTENTS; the close request is the window manager's WM_DELETE_WINDOW
// client message as it reaches Qt's xcb connection ("xcb_generic_event_t").
namespace veltrix::platform::input {

struct PointerPress {
    std::uint32_t button = 0;  // 1 left, 2 middle, 3 right, 4 and 5 the wheel, 8 and 9 the extra buttons
    // Where the pointer was when the press was read, in desktop coordinates.
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool injected = false;  // made by this machine's input injector
};

// Where a desktop point lies relative to one top-level window: in its client area, on the frame
// the window manager drew around it, or elsewhere (outside both, or covered by another window).
enum class WindowPart { Elsewhere, Client, Frame };

// The seam the client's synthesized-input filter watches through; tests use a fake twin.
// Everything runs on the thread that called `start`, inside its event loop.
class PointerPressWatch {
public:
    using PressHandler = std::function<void(const PointerPress&)>;

    virtual ~PointerPressWatch() = default;

    // Reports every press made from now on to `handler`; false, with `error` set, when the
    // desktop cannot report presses (no display, no input extension).
    virtual bool start(PressHandler handler, SystemError& error) = 0;

    // Reports at once every press the desktop made before this call. A close request judged
    // after it has seen the press that led to it, whatever order the event loop would have
    // chosen.
    virtual void flush() = 0;

    // The window that a native event of the GUI toolkit (Qt's event type and message) asks to
    // close on the window manager's behalf; 0 for every other event.
    virtual std::uint64_t closeRequestWindow(const QByteArray& eventType, const void* message) const = 0;

    // Which part of the top-level `window` (a native window id) lies at the desktop point;
    // Elsewhere also when another window covers the point.
    virtual WindowPart partAt(std::uint64_t window, std::int32_t x, std::int32_t y) = 0;
};

// The desktop's own watch (not started).
std::unique_ptr<PointerPressWatch> createPointerPressWatch();

}  // namespace veltrix::platform::input

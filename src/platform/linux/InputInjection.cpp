#include "platform/InputInjection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/KeyCodes.h"
#include "platform/linux/X11Connection.h"
#include "platform/linux/X11Monitors.h"

namespace veltrix::platform::input {
namespace {

using Clock = std::chrono::steady_clock;

struct Rect {
    std::int32_t x = 0, y = 0, width = 0, height = 0;
};

// One connection for the process's injection, opened on first use and again after a lost server.
// The screen geometry is read again when the server announces a RandR change (a monitor added or
// removed, a new size), and otherwise at most once a second: the mapping runs for every mouse
// event. Xlib's own record of the screen size follows only the events it is handed, so the size
// is asked of the server itself.
class Injector {
public:
    unsigned send(std::span<const Input> inputs, SystemError& error) {
        std::lock_guard lock(mutex_);
        const unsigned inserted = sendOnce(inputs, error);
        // A server that went away (and perhaps came back under the same name) received nothing of
        // this batch: one more try on a fresh connection.
        if (inserted == 0 && error.code == EPIPE) return sendOnce(inputs, error);
        return inserted;
    }

    unsigned sendOnce(std::span<const Input> inputs, SystemError& error) {
        error.code = 0;
        if (!ensureConnection()) {
            error.code = ENXIO;
            return 0;
        }
        unsigned inserted = 0;
        for (const Input& input : inputs) {
            const bool ok = input.kind == Input::Kind::Mouse ? mouse(input.mouse) : keyboard(input.keyboard);
            if (!ok) {
                error.code = EINVAL;
                break;
            }
            ++inserted;
        }
        XFlush(connection_->display());
        if (connection_->broken()) {
            error.code = EPIPE;
            return 0;
        }
        return inserted;
    }

    std::optional<ScreenMetrics> metrics() {
        std::lock_guard lock(mutex_);
        if (!ensureConnection()) return std::nullopt;
        refreshGeometry();
        ScreenMetrics m;
        m.virtualLeft = screen_.x;
        m.virtualTop = screen_.y;
        m.virtualWidth = screen_.width;
        m.virtualHeight = screen_.height;
        m.primaryWidth = primary_.width;
        m.primaryHeight = primary_.height;
        m.monitorCount = monitorCount_;
        return m;
    }

private:
    bool ensureConnection() {
        const char* display = std::getenv("DISPLAY");
        const std::string name = display ? display : "";
        if (connection_ && !connection_->broken() && name == displayName_) return true;
        connection_.reset();
        displayName_ = name;
        connection_ = x11::Connection::open();
        geometryTime_.reset();
        if (!connection_) return false;
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(connection_->display(), &eventBase, &errorBase, &major, &minor)) {
            connection_.reset();
            return false;
        }
        randrEventBase_.reset();
        if (XRRQueryExtension(connection_->display(), &eventBase, &errorBase)) {
            randrEventBase_ = eventBase;
            XRRSelectInput(connection_->display(), connection_->root(),
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        }
        return true;
    }

    // True when the server announced a change of the screen or its monitors since the last look.
    bool displayChanged() {
        Display* display = connection_->display();
        bool changed = false;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (!randrEventBase_) continue;
            if (event.type == *randrEventBase_ + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&event);
                changed = true;
            } else if (event.type == *randrEventBase_ + RRNotify) {
                changed = true;
            }
        }
        return changed;
    }

    void refreshGeometry() {
        const auto now = Clock::now();
        const bool changed = displayChanged();
        if (!changed && geometryTime_ && now - *geometryTime_ < std::chrono::seconds(1)) return;
        geometryTime_ = now;
        Display* display = connection_->display();
        const int screen = connection_->screen();
        screen_ = {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
        Window root = 0;
        int x = 0, y = 0;
        unsigned width = 0, height = 0, border = 0, depth = 0;
        if (XGetGeometry(display, connection_->root(), &root, &x, &y, &width, &height, &border, &depth)) {
            screen_.width = static_cast<std::int32_t>(width);
            screen_.height = static_cast<std::int32_t>(height);
        }
        const auto monitors = x11::monitorsOfScreen(display, screen);
        monitorCount_ = static_cast<int>(monitors.size());
        primary_ = screen_;
        for (const auto& m : monitors) {
            if (m.primary || &m == &monitors.front()) primary_ = {m.x, m.y, m.width, m.height};
            if (m.primary) break;
        }
    }

    // Absolute 0..65535 onto `area`, as the system maps them: pixel = abs * size / 65536.
    static std::int32_t toPixel(std::int32_t absolute, std::int32_t origin, std::int32_t size) {
        const std::int64_t clamped = std::clamp<std::int64_t>(absolute, 0, 65535);
        return origin + static_cast<std::int32_t>(clamped * size / 65536);
    }

    bool mouse(const MouseInput& in) {
        Display* display = connection_->display();
        if (in.flags & kMouseMove) {
            if (in.flags & kMouseAbsolute) {
                refreshGeometry();
                const Rect& area = (in.flags & kMouseVirtualDesk) ? screen_ : primary_;
                XTestFakeMotionEvent(display, connection_->screen(), toPixel(in.dx, area.x, area.width),
                                     toPixel(in.dy, area.y, area.height), CurrentTime);
            } else {
                XTestFakeRelativeMotionEvent(display, in.dx, in.dy, CurrentTime);
            }
        }
        const auto button = [&](std::uint32_t down, std::uint32_t up, unsigned number) {
            if (in.flags & down) XTestFakeButtonEvent(display, number, True, CurrentTime);
            if (in.flags & up) XTestFakeButtonEvent(display, number, False, CurrentTime);
        };
        button(kMouseLeftDown, kMouseLeftUp, 1);
        button(kMouseRightDown, kMouseRightUp, 3);
        button(kMouseMiddleDown, kMouseMiddleUp, 2);
        if (in.flags & (kMouseXDown | kMouseXUp)) {
            if (in.mouseData != 1 && in.mouseData != 2) return false;
            button(kMouseXDown, kMouseXUp, in.mouseData == 1 ? 8 : 9);
        }
        if (in.flags & kMouseWheel) wheel(in.mouseData);
        return true;
    }

    void wheel(std::int32_t delta) {
        wheelRemainder_ += delta;
        const int clicks = wheelRemainder_ / 120;
        wheelRemainder_ -= clicks * 120;
        const unsigned number = clicks > 0 ? 4 : 5;
        for (int i = 0; i < std::abs(clicks); ++i) {
            XTestFakeButtonEvent(connection_->display(), number, True, CurrentTime);
            XTestFakeButtonEvent(connection_->display(), number, False, CurrentTime);
        }
    }

    bool keyboard(const KeyboardInput& in) {
        const auto keycode = keycodeFor(in);
        if (!keycode) return false;
        XTestFakeKeyEvent(connection_->display(), *keycode, (in.flags & kKeyUp) ? False : True, CurrentTime);
        return true;
    }

    std::optional<unsigned> keycodeFor(const KeyboardInput& in) {
        if (in.flags & kKeyScanCode) {
            const auto scan = static_cast<std::uint16_t>((in.scanCode & 0xFF) |
                                                         ((in.flags & kKeyExtended) ? keys::kExtendedScanCode : 0));
            if (const auto code = keys::xKeycodeForScanCode(scan)) return *code;
            return std::nullopt;
        }
        if (const auto keysym = keys::keysymForVirtualKey(in.virtualKey)) {
            if (const KeyCode code = XKeysymToKeycode(connection_->display(), *keysym); code != 0) return code;
        }
        if (const auto code = keys::xKeycodeForVirtualKey(in.virtualKey)) return *code;
        return std::nullopt;
    }

    std::mutex mutex_;
    std::unique_ptr<x11::Connection> connection_;
    std::string displayName_;  // the DISPLAY it was opened on
    std::optional<Clock::time_point> geometryTime_;
    std::optional<int> randrEventBase_;
    Rect screen_;
    Rect primary_;
    int monitorCount_ = 0;
    int wheelRemainder_ = 0;
};

Injector& injector() {
    static Injector instance;
    return instance;
}

}  // namespace

unsigned sendInput(std::span<const Input> inputs, SystemError& error) { return injector().send(inputs, error); }

std::optional<ScreenMetrics> screenMetrics() { return injector().metrics(); }

}  // namespace veltrix::platform::input

// Win32InputBackend's injection on a private X server: the pointer moves where the mapping says,
// clicks, wheel and keys reach a test window as the right buttons and key symbols, and the rate
// window lets 200 events a second through.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "agent/InputForwarder.h"
#include "agent/Win32InputBackend.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"

// Last: Xlib defines macros (Status, Bool) that Qt headers must not see.
#include "support/XScreen.h"
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <thread>

namespace veltrix {
namespace {

using namespace std::chrono_literals;

// A plain window at (100, 100), 400 x 300, that holds the input focus and records its events.
class TestWindow {
public:
    explicit TestWindow(const std::string& displayName) : screen_(displayName), display_(screen_.display()) {
        if (!display_) return;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask;
        window_ = XCreateWindow(display_, DefaultRootWindow(display_), 100, 100, 400, 300, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display_, window_);
        XSync(display_, False);
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        XSync(display_, False);
    }
    bool ok() const { return screen_.ok(); }

    // The next event of the window, waiting up to two seconds.
    std::optional<XEvent> next() {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                return event;
            }
            std::this_thread::sleep_for(2ms);
        }
        return std::nullopt;
    }
    KeySym nextKeyPress() {
        for (auto e = next(); e; e = next()) {
            if (e->type == KeyPress) return XLookupKeysym(&e->xkey, 0);
        }
        return NoSymbol;
    }
    // The pointer once the server has taken the injected move: the injection is flushed on its
    // own connection, so a query on this one can be answered before it (bounded wait).
    std::pair<int, int> pointerAt(std::pair<int, int> expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        std::pair<int, int> at = pointer();
        while (at != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            at = pointer();
        }
        return at;
    }
    std::pair<int, int> pointer() { return screen_.pointer(); }
    // How many keys the server holds down, and whether a button is.
    int heldKeys() {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        int held = 0;
        for (const char byte : keys) held += __builtin_popcount(static_cast<unsigned char>(byte));
        return held;
    }
    bool buttonHeld() {
        unsigned buttons = 0;
        screen_.pointer(&buttons);
        return (buttons & (Button1Mask | Button2Mask | Button3Mask)) != 0;
    }

private:
    test::XScreen screen_;
    Display* display_;
    Window window_ = 0;
};

InputEvent mouse(std::uint8_t type, double x, double y, std::uint8_t button = 1, std::int16_t wheel = 0) {
    InputEvent e;
    e.type = type;
    e.mouse_x = x;
    e.mouse_y = y;
    e.mouse_button = button;
    e.wheel_delta = wheel;
    return e;
}

InputEvent key(std::uint8_t type, std::uint32_t vk, std::uint32_t scan = 0, bool extended = false) {
    InputEvent e;
    e.type = type;
    e.vk_code = vk;
    e.scan_code = scan;
    e.extended = extended;
    return e;
}

class InputInjectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.isRunning());
        xvfb.makeCurrent();
        ASSERT_TRUE(window.ok());
        ASSERT_TRUE(backend.initialize());
    }

    test::TempInstanceRoot root;
    test::XvfbDisplay xvfb;
    TestWindow window{xvfb.name()};
    test::LogCapture logs;
    std::uint32_t now = 1000;
    Win32InputBackend backend{[this] { return now; }, platform::input::screenMetrics};
};

TEST_F(InputInjectionTest, MovesAndClicksReachTheWindow) {
    // (0.25, 0.5) of the 1920 x 1080 primary monitor.
    ASSERT_TRUE(backend.injectEvent(mouse(InputEvent::MouseMove, 0.25, 0.5)));
    EXPECT_EQ(window.pointerAt({480, 540}), std::make_pair(480, 540));

    const double x = 300.0 / 1920, y = 250.0 / 1080;  // inside the window
    struct Case {
        std::uint8_t button;
        unsigned xButton;
    };
    for (const Case& c : {Case{1, 1}, Case{2, 3}, Case{3, 2}, Case{4, 8}, Case{5, 9}}) {
        ASSERT_TRUE(backend.injectEvent(mouse(InputEvent::MouseDown, x, y, c.button)));
        ASSERT_TRUE(backend.injectEvent(mouse(InputEvent::MouseUp, x, y, c.button)));
        const auto press = window.next();
        ASSERT_TRUE(press);
        EXPECT_EQ(press->type, ButtonPress);
        EXPECT_EQ(press->xbutton.button, c.xButton) << "button " << int(c.button);
        EXPECT_EQ(press->xbutton.x, 200);  // window-relative
        EXPECT_EQ(window.next()->type, ButtonRelease);
    }
    // Two wheel notches towards the screen: button 4 twice.
    ASSERT_TRUE(backend.injectEvent(mouse(InputEvent::MouseWheel, x, y, 1, 240)));
    for (int i = 0; i < 2; ++i) {
        auto press = window.next();
        ASSERT_TRUE(press);
        EXPECT_EQ(press->xbutton.button, 4u);
        EXPECT_EQ(window.next()->type, ButtonRelease);
    }
}

TEST_F(InputInjectionTest, KeysArriveAsTheirKeySymbols) {
    struct Case {
        InputEvent down;
        KeySym expected;
    };
    const std::vector<Case> cases{
        {key(InputEvent::KeyDown, 'A'), XK_a},                      // by virtual key
        {key(InputEvent::KeyDown, 0, 0x1E), XK_a},                  // by scan code
        {key(InputEvent::KeyDown, 0x26, 0x48, true), XK_Up},        // extended scan code
        {key(InputEvent::KeyDown, 0x0D), XK_Return},
        {key(InputEvent::KeyDown, 0xBF), XK_slash},
        {key(InputEvent::KeyDown, 0x67, 0x47), XK_KP_Home},         // keypad 7 by scan code
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(backend.injectEvent(c.down));
        InputEvent up = c.down;
        up.type = InputEvent::KeyUp;
        ASSERT_TRUE(backend.injectEvent(up));
        EXPECT_EQ(window.nextKeyPress(), c.expected) << "vk " << c.down.vk_code << " scan " << c.down.scan_code;
    }
    // A key the table does not know is reported, not sent.
    EXPECT_FALSE(backend.injectEvent(key(InputEvent::KeyDown, 0xFE)));
    EXPECT_TRUE(logs.contains("Win32InputBackend: SendInput (keyboard) failed, error")) << ::testing::PrintToString(logs.lines());
}

// The partner's session may end between a key-down and its key-up (a shortcut that ends it, a
// viewer that dies): what the backend pressed goes up when it shuts down, even after the rate
// window is used up, and nothing it already let go is sent again.
TEST_F(InputInjectionTest, ShutdownLetsGoOfEveryKeyAndButtonStillPressed) {
    const double x = 300.0 / 1920, y = 250.0 / 1080;
    ASSERT_TRUE(backend.injectEvent(key(InputEvent::KeyDown, 0x10, 0x2A)));  // Shift, by scan code
    ASSERT_TRUE(backend.injectEvent(key(InputEvent::KeyDown, 'A')));
    ASSERT_TRUE(backend.injectEvent(key(InputEvent::KeyDown, 'B')));
    ASSERT_TRUE(backend.injectEvent(key(InputEvent::KeyUp, 'B')));
    ASSERT_TRUE(backend.injectEvent(mouse(InputEvent::MouseDown, x, y, 3)));
    EXPECT_TRUE(test::waitUntil([&] { return window.heldKeys() == 2 && window.buttonHeld(); }, 2s));
    EXPECT_EQ(backend.heldKeyCount(), 2u);
    EXPECT_EQ(backend.heldButtonCount(), 1u);
    while (backend.injectEvent(mouse(InputEvent::MouseMove, x, y))) {
    }

    backend.shutdown();
    EXPECT_TRUE(test::waitUntil([&] { return window.heldKeys() == 0 && !window.buttonHeld(); }, 2s))
        << window.heldKeys() << " keys held";
    EXPECT_TRUE(logs.contains("Win32InputBackend: releasing 2 key(s) and 1 button(s) still held"));
    // B went up once, when the partner said so: of the releases, Shift and A only.
    int releases = 0;
    for (auto e = window.next(); e; e = window.next()) releases += e->type == KeyRelease;
    EXPECT_EQ(releases, 3) << "B, then Shift and A at shut-down";
}

TEST_F(InputInjectionTest, TwoHundredEventsASecondAndTheRestRefusedAndLogged) {
    auto owned = std::make_unique<Win32InputBackend>([this] { return now; }, platform::input::screenMetrics);
    ASSERT_TRUE(owned->initialize());
    InputForwarder forwarder(std::move(owned));
    for (int i = 0; i < 250; ++i) {
        now = 1000 + i * 3;  // 250 events within 750 ms
        forwarder.processEvent(key(i % 2 ? InputEvent::KeyUp : InputEvent::KeyDown, 0x10));
    }
    EXPECT_EQ(logs.count("InputForwarder: failed to inject event type"), 50u);
    // A new window starts once a full second has passed since the first.
    now = 2000;
    EXPECT_TRUE(forwarder.backend()->injectEvent(key(InputEvent::KeyUp, 0x10)));
}

// A desktop that grows, as when a monitor is added: the injection follows at once, so a click
// meant for the new right edge lands there and not on the old one. Xephyr changes its screen size
// through RandR (Xvfb cannot).
TEST(InputInjectionOnAChangingDesktop, FollowsTheScreenSize) {
    test::TempInstanceRoot root;
    test::XvfbDisplay host({}, "1920x1200x24");
    ASSERT_TRUE(host.isRunning());
    test::XvfbDisplay desktop(test::XvfbDisplay::NestedIn{host.name()}, "1280x720");
    ASSERT_TRUE(desktop.isRunning()) << "Xephyr did not start (scripts/setup installs it)";
    desktop.makeCurrent();
    test::XScreen screen(desktop.name());
    ASSERT_TRUE(screen.ok());

    namespace input = platform::input;
    const auto moveTo = [](std::uint32_t area) {
        input::Input move;
        move.mouse = {65535, 65535, 0, input::kMouseMove | input::kMouseAbsolute | area};
        platform::SystemError error;
        return input::sendInput({&move, 1}, error) == 1;
    };
    const auto pointerAt = [&](std::pair<int, int> expected) {
        test::waitUntil([&] { return screen.pointer() == expected; }, 2s);
        return screen.pointer();
    };
    ASSERT_TRUE(moveTo(input::kMouseVirtualDesk));
    EXPECT_EQ(pointerAt({1279, 719}), std::make_pair(1279, 719));

    const std::string grow = "DISPLAY=" + desktop.name() + " xrandr -s 1600x1200 2>/dev/null";
    ASSERT_EQ(std::system(grow.c_str()), 0);
    const auto metrics = input::screenMetrics();
    ASSERT_TRUE(metrics);
    EXPECT_EQ(std::make_pair(metrics->virtualWidth, metrics->virtualHeight), std::make_pair(1600, 1200));
    // The whole screen (the virtual desktop) and its one monitor (the primary) both grew.
    for (const std::uint32_t area : {input::kMouseVirtualDesk, 0u}) {
        screen.movePointer(0, 0);
        ASSERT_TRUE(moveTo(area));
        EXPECT_EQ(pointerAt({1599, 1199}), std::make_pair(1599, 1199)) << (area ? "virtual desktop" : "primary monitor");
    }
}

}  // namespace
}  // namespace veltrix

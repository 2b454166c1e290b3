// The synthesized-input filter: which close requests it swallows after an injected press on a
// window frame, on a made-up desktop (fake watch, own clock), then under a real window manager
// (icewm) with real XTest clicks from xdotool on its frames.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QProcess>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "RecordingPipeServer.h"
#include "core/SettingsController.h"
#include "gui/MainWindow.h"
#include "gui/SynthesizedInputFilter.h"
#include "support/FakePointerPressWatch.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

// Last: xcb's own event layouts, to build the window manager's close request.
#include <xcb/xproto.h>

namespace veltrix {
namespace {

using namespace std::chrono_literals;
using platform::input::PointerPress;

constexpr const char* kSwallowed = "SynthesizedInputFilter: swallowed WM_DELETE_WINDOW";
constexpr const char* kHideScheduled =
    "nativeEvent: scheduling hide-to-tray (synthesized non-client click — global filter)";

// A main window on the real pipe whose session state the test sets, shown on the suite's display.
class SynthesizedInputFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string failure;
        ASSERT_TRUE(pipe.start(failure)) << failure;
        window = std::make_unique<MainWindow>(&pipe.client(), &settings);
        window->setTrayAvailability([] { return true; });
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void state(const char* name, const char* role = "target") {
        ASSERT_TRUE(pipe.deliver({{"type", "STATE"}, {"session_state", name}, {"session_role", role}}));
    }

    bool sessionActive() const { return window->isSessionActive(); }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    test::RecordingPipeServer pipe;
    SettingsController settings;
    std::unique_ptr<MainWindow> window;
};

// The made-up desktop: the main window's client area at (100, 100), 400 x 500, inside a frame
// with a 24 px title bar and 5 px borders; the same shape for a dialog at (600, 100).
class FakeDesktopTest : public SynthesizedInputFilterTest {
protected:
    void SetUp() override {
        SynthesizedInputFilterTest::SetUp();
        auto owned = std::make_unique<test::FakePointerPressWatch>();
        watch = owned.get();
        filter = std::make_unique<SynthesizedInputFilter>(
            window.get(), [this] { return sessionActive(); }, nullptr, std::move(owned), [this] { return nowMs; });
        mainId = window->winId();
        watch->setWindow(mainId, QRect(100, 100, 400, 500), QRect(95, 76, 410, 529));
        dialog.setWindowTitle("Dialog");
        dialog.show();
        dialogId = dialog.winId();
        watch->setWindow(dialogId, QRect(600, 100, 300, 200), QRect(595, 76, 310, 229));
    }

    // What the filter does with the window manager's close request for `target`.
    bool closeRequest(std::uint64_t target) {
        test::FakePointerPressWatch::CloseRequest request{target};
        qintptr result = -1;
        const bool swallowed = filter->nativeEventFilter(test::FakePointerPressWatch::kCloseEventType, &request, &result);
        if (swallowed) {
            EXPECT_EQ(result, 0);
        }
        return swallowed;
    }

    static PointerPress press(int x, int y, bool injected = true, std::uint32_t button = 1) {
        return PointerPress{button, x, y, injected};
    }

    test::FakePointerPressWatch* watch = nullptr;
    std::unique_ptr<SynthesizedInputFilter> filter;
    std::int64_t nowMs = 5000;
    QDialog dialog;
    std::uint64_t mainId = 0;
    std::uint64_t dialogId = 0;
};

TEST_F(FakeDesktopTest, AnInjectedFramePressThenTheCloseRequestHidesTheMainWindowToTheTray) {
    state("Connected");
    watch->press(press(480, 88));  // the title bar's right end, where the close button is
    EXPECT_TRUE(logs.contains("SynthesizedInputFilter: injected frame press x=480 y=88 window=0x"));
    nowMs += 120;
    EXPECT_TRUE(closeRequest(mainId));
    EXPECT_TRUE(logs.contains(kSwallowed));
    EXPECT_TRUE(window->isVisible()) << "nothing is hidden inside the native dispatch";
    ASSERT_TRUE(test::waitUntil([&] { return !window->isVisible(); }, 3s));
    EXPECT_TRUE(logs.contains(kHideScheduled));
    EXPECT_TRUE(sessionActive()) << "the session goes on";
}

// Every case where the close request must reach the window as usual.
TEST_F(FakeDesktopTest, TheCloseRequestPassesUnlessItFollowsAnInjectedLeftFramePressInASession) {
    struct Case {
        const char* name;
        const char* sessionState;
        PointerPress press;
        std::int64_t delayMs;
        bool swallowed;
    };
    const std::vector<Case> cases = {
        {"injected frame press", "Connected", press(480, 88), 500, true},
        {"frame press in the handshake", "Handshaking", press(97, 300), 0, true},
        {"too late", "Connected", press(480, 88), 501, false},
        {"client area", "Connected", press(300, 300), 0, false},
        {"outside every window", "Connected", press(50, 50), 0, false},
        {"real pointer, not XTest", "Connected", press(480, 88, false), 0, false},
        {"right button", "Connected", press(480, 88, true, 3), 0, false},
        {"no session", "Idle", press(480, 88), 0, false},
        {"failed session", "Failed", press(480, 88), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state(c.sessionState);
        watch->press(c.press);
        nowMs += c.delayMs;
        EXPECT_EQ(closeRequest(mainId), c.swallowed);
        // A request with no press before it passes as well: the press is used up.
        EXPECT_FALSE(closeRequest(mainId));
    }
}

TEST_F(FakeDesktopTest, APressNotReadYetIsReadBeforeTheCloseRequestIsJudged) {
    state("Connected");
    watch->queue(press(480, 88));
    EXPECT_TRUE(closeRequest(mainId));
    EXPECT_EQ(watch->flushes(), 1);
}

TEST_F(FakeDesktopTest, ADialogsCloseRequestGoesThroughAndOtherEventsAreNotLookedAt) {
    state("Connected");
    watch->press(press(880, 88));
    EXPECT_TRUE(logs.contains("widget=QDialog"));
    EXPECT_FALSE(closeRequest(dialogId));
    EXPECT_TRUE(logs.contains("SynthesizedInputFilter: close request after an injected frame press goes through"));

    // A press on one window does not cover another's close request.
    watch->press(press(880, 88));
    EXPECT_FALSE(closeRequest(mainId));

    // Events that are no close request: no flush, no decision.
    int other = 0;
    EXPECT_FALSE(filter->nativeEventFilter("xcb_generic_event_t", &other, nullptr));
    EXPECT_FALSE(filter->nativeEventFilter(test::FakePointerPressWatch::kCloseEventType, nullptr, nullptr));
    EXPECT_EQ(watch->flushes(), 2);
    EXPECT_FALSE(logs.contains(kSwallowed));
}

TEST_F(FakeDesktopTest, AnEmptyPredicatePassesEverything) {
    auto owned = std::make_unique<test::FakePointerPressWatch>();
    test::FakePointerPressWatch* bare = owned.get();
    bare->setWindow(mainId, QRect(100, 100, 400, 500), QRect(95, 76, 410, 529));
    SynthesizedInputFilter unconditional(window.get(), {}, nullptr, std::move(owned), [this] { return nowMs; });
    state("Connected");
    bare->press(press(480, 88));
    test::FakePointerPressWatch::CloseRequest request{mainId};
    EXPECT_FALSE(unconditional.nativeEventFilter(test::FakePointerPressWatch::kCloseEventType, &request, nullptr));
    EXPECT_FALSE(logs.contains("injected frame press"));
}

TEST_F(FakeDesktopTest, WithoutWatchedPressesTheFilterWarnsAndPassesEverything) {
    SynthesizedInputFilter blind(window.get(), [this] { return sessionActive(); }, nullptr,
                                 std::make_unique<test::FakePointerPressWatch>(false));
    EXPECT_TRUE(logs.contains("SynthesizedInputFilter: cannot watch pointer presses"));
    state("Connected");
    test::FakePointerPressWatch::CloseRequest request{mainId};
    EXPECT_FALSE(blind.nativeEventFilter(test::FakePointerPressWatch::kCloseEventType, &request, nullptr));
}

// With no tray host a hidden window could not come back: the close is still swallowed (the
// partner's click does not end the session) but the window stays.
TEST_F(FakeDesktopTest, WithoutATrayHostTheSwallowedCloseLeavesTheWindowShown) {
    window->setTrayAvailability([] { return false; });
    state("Connected");
    watch->press(press(480, 88));
    EXPECT_TRUE(closeRequest(mainId));
    ASSERT_TRUE(test::waitUntil([&] { return logs.contains("nativeEvent: no tray to hide into, the window stays"); }, 3s));
    EXPECT_TRUE(window->isVisible());
}

// The desktop's own watch reads the window manager's close request from Qt's xcb events.
TEST_F(SynthesizedInputFilterTest, TheDesktopWatchReadsOnlyTheWindowManagersCloseRequest) {
    auto watch = platform::input::createPointerPressWatch();
    platform::SystemError error;
    ASSERT_TRUE(watch->start([](const PointerPress&) {}, error)) << error.text();

    // Atoms are the server's; intern them through a connection of the test's own.
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(connection), 0);
    const auto intern = [connection](const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : 0;
        std::free(reply);
        return value;
    };
    const xcb_atom_t protocols = intern("WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = intern("WM_DELETE_WINDOW");
    const xcb_atom_t takeFocus = intern("WM_TAKE_FOCUS");
    xcb_disconnect(connection);

    const auto message = [](std::uint8_t responseType, xcb_atom_t type, xcb_atom_t protocol, std::uint8_t format = 32) {
        xcb_client_message_event_t event{};
        event.response_type = responseType;
        event.format = format;
        event.window = 0x1a00007;
        event.type = type;
        event.data.data32[0] = protocol;
        return event;
    };
    struct Case {
        const char* name;
        xcb_client_message_event_t event;
        const char* eventType;
        std::uint64_t window;
    };
    const std::vector<Case> cases = {
        {"sent by the window manager", message(XCB_CLIENT_MESSAGE | 0x80, protocols, deleteWindow),
         "xcb_generic_event_t", 0x1a00007},
        {"plain client message", message(XCB_CLIENT_MESSAGE, protocols, deleteWindow), "xcb_generic_event_t",
         0x1a00007},
        {"another protocol", message(XCB_CLIENT_MESSAGE, protocols, takeFocus), "xcb_generic_event_t", 0},
        {"another message type", message(XCB_CLIENT_MESSAGE, deleteWindow, deleteWindow), "xcb_generic_event_t", 0},
        {"8-bit data", message(XCB_CLIENT_MESSAGE, protocols, deleteWindow, 8), "xcb_generic_event_t", 0},
        {"not a client message", message(XCB_PROPERTY_NOTIFY, protocols, deleteWindow), "xcb_generic_event_t", 0},
        {"another toolkit's event", message(XCB_CLIENT_MESSAGE, protocols, deleteWindow), "windows_generic_MSG", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(watch->closeRequestWindow(c.eventType, &c.event), c.window);
    }
    EXPECT_EQ(watch->closeRequestWindow("xcb_generic_event_t", nullptr), 0u);
}

// Real clicks through XTest (xdotool) on icewm's frames, the filter on the application as the
// client installs it.
class WindowManagerTest : public SynthesizedInputFilterTest {
protected:
    void SetUp() override {
        if (!host.running()) GTEST_SKIP() << "icewm is not installed (scripts/setup)";
        SynthesizedInputFilterTest::SetUp();
        filter = std::make_unique<SynthesizedInputFilter>(window.get(), [this] { return sessionActive(); }, qApp);
        qApp->installNativeEventFilter(filter.get());
    }

    // Waits until the window manager framed the widget; its close button is at the right end of
    // the title bar.
    QPoint closeButtonOf(QWidget& widget) {
        EXPECT_TRUE(test::waitUntil([&] { return widget.frameGeometry().top() < widget.geometry().top(); }, 5s));
        const QRect client = widget.geometry();
        const int titleMiddle = (widget.frameGeometry().top() + client.top()) / 2;
        return {client.right() - 8, titleMiddle};
    }

    static void click(QPoint at) {
        QProcess::execute("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }

    test::TrayHost host;
    std::unique_ptr<SynthesizedInputFilter> filter;
};

TEST_F(WindowManagerTest, AnInjectedClickOnTheCloseButtonInASessionSendsTheWindowToTheTray) {
    state("Connected");
    const QPoint close = closeButtonOf(*window);
    click(window->geometry().center());
    test::runEventsFor(300ms);
    EXPECT_FALSE(logs.contains("injected frame press")) << "a click in the client area is not a frame press";
    click({window->geometry().left() + 40, close.y()});
    EXPECT_TRUE(test::waitUntil([&] { return logs.contains("injected frame press"); }, 3s));
    test::runEventsFor(600ms);
    EXPECT_TRUE(window->isVisible()) << "a click on the title bar is only logged";

    click(close);
    ASSERT_TRUE(test::waitUntil([&] { return !window->isVisible(); }, 5s));
    EXPECT_TRUE(logs.contains(kSwallowed));
    EXPECT_TRUE(logs.contains(kHideScheduled));
    EXPECT_TRUE(sessionActive());
}

TEST_F(WindowManagerTest, AnInjectedClickOnADialogsCloseButtonClosesTheDialog) {
    state("Connected");
    QDialog dialog;
    dialog.setWindowTitle("Dialog");
    dialog.resize(300, 200);
    dialog.move(700, 300);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    click(closeButtonOf(dialog));
    ASSERT_TRUE(test::waitUntil([&] { return !dialog.isVisible(); }, 5s));
    EXPECT_TRUE(logs.contains("widget=QDialog"));
    EXPECT_TRUE(logs.contains("goes through"));
    EXPECT_TRUE(window->isVisible());
}

TEST_F(WindowManagerTest, WithoutASessionTheCloseButtonClosesTheMainWindow) {
    state("Idle", "none");
    click(closeButtonOf(*window));
    ASSERT_TRUE(test::waitUntil([&] { return !window->isVisible(); }, 5s));
    EXPECT_FALSE(logs.contains("SynthesizedInputFilter"));
}

}  // namespace
}  // namespace veltrix

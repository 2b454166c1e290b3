// The keyboard across a real session: the real VeltrixClient views device B from device A's own
// X display, where the test types as a user would (XTest through xdotool), and B's X server is
// read for what arrived there (XInput 2 raw key events, and the keys it holds down). Typed keys
// arrive in order with Tab among them; the window's own shortcut (Ctrl+Shift+D) sends nothing;
// and neither that shortcut nor a viewer killed while a key is down leaves a key held on B.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/RemoteSessionRig.h"
#include "support/TempInstanceRoot.h"
#include "support/TextFile.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"
// Last: Xlib defines macros (Bool, Status, None) that clash with Qt headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What an X server's keyboard received, whoever had the focus: every key press and release in
// order (XInput 2 raw events on the root window), and which keys it holds down now.
class KeyboardRecorder {
public:
    explicit KeyboardRecorder(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
        if (!display_) return;
        int event = 0, error = 0;
        if (!XQueryExtension(display_, "XInputExtension", &opcode_, &event, &error)) return;
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
        XSync(display_, False);
        ok_ = true;
    }
    ~KeyboardRecorder() {
        if (display_) XCloseDisplay(display_);
    }
    bool ok() const { return ok_; }

    struct Key {
        bool press;
        KeySym symbol;
    };

    // Everything received since the last call.
    std::vector<Key> take() {
        std::vector<Key> keys;
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != opcode_ || !XGetEventData(display_, cookie)) continue;
            if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
                const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
                keys.push_back({cookie->evtype == XI_RawKeyPress,
                                XkbKeycodeToKeysym(display_, static_cast<KeyCode>(raw->detail), 0, 0)});
            }
            XFreeEventData(display_, cookie);
        }
        return keys;
    }

    // The keys held down now, by their symbols.
    std::vector<KeySym> held() {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        std::vector<KeySym> down;
        for (int code = 8; code < 256; ++code)
            if (keys[code / 8] & (1 << (code % 8))) down.push_back(XkbKeycodeToKeysym(display_, KeyCode(code), 0, 0));
        return down;
    }

private:
    Display* display_;
    int opcode_ = 0;
    bool ok_ = false;
};

std::string names(const std::vector<KeySym>& symbols) {
    std::string text;
    for (const KeySym symbol : symbols) {
        const char* name = XKeysymToString(symbol);
        text += std::string(name ? name : "?") + " ";
    }
    return text;
}

std::vector<KeySym> pressesOf(const std::vector<KeyboardRecorder::Key>& keys) {
    std::vector<KeySym> presses;
    for (const auto& key : keys)
        if (key.press) presses.push_back(key.symbol);
    return presses;
}

// The real client on A's display, and the user at its keyboard.
class ViewerProgram {
public:
    ViewerProgram(fs::path program, fs::path instance, std::string display)
        : program_(std::move(program)), instance_(std::move(instance)), display_(std::move(display)) {}
    ~ViewerProgram() { kill(); }

    void start() {
        // Every line read from the log is this run's.
        fs::remove(logPath());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VELTRIX_ROOT", QString::fromStdString(instance_.string()));
        environment.insert("DISPLAY", QString::fromStdString(display_));
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.remove("DBUS_SESSION_BUS_ADDRESS");
        environment.remove("VELTRIX_SERVICE_MANAGER");
        environment.remove("NOTIFY_SOCKET");
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QString::fromStdString(program_.string()), {});
    }
    void kill() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished(5000);
    }
    bool running() const { return process_.state() == QProcess::Running; }

    // xdotool on A's display; its output.
    QString xdotool(const QStringList& arguments) const {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", QString::fromStdString(display_));
        tool.setProcessEnvironment(environment);
        tool.start("xdotool", arguments);
        tool.waitForFinished(10000);
        return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    }
    // The client's window with this title, focused; empty when there is none.
    QString focusWindow(const QString& title) const {
        const QString window = xdotool({"search", "--name", "^" + title + "$"}).section('\n', 0, 0);
        if (!window.isEmpty()) xdotool({"windowfocus", "--sync", window});
        return window;
    }
    fs::path logPath() const { return instance_ / "users" / std::to_string(::getuid()) / "VeltrixClient" / "VeltrixClient.log"; }
    std::string log() const { return test::readTextFile(logPath()); }

private:
    fs::path program_;
    fs::path instance_;
    std::string display_;
    QProcess process_;
};

class ViewerKeysEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(viewerDisplay.isRunning());
        ASSERT_TRUE(partnerDisplay.isRunning());
        ASSERT_TRUE(partnerKeyboard.ok());
        // A's service as on a real machine: the session of a viewer that dies ends.
        rig.viewerAsService = true;
        std::string failure;
        ASSERT_TRUE(rig.start(failure)) << failure;
        rig.giveTargetItsSession(partnerDisplay.name(), true);
        viewer = std::make_unique<ViewerProgram>(rig.giveViewerTheRealClient(), rig.viewer.root, viewerDisplay.name());
    }

    // The user types B's ID and password on the home page and presses Return; true once B streams
    // to A's viewer and the viewer has the keyboard.
    bool connectThroughTheWindow() {
        const std::size_t startsBefore = count(rig.target.log(), "Sent START_CAPTURE to agent");
        // The window has taken the service's first state (and shows the home page for it).
        if (!test::waitUntil([&] { return viewer->log().find("viewing mode disabled") != std::string::npos; }, 30s))
            return false;
        if (!test::waitUntil([&] { return !viewer->focusWindow("Veltrix - Remote Access").isEmpty(); }, 30s)) return false;
        test::runEventsFor(300ms);  // the focus change reaches the client
        viewer->xdotool({"key", "--delay", "30", "ctrl+a"});
        viewer->xdotool({"type", "--delay", "30", QString::fromStdString(rig.targetId)});
        viewer->xdotool({"key", "Tab"});
        viewer->xdotool({"type", "--delay", "30", QString::fromStdString(rig.targetPassword)});
        viewer->xdotool({"key", "Return"});
        if (!test::waitUntil([&] { return count(rig.target.log(), "Sent START_CAPTURE to agent") > startsBefore; }, 45s))
            return false;
        const bool focused = test::waitUntil([&] { return !viewer->focusWindow("Veltrix - Connected").isEmpty(); }, 20s);
        partnerKeyboard.take();  // what the password typing and the connection may have left
        return focused;
    }

    bool partnerHoldsNoKey() {
        return test::waitUntil([&] { return partnerKeyboard.held().empty(); }, 15s);
    }

    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    std::string diagnostics() { return viewer->log() + rig.viewer.log() + rig.target.log() + rig.target.agentLogs(); }

    test::XvfbDisplay viewerDisplay;
    test::XvfbDisplay partnerDisplay;
    KeyboardRecorder partnerKeyboard{partnerDisplay.name()};
    test::TempInstanceRoot root;
    test::RemoteSessionRig rig{root.path(),
                               {VELTRIX_SERVICE_PROGRAM, VELTRIX_PIPE_PROBE_PROGRAM, VELTRIX_CLIENT_PROGRAM}};
    std::unique_ptr<ViewerProgram> viewer;
};

TEST_F(ViewerKeysEndToEnd, TypedKeysArriveInOrderAndNoKeyStaysHeldOnThePartner) {
    viewer->start();
    ASSERT_TRUE(connectThroughTheWindow()) << diagnostics();

    // a, Tab, b: Tab reaches the partner and takes nothing typed after it along.
    viewer->xdotool({"key", "--delay", "80", "a", "Tab", "b"});
    std::vector<KeySym> presses;
    EXPECT_TRUE(test::waitUntil(
        [&] {
            for (const KeySym key : pressesOf(partnerKeyboard.take())) presses.push_back(key);
            return presses.size() >= 3;
        },
        15s));
    EXPECT_EQ(presses, (std::vector<KeySym>{XK_a, XK_Tab, XK_b})) << names(presses) << diagnostics();

    // A key held down when the viewer is killed is let go on the partner.
    viewer->xdotool({"keydown", "x"});
    EXPECT_TRUE(test::waitUntil([&] { return partnerKeyboard.held() == std::vector<KeySym>{XK_x}; }, 15s))
        << names(partnerKeyboard.held());
    viewer->kill();
    viewer->xdotool({"keyup", "x"});
    EXPECT_TRUE(partnerHoldsNoKey()) << names(partnerKeyboard.held()) << diagnostics();

    // The window's shortcut ends the session and sends none of its keys.
    viewer->start();
    ASSERT_TRUE(connectThroughTheWindow()) << diagnostics();
    const std::size_t endsBefore = count(rig.target.log(), "(reason: remote_disconnect)");
    viewer->xdotool({"key", "ctrl+shift+d"});
    EXPECT_TRUE(test::waitUntil([&] { return count(rig.target.log(), "(reason: remote_disconnect)") > endsBefore; }, 20s))
        << diagnostics();
    EXPECT_TRUE(partnerHoldsNoKey()) << names(partnerKeyboard.held());
    const std::vector<KeySym> afterShortcut = pressesOf(partnerKeyboard.take());
    EXPECT_TRUE(afterShortcut.empty()) << names(afterShortcut);
}

}  // namespace
}  // namespace veltrix

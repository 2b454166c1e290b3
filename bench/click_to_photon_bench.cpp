// The whole loop a person at the viewer feels: from their own key or click to its effect on their
// own screen. Device A runs its service in console mode and the real client on a private X display
// (with a window manager, as a desktop has); device B's service (service mode) launches the real
// client as its agent on B's own X display, where a window flips between white and black on every
// key and button press. A views B peer to peer on loopback through the local backend. The bench
// types and clicks into A's viewer through XTest at random moments and reads A's screen back until
// the flip shows there.
//
// Besides the whole loop it splits each input by what it can see from outside the programs: when
// B's X server had the press (the reacting window's event time stamp), when the window was
// repainted, the capture time and arrival of the next frame in B's capture section, the decoded
// frame in A's decoded-frame section that shows the flip, and A's screen.
//
//   click_to_photon_bench [inputs per display mode, default 200] [display modes, default 1,0]
//
// Half the inputs are key presses, half clicks, taking turns. Display mode 1 is the service's
// default "balanced" mode (20 fps), 0 its "quality" mode (30 fps).
#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <spdlog/spdlog.h>

#include "support/BenchFigures.h"
#include "support/ReactingWindow.h"
#include "support/RemoteSessionRig.h"
#include "support/ScreenUser.h"
#include "support/SectionReader.h"
#include "support/ServiceDevice.h"
#include "support/TempInstanceRoot.h"
#include "support/TextFile.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"

// Last: Xlib's macros clash with Qt headers.
#include <X11/Xlib.h>

using namespace veltrix;
using namespace veltrix::bench;
using namespace std::chrono_literals;

namespace {

constexpr char kScreenSize[] = "1280x800x24";
constexpr int kTargetWidth = 1280, kTargetHeight = 800;
// B's reacting window, and the desktop around it.
constexpr int kWindowX = 440, kWindowY = 250, kWindowWidth = 400, kWindowHeight = 300;
constexpr unsigned long kDesktop = 0x3A6EA5;
// Where in the window A's pointer clicks, and where the flip is looked for, away from the pointer.
constexpr double kClickFx = 0.25, kSampleFx = 0.75, kWindowFy = 0.5;
constexpr int kPatch = 6;
constexpr int kBright = 200, kDark = 55;
// A key is held and a button pressed this long, as a person does.
constexpr auto kHold = 60ms;
// An input not on A's screen after this is lost; a mode ends after this many lost in a row, or
// when its time is up.
constexpr auto kGiveUp = 3s;
constexpr int kLostInARow = 5;
constexpr auto kModeBudget = 4min;
// The sections are memory of this machine and polled often; A's screen is asked through its X
// server, which also takes the viewer's pictures, at most once a millisecond.
constexpr auto kPollPeriod = 250us;
constexpr auto kScreenPollPeriod = 1ms;

bool shows(int luma, bool white) { return luma >= 0 && (white ? luma > kBright : luma < kDark); }

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// One input, every moment in milliseconds after it was given; -1 where that moment was not seen.
struct InputTimes {
    bool key = false;
    double inTargetServer = -1;  // B's X server has the press
    double redrawn = -1;         // B's window shows the flip
    double captured = -1;        // B's agent captured the frame after it (its whole-millisecond stamp)
    double inCapture = -1;       // that frame is in B's capture section
    double inViewerSection = -1; // a frame showing the flip is in A's decoded-frame section
    double onScreen = -1;        // A's screen shows the flip
};

// The stages between consecutive moments, as the table prints them.
struct Stage {
    const char* label;
    double InputTimes::*from;  // null: from the input itself
    double InputTimes::*to;
};

const Stage kStages[] = {
    {"A's client, both services, B's agent: B's X server has it", nullptr, &InputTimes::inTargetServer},
    {"B's window reads it and repaints", &InputTimes::inTargetServer, &InputTimes::redrawn},
    {"until B's agent captures", &InputTimes::redrawn, &InputTimes::captured},
    {"convert, encode, write into B's capture section", &InputTimes::captured, &InputTimes::inCapture},
    {"B's poll, seal, transfer, open, decode: A's section", &InputTimes::inCapture, &InputTimes::inViewerSection},
    {"A's client: FRAME, read, upload, paint: A's screen", &InputTimes::inViewerSection, &InputTimes::onScreen},
};

double stageOf(const InputTimes& input, const Stage& stage) {
    const double to = input.*stage.to;
    const double from = stage.from ? input.*stage.from : 0.0;
    if (to < 0 || from < 0) return -1;
    return std::max(0.0, to - from);
}

enum class Kind { Keys, Clicks, All };

// One figure of every input of `kind` where it was seen.
std::vector<double> valuesOf(const std::vector<InputTimes>& inputs, const std::function<double(const InputTimes&)>& of,
                             Kind kind) {
    std::vector<double> values;
    for (const InputTimes& input : inputs) {
        if (kind != Kind::All && input.key != (kind == Kind::Keys)) continue;
        const double value = of(input);
        if (value >= 0) values.push_back(value);
    }
    return values;
}

struct Failure {
    std::string what;
};

// A's display: the X server, a window manager and the bench's hands and eyes on it.
class ViewerDesk {
public:
    ViewerDesk() : display_({}, kScreenSize) {}
    ~ViewerDesk() {
        if (windowManager_.state() != QProcess::NotRunning) {
            windowManager_.terminate();
            if (!windowManager_.waitForFinished(3000)) windowManager_.kill();
            windowManager_.waitForFinished(3000);
        }
    }

    void start() {
        if (!display_.isRunning()) throw Failure{"A's Xvfb did not start"};
        user_ = std::make_unique<ScreenUser>(display_.name());
        if (!user_->ok()) throw Failure{"cannot open A's display " + display_.name()};
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", QString::fromStdString(display_.name()));
        windowManager_.setProcessEnvironment(environment);
        windowManager_.setStandardOutputFile(QProcess::nullDevice());
        windowManager_.setStandardErrorFile(QProcess::nullDevice());
        windowManager_.start("icewm", {});
        if (!windowManager_.waitForStarted(5000) || !test::waitUntil([&] { return user_->hasWindowManager(); }, 10s))
            throw Failure{"icewm did not start on A's display (scripts/setup installs it)"};
    }

    const std::string& name() const { return display_.name(); }
    ScreenUser& user() { return *user_; }

    // Runs xdotool on this display; its output.
    std::string xdotool(const QStringList& arguments) const {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", QString::fromStdString(display_.name()));
        tool.setProcessEnvironment(environment);
        tool.start("xdotool", arguments);
        if (!tool.waitForFinished(15000)) {
            tool.kill();
            tool.waitForFinished(1000);
        }
        return tool.readAllStandardOutput().trimmed().toStdString();
    }

    // The first visible window titled exactly `title`; empty when there is none.
    std::string windowTitled(const std::string& title) const {
        const std::string found =
            xdotool({"search", "--onlyvisible", "--name", "^" + QString::fromStdString(title) + "$"});
        return found.substr(0, found.find('\n'));
    }

private:
    test::XvfbDisplay display_;
    QProcess windowManager_;
    std::unique_ptr<ScreenUser> user_;
};

// The first and last index whose count is at least half the largest; false when all are 0.
bool denseSpan(const std::vector<int>& counts, int& first, int& last) {
    const int most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
    first = last = -1;
    for (int i = 0; most > 0 && i < static_cast<int>(counts.size()); ++i) {
        if (counts[static_cast<std::size_t>(i)] * 2 >= most) {
            if (first < 0) first = i;
            last = i;
        }
    }
    return first >= 0;
}

// The area of a screen `width` pixels wide whose pixels went from dark to bright between two
// pictures of it; rows and columns with few such pixels (a clock, a cursor) are left out.
ScreenUser::Area areaTurnedBright(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& after,
                                  int width) {
    if (width <= 0 || after.size() != before.size() || after.empty()) return {};
    const auto columnCount = static_cast<std::size_t>(width);
    std::vector<int> rows(after.size() / columnCount);
    std::vector<int> columns(columnCount);
    for (std::size_t at = 0; at < after.size(); ++at) {
        if (before[at] < kDark && after[at] > kBright) {
            ++rows[at / columnCount];
            ++columns[at % columnCount];
        }
    }
    int top = 0, bottom = 0, left = 0, right = 0;
    if (!denseSpan(rows, top, bottom) || !denseSpan(columns, left, right)) return {};
    return {left, top, right - left + 1, bottom - top + 1};
}

// Where B's reacting window shows on A's screen: the area that turns bright when the window is
// painted white after a picture of it black; the same twice in a row, so that the viewer's window
// has settled (maximised, the picture at its final size).
ScreenUser::Area findOnScreen(ScreenUser& user, ReactingWindow& window) {
    const auto once = [&] {
        window.paint(false);
        std::this_thread::sleep_for(1500ms);
        const std::vector<std::uint8_t> before = user.lumaOfScreen();
        window.paint(true);
        ScreenUser::Area area;
        test::waitUntil(
            [&] {
                area = areaTurnedBright(before, user.lumaOfScreen(), user.width());
                return area.width >= 4 * kPatch && area.height >= 4 * kPatch;
            },
            10s);
        window.paint(false);
        return area;
    };
    ScreenUser::Area previous = once();
    for (int attempt = 0; attempt < 5; ++attempt) {
        const ScreenUser::Area area = once();
        if (!area.empty() && area.x == previous.x && area.y == previous.y && area.width == previous.width &&
            area.height == previous.height)
            return area;
        previous = area;
    }
    return {};
}

// A's user types B's ID and session password into the home page and presses Return, as a person
// does. The window opens with the focus in the partner field.
void typeIdAndPassword(ViewerDesk& desk, const std::string& window, const test::RemoteSessionRig& rig) {
    desk.xdotool({"windowactivate", "--sync", QString::fromStdString(window)});
    std::this_thread::sleep_for(500ms);
    desk.xdotool({"key", "ctrl+a"});
    desk.xdotool({"type", "--delay", "40", QString::fromStdString(rig.targetId)});
    desk.xdotool({"key", "Tab"});
    desk.xdotool({"type", "--delay", "40", QString::fromStdString(rig.targetPassword)});
    desk.xdotool({"key", "Return"});
}

// After a failed attempt: the error box is answered and Return pressed again in the password
// field, which has the focus back.
void tryAgain(ViewerDesk& desk, const std::string& window) {
    if (const std::string box = desk.windowTitled("Session Error"); !box.empty()) {
        desk.xdotool({"windowactivate", "--sync", QString::fromStdString(box)});
        desk.xdotool({"key", "Return"});
        std::this_thread::sleep_for(500ms);
    }
    desk.xdotool({"windowactivate", "--sync", QString::fromStdString(window)});
    std::this_thread::sleep_for(500ms);
    desk.xdotool({"key", "Return"});
}

int occurrences(const std::string& text, const std::string& what) {
    int count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// What one display mode gave.
struct ModeFigures {
    int mode = 1;
    int given = 0;  // inputs given
    int lost = 0;   // of those, not on A's screen in time
    std::string load;
    ScreenUser::Area windowOnScreen;
    std::vector<InputTimes> times;
};

// Both devices in one display mode, from their X displays up, and the inputs given to A's viewer.
class ModeRun {
public:
    ModeRun(int mode, int inputs) : mode_(mode), inputs_(inputs) {}
    ~ModeRun() { stopPrograms(); }
    ModeRun(const ModeRun&) = delete;
    ModeRun& operator=(const ModeRun&) = delete;

    ModeFigures run() {
        setUp();
        ModeFigures figures;
        figures.mode = mode_;
        figures.windowOnScreen = onScreen_;
        figures.times = measure(figures.given, figures.lost);
        figures.load = loadAverage();
        stopPrograms();
        return figures;
    }

private:
    void setUp() {
        viewerDesk_.start();
        if (!targetDisplay_.isRunning()) throw Failure{"B's Xvfb did not start"};
        window_ = std::make_unique<ReactingWindow>(targetDisplay_.name(), kWindowX, kWindowY, kWindowWidth,
                                                   kWindowHeight, kDesktop);
        if (!window_->ok()) throw Failure{"cannot open the reacting window on B's display " + targetDisplay_.name()};

        rig_ = std::make_unique<test::RemoteSessionRig>(
            root_.path(), test::RemoteSessionPrograms{VELTRIX_SERVICE_PROGRAM, VELTRIX_PIPE_PROBE_PROGRAM,
                                                      VELTRIX_CLIENT_PROGRAM});
        std::string failure;
        if (!rig_->start(failure)) throw Failure{failure};
        // The encoder settings of the display mode come with START_CAPTURE.
        rig_->talkToTarget({QString(R"({"type":"SET_DISPLAY_MODE","mode":%1})").arg(mode_)}, 200);
        rig_->giveTargetItsSession(targetDisplay_.name(), true);

        const auto program = rig_->giveViewerTheRealClient();
        rig_->viewer.startClient(client_, program, viewerDesk_.name());
        std::string window;
        if (!client_.waitForStarted(5000) ||
            !test::waitUntil([&] { return !(window = viewerDesk_.windowTitled("Veltrix - Remote Access")).empty(); },
                             30s))
            throw Failure{"A's client window did not appear\n" + rig_->viewer.agentLogs()};
        // Connect is enabled once the service's first STATE has come, a moment after the pipe.
        if (!test::waitUntil([&] { return clientLog().find("connected to service pipe") != std::string::npos; }, 20s))
            throw Failure{"A's client did not reach A's service\n" + clientLog()};
        std::this_thread::sleep_for(1500ms);
        connect(window);

        // The figures are those of the peer-to-peer path; a session on the relay would measure another.
        if (rig_->viewer.log().find("Transport established via p2p") == std::string::npos)
            throw Failure{"the session did not come up peer to peer\n" + rig_->viewer.log()};
        if (!test::waitUntil([&] { return viewerSection_.open(rig_->viewer.root, kFrameSectionName); }, 10s))
            throw Failure{"A's decoded-frame section is missing"};
        if (!test::waitUntil([&] { return captureSection_.open(rig_->target.root, kCaptureSectionName); }, 20s))
            throw Failure{"B's capture section is missing\n" + rig_->target.log()};
        if (!test::waitUntil([&] { return viewerSection_.sequence() > 0; }, 20s))
            throw Failure{"B's screen does not arrive in A's section\n" + rig_->target.log() +
                          rig_->target.agentLogs()};

        onScreen_ = findOnScreen(viewerDesk_.user(), *window_);
        if (onScreen_.empty())
            throw Failure{"B's window does not show on A's screen\n" + clientLog() + rig_->target.agentLogs()};
        const int clickX = onScreen_.x + static_cast<int>(kClickFx * onScreen_.width);
        const int middleY = onScreen_.y + static_cast<int>(kWindowFy * onScreen_.height);
        const int sampleX = onScreen_.x + static_cast<int>(kSampleFx * onScreen_.width);
        sample_ = {sampleX - kPatch / 2, middleY - kPatch / 2, kPatch, kPatch};
        viewerDesk_.user().movePointer(clickX, middleY);
        if (!test::waitUntil([&] { return shows(viewerDesk_.user().meanLuma(sample_), false); }, 10s))
            throw Failure{"B's window does not turn black on A's screen"};
        std::this_thread::sleep_for(1s);
    }

    // A's user connects to B through the home page. On a loaded machine the peer-to-peer attempt
    // can time out before the two ends meet; the user then tries again, up to three times.
    void connect(const std::string& window) {
        const auto failures = [&] { return occurrences(rig_->viewer.log(), " -> Failed"); };
        int failedBefore = failures();
        typeIdAndPassword(viewerDesk_, window, *rig_);
        if (!test::waitUntil([&] { return clientLog().find("Initiating session") != std::string::npos; }, 10s))
            throw Failure{"A's client did not start a session (did the home page's focus order change?)\n" +
                          clientLog()};
        for (int attempt = 1;; ++attempt) {
            test::waitUntil(
                [&] { return failures() > failedBefore || !viewerDesk_.windowTitled("Veltrix - Connected").empty(); },
                40s);
            if (failures() == failedBefore && !viewerDesk_.windowTitled("Veltrix - Connected").empty()) return;
            if (attempt == 3)
                throw Failure{"A's client did not connect to B in three attempts\n" + clientLog() +
                              rig_->viewer.log() + rig_->target.log()};
            std::fprintf(stderr, "click_to_photon_bench: the session did not come up, trying again\n");
            std::this_thread::sleep_for(2s);
            failedBefore = failures();
            tryAgain(viewerDesk_, window);
        }
    }

    std::string clientLog() const {
        return test::readTextFile(rig_->viewer.root / "users" / std::to_string(::getuid()) / "VeltrixClient" /
                                  "VeltrixClient.log");
    }

    void give(bool key, bool down) {
        if (key) viewerDesk_.user().key('a', down);
        else viewerDesk_.user().button(1, down);
    }

    std::vector<InputTimes> measure(int& given, int& lost) {
        std::mt19937 random(35u + static_cast<unsigned>(mode_));
        std::uniform_real_distribution<double> gap(150.0, 400.0);
        const double sampleFx = (kWindowX + kSampleFx * kWindowWidth) / kTargetWidth;
        const double sampleFy = (kWindowY + kWindowFy * kWindowHeight) / kTargetHeight;
        std::vector<InputTimes> times;
        lost = 0;
        int lostInARow = 0;
        const auto start = Clock::now();
        for (given = 0; given < inputs_ && Clock::now() - start < kModeBudget; ++given) {
            // A random gap, so the input falls anywhere in every timer's period on the way.
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(gap(random)));
            InputTimes input;
            input.key = given % 2 == 0;
            const bool white = !window_->white();
            const std::size_t pressesBefore = window_->pressCount();
            const std::uint64_t captureBefore = captureSection_.sequence();
            const auto givenAt = Clock::now();
            const double givenMs = steadyMilliseconds(givenAt);
            give(input.key, true);
            bool released = false;
            std::optional<ReactingWindow::Press> press;
            Clock::time_point lastScreenLook;
            while (Clock::now() - givenAt < kGiveUp) {
                const auto now = Clock::now();
                if (!released && now - givenAt >= kHold) {
                    give(input.key, false);
                    released = true;
                }
                if (!press && (press = window_->press(pressesBefore))) {
                    input.inTargetServer = press->serverMs - givenMs;
                    input.redrawn = msBetween(givenAt, press->redrawn);
                }
                if (press && input.inCapture < 0) {
                    const auto frame = captureSection_.latest();
                    if (frame && frame->sequence != captureBefore &&
                        static_cast<double>(frame->timestamp) >= std::floor(steadyMilliseconds(press->redrawn))) {
                        input.inCapture = msBetween(givenAt, now);
                        input.captured = static_cast<double>(frame->timestamp) - givenMs;
                    }
                }
                if (input.inViewerSection < 0 && shows(viewerSection_.lumaAt(sampleFx, sampleFy), white))
                    input.inViewerSection = msBetween(givenAt, now);
                if (now - lastScreenLook >= kScreenPollPeriod) {
                    lastScreenLook = now;
                    if (shows(viewerDesk_.user().meanLuma(sample_), white)) {
                        input.onScreen = msBetween(givenAt, Clock::now());
                        break;
                    }
                }
                std::this_thread::sleep_for(kPollPeriod);
            }
            if (!released) give(input.key, false);
            if (input.onScreen < 0) {
                ++lost;
                if (++lostInARow == kLostInARow) throw Failure{lostInputs(given + 1, sampleFx, sampleFy)};
                // Back to a known colour for the next input.
                std::this_thread::sleep_for(500ms);
                window_->paint(false);
                test::waitUntil([&] { return shows(viewerDesk_.user().meanLuma(sample_), false); }, 5s);
                continue;
            }
            lostInARow = 0;
            times.push_back(input);
        }
        return times;
    }

    // What the bench saw when inputs stopped showing on A's screen.
    std::string lostInputs(int given, double sampleFx, double sampleFy) {
        char seen[400];
        std::snprintf(seen, sizeof seen,
                      "%d inputs in a row did not show on A's screen: B's window took %zu presses of %d given; "
                      "A's section shows luma %d and A's screen %d where the window is (%dx%d at %d, %d)\n",
                      kLostInARow, window_->pressCount(), given, viewerSection_.lumaAt(sampleFx, sampleFy),
                      viewerDesk_.user().meanLuma(sample_), onScreen_.width, onScreen_.height, onScreen_.x,
                      onScreen_.y);
        return seen + clientLog() + rig_->target.agentLogs();
    }

    void stopPrograms() {
        if (client_.state() != QProcess::NotRunning) {
            client_.terminate();
            if (!client_.waitForFinished(5000)) client_.kill();
            client_.waitForFinished(3000);
        }
        if (rig_) rig_->stopServices();
    }

    int mode_;
    int inputs_;
    ViewerDesk viewerDesk_;
    test::XvfbDisplay targetDisplay_{{}, kScreenSize};
    std::unique_ptr<ReactingWindow> window_;
    test::TempInstanceRoot root_;
    std::unique_ptr<test::RemoteSessionRig> rig_;
    QProcess client_;
    SectionReader viewerSection_;
    SectionReader captureSection_;
    ScreenUser::Area onScreen_;
    ScreenUser::Area sample_;
};

void printFigures(const ModeFigures& figures) {
    const std::vector<InputTimes>& times = figures.times;
    std::printf("\ndisplay mode %d (%s), %d inputs at random moments (keys and clicks in turn); load average %s\n",
                figures.mode,
                figures.mode == 0 ? "quality: 30 fps, crf 18, preset 7, 8000 kbit/s"
                                  : "balanced: 20 fps, crf 45, preset 13, 1500 kbit/s",
                figures.given, figures.load.c_str());
    const ScreenUser::Area& area = figures.windowOnScreen;
    std::printf("  B's %dx%d window shows as %dx%d at (%d, %d) on A's screen\n", kWindowWidth, kWindowHeight,
                area.width, area.height, area.x, area.y);
    if (figures.lost > 0)
        std::printf("  %d inputs did not show on A's screen within %lld s\n", figures.lost,
                    static_cast<long long>(std::chrono::seconds(kGiveUp).count()));
    std::printf("  input to photon           median      p90      max   (n)\n");
    const auto total = [](const InputTimes& input) { return input.onScreen; };
    for (const auto& [label, kind] :
         {std::pair{"key", Kind::Keys}, std::pair{"click", Kind::Clicks}, std::pair{"all", Kind::All}}) {
        const std::vector<double> values = valuesOf(times, total, kind);
        std::printf("  %-22s  %7.1f ms %7.1f ms %7.1f ms  (%zu)\n", label, percentile(values, 0.5),
                    percentile(values, 0.9), percentile(values, 1.0), values.size());
    }
    std::printf("  where the time goes: medians for keys and for clicks; of all inputs the least, the p90 and\n"
                "  the median time since the input (at)\n");
    std::printf("  %-60s %7s %7s %7s %7s %8s\n", "stage", "key", "click", "least", "p90", "at");
    for (const Stage& stage : kStages) {
        const auto of = [&stage](const InputTimes& input) { return stageOf(input, stage); };
        const auto at = [&stage](const InputTimes& input) { return input.*stage.to; };
        const std::vector<double> all = valuesOf(times, of, Kind::All);
        const double keys = percentile(valuesOf(times, of, Kind::Keys), 0.5);
        const double clicks = percentile(valuesOf(times, of, Kind::Clicks), 0.5);
        std::printf("  %-60s %7.1f %7.1f %7.1f %7.1f %8.1f\n", stage.label, keys, clicks, percentile(all, 0.0),
                    percentile(all, 0.9), percentile(valuesOf(times, at, Kind::All), 0.5));
    }
}

int fail(const std::string& why) {
    std::fprintf(stderr, "click_to_photon_bench: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    XInitThreads();
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);
    for (const char* program : {"Xvfb", "icewm", "xdotool"}) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return fail(std::string(program) + " is not installed (scripts/setup installs it)");
    }
    const int inputs = argc > 1 ? std::max(2, std::atoi(argv[1])) : 200;
    std::vector<int> modes;
    std::istringstream modeList(argc > 2 ? argv[2] : "1,0");
    for (std::string mode; std::getline(modeList, mode, ',');)
        modes.push_back(std::clamp(std::atoi(mode.c_str()), 0, 1));

    std::printf("click to photon: A's real client views B peer to peer on loopback (1280x800 X displays);\n"
                "an input on A's viewer until a window on B that flips with it has flipped on A's screen\n");
    for (const int mode : modes) {
        try {
            ModeRun run(mode, inputs);
            printFigures(run.run());
            std::fflush(stdout);
        } catch (const Failure& failure) {
            return fail("display mode " + std::to_string(mode) + ": " + failure.what);
        }
    }
    return 0;
}

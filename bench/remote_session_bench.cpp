// The whole remote session on one machine, as a person at the viewer sees it: device B's service
// (service mode) launches the real client as its agent on a private 1920x1080 X display; device
// A's service (console mode) views it peer to peer over loopback through the local backend, as in
// the end-to-end test. Measured:
//   - glass to glass: a change drawn on B's display until its picture is in A's decoded-frame
//     section (median and 95th percentile over many changes, drawn at random moments);
//   - frames per second delivered into A's section while B's whole screen scrolls text;
//   - CPU time (user + system) of B's agent and of the two services per delivered frame.
//
//   remote_session_bench [changes, default 100] [scrolling seconds, default 10] [display mode, default 0]
//
// Display mode 0 is the service's "quality" mode (30 fps), 1 its default "balanced" mode (20 fps).
#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <spdlog/spdlog.h>

#include "shared/SharedFrameHeader.h"
#include "support/BenchFigures.h"
#include "support/RemoteSessionRig.h"
#include "support/SectionReader.h"
#include "support/ServiceDevice.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"

// Last: Xlib's macros clash with Qt headers.
#include <X11/Xlib.h>

using namespace veltrix;
using namespace veltrix::bench;
using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// The square that changes for the latency figure, away from the pointer.
constexpr int kSquareX = 1500, kSquareY = 250, kSquareSize = 200;
constexpr double kSampleFx = double(kSquareX + kSquareSize / 2) / kWidth;
constexpr double kSampleFy = double(kSquareY + kSquareSize / 2) / kHeight;
constexpr unsigned long kBackground = 0x808080;
// Scrolling: a text line of 16 pixels every second step of 8 pixels, 60 steps a second.
constexpr int kScrollStep = 8;
constexpr int kLineHeight = 16;
constexpr auto kScrollPeriod = std::chrono::microseconds(1'000'000 / 60);

// The bench's own drawing connection to B's display.
class Painter {
public:
    explicit Painter(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
        if (!display_) return;
        root_ = DefaultRootWindow(display_);
        gc_ = XCreateGC(display_, root_, 0, nullptr);
        // The pointer out of the way of the square.
        XWarpPointer(display_, 0, root_, 0, 0, 0, 0, 4, 4);
    }
    ~Painter() {
        if (!display_) return;
        XFreeGC(display_, gc_);
        XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }

    void fill(int x, int y, int w, int h, unsigned long rgb, bool sync = true) {
        XSetForeground(display_, gc_, rgb);
        XFillRectangle(display_, root_, gc_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
        if (sync) XSync(display_, False);
    }

    // A line of word-like text in the default font, left to right across the screen.
    void textLine(int y, std::mt19937& random) {
        std::string line;
        while (line.size() < 330) {
            const int word = 2 + static_cast<int>(random() % 9);
            for (int i = 0; i < word; ++i) line += static_cast<char>('a' + random() % 26);
            line += ' ';
        }
        XSetForeground(display_, gc_, 0x202020);
        XDrawString(display_, root_, gc_, 2, y + kLineHeight - 4, line.c_str(), static_cast<int>(line.size()));
    }

    // A screen full of text.
    void page(std::mt19937& random) {
        fill(0, 0, kWidth, kHeight, 0xFAFAFA, false);
        for (int y = 0; y + kLineHeight <= kHeight; y += kLineHeight) textLine(y, random);
        XSync(display_, False);
    }

    // The whole screen moves up by one step; every second step a new line comes in at the bottom.
    void scroll(int step, std::mt19937& random) {
        XCopyArea(display_, root_, root_, gc_, 0, kScrollStep, kWidth, kHeight - kScrollStep, 0, 0);
        if (step % (kLineHeight / kScrollStep) == 0) {
            fill(0, kHeight - kLineHeight, kWidth, kLineHeight, 0xFAFAFA, false);
            textLine(kHeight - kLineHeight, random);
        }
        XSync(display_, False);
    }

private:
    Display* display_;
    Window root_{};
    GC gc_{};
};

// User plus system CPU time of a process so far, in milliseconds; -1 when it cannot be read.
double cpuMilliseconds(long pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may hold blanks.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::stoull(field);
        if (index == 15) {
            system = std::stoull(field);
            return static_cast<double>(user + system) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    return -1;
}

// One change, from drawing to A's picture, in the three stretches the path has.
struct ChangeTimes {
    double total = 0;          // drawn -> in A's decoded-frame section
    double untilCapture = -1;  // drawn -> captured (the agent stamps its frames in whole milliseconds)
    double agent = -1;         // captured -> encoded into B's capture section
    double service = -1;       // B's capture section -> A's section: encryption, transport, decoding
};

// Draws `changes` changes of the square at random moments and times each until A shows it. B's
// capture section tells when the agent captured and wrote the first frame after the change (its
// header carries the capture time on the steady clock, which all processes share).
std::vector<ChangeTimes> measureLatency(Painter& painter, const SectionReader& viewer, const SectionReader& capture,
                                        int changes, int& missed) {
    std::mt19937 random(11);
    std::vector<ChangeTimes> times;
    missed = 0;
    for (int i = 0; i < changes; ++i) {
        // A random gap, so the change falls anywhere in the agent's capture period.
        std::this_thread::sleep_for(std::chrono::milliseconds(120 + random() % 100));
        const bool white = i % 2 == 0;
        painter.fill(kSquareX, kSquareY, kSquareSize, kSquareSize, white ? 0xFFFFFF : 0x000000);
        const auto drawn = Clock::now();
        const auto drawnMs = static_cast<std::int64_t>(steadyMilliseconds(drawn));
        ChangeTimes change;
        std::optional<double> writtenAt;
        bool seen = false;
        while (millisecondsSince(drawn) < 2000) {
            if (!writtenAt) {
                const auto frame = capture.latest();
                if (frame && static_cast<std::int64_t>(frame->timestamp) >= drawnMs) {
                    writtenAt = millisecondsSince(drawn);
                    change.untilCapture = static_cast<double>(static_cast<std::int64_t>(frame->timestamp) - drawnMs);
                    change.agent = *writtenAt - change.untilCapture;
                }
            }
            const int luma = viewer.lumaAt(kSampleFx, kSampleFy);
            if (luma >= 0 && (white ? luma > 200 : luma < 55)) {
                seen = true;
                break;
            }
            std::this_thread::sleep_for(200us);
        }
        if (!seen) {
            ++missed;
            continue;
        }
        change.total = millisecondsSince(drawn);
        if (writtenAt) change.service = change.total - *writtenAt;
        times.push_back(change);
    }
    return times;
}

// The `fraction` percentile of one stretch over the changes where it was seen.
double percentileOf(const std::vector<ChangeTimes>& times, double ChangeTimes::*stretch, double fraction) {
    std::vector<double> values;
    for (const ChangeTimes& change : times) {
        if (change.*stretch >= 0) values.push_back(change.*stretch);
    }
    return percentile(std::move(values), fraction);
}

struct Throughput {
    double fps = 0;
    double agentCpuMs = -1;   // per delivered frame
    double targetCpuMs = -1;  // B's service
    double viewerCpuMs = -1;  // A's service
};

Throughput measureScrolling(Painter& painter, const SectionReader& viewer, int seconds, long agentPid,
                            long targetPid, long viewerPid) {
    std::mt19937 random(5);
    painter.page(random);
    int step = 0;
    auto next = Clock::now();
    const auto scrollFor = [&](std::chrono::milliseconds duration) {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            painter.scroll(++step, random);
            next += kScrollPeriod;
            std::this_thread::sleep_until(next);
        }
    };
    scrollFor(1s);  // the encoder settles on the moving picture

    const double agentStart = cpuMilliseconds(agentPid);
    const double targetStart = cpuMilliseconds(targetPid);
    const double viewerStart = cpuMilliseconds(viewerPid);
    const std::uint64_t firstSequence = viewer.sequence();
    const auto start = Clock::now();
    scrollFor(std::chrono::seconds(seconds));
    const double elapsedSeconds = millisecondsSince(start) / 1000.0;
    const auto frames = static_cast<double>(viewer.sequence() - firstSequence);

    Throughput figures;
    figures.fps = frames / elapsedSeconds;
    if (frames > 0) {
        const auto perFrame = [frames](double before, double after) {
            return before < 0 || after < 0 ? -1.0 : (after - before) / frames;
        };
        figures.agentCpuMs = perFrame(agentStart, cpuMilliseconds(agentPid));
        figures.targetCpuMs = perFrame(targetStart, cpuMilliseconds(targetPid));
        figures.viewerCpuMs = perFrame(viewerStart, cpuMilliseconds(viewerPid));
    }
    return figures;
}

int occurrences(const std::string& text, const std::string& what) {
    int count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "remote_session_bench: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);
    const int changes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const int displayMode = argc > 3 ? std::clamp(std::atoi(argv[3]), 0, 1) : 0;

    test::XvfbDisplay xvfb({}, "1920x1080x24");
    if (!xvfb.isRunning()) return fail("Xvfb did not start");
    Painter painter(xvfb.name());
    if (!painter.ok()) return fail("cannot draw on " + xvfb.name());
    painter.fill(0, 0, kWidth, kHeight, kBackground);
    painter.fill(kSquareX, kSquareY, kSquareSize, kSquareSize, 0x000000);

    test::TempInstanceRoot root;
    test::RemoteSessionRig rig(root.path(), {VELTRIX_SERVICE_PROGRAM, VELTRIX_PIPE_PROBE_PROGRAM, VELTRIX_CLIENT_PROGRAM});
    std::string failure;
    if (!rig.start(failure)) return fail(failure);
    // The encoder settings of the display mode come with START_CAPTURE.
    rig.talkToTarget({QString(R"({"type":"SET_DISPLAY_MODE","mode":%1})").arg(displayMode)}, 200);
    rig.giveTargetItsSession(xvfb.name(), true);
    rig.connect();
    if (!test::waitUntil([&] { return rig.viewerSessionState() == "Connected"; }, 30s))
        return fail("the session did not come up\n" + rig.viewer.log() + rig.target.log());
    if (!test::waitUntil([&] { return rig.target.log().find("Sent START_CAPTURE to agent") != std::string::npos; }, 20s))
        return fail("B's agent got no START_CAPTURE\n" + rig.target.log());

    SectionReader viewer;
    SectionReader capture;
    if (!test::waitUntil([&] { return viewer.open(rig.viewer.root, kFrameSectionName); }, 10s))
        return fail("A's frame section is missing");
    if (!capture.open(rig.target.root, kCaptureSectionName)) return fail("B's capture section is missing");
    if (!test::waitUntil([&] {
            const int luma = viewer.lumaAt(kSampleFx, kSampleFy);
            return luma >= 0 && luma < 55;
        }, 15s))
        return fail("B's screen does not arrive at A\n" + rig.target.log() + rig.target.agentLogs());

    const long agentPid = rig.targetAgentPid();
    std::printf("remote session, B's 1920x1080 X display to A's decoded-frame section, peer to peer on loopback\n");
    std::printf("display mode %d (%s)\n", displayMode,
                displayMode == 0 ? "quality: 30 fps, crf 18, preset 7, 8000 kbit/s"
                                 : "balanced: 20 fps, crf 45, preset 13, 1500 kbit/s");

    // Where the agent's time goes: its own log names every encode that took over 100 ms.
    const auto slowEncodes = [&] { return occurrences(rig.target.agentLogs(), "encode() slow"); };
    int missed = 0;
    const int slowBefore = slowEncodes();
    const auto latencies = measureLatency(painter, viewer, capture, changes, missed);
    const int slowDuringChanges = slowEncodes() - slowBefore;
    std::printf("glass to glass, %d changes of a 200x200 square:  median %6.1f ms   p95 %6.1f ms   max %6.1f ms   "
                "(target: median <= 35 ms)%s\n",
                changes, percentileOf(latencies, &ChangeTimes::total, 0.5),
                percentileOf(latencies, &ChangeTimes::total, 0.95), percentileOf(latencies, &ChangeTimes::total, 1.0),
                missed ? (" " + std::to_string(missed) + " not seen within 2 s").c_str() : "");
    for (const auto& [label, stretch] : {std::pair{"until B's agent captures it", &ChangeTimes::untilCapture},
                                         std::pair{"B's agent: convert, encode, write", &ChangeTimes::agent},
                                         std::pair{"B's service to A's section", &ChangeTimes::service}}) {
        std::printf("  %-36s median %6.1f ms   p95 %6.1f ms\n", label, percentileOf(latencies, stretch, 0.5),
                    percentileOf(latencies, stretch, 0.95));
    }

    const Throughput scrolling = measureScrolling(painter, viewer, seconds, agentPid,
                                                  static_cast<long>(rig.target.service.processId()),
                                                  static_cast<long>(rig.viewer.service.processId()));
    std::printf("full-screen scrolling for %d s:  %5.1f frames per second into A's section   (target: >= 30 fps)\n",
                seconds, scrolling.fps);
    std::printf("CPU time per delivered frame:  B's agent %5.1f ms   B's service %5.1f ms   A's service %5.1f ms\n",
                scrolling.agentCpuMs, scrolling.targetCpuMs, scrolling.viewerCpuMs);
    std::printf("encodes over 100 ms in B's agent log: %d during the changes, %d while scrolling; load average %s\n",
                slowDuringChanges, slowEncodes() - slowBefore - slowDuringChanges, loadAverage().c_str());

    rig.talkToViewer({R"({"type":"DISCONNECT"})"}, 200);
    rig.stopServices();
    return 0;
}

// Both capture backends against a private X server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <string>

#include "agent/DxgiCaptureBackend.h"
#include "agent/GdiCaptureBackend.h"
#include "agent/ScreenCaptureManager.h"
#include "platform/InputDesktop.h"
#include "platform/InstancePaths.h"
#include "platform/ProcessSnapshot.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/XvfbDisplay.h"

// Last: Xlib defines macros (Bool, Status, None) that clash with Qt headers.
#include "support/XScreen.h"

namespace veltrix {
namespace {

struct Bgra {
    std::uint8_t b, g, r, a;
    bool operator==(const Bgra&) const = default;
};

Bgra pixelAt(const CapturedFrame& frame, int x, int y) {
    const std::uint8_t* p = frame.pixels.data() + static_cast<std::ptrdiff_t>(y) * frame.stride + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

Bgra fromRgb(unsigned long rgb) {
    return {static_cast<std::uint8_t>(rgb & 0xFF), static_cast<std::uint8_t>((rgb >> 8) & 0xFF),
            static_cast<std::uint8_t>((rgb >> 16) & 0xFF), 0xFF};
}

bool covers(const std::vector<DirtyRect>& rects, int x, int y, int width, int height) {
    // Every pixel of the area lies in some rectangle (checked on the area's corners and centre,
    // which is enough for the axis-aligned damage the server reports here).
    const auto inside = [&](int px, int py) {
        for (const auto& r : rects) {
            if (px >= r.x && px < r.x + r.width && py >= r.y && py < r.y + r.height) return true;
        }
        return false;
    };
    return inside(x, y) && inside(x + width - 1, y) && inside(x, y + height - 1) &&
           inside(x + width - 1, y + height - 1) && inside(x + width / 2, y + height / 2);
}

std::unique_ptr<CapturedFrame> captureWithin(IScreenCaptureBackend& backend, int attempts = 10) {
    for (int i = 0; i < attempts; ++i) {
        if (auto frame = backend.captureFrame()) return frame;
    }
    return nullptr;
}

class CaptureBackendTest : public ::testing::Test {
protected:
    void SetUp() override { start({}); }

    void start(std::vector<std::string> extra) {
        screen.reset();
        xvfb.reset();
        xvfb = std::make_unique<test::XvfbDisplay>(std::move(extra));
        ASSERT_TRUE(xvfb->isRunning());
        xvfb->makeCurrent();
        screen = std::make_unique<test::XScreen>(xvfb->name());
        ASSERT_TRUE(screen->ok());
        // Keep the pointer out of the way of what the tests draw.
        screen->movePointer(1900, 1060);
    }
    void xrandr(const std::string& arguments) {
        const std::string command = "DISPLAY=" + xvfb->name() + " xrandr " + arguments + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    void splitIntoTwoMonitors() {
        xrandr("--setmonitor left 960/254x1080/286+0+0 screen");
        xrandr("--setmonitor right 960/254x1080/286+960+0 none");
    }

    test::TempInstanceRoot root;
    std::unique_ptr<test::XvfbDisplay> xvfb;
    std::unique_ptr<test::XScreen> screen;
};

TEST_F(CaptureBackendTest, StaticScreenGivesOneFullFrameThenNothing) {
    DxgiCaptureBackend backend;
    ASSERT_TRUE(backend.initialize(0));
    const auto first = backend.captureFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width, 1920);
    EXPECT_EQ(first->height, 1080);
    EXPECT_EQ(first->stride, 1920 * 4);
    EXPECT_FALSE(first->fullFrame);
    EXPECT_TRUE(covers(first->dirtyRects, 0, 0, 1920, 1080));

    test::LogCapture log;
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(backend.captureFrame()) << "call " << i;
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(backend.isInitialized());
}

TEST_F(CaptureBackendTest, ManagerDeliversOnlyWhatChanges) {
    setenv(platform::process::kIntegrityVariable, "medium", 1);
    auto owned = std::make_unique<DxgiCaptureBackend>();
    ASSERT_TRUE(owned->initialize(0));
    ScreenCaptureManager manager(std::move(owned));
    std::mutex mutex;
    std::vector<std::shared_ptr<CapturedFrame>> frames;
    manager.setFrameCallback([&](std::shared_ptr<CapturedFrame> frame) {
        std::lock_guard lock(mutex);
        frames.push_back(std::move(frame));
    });
    const auto count = [&] {
        std::lock_guard lock(mutex);
        return frames.size();
    };
    const auto waitFor = [&](std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (count() < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return count() >= n;
    };
    manager.start(30);
    ASSERT_TRUE(waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(count(), 1u) << "a static screen delivers nothing after the first frame";
    screen->fill(50, 60, 70, 80, 0xABCDEF);
    ASSERT_TRUE(waitFor(2));
    manager.stop();
    unsetenv(platform::process::kIntegrityVariable);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(covers(frames[1]->dirtyRects, 50, 60, 70, 80));
    EXPECT_EQ(pixelAt(*frames[1], 60, 70), fromRgb(0xABCDEF));
}

TEST_F(CaptureBackendTest, DrawnRectangleIsReportedAndCaptured) {
    DxgiCaptureBackend backend;
    ASSERT_TRUE(backend.initialize(0));
    ASSERT_TRUE(backend.captureFrame());

    screen->fill(300, 200, 240, 120, 0x3366CC);
    const auto frame = captureWithin(backend);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(covers(frame->dirtyRects, 300, 200, 240, 120));
    for (const auto& r : frame->dirtyRects) {
        EXPECT_GE(r.x, 0);
        EXPECT_GE(r.y, 0);
        EXPECT_LE(r.x + r.width, 1920);
        EXPECT_LE(r.y + r.height, 1080);
    }
    for (auto [x, y] : {std::pair{300, 200}, {539, 319}, {420, 260}}) EXPECT_EQ(pixelAt(*frame, x, y), fromRgb(0x3366CC));
    EXPECT_NE(pixelAt(*frame, 299, 199), fromRgb(0x3366CC));
}

TEST_F(CaptureBackendTest, BothBackendsDeliverTheSamePixels) {
    screen->fill(0, 0, 1920, 1080, 0x202020);
    screen->fill(100, 100, 50, 70, 0xFF8000);
    screen->setSquareCursor(16, 4, 0x00FF00);
    screen->movePointer(700, 500);
    DxgiCaptureBackend duplication;
    GdiCaptureBackend copy;
    ASSERT_TRUE(duplication.initialize(0));
    ASSERT_TRUE(copy.initialize(0));
    const auto a = duplication.captureFrame();
    const auto b = copy.captureFrame();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->pixels.size(), b->pixels.size());
    EXPECT_TRUE(a->pixels == b->pixels);
    EXPECT_TRUE(b->dirtyRects.empty());
    EXPECT_EQ(pixelAt(*b, 696, 496), fromRgb(0x00FF00));
}

TEST_F(CaptureBackendTest, CursorIsDrawnAtItsPlaceOnTheSecondMonitor) {
    splitIntoTwoMonitors();
    screen->fill(0, 0, 1920, 1080, 0x000080);
    screen->setSquareCursor(16, 4, 0xFF0000);
    screen->movePointer(960 + 300, 400);

    DxgiCaptureBackend duplication;
    GdiCaptureBackend copy;
    ASSERT_TRUE(duplication.initialize(1));
    ASSERT_TRUE(copy.initialize(1));
    EXPECT_EQ(duplication.getMonitorInfo().x, 960);
    EXPECT_EQ(copy.getMonitorInfo().name, "right");
    for (IScreenCaptureBackend* backend : {static_cast<IScreenCaptureBackend*>(&duplication),
                                           static_cast<IScreenCaptureBackend*>(&copy)}) {
        const auto frame = captureWithin(*backend);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width, 960);
        // The square's top-left corner is the pointer position less the hot spot.
        EXPECT_EQ(pixelAt(*frame, 296, 396), fromRgb(0xFF0000));
        EXPECT_EQ(pixelAt(*frame, 311, 411), fromRgb(0xFF0000));
        EXPECT_EQ(pixelAt(*frame, 295, 396), fromRgb(0x000080));
        EXPECT_EQ(pixelAt(*frame, 312, 412), fromRgb(0x000080));
    }
}

TEST_F(CaptureBackendTest, PointerMoveAloneGivesAFrameWithoutChangedRegions) {
    DxgiCaptureBackend backend;
    ASSERT_TRUE(backend.initialize(0));
    ASSERT_TRUE(backend.captureFrame());
    screen->movePointer(800, 600);
    const auto frame = captureWithin(backend);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->dirtyRects.empty());
}

TEST_F(CaptureBackendTest, SixAccessLossesEndInTheReinitializationLimit) {
    // A monitor that reaches past the screen: every picture of it fails, every new duplication
    // of it succeeds.
    xrandr("--setmonitor bogus 800/200x600/150+1800+900 none");
    DxgiCaptureBackend backend;
    const auto monitors = backend.enumerateMonitors();
    const auto bogus = std::find_if(monitors.begin(), monitors.end(), [](auto& m) { return m.name == "bogus"; });
    ASSERT_NE(bogus, monitors.end());
    ASSERT_TRUE(backend.initialize(bogus->index));
    test::LogCapture log;
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(backend.captureFrame());
    EXPECT_EQ(log.count("DxgiCaptureBackend: access lost -- attempting reinitialization"), 6u);
    EXPECT_EQ(log.count("DxgiCaptureBackend: reinitialization successful"), 5u);
    EXPECT_TRUE(log.contains("DxgiCaptureBackend: reinitializing (attempt 5/5)"));
    EXPECT_TRUE(log.contains("DxgiCaptureBackend: max reinitialization attempts (5) exceeded"));
    EXPECT_TRUE(log.contains("DxgiCaptureBackend: reinitialization failed"));
    EXPECT_FALSE(backend.isInitialized());
    EXPECT_EQ(backend.getMonitorInfo().index, bogus->index);
}

TEST_F(CaptureBackendTest, DisplayChangeIsAnAccessLossRepairedInPlace) {
    DxgiCaptureBackend backend;
    ASSERT_TRUE(backend.initialize(0));
    ASSERT_TRUE(backend.captureFrame());
    test::LogCapture log;
    splitIntoTwoMonitors();
    std::unique_ptr<CapturedFrame> frame;
    for (int i = 0; i < 10 && !frame; ++i) frame = backend.captureFrame();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(log.contains("DxgiCaptureBackend: reinitialization successful"));
    EXPECT_EQ(frame->width, 960);
}

TEST_F(CaptureBackendTest, MonitorListsNumberAndMarkPrimaryByTheirOwnRules) {
    splitIntoTwoMonitors();
    DxgiCaptureBackend duplication;
    GdiCaptureBackend copy;
    const auto a = duplication.enumerateMonitors();
    const auto b = copy.enumerateMonitors();
    const auto listed = ScreenCaptureManager::listMonitors();
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(b.size(), 2u);
    ASSERT_EQ(listed.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(a[i].index, i);
        EXPECT_EQ(b[i].index, i);
        EXPECT_EQ(listed[i].index, i);
        EXPECT_EQ(a[i].name, b[i].name);
        EXPECT_EQ(listed[i].name.toStdString(), a[i].name);
        EXPECT_EQ(listed[i].width, 960);
    }
    EXPECT_EQ(a[1].x, 960);
    // Duplication and the settings list call the monitor at the origin primary.
    EXPECT_TRUE(a[0].primary);
    EXPECT_FALSE(a[1].primary);
    EXPECT_TRUE(listed[0].primary);
    EXPECT_FALSE(listed[1].primary);
}

TEST_F(CaptureBackendTest, MissingMonitorIsRefusedByBoth) {
    test::LogCapture log;
    DxgiCaptureBackend duplication;
    GdiCaptureBackend copy;
    EXPECT_FALSE(duplication.initialize(3));
    EXPECT_FALSE(copy.initialize(-1));
    EXPECT_TRUE(log.contains("DxgiCaptureBackend: monitor index 3 not found"));
    EXPECT_TRUE(log.contains("GdiCaptureBackend: monitor index -1 not found (have 1 monitors)"));
    EXPECT_EQ(duplication.getMonitorInfo().index, 3);
    EXPECT_FALSE(duplication.captureFrame());
}

TEST_F(CaptureBackendTest, WithoutSharedMemoryOnlyTheScreenCopyWorks) {
    start({"-extension", "MIT-SHM"});
    screen->fill(10, 20, 30, 40, 0x123456);
    test::LogCapture log;
    DxgiCaptureBackend duplication;
    EXPECT_FALSE(duplication.initialize(0));
    EXPECT_TRUE(log.contains("DxgiCaptureBackend: failed to create D3D11 device"));
    GdiCaptureBackend copy;
    ASSERT_TRUE(copy.initialize(0));
    EXPECT_TRUE(log.contains("[GDI fallback]"));
    const auto frame = copy.captureFrame();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->dirtyRects.empty());
    EXPECT_EQ(pixelAt(*frame, 10, 20), fromRgb(0x123456));
    EXPECT_EQ(pixelAt(*frame, 39, 59), fromRgb(0x123456));
    EXPECT_NE(pixelAt(*frame, 40, 60), fromRgb(0x123456));
}

TEST_F(CaptureBackendTest, SecureDesktopStopsAUserAgentsDuplication) {
    setenv(platform::process::kIntegrityVariable, "medium", 1);
    DxgiCaptureBackend backend;
    ASSERT_TRUE(backend.initialize(0));
    ASSERT_TRUE(backend.captureFrame());
    std::filesystem::create_directories(platform::paths::runDir());
    // The input desktop file of the session this process belongs to.
    {
        std::ofstream(platform::desktops::inputDesktopFilePath(platform::desktops::currentSessionId())) << "Winlogon";
    }
    EXPECT_FALSE(backend.captureFrame());
    EXPECT_FALSE(backend.isInitialized());
    EXPECT_FALSE(backend.initialize(0));
    unsetenv(platform::process::kIntegrityVariable);
}

}  // namespace
}  // namespace veltrix

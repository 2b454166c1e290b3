#include "agent/ScreenCaptureManager.h"

#include <gtest/gtest.h>

#include <iostream>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <new>
#include <numeric>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

#include "CaptureFakes.h"
#include "platform/InputDesktop.h"
#include "platform/InstancePaths.h"
#include "platform/ProcessSnapshot.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

extern char** environ;

namespace veltrix {
namespace {

using namespace std::chrono_literals;
using test::FakeCaptureBackend;
using test::eventually;

// A copy of sleep(1) under a chosen path and name, running for the life of the object.
class NamedProcess {
public:
    explicit NamedProcess(const std::filesystem::path& path) {
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing);
        std::string program = path.string();
        std::string seconds = "60";
        char* argv[] = {program.data(), seconds.data(), nullptr};
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        // Wait until the process runs the copied program (its image path is the copy).
        eventually([&] { return platform::process::processImagePath(pid_) == program; }, 5s);
    }
    ~NamedProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
};

class ScreenCaptureManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The foreground-window probe must not reach a display of the machine.
        unsetenv("DISPLAY");
        // A user-session agent unless a test says otherwise.
        setenv(platform::process::kIntegrityVariable, "medium", 1);
        auto owned = std::make_unique<FakeCaptureBackend>();
        backend = owned.get();
        manager = std::make_unique<ScreenCaptureManager>(std::move(owned), clock);
        QObject::connect(manager.get(), &ScreenCaptureManager::captureError,
                         [this](const QString& text) {
                             std::lock_guard lock(mutex);
                             errors.push_back(text.toStdString());
                         });
        QObject::connect(manager.get(), &ScreenCaptureManager::frameCaptured,
                         [this](const std::shared_ptr<CapturedFrame>&) { ++signalled; });
        manager->setDesktopChangedCallback([this](const std::string& observed, const std::string& previous) {
            std::lock_guard lock(mutex);
            desktopReports.emplace_back(observed, previous);
        });
    }
    void TearDown() override {
        backend->release();
        manager.reset();
        unsetenv(platform::process::kIntegrityVariable);
    }

    void writeInputDesktop(const std::string& name) {
        std::filesystem::create_directories(platform::paths::runDir());
        std::ofstream(platform::desktops::inputDesktopFilePath(platform::desktops::currentSessionId())) << name;
    }
    std::vector<std::pair<std::string, std::string>> reports() {
        std::lock_guard lock(mutex);
        return desktopReports;
    }
    std::vector<std::string> errorTexts() {
        std::lock_guard lock(mutex);
        return errors;
    }
    void runUntilParked(int call, int fps = 10) {
        backend->parkAt(call);
        manager->start(fps);
        ASSERT_TRUE(backend->waitParked()) << "capture call " << call << " not reached";
    }

    test::TempInstanceRoot root;
    test::LogCapture log;
    std::shared_ptr<test::FakeCaptureClock> clock = std::make_shared<test::FakeCaptureClock>();
    FakeCaptureBackend* backend = nullptr;
    std::unique_ptr<ScreenCaptureManager> manager;
    std::mutex mutex;
    std::vector<std::string> errors;
    std::vector<std::pair<std::string, std::string>> desktopReports;
    std::atomic<int> signalled{0};
    // State the callbacks of a test touch; members, so it outlives the capture thread.
    std::vector<std::shared_ptr<CapturedFrame>> frames;
    std::vector<int> switched;
    std::atomic<int> failuresLeft{0};
    std::atomic<int> failures{0};
    std::vector<int> failuresAtReport;
    std::atomic<int> calls{0};
};

struct RateCase {
    int requested;
    int expected;
    int frames;  // delivered before the check: a few seconds of virtual time
};

class CaptureRateTest : public ScreenCaptureManagerTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(CaptureRateTest, ClampsTheTargetAndPacesToIt) {
    const auto [requested, expected, frames] = GetParam();
    backend->onCapture = [](int, FakeCaptureBackend&) { return FakeCaptureBackend::frame(); };
    runUntilParked(frames + 1, requested);

    EXPECT_EQ(manager->targetFps(), expected);
    EXPECT_TRUE(log.contains(fmt::format("ScreenCaptureManager: started (target {} FPS)", expected)));
    const auto pacing = clock->pacing();
    ASSERT_GE(pacing.size(), 2u);
    // Capture takes no virtual time, so every iteration sleeps one whole period.
    for (const auto wait : pacing) EXPECT_EQ(wait.count(), 1'000'000'000LL / expected);
    EXPECT_NEAR(manager->measuredFps(), expected, expected * 0.05);
    backend->release();
    manager->stop();
    EXPECT_EQ(manager->measuredFps(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, CaptureRateTest,
                         ::testing::Values(RateCase{0, 1, 4}, RateCase{500, 120, 300}, RateCase{-3, 1, 4},
                                           RateCase{30, 30, 90}));

TEST_F(ScreenCaptureManagerTest, StartRefusesTwiceAndWithoutUsableBackend) {
    runUntilParked(1);
    manager->start(10);
    EXPECT_EQ(log.count("ScreenCaptureManager: already running"), 1u);
    backend->release();
    manager->stop();
    EXPECT_TRUE(log.contains("ScreenCaptureManager: stopped"));

    backend->markLost();
    manager->start(10);
    EXPECT_FALSE(manager->isRunning());
    EXPECT_TRUE(log.contains("ScreenCaptureManager: backend not initialized"));

    QString emptyError;
    ScreenCaptureManager empty(nullptr);
    QObject::connect(&empty, &ScreenCaptureManager::captureError, [&](const QString& t) { emptyError = t; });
    empty.start(10);
    EXPECT_EQ(emptyError, "No capture backend available");
    EXPECT_EQ(errorTexts(), std::vector<std::string>{"Capture backend is not initialized"});
}

TEST_F(ScreenCaptureManagerTest, NullStreakLogsAtTenThirtyAndEveryHundred) {
    backend->onCapture = [](int call, FakeCaptureBackend&) -> std::unique_ptr<CapturedFrame> {
        return call == 251 ? FakeCaptureBackend::frame() : nullptr;
    };
    runUntilParked(252);
    const std::string suffix =
        " consecutive null captures (backend still initialized — likely static screen or DXGI WAIT_TIMEOUT)";
    EXPECT_EQ(log.count(suffix), 4u);
    for (int n : {10, 30, 100, 200}) EXPECT_TRUE(log.contains(fmt::format("ScreenCaptureManager: {}{}", n, suffix)));
    EXPECT_TRUE(log.contains("ScreenCaptureManager: frame flow resumed after 250 null captures"));
}

TEST_F(ScreenCaptureManagerTest, KeyframeRequestWaitsForTheNextDeliveredFrame) {
    manager->setFrameCallback([&](std::shared_ptr<CapturedFrame> f) { frames.push_back(std::move(f)); });
    backend->onCapture = [](int call, FakeCaptureBackend&) -> std::unique_ptr<CapturedFrame> {
        return call >= 4 ? FakeCaptureBackend::frame() : nullptr;  // a static screen first
    };
    manager->requestKeyframe();
    runUntilParked(6);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0]->fullFrame);
    EXPECT_TRUE(frames[0]->dirtyRects.empty());
    EXPECT_FALSE(frames[1]->fullFrame);
    EXPECT_EQ(frames[1]->dirtyRects.size(), 1u);
    EXPECT_EQ(signalled.load(), 2);
}

TEST_F(ScreenCaptureManagerTest, LastQueuedMonitorSwitchWins) {
    QObject::connect(manager.get(), &ScreenCaptureManager::monitorSwitched,
                     [&](const MonitorInfo& m) { switched.push_back(m.index); });
    manager->switchMonitor(1);
    manager->switchMonitor(2);
    runUntilParked(2);
    const auto inits = backend->initIndices();
    EXPECT_EQ(std::count(inits.begin(), inits.end(), 1), 0);
    EXPECT_EQ(std::count(inits.begin(), inits.end(), 2), 1);
    EXPECT_EQ(switched, std::vector<int>{2});
    EXPECT_TRUE(log.contains("ScreenCaptureManager: switched to monitor 2"));
}

TEST_F(ScreenCaptureManagerTest, SwitchToMissingMonitorKeepsRetryingThatIndex) {
    backend->onInitialize = [](int index) { return index < 3; };
    manager->switchMonitor(7);
    manager->start(10);
    ASSERT_TRUE(eventually([&] {
        const auto inits = backend->initIndices();
        return std::count(inits.begin(), inits.end(), 7) >= 4;
    }));
    manager->stop();
    EXPECT_TRUE(log.contains("ScreenCaptureManager: failed to switch to monitor 7"));
    const auto inits = backend->initIndices();
    // After the first switch attempt only index 7 is tried.
    const auto first = std::find(inits.begin(), inits.end(), 7);
    EXPECT_TRUE(std::all_of(first, inits.end(), [](int i) { return i == 7; }));
}

TEST_F(ScreenCaptureManagerTest, RecoveryBacksOffAndReportsTheSecureDesktopOnce) {
    backend->onInitialize = [&](int) {
        if (failuresLeft.load() > 0) {
            --failuresLeft;
            ++failures;
            return false;
        }
        return true;
    };
    backend->onCapture = [&](int call, FakeCaptureBackend& self) -> std::unique_ptr<CapturedFrame> {
        if (call == 1) {
            // The secure desktop comes up: a user agent no longer sees any input desktop.
            writeInputDesktop("");
            failuresLeft = 3;
            self.markLost();
            return nullptr;
        }
        return FakeCaptureBackend::frame();
    };
    manager->setDesktopChangedCallback([&](const std::string& observed, const std::string& previous) {
        std::lock_guard lock(mutex);
        desktopReports.emplace_back(observed, previous);
        failuresAtReport.push_back(failures.load());
    });
    // Every iteration calls the backend, lost or not: four recoveries end before call 5.
    runUntilParked(5);

    // Waits of 200, 400, 500, 500 ms, slept in slices of at most 100 ms.
    EXPECT_EQ(log.count("waiting 200 ms before reinit"), 1u);
    EXPECT_EQ(log.count("waiting 400 ms before reinit"), 1u);
    EXPECT_EQ(log.count("waiting 500 ms before reinit"), 2u);
    EXPECT_EQ(log.count("ScreenCaptureManager: backend lost, waiting"), 4u);
    const auto slices = clock->slices();
    EXPECT_TRUE(std::all_of(slices.begin(), slices.end(), [](auto s) { return s <= 100ms; }));
    EXPECT_EQ(std::accumulate(slices.begin(), slices.end(), std::chrono::nanoseconds(0)), 1600ms);

    EXPECT_EQ(errorTexts(), std::vector<std::string>(3, "Failed to reinitialize capture backend"));
    const auto seen = reports();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (std::pair<std::string, std::string>{"Default", "(none)"}));
    EXPECT_EQ(seen[1], (std::pair<std::string, std::string>{"Winlogon", "Default"}));
    EXPECT_EQ(failuresAtReport[1], 2);
    EXPECT_EQ(log.count("Sustained DXGI access-denied (2 reinits)"), 1u);
    EXPECT_EQ(log.count("DXGI reinit failed (streak=1)"), 1u);
    EXPECT_TRUE(log.contains("ScreenCaptureManager: DXGI recovered after 3 denied reinit attempts"));
    if (HasFailure()) for (const auto& l : log.lines()) std::cerr << l << "\n";
}

TEST_F(ScreenCaptureManagerTest, NoSyntheticReportWhenTheConsentPromptWasAlreadySeen) {
    NamedProcess consent(std::filesystem::path(platform::process::systemDirectory()) / "consent.exe");
    backend->onInitialize = [&](int) { return backend->calls() == 0; };
    backend->onCapture = [](int, FakeCaptureBackend& self) -> std::unique_ptr<CapturedFrame> {
        self.markLost();
        return nullptr;
    };
    manager->start(10);
    ASSERT_TRUE(eventually([&] { return log.count("ScreenCaptureManager: backend lost") >= 4; }));
    manager->stop();
    EXPECT_TRUE(log.contains("isConsentRunning: verified System32 UAC host present"));
    const auto seen = reports();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (std::pair<std::string, std::string>{"Winlogon", "(none)"}));
    EXPECT_FALSE(log.contains("firing synthetic Winlogon observation"));
}

TEST_F(ScreenCaptureManagerTest, ConsentHostOutsideTheSystemFolderIsIgnored) {
    NamedProcess spoof(root.path() / "elsewhere" / "consent.exe");
    runUntilParked(2);
    EXPECT_TRUE(log.contains("isConsentRunning: process named 'consent.exe' is NOT under System32"));
    const auto seen = reports();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], (std::pair<std::string, std::string>{"Default", "(none)"}));
}

TEST_F(ScreenCaptureManagerTest, SecureDesktopIsInvisibleToAUserAgent) {
    writeInputDesktop("Winlogon");
    runUntilParked(2);
    // Neither the input desktop nor "Winlogon" opens: no name, no report, no desktop switch.
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(log.contains("ScreenCaptureManager: capture thread IL=User-session"));
}

TEST_F(ScreenCaptureManagerTest, SystemAgentFollowsTheSecureDesktop) {
    unsetenv(platform::process::kIntegrityVariable);
    if (!platform::process::isSystemAccount()) GTEST_SKIP() << "needs root";
    writeInputDesktop("Winlogon");
    runUntilParked(2);
    const auto seen = reports();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (std::pair<std::string, std::string>{"Winlogon", "(none)"}));
    EXPECT_TRUE(log.contains("ScreenCaptureManager: capture thread IL=System"));
    EXPECT_TRUE(log.contains("Capture thread switched desktop: (none) -> Winlogon"));
}

TEST_F(ScreenCaptureManagerTest, ObservationHeartbeatEveryTenthObservation) {
    writeInputDesktop("");
    // At 2 frames per second every iteration observes: the start and 60 iterations up to the 60th
    // capture are 61 observations, of which the 10th, 20th ... 60th log the heartbeat.
    runUntilParked(60, 2);
    EXPECT_EQ(log.count("Capture: desktop observation heartbeat (observed='(failed)', last='(none)')"), 6u);
}

TEST_F(ScreenCaptureManagerTest, ThrowingFrameCallbackCostsOnlyThatFrame) {
    manager->setFrameCallback([&](std::shared_ptr<CapturedFrame>) {
        const int n = ++calls;
        if (n == 1) throw std::bad_alloc();
        if (n == 2) throw std::runtime_error("encoder exploded");
        if (n == 3) throw 42;
    });
    backend->onCapture = [](int, FakeCaptureBackend&) { return FakeCaptureBackend::frame(); };
    runUntilParked(6);
    EXPECT_EQ(calls.load(), 5);
    EXPECT_EQ(signalled.load(), 2);  // the dropped frames are not announced
    EXPECT_EQ(log.count("frame processor threw"), 3u);
    EXPECT_TRUE(log.contains("encoder exploded"));
    EXPECT_TRUE(manager->isRunning());
}

TEST_F(ScreenCaptureManagerTest, ThrowingDesktopCallbackAndCaptureDoNotEndTheThread) {
    manager->setDesktopChangedCallback([](const std::string&, const std::string&) {
        throw std::runtime_error("supervisor gone");
    });
    backend->onInitialize = [&](int) { return failuresLeft.load() == 0 || failuresLeft-- <= 0; };
    backend->onCapture = [&](int call, FakeCaptureBackend& self) -> std::unique_ptr<CapturedFrame> {
        if (call == 1) throw std::runtime_error("device removed");
        if (call == 2) {
            writeInputDesktop("");
            failuresLeft = 2;
            self.markLost();
            return nullptr;
        }
        return FakeCaptureBackend::frame();
    };
    runUntilParked(6);
    EXPECT_TRUE(log.contains("ScreenCaptureManager: exception during capture: device removed"));
    EXPECT_EQ(errorTexts().front(), "device removed");
    // The first observation and the synthetic report both threw.
    EXPECT_EQ(log.count("desktopChanged callback threw: supervisor gone"), 2u);
    EXPECT_TRUE(log.contains("firing synthetic Winlogon observation"));
    EXPECT_TRUE(log.contains("DXGI recovered after 2 denied reinit attempts"));
}

TEST_F(ScreenCaptureManagerTest, SlowFrameProcessorIsReported) {
    manager->setFrameCallback([&](std::shared_ptr<CapturedFrame>) { clock->advance(150ms); });
    backend->onCapture = [](int, FakeCaptureBackend&) { return FakeCaptureBackend::frame(); };
    runUntilParked(2);
    EXPECT_TRUE(log.contains(
        "ScreenCaptureManager: frame processor slow (150 ms) — likely encode() or writeEncodedFrame()"));
}

TEST_F(ScreenCaptureManagerTest, StartsAgainAfterStop) {
    backend->onCapture = [](int, FakeCaptureBackend&) { return FakeCaptureBackend::frame(); };
    runUntilParked(2);
    backend->release();
    manager->stop();
    const int before = backend->calls();
    runUntilParked(before + 2);
    EXPECT_EQ(log.count("ScreenCaptureManager: capture loop entered"), 2u);
    EXPECT_EQ(log.count("ScreenCaptureManager: capture thread IL="), 2u);
}

}  // namespace
}  // namespace veltrix

#include "agent/ScreenCaptureManager.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "agent/ConsentPrompt.h"
#include "platform/CurrentThread.h"
#include "platform/DisplayMonitors.h"
#include "platform/ProcessSnapshot.h"

namespace veltrix {
namespace {

namespace desktops = platform::desktops;
namespace process = platform::process;
using namespace std::chrono_literals;

constexpr int kMinFps = 1;
constexpr int kMaxFps = 120;
constexpr auto kInitialRecoveryWait = 100ms;
constexpr auto kMaxRecoveryWait = 500ms;
constexpr auto kRecoverySlice = 100ms;
constexpr auto kSlowCallback = 100ms;
constexpr char kNoDesktop[] = "(none)";

std::optional<desktops::Desktop> openInputOrSecureDesktop() {
    if (auto desktop = desktops::openInputDesktop()) return desktop;
    return desktops::openDesktop(desktops::kSecureDesktop);
}

void registerMetaTypes() {
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<std::shared_ptr<CapturedFrame>>("std::shared_ptr<veltrix::CapturedFrame>");
        qRegisterMetaType<MonitorInfo>("veltrix::MonitorInfo");
    });
}

}  // namespace

ScreenCaptureManager::ScreenCaptureManager(std::unique_ptr<IScreenCaptureBackend> backend, QObject* parent)
    : ScreenCaptureManager(std::move(backend), CaptureClock::steady(), parent) {}

ScreenCaptureManager::ScreenCaptureManager(std::unique_ptr<IScreenCaptureBackend> backend,
                                           std::shared_ptr<CaptureClock> clock, QObject* parent)
    : QObject(parent), backend_(std::move(backend)), clock_(clock ? std::move(clock) : CaptureClock::steady()) {
    registerMetaTypes();
}

ScreenCaptureManager::~ScreenCaptureManager() {
    stop();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    setDesktopChangedCallback(nullptr);
    setFrameCallback(nullptr);
    backend_.reset();
}

void ScreenCaptureManager::start(int fps) {
    if (running_.load()) {
        spdlog::warn("ScreenCaptureManager: already running");
        return;
    }
    if (!backend_) {
        spdlog::error("ScreenCaptureManager: no backend set");
        emit captureError(QStringLiteral("No capture backend available"));
        return;
    }
    if (!backend_->isInitialized()) {
        spdlog::error("ScreenCaptureManager: backend not initialized");
        emit captureError(QStringLiteral("Capture backend is not initialized"));
        return;
    }
    // A loop that was told to stop from its own thread has ended or is ending: collect it.
    if (thread_.joinable()) thread_.join();
    const int clamped = std::clamp(fps, kMinFps, kMaxFps);
    targetFps_.store(clamped);
    running_.store(true);
    measuredFps_.store(0.0);
    thread_ = std::thread(&ScreenCaptureManager::captureLoop, this);
    spdlog::info("ScreenCaptureManager: started (target {} FPS)", clamped);
}

void ScreenCaptureManager::stop() {
    if (!running_.load()) return;
    running_.store(false);
    if (thread_.get_id() == std::this_thread::get_id()) {
        // A thread cannot join itself; the loop ends after this iteration and the next start,
        // stop or the destructor (from another thread) collects it.
        spdlog::error("ScreenCaptureManager: stop called on the capture thread; not joining");
        return;
    }
    if (thread_.joinable()) thread_.join();
    measuredFps_.store(0.0);
    spdlog::info("ScreenCaptureManager: stopped");
}

void ScreenCaptureManager::switchMonitor(int index) {
    pendingMonitor_.store(index);
    spdlog::info("ScreenCaptureManager: monitor switch to {} queued", index);
}

void ScreenCaptureManager::requestKeyframe() { keyframeRequested_.store(true); }

void ScreenCaptureManager::setFrameCallback(FrameCallback callback) {
    std::lock_guard lock(frameCallbackMutex_);
    frameCallback_ = std::move(callback);
}

void ScreenCaptureManager::setDesktopChangedCallback(DesktopChangedCallback callback) {
    std::lock_guard lock(desktopCallbackMutex_);
    desktopChangedCallback_ = std::move(callback);
}

QList<MonitorListEntry> ScreenCaptureManager::listMonitors() {
    QList<MonitorListEntry> list;
    const auto adapters = platform::enumerateDisplayAdapters();
    if (!adapters) return list;
    for (const auto& adapter : *adapters) {
        for (const auto& monitor : adapter.monitors) {
            MonitorListEntry entry;
            entry.index = static_cast<int>(list.size());
            entry.name = QString::fromStdString(monitor.name);
            entry.width = monitor.width;
            entry.height = monitor.height;
            entry.primary = monitor.x == 0 && monitor.y == 0;
            list.append(entry);
        }
    }
    return list;
}

// ---- capture thread ------------------------------------------------------------------------

void ScreenCaptureManager::captureLoop() {
    spdlog::info("ScreenCaptureManager: capture loop entered (tid={})", platform::currentThreadId());
    const auto level = process::integrityLevel();
    spdlog::info("ScreenCaptureManager: capture thread IL={}",
                 level && *level >= process::kSystemIntegrity ? "System" : "User-session");

    lastDesktop_ = kNoDesktop;
    threadDesktop_.reset();
    observationCount_ = 0;
    nullStreak_ = 0;
    deniedStreak_ = 0;
    syntheticReportFired_ = false;
    recoveryWait_ = kInitialRecoveryWait;
    const desktops::Desktop startDesktop = desktops::threadDesktop();
    observeDesktop();

    framesInWindow_ = 0;
    auto windowStart = clock_->now();
    int observationCounter = 0;

    while (running_.load()) {
        const int observeEvery = std::max(1, targetFps_.load() / 2);
        if (++observationCounter >= observeEvery) {
            observationCounter = 0;
            observeDesktop();
        }

        if (const int monitor = pendingMonitor_.exchange(-1); monitor >= 0) {
            spdlog::info("ScreenCaptureManager: switching to monitor {} (in capture thread)", monitor);
            backend_->shutdown();
            if (backend_->initialize(monitor)) {
                spdlog::info("ScreenCaptureManager: switched to monitor {}", monitor);
                emit monitorSwitched(backend_->getMonitorInfo());
            } else {
                spdlog::error("ScreenCaptureManager: failed to switch to monitor {}", monitor);
            }
        }

        const int fps = targetFps_.load();
        const auto iterationStart = clock_->now();
        spdlog::trace("ScreenCaptureManager: capturing frame...");

        std::unique_ptr<CapturedFrame> frame;
        try {
            frame = backend_->captureFrame();
        } catch (const std::exception& e) {
            spdlog::error("ScreenCaptureManager: exception during capture: {}", e.what());
            emit captureError(QString::fromUtf8(e.what()));
        }
        spdlog::trace("ScreenCaptureManager: captureFrame returned (frame={})", frame ? "ok" : "null");

        if (frame) {
            deliverFrame(std::move(frame));
        } else if (backend_->isInitialized()) {
            countNullCapture();
        } else {
            recoverBackend();
            continue;
        }

        const auto now = clock_->now();
        if (now - windowStart > 999'999'999ns) {
            const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - windowStart).count();
            measuredFps_.store(static_cast<double>(framesInWindow_) * 1000.0 / static_cast<double>(elapsedMs));
            framesInWindow_ = 0;
            windowStart = now;
        }

        const std::chrono::nanoseconds period(1'000'000'000LL / fps);
        if (clock_->now() - iterationStart < period) clock_->sleepUntil(iterationStart + period);
    }

    desktops::setThreadDesktop(startDesktop);
    threadDesktop_.reset();
    spdlog::debug("ScreenCaptureManager: capture loop exiting");
}

void ScreenCaptureManager::deliverFrame(std::unique_ptr<CapturedFrame> captured) {
    if (nullStreak_ > 0) {
        spdlog::debug("ScreenCaptureManager: frame flow resumed after {} null captures", nullStreak_);
        nullStreak_ = 0;
    }
    deniedStreak_ = 0;
    recoveryWait_ = kInitialRecoveryWait;

    if (keyframeRequested_.exchange(false)) {
        captured->fullFrame = true;
        captured->dirtyRects.clear();
    }

    std::shared_ptr<CapturedFrame> frame(std::move(captured));
    const auto callbackStart = clock_->now();
    bool processed = true;
    {
        std::lock_guard lock(frameCallbackMutex_);
        // The callback converts, encodes and writes the frame; whatever it throws (an allocation
        // failure, an encoder fault) costs this one frame, never the capture thread.
        try {
            if (frameCallback_) frameCallback_(frame);
        } catch (const std::exception& e) {
            spdlog::error("ScreenCaptureManager: frame processor threw: {} — frame dropped", e.what());
            processed = false;
        } catch (...) {
            spdlog::error("ScreenCaptureManager: frame processor threw an unknown exception — frame dropped");
            processed = false;
        }
        syntheticReportFired_ = false;
        if (processed) ++framesInWindow_;
    }
    if (!processed) return;

    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_->now() - callbackStart).count();
    if (tookMs > kSlowCallback.count()) {
        spdlog::warn("ScreenCaptureManager: frame processor slow ({} ms) — likely encode() or writeEncodedFrame()",
                     tookMs);
    } else {
        spdlog::trace("ScreenCaptureManager: frame processor took {} ms", tookMs);
    }
    emit frameCaptured(frame);
}

void ScreenCaptureManager::countNullCapture() {
    ++nullStreak_;
    if (nullStreak_ == 10 || nullStreak_ == 30 || nullStreak_ % 100 == 0) {
        spdlog::debug(
            "ScreenCaptureManager: {} consecutive null captures (backend still initialized — likely static screen "
            "or DXGI WAIT_TIMEOUT)",
            nullStreak_);
    }
}

void ScreenCaptureManager::sleepWhileRunning(std::chrono::milliseconds wait) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wait);
    while (left > 0ns && running_.load()) {
        const auto slice = std::min<std::chrono::nanoseconds>(left, kRecoverySlice);
        clock_->sleepFor(slice);
        left -= slice;
    }
}

void ScreenCaptureManager::recoverBackend() {
    recoveryWait_ = std::min(recoveryWait_ * 2, kMaxRecoveryWait);
    spdlog::debug("ScreenCaptureManager: backend lost, waiting {} ms before reinit (desktop poll active)",
                  recoveryWait_.count());
    sleepWhileRunning(recoveryWait_);
    if (!running_.load()) return;
    observeDesktop();
    if (!running_.load()) return;

    if (backend_->initialize(backend_->getMonitorInfo().index)) {
        if (deniedStreak_ > 0 || syntheticReportFired_) {
            spdlog::info("ScreenCaptureManager: DXGI recovered after {} denied reinit attempts", deniedStreak_);
        }
        deniedStreak_ = 0;
        syntheticReportFired_ = false;
        recoveryWait_ = kInitialRecoveryWait;
        return;
    }

    ++deniedStreak_;
    if (deniedStreak_ == 1 || deniedStreak_ % 10 == 0) {
        spdlog::warn(
            "ScreenCaptureManager: DXGI reinit failed (streak={}) — Windows is blocking capture, likely UAC Secure "
            "Desktop",
            deniedStreak_);
    }
    emit captureError(QStringLiteral("Failed to reinitialize capture backend"));

    // A user-session agent cannot see the secure desktop; capture that stays refused is the sign
    // that it is shown, so the supervisor hears of it once per outage.
    if (deniedStreak_ >= 2 && !syntheticReportFired_ && lastDesktop_ != desktops::kSecureDesktop) {
        spdlog::warn(
            "Sustained DXGI access-denied ({} reinits) — assuming UAC Secure Desktop active, firing synthetic "
            "Winlogon observation",
            deniedStreak_);
        const std::string previous = lastDesktop_;
        lastDesktop_ = desktops::kSecureDesktop;
        reportDesktopChange(lastDesktop_, previous);
        syntheticReportFired_ = true;
    }
}

void ScreenCaptureManager::reportDesktopChange(const std::string& observed, const std::string& previous) {
    DesktopChangedCallback callback;
    {
        std::lock_guard lock(desktopCallbackMutex_);
        callback = desktopChangedCallback_;
    }
    if (!callback) return;
    try {
        callback(observed, previous);
    } catch (const std::exception& e) {
        spdlog::warn("desktopChanged callback threw: {}", e.what());
    } catch (...) {
        spdlog::warn("desktopChanged callback threw: unknown exception");
    }
}

void ScreenCaptureManager::observeDesktop() {
    const std::string observed = observedDesktopName();
    if (++observationCount_ % 10 == 0) {
        spdlog::info("Capture: desktop observation heartbeat (observed='{}', last='{}')",
                     observed.empty() ? "(failed)" : observed, lastDesktop_);
    }
    if (observed.empty()) return;
    if (observed != lastDesktop_) {
        const std::string previous = lastDesktop_;
        lastDesktop_ = observed;
        reportDesktopChange(observed, previous);
    }
    if (switchThreadToInputDesktop()) {
        reopenBackend("Backend reinitialized after desktop switch", "Backend reinit after desktop switch failed");
    }
}

void ScreenCaptureManager::reopenBackend(const char* successText, const char* failureText) {
    backend_->shutdown();
    if (backend_->initialize(backend_->getMonitorInfo().index)) spdlog::info("{}", successText);
    else spdlog::error("{}", failureText);
}

std::string ScreenCaptureManager::observedDesktopName() {
    const auto desktop = openInputOrSecureDesktop();
    if (!desktop) return {};
    const std::string name = desktop->name().empty() ? "(unknown)" : desktop->name();
    if (name == desktops::kSecureDesktop) return name;
    // The consent prompt counts as the secure desktop.
    if (isConsentRunning() || foregroundLooksLikeUac()) return std::string(desktops::kSecureDesktop);
    return name;
}

bool ScreenCaptureManager::switchThreadToInputDesktop() {
    auto desktop = openInputOrSecureDesktop();
    if (!desktop) return false;
    const std::string current = threadDesktop_ ? threadDesktop_->name() : kNoDesktop;
    if (desktop->name() == current) return false;
    if (desktops::setThreadDesktop(*desktop)) {
        spdlog::info("Capture thread switched desktop: {} -> {}", current, desktop->name());
        threadDesktop_ = std::move(desktop);
        return true;
    }
    const auto error = platform::SystemError::last();
    if (desktops::isDesktopBusy(error)) {
        spdlog::debug("SetThreadDesktop({}) skipped (ERROR_BUSY — DXGI/D3D11 holds a window on the current desktop)",
                      desktop->name());
    } else {
        spdlog::debug(
            "SetThreadDesktop({}) failed (error {}) — expected for Winlogon from a user-session agent; the service "
            "will swap us out for a SYSTEM-token helper",
            desktop->name(), error.code);
    }
    return false;
}

}  // namespace veltrix

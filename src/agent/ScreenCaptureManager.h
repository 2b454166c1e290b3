#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <QList>
#include <QObject>
#include <QString>

#include "agent/CaptureClock.h"
#include "agent/CapturedFrame.h"
#include "agent/IScreenCaptureBackend.h"
#include "agent/MonitorInfo.h"
#include "platform/InputDesktop.h"

namespace veltrix {

// Owns one capture backend and one capture thread. The thread grabs frames at a target rate and
// hands each to the frame callback and to frameCaptured, follows the machine's input desktop
// (reporting every change through the desktop-changed callback), and re-opens a backend that
// was lost (desktop switch, display change, capture refused while the secure desktop shows).
class ScreenCaptureManager : public QObject {
    Q_OBJECT

public:
    using FrameCallback = std::function<void(std::shared_ptr<CapturedFrame>)>;
    // (observed desktop name, previous name), both UTF-8.
    using DesktopChangedCallback = std::function<void(const std::string&, const std::string&)>;

    explicit ScreenCaptureManager(std::unique_ptr<IScreenCaptureBackend> backend, QObject* parent = nullptr);
    ScreenCaptureManager(std::unique_ptr<IScreenCaptureBackend> backend, std::shared_ptr<CaptureClock> clock,
                         QObject* parent = nullptr);
    ~ScreenCaptureManager() override;

    // Starts the capture thread at `fps` (clamped to 1..120).
    void start(int fps);
    // Stops and joins the capture thread. Not from the capture thread itself.
    void stop();
    // Queues a switch to another monitor; the capture thread carries out the latest one.
    void switchMonitor(int index);
    // The next delivered frame goes out as a full frame (key frame).
    void requestKeyframe();

    // Called on the capture thread, under its own mutex, for every frame.
    void setFrameCallback(FrameCallback callback);
    void setDesktopChangedCallback(DesktopChangedCallback callback);

    bool isRunning() const { return running_.load(); }
    int targetFps() const { return targetFps_.load(); }
    // Frames per second delivered over about the last second; 0 while stopped.
    double measuredFps() const { return measuredFps_.load(); }

    // The displays of the machine for the settings dialog; any thread.
    static QList<MonitorListEntry> listMonitors();

signals:
    // All emitted on the capture thread.
    void frameCaptured(std::shared_ptr<veltrix::CapturedFrame> frame);
    void captureError(QString message);
    void monitorSwitched(veltrix::MonitorInfo newMonitor);

private:
    void captureLoop();
    void deliverFrame(std::unique_ptr<CapturedFrame> captured);
    void countNullCapture();
    void recoverBackend();
    void observeDesktop();
    void reportDesktopChange(const std::string& observed, const std::string& previous);
    bool switchThreadToInputDesktop();
    void reopenBackend(const char* successText, const char* failureText);
    void sleepWhileRunning(std::chrono::milliseconds wait);

    static std::string observedDesktopName();

    std::unique_ptr<IScreenCaptureBackend> backend_;
    std::shared_ptr<CaptureClock> clock_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> keyframeRequested_{false};
    std::atomic<int> targetFps_{10};
    std::atomic<double> measuredFps_{0.0};
    std::atomic<int> pendingMonitor_{-1};

    std::mutex frameCallbackMutex_;
    FrameCallback frameCallback_;
    std::mutex desktopCallbackMutex_;
    DesktopChangedCallback desktopChangedCallback_;

    // Capture-thread state, reset at the start of every capture loop.
    std::string lastDesktop_;
    std::optional<platform::desktops::Desktop> threadDesktop_;
    std::uint32_t observationCount_ = 0;
    std::uint32_t nullStreak_ = 0;
    std::uint32_t deniedStreak_ = 0;
    bool syntheticReportFired_ = false;
    std::chrono::milliseconds recoveryWait_{100};
    std::uint32_t framesInWindow_ = 0;
};

}  // namespace veltrix

Q_DECLARE_METATYPE(std::shared_ptr<veltrix::CapturedFrame>)

// The capture-agent half of ServiceIpcClient: START_CAPTURE builds the pipeline, the capture
// thread converts, encodes and writes each frame, STOP_CAPTURE tears it down.
#include "agent/ServiceIpcClient.h"

#include <QMetaObject>

#include <chrono>
#include <spdlog/spdlog.h>

#include "agent/AV1Encoder.h"
#include "agent/DxgiCaptureBackend.h"
#include "agent/FrameConverter.h"
#include "agent/GdiCaptureBackend.h"
#include "agent/InputForwarder.h"
#include "agent/ScreenCaptureManager.h"
#include "agent/Win32InputBackend.h"
#include "platform/DisplayMonitors.h"
#include "platform/InputDesktop.h"
#include "platform/ServiceAccount.h"
#include "shared/FrameSizeLimit.h"
#include "shared/JsonFields.h"
#include "shared/SharedFrameHeader.h"

namespace veltrix {
namespace {

namespace desktops = platform::desktops;

std::uint64_t packEncodeSize(std::int32_t width, std::int32_t height) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(width)) << 32) | static_cast<std::uint32_t>(height);
}

std::int64_t elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

CaptureAgentFactories CaptureAgentFactories::system() {
    CaptureAgentFactories f;
    f.makeInputBackend = [] { return std::make_unique<Win32InputBackend>(); };
    f.makeDuplicationBackend = [] { return std::make_unique<DxgiCaptureBackend>(); };
    f.makeScreenCopyBackend = [] { return std::make_unique<GdiCaptureBackend>(); };
    f.makeEncoder = [] { return std::make_unique<AV1Encoder>(); };
    f.systemMonitorCount = [] { return static_cast<int>(platform::enumerateDisplayMonitors().size()); };
    return f;
}

ServiceIpcClient::EncodeSize ServiceIpcClient::encodeSize() const {
    const std::uint64_t packed = encodeSize_.load(std::memory_order_acquire);
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(packed >> 32)),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(packed))};
}

void ServiceIpcClient::setEncodeSize(std::int32_t width, std::int32_t height) {
    encodeSize_.store(packEncodeSize(width, height), std::memory_order_release);
}

void ServiceIpcClient::startCapture(const IpcMessage& message) {
    stopCapture();

    FrameSettings settings;
    // Within what the capture manager and the encoder can take, whatever the message says.
    settings.fps = json::intOr<int>(message, "fps", 20, 1, 120);
    settings.crf = json::intOr<int>(message, "crf", 45, 0, 63);
    settings.preset = json::stringOr(message, "preset", "8");
    settings.bitrateKbps = json::intOr<int>(message, "bitrate_kbps", 1500, 1, 1000000);
    const int monitorIndex = json::intOr<int>(message, "monitor_index", 0);
    setEncodeSize(json::intOr<std::int32_t>(message, "encode_width", 0, 0, INT32_MAX),
                  json::intOr<std::int32_t>(message, "encode_height", 0, 0, INT32_MAX));
    const EncodeSize requested = encodeSize();
    spdlog::info("Starting screen capture: {}fps, crf={}, preset={}, bitrate={}kbps, monitor={}, encode={}x{}",
                 settings.fps, settings.crf, settings.preset, settings.bitrateKbps, monitorIndex, requested.width,
                 requested.height);

    // Remote input works from here on, even when the steps below fail.
    auto inputBackend = factories_.makeInputBackend();
    inputBackend->initialize();
    inputForwarder_ = std::make_unique<InputForwarder>(std::move(inputBackend));
    spdlog::info("Agent input forwarder initialized");

    captureSection_ = std::make_unique<SharedFrameBuffer>();
    // The screen goes only into the service's own section, never one another user made first.
    if (captureSection_->openReadWrite(kCaptureSectionName)) {
        const auto owner = captureSection_->owner();
        if (!owner || !platform::service::isServiceAccount(*owner)) {
            spdlog::error("Agent capture: section '{}' is not the service's, not writing the screen into it",
                          kCaptureSectionName);
            captureSection_->close();
        }
    }
    if (!captureSection_->isOpen()) {
        spdlog::error("Failed to open capture shared memory (service may not have created it yet)");
        captureSection_.reset();
        return;
    }

    auto desktop = desktops::openInputDesktop();
    if (!desktop) desktop = desktops::openDesktop(desktops::kSecureDesktop);
    if (desktop) {
        if (desktops::setThreadDesktop(*desktop)) {
            spdlog::info("Main thread switched to input desktop");
        } else {
            spdlog::warn("Main thread SetThreadDesktop failed (error {})", platform::SystemError::last().code);
        }
        mainThreadDesktop_ = std::move(desktop);
    }

    auto backend = openCaptureBackend(monitorIndex);
    if (!backend) {
        captureSection_.reset();
        return;
    }

    const MonitorInfo monitor = backend->getMonitorInfo();
    followCapturedMonitor(monitor);
    const auto monitorCount = static_cast<int>(backend->enumerateMonitors().size());
    const std::uint64_t link = linkGeneration_;
    sendCommand(IpcMessage{{"type", "CAPTURE_INITIALIZED"},
                           {"width", monitor.width},
                           {"height", monitor.height},
                           {"monitor_count", monitorCount}});
    // A link that broke on this message was torn down inside sendCommand, this start's objects
    // with it: nothing may run on for a service that no longer hears the agent.
    if (linkGeneration_ != link || linkBroken_ || !isConnected()) {
        spdlog::warn("Agent capture: the service link dropped while capture was starting, not started");
        return;
    }
    spdlog::info("Agent capture initialized at native {}x{}, {} monitor(s)", monitor.width, monitor.height, monitorCount);

    captureManager_ = std::make_unique<ScreenCaptureManager>(std::move(backend));
    captureManager_->setDesktopChangedCallback(
        [this](const std::string& newName, const std::string& oldName) { reportDesktopChange(newName, oldName); });
    // Input keeps addressing the monitor the picture shows. The manager is the context, so a
    // switch announced just before the manager goes away is never delivered.
    connect(captureManager_.get(), &ScreenCaptureManager::monitorSwitched, captureManager_.get(),
            [this](const MonitorInfo& switched) { followCapturedMonitor(switched); }, Qt::QueuedConnection);

    frameConverter_ = std::make_unique<FrameConverter>();
    encoder_ = factories_.makeEncoder();
    // The NV12 buffer belongs to the capture thread and is reused while the size stays.
    auto nv12 = std::make_shared<std::vector<std::uint8_t>>();
    captureManager_->setFrameCallback([this, settings, nv12](std::shared_ptr<CapturedFrame> frame) {
        processCapturedFrame(frame, settings, *nv12);
    });
    captureManager_->start(settings.fps);
    spdlog::info("Agent capture started");
    emit captureStarted();
}

std::unique_ptr<IScreenCaptureBackend> ServiceIpcClient::openCaptureBackend(int monitorIndex) {
    auto backend = factories_.makeDuplicationBackend();
    if (backend->initialize(monitorIndex)) {
        spdlog::info("Agent capture: using DXGI backend (monitor {})", monitorIndex);
        return backend;
    }
    spdlog::warn("Agent capture: DXGI unavailable, trying GDI");
    backend = factories_.makeScreenCopyBackend();
    if (backend->initialize(monitorIndex)) {
        spdlog::info("Agent capture: using GDI backend");
        return backend;
    }
    spdlog::error("Agent capture: no capture backend available");
    return nullptr;
}

void ServiceIpcClient::followCapturedMonitor(const MonitorInfo& monitor) {
    // With one monitor the absolute space is that monitor already.
    if (!inputForwarder_ || !inputForwarder_->backend() || factories_.systemMonitorCount() <= 1) return;
    inputForwarder_->backend()->setMonitorRect(monitor.x, monitor.y, monitor.width, monitor.height);
}

void ServiceIpcClient::processCapturedFrame(const std::shared_ptr<CapturedFrame>& frame,
                                            const FrameSettings& settings, std::vector<std::uint8_t>& nv12) {
    if (!frame || !encoder_ || !frameConverter_ || !captureSection_) return;

    const EncodeSize requested = encodeSize();
    QSize size = FrameConverter::encodeSize(frame->width, frame->height, {requested.width, requested.height});
    // Never more than the viewer's decoded-frame section holds (a very large native screen).
    const auto [w, h] = fitToFrameSection(size.width(), size.height());
    size = {w, h};
    if (w <= 0 || h <= 0) return;
    const std::size_t nv12Size = static_cast<std::size_t>(w) * h * 3 / 2;
    if (nv12.size() != nv12Size) nv12 = FrameConverter::allocateNv12Buffer(w, h);

    if (w == (frame->width & ~1) && h == (frame->height & ~1)) {
        frameConverter_->convert(frame->pixels.data(), frame->width, frame->height, frame->stride, nv12.data(), 0);
    } else {
        frameConverter_->convertScaled(frame->pixels.data(), frame->width, frame->height, frame->stride, w, h,
                                       nv12.data(), 0);
    }

    if (encoder_->isInitialized() && encoder_->configuredSize() != size) encoder_->shutdown();
    if (!encoder_->isInitialized()) {
        EncoderConfig config;
        config.width = w;
        config.height = h;
        config.fps = settings.fps;
        config.bitrateKbps = settings.bitrateKbps;
        config.keyframeInterval = 60;
        config.crf = settings.crf;
        config.preset = settings.preset;
        if (!encoder_->initialize(config)) {
            spdlog::error("Agent capture: encoder init failed");
            return;
        }
    }

    const auto encodeStart = std::chrono::steady_clock::now();
    const auto packet = encoder_->encode(nv12.data(), w, h, frame->timestampMs, frame->fullFrame);
    const auto encodeMs = elapsedMs(encodeStart);
    if (!packet || packet->data.empty()) {
        if (encodeMs > 50) spdlog::debug("Agent capture: encoder returned empty after {} ms", encodeMs);
        return;
    }
    if (encodeMs > 100) {
        spdlog::warn("Agent capture: encode() slow ({} ms, {} bytes, key={})", encodeMs, packet->data.size(),
                     packet->keyFrame);
    }
    const auto writeStart = std::chrono::steady_clock::now();
    captureSection_->writeEncodedFrame(w, h, static_cast<std::uint64_t>(std::max<std::int64_t>(frame->timestampMs, 0)),
                                       packet->keyFrame, packet->data.data(), packet->data.size());
    const auto writeMs = elapsedMs(writeStart);
    if (writeMs > 50) {
        spdlog::warn("Agent capture: writeEncodedFrame() slow ({} ms, {} bytes)", writeMs, packet->data.size());
    }
}

void ServiceIpcClient::reportDesktopChange(const std::string& newName, const std::string& oldName) {
    sendCommand(IpcMessage{{"type", "DESKTOP_CHANGED"}, {"new", newName}, {"old", oldName}});
    spdlog::info("Agent: reported DESKTOP_CHANGED {} -> {}", oldName, newName);
}

void ServiceIpcClient::stopCapture() {
    if (captureManager_) {
        // Joins the capture thread: nothing below is in use after this.
        captureManager_->stop();
        captureManager_.reset();
        spdlog::info("Agent capture stopped");
    }
    encoder_.reset();
    frameConverter_.reset();
    captureSection_.reset();
    inputForwarder_.reset();
    emit captureStopped();
}

void ServiceIpcClient::handleRequestKeyFrame() {
    if (!captureManager_) return;
    captureManager_->requestKeyframe();
    spdlog::info("Key frame requested via IPC");
}

void ServiceIpcClient::handleSwitchCaptureMonitor(const IpcMessage& message) {
    if (!captureManager_) {
        spdlog::warn("SWITCH_CAPTURE_MONITOR but no capture manager running");
        return;
    }
    const int index = json::intOr<int>(message, "monitor_index", 0);
    spdlog::info("Agent: switching capture to monitor {}", index);
    captureManager_->switchMonitor(index);
}

}  // namespace veltrix

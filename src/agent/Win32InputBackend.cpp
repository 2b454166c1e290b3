#include "agent/Win32InputBackend.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <spdlog/spdlog.h>

#include "platform/InputInjection.h"

namespace veltrix {
namespace {

namespace input = platform::input;
namespace desktops = platform::desktops;

std::uint32_t steadyTicks() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The desktop this thread was last moved to by an injection.
thread_local std::optional<desktops::Desktop> attachedDesktop;

std::optional<desktops::Desktop> openInputOrSecureDesktop() {
    if (auto desktop = desktops::openInputDesktop()) return desktop;
    return desktops::openDesktop(desktops::kSecureDesktop);
}

input::Input mouseInput(std::int32_t x, std::int32_t y, std::int32_t data, std::uint32_t flags) {
    input::Input in;
    in.kind = input::Input::Kind::Mouse;
    in.mouse = {x, y, data, flags};
    in.extraInfo = input::kInjectedInputMarker;
    return in;
}

bool send(std::initializer_list<input::Input> inputs, const char* failureText) {
    platform::SystemError error;
    const unsigned inserted = input::sendInput({inputs.begin(), inputs.size()}, error);
    if (inserted < inputs.size()) {
        spdlog::warn(fmt::runtime(failureText), error.text());
        return false;
    }
    return true;
}

std::atomic<std::uint32_t> singleModeCalls{0};
std::atomic<std::uint32_t> multiModeCalls{0};

}  // namespace

Win32InputBackend::Win32InputBackend() : Win32InputBackend(steadyTicks, platform::input::screenMetrics) {}

Win32InputBackend::Win32InputBackend(TickSource ticks, MetricsSource metrics)
    : ticks_(std::move(ticks)), metrics_(std::move(metrics)) {}

Win32InputBackend::~Win32InputBackend() { shutdown(); }

bool Win32InputBackend::initialize() {
    if (auto desktop = openInputOrSecureDesktop()) {
        if (desktops::setThreadDesktop(*desktop)) {
            spdlog::info("Win32InputBackend: switched to input desktop");
        } else {
            spdlog::warn("Win32InputBackend: SetThreadDesktop failed (error {})", platform::SystemError::last().code);
        }
        desktop_ = std::move(desktop);
    }
    initialized_ = true;
    spdlog::info("Win32InputBackend: initialized");
    return true;
}

void Win32InputBackend::shutdown() {
    if (!initialized_ && !desktop_) return;
    releaseHeldInput();
    initialized_ = false;
    desktop_.reset();
    spdlog::info("Win32InputBackend: shut down");
}

void Win32InputBackend::setMonitorRect(int x, int y, int width, int height) {
    monitorRect_ = MonitorRect{x, y, width, height};
    spdlog::info("Win32InputBackend: monitor rect ({},{} {}x{})", x, y, width, height);
}

bool Win32InputBackend::withinRate() {
    const std::uint32_t now = ticks_();
    // Unsigned difference: correct across the counter's wrap.
    if (now - windowStart_ > kRateWindowMs - 1) {
        windowStart_ = now;
        windowCount_ = 0;
    }
    return ++windowCount_ <= kMaxEventsPerWindow;
}

void Win32InputBackend::followInputDesktop() {
    auto input = desktops::openInputDesktop();
    if (!input) return;
    if (attachedDesktop && attachedDesktop->name() == input->name()) return;
    desktops::setThreadDesktop(*input);
    attachedDesktop = std::move(input);
}

std::uint32_t Win32InputBackend::mouseFlags(std::uint32_t base) const {
    return base | input::kMouseMove | input::kMouseAbsolute | (monitorRect_ ? input::kMouseVirtualDesk : 0);
}

bool Win32InputBackend::injectEvent(const InputEvent& event) {
    if (!initialized_) {
        spdlog::warn("Win32InputBackend: injectEvent called before initialization");
        return false;
    }
    if (!withinRate()) return false;
    followInputDesktop();
    if (event.type < InputEvent::MouseMove || event.type > InputEvent::KeyUp) {
        spdlog::warn("Win32InputBackend: unknown event type {}", event.type);
        return false;
    }

    const auto [absX, absY] = normalizedToAbsolute(event.mouse_x, event.mouse_y);
    switch (event.type) {
    case InputEvent::MouseMove:
        return send({mouseInput(absX, absY, 0, mouseFlags(0))}, "Win32InputBackend: SendInput (mouse move) failed, error {}");
    case InputEvent::MouseDown:
    case InputEvent::MouseUp:
        return sendMouseButton(event);
    case InputEvent::MouseWheel:
        return send({mouseInput(absX, absY, 0, mouseFlags(0)), mouseInput(0, 0, event.wheel_delta, input::kMouseWheel)},
                    "Win32InputBackend: SendInput (mouse wheel) failed, error {}");
    default:
        return sendKey(event);
    }
}

namespace {

input::Input keyboardInput(const input::KeyboardInput& keyboard) {
    input::Input key;
    key.kind = input::Input::Kind::Keyboard;
    key.keyboard = keyboard;
    key.extraInfo = input::kInjectedInputMarker;
    return key;
}

// One physical key: the scan code (with its extended flag) when the key was sent by scan code,
// else the virtual key.
bool sameKey(const input::KeyboardInput& a, const input::KeyboardInput& b) {
    const bool byScanCode = (a.flags & input::kKeyScanCode) != 0;
    if (byScanCode != ((b.flags & input::kKeyScanCode) != 0)) return false;
    if (!byScanCode) return a.virtualKey == b.virtualKey;
    return a.scanCode == b.scanCode && (a.flags & input::kKeyExtended) == (b.flags & input::kKeyExtended);
}

}  // namespace

bool Win32InputBackend::sendKey(const InputEvent& event) {
    input::KeyboardInput keyboard;
    keyboard.virtualKey = static_cast<std::uint16_t>(event.vk_code);
    keyboard.scanCode = static_cast<std::uint16_t>(event.scan_code);
    keyboard.flags = (event.extended ? input::kKeyExtended : 0) | (keyboard.scanCode != 0 ? input::kKeyScanCode : 0);
    const bool down = event.type == InputEvent::KeyDown;
    if (!down) keyboard.flags |= input::kKeyUp;
    const bool sent = send({keyboardInput(keyboard)}, "Win32InputBackend: SendInput (keyboard) failed, error {}");
    const auto held = std::find_if(heldKeys_.begin(), heldKeys_.end(),
                                   [&](const input::KeyboardInput& k) { return sameKey(k, keyboard); });
    if (!down) {
        if (held != heldKeys_.end()) heldKeys_.erase(held);
    } else if (sent && held == heldKeys_.end()) {
        heldKeys_.push_back(keyboard);
    }
    return sent;
}

void Win32InputBackend::releaseHeldInput() {
    if (heldKeys_.empty() && heldButtons_.empty()) return;
    spdlog::info("Win32InputBackend: releasing {} key(s) and {} button(s) still held", heldKeys_.size(),
                 heldButtons_.size());
    // Outside the rate limit: these must go out even after a burst of the partner's input.
    for (auto key = heldKeys_.rbegin(); key != heldKeys_.rend(); ++key) {
        input::KeyboardInput up = *key;
        up.flags |= input::kKeyUp;
        send({keyboardInput(up)}, "Win32InputBackend: SendInput (keyboard) failed, error {}");
    }
    heldKeys_.clear();
    for (const std::uint8_t button : heldButtons_) {
        // Released where the pointer is: no move.
        std::uint32_t flag = 0;
        std::int32_t data = 0;
        switch (button) {
        case 1: flag = input::kMouseLeftUp; break;
        case 2: flag = input::kMouseRightUp; break;
        case 3: flag = input::kMouseMiddleUp; break;
        default:
            flag = input::kMouseXUp;
            data = button == 4 ? 1 : 2;
            break;
        }
        send({mouseInput(0, 0, data, flag)}, "Win32InputBackend: SendInput (mouse button) failed, error {}");
    }
    heldButtons_.clear();
}

bool Win32InputBackend::sendMouseButton(const InputEvent& event) {
    const bool down = event.type == InputEvent::MouseDown;
    std::uint32_t flag = 0;
    std::int32_t data = 0;
    switch (event.mouse_button) {
    case 1: flag = down ? input::kMouseLeftDown : input::kMouseLeftUp; break;
    case 2: flag = down ? input::kMouseRightDown : input::kMouseRightUp; break;
    case 3: flag = down ? input::kMouseMiddleDown : input::kMouseMiddleUp; break;
    case 4:
    case 5:
        flag = down ? input::kMouseXDown : input::kMouseXUp;
        data = event.mouse_button == 4 ? 1 : 2;
        break;
    default:
        spdlog::warn("Win32InputBackend: unknown mouse button {}", event.mouse_button);
        return false;
    }
    const auto [absX, absY] = normalizedToAbsolute(event.mouse_x, event.mouse_y);
    const bool sent = send({mouseInput(absX, absY, data, mouseFlags(flag))},
                           "Win32InputBackend: SendInput (mouse button) failed, error {}");
    if (!down) {
        heldButtons_.erase(event.mouse_button);
    } else if (sent) {
        heldButtons_.insert(event.mouse_button);
    }
    return sent;
}

std::pair<std::int32_t, std::int32_t> Win32InputBackend::normalizedToAbsolute(double x, double y) const {
    // NaN clamps to 0 as well.
    x = std::isnan(x) ? 0.0 : std::clamp(x, 0.0, 1.0);
    y = std::isnan(y) ? 0.0 : std::clamp(y, 0.0, 1.0);
    const auto metrics = metrics_().value_or(platform::input::ScreenMetrics{});
    if (!monitorRect_ || metrics.virtualWidth <= 0 || metrics.virtualHeight <= 0) {
        const auto absX = static_cast<std::int32_t>(std::lround(x * 65535.0));
        const auto absY = static_cast<std::int32_t>(std::lround(y * 65535.0));
        if (++singleModeCalls % 60 == 0) {
            spdlog::info("normalizedToAbsolute [single]: norm=({:.4f},{:.4f}) abs=({},{}) screenSize={}x{}", x, y, absX,
                         absY, metrics.primaryWidth, metrics.primaryHeight);
        }
        return {absX, absY};
    }
    const MonitorRect& m = *monitorRect_;
    const auto absX = static_cast<std::int32_t>(std::lround(
        (x * m.width + m.left - metrics.virtualLeft) / static_cast<double>(metrics.virtualWidth) * 65535.0));
    const auto absY = static_cast<std::int32_t>(std::lround(
        (y * m.height + m.top - metrics.virtualTop) / static_cast<double>(metrics.virtualHeight) * 65535.0));
    if (++multiModeCalls % 60 == 0) {
        spdlog::info("normalizedToAbsolute [multi]: norm=({:.4f},{:.4f}) mon=({},{} {}x{}) vd=({},{} {}x{}) abs=({},{})", x,
                     y, m.left, m.top, m.width, m.height, metrics.virtualLeft, metrics.virtualTop, metrics.virtualWidth,
                     metrics.virtualHeight, absX, absY);
    }
    return {absX, absY};
}

}  // namespace veltrix

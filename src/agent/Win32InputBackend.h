#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "agent/IInputBackend.h"
#include "platform/InputDesktop.h"
#include "platform/InputInjection.h"

namespace veltrix {

// Replays remote input on the desktop that receives input now (the user's desktop, or the
// secure one for an agent that may open it), at most 200 events a second, with the fractions
// of the remote frame mapped to the absolute 0..65535 space of the primary monitor or, once a
// monitor rectangle is set, of the captured monitor on the virtual desktop.
//
// It remembers the keys and buttons it pressed; `releaseHeldInput`, and `shutdown` with it, lets
// them go again, whatever the partner sent or failed to send before the session ended.
class Win32InputBackend final : public IInputBackend {
public:
    static constexpr int kMaxEventsPerWindow = 200;
    static constexpr std::uint32_t kRateWindowMs = 1000;

    // Milliseconds of a 32-bit tick counter; the default is the steady clock.
    using TickSource = std::function<std::uint32_t()>;

    // The desktop's geometry; the default asks the platform.
    using MetricsSource = std::function<std::optional<platform::input::ScreenMetrics>()>;

    Win32InputBackend();
    Win32InputBackend(TickSource ticks, MetricsSource metrics);
    ~Win32InputBackend() override;

    bool initialize() override;
    void shutdown() override;
    bool injectEvent(const InputEvent& event) override;
    void setMonitorRect(int x, int y, int width, int height) override;
    void releaseHeldInput() override;

    // How many keys and buttons are pressed by this backend now.
    std::size_t heldKeyCount() const { return heldKeys_.size(); }
    std::size_t heldButtonCount() const { return heldButtons_.size(); }

    std::pair<std::int32_t, std::int32_t> normalizedToAbsolute(double x, double y) const;

private:
    bool withinRate();
    static void followInputDesktop();
    std::uint32_t mouseFlags(std::uint32_t base) const;
    bool sendMouseButton(const InputEvent& event);
    bool sendKey(const InputEvent& event);

    TickSource ticks_;
    MetricsSource metrics_;
    bool initialized_ = false;
    std::optional<platform::desktops::Desktop> desktop_;
    struct MonitorRect {
        std::int32_t left, top, width, height;
    };
    std::optional<MonitorRect> monitorRect_;
    std::uint32_t windowStart_ = 0;
    std::int32_t windowCount_ = 0;
    // Pressed here and not yet released: each key as it was sent, each button by its number.
    std::vector<platform::input::KeyboardInput> heldKeys_;
    std::set<std::uint8_t> heldButtons_;
};

}  // namespace veltrix

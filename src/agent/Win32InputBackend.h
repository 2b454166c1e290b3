#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "agent/IInputBackend.h"
#include "platform/InputDesktop.h"
#include "platform/InputInjection.h"

namespace veltrix {

// Replays remote input on the desktop that receives input now (the user's desktop, or the
// secure one for an agent that may open it), at most 200 events a second, with the fractions
// of the remote frame mapped to the absolute 0..65535 space of the primary monitor or, once a
// monitor rectangle is set, of the captured monitor on the virtual desktop.
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

    std::pair<std::int32_t, std::int32_t> normalizedToAbsolute(double x, double y) const;

private:
    bool withinRate();
    static void followInputDesktop();
    std::uint32_t mouseFlags(std::uint32_t base) const;
    bool sendMouseButton(const InputEvent& event);

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
};

}  // namespace veltrix

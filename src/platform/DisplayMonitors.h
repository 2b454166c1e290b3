#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The displays of the machine. On X11 a display adapter is one screen of the X display (almost
// always just one) and its monitors are the RandR monitors of that screen, in the server's order.
namespace veltrix::platform {

struct DisplayMonitor {
    std::string name;  // the monitor's RandR name, UTF-8
    std::int32_t x = 0;  // top-left corner on the desktop
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool primary = false;  // the system's primary mark
};

struct DisplayAdapter {
    int screen = 0;
    std::vector<DisplayMonitor> monitors;
};

// Every adapter with its monitors; nullopt when the display cannot be reached.
std::optional<std::vector<DisplayAdapter>> enumerateDisplayAdapters();

// The monitors of the desktop (the default screen), in enumeration order; empty when the display
// cannot be reached.
std::vector<DisplayMonitor> enumerateDisplayMonitors();

}  // namespace veltrix::platform

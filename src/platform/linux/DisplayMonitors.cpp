#include "platform/DisplayMonitors.h"

#include <X11/extensions/Xrandr.h>

#include "platform/linux/X11Monitors.h"
#include "platform/linux/X11Connection.h"

namespace veltrix::platform {

namespace x11 {

std::vector<DisplayMonitor> monitorsOfScreen(Display* display, int screen) {
    const Window root = RootWindow(display, screen);
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    const bool haveMonitors = XRRQueryExtension(display, &eventBase, &errorBase) &&
                              XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
    std::vector<DisplayMonitor> result;
    if (!haveMonitors) {
        // Without RandR 1.5 the screen is one monitor.
        result.push_back({"screen", 0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen), true});
        return result;
    }
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        DisplayMonitor entry;
        if (char* name = m.name != None ? XGetAtomName(display, m.name) : nullptr) {
            entry.name = name;
            XFree(name);
        }
        entry.x = m.x;
        entry.y = m.y;
        entry.width = m.width;
        entry.height = m.height;
        entry.primary = m.primary != 0;
        result.push_back(std::move(entry));
    }
    if (monitors) XRRFreeMonitors(monitors);
    return result;
}

}  // namespace x11

std::optional<std::vector<DisplayAdapter>> enumerateDisplayAdapters() {
    const auto connection = x11::Connection::open();
    if (!connection) return std::nullopt;
    std::vector<DisplayAdapter> adapters;
    for (int screen = 0; screen < ScreenCount(connection->display()); ++screen) {
        adapters.push_back({screen, x11::monitorsOfScreen(connection->display(), screen)});
    }
    if (connection->broken()) return std::nullopt;
    return adapters;
}

std::vector<DisplayMonitor> enumerateDisplayMonitors() {
    const auto connection = x11::Connection::open();
    if (!connection) return {};
    auto monitors = x11::monitorsOfScreen(connection->display(), connection->screen());
    if (connection->broken()) return {};
    return monitors;
}

}  // namespace veltrix::platform

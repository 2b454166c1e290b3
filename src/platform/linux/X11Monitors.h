#pragma once

#include <X11/Xlib.h>

#include <vector>

#include "platform/DisplayMonitors.h"

namespace veltrix::platform::x11 {

// The RandR monitors of one screen of an open display.
std::vector<DisplayMonitor> monitorsOfScreen(Display* display, int screen);

}  // namespace veltrix::platform::x11

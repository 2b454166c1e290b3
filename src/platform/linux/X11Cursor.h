#pragma once

#include <X11/Xlib.h>

#include "platform/CursorImage.h"

namespace veltrix::platform::x11 {

// The current cursor through XFIXES (which the caller has checked for); false when unreadable.
// Reuses the picture buffer of `out`.
bool fetchCursor(Display* display, CursorImage& out);

// Whether the server has XFIXES 2 or later (cursor images and regions).
bool haveFixes(Display* display, int* eventBase = nullptr);

}  // namespace veltrix::platform::x11

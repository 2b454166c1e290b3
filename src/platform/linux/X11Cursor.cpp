#include "platform/linux/X11Cursor.h"

#include <X11/extensions/Xfixes.h>

#include <cstddef>

namespace veltrix::platform::x11 {

bool haveFixes(Display* display, int* eventBase) {
    int events = 0;
    int errors = 0;
    int major = 0;
    int minor = 0;
    if (!XFixesQueryExtension(display, &events, &errors)) return false;
    if (!XFixesQueryVersion(display, &major, &minor) || major < 2) return false;
    if (eventBase) *eventBase = events;
    return true;
}

bool fetchCursor(Display* display, CursorImage& out) {
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    if (!image) return false;
    out.x = image->x;
    out.y = image->y;
    out.hotX = image->xhot;
    out.hotY = image->yhot;
    out.width = image->width;
    out.height = image->height;
    const std::size_t count = static_cast<std::size_t>(image->width) * image->height;
    out.argb.resize(count);
    // The pixels arrive as unsigned long (64 bits here) with ARGB in the low 32 bits.
    for (std::size_t i = 0; i < count; ++i) out.argb[i] = static_cast<std::uint32_t>(image->pixels[i]);
    XFree(image);
    return true;
}

}  // namespace veltrix::platform::x11

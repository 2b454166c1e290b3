#include "support/ScreenUser.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace veltrix::bench {
namespace {

// The position of a colour channel in a pixel of the image, from its mask.
int shiftOf(unsigned long mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

}  // namespace

ScreenUser::ScreenUser(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
    if (!display_) return;
    width_ = DisplayWidth(display_, DefaultScreen(display_));
    height_ = DisplayHeight(display_, DefaultScreen(display_));
}

ScreenUser::~ScreenUser() {
    if (display_) XCloseDisplay(display_);
}

bool ScreenUser::hasWindowManager() const {
    const Atom check = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", True);
    if (check == None) return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const bool found = XGetWindowProperty(display_, DefaultRootWindow(display_), check, 0, 1, False, XA_WINDOW,
                                          &type, &format, &count, &after, &data) == Success &&
                       count == 1;
    if (data) XFree(data);
    return found;
}

void ScreenUser::movePointer(int x, int y) {
    XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
    XSync(display_, False);
}

void ScreenUser::key(char symbol, bool down) {
    const char text[2] = {symbol, 0};
    const KeyCode code = XKeysymToKeycode(display_, XStringToKeysym(text));
    XTestFakeKeyEvent(display_, code, down ? True : False, CurrentTime);
    XSync(display_, False);
}

void ScreenUser::button(int number, bool down) {
    XTestFakeButtonEvent(display_, static_cast<unsigned>(number), down ? True : False, CurrentTime);
    XSync(display_, False);
}

std::vector<std::uint8_t> ScreenUser::luma(const Area& area) const {
    if (!display_ || area.empty()) return {};
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), area.x, area.y,
                              static_cast<unsigned>(area.width), static_cast<unsigned>(area.height), AllPlanes,
                              ZPixmap);
    if (!image) return {};
    const int red = shiftOf(image->red_mask), green = shiftOf(image->green_mask), blue = shiftOf(image->blue_mask);
    std::vector<std::uint8_t> values(static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height));
    std::size_t at = 0;
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            const unsigned r = (pixel >> red) & 0xFF, g = (pixel >> green) & 0xFF, b = (pixel >> blue) & 0xFF;
            values[at++] = static_cast<std::uint8_t>((299 * r + 587 * g + 114 * b) / 1000);
        }
    }
    XDestroyImage(image);
    return values;
}

int ScreenUser::meanLuma(const Area& area) const {
    const std::vector<std::uint8_t> values = luma(area);
    if (values.empty()) return -1;
    unsigned long sum = 0;
    for (const std::uint8_t value : values) sum += value;
    return static_cast<int>(sum / values.size());
}

std::vector<std::uint8_t> ScreenUser::lumaOfScreen() const { return luma({0, 0, width_, height_}); }

}  // namespace veltrix::bench

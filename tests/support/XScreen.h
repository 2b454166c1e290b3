#pragma once

#include <string>
#include <utility>

// Last in any file that includes it: Xlib defines macros (Bool, Status, None) that clash with
// Qt headers.
#include <X11/Xlib.h>

namespace veltrix::test {

// A test's own connection to an X display: draws on the root window, reads the pointer.
class XScreen {
public:
    explicit XScreen(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
    ~XScreen() {
        if (display_) XCloseDisplay(display_);
    }
    XScreen(const XScreen&) = delete;
    XScreen& operator=(const XScreen&) = delete;

    bool ok() const { return display_ != nullptr; }

    void fill(int x, int y, int width, int height, unsigned long rgb) {
        const Window root = DefaultRootWindow(display_);
        GC gc = XCreateGC(display_, root, 0, nullptr);
        XSetForeground(display_, gc, rgb);
        XFillRectangle(display_, root, gc, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
        XFreeGC(display_, gc);
        XSync(display_, False);
    }

    // The pointer's position on the root window; `buttons` gets the button mask when given.
    std::pair<int, int> pointer(unsigned* buttons = nullptr) {
        Window root, child;
        int rootX = 0, rootY = 0, x = 0, y = 0;
        unsigned mask = 0;
        XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &x, &y, &mask);
        if (buttons) *buttons = mask;
        return {rootX, rootY};
    }

private:
    Display* display_;
};

}  // namespace veltrix::test

#pragma once

#include <string>
#include <utility>

// Last in any file that includes it: Xlib defines macros (Bool, Status, None) that clash with
// Qt headers.
#include <X11/Xlib.h>

namespace veltrix::test {

// A test's own connection to an X display, as a user's program would use it: draws on the
// desktop, moves and reads the pointer, sets the desktop's cursor.
class XScreen {
public:
    explicit XScreen(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
    ~XScreen() {
        if (display_) XCloseDisplay(display_);
    }
    XScreen(const XScreen&) = delete;
    XScreen& operator=(const XScreen&) = delete;

    bool ok() const { return display_ != nullptr; }
    Display* display() const { return display_; }

    // A solid rectangle on the desktop, over any windows on it.
    void fill(int x, int y, int width, int height, unsigned long rgb) {
        const Window root = DefaultRootWindow(display_);
        GC gc = XCreateGC(display_, root, 0, nullptr);
        XSetForeground(display_, gc, rgb);
        XSetSubwindowMode(display_, gc, IncludeInferiors);
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

    void movePointer(int x, int y) {
        XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
        XSync(display_, False);
    }

    // A solid square cursor of `size` pixels in `rgb`, hot spot at (hot, hot), on the desktop.
    void setSquareCursor(int size, int hot, unsigned long rgb) {
        const Window root = DefaultRootWindow(display_);
        const auto side = static_cast<unsigned>(size);
        Pixmap bits = XCreatePixmap(display_, root, side, side, 1);
        GC gc = XCreateGC(display_, bits, 0, nullptr);
        XSetForeground(display_, gc, 1);
        XFillRectangle(display_, bits, gc, 0, 0, side, side);
        XFreeGC(display_, gc);
        XColor colour{};
        colour.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 257);
        colour.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 257);
        colour.blue = static_cast<unsigned short>((rgb & 0xFF) * 257);
        XColor black{};
        Cursor cursor = XCreatePixmapCursor(display_, bits, bits, &colour, &black, static_cast<unsigned>(hot),
                                            static_cast<unsigned>(hot));
        XDefineCursor(display_, root, cursor);
        XFreePixmap(display_, bits);
        XSync(display_, False);
    }

private:
    Display* display_;
};

}  // namespace veltrix::test

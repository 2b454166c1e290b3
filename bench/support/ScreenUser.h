#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Xlib's types without its macros: they clash with Qt headers.
typedef struct _XDisplay Display;

namespace veltrix::bench {

// A person at an X display, as far as a benchmark needs one: keys and buttons through XTest, as a
// keyboard and a mouse would give them, and the screen read back as the person would see it.
class ScreenUser {
public:
    struct Area {
        int x = 0, y = 0, width = 0, height = 0;
        bool empty() const { return width <= 0 || height <= 0; }
    };

    explicit ScreenUser(const std::string& name);
    ~ScreenUser();
    ScreenUser(const ScreenUser&) = delete;
    ScreenUser& operator=(const ScreenUser&) = delete;

    bool ok() const { return display_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }

    // True once a window manager has announced itself on the display.
    bool hasWindowManager() const;

    void movePointer(int x, int y);
    // The key of the Latin letter or digit `symbol` ('a', '7'); the server has it on return.
    void key(char symbol, bool down);
    void button(int number, bool down);

    // The mean luma (0..255) of `area` as it stands on the screen; -1 when it cannot be read.
    int meanLuma(const Area& area) const;
    // The luma of every pixel of the screen, row by row; empty when it cannot be read.
    std::vector<std::uint8_t> lumaOfScreen() const;

private:
    std::vector<std::uint8_t> luma(const Area& area) const;

    Display* display_;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace veltrix::bench

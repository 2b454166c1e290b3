#pragma once

#include <cstdint>
#include <memory>

#include "platform/CursorImage.h"

// Screen copy: reads any area of the desktop's current picture on request, with no change
// tracking. Slower than desktop duplication but needs nothing from the display beyond the core
// protocol (on X11: XGetImage per call, the cursor through XFIXES when the server has it).
namespace veltrix::platform {

class ScreenCopy {
public:
    // Null when the display cannot be reached.
    static std::unique_ptr<ScreenCopy> open();
    ~ScreenCopy();
    ScreenCopy(const ScreenCopy&) = delete;
    ScreenCopy& operator=(const ScreenCopy&) = delete;

    // Copies the desktop area (x, y, width, height) into a top-down 32-bit BGRA picture with
    // `stride` bytes per row. False when the area cannot be read (outside the screen, the server
    // is gone, or this process may not capture the input desktop now).
    bool copy(int x, int y, int width, int height, std::uint8_t* pixels, int stride);

    // The cursor as shown now; false when it cannot be read.
    bool cursor(CursorImage& out);

    struct State;

private:
    explicit ScreenCopy(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace veltrix::platform

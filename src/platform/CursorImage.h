#pragma once

#include <cstdint>
#include <vector>

namespace veltrix::platform {

// The mouse cursor as shown on screen: its picture and where it is.
struct CursorImage {
    std::int32_t x = 0;  // pointer position on the desktop
    std::int32_t y = 0;
    std::int32_t hotX = 0;  // hot spot inside the picture
    std::int32_t hotY = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> argb;  // premultiplied ARGB, width x height, top-down
};

// Draws the cursor picture at its natural size with its top-left corner at (left, top) of a
// top-down BGRA picture, blending by the cursor's alpha; whatever falls outside is clipped.
void drawCursor(const CursorImage& cursor, std::uint8_t* pixels, int width, int height, int stride, int left,
                int top);

}  // namespace veltrix::platform

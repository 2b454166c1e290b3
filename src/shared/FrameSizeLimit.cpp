#include "shared/FrameSizeLimit.h"

#include <cmath>

namespace veltrix {

std::pair<int, int> fitToFrameSection(int width, int height) {
    if (width <= 0 || height <= 0) return {width, height};
    const auto pixels = [](int w, int h) { return static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h); };
    if (pixels(width, height) <= kMaxFramePixels) return {width, height};
    const double scale = std::sqrt(static_cast<double>(kMaxFramePixels) / static_cast<double>(pixels(width, height)));
    int w = static_cast<int>(width * scale) & ~1;
    int h = static_cast<int>(height * scale) & ~1;
    // Rounding may leave it a row or column too large.
    while (pixels(w, h) > kMaxFramePixels) {
        if (w >= h) w -= 2;
        else h -= 2;
    }
    return {w, h};
}

}  // namespace veltrix

#include "platform/CursorImage.h"

#include <algorithm>
#include <cstddef>

namespace veltrix::platform {

void drawCursor(const CursorImage& cursor, std::uint8_t* pixels, int width, int height, int stride, int left,
                int top) {
    if (!pixels || cursor.width <= 0 || cursor.height <= 0 ||
        cursor.argb.size() < static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height)) {
        return;
    }
    // Clip in 64-bit: positions come from the server and may lie anywhere.
    const long long x0 = std::max<long long>(0, left);
    const long long y0 = std::max<long long>(0, top);
    const long long x1 = std::min<long long>(width, static_cast<long long>(left) + cursor.width);
    const long long y1 = std::min<long long>(height, static_cast<long long>(top) + cursor.height);
    for (long long y = y0; y < y1; ++y) {
        const std::uint32_t* src = cursor.argb.data() + (y - top) * cursor.width + (x0 - left);
        std::uint8_t* dst = pixels + y * stride + x0 * 4;
        for (long long x = x0; x < x1; ++x, ++src, dst += 4) {
            const std::uint32_t p = *src;
            const unsigned a = p >> 24;
            if (a == 0) continue;
            const unsigned inverse = 255 - a;
            // Premultiplied "over": colour + background x (1 - alpha), rounded.
            dst[0] = static_cast<std::uint8_t>(std::min(255u, (p & 0xFF) + (dst[0] * inverse + 127) / 255));
            dst[1] = static_cast<std::uint8_t>(std::min(255u, ((p >> 8) & 0xFF) + (dst[1] * inverse + 127) / 255));
            dst[2] = static_cast<std::uint8_t>(std::min(255u, ((p >> 16) & 0xFF) + (dst[2] * inverse + 127) / 255));
            dst[3] = 255;
        }
    }
}

}  // namespace veltrix::platform

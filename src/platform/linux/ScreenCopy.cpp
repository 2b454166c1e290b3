#include "platform/ScreenCopy.h"

#include <X11/Xutil.h>

#include <bit>
#include <cstring>

#include "platform/InputDesktop.h"
#include "platform/linux/X11Connection.h"
#include "platform/linux/X11Cursor.h"

namespace veltrix::platform {
namespace {

// One colour channel of a pixel value, scaled to 8 bits.
std::uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const unsigned long value = (pixel & mask) >> shift;
    if (bits >= 8) return static_cast<std::uint8_t>(value >> (bits - 8));
    return static_cast<std::uint8_t>(value * 255 / ((1ul << bits) - 1));
}

void copyRows(const XImage& image, std::uint8_t* pixels, int stride) {
    const bool bgrx = image.bits_per_pixel == 32 && image.byte_order == LSBFirst && image.red_mask == 0xFF0000 &&
                      image.green_mask == 0xFF00 && image.blue_mask == 0xFF;
    for (int y = 0; y < image.height; ++y) {
        std::uint8_t* dst = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        if (bgrx) {
            const char* src = image.data + static_cast<std::ptrdiff_t>(y) * image.bytes_per_line;
            for (int x = 0; x < image.width; ++x) {
                std::uint32_t v;
                std::memcpy(&v, src + x * 4, 4);
                v |= 0xFF000000u;
                std::memcpy(dst + x * 4, &v, 4);
            }
            continue;
        }
        // Any other depth or layout: slow, but right.
        XImage& source = const_cast<XImage&>(image);
        for (int x = 0; x < image.width; ++x) {
            const unsigned long p = XGetPixel(&source, x, y);
            dst[x * 4 + 0] = channel(p, image.blue_mask);
            dst[x * 4 + 1] = channel(p, image.green_mask);
            dst[x * 4 + 2] = channel(p, image.red_mask);
            dst[x * 4 + 3] = 255;
        }
    }
}

}  // namespace

struct ScreenCopy::State {
    std::unique_ptr<x11::Connection> connection;
    bool fixes = false;
};

ScreenCopy::ScreenCopy(std::unique_ptr<State> state) : state_(std::move(state)) {}
ScreenCopy::~ScreenCopy() = default;

std::unique_ptr<ScreenCopy> ScreenCopy::open() {
    auto state = std::make_unique<State>();
    state->connection = x11::Connection::open();
    if (!state->connection) return nullptr;
    state->fixes = x11::haveFixes(state->connection->display());
    return std::unique_ptr<ScreenCopy>(new ScreenCopy(std::move(state)));
}

bool ScreenCopy::copy(int x, int y, int width, int height, std::uint8_t* pixels, int stride) {
    x11::Connection& connection = *state_->connection;
    if (connection.broken() || !pixels || width <= 0 || height <= 0 || stride < width * 4) return false;
    if (!desktops::mayCaptureInputDesktop()) return false;
    XImage* image = XGetImage(connection.display(), connection.root(), x, y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (!image) {
        connection.takeError();
        return false;
    }
    const bool complete = image->width == width && image->height == height;
    if (complete) copyRows(*image, pixels, stride);
    XDestroyImage(image);
    return complete;
}

bool ScreenCopy::cursor(CursorImage& out) {
    if (!state_->fixes || state_->connection->broken()) return false;
    return x11::fetchCursor(state_->connection->display(), out);
}

}  // namespace veltrix::platform

// Capture time per 1920x1080 frame of both capture backends on a private X server, for a change
// of the whole screen and for a small change.
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include <spdlog/spdlog.h>

#include "agent/DxgiCaptureBackend.h"
#include "agent/GdiCaptureBackend.h"
#include "support/XvfbDisplay.h"

// Last: Xlib's macros clash with Qt headers.
#include <X11/Xlib.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 120;

class Painter {
public:
    explicit Painter(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
        if (display_) gc_ = XCreateGC(display_, DefaultRootWindow(display_), 0, nullptr);
    }
    ~Painter() {
        if (display_) {
            XFreeGC(display_, gc_);
            XCloseDisplay(display_);
        }
    }
    bool ok() const { return display_ != nullptr; }
    void fill(int x, int y, int w, int h, unsigned long rgb) {
        XSetForeground(display_, gc_, rgb);
        XFillRectangle(display_, DefaultRootWindow(display_), gc_, x, y, static_cast<unsigned>(w),
                       static_cast<unsigned>(h));
        XSync(display_, False);
    }

private:
    Display* display_;
    GC gc_{};
};

// Mean capture time in milliseconds of frames that follow `change`; -1 when capture failed.
double measure(veltrix::IScreenCaptureBackend& backend, const std::function<void(int)>& change) {
    backend.captureFrame();  // the first, full frame
    Clock::duration total{};
    for (int i = 0; i < kFrames; ++i) {
        change(i);
        const auto start = Clock::now();
        auto frame = backend.captureFrame();
        total += Clock::now() - start;
        if (!frame) return -1;
    }
    return std::chrono::duration<double, std::milli>(total).count() / kFrames;
}

}  // namespace

int main() {
    spdlog::set_level(spdlog::level::warn);
    veltrix::test::XvfbDisplay xvfb;
    if (!xvfb.isRunning()) {
        std::fprintf(stderr, "capture_bench: Xvfb did not start\n");
        return 1;
    }
    xvfb.makeCurrent();
    Painter painter(xvfb.name());
    if (!painter.ok()) return 1;

    const auto fullChange = [&](int i) { painter.fill(0, 0, 1920, 1080, i % 2 ? 0x336699 : 0x996633); };
    const auto smallChange = [&](int i) { painter.fill(100 + (i % 16) * 8, 100, 64, 64, i % 2 ? 0xFF0000 : 0x00FF00); };

    std::printf("capture of a 1920x1080 frame, mean of %d frames\n", kFrames);
    std::printf("%-28s %14s %14s\n", "backend", "full change", "64x64 change");
    {
        veltrix::DxgiCaptureBackend backend;
        if (!backend.initialize(0)) return 1;
        const double full = measure(backend, fullChange);
        const double small = measure(backend, smallChange);
        std::printf("%-28s %11.2f ms %11.2f ms\n", "duplication (MIT-SHM)", full, small);
    }
    {
        veltrix::GdiCaptureBackend backend;
        if (!backend.initialize(0)) return 1;
        const double full = measure(backend, fullChange);
        const double small = measure(backend, smallChange);
        std::printf("%-28s %11.2f ms %11.2f ms\n", "screen copy (XGetImage)", full, small);
    }
    return 0;
}

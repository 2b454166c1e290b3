#include "support/ReactingWindow.h"

#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace veltrix::bench {
namespace {

constexpr unsigned long kWhite = 0xFFFFFF;
constexpr unsigned long kBlack = 0x000000;

double steadyMs(std::chrono::steady_clock::time_point at) {
    return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
}

// The server's 32-bit millisecond stamp on the full steady clock: the stamp is taken at most a
// moment before `received`, so the difference fits 32 bits with its sign.
double serverMilliseconds(Time stamp, std::chrono::steady_clock::time_point received) {
    const double receivedMs = steadyMs(received);
    const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(receivedMs));
    const auto behind = static_cast<std::int32_t>(low - static_cast<std::uint32_t>(stamp));
    return static_cast<double>(static_cast<std::uint64_t>(receivedMs) - static_cast<std::int64_t>(behind));
}

}  // namespace

ReactingWindow::ReactingWindow(const std::string& name, int x, int y, int width, int height,
                               unsigned long desktopRgb)
    : width_(width), height_(height) {
    events_ = XOpenDisplay(name.c_str());
    painter_ = XOpenDisplay(name.c_str());
    int wake[2];
    if (!events_ || !painter_ || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return;
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];

    const Window root = DefaultRootWindow(events_);
    XSetWindowBackground(events_, root, desktopRgb);
    XClearWindow(events_, root);

    XSetWindowAttributes attributes{};
    attributes.background_pixel = kBlack;
    attributes.event_mask = KeyPressMask | ButtonPressMask | FocusChangeMask | ExposureMask;
    window_ = XCreateWindow(events_, root, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                            CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
    XStoreName(events_, window_, "reacting window");
    XMapRaised(events_, window_);
    XSync(events_, False);
    XSetInputFocus(events_, window_, RevertToPointerRoot, CurrentTime);
    XSync(events_, False);
    thread_ = std::thread([this] { run(); });
}

ReactingWindow::~ReactingWindow() {
    if (thread_.joinable()) {
        const char stop = 1;
        [[maybe_unused]] const auto written = ::write(wakeWrite_, &stop, 1);
        thread_.join();
    }
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
    if (events_) XCloseDisplay(events_);
    if (painter_) XCloseDisplay(painter_);
}

std::size_t ReactingWindow::pressCount() const {
    std::lock_guard lock(mutex_);
    return presses_.size();
}

std::optional<ReactingWindow::Press> ReactingWindow::press(std::size_t index) const {
    std::lock_guard lock(mutex_);
    if (index >= presses_.size()) return std::nullopt;
    return presses_[index];
}

void ReactingWindow::paint(bool white) {
    white_ = white;
    fill(painter_, white);
}

void ReactingWindow::fill(Display* display, bool white) {
    GC gc = XCreateGC(display, window_, 0, nullptr);
    XSetForeground(display, gc, white ? kWhite : kBlack);
    XFillRectangle(display, window_, gc, 0, 0, static_cast<unsigned>(width_), static_cast<unsigned>(height_));
    XFreeGC(display, gc);
    XSync(display, False);
}

void ReactingWindow::run() {
    pollfd waits[2] = {{ConnectionNumber(events_), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    for (;;) {
        if (XPending(events_) == 0) {
            if (::poll(waits, 2, -1) < 0) continue;
            if (waits[1].revents != 0) return;
            if (XPending(events_) == 0) continue;
        }
        XEvent event;
        XNextEvent(events_, &event);
        const auto received = Clock::now();
        switch (event.type) {
            case KeyPress:
            case ButtonPress: {
                const bool white = !white_;
                white_ = white;
                fill(events_, white);
                Press press;
                press.key = event.type == KeyPress;
                press.serverMs = serverMilliseconds(event.type == KeyPress ? event.xkey.time : event.xbutton.time,
                                                    received);
                press.received = received;
                press.redrawn = Clock::now();
                press.white = white;
                std::lock_guard lock(mutex_);
                presses_.push_back(press);
                break;
            }
            case FocusOut:
                // Keys go to this window whatever else appears on the display.
                XSetInputFocus(events_, window_, RevertToPointerRoot, CurrentTime);
                XFlush(events_);
                break;
            case Expose:
                if (event.xexpose.count == 0) fill(events_, white_);
                break;
            default:
                break;
        }
    }
}

}  // namespace veltrix::bench

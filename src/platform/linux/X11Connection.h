#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <memory>

// Shared plumbing of the X11 layers (duplication, screen copy, monitors, foreground window).
// Xlib's default handlers end the process on a protocol error or a lost server; every connection
// made here instead records its errors, and a lost server only marks the connection broken, so a
// dying X server costs a capture backend, never the agent.
namespace veltrix::platform::x11 {

class Connection {
public:
    // Opens the display named by DISPLAY; null when it cannot be reached.
    static std::unique_ptr<Connection> open();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Display* display() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }
    int screen() const { return DefaultScreen(display_); }

    // True once the connection to the server was lost; every later request is a no-op.
    bool broken() const { return broken_.load(); }

    // Error code of the last failed request since the previous call (0: none). Waits for the
    // server to process everything sent so far, so errors of earlier requests are included.
    int takeError();

    // Called by the process-wide handlers.
    void recordError(int code) { lastError_.store(code); }
    void markBroken() { broken_.store(true); }

private:
    explicit Connection(Display* display) : display_(display) {}

    Display* display_;
    std::atomic<int> lastError_{0};
    std::atomic<bool> broken_{false};
};

}  // namespace veltrix::platform::x11

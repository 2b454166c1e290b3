#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Xlib's types without its macros: they clash with Qt headers.
typedef struct _XDisplay Display;

namespace veltrix::bench {

// A window on an X display that answers every key press and button press by flipping between
// white and black, as an application that echoes its input would. Its own thread waits for the
// display's events and repaints at once; each press is recorded with the X server's own time
// stamp (the server's monotonic clock, which is the steady clock of every process here) and the
// moments the bench read it and finished the repaint. The window keeps the keyboard focus.
// Xlib must be initialised for threads (XInitThreads) before the first connection of the process.
class ReactingWindow {
public:
    using Clock = std::chrono::steady_clock;

    struct Press {
        bool key = false;             // a key, else a button
        double serverMs = 0;          // the server's time stamp, on the steady clock in milliseconds
        Clock::time_point received;   // read from the connection
        Clock::time_point redrawn;    // the flip painted (the server has done it)
        bool white = false;           // the colour after the flip
    };

    // A window at (x, y) of `width` x `height` on the display `name`, black at first; the display's
    // desktop is painted `desktopRgb`.
    ReactingWindow(const std::string& name, int x, int y, int width, int height, unsigned long desktopRgb);
    ~ReactingWindow();
    ReactingWindow(const ReactingWindow&) = delete;
    ReactingWindow& operator=(const ReactingWindow&) = delete;

    bool ok() const { return thread_.joinable(); }

    std::size_t pressCount() const;
    std::optional<Press> press(std::size_t index) const;
    bool white() const { return white_; }

    // Paints the window white or black without a press (to find it on a screen that shows it).
    void paint(bool white);

private:
    void run();
    void fill(Display* display, bool white);

    Display* events_ = nullptr;   // the window's own connection, read by its thread
    Display* painter_ = nullptr;  // the bench's, for paint()
    unsigned long window_ = 0;
    int width_ = 0;
    int height_ = 0;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> white_{false};
    mutable std::mutex mutex_;
    std::vector<Press> presses_;
    std::thread thread_;
};

}  // namespace veltrix::bench

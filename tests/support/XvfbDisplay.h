#pragma once

#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

namespace veltrix::test {

// A private X server for tests that need X11: Xvfb on a free display number, 1920x1080x24,
// no TCP, no reset when its last client leaves. Stopped on destruction.
class XvfbDisplay {
public:
    // `extraArguments` are passed to Xvfb (for example {"-extension", "MIT-SHM"}).
    explicit XvfbDisplay(std::vector<std::string> extraArguments = {}, std::string screen = "1920x1080x24");

    // Xephyr in a window on the display `host` instead of Xvfb: a server whose screen changes
    // size through RandR (xrandr -s), up to 1600x1200, as a desktop does when a monitor is
    // added. Not running when Xephyr is not installed (scripts/setup).
    struct NestedIn {
        explicit NestedIn(std::string display) : host(std::move(display)) {}
        std::string host;
    };
    XvfbDisplay(NestedIn nested, std::string screen);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool isRunning() const { return pid_ > 0; }
    // ":N", for XOpenDisplay or the DISPLAY variable.
    const std::string& name() const { return name_; }

    // Sets DISPLAY to this display (restored on destruction).
    void makeCurrent();

private:
    void waitForServer(int displayFd);

    pid_t pid_ = -1;
    std::string name_;
    std::string previousDisplay_;
    bool changedDisplay_ = false;
    bool hadDisplay_ = false;
};

}  // namespace veltrix::test

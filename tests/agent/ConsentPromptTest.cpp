// The consent prompt as the capture judges it from the foreground window: only a prompt program
// from the system folder counts. A foreground program the agent cannot look at (another account's,
// or one replaced on disk) is no evidence, or every focus change to it would swap the user's agent
// for one with the service's rights.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "agent/ConsentPrompt.h"
#include "platform/ProcessSnapshot.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"

// Last: Xlib's macros clash with other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

extern char** environ;

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A copy of sleep(1) at `path`, running for the life of the object.
class ProgramCopy {
public:
    explicit ProgramCopy(const fs::path& path) {
        fs::create_directories(path.parent_path());
        fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing);
        std::string program = path.string();
        std::string seconds = "60";
        char* argv[] = {program.data(), seconds.data(), nullptr};
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        test::waitUntil([&] { return platform::process::processImagePath(pid_) == program; }, 5s);
    }
    ~ProgramCopy() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A window of process `pid` as the foreground (active) window of the display.
class ForegroundWindow {
public:
    ForegroundWindow(const std::string& displayName, pid_t pid) : display_(XOpenDisplay(displayName.c_str())) {
        if (!display_) return;
        const Window root = DefaultRootWindow(display_);
        window_ = XCreateSimpleWindow(display_, root, 0, 0, 100, 100, 0, 0, 0);
        const long owner = pid;
        XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&owner), 1);
        const long active = static_cast<long>(window_);
        XChangeProperty(display_, root, XInternAtom(display_, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&active), 1);
        XSync(display_, False);
    }
    ~ForegroundWindow() {
        if (display_) XCloseDisplay(display_);
    }
    ForegroundWindow(const ForegroundWindow&) = delete;
    ForegroundWindow& operator=(const ForegroundWindow&) = delete;
    bool ok() const { return display_ != nullptr; }

private:
    Display* display_;
    Window window_ = 0;
};

std::string judgedAsNobody() {
    test::UnprivilegedChild agent([] { return std::string(foregroundLooksLikeUac() ? "prompt" : "no prompt"); });
    return agent.result();
}

TEST(ConsentPrompt, OnlyAPromptProgramOfTheSystemFolderInTheForegroundCounts) {
    test::TempInstanceRoot root;
    fs::permissions(root.path(), fs::perms(0755));
    test::XvfbDisplay display;
    ASSERT_TRUE(display.isRunning());
    display.makeCurrent();

    // The prompt program itself: the agent that may look at it sees the prompt.
    ProgramCopy prompt(fs::path(platform::process::systemDirectory()) / "consent.exe");
    {
        ForegroundWindow window(display.name(), prompt.pid());
        ASSERT_TRUE(window.ok());
        EXPECT_TRUE(foregroundLooksLikeUac());
    }
    // Another account's program (this root test process) in front of a user's agent.
    {
        ForegroundWindow window(display.name(), getpid());
        EXPECT_FALSE(foregroundLooksLikeUac());  // the service's own account may look at it
        EXPECT_EQ(judgedAsNobody(), "no prompt");
    }
    // A program whose file was replaced since it started.
    ProgramCopy replaced(root.path() / "elsewhere" / "editor");
    fs::remove(root.path() / "elsewhere" / "editor");
    {
        ForegroundWindow window(display.name(), replaced.pid());
        EXPECT_FALSE(foregroundLooksLikeUac());
    }
}

}  // namespace
}  // namespace veltrix

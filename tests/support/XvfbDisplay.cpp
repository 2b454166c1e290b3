#include "support/XvfbDisplay.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltrix::test {
namespace {

// The server writes the display number to this descriptor once it accepts connections
// (-displayfd). `host`: the DISPLAY a nested server opens its window on.
int startServer(std::vector<std::string> args, const std::string& host, pid_t& pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    // Everything the child needs is built before fork: a child of a threaded process may only
    // make async-signal-safe calls.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "DISPLAY=", 8) != 0) variables.emplace_back(*variable);
    if (!host.empty()) variables.push_back("DISPLAY=" + host);
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        if (fds[1] == 3) fcntl(3, F_SETFD, 0);
        else dup2(fds[1], 3);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    return fds[0];
}

}  // namespace

XvfbDisplay::XvfbDisplay(std::vector<std::string> extraArguments, std::string screen) {
    std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
    args.insert(args.end(), extraArguments.begin(), extraArguments.end());
    waitForServer(startServer(std::move(args), {}, pid_));
}

XvfbDisplay::XvfbDisplay(NestedIn nested, std::string screen) {
    waitForServer(startServer({"Xephyr", "-displayfd", "3", "-screen", screen, "-resizeable", "-nolisten", "tcp",
                               "-noreset"},
                              nested.host, pid_));
}

void XvfbDisplay::waitForServer(int fd) {
    if (fd < 0 || pid_ <= 0) {
        pid_ = -1;
        return;
    }
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    while (std::chrono::steady_clock::now() < deadline) {
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n == 1) {
            if (c == '\n') break;
            number += c;
        } else if (n == 0) {
            break;  // the server ended
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    close(fd);
    if (number.empty()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return;
    }
    name_ = ":" + number;
}

XvfbDisplay::~XvfbDisplay() {
    if (changedDisplay_) {
        if (hadDisplay_) setenv("DISPLAY", previousDisplay_.c_str(), 1);
        else unsetenv("DISPLAY");
    }
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void XvfbDisplay::makeCurrent() {
    if (!changedDisplay_) {
        if (const char* old = std::getenv("DISPLAY")) {
            previousDisplay_ = old;
            hadDisplay_ = true;
        }
        changedDisplay_ = true;
    }
    setenv("DISPLAY", name_.c_str(), 1);
}

}  // namespace veltrix::test

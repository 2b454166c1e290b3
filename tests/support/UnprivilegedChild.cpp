#include "support/UnprivilegedChild.h"

#include <csignal>
#include <grp.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltrix::test {

UnprivilegedChild::UnprivilegedChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        ::close(fds[0]);
        std::string text;
        if (setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
            setresuid(kNobody, kNobody, kNobody) == 0) {
            text = body();
        } else {
            text = "cannot drop privileges";
        }
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::write(fds[1], text.data() + sent, text.size() - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    ::close(fds[1]);
    readFd_ = fds[0];
}

UnprivilegedChild::~UnprivilegedChild() {
    if (pid_ > 0 && !finished()) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (readFd_ >= 0) ::close(readFd_);
}

bool UnprivilegedChild::finished() {
    if (pid_ <= 0 || reaped_) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
    return reaped_;
}

std::string UnprivilegedChild::result(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!finished()) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(readFd_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

}  // namespace veltrix::test

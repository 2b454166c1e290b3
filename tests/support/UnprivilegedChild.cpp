#include "support/UnprivilegedChild.h"

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltrix::test {
namespace {

bool dropToNobody() {
    return setgroups(0, nullptr) == 0 &&
           setresgid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, UnprivilegedChild::kNobody) == 0 &&
           setresuid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, UnprivilegedChild::kNobody) == 0;
}

}  // namespace

UnprivilegedChild::UnprivilegedChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        ::close(fds[0]);
        std::string text;
        if (dropToNobody()) {
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

UnprivilegedChild::UnprivilegedChild(const std::string& program, const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment) {
    // Built before fork: the child of a threaded process makes only async-signal-safe calls.
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envStrings = environment;
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        if (dup2(fds[1], STDOUT_FILENO) < 0 || !dropToNobody()) _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
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
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
    }
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

#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

namespace veltrix::test {

// Runs `body` in a forked child that has given up root for the "nobody" account (no
// supplementary groups), for tests of what another local user may do. The child's result text
// comes back through a pipe; the child ends when `body` returns.
class UnprivilegedChild {
public:
    static constexpr uid_t kNobody = 65534;

    explicit UnprivilegedChild(const std::function<std::string()>& body);
    ~UnprivilegedChild();
    UnprivilegedChild(const UnprivilegedChild&) = delete;
    UnprivilegedChild& operator=(const UnprivilegedChild&) = delete;

    pid_t pid() const { return pid_; }
    // Whether the child has ended (reaps it once).
    bool finished();
    // Waits for the end at most `limit`, then kills the child; gives what it wrote.
    std::string result(std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    pid_t pid_ = -1;
    int readFd_ = -1;
    bool reaped_ = false;
};

}  // namespace veltrix::test

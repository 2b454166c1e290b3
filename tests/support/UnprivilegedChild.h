#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrix::test {

// Runs `body` in a forked child that has given up root for the "nobody" account (no
// supplementary groups), for tests of what another local user may do. The child's result text
// comes back through a pipe; the child ends when `body` returns.
class UnprivilegedChild {
public:
    static constexpr uid_t kNobody = 65534;

    explicit UnprivilegedChild(const std::function<std::string()>& body);
    // Runs `program` with `arguments` and exactly `environment` ("NAME=value") as "nobody"; its
    // standard output is the result text, its standard error the test's.
    UnprivilegedChild(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment);
    ~UnprivilegedChild();
    UnprivilegedChild(const UnprivilegedChild&) = delete;
    UnprivilegedChild& operator=(const UnprivilegedChild&) = delete;

    pid_t pid() const { return pid_; }
    // Whether the child has ended (reaps it once).
    bool finished();
    // Its exit code once it has ended; -1 before, or when a signal ended it.
    int exitCode() const { return exitCode_; }
    // Waits for the end at most `limit`, then kills the child; gives what it wrote.
    std::string result(std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    pid_t pid_ = -1;
    int readFd_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
};

}  // namespace veltrix::test

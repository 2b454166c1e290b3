#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/logger.h>

namespace veltrix::test {

// Replaces the default logger with one that records every formatted message (without the
// pattern) for the life of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // True when a recorded message contains `text`.
    bool contains(const std::string& text) const;
    std::size_t count(const std::string& text) const;
    // The messages logged by a thread that was impersonating a user at the time.
    std::vector<std::string> linesLoggedAsAUser() const;
    void clear();

    struct Store {
        mutable std::mutex mutex;
        std::vector<std::string> lines;
        std::vector<std::string> asAUser;
    };

private:
    std::shared_ptr<Store> store_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace veltrix::test

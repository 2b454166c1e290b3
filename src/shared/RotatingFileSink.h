#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>

namespace veltrix::logging {

// A log file that rotates at `maxBytes`, keeping `maxFiles` old files named as spdlog's rotating
// sink names them (service.log, then service.1.log, service.2.log ...), but that never loses its
// file: the old files are renamed while the current one stays open, and only once a new file is
// open does the sink switch to it. Whatever fails on the way (a rename, the new file) leaves the
// lines going into the open file, and the rotation is tried again later. A thread that
// impersonates a user does not rotate at all: the log folder is the service's, and what the
// thread would create or rename there would be the user's doing. Thread-safe.
class RotatingFileSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    // Opens the file for appending (created when missing); throws spdlog::spdlog_ex when it cannot.
    RotatingFileSink(std::filesystem::path path, std::size_t maxBytes, std::size_t maxFiles);
    ~RotatingFileSink() override;
    RotatingFileSink(const RotatingFileSink&) = delete;
    RotatingFileSink& operator=(const RotatingFileSink&) = delete;

    // The name of old file `index` (0: the current file).
    std::filesystem::path fileName(std::size_t index) const;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;

private:
    // Renames the old files one place up and opens a new current file; false when it could not,
    // the open file then being kept.
    bool rotate();
    int openCurrent(bool truncate) const;

    std::filesystem::path path_;
    std::size_t maxBytes_;
    std::size_t maxFiles_;
    int fd_ = -1;
    std::size_t size_ = 0;
    // After a failed rotation: the size at which it is tried again, and whether only the new file
    // is missing (the old ones were already renamed).
    std::size_t retryAt_ = 0;
    bool renamed_ = false;
};

}  // namespace veltrix::logging

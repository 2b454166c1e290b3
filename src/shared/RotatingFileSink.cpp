#include "shared/RotatingFileSink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/common.h>

#include "platform/Impersonation.h"

namespace veltrix::logging {

RotatingFileSink::RotatingFileSink(std::filesystem::path path, std::size_t maxBytes, std::size_t maxFiles)
    : path_(std::move(path)), maxBytes_(std::max<std::size_t>(maxBytes, 1)), maxFiles_(maxFiles) {
    fd_ = openCurrent(false);
    if (fd_ < 0) spdlog::throw_spdlog_ex("RotatingFileSink: cannot open " + path_.string(), errno);
    struct stat info {};
    if (::fstat(fd_, &info) == 0) size_ = static_cast<std::size_t>(info.st_size);
}

RotatingFileSink::~RotatingFileSink() {
    if (fd_ >= 0) ::close(fd_);
}

std::filesystem::path RotatingFileSink::fileName(std::size_t index) const {
    if (index == 0) return path_;
    return path_.parent_path() / (path_.stem().string() + "." + std::to_string(index) + path_.extension().string());
}

int RotatingFileSink::openCurrent(bool truncate) const {
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (truncate ? O_TRUNC : 0);
    return ::open(path_.c_str(), flags, 0644);
}

void RotatingFileSink::sink_it_(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    if (size_ > 0 && size_ + formatted.size() > maxBytes_ && size_ >= retryAt_ &&
        !platform::impersonation::isImpersonating() && !rotate()) {
        retryAt_ = size_ + std::max<std::size_t>(maxBytes_ / 16, 1);
    }
    const char* data = formatted.data();
    std::size_t left = formatted.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) spdlog::throw_spdlog_ex("RotatingFileSink: cannot write " + path_.string(), errno);
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    size_ += formatted.size();
}

// Every line goes to the kernel as it is written: nothing is held back here.
void RotatingFileSink::flush_() {}

bool RotatingFileSink::rotate() {
    // The open file is renamed with the others and keeps taking lines under its new name until
    // the new file is open.
    if (!renamed_) {
        for (std::size_t index = maxFiles_; index > 0; --index) {
            if (std::rename(fileName(index - 1).c_str(), fileName(index).c_str()) != 0 && errno != ENOENT)
                return false;
        }
        renamed_ = true;
    }
    const int fresh = openCurrent(true);
    if (fresh < 0) return false;
    ::close(fd_);
    fd_ = fresh;
    size_ = 0;
    retryAt_ = 0;
    renamed_ = false;
    return true;
}

}  // namespace veltrix::logging

#include "platform/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace veltrix::platform::privatefiles {
namespace {

std::string systemText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool ensurePrivateFolder(const std::filesystem::path& folder, std::string& error) {
    std::error_code ignored;
    std::filesystem::create_directories(folder.parent_path(), ignored);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = systemText("mkdir");
        return false;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = systemText("open folder (a link or not a directory?)");
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        error = systemText("fstat");
    } else if (st.st_uid != ::geteuid()) {
        error = "folder belongs to another user";
        ok = false;
    } else if (::fchmod(fd, 0700) != 0) {
        error = systemText("fchmod");
        ok = false;
    }
    ::close(fd);
    return ok;
}

bool writeNewFile(const std::filesystem::path& path, const char* data, std::size_t size, std::string& error) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = systemText("unlink");
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = systemText("create");
        return false;
    }
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = systemText("write");
            ::close(fd);
            ::unlink(path.c_str());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        error = systemText("close");
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

bool makeExecutable(const std::filesystem::path& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fchmod(fd, 0700) != 0) {
        error = systemText("chmod");
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace veltrix::platform::privatefiles

#include "platform/NamedMutex.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/InstancePaths.h"

namespace veltrix::platform {
namespace {

flock wholeFileWriteLock() {
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

}  // namespace

NamedMutex::~NamedMutex() { release(); }

bool NamedMutex::acquire(std::string_view name, SystemError& error) {
    release();
    const auto path = paths::mutexPath(name);
    paths::ensureDirectory(path.parent_path());
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = SystemError::last();
        return false;
    }
    // Any local user's client tests and takes the same mutex: keep the file open to all, whatever
    // the umask (only the creator can change the mode; for others this fails harmlessly).
    fchmod(fd, 0666);
    flock lock = wholeFileWriteLock();
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        error = (errno == EAGAIN || errno == EACCES) ? SystemError{EWOULDBLOCK} : SystemError::last();
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void NamedMutex::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool NamedMutex::exists(std::string_view name) {
    const auto path = paths::mutexPath(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    flock lock = wholeFileWriteLock();
    const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

}  // namespace veltrix::platform

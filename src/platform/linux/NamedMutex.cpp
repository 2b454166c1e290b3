#include "platform/NamedMutex.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/InstancePaths.h"
#include "platform/linux/FileDescriptor.h"

namespace veltrix::platform {
namespace {

using detail::FileDescriptor;

// Others may test the locks in a user's folder; only the user may change what it holds.
constexpr mode_t kUserFolderMode = 0755;

flock wholeFileWriteLock() {
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

gid_t primaryGroupOf(uid_t user) {
    std::string buffer(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return static_cast<gid_t>(-1);
    return entry.pw_gid;
}

SystemError lastOr(int fallback) { return SystemError{errno != 0 ? errno : fallback}; }

// The folder `path` opened without following a link, when it is owned by `owner`.
FileDescriptor openOwnedFolder(const std::filesystem::path& path, uid_t owner, SystemError& error) {
    FileDescriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) {
        error = SystemError::last();
        return FileDescriptor(-1);
    }
    struct stat st{};
    if (fstat(dir.get(), &st) != 0) {
        error = SystemError::last();
        return FileDescriptor(-1);
    }
    if (st.st_uid != owner) {
        error = SystemError{EPERM};  // another account could change what it holds
        return FileDescriptor(-1);
    }
    return dir;
}

}  // namespace

NamedMutex::~NamedMutex() { release(); }

bool NamedMutex::prepareUserFolder(uid_t user, SystemError& error) {
    const uid_t self = geteuid();
    if (self != 0 && user != self) return true;  // only root can give a folder to another account
    const auto folder = paths::userRunDir(user);
    if (!paths::ensureDirectory(folder.parent_path())) {
        error = lastOr(ENOENT);
        return false;
    }
    // The folder of all users' folders must be this account's alone: whoever else could write
    // it could plant a user's folder there.
    FileDescriptor parent = openOwnedFolder(folder.parent_path(), self, error);
    if (!parent.valid()) return false;
    struct stat st{};
    if (fstat(parent.get(), &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = SystemError{EPERM};
        return false;
    }
    const std::string name = std::to_string(user);
    // Made private first, then given to its user: nobody else can slip a file in between.
    if (mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        error = SystemError::last();
        return false;
    }
    FileDescriptor dir(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid() || fstat(dir.get(), &st) != 0) {
        error = SystemError::last();
        return false;
    }
    if (st.st_uid != user && fchown(dir.get(), user, primaryGroupOf(user)) != 0) {
        error = SystemError::last();
        return false;
    }
    if ((st.st_mode & 07777) != kUserFolderMode && fchmod(dir.get(), kUserFolderMode) != 0) {
        error = SystemError::last();
        return false;
    }
    return true;
}

bool NamedMutex::acquire(std::string_view name, SystemError& error) {
    release();
    const uid_t self = geteuid();
    path_ = paths::mutexPath(name, self);
    // An account that may write the run folder (root, the service's own) makes its folder itself;
    // any other finds it made by the service.
    SystemError ignored;
    prepareUserFolder(self, ignored);
    FileDescriptor dir = openOwnedFolder(paths::userRunDir(self), self, error);
    if (!dir.valid()) return false;
    const std::string fileName = path_.filename().string();
    FileDescriptor file(::openat(dir.get(), fileName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file.valid()) {
        error = SystemError::last();
        return false;
    }
    struct stat st{};
    if (fstat(file.get(), &st) != 0) {
        error = SystemError::last();
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != self) {
        error = SystemError{EPERM};
        return false;
    }
    flock lock = wholeFileWriteLock();
    if (fcntl(file.get(), F_OFD_SETLK, &lock) != 0) {
        error = (errno == EAGAIN || errno == EACCES) ? SystemError{EWOULDBLOCK} : SystemError::last();
        return false;
    }
    fd_ = file.release();
    return true;
}

void NamedMutex::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool NamedMutex::isHeldBy(std::string_view name, uid_t user) {
    const auto path = paths::mutexPath(name, user);
    // The file lies in a folder its user controls: no link, nothing that could block an open, and
    // only a regular file of that user counts.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) return false;
    struct stat st{};
    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != user) return false;
    flock lock = wholeFileWriteLock();
    return fcntl(file.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool NamedMutex::isHeldByAnyOf(std::string_view name, const std::vector<uid_t>& users) {
    return std::any_of(users.begin(), users.end(), [name](uid_t user) { return isHeldBy(name, user); });
}

}  // namespace veltrix::platform

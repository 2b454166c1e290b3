#include "platform/NoFollowFiles.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrix::platform::files {
namespace {

constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The components of an absolute path; empty and "." components are skipped. Nothing for a
// relative path, a path holding a NUL byte or a ".." component (which would climb out of what
// was checked).
std::optional<std::vector<std::string>> componentsOf(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string> parts;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = end + 1;
    }
    return parts;
}

// Opens the directory `name` inside `parent` without following a link. A link there fails with
// ELOOP (O_DIRECTORY would otherwise report it as ENOTDIR).
FileDescriptor openChildDirectory(int parent, const std::string& name, SystemError& error, int flags = kWalkFlags) {
    const int fd = ::openat(parent, name.c_str(), flags);
    if (fd >= 0) return FileDescriptor(fd);
    error = SystemError::last();
    struct stat info {};
    if (error.code == ENOTDIR && ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode))
        error.code = ELOOP;
    return {};
}

// Opens the directory made of the first `count` components.
FileDescriptor openWalk(const std::vector<std::string>& parts, std::size_t count, SystemError& error) {
    FileDescriptor current(::open("/", kWalkFlags));
    if (!current.isValid()) {
        error = SystemError::last();
        return {};
    }
    for (std::size_t i = 0; i < count; ++i) {
        FileDescriptor next = openChildDirectory(current.get(), parts[i], error);
        if (!next.isValid()) return {};
        current = std::move(next);
    }
    return current;
}

bool writeAll(int fd, const char* data, std::size_t size, SystemError& error) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            error = SystemError::last();
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Creates a new, empty temporary file beside `name` in `directory`; its name goes to `tempName`.
FileDescriptor createTemporarySibling(int directory, const std::string& name, std::string& tempName,
                                      SystemError& error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::uint64_t random = 0;
        if (::getrandom(&random, sizeof random, 0) != sizeof random) random ^= static_cast<std::uint64_t>(::getpid()) << 20 | attempt;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random));
        tempName = "." + name.substr(0, 200) + suffix + ".part";
        const int fd = ::openat(directory, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return FileDescriptor(fd);
        if (errno != EEXIST) break;
    }
    error = SystemError::last();
    return {};
}

// Gives the new file of a replacement what the file it replaces had, before any byte is in it: the
// owner and group as far as the caller may set them (the kernel lets a user keep a file of its own
// in one of its groups, not give it to someone else), then the permission bits, so a private file
// stays private and an executable stays executable. The set-user and set-group bits are not kept,
// as a write to the old file would have cleared them too.
bool keepOwnerAndMode(int fd, const struct stat& existing, SystemError& error) {
    if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        [[maybe_unused]] const int groupOnly = ::fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
    if (::fchmod(fd, existing.st_mode & 0777) == 0) return true;
    error = SystemError::last();
    return false;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

PathState probePath(std::string_view absolutePath, SystemError& error) {
    const auto parts = componentsOf(absolutePath);
    if (!parts) {
        error.code = EINVAL;
        return PathState::Unreachable;
    }
    FileDescriptor current(::open("/", kWalkFlags));
    if (!current.isValid()) {
        error = SystemError::last();
        return PathState::Unreachable;
    }
    if (parts->empty()) return PathState::Directory;
    for (std::size_t i = 0; i < parts->size(); ++i) {
        struct stat info {};
        if (::fstatat(current.get(), (*parts)[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            error = SystemError::last();
            return error.code == ENOENT ? PathState::Missing : PathState::Unreachable;
        }
        if (S_ISLNK(info.st_mode)) return PathState::Link;
        const bool last = i + 1 == parts->size();
        if (last) {
            if (S_ISDIR(info.st_mode)) return PathState::Directory;
            return S_ISREG(info.st_mode) ? PathState::RegularFile : PathState::Other;
        }
        if (!S_ISDIR(info.st_mode)) {
            error.code = ENOTDIR;
            return PathState::Unreachable;
        }
        FileDescriptor next = openChildDirectory(current.get(), (*parts)[i], error);
        if (!next.isValid()) return error.code == ELOOP ? PathState::Link : PathState::Unreachable;
        current = std::move(next);
    }
    return PathState::Unreachable;
}

std::optional<ReadableFile> openRegularFileForReading(std::string_view absolutePath, SystemError& error) {
    const auto parts = componentsOf(absolutePath);
    if (!parts || parts->empty()) {
        error.code = EINVAL;
        return std::nullopt;
    }
    const FileDescriptor parent = openWalk(*parts, parts->size() - 1, error);
    if (!parent.isValid()) return std::nullopt;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the type is checked right after.
    FileDescriptor file(::openat(parent.get(), parts->back().c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.isValid()) {
        error = SystemError::last();
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        error.code = EINVAL;
        return std::nullopt;
    }
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    return ReadableFile{std::move(file), static_cast<std::uint64_t>(info.st_size)};
}

std::int64_t readSome(const FileDescriptor& file, void* buffer, std::size_t size, SystemError& error) {
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, size);
        if (got >= 0) return got;
        if (errno != EINTR) {
            error = SystemError::last();
            return -1;
        }
    }
}

std::optional<std::vector<DirectoryEntry>> listDirectory(std::string_view absolutePath, SystemError& error) {
    const auto parts = componentsOf(absolutePath);
    if (!parts) {
        error.code = EINVAL;
        return std::nullopt;
    }
    FileDescriptor directory;
    if (parts->empty()) {
        directory = FileDescriptor(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory.isValid()) error = SystemError::last();
    } else {
        const FileDescriptor parent = openWalk(*parts, parts->size() - 1, error);
        if (!parent.isValid()) return std::nullopt;
        directory = openChildDirectory(parent.get(), parts->back(), error, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (!directory.isValid()) return std::nullopt;

    DIR* stream = ::fdopendir(directory.get());
    if (!stream) {
        error = SystemError::last();
        return std::nullopt;
    }
    directory.release();  // the stream owns it now
    std::vector<DirectoryEntry> entries;
    while (const dirent* entry = ::readdir(stream)) {
        if (entry->d_name[0] == '.') continue;
        struct stat info {};
        if (::fstatat(::dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(info.st_mode))
            entries.push_back({entry->d_name, true, 0});
        else if (S_ISREG(info.st_mode))
            entries.push_back({entry->d_name, false, static_cast<std::uint64_t>(info.st_size)});
    }
    ::closedir(stream);
    return entries;
}

bool makeDirectories(std::string_view absolutePath, SystemError& error) {
    const auto parts = componentsOf(absolutePath);
    if (!parts) {
        error.code = EINVAL;
        return false;
    }
    FileDescriptor current(::open("/", kWalkFlags));
    if (!current.isValid()) {
        error = SystemError::last();
        return false;
    }
    for (const std::string& part : *parts) {
        FileDescriptor next = openChildDirectory(current.get(), part, error);
        if (!next.isValid() && error.code == ENOENT) {
            if (::mkdirat(current.get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
                error = SystemError::last();
                return false;
            }
            next = openChildDirectory(current.get(), part, error);
        }
        if (!next.isValid()) return false;
        current = std::move(next);
    }
    return true;
}

bool writeFileReplacing(std::string_view absolutePath, const void* data, std::size_t size, SystemError& error) {
    const auto parts = componentsOf(absolutePath);
    if (!parts || parts->empty()) {
        error.code = EINVAL;
        return false;
    }
    const FileDescriptor directory = openWalk(*parts, parts->size() - 1, error);
    if (!directory.isValid()) return false;
    const std::string& name = parts->back();
    // Only a regular file is replaced: a link, FIFO or device there is refused untouched.
    struct stat existing {};
    const bool replacing = ::fstatat(directory.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (replacing && !S_ISREG(existing.st_mode)) {
        error.code = S_ISLNK(existing.st_mode) ? ELOOP : S_ISDIR(existing.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    std::string tempName;
    FileDescriptor temp = createTemporarySibling(directory.get(), name, tempName, error);
    if (!temp.isValid()) return false;
    // The data reaches the disk before the rename makes it visible under the target name.
    bool ok = (!replacing || keepOwnerAndMode(temp.get(), existing, error)) &&
              writeAll(temp.get(), static_cast<const char*>(data), size, error);
    if (ok && ::fdatasync(temp.get()) != 0) {
        error = SystemError::last();
        ok = false;
    }
    if (::close(temp.release()) != 0 && ok) {
        error = SystemError::last();
        ok = false;
    }
    if (ok && ::renameat(directory.get(), tempName.c_str(), directory.get(), name.c_str()) == 0) return true;
    if (ok) error = SystemError::last();
    ::unlinkat(directory.get(), tempName.c_str(), 0);
    return false;
}

}  // namespace veltrix::platform::files

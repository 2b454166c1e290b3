#include "platform/SharedSection.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/InstancePaths.h"
#include "platform/TerminalSessions.h"
#include "platform/linux/PosixAcl.h"

namespace veltrix::platform {
namespace {

std::uint64_t pageRounded(std::uint64_t size) {
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

// The access list that stands in for the section's: the creator owns the section and keeps read
// and write; the admitted user, or with none every user that has a terminal session (the
// interactive users), gets read, and write when allowed; nobody else gets anything. Without access
// lists in the file system the admitted user falls back to the user's primary group and the
// interactive users to "others".
bool applyAccess(int fd, const SectionAccess& access) {
    std::vector<uid_t> users;
    if (access.user) {
        users.push_back(*access.user);
    } else {
        for (const auto& session : sessions::enumerate()) users.push_back(session.uid);
    }
    const unsigned permissions = access.usersMayWrite ? 6 : 4;
    SystemError error;
    if (detail::setUserAccessList("/proc/self/fd/" + std::to_string(fd), users, permissions, error)) return true;
    if (error.code != EOPNOTSUPP && error.code != ENOTSUP) {
        errno = error.code;
        return false;
    }
    mode_t mode = 0600;
    if (access.user) {
        const passwd* pw = getpwuid(*access.user);
        if (!pw) {
            errno = EINVAL;
            return false;
        }
        if (fchown(fd, static_cast<uid_t>(-1), pw->pw_gid) != 0) return false;
        mode |= access.usersMayWrite ? 0060 : 0040;
    } else {
        mode |= access.usersMayWrite ? 0066 : 0044;
    }
    return fchmod(fd, mode) == 0;
}

// Renames `from` over `to`, whatever `to` is. A file or link there is replaced by the rename
// itself; a folder is swapped out and then removed when empty (an account's folder with content
// stays, under `from`'s name, which nobody uses).
bool moveOver(const std::string& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST) return false;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) != 0) return false;
    ::rmdir(from.c_str());
    return true;
}

}  // namespace

std::optional<SectionAccess> sectionAccessFor(bool usersMayWrite, std::string_view userId) {
    SectionAccess access{usersMayWrite, std::nullopt};
    if (userId.empty()) return access;
    uid_t uid = 0;
    const auto [end, ec] = std::from_chars(userId.data(), userId.data() + userId.size(), uid);
    if (ec != std::errc() || end != userId.data() + userId.size()) return std::nullopt;
    access.user = uid;
    return access;
}

SectionHandle::~SectionHandle() { reset(); }

SectionHandle::SectionHandle(SectionHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

SectionHandle& SectionHandle::operator=(SectionHandle&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void SectionHandle::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<uid_t> SectionHandle::owner() const {
    struct stat st{};
    if (fd_ < 0 || fstat(fd_, &st) != 0) return std::nullopt;
    return st.st_uid;
}

SectionView::~SectionView() { reset(); }

SectionView::SectionView(SectionView&& other) noexcept : address_(other.address_), size_(other.size_) {
    other.address_ = nullptr;
    other.size_ = 0;
}

SectionView& SectionView::operator=(SectionView&& other) noexcept {
    if (this != &other) {
        reset();
        address_ = other.address_;
        size_ = other.size_;
        other.address_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

void SectionView::reset() {
    if (address_) munmap(address_, size_);
    address_ = nullptr;
    size_ = 0;
}

SectionHandle createSection(std::string_view name, std::uint64_t size, const SectionAccess& access,
                            SystemError& error) {
    const auto path = paths::sectionPath(name);
    // A private name first: mkostemp creates the file exclusively (never through a link) and
    // with no access for anybody else.
    std::string privateName = path.string() + ".XXXXXX";
    SectionHandle section(::mkostemp(privateName.data(), O_CLOEXEC));
    if (!section.isValid()) {
        error = SystemError::last();
        return {};
    }
    const int fd = section.nativeHandle();
    if (ftruncate(fd, static_cast<off_t>(pageRounded(size))) != 0 || !applyAccess(fd, access) ||
        !moveOver(privateName, path)) {
        error = SystemError::last();
        ::unlink(privateName.c_str());
        return {};
    }
    return section;
}

SectionHandle openSection(std::string_view name, SectionMode mode, SystemError& error) {
    const auto path = paths::sectionPath(name);
    const int flags = (mode == SectionMode::ReadWrite ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
    SectionHandle section(::open(path.c_str(), flags));
    if (!section.isValid()) error = SystemError::last();
    return section;
}

SectionView mapSection(const SectionHandle& section, SectionMode mode, SystemError& error) {
    struct stat st{};
    if (!section.isValid() || fstat(section.nativeHandle(), &st) != 0) {
        error = section.isValid() ? SystemError::last() : SystemError{EBADF};
        return {};
    }
    if (!S_ISREG(st.st_mode) || st.st_size <= 0) {
        error = SystemError{EINVAL};
        return {};
    }
    const std::uint64_t size = pageRounded(static_cast<std::uint64_t>(st.st_size));
    const int protection = mode == SectionMode::ReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
    void* address = mmap(nullptr, size, protection, MAP_SHARED, section.nativeHandle(), 0);
    if (address == MAP_FAILED) {
        error = SystemError::last();
        return {};
    }
    return SectionView(address, size);
}

bool setSectionAccess(const SectionHandle& section, const SectionAccess& access, SystemError& error) {
    if (!section.isValid()) {
        error = SystemError{EBADF};
        return false;
    }
    if (!applyAccess(section.nativeHandle(), access)) {
        error = SystemError::last();
        return false;
    }
    return true;
}

// The kernel copies with its own fault handling: a page that no longer exists ends the copy with
// EFAULT instead of a signal. Reading one's own memory needs no privilege.
bool copyFromSection(void* destination, const void* source, std::size_t size) {
    auto* to = static_cast<char*>(destination);
    const auto* from = static_cast<const char*>(source);
    while (size > 0) {
        iovec local{to, size};
        iovec remote{const_cast<char*>(from), size};
        const ssize_t copied = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) return false;
        to += copied;
        from += copied;
        size -= static_cast<std::size_t>(copied);
    }
    return true;
}

bool removeSection(std::string_view name) { return ::unlink(paths::sectionPath(name).c_str()) == 0; }

}  // namespace veltrix::platform

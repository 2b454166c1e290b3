#include "platform/StagingFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "platform/SystemError.h"
#include "platform/linux/FileDescriptor.h"

namespace veltrix::platform::staging {
namespace {

// Deeper nesting than any paste produces; the limit keeps descriptors and stack bounded against a
// folder chain built to exhaust them.
constexpr int kMaxDepth = 64;

using Descriptor = detail::FileDescriptor;

int openFolderAt(int parent, const char* name) {
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in the folder open at `fd`, read before anything is removed from it.
std::vector<std::string> entryNames(int fd) {
    std::vector<std::string> names;
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return names;
    DIR* dir = ::fdopendir(own);
    if (dir == nullptr) {
        ::close(own);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

bool removeTreeAt(int parent, const std::string& name, dev_t device, int depth);

// Removes everything inside the folder open at `fd`; true when all of it went.
bool emptyFolder(int fd, dev_t device, int depth) {
    bool complete = true;
    for (const std::string& name : entryNames(fd)) complete = removeTreeAt(fd, name, device, depth) && complete;
    return complete;
}

// Removes the entry `name` of the folder open at `parent`: a file or link at once (unlinkat never
// follows a link), a folder after its contents.
bool removeTreeAt(int parent, const std::string& name, dev_t device, int depth) {
    if (::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR) return false;
    if (depth >= kMaxDepth) {
        spdlog::warn("Paste staging purge: '{}' is nested too deep, left in place", name);
        return false;
    }
    Descriptor folder(openFolderAt(parent, name.c_str()));
    if (!folder.valid()) return false;  // swapped for a link or a file meanwhile: left for the next purge
    struct stat info {};
    if (::fstat(folder.get(), &info) != 0 || info.st_dev != device) return false;
    const bool emptied = emptyFolder(folder.get(), device, depth + 1);
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 && emptied;
}

std::chrono::system_clock::time_point modificationTime(const struct stat& info) {
    using namespace std::chrono;
    return system_clock::time_point(
        duration_cast<system_clock::duration>(seconds(info.st_mtim.tv_sec) + nanoseconds(info.st_mtim.tv_nsec)));
}

}  // namespace

PurgeResult purgeStaleSubfolders(const std::filesystem::path& folder, std::chrono::seconds maxAge,
                                 std::chrono::system_clock::time_point now) {
    PurgeResult result;
    Descriptor top(openFolderAt(AT_FDCWD, folder.c_str()));
    if (!top.valid()) {
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            spdlog::warn("Paste staging purge: cannot open {}: {}", folder.string(), SystemError::last().text());
        return result;
    }
    struct stat topInfo {};
    if (::fstat(top.get(), &topInfo) != 0) return result;

    for (const std::string& name : entryNames(top.get())) {
        struct stat info {};
        if (::fstatat(top.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode)) continue;
        if (now - modificationTime(info) <= maxAge) continue;

        Descriptor sub(openFolderAt(top.get(), name.c_str()));
        struct stat opened {};
        // The folder that was checked must be the one opened: not a link or another folder put in
        // its place after the check.
        const bool same = sub.valid() && ::fstat(sub.get(), &opened) == 0 && opened.st_ino == info.st_ino &&
                          opened.st_dev == info.st_dev && opened.st_dev == topInfo.st_dev;
        if (same && emptyFolder(sub.get(), topInfo.st_dev, 1) &&
            ::unlinkat(top.get(), name.c_str(), AT_REMOVEDIR) == 0) {
            ++result.removed;
        } else {
            ++result.failed;
            spdlog::warn("Paste staging purge: could not remove {} entirely", (folder / name).string());
        }
    }
    return result;
}

}  // namespace veltrix::platform::staging

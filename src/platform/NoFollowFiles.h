#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemError.h"

// File access that never follows a symbolic link. Every function takes an absolute path and walks
// it one component at a time from "/", opening each directory relative to the one before without
// following links, so a link anywhere in the path (planted before or during the call) makes the
// call fail with ELOOP instead of leading elsewhere. Only directories and regular files are opened:
// a FIFO, a device or a socket fails with EINVAL, so no read can block or stream for ever. The
// checks run with the calling thread's file-system identity (see Impersonation.h).
namespace veltrix::platform::files {

// An open file descriptor, closed with the object.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }
    int release();

private:
    int fd_ = -1;
};

// What lies at a path, seen without following links.
enum class PathState {
    Missing,        // the path does not exist (an existing prefix of it holds no link)
    Directory,
    RegularFile,
    Other,          // a FIFO, device or socket
    Link,           // the path or one of its existing parent components is a symbolic link
    Unreachable,    // a component could not be examined (permission, not a directory, ...)
};
PathState probePath(std::string_view absolutePath, SystemError& error);

// A regular file opened for reading, with its size at the time it was opened.
struct ReadableFile {
    FileDescriptor fd;
    std::uint64_t size = 0;
};
std::optional<ReadableFile> openRegularFileForReading(std::string_view absolutePath, SystemError& error);

// Reads up to `size` bytes; 0 at end of file, -1 on error (EINTR retried).
std::int64_t readSome(const FileDescriptor& file, void* buffer, std::size_t size, SystemError& error);

struct DirectoryEntry {
    std::string name;
    bool isDirectory = false;
    std::uint64_t size = 0;  // 0 for directories
};
// The directories and regular files in a directory, without "." and "..". Names starting with
// "." (hidden entries), links, FIFOs, devices and sockets are left out. Unsorted.
std::optional<std::vector<DirectoryEntry>> listDirectory(std::string_view absolutePath, SystemError& error);

// Creates the directory and every missing parent (mode 0777 less the umask); true when the
// directory exists afterwards.
bool makeDirectories(std::string_view absolutePath, SystemError& error);

// Writes `size` bytes as the file at `absolutePath`: they go to a new temporary file beside it
// that is renamed over the target only when every byte is written, so the target name shows either
// what it held before or the whole new content, never a part. The temporary file is removed on
// failure. The target's parent must exist; an existing target is replaced only when it is a
// regular file (a link fails with ELOOP, a directory with EISDIR, anything else with EINVAL), and
// the new file keeps its permission bits, and its owner and group as far as the caller may set
// them.
bool writeFileReplacing(std::string_view absolutePath, const void* data, std::size_t size, SystemError& error);

}  // namespace veltrix::platform::files

#include "platform/ProcessInfo.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <string_view>
#include <unistd.h>

#include "platform/InstanceConfig.h"

namespace veltrix::platform::process {
namespace {

constexpr const char* kDefaultAdministratorsGroup = "veltrix-admins";

// Reads a small /proc file relative to the process folder.
std::optional<std::string> readProcFile(int dirFd, const char* name, SystemError& error) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = SystemError::last();
            ::close(fd);
            return std::nullopt;
        }
        break;
    }
    ::close(fd);
    return text;
}

template <typename T>
bool parseNumber(std::string_view text, T& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\n') ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

// The value part of "Name:\t..." in /proc/<pid>/status.
std::optional<std::string_view> statusField(std::string_view status, std::string_view name) {
    std::size_t start = 0;
    while (start < status.size()) {
        const std::size_t end = std::min(status.find('\n', start), status.size());
        const std::string_view line = status.substr(start, end - start);
        if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == ':') {
            return line.substr(name.size() + 1);
        }
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace

ProcessTime now() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

std::filesystem::path ownProgramPath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

bool Credentials::isMember(gid_t gid) const {
    return effectiveGid == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
}

ProcessHandle::~ProcessHandle() {
    if (dirFd_ >= 0) ::close(dirFd_);
}

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept : dirFd_(other.dirFd_), pid_(other.pid_) {
    other.dirFd_ = -1;
}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
    if (this != &other) {
        if (dirFd_ >= 0) ::close(dirFd_);
        dirFd_ = other.dirFd_;
        pid_ = other.pid_;
        other.dirFd_ = -1;
    }
    return *this;
}

ProcessHandle ProcessHandle::open(pid_t pid, SystemError& error) {
    ProcessHandle handle;
    if (pid <= 0) {
        error = SystemError{ESRCH};
        return handle;
    }
    const std::string path = "/proc/" + std::to_string(pid);
    handle.dirFd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle.dirFd_ < 0) error = SystemError::last();
    handle.pid_ = pid;
    return handle;
}

std::optional<ProcessTime> ProcessHandle::startTime(SystemError& error) const {
    const auto stat = readProcFile(dirFd_, "stat", error);
    if (!stat) return std::nullopt;
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so count from the last
    // ')'. The start time is field 22, the 20th after it.
    const std::size_t close = stat->rfind(')');
    if (close == std::string::npos) {
        error = SystemError{EINVAL};
        return std::nullopt;
    }
    const auto fields = splitWords(std::string_view(*stat).substr(close + 1));
    unsigned long long ticks = 0;
    if (fields.size() < 20 || !parseNumber(fields[19], ticks)) {
        error = SystemError{EINVAL};
        return std::nullopt;
    }
    const long perSecond = sysconf(_SC_CLK_TCK);
    if (perSecond <= 0) {
        error = SystemError{EINVAL};
        return std::nullopt;
    }
    const auto seconds = static_cast<long long>(ticks / static_cast<unsigned long long>(perSecond));
    const auto rest = static_cast<long long>(ticks % static_cast<unsigned long long>(perSecond));
    return std::chrono::seconds(seconds) + std::chrono::nanoseconds(rest * 1'000'000'000LL / perSecond);
}

std::optional<std::filesystem::path> ProcessHandle::imagePath(SystemError& error) const {
    if (dirFd_ < 0) {
        error = SystemError{EBADF};
        return std::nullopt;
    }
    std::string target(4096, '\0');
    const ssize_t n = readlinkat(dirFd_, "exe", target.data(), target.size());
    if (n < 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    if (static_cast<std::size_t>(n) >= target.size()) {
        error = SystemError{ENAMETOOLONG};
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(n));
    return std::filesystem::path(target);
}

std::optional<Credentials> ProcessHandle::credentials(SystemError& error) const {
    const auto status = readProcFile(dirFd_, "status", error);
    if (!status) return std::nullopt;
    const auto uids = statusField(*status, "Uid");
    const auto gids = statusField(*status, "Gid");
    const auto groups = statusField(*status, "Groups");
    Credentials result;
    // "Uid:\treal\teffective\tsaved\tfs"
    const auto uidWords = uids ? splitWords(*uids) : std::vector<std::string_view>{};
    const auto gidWords = gids ? splitWords(*gids) : std::vector<std::string_view>{};
    if (uidWords.size() < 2 || gidWords.size() < 2 || !parseNumber(uidWords[1], result.effectiveUid) ||
        !parseNumber(gidWords[1], result.effectiveGid)) {
        error = SystemError{EINVAL};
        return std::nullopt;
    }
    if (groups) {
        for (const auto word : splitWords(*groups)) {
            gid_t gid = 0;
            if (parseNumber(word, gid)) result.groups.push_back(gid);
        }
    }
    return result;
}

std::string administratorsGroupName() {
    const auto configured = config::value("service/adminGroup");
    return configured && !configured->empty() ? *configured : kDefaultAdministratorsGroup;
}

std::optional<gid_t> administratorsGroupId() {
    const std::string name = administratorsGroupName();
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    return found->gr_gid;
}

bool isAdministrator(const Credentials& credentials) {
    if (credentials.effectiveUid == 0) return true;
    const auto admins = administratorsGroupId();
    return admins && credentials.isMember(*admins);
}

}  // namespace veltrix::platform::process

#include "platform/ProcessSnapshot.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "platform/InstancePaths.h"

namespace veltrix::platform::process {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> readLink(const std::string& path) {
    std::string buffer(4096, '\0');
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

std::string fileName(const std::string& path) {
    const auto cut = path.find_last_of('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The executable's name as the process table shows it: from the executable link when readable,
// else from the first command-line argument (readable for every process), else the kernel's
// short command name.
std::string exeNameOf(const std::string& procDir) {
    if (auto exe = readLink(procDir + "/exe")) return fileName(*exe);
    std::ifstream cmdline(procDir + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmdline, argv0, '\0');
    if (!argv0.empty()) return fileName(argv0);
    std::ifstream comm(procDir + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

std::optional<std::uint32_t> integrityLevel() { return isSystemAccount() ? kSystemIntegrity : kMediumIntegrity; }

// geteuid answers for the calling thread's credentials.
bool isSystemAccount() {
    if (geteuid() != 0) return false;
    const char* lowered = std::getenv(kIntegrityVariable);
    return !(lowered && std::string_view(lowered) == "medium");
}

pid_t currentProcessId() { return getpid(); }

pid_t parentProcessId() { return getppid(); }

std::vector<SnapshotEntry> snapshotProcesses() {
    std::vector<SnapshotEntry> result;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        pid_t pid = 0;
        const auto [ptr, parseError] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parseError != std::errc() || ptr != name.data() + name.size() || pid <= 0) continue;
        result.push_back({pid, exeNameOf(it->path().string())});
    }
    return result;
}

std::optional<std::string> processImagePath(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    auto path = readLink("/proc/" + std::to_string(pid) + "/exe");
    // A replaced or removed executable is not the program that the path names now.
    if (path && path->ends_with(" (deleted)")) return std::nullopt;
    return path;
}

std::string systemDirectory() {
    const fs::path root = paths::instanceRoot();
    return (root.empty() ? fs::path("/usr/lib/veltrix/system32") : root / "system32").string();
}

// The fourth field of /proc/<pid>/stat, after the command name in parentheses (which may itself
// hold blanks and parentheses, so the last ")" ends it).
pid_t parentProcessId(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) return 0;
    const char* first = stat.data() + close + 4;  // ") S " then the parent id
    const char* last = stat.data() + stat.size();
    pid_t parent = 0;
    const auto [end, error] = std::from_chars(first, last, parent);
    return error == std::errc() ? parent : 0;
}

}  // namespace veltrix::platform::process

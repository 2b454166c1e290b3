#include "platform/InstancePaths.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace veltrix::platform::paths {
namespace fs = std::filesystem;

namespace {

fs::path homeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
    return "/tmp";
}

// With a root every location lies below it; the current user's folders are kept apart per uid.
fs::path underRoot(const char* sub) { return instanceRoot() / sub; }

}  // namespace

fs::path instanceRoot() {
    const char* root = std::getenv(kRootVariable);
    if (!root || !*root) return {};
    return fs::path(root).lexically_normal();
}

std::string instanceTag() {
    const fs::path root = instanceRoot();
    if (root.empty()) return "sys";
    // FNV-1a of the root path: short, stable, and distinct for distinct roots in practice.
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : root.string()) {
        hash ^= c;
        hash *= 16777619u;
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}

fs::path runDir() { return instanceRoot().empty() ? fs::path("/run/veltrix") : underRoot("run"); }

fs::path commonDataDir() { return instanceRoot().empty() ? fs::path("/var/lib") : underRoot("data"); }

fs::path machineConfigDir() {
    return instanceRoot().empty() ? fs::path("/etc/xdg") : underRoot("config/machine");
}

fs::path userConfigDir() {
    if (instanceRoot().empty()) {
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return xdg;
        return homeDir() / ".config";
    }
    return underRoot("config/users") / std::to_string(getuid());
}

fs::path userDataDir() {
    if (instanceRoot().empty()) {
        if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return fs::path(xdg) / "Veltrix";
        return homeDir() / ".local/share/Veltrix";
    }
    return underRoot("users") / std::to_string(getuid());
}

fs::path pasteStagingDir() {
    return (instanceRoot().empty() ? fs::path("/home/Public") : underRoot("public")) / "Veltrix" / "Paste";
}

fs::path serviceUnitDir() {
    return instanceRoot().empty() ? fs::path("/etc/systemd/system") : underRoot("units");
}

std::string objectBaseName(std::string_view name) {
    const auto cut = name.find_last_of("\\/");
    return std::string(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

fs::path sectionPath(std::string_view sectionName) {
    return fs::path("/dev/shm") / ("veltrix." + instanceTag() + "." + objectBaseName(sectionName));
}

fs::path pipePath(std::string_view pipeName) { return runDir() / objectBaseName(pipeName); }

fs::path userRunDir(uid_t uid) { return runDir() / "users" / std::to_string(uid); }

fs::path mutexPath(std::string_view mutexName, uid_t uid) {
    return userRunDir(uid) / (objectBaseName(mutexName) + ".lock");
}

bool ensureDirectory(const fs::path& dir, unsigned mode) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return true;
    if (!dir.parent_path().empty() && dir.parent_path() != dir) ensureDirectory(dir.parent_path(), mode);
    fs::create_directory(dir, ec);
    if (!ec) fs::permissions(dir, static_cast<fs::perms>(mode), ec);
    return fs::is_directory(dir, ec);
}

}  // namespace veltrix::platform::paths

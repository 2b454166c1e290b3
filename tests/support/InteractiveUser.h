#pragma once

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "platform/InstancePaths.h"
#include "platform/TerminalSessions.h"

// Header-only: its users link veltrix_platform themselves.
namespace veltrix::test {

inline constexpr uid_t kNobody = 65534;

// Makes "nobody" the interactive user of the current instance (the console session's user of the
// sessions stand-in), so that impersonation acts as an unprivileged account.
inline void makeNobodyTheInteractiveUser() {
    platform::paths::ensureDirectory(platform::paths::runDir());
    std::ofstream(platform::sessions::sessionsFilePath())
        << R"({"sessions": [{"id": 1, "user": "nobody", "uid": 65534, "state": "active", "console": true}]})";
}

// A folder owned by the interactive user.
inline std::filesystem::path makeUserFolder(const std::filesystem::path& path) {
    std::filesystem::create_directories(path);
    [[maybe_unused]] const int changed = ::chown(path.c_str(), kNobody, kNobody);
    return path;
}

}  // namespace veltrix::test

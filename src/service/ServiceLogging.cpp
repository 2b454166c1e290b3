#include "service/ServiceLogging.h"

#include <fnmatch.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <system_error>

#include "platform/InstancePaths.h"
#include "shared/Logging.h"

namespace veltrix::service {

std::filesystem::path logFolder() { return platform::paths::commonDataDir() / "Veltrix"; }

void setupLogging() {
    const auto folder = logFolder();
    if (!platform::paths::ensureDirectory(folder)) {
        spdlog::set_level(spdlog::level::info);
        spdlog::warn("Logging initialization failed: cannot create log folder '{}'", folder.string());
        return;
    }
    if (!logging::initialize(logging::RotatingFile{folder / "service.log", kLogFileBytes, kLogFilesKept})) {
        spdlog::warn("Logging initialization failed: cannot open '{}'", (folder / "service.log").string());
    }
}

int cleanupOldLogs(const std::filesystem::path& folder, std::chrono::system_clock::time_point now) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return 0;
    const auto limit = now - std::chrono::hours(24) * kOldLogAgeDays;
    int deleted = 0;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (fnmatch("*.log*", name.c_str(), FNM_PERIOD) != 0) continue;
        // The entry itself (a link is judged and removed as a link, never followed).
        struct stat st{};
        if (lstat(entry.path().c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        const auto written = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(st.st_mtim.tv_sec) +
                                                                            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        if (written >= limit) continue;
        if (std::filesystem::remove(entry.path(), ec)) ++deleted;
    }
    if (deleted > 0) spdlog::info("Cleaned up {} log file(s) older than {} days", deleted, kOldLogAgeDays);
    return deleted;
}

}  // namespace veltrix::service

#include "service/ServiceLogging.h"

#include <spdlog/spdlog.h>
#include <system_error>

#include "platform/InstancePaths.h"
#include "shared/Logging.h"

namespace veltrix::service {

std::filesystem::path logFolder() { return platform::paths::commonDataDir() / "Veltrix"; }

void setupLogging(std::size_t fileBytes) {
    const auto folder = logFolder();
    if (!platform::paths::ensureDirectory(folder)) {
        spdlog::set_level(spdlog::level::info);
        spdlog::warn("Logging initialization failed: cannot create log folder '{}'", folder.string());
        return;
    }
    if (!logging::initialize(logging::RotatingFile{folder / "service.log", fileBytes, kLogFilesKept})) {
        spdlog::warn("Logging initialization failed: cannot open '{}'", (folder / "service.log").string());
    }
}

int cleanupOldLogs(const std::filesystem::path& folder, std::chrono::system_clock::time_point now) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return 0;
    const auto limit = now - std::chrono::hours(24) * kOldLogAgeDays;
    int deleted = 0;
    for (const auto& entry : it) {
        // The pattern "*.log*": the name holds ".log" anywhere.
        if (entry.path().filename().string().find(".log") == std::string::npos) continue;
        if (entry.is_directory(ec) || ec) continue;
        const auto written = entry.last_write_time(ec);
        if (ec) continue;
        if (std::chrono::file_clock::to_sys(written) >= limit) continue;
        if (fs::remove(entry.path(), ec)) ++deleted;
    }
    if (deleted > 0) spdlog::info("Cleaned up {} log file(s) older than {} days", deleted, kOldLogAgeDays);
    return deleted;
}

}  // namespace veltrix::service

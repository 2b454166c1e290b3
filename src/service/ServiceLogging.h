#pragma once

#include <chrono>
#include <filesystem>

// The service's log: "service.log" in the instance's common data folder + "Veltrix", rotating at
// 5 MiB with 3 old files, and the removal of old log files at start.
namespace veltrix::service {

inline constexpr std::size_t kLogFileBytes = 5242880;
inline constexpr std::size_t kLogFilesKept = 3;
inline constexpr int kOldLogAgeDays = 180;

std::filesystem::path logFolder();

// Creates the log folder and makes the rotating file the default logger ("veltrix", level info,
// flushed from info up); the file rotates at `fileBytes`.
void setupLogging(std::size_t fileBytes = kLogFileBytes);

// Deletes the files (never folders) in `folder` whose names match "*.log*" and that were last
// written more than 180 days before `now`; gives the number deleted.
int cleanupOldLogs(const std::filesystem::path& folder,
                   std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace veltrix::service

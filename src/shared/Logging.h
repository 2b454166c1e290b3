#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

#include <spdlog/common.h>

// The one default logger of a process, named "veltrix". Everything logs through spdlog's default
// logger ("{}" placeholders); this sets it up once per process.
namespace veltrix::logging {

inline constexpr const char* kLoggerName = "veltrix";

// A log file that rotates at `maxBytes` keeping `maxFiles` old files (service.log, service.log.1 ...).
struct RotatingFile {
    std::filesystem::path path;
    std::size_t maxBytes;
    std::size_t maxFiles;
};

// A log file truncated at each start.
struct TruncatedFile {
    std::filesystem::path path;
};

// Makes "veltrix" the default logger, writing to the file (its folder is created) and, when
// `alsoToConsole`, to standard error. Level info. False when the file cannot be opened; the
// logger then writes to standard error only.
bool initialize(const RotatingFile& file, bool alsoToConsole = false);
bool initialize(const TruncatedFile& file, bool alsoToConsole = false);

// Sets up a console-only "veltrix" logger (tests, tools).
void initializeConsole();

// "trace", "debug", "info", "warning" (or "warn"), "error", "critical"; nothing for other texts.
std::optional<spdlog::level::level_enum> levelFromName(std::string_view name);

void setLevel(spdlog::level::level_enum level);

// Writes buffered lines out (before a crash report or exit).
void flush();

}  // namespace veltrix::logging

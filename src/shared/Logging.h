#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <spdlog/common.h>

class QString;

// The one default logger of a process, named "veltrix". Everything logs through spdlog's default
// logger ("{}" placeholders); this sets it up once per process.
namespace veltrix::logging {

inline constexpr const char* kLoggerName = "veltrix";

// A log file that rotates at `maxBytes` keeping `maxFiles` old files (service.log, service.1.log ...);
// a rotation that cannot be made keeps the lines in the open file (see RotatingFileSink).
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

// Longest run of a peer-supplied text that goes into a log line or an echoed reply.
inline constexpr std::size_t kMaxPeerText = 256;

// A text that came from outside this process (a session partner, the backend, the pipe), made
// fit for one log line or an echoed reply: cut to at most `max` bytes on a UTF-8 character
// boundary with the number of bytes left out appended, and every character that could break or
// disguise a line written as an escape: control characters (\n, \r, \t, \xNN, \u0085 ...), line
// and paragraph separators, bidirectional overrides, the backslash itself (\\) and any byte
// that is not UTF-8 (\xNN). So no peer can flood the log, forge a line of it or have its text
// echoed back in full. Every value a peer chose goes through this before it is logged.
std::string peerText(std::string_view text, std::size_t max = kMaxPeerText);
std::string peerText(const QString& text, std::size_t max = kMaxPeerText);
inline std::string peerText(const char* text, std::size_t max = kMaxPeerText) {
    return peerText(std::string_view(text), max);
}

}  // namespace veltrix::logging

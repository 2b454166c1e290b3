#pragma once

#include <filesystem>
#include <string>

#include "platform/SystemError.h"

// The log-on task that starts the desktop client at every log-in of the user, minimized.
//
// Linux stand-in: an XDG autostart entry "VeltrixClient.desktop" in the user's autostart folder
// (paths::userConfigDir() / "autostart", so it follows the instance root). Its Exec line runs the
// given program with "--minimized"; the program path is quoted by the Desktop Entry rules, so a
// path with blanks, quotes, "$" or "%" runs that very program. There is no run level to ask for.
namespace veltrix::platform::logon {

inline constexpr const char* kTaskName = "VeltrixClient";

std::filesystem::path autostartDir();
std::filesystem::path entryPath();

// The Exec value that runs `program` with "--minimized" (quoting and escaping applied).
std::string execLine(const std::filesystem::path& program);

// Writes (or replaces) the entry; false with the error when the folder or file cannot be written.
bool createTask(const std::filesystem::path& program, SystemError& error);
// Removes the entry; false when there is none (ENOENT) or it cannot be removed.
bool deleteTask(SystemError& error);
bool taskExists();
// Whether the entry exists and its Exec line runs `program` with "--minimized". A missing,
// unreadable or foreign entry reads false; the check reads one small file and never waits.
bool taskStartsProgram(const std::filesystem::path& program);

}  // namespace veltrix::platform::logon

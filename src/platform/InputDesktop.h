#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/SystemError.h"

// Desktops: which desktop receives input (the user's "Default" desktop or the secure "Winlogon"
// desktop of the log-on and consent screens), which desktop a thread works on, and whether this
// process may read the screen now.
//
// Linux has no secure desktop, so the stand-in reads the input desktop of each session from
// "input-desktop.<session id>" in the instance's run folder, which the tests and the demo write:
// the file holds the desktop's name ("Default" or "Winlogon"); an empty file means no input
// desktop (the session shows none); no file means "Default". Only a system agent (root) may open
// the "Winlogon" desktop and capture while it is the input desktop, as on the real system.
namespace veltrix::platform::desktops {

inline constexpr std::string_view kDefaultDesktop = "Default";
inline constexpr std::string_view kSecureDesktop = "Winlogon";

// An open desktop.
class Desktop {
public:
    explicit Desktop(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// The desktop that receives input in this process's session; nullopt when the session has none
// or this process may not open it.
std::optional<Desktop> openInputDesktop();

// A desktop by name ("Default", or "Winlogon" for a system agent); nullopt otherwise.
std::optional<Desktop> openDesktop(std::string_view name);

// The desktop the calling thread works on ("Default" until it is moved).
Desktop threadDesktop();

// Moves the calling thread to a desktop; false with the system error set when refused.
bool setThreadDesktop(const Desktop& desktop);

// True when setThreadDesktop failed with `error` because the thread still holds windows on its
// current desktop (the move may work later), false for a refusal.
bool isDesktopBusy(const SystemError& error);

// Whether this process may capture the screen of its session's input desktop now.
bool mayCaptureInputDesktop();

// The session this process belongs to (its VELTRIX_SESSION_ID, else its user's first session).
std::uint32_t currentSessionId();

// Where the stand-in reads a session's input desktop.
std::string inputDesktopFilePath(std::uint32_t sessionId);

// The process that owns the foreground (active) window; nullopt when there is no foreground
// window or it names no process.
std::optional<pid_t> foregroundWindowProcess();

}  // namespace veltrix::platform::desktops

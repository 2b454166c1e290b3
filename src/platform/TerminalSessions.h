#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Terminal sessions: the user sessions of the machine, which one owns the console, and which
// session a process belongs to. Linux has no equivalent of terminal-services sessions, so the
// stand-in reads them from "sessions.json" in the instance's run folder, which the demo script
// and the tests write:
//
//   {"sessions": [{"id": 1, "user": "alice", "uid": 1000, "state": "active", "console": true,
//                  "display": ":5", "xauthority": "/home/alice/.Xauthority"}]}
//
// "display" and "xauthority" (optional) are the X display of the session and its authority file,
// which an agent started in the session gets.
// "state" is "active", "connected" or "disconnected"; the active console session is the session
// with "console": true and state "active". A missing or unreadable file means no user session.
namespace veltrix::platform::sessions {

enum class ConnectState { Active, Connected, Disconnected };

struct TerminalSession {
    std::uint32_t id = 0;
    std::string userName;
    uid_t uid = 0;
    ConnectState state = ConnectState::Disconnected;
    bool console = false;
    std::string display;     // the session's X display, e.g. ":5"; empty: none recorded
    std::string xauthority;  // its authority file; empty: none
};

// The session id that stands for "no session" (as the console session query returns it).
inline constexpr std::uint32_t kNoSession = 0xFFFFFFFF;

// Environment variable through which a launched agent learns its session. A process chooses its
// own environment, so to anyone else the value is only what the process claims.
inline constexpr const char* kSessionVariable = "VELTRIX_SESSION_ID";

std::vector<TerminalSession> enumerate();

// The console session: the active one, else one at the log-on screen ("connected"), else
// kNoSession.
std::uint32_t activeConsoleSessionId();

std::optional<TerminalSession> find(std::uint32_t sessionId);

// The first session of a user (an active one before the others), else 0 (the services' session).
std::uint32_t sessionOfUser(uid_t uid);

// The session process `pid` names in its environment (VELTRIX_SESSION_ID); nothing when it names
// none or its environment cannot be read. The process chose it: compare it with what is known,
// never decide by it.
std::optional<std::uint32_t> claimedSession(pid_t pid);

// Where the stand-in reads its sessions.
std::string sessionsFilePath();

}  // namespace veltrix::platform::sessions

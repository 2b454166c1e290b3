#include "agent/StartupDiagnostics.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "platform/ProcessSnapshot.h"
#include "platform/TerminalSessions.h"

namespace veltrix {

std::string integrityName(std::uint32_t level) {
    if (level < 0x1000) return "Untrusted";
    if (level < 0x2000) return "Low";
    if (level < 0x2100) return "Medium";
    if (level < 0x3000) return "Medium+";
    if (level < 0x4000) return "High";
    if (level < 0x5000) return "System";
    return "ProtectedProcess";
}

void logStartupDiagnostics(std::string_view mode) {
    const auto level = platform::process::integrityLevel();
    const std::string integrity = level ? integrityName(*level) : "Unknown";
    const pid_t pid = platform::process::currentProcessId();
    pid_t parentPid = platform::process::parentProcessId(pid);
    std::string parentImage = "?";
    if (parentPid != 0) {
        const auto processes = platform::process::snapshotProcesses();
        const auto parent = std::find_if(processes.begin(), processes.end(),
                                         [&](const auto& entry) { return entry.pid == parentPid; });
        if (parent != processes.end()) parentImage = parent->exeName;
    }
    const std::uint32_t session = platform::sessions::sessionOfProcess(pid);
    spdlog::info("VeltrixClient started: mode={} integrity={} pid={} session={} parent_pid={} parent_image={}", mode,
                 integrity, pid, session, parentPid, parentImage);
}

}  // namespace veltrix

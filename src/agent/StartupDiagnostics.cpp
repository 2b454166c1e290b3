#include "agent/StartupDiagnostics.h"

#include <spdlog/spdlog.h>

#include <string>

#include "platform/InputDesktop.h"
#include "platform/ProcessSnapshot.h"

namespace veltrix {

const char* integrityName(unsigned level) {
    if (level < 0x1000) return "Untrusted";
    if (level < 0x2000) return "Low";
    if (level < 0x2100) return "Medium";
    if (level < 0x3000) return "Medium+";
    if (level < 0x4000) return "High";
    if (level < 0x5000) return "System";
    return "ProtectedProcess";
}

void logStartupDiagnostics(const char* mode) {
    namespace process = platform::process;
    const auto level = process::integrityLevel();
    const char* integrity = level ? integrityName(*level) : "Unknown";

    const pid_t self = process::currentProcessId();
    const pid_t parent = process::parentProcessId();
    std::string parentImage = "?";
    if (parent != 0) {
        for (const auto& entry : process::snapshotProcesses()) {
            if (entry.pid == parent) {
                parentImage = entry.exeName;
                break;
            }
        }
    }
    spdlog::info("VeltrixClient started: mode={} integrity={} pid={} session={} parent_pid={} parent_image={}", mode,
                 integrity, self, platform::desktops::currentSessionId(), parent, parentImage);
}

}  // namespace veltrix

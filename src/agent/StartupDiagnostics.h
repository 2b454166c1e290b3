#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrix {

// The name of an integrity level: "Untrusted", "Low", "Medium", "Medium+", "High", "System" or
// "ProtectedProcess".
std::string integrityName(std::uint32_t level);

// One info line about how the client program was started: mode ("gui" or "headless"), integrity,
// process id, session, and the parent's id and program name.
void logStartupDiagnostics(std::string_view mode);

}  // namespace veltrix

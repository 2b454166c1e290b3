#include "platform/MachineIdentity.h"

#include <fstream>

#include "platform/InstanceConfig.h"

namespace veltrix::platform::machine {
namespace {

constexpr std::size_t kMaxLength = 256;

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string machineGuidFrom(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    if (line.size() > kMaxLength) return {};  // not a machine id
    return trimmed(line);
}

std::string machineGuid() {
    if (const auto configured = config::value(kMachineIdFileKey); configured && !configured->empty()) {
        return machineGuidFrom(*configured);
    }
    if (auto id = machineGuidFrom("/etc/machine-id"); !id.empty()) return id;
    return machineGuidFrom("/var/lib/dbus/machine-id");
}

// Linux machines have no LAN workgroup membership of the kind the display name carries.
std::string workgroupName() { return {}; }

}  // namespace veltrix::platform::machine

#pragma once

#include <filesystem>
#include <string>

// The identity of the machine's installation: a value that stays the same across reinstalls of
// Veltrix and differs between machines.
namespace veltrix::platform::machine {

// The instance setting that names another machine-id file, so that two devices side by side on
// one machine (and the tests) can have distinct identities.
inline constexpr const char* kMachineIdFileKey = "machine/id_file";

// The machine's GUID: the first line of the machine-id file (the file named by "machine/id_file"
// in instance.ini, else /etc/machine-id, else /var/lib/dbus/machine-id), trimmed. Empty when the
// file is missing, unreadable or empty.
std::string machineGuid();

// The first line of `file`, trimmed; empty when it cannot be read.
std::string machineGuidFrom(const std::filesystem::path& file);

// The workgroup or domain the machine belongs to on its LAN, for the device's display name;
// empty when it belongs to none (always, on this platform).
std::string workgroupName();

}  // namespace veltrix::platform::machine

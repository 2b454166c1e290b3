#pragma once

#include <QString>

namespace veltrix {

// A stable identifier of this machine's installation for device registration: SHA-256 of the
// machine GUID followed by "Veltrix", as 64 lower-case hex digits. Empty when the machine has no
// GUID. The same GUID always gives the same fingerprint, so a reinstall keeps its device ID.
QString MachineFingerprint();

}  // namespace veltrix

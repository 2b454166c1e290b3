#pragma once

#include <QString>

namespace veltrix {

// The version this build reports to the backend (registration and heartbeats).
inline QString applicationVersion() { return QStringLiteral(VELTRIX_VERSION); }

}  // namespace veltrix

#pragma once

#include <QString>

namespace veltrix {

// The client's one dark theme, set on the application so every window and dialog follows it.
QString clientStyleSheet();

}  // namespace veltrix
